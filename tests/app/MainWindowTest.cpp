// The main window without a call: its controls, "pager.ini", the time-limit field, the timers,
// the call log and the look.
#include "app/AppTestSupport.h"
#include "app/MainForm.h"
#include "app/PtyModem.h"
#include "toolkit/Exception.h"
#include "toolkit/Thread.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override { TestApp(); }
    void TearDown() override { TSaveDialog::ClearAnswersForTests(); }

    std::unique_ptr<TMainForm> MakeForm() {
        TMainFormOptions options;
        UseTestSound(options.Conf);
        options.ExeFolder = Folder.Path;
        options.Clock = &Clock;
        options.Conf.ModemPort = Modem.Path;
        return std::make_unique<TMainForm>(std::move(options));
    }

    TTempFolder Folder{"window"};
    TPtyModem Modem;
    TManualClock Clock;
    TShownErrors Errors;
};

struct Placement {
    const char* Name;
    const char* Parent;
    int Left, Top, Width, Height; // Width -1: sizes itself
    const char* Caption;
};

// The control table of the window.
const Placement Controls[] = {
    {"GroupBox1", "MainForm", 8, 8, 345, 73, "Modem"},
    {"Label7", "GroupBox1", 8, 32, -1, 13, ""},
    {"Label2", "GroupBox1", 232, 32, 38, 13, "Timeout"},
    {"Edit1", "GroupBox1", 280, 28, 33, 21, "10"},
    {"Label4", "GroupBox1", 320, 32, 20, 13, "sec."},
    {"Label5", "MainForm", 48, 96, 51, 13, "Init stream:"},
    {"Edit2", "MainForm", 112, 88, 185, 21, "ATM1"},
    {"Button8", "MainForm", 304, 88, 49, 25, "Init"},
    {"Label3", "MainForm", 32, 128, 72, 13, "Answer stream:"},
    {"Edit3", "MainForm", 112, 120, 185, 21, "ATH1"},
    {"Button9", "MainForm", 304, 120, 49, 25, "Answer"},
    {"Label6", "MainForm", 0, 160, 103, 13, "Disconnected stream:"},
    {"Edit4", "MainForm", 112, 152, 185, 21, "ATH0"},
    {"Button10", "MainForm", 304, 152, 49, 25, "terminate"},
    {"GroupBox3", "MainForm", 8, 184, 345, 113, "Recorder"},
    {"StartButton", "GroupBox3", 8, 16, 75, 25, "&Start"},
    {"DriverBox2", "GroupBox3", 96, 16, 241, 21, nullptr},
    {"FormatBox2", "GroupBox3", 96, 40, 241, 21, nullptr},
    {"StopButton", "GroupBox3", 8, 48, 75, 25, "S&top"},
    {"FileNameEdit", "GroupBox3", 96, 64, 169, 21, "c:\\test.wav"},
    {"BrowseButton", "GroupBox3", 272, 64, 65, 25, "Browse"},
    {"CloseButton", "GroupBox3", 8, 80, 75, 25, "&Close"},
    {"SizeLabel", "GroupBox3", 96, 88, -1, 13, "0 byte"},
    {"ListBox1", "MainForm", 368, 16, 137, 241, nullptr},
    {"CheckBox1", "MainForm", 376, 272, 105, 17, "Autosave wave"},
    {"Button1", "MainForm", 8, 304, 57, 17, "Open line"},
    {"Button2", "MainForm", 80, 304, 57, 17, "Close line"},
    {"Button3", "MainForm", 152, 304, 57, 17, "Seting"},
    {"Button4", "MainForm", 224, 304, 65, 17, "Play"},
    {"Button5", "MainForm", 304, 304, 49, 17, "Save cfg."},
    {"Button6", "MainForm", 368, 304, 57, 17, "clear"},
    {"Button7", "MainForm", 448, 304, 57, 17, "Save.."},
};

QString CaptionOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return g->title();
    return {};
}

} // namespace

