// The main window: the box itself. It owns the modem port, the two capture streams, the
// recording file, the media player and the tone decoder, and every decision of a call runs in
// one of its handlers on the main thread.
#pragma once

#include "app/Clock.h"
#include "app/DeliveredCommand.h"
#include "app/LumiskConf.h"
#include "app/Outbox.h"
#include "app/OutboxDelivery.h"
#include "app/SaveDialog.h"
#include "app/Timer.h"
#include "audio/MediaPlayer.h"
#include "audio/SoundCaptureStream.h"
#include "audio/Wave.h"
#include "decoder/PhoneToneDecoder.h"
#include "net/IdFTP.h"
#include "serial/ComPort.h"

#include <QPalette>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

// How the window meets its machine. The defaults are those of a real run; tests point the
// folders at their own and bring their own clock.
struct TMainFormOptions {
    // Folder of "pager.ini" and of the automatic recordings; empty: the executable's folder.
    std::string ExeFolder;
    // Folder of the six prompts; empty: the current folder.
    std::string PromptFolder;
    // The deployment settings (modem port, sound devices, upload).
    TLumiskConf Conf;
    // Time stamps and timers; null: the system clock.
    TClock* Clock = nullptr;
};

class TMainForm : public QWidget {
    Q_OBJECT
    // First: the timers below are built on the clock.
    std::string FExeFolder;
    std::string FPromptFolder;
    TLumiskConf FConf;
    std::unique_ptr<TClock> FOwnClock;
    TClock* FClock;

public:
    explicit TMainForm(TMainFormOptions options = {}, QWidget* parent = nullptr);
    ~TMainForm() override;

    // --- Controls, named as the operator's documentation names them -------------------------
    QGroupBox* GroupBox1;
    QLabel* Label7; // digits keyed so far
    QLabel* Label2;
    QLineEdit* Edit1; // recording time limit in seconds
    QLabel* Label4;
    QLabel* Label5;
    QLineEdit* Edit2; // initialisation string
    QPushButton* Button8;
    QLabel* Label3;
    QLineEdit* Edit3; // answer string
    QPushButton* Button9;
    QLabel* Label6;
    QLineEdit* Edit4; // hang-up string
    QPushButton* Button10;
    QGroupBox* GroupBox3;
    QPushButton* StartButton;
    QPushButton* StopButton;
    QPushButton* CloseButton;
    QComboBox* DriverBox2;
    QComboBox* FormatBox2;
    QLineEdit* FileNameEdit;
    QPushButton* BrowseButton;
    QLabel* SizeLabel;
    QListWidget* ListBox1; // call log
    QCheckBox* CheckBox1;  // "Autosave wave"
    QPushButton* Button1;
    QPushButton* Button2;
    QPushButton* Button3;
    QPushButton* Button4;
    QPushButton* Button5;
    QPushButton* Button6;
    QPushButton* Button7;
    QGroupBox* GroupBox4; // decoder group, below the visible area
    QComboBox* DriverBox;
    QComboBox* FormatBox;
    QRadioButton* RadioButton1;
    QRadioButton* RadioButton2;
    QWidget* PhoneToneDecoder1Site; // where the decoder control sits; takes the focus at show
    QWidget* MediaPlayer1Site;      // where the media player's (never enabled) bar sits
    std::unique_ptr<TComPort> ComPort;
    std::unique_ptr<TSoundCaptureStream> RecorderCapture;
    std::unique_ptr<TWaveFileStream> RecordFile; // only while recording
    std::unique_ptr<TSoundCaptureStream> DecoderCapture;
    TPhoneToneDecoder PhoneToneDecoder1;
    std::unique_ptr<TIdFTP> ftp; // the upload client
    TMediaPlayer MediaPlayer1;
    TSaveDialog SaveDialog;
    TTimer Timer2; // recording time limit
    TTimer Timer3; // inter-digit time-out
    // Messages whose upload failed, their delivery thread, the folder of those that cannot be
    // delivered (the mailbox folder is missing), and the command run after each delivery.
    std::unique_ptr<TOutbox> Outbox;
    std::unique_ptr<TOutbox> Undeliverable;
    std::unique_ptr<TDeliveredCommand> DeliveredCommand;
    std::unique_ptr<TOutboxDelivery> OutboxDelivery;
    static constexpr int DeliveredCommandTimeout = 60; // seconds
    // No key after the prompts: ask again, and after the third silent wait hang up.
    TTimer NumberWaitTimer;
    static constexpr int SilentWaitsBeforeHangup = 3;
    int SilentWaits = 0;

