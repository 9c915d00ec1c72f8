// The main window's controls, their places and the wiring of their handlers.
#include "app/MainForm.h"

#include "app/WindowLook.h"
#include "toolkit/ExceptionReporter.h"
#include "toolkit/StringUtils.h"

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

std::string Text(const QLineEdit* edit) {
    return edit->text().toLocal8Bit().toStdString();
}

QString QText(const std::string& text) {
    return QString::fromLocal8Bit(text.c_str());
}

QComboBox* MakeList(QWidget* parent, const char* name, int left, int top, int width, int height) {
    QComboBox* box = new QComboBox(parent); // a drop-down list: no free text
    box->setObjectName(name);
    box->setGeometry(left, top, width, height);
    return box;
}

} // namespace

TMainForm::TMainForm(TMainFormOptions options, QWidget* parent) : QWidget(parent) {
    setObjectName("MainForm");
    setWindowTitle("Vexa 1.36");
    // Fixed single border, system menu and minimise only.
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(WindowFont());
    BuildControls();
    setFixedSize(514, 331);
    CentreOnScreen(*this);
    // The box reads pager.ini, opens the port and makes the captures; the fields show the result.
    FBox = std::make_unique<TBox>(std::move(options));
    ShowSettings();
    ConnectHandlers();
    WatchBox();
}

TMainForm::~TMainForm() {
    // The box's threads and timers report into this window: it goes first.
    FBox.reset();
}

void TMainForm::ShowSettings() {
    const TPagerSettings& settings = FBox->Settings;
    Edit1->setText(QText(settings.TimeLimit));
    Edit2->setText(QText(settings.InitString));
    Edit3->setText(QText(settings.AnswerString));
    Edit4->setText(QText(settings.HangupString));
    CheckBox1->setChecked(settings.Autosave);
    FileNameEdit->setText(QText(FBox->Flow().RecordFileName()));
    // The lists exist only as far as the start-up got.
    TDirectXDrivers& drivers = TSoundCaptureStream::CaptureDrivers();
    if (FBox->Recorder().Capture()) {
        for (int i = 0; i < drivers.Count(); ++i)
            DriverBox2->addItem(QText(drivers.Items(i).Description));
        DriverBox2->setCurrentIndex(DriverBox2->count() > 0 ? 0 : -1);
        FillRecorderFormats();
    }
    if (FBox->Decoder().Capture()) {
        for (int i = 0; i < drivers.Count(); ++i)
            DriverBox->addItem(QText(drivers.Items(i).Description));
        DriverBox->setCurrentIndex(DriverBox->count() > 0 ? 0 : -1);
        FillDecoderFormats();
    }
}

void TMainForm::FillRecorderFormats() {
    const int wanted = FBox->RecorderFormat;
    FormatBox2->clear();
    TSoundCaptureStream* capture = FBox->Recorder().Capture();
    const int offered = FBox->Recorder().OfferedFormatCount();
    // A position in the box is the same position in the stream's list.
    for (int i = 0; i < offered; ++i)
        FormatBox2->addItem(QString::fromStdString(FormatLine(capture->Formats()[i])));
    FormatBox2->setCurrentIndex(wanted);
    FBox->RecorderFormat = wanted;
}

void TMainForm::FillDecoderFormats() {
    FormatBox->clear();
    TSoundCaptureStream* capture = FBox->Decoder().Capture();
    if (!capture)
        return;
    for (int i = 0; i < capture->Formats().Count(); ++i)
        FormatBox->addItem(QString::fromStdString(FormatLine(capture->Formats()[i])));
    FormatBox->setCurrentIndex(FBox->Decoder().FormatIndex());
}

void TMainForm::WatchBox() {
    FBox->OnCallEvent = [this](const std::string& event) {
        if (OnCallEvent)
            OnCallEvent(event);
    };
    TCallFlow& flow = FBox->Flow();
    flow.OnDigitsChanged = [this](const std::string& digits) {
        Label7->setText(QText(digits));
        Label7->adjustSize();
    };
    flow.OnNumberAccepted = [this](const std::string& number) {
        setWindowTitle(QText("ID: " + number));
        ListBox1->addItem(QText(number));
    };
    flow.OnRecordFileNameChanged = [this](const std::string& fileName) {
        FileNameEdit->setText(QText(fileName));
    };
    TRecorder& recorder = FBox->Recorder();
    recorder.OnRecordingChanged = [this](bool recording) { SetRecorderControls(recording); };
    recorder.OnSize = [this](int32_t bytes) {
        SizeLabel->setText(QString::fromStdString(Format("%d byte", bytes)));
        SizeLabel->adjustSize();
    };
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
    // The fields are the box's settings: every change reaches it at once.
    TPagerSettings& settings = FBox->Settings;
    connect(Edit1, &QLineEdit::textChanged, this, [this, &settings] { settings.TimeLimit = Text(Edit1); });
    connect(Edit2, &QLineEdit::textChanged, this, [this, &settings] { settings.InitString = Text(Edit2); });
    connect(Edit3, &QLineEdit::textChanged, this, [this, &settings] { settings.AnswerString = Text(Edit3); });
    connect(Edit4, &QLineEdit::textChanged, this, [this, &settings] { settings.HangupString = Text(Edit4); });
    connect(CheckBox1, &QCheckBox::toggled, this, [&settings](bool on) { settings.Autosave = on; });
    connect(FileNameEdit, &QLineEdit::textChanged, this,
            [this] { FBox->Flow().SetRecordFileName(Text(FileNameEdit)); });
    connect(DriverBox2, &QComboBox::currentIndexChanged, this,
            [&settings](int index) { settings.RecorderDevice = index; });
    connect(FormatBox2, &QComboBox::currentIndexChanged, this,
            [this](int index) { FBox->RecorderFormat = index; });
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