TEST_F(MainWindow, EveryControlHasItsNameCaptionPlaceAndSizeAndTheCaptionFits) {
    auto form = MakeForm();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_EQ(form->windowTitle(), "Vexa 1.36");
    // No display name, which a desktop title bar would append to the caption: it follows the
    // application's name.
    EXPECT_EQ(QApplication::applicationName(), "Lumisk");
    QApplication::setApplicationName("probe");
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), "probe");
    SetApplicationIdentity();
    // Centred, up to the frame that the platform adds once the window is shown.
    EXPECT_LE(
        (form->frameGeometry().center() - form->screen()->availableGeometry().center()).manhattanLength(), 4);
    EXPECT_EQ(form->size(), QSize(514, 331));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);

    for (const Placement& c : Controls) {
        SCOPED_TRACE(c.Name);
        auto* w = form->findChild<QWidget*>(c.Name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->parentWidget()->objectName(), c.Parent);
        EXPECT_EQ(w->x(), c.Left);
        EXPECT_EQ(w->y(), c.Top);
        if (c.Width >= 0) {
            EXPECT_EQ(w->width(), c.Width);
        }
        EXPECT_EQ(w->height(), c.Height);
        if (c.Caption) {
            EXPECT_EQ(CaptionOf(w).toStdString(), c.Caption);
        }
        // Every caption is readable in full at the table's size.
        QString caption = CaptionOf(w).remove('&');
        if (!caption.isEmpty() && !qobject_cast<QGroupBox*>(w) && !qobject_cast<QLineEdit*>(w)) {
            int room = w->width() - (qobject_cast<QCheckBox*>(w)     ? 18
                                     : qobject_cast<QPushButton*>(w) ? 2
                                                                     : 0);
            EXPECT_LE(w->fontMetrics().horizontalAdvance(caption), room) << caption.toStdString();
        }
    }
    EXPECT_FALSE(form->StopButton->isEnabled());
    EXPECT_FALSE(form->CheckBox1->isChecked());
    EXPECT_EQ(form->ListBox1->count(), 0);

    // The decoder group, the decoder and the player lie below the visible client area.
    EXPECT_EQ(form->GroupBox4->y(), 352);
    EXPECT_EQ(form->PhoneToneDecoder1Site->y(), 376);
    EXPECT_EQ(form->MediaPlayer1Site->y(), 440);
    EXPECT_EQ(form->GroupBox4->title(), "Decoder");
    EXPECT_EQ(form->RadioButton1->text(), "On");
    EXPECT_EQ(form->RadioButton2->text(), "Off");
    EXPECT_FALSE(form->RadioButton1->isChecked());
    EXPECT_FALSE(form->RadioButton2->isChecked());

    // The look: the replacement of "MS Sans Serif" at 12 pixels, or the fallback.
    if (QFile::exists(WindowFontFile())) {
        EXPECT_EQ(form->font().family().toStdString(), "MS Sans Serif");
        EXPECT_EQ(form->font().pixelSize(), 12);
    }
    EXPECT_EQ(QApplication::style()->name().toLower(), "windows");

    // For a person to look at.
    QString png = QString(LUMISK_BINARY_DIR) + "/lumisk-main-window.png";
    ASSERT_TRUE(form->grab().save(png));
}

TEST_F(MainWindow, WithoutPagerIniTheInitialValuesStayAndSaveThenLoadGivesTheSame) {
    auto form = MakeForm();
    EXPECT_EQ(form->Edit1->text(), "10");
    EXPECT_EQ(form->Edit2->text(), "ATM1");
    EXPECT_EQ(form->Edit3->text(), "ATH1");
    EXPECT_EQ(form->Edit4->text(), "ATH0");
    EXPECT_FALSE(form->CheckBox1->isChecked());
    EXPECT_EQ(form->Box().SavedRecorderFormat, 11);
    EXPECT_EQ(form->Box().Flow().TimeLimit().Interval(), 6000u); // until Edit1 is left

    form->Edit1->setText("25");
    form->Edit2->setText("ATZ");
    form->Edit3->setText("ATA");
    form->Edit4->setText("ATH");
    form->CheckBox1->setChecked(true);
    form->Button5Click(); // "Save cfg."
    std::string saved = ReadFile(Folder.File("pager.ini"));
    std::string expected = "25\r\nATZ\r\nATA\r\nATH\r\n1\r\n" +
                           std::to_string(form->DriverBox2->currentIndex()) + "\r\n" +
                           std::to_string(form->FormatBox2->currentIndex()) + "\r\n";
    EXPECT_EQ(saved, expected);

    auto again = MakeForm();
    EXPECT_EQ(again->Edit1->text(), "25");
    EXPECT_EQ(again->Edit2->text(), "ATZ");
    EXPECT_EQ(again->Edit3->text(), "ATA");
    EXPECT_EQ(again->Edit4->text(), "ATH");
    EXPECT_TRUE(again->CheckBox1->isChecked());
    EXPECT_EQ(again->Box().Flow().TimeLimit().Interval(), 25000u);
    EXPECT_EQ(again->Box().SavedRecorderFormat, form->FormatBox2->currentIndex());
}