    // --- State of the call in progress -------------------------------------------------------
    std::string MailboxNumber;
    std::string CallStamp;
    // Modem text since it was last cleared; only its tail is kept (see RxTextLimit).
    std::string RxText;
    static constexpr size_t RxTextLimit = 4096;
    int SavedRecorderDevice = 0;
    int SavedRecorderFormat = 11;
    const char* const ChannelNames[2] = {"Mono", "Stereo"};

    // One line per event of a call that a supervisor of an unattended box wants to see
    // ("answered", "number 12345", "recording FILE", "upload done PATH ...", "upload failed
    // ERROR", "hangup"); called only when set.
    std::function<void(const std::string& event)> OnCallEvent;
    void ReportEvent(const std::string& event);

    // --- Configuration -----------------------------------------------------------------------
    const std::string& ExeFolder() const { return FExeFolder; }
    const std::string& PromptFolder() const { return FPromptFolder; }
    // The folder, "/" and "pager.ini".
    std::string PagerIniPath() const;
    void SaveConfig(const std::string& fileName);
    void LoadConfig(const std::string& fileName);
    TClock& Clock() { return *FClock; }
    const TLumiskConf& Conf() const { return FConf; }

    // --- Start-up and shut-down --------------------------------------------------------------
    void FormCreate();
    void FormShow();
    void FormClose();

    // --- Call flow ---------------------------------------------------------------------------
    // Whether the line is off hook: the answer string (or "ATH1") went to the modem and the
    // hang-up string (or "ATH0") has not followed yet.
    bool OffHook() const { return FOffHook; }
    // Sends the hang-up string if the line is off hook and waits (bounded) until it has left
    // the port; for every end of the program.
    void HangUpBeforeClosing();
    static constexpr int HangUpDrainMilliseconds = 2000;
    void ComPortRxChar(int count);
    void AnswerCall();
    void PhoneToneDecoder1DTMF(int key, int64_t position);
    void Timer3Timer();
    void NumberWaitTimerTimer();
    // The end of a call: stops the recording, stores it in the caller's mailbox on the upload
    // server, plays the closing prompt and hangs up.
    void Timer2Timer();
    // Before a "RING" is answered: the outbox steps aside, and a recording still in progress
    // (its caller has gone) is completed and handed to the outbox for its mailbox.
    void PrepareForCall();
    // [upload] outbox, beside the executable when relative.
    std::string OutboxFolder() const;
    void Edit1Exit();
    // The decoder's capture: rebuilt when its device list changes. Its data-ready handler runs on
    // the capture's notification thread, so the caller's keys are heard while a prompt or the
    // upload holds the main thread: it hands every complete 1024-byte block to the tone decoder,
    // and the keys (and any audio the capture lost) to the main thread, in order.
    void DriverBoxChange();
    void DecoderDataReady(TSoundCaptureStream& capture);
    // The folder, "/", the hex form of a time stamp taken now, ".wav".
    std::string AutosaveFileName();

    // --- Recorder ----------------------------------------------------------------------------
    void DriverBox2Change();
    void StartButtonClick();
    void StopButtonClick();
    void BrowseButtonClick();
    void RecorderDataReady();
    bool Recording() const;
    // "%dHz %dbit %s" with "Mono" or "Stereo".
    std::string FormatLine(const TSoundCaptureFormat& format) const;

    // --- Operator controls -------------------------------------------------------------------
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void Button6Click();
    void Button7Click();
    void Button8Click();
    void Button9Click();
    void Button10Click();
    void CloseButtonClick();
    void RadioButton1Click();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static void RecorderDataReadyTag() {}
    static void DecoderDataReadyTag() {}
    void BuildControls();
    void BuildComponents();
    void ConnectHandlers();
    void SetRecorderControls(bool recording);
    // Sends text and "\r" to the modem.
    void SendLine(const std::string& text);
    void SendText(const std::string& text);
    void ReceiveText(std::string& text, int count);
    void PlayPrompt(const char* fileName);
    void StartOutbox();
    void StopOutbox();
    // tried: the call's own upload failed (the next retry comes after the usual wait); otherwise
    // the outbox tries at once.
    void QueueMessage(const std::string& localFile, int accountIndex, const std::string& remote,
                      const std::string& reason, bool tried);
    void PutUndeliverable(const std::string& localFile, int accountIndex, const std::string& remote,
                          const std::string& reason);
    // After the prompts, or after a time-out that found no digits: wait for a first key.
    void StartNumberWait();
    // Follows the modem's hook from the strings sent to it.
    void NoteHook(const std::string& sent);
    // Tag of the calls the decoder hands to the main thread.
    const void* DecoderTag() const { return &PhoneToneDecoder1; }

    QPalette FFieldPalette; // an edit field's own colours
    bool FShown = false;
    bool FClosed = false;
    bool FOffHook = false;
    // The tone decoder is fed on the capture's notification thread; the main thread only
    // starts it.
    std::mutex FDecoderLock;
};
