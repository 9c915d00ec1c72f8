// The main window's controls, their places and the wiring of their handlers.
#include "app/MainForm.h"

#include "app/ExecutableFolder.h"
#include "app/ModemPort.h"
#include "app/WindowLook.h"
#include "audio/PromptReader.h"
#include "toolkit/ExceptionReporter.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <cstdio>

namespace {

template <class T>
T* Make(QWidget* parent, const char* name, const QString& text, int left, int top, int width, int height) {
    T* control = new T(text, parent);
    control->setObjectName(name);
    control->setGeometry(left, top, width, height);
    return control;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top, int width = -1,
                  int height = 13) {
    QLabel* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(left, top, width < 0 ? 0 : width, height);
    if (width < 0) // sizes itself to its text
        label->adjustSize();
    return label;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QString& text, int left, int top, int width,
                    int height) {
    QLineEdit* edit = new QLineEdit(text, parent);
    edit->setObjectName(name);
    edit->setGeometry(left, top, width, height);
    return edit;
}

QComboBox* MakeList(QWidget* parent, const char* name, int left, int top, int width, int height) {
    QComboBox* box = new QComboBox(parent); // a drop-down list: no free text
    box->setObjectName(name);
    box->setGeometry(left, top, width, height);
    return box;
}

} // namespace

TMainForm::TMainForm(TMainFormOptions options, QWidget* parent)
    : QWidget(parent), FExeFolder(options.ExeFolder.empty() ? ExecutableFolder() : options.ExeFolder),
      FPromptFolder(std::move(options.PromptFolder)), FConf(std::move(options.Conf)),
      FOwnClock(options.Clock ? nullptr : std::make_unique<TSystemClock>()),
      FClock(options.Clock ? options.Clock : FOwnClock.get()), Timer2(*FClock, 6000), Timer3(*FClock, 4000),
      NumberWaitTimer(*FClock, SecondsToInterval(FConf.CallNumberWait)) {
    setObjectName("MainForm");
    setWindowTitle("Vexa 1.36");
    // Fixed single border, system menu and minimise only.
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(WindowFont());
    BuildControls();
    BuildComponents();
    ConnectHandlers();
    setFixedSize(514, 331);
    CentreOnScreen(*this);
    // A prompt that cannot be played leaves the call going on the default sound; the operator
    // hears of it on the event line and stderr, once per file, not in a message box.
    SetPromptProblemHook([this](const std::string& file, const std::string& reason) {
        const std::string line = "prompt " + file + " not playable: " + reason;
        std::fprintf(stderr, "lumisk: %s\n", line.c_str());
        std::fflush(stderr);
        ReportEvent(line);
    });
    FormCreate();
    StartOutbox();
}

TMainForm::~TMainForm() {
    // The delivery threads report into this window: they go first.
    StopOutbox();
    SetPromptProblemHook(nullptr);
    // Timers must not fire into a half-destroyed window.
    Timer2.OnTimer = nullptr;
    Timer3.OnTimer = nullptr;
    NumberWaitTimer.OnTimer = nullptr;
    // Streams and the port stop their threads (which call into this window) before the
    // controls go.
    DecoderCapture.reset();
    TThread::RemoveQueuedEvents(DecoderTag()); // keys handed over but not yet taken
    if (RecorderCapture)
        RecorderCapture->StopCapture();
    RecordFile.reset();
    RecorderCapture.reset();
    // Events already handed over are still served while the port closes: they must not reach
    // the window any more.
    ComPort->OnRxChar = nullptr;
    ComPort->OnError = nullptr;
    ComPort->ClosePort();
    ComPort.reset();
    PhoneToneDecoder1.OnDTMF = nullptr;
}