TEST_F(MainWindow, PagerIniLinesAreReadExactly) {
    // Line 5 checks "Autosave wave" only when it is exactly "1".
    for (const char* line5 : {"1 ", "true", "01", ""}) {
        SCOPED_TRACE(line5);
        WriteFile(Folder.File("pager.ini"), std::string("12\r\nA\r\nB\r\nC\r\n") + line5 + "\r\n0\r\n3\r\n");
        auto form = MakeForm();
        EXPECT_FALSE(form->CheckBox1->isChecked());
        EXPECT_EQ(form->Box().SavedRecorderFormat, 3);
        EXPECT_EQ(form->Box().Flow().TimeLimit().Interval(), 12000u);
    }
    EXPECT_TRUE(Errors.Texts.empty());

    // LF-only lines read the same.
    WriteFile(Folder.File("pager.ini"), "7\nX\nY\nZ\n1\n5\n-1\n");
    auto lf = MakeForm();
    EXPECT_TRUE(lf->CheckBox1->isChecked());
    TPagerSettings read; // line 6 as read; the window's device list then selects its first entry
    read.Read(Folder.File("pager.ini"));
    EXPECT_EQ(read.RecorderDevice, 5);
    EXPECT_EQ(lf->Box().SavedRecorderFormat, -1);
    EXPECT_EQ(lf->Edit4->text(), "Z");
}

TEST_F(MainWindow, ABadPagerIniIsShownEndsTheStartUpAndTheWindowStillOpens) {
    WriteFile(Folder.File("pager.ini"), "10\r\nATM1\r\nATH1\r\nATH0\r\n0\r\nabc\r\n11\r\n");
    auto form = MakeForm();
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_EQ(Errors.Texts[0], "'abc' is not a valid integer value");
    // Lines before the bad one took effect; the time limit was not set.
    EXPECT_EQ(form->Edit2->text(), "ATM1");
    EXPECT_EQ(form->Box().Flow().TimeLimit().Interval(), 6000u);
    form->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_EQ(Errors.Texts.size(), 1u); // showing a half-made window raises nothing more

    // A short file: the missing line 7 reads as empty.
    Errors.Texts.clear();
    WriteFile(Folder.File("pager.ini"), "10\r\nATM1\r\nATH1\r\nATH0\r\n0\r\n0\r\n");
    auto shortFile = MakeForm();
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_EQ(Errors.Texts[0], "'' is not a valid integer value");
}

TEST_F(MainWindow, ASettingsFileThatCannotBeWrittenGivesAnIOError) {
    auto form = MakeForm();
    try {
        form->Box().SaveConfig(Folder.File("missing/pager.ini"));
        ADD_FAILURE() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_EQ(std::string(e.what()), "I/O error 2");
    }
    // "Save cfg." into an unwritable place goes to the error display and the program runs on.
    std::filesystem::create_directory(Folder.File("pager.ini"));
    form->Button5->click();
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_EQ(Errors.Texts[0], "I/O error 21");
}

