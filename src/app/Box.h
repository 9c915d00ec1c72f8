// The box: everything that answers the line, without a window. It owns the modem port, the
// recorder, the decoder's ear, the player, the upload client, the outbox and the call flow,
// and does what the flow asks of them. The window owns one and watches it; "--headless" runs
// one on its own under a plain event loop.
#pragma once

#include "app/CallFlow.h"
#include "app/Clock.h"
#include "app/DecoderFeed.h"
#include "app/DeliveredCommand.h"
#include "app/LumiskConf.h"
#include "app/MailboxCheck.h"
#include "app/ModemWatch.h"
#include "app/Outbox.h"
#include "app/OutboxDelivery.h"
#include "app/PagerIni.h"
#include "app/Recorder.h"
#include "audio/MediaPlayer.h"
#include "audio/PlaybackReference.h"
#include "net/IdFTP.h"
#include "serial/ComPort.h"

#include <functional>
#include <memory>
#include <string>

class TVoiceModemDriver;

// How the box meets its machine. The defaults are those of a real run; tests point the
// folders at their own and bring their own clock.
struct TBoxOptions {
    // Folder of "pager.ini" and of the automatic recordings; empty: the executable's folder.
    std::string ExeFolder;
    // Folder of the six prompts; empty: the current folder.
    std::string PromptFolder;
    // The deployment settings (modem port, sound devices, upload).
    TLumiskConf Conf;
    // Time stamps and timers; null: the system clock.
    TClock* Clock = nullptr;
};

class TBox : private TCallFlowHost {
public:
    // Creating the box reads "pager.ini", makes the recorder's and the decoder's captures, opens
    // the modem port and sends the initialisation string. An error ends that start-up where it
    // happens (it is shown); the box still exists and every operator action still works.
    explicit TBox(TBoxOptions options = {});
    ~TBox() override;
    TBox(const TBox&) = delete;
    TBox& operator=(const TBox&) = delete;

    // Starts the decoder's capture and the decoder (the window's first showing).
    void Start();
    // The program ends: hang-up while off hook, the recording stopped, "pager.ini" written.
    void Close();

    // --- The parts -------------------------------------------------------------------------
    TCallFlow& Flow() { return *FFlow; }
    TComPort& Port() { return *ComPort; }
    TRecorder& Recorder() { return FRecorder; }
    TDecoderFeed& Decoder() { return FDecoder; }
    TMediaPlayer& Player() { return MediaPlayer1; }
    TModemWatch& ModemWatch() { return *FModemWatch; }
    TClock& Clock() { return *FClock; }
    // The voice modem that carries the call's audio ([sound] driver = modem); null otherwise.
    TVoiceModemDriver* VoiceModem() { return FVoice.get(); }
    const TLumiskConf& Conf() const { return FConf; }
    const std::string& ExeFolder() const { return FExeFolder; }
    const std::string& PromptFolder() const { return FPromptFolder; }
    // [upload] outbox, beside the executable when relative.
    std::string OutboxFolder() const;

    // --- Settings of the window ("pager.ini") ------------------------------------------------
    // The window keeps these as its fields change; the flow reads them.
    TPagerSettings Settings;
    // Line 7 as read at start: the format the recorder's list selects when it is (re)built.
    int SavedRecorderFormat = 11;
    // The recorder's format selected in the window's list; -1 for none.
    int RecorderFormat = -1;
    // The folder, "/" and "pager.ini".
    std::string PagerIniPath() const;
    void SaveConfig(const std::string& fileName);
    void LoadConfig(const std::string& fileName);
    // Leaving the "Timeout" field: above 38 becomes "10"; the time limit follows. Returns the
    // text the field shows then. Raises EConvertError for a text that is not an integer.
    std::string ApplyTimeLimit(const std::string& text);

    // --- Operator actions --------------------------------------------------------------------
    void SendInit();               // "Init": the initialisation string
    void PlayWelcome();            // "Play": the greeting through the media player
    void StartRecording();         // "Start": into the flow's recording file, the selected format
    void StopRecording() override; // "Stop", and the flow's end of a message
    // The recorder's capture anew, its offered formats and the selection in them.
    void RebuildRecorder();
    // The decoder's capture anew.
    void RebuildDecoder();

    // One line per event of a call that a supervisor of an unattended box wants to see
    // ("answered", "number 12345", "recording FILE", "upload done PATH ...", "upload failed
    // ERROR", "hangup"); on the main thread, called only when set.
    std::function<void(const std::string& event)> OnCallEvent;
    void ReportEvent(const std::string& event);