void TMainForm::BuildComponents() {
    // The modem line as the window's definition sets it; opened by FormCreate.
    ComPort = std::make_unique<TComPort>();
    ComPort->SetName("ComPort");
    SetUpModemPort(*ComPort, FConf.ModemPort);
    ComPort->SetTriggersOnRxChar(true);
    ComPort->OnRxChar = [this](TComponent*, int count) { ComPortRxChar(count); };
    // An unattended box must say at once that its modem went away, not at the next hang-up.
    ComPort->OnError = [this](TComponent*, TComErrors errors) {
        if (errors.Contains(erIO) && ComPort->DeviceLost())
            ReportEvent("modem line lost");
    };
    ftp = std::make_unique<TIdFTP>();
    ftp->SetName("ftp");
    PhoneToneDecoder1.SetName("PhoneToneDecoder1");
    MediaPlayer1.SetName("MediaPlayer1");
}

void TMainForm::BuildControls() {
    GroupBox1 = Make<QGroupBox>(this, "GroupBox1", "Modem", 8, 8, 345, 73);
    Label7 = MakeLabel(GroupBox1, "Label7", "", 8, 32);
    Label2 = MakeLabel(GroupBox1, "Label2", "Timeout", 232, 32, 38);
    Edit1 = MakeEdit(GroupBox1, "Edit1", "10", 280, 28, 33, 21);
    Label4 = MakeLabel(GroupBox1, "Label4", "sec.", 320, 32, 20);

    Label5 = MakeLabel(this, "Label5", "Init stream:", 48, 96, 51);
    Edit2 = MakeEdit(this, "Edit2", "ATM1", 112, 88, 185, 21);
    Button8 = Make<QPushButton>(this, "Button8", "Init", 304, 88, 49, 25);
    Label3 = MakeLabel(this, "Label3", "Answer stream:", 32, 128, 72);
    Edit3 = MakeEdit(this, "Edit3", "ATH1", 112, 120, 185, 21);
    Button9 = Make<QPushButton>(this, "Button9", "Answer", 304, 120, 49, 25);
    Label6 = MakeLabel(this, "Label6", "Disconnected stream:", 0, 160, 103);
    Edit4 = MakeEdit(this, "Edit4", "ATH0", 112, 152, 185, 21);
    Button10 = Make<QPushButton>(this, "Button10", "terminate", 304, 152, 49, 25);

    GroupBox3 = Make<QGroupBox>(this, "GroupBox3", "Recorder", 8, 184, 345, 113);
    StartButton = Make<QPushButton>(GroupBox3, "StartButton", "&Start", 8, 16, 75, 25);
    DriverBox2 = MakeList(GroupBox3, "DriverBox2", 96, 16, 241, 21);
    FormatBox2 = MakeList(GroupBox3, "FormatBox2", 96, 40, 241, 21);
    StopButton = Make<QPushButton>(GroupBox3, "StopButton", "S&top", 8, 48, 75, 25);
    StopButton->setEnabled(false);
    FileNameEdit = MakeEdit(GroupBox3, "FileNameEdit", "c:\\test.wav", 96, 64, 169, 21);
    FFieldPalette = FileNameEdit->palette();
    BrowseButton = Make<QPushButton>(GroupBox3, "BrowseButton", "Browse", 272, 64, 65, 25);
    CloseButton = Make<QPushButton>(GroupBox3, "CloseButton", "&Close", 8, 80, 75, 25);
    SizeLabel = MakeLabel(GroupBox3, "SizeLabel", "0 byte", 96, 88);

    ListBox1 = new QListWidget(this);
    ListBox1->setObjectName("ListBox1");
    ListBox1->setGeometry(368, 16, 137, 241);
    CheckBox1 = Make<QCheckBox>(this, "CheckBox1", "Autosave wave", 376, 272, 105, 17);

    Button1 = Make<QPushButton>(this, "Button1", "Open line", 8, 304, 57, 17);
    Button2 = Make<QPushButton>(this, "Button2", "Close line", 80, 304, 57, 17);
    Button3 = Make<QPushButton>(this, "Button3", "Seting", 152, 304, 57, 17);
    Button4 = Make<QPushButton>(this, "Button4", "Play", 224, 304, 65, 17);
    Button5 = Make<QPushButton>(this, "Button5", "Save cfg.", 304, 304, 49, 17);
    Button6 = Make<QPushButton>(this, "Button6", "clear", 368, 304, 57, 17);
    Button7 = Make<QPushButton>(this, "Button7", "Save..", 448, 304, 57, 17);

    // Below the visible client area: present and working, never seen.
    GroupBox4 = Make<QGroupBox>(this, "GroupBox4", "Decoder", 8, 352, 345, 81);
    DriverBox = MakeList(GroupBox4, "DriverBox", 8, 16, 241, 21);
    FormatBox = MakeList(GroupBox4, "FormatBox", 8, 48, 241, 21);
    RadioButton1 = Make<QRadioButton>(GroupBox4, "RadioButton1", "On", 264, 16, 57, 17);
    RadioButton2 = Make<QRadioButton>(GroupBox4, "RadioButton2", "Off", 264, 48, 57, 17);
    PhoneToneDecoder1Site = new QWidget(this);
    PhoneToneDecoder1Site->setObjectName("PhoneToneDecoder1");
    PhoneToneDecoder1Site->setGeometry(368, 376, 100, 50);
    PhoneToneDecoder1Site->setFocusPolicy(Qt::StrongFocus);
    MediaPlayer1Site = new QWidget(this);
    MediaPlayer1Site->setObjectName("MediaPlayer1");
    MediaPlayer1Site->setGeometry(8, 440, 253, 30);
    MediaPlayer1Site->setEnabled(false);
}