TEST_F(MainWindow, LeavingTheTimeLimitFieldSetsTheTimeLimit) {
    auto form = MakeForm();
    form->Edit1->setText("39");
    form->Edit1Exit();
    EXPECT_EQ(form->Edit1->text(), "10");
    EXPECT_EQ(form->Box().Flow().TimeLimit().Interval(), 10000u);

    form->Edit1->setText("38");
    form->Edit1Exit();
    EXPECT_EQ(form->Edit1->text(), "38");
    EXPECT_EQ(form->Box().Flow().TimeLimit().Interval(), 38000u);

    form->Edit1->setText("abc");
    RunHandler([&] { form->Edit1Exit(); });
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_EQ(Errors.Texts[0], "'abc' is not a valid integer value");
    EXPECT_EQ(form->Box().Flow().TimeLimit().Interval(), 38000u);

    // 0 is a limit that never fires; a negative one wraps to a very long one.
    form->Edit1->setText("0");
    form->Edit1Exit();
    form->Button1->click(); // "Open line": the time limit is on, but never fires
    EXPECT_TRUE(form->Box().Flow().TimeLimit().Enabled());
    EXPECT_FALSE(Clock.Armed(form->Box().Flow().TimeLimit()));
    form->Button2->click();
    form->Edit1->setText("-1");
    form->Edit1Exit();
    EXPECT_EQ(form->Box().Flow().TimeLimit().Interval(), 4294966296u);

    // The real focus change runs it too.
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->activateWindow();
    form->Edit1->setFocus();
    form->Edit1->setText("39");
    form->Edit2->setFocus();
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->Edit1->text() == "10"; }, 10000));
}

TEST_F(MainWindow, KeysCollectUntilFourSecondsAfterTheLastOne) {
    auto form = MakeForm();
    TCallFlow& flow = form->Box().Flow();
    auto key = [&](int k) { flow.PhoneToneDecoder1DTMF(k); };
    key('1'); // on hook: no caller, no key
    EXPECT_EQ(form->Label7->text(), "");
    EXPECT_EQ(flow.State(), TCallState::Idle);

    form->Button9->click(); // "Answer"
    EXPECT_EQ(flow.State(), TCallState::AwaitingNumber);
    for (int k : {'1', '2', 'D', '3'})
        key(k);
    EXPECT_EQ(form->Label7->text(), "123");
    EXPECT_EQ(flow.State(), TCallState::CollectingDigits);
    EXPECT_EQ(Clock.Remaining(flow.Deadline()), 4000);

    Clock.Advance(3900);
    key('4'); // 3.9 s after the previous key: the wait starts again
    Clock.Advance(3999);
    EXPECT_EQ(form->Label7->text(), "1234");
    EXPECT_EQ(form->windowTitle(), "Vexa 1.36");
    Clock.Advance(1);
    EXPECT_EQ(flow.MailboxNumber(), "1234");
    EXPECT_EQ(form->windowTitle(), "ID: 1234");
    EXPECT_EQ(form->Label7->text(), "");
    ASSERT_EQ(form->ListBox1->count(), 1);
    EXPECT_EQ(form->ListBox1->item(0)->text(), "1234");
    EXPECT_EQ(flow.CallStamp(), "12/09/25_14:00:07");
    EXPECT_EQ(flow.State(), TCallState::Recording);
    EXPECT_TRUE(Clock.Armed(flow.TimeLimit())); // the time limit runs from here
    EXPECT_FALSE(flow.Deadline().Enabled());

    // A "D" during the message changes nothing: the number stays.
    key('D');
    Clock.Advance(4000);
    EXPECT_EQ(flow.State(), TCallState::Recording);
    EXPECT_EQ(flow.MailboxNumber(), "1234");

    // A caller who keys only "D": nothing is accepted and no time limit starts.
    form->Button10->click(); // "terminate"
    form->Button9->click();
    key('D');
    Clock.Advance(4000);
    EXPECT_EQ(form->ListBox1->count(), 1);
    EXPECT_FALSE(flow.TimeLimit().Enabled());
    EXPECT_EQ(flow.MailboxNumber(), "");
    EXPECT_EQ(flow.State(), TCallState::AwaitingNumber);

    // A repeated caller gets a line of its own; other keys are accepted as keyed, during the
    // message too ("#" there ends the message).
    for (int k : {'1', '2', '3', '4'})
        key(k);
    Clock.Advance(4000);
    for (int k : {'*', 'A', 'B'})
        key(k);
    EXPECT_EQ(flow.State(), TCallState::RecordingDigits);
    Clock.Advance(4000);
    ASSERT_EQ(form->ListBox1->count(), 3);
    EXPECT_EQ(form->ListBox1->item(1)->text(), "1234");
    EXPECT_EQ(form->ListBox1->item(2)->text(), "*AB");
    EXPECT_EQ(flow.State(), TCallState::Recording);
}

