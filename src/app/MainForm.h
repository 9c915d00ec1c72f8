// The main window: shows the box and lets the operator drive it. It owns the box (the port,
// the captures, the player, the upload and the call flow, all in TBox), mirrors the flow's
// state into its controls (the digits in Label7, "ID: " and the number in the caption, the call
// log, the recording's name in FileNameEdit) and turns the operator's buttons and edits into
// the box's events and settings. It decides nothing about a call.
#pragma once

#include "app/Box.h"
#include "app/SaveDialog.h"

#include <QPalette>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

// How the window meets its machine: the box's options.
using TMainFormOptions = TBoxOptions;

class TMainForm : public QWidget {
    Q_OBJECT

public:
    explicit TMainForm(TMainFormOptions options = {}, QWidget* parent = nullptr);
    ~TMainForm() override;

    TBox& Box() { return *FBox; }

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
    TSaveDialog SaveDialog;
    const char* const ChannelNames[2] = {"Mono", "Stereo"};

    // The box's event lines, passed on; called only when set.
    std::function<void(const std::string& event)> OnCallEvent;

    // --- Handlers ----------------------------------------------------------------------------
    void FormShow();
    void FormClose();
    void Edit1Exit();
    void DriverBox2Change();
    void DriverBoxChange();
    void StartButtonClick();
    void StopButtonClick();
    void BrowseButtonClick();
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
    // "%dHz %dbit %s" with "Mono" or "Stereo".
    std::string FormatLine(const TSoundCaptureFormat& format) const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void ConnectHandlers();
    void WatchBox();
    // The fields from the box's settings (at start and after "pager.ini" was read).
    void ShowSettings();
    void FillRecorderFormats();
    void FillDecoderFormats();
    void SetRecorderControls(bool recording);

    std::unique_ptr<TBox> FBox;
    QPalette FFieldPalette; // an edit field's own colours
    bool FShown = false;
    bool FClosed = false;
};