void TMainForm::ConnectHandlers() {
    auto click = [this](QPushButton* button, void (TMainForm::*handler)()) {
        connect(button, &QPushButton::clicked, this,
                [this, handler] { RunHandler([&] { (this->*handler)(); }); });
    };
    click(StartButton, &TMainForm::StartButtonClick);
    click(StopButton, &TMainForm::StopButtonClick);
    click(CloseButton, &TMainForm::CloseButtonClick);
    click(BrowseButton, &TMainForm::BrowseButtonClick);
    click(Button1, &TMainForm::Button1Click);
    click(Button2, &TMainForm::Button2Click);
    click(Button3, &TMainForm::Button3Click);
    click(Button4, &TMainForm::Button4Click);
    click(Button5, &TMainForm::Button5Click);
    click(Button6, &TMainForm::Button6Click);
    click(Button7, &TMainForm::Button7Click);
    click(Button8, &TMainForm::Button8Click);
    click(Button9, &TMainForm::Button9Click);
    click(Button10, &TMainForm::Button10Click);
    // The operator's choice only: the start-up fills the lists and runs the rebuild itself.
    connect(DriverBox2, &QComboBox::activated, this, [this] { RunHandler([this] { DriverBox2Change(); }); });
    connect(DriverBox, &QComboBox::activated, this, [this] { RunHandler([this] { DriverBoxChange(); }); });
    connect(RadioButton1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            RunHandler([this] { RadioButton1Click(); });
    });
    Edit1->installEventFilter(this);
    Timer2.OnTimer = [this] { Timer2Timer(); };
    Timer3.OnTimer = [this] { Timer3Timer(); };
    NumberWaitTimer.OnTimer = [this] { NumberWaitTimerTimer(); };
    // Raised on the decoder capture's thread: the key is handled on the main thread, after the
    // keys before it, once whatever holds the main thread (a prompt) is over.
    PhoneToneDecoder1.OnDTMF = [this](TComponent*, int key, int64_t position) {
        TThread::Queue([this, key, position] { PhoneToneDecoder1DTMF(key, position); }, DecoderTag());
    };
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    // Leaving the field, not the window: switching to another application is no exit.
    if (watched == Edit1 && event->type() == QEvent::FocusOut) {
        Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            RunHandler([this] { Edit1Exit(); });
    }
    return QWidget::eventFilter(watched, event);
}

void TMainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (FShown)
        return;
    FShown = true;
    RunHandler([this] { FormShow(); });
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (!FClosed) {
        FClosed = true;
        RunHandler([this] { FormClose(); });
    }
    event->accept();
}

void TMainForm::ReportEvent(const std::string& event) {
    if (OnCallEvent)
        OnCallEvent(event);
}

std::string TMainForm::PagerIniPath() const {
    return FExeFolder + "/pager.ini";
}