TEST_F(MainWindow, TimersRestartOnlyWhenDisabledAndEnabled) {
    TTimer timer(Clock, 1000);
    int fired = 0;
    timer.OnTimer = [&] { ++fired; };
    timer.SetEnabled(true);
    Clock.Advance(600);
    timer.SetEnabled(true); // already running: no restart
    Clock.Advance(400);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer.Enabled());

    timer.SetEnabled(true);
    Clock.Advance(600);
    timer.SetInterval(1000); // same interval: no restart
    timer.SetInterval(2000); // a new interval restarts
    Clock.Advance(1999);
    EXPECT_EQ(fired, 1);
    Clock.Advance(1);
    EXPECT_EQ(fired, 2);

    // A handler's exception is shown and the program goes on.
    timer.OnTimer = [] { throw Exception("boom"); };
    timer.SetEnabled(true);
    Clock.Advance(2000);
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_EQ(Errors.Texts[0], "boom");
}

TEST_F(MainWindow, TheSystemClockFiresTimersFromTheEventLoop) {
    TSystemClock clock;
    TTimer timer(clock, 20);
    int fired = 0;
    timer.OnTimer = [&] {
        ++fired;
        timer.SetEnabled(false); // disarming from inside its own time-out is safe
        timer.SetEnabled(true);
    };
    timer.SetEnabled(true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return fired >= 3; }, 30000));
    timer.SetEnabled(false);
}

TEST_F(MainWindow, TheCallLogIsSavedAsCrLfLinesAndClearGivesAnEmptyFile) {
    auto form = MakeForm();
    form->ListBox1->addItem("123");
    form->ListBox1->addItem("007");
    TSaveDialog::QueueAnswerForTests(Folder.File("log.txt"));
    form->Button7->click();
    EXPECT_EQ(ReadFile(Folder.File("log.txt")), "123\r\n007\r\n");

    TSaveDialog::QueueAnswerForTests(std::nullopt); // cancel: nothing written
    WriteFile(Folder.File("log.txt"), "kept");
    form->Button7->click();
    EXPECT_EQ(ReadFile(Folder.File("log.txt")), "kept");

    form->Button6->click(); // "clear"
    EXPECT_EQ(form->ListBox1->count(), 0);
    TSaveDialog::QueueAnswerForTests(Folder.File("log.txt"));
    form->Button7->click();
    EXPECT_TRUE(std::filesystem::exists(Folder.File("log.txt")));
    EXPECT_EQ(ReadFile(Folder.File("log.txt")), "");

    TSaveDialog::QueueAnswerForTests(Folder.File("no/such/log.txt"));
    form->Button7->click();
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_EQ(Errors.Texts[0], "Cannot create file " + Folder.File("no/such/log.txt"));
    EXPECT_TRUE(Errors.Texts.size() == 1);
}

TEST_F(MainWindow, BrowseTakesTheChosenNameAndCancelKeepsTheOldOne) {
    auto form = MakeForm();
    TSaveDialog::QueueAnswerForTests(Folder.File("a.wav"));
    form->BrowseButton->click();
    EXPECT_EQ(form->FileNameEdit->text().toStdString(), Folder.File("a.wav"));
    TSaveDialog::QueueAnswerForTests(std::nullopt);
    form->BrowseButton->click();
    EXPECT_EQ(form->FileNameEdit->text().toStdString(), Folder.File("a.wav"));
}

TEST_F(MainWindow, TheRealSaveDialogOpensNonNativeAndCancels) {
    auto form = MakeForm();
    QTimer::singleShot(0, [] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(dialog->inherits("QFileDialog"));
        dialog->close();
    });
    form->FileNameEdit->setText(QString::fromStdString(Folder.File("x.wav")));
    form->BrowseButtonClick();
    EXPECT_EQ(form->FileNameEdit->text().toStdString(), Folder.File("x.wav"));
}

TEST_F(MainWindow, TheEventLoopServesHandOversFromBackgroundThreads) {
    class Worker : public TThread {
    public:
        Worker() { Start(); }
        ~Worker() override { WaitFor(); }
        std::atomic<bool> Handed{false};

    protected:
        void Execute() override {
            Synchronize([this] { Handed = TThread::IsMainThread(); });
        }
    } worker;
    EXPECT_TRUE(QTest::qWaitFor([&] { return worker.Handed.load(); }, 30000));
}