    // Sends the hang-up string if the line is off hook and waits (bounded) until it has left
    // the port; for every end of the program.
    void HangUpBeforeClosing();
    static constexpr int HangUpDrainMilliseconds = 2000;
    static constexpr int DeliveredCommandTimeout = 60; // seconds

private:
    // TCallFlowHost
    void SendToModem(const std::string& text) override;
    void SendCallCommand(const std::string& text, int hook) override;
    void PlayPrompt(const char* name) override;
    void StartRecording(const std::string& fileName) override;
    bool Recording() const override { return FRecorder.Recording(); }
    void TrimRecording(const std::string& fileName, int64_t endPosition) override;
    bool DeliverMessage(const TCallMessage& message, std::exception_ptr& showAfterCall) override;
    void KeepMessage(const TCallMessage& message) override;
    // Writes the note beside the recording and returns its text; empty when the recording is
    // not there to describe.
    std::string WriteNote(const TCallMessage& message, std::string& notePath);
    // The caller-ID command ([modem] caller_id), after the initialisation string and every hang-up.
    void SendCallerIdCommand();
    void LineOffHook(bool offHook) override;
    bool StartMailboxCheck(const std::string& mailbox, std::string& whyNot) override;
    TMailboxAnswer MailboxCheckAnswer(std::string& reason) override;
    void ForgetMailboxCheck() override;
    void DeliverAfterHangUp(const TCallMessage& message) override;
    // Hands a message to the outbox, which tries it at once; reason: for its event line.
    void Keep(const TCallMessage& message, const std::string& reason);
    // Every sound the box plays goes into FPlayed, for the decoder's echo canceller.
    void ListenToPlayback();
    void Event(const std::string& event) override { ReportEvent(event); }

    void FormCreate();
    void ComPortRxChar(int count);
    void StartOutbox();
    // Before the outbox's thread starts: the recordings a crash cut short, mended and queued.
    void RecoverInterruptedRecordings();
    // The modem is set up as at start: the init string, then the caller-ID command.
    void SetUpModem();
    // "HOSTNAME ttyACM0": which box and line took a message, for its note.
    std::string BoxName() const;
    // Warns (event line and error display) when the work folder cannot take one more message.
    void CheckFreeSpace();
    void StopOutbox();
    // tried: the call's own upload failed (the next retry comes after the usual wait); otherwise
    // the outbox tries at once.
    // True when the message is in the outbox.
    bool QueueMessage(const std::string& localFile, const std::string& mailbox, int accountIndex,
                      const std::string& remote, const std::string& reason, bool tried,
                      const std::string& note = {});
    bool PutUndeliverable(const std::string& localFile, const std::string& mailbox, int accountIndex,
                          const std::string& remote, const std::string& reason, const std::string& note = {});

    // First: the timers of the flow are built on the clock.
    std::string FExeFolder;
    std::string FPromptFolder;
    TLumiskConf FConf;
    std::unique_ptr<TClock> FOwnClock;
    TClock* FClock;

    std::unique_ptr<TComPort> ComPort;
    // Before the captures: their buffers are fed by its session until they go.
    std::unique_ptr<TVoiceModemDriver> FVoice;
    TRecorder FRecorder;
    TPlaybackReference FPlayed;
    TDecoderFeed FDecoder;
    std::unique_ptr<TIdFTP> ftp; // the call's own upload client
    TMediaPlayer MediaPlayer1;
    // Messages whose upload failed, their delivery thread, the folder of those that cannot be
    // delivered (the mailbox folder is missing), and the command run after each delivery.
    std::unique_ptr<TOutbox> Outbox;
    std::unique_ptr<TOutbox> Undeliverable;
    std::unique_ptr<TDeliveredCommand> DeliveredCommand;
    std::unique_ptr<TOutboxDelivery> OutboxDelivery;
    std::unique_ptr<TCallFlow> FFlow;
    // Where the decoder was when the call's recording began, and the recording's format: the
    // decoder's positions (a key, the caller's last sound) become places in the file.
    int64_t FRecordingFrom = 0;
    TSoundCaptureFormat FRecordingFormat;
    bool FCallerIdSent = false;    // an answer to the caller-ID command is awaited
    bool FCallerIdRefused = false; // said once
    std::unique_ptr<TModemWatch> FModemWatch;
    // While the box is being made nobody listens yet: its events are told from the event loop.
    bool FStarting = true;
    // (Declared last, destroyed first: FMailboxCheck's threads report into the flow.)
    std::unique_ptr<TMailboxCheck> FMailboxCheck;
};
