// The disk filling up while a message is recorded: the file-size limit of the process stands in
// for a full disk (the write fails with EFBIG as it would with ENOSPC).
#include "FaultSupport.h"
#include "support/SoundSettings.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

// Lowers the process's file-size limit while it lives; SIGXFSZ ignored, so a write past the
// limit fails instead of ending the process.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &FOld);
        FOldHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = FOld;
        limit.rlim_cur = bytes;
        Ok = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~TFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &FOld);
        signal(SIGXFSZ, FOldHandler);
    }
    bool Ok = false;

private:
    rlimit FOld{};
    sighandler_t FOldHandler;
};

// A test that hangs for good cannot fail by itself: this ends the process, saying why.
class TWatchdog {
public:
    TWatchdog(std::chrono::seconds bound, const char* what) {
        FThread = std::thread([this, bound, what] {
            std::unique_lock<std::mutex> lock(FLock);
            if (!FChanged.wait_for(lock, bound, [this] { return FDone; })) {
                std::fprintf(stderr, "watchdog: %s\n", what);
                std::abort();
            }
        });
    }
    ~TWatchdog() {
        {
            std::lock_guard<std::mutex> guard(FLock);
            FDone = true;
        }
        FChanged.notify_all();
        FThread.join();
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FDone = false;
    std::thread FThread;
};

} // namespace

TEST_F(FaultTest, DiskFullWhileRecordingShowsTheErrorOnceStopsAndKeepsAReadableFile) {
    TPluggableModem modem(Folder.File("modem"));
    auto form = MakeForm(modem.Link);
    ASSERT_TRUE(modem.WaitReceived("ATM1\r"));
    form->CheckBox1->setChecked(true);
    SetSimPlayback(""); // only the recording may meet the limit
    constexpr rlim_t Limit = 48 * 1024;
    TFileSizeLimit full(Limit);
    ASSERT_TRUE(full.Ok);

    const std::string recording = StartRecordedCall(*form, modem, "7");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Errors.Texts.empty(); }, 30000));
    // More capture notifications come and go: the error stays shown once.
    QTest::qWait(1000);
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_EQ(Errors.Texts[0], "Cannot write " + recording + ": File too large");
    EXPECT_FALSE(form->Box().Recorder().Recording());
    ASSERT_TRUE(form->Box().Recorder().Capture());
    EXPECT_FALSE(form->Box().Recorder().Capture()->IsCapturing());

    const std::string bytes = ReadFile(recording);
    EXPECT_LE(bytes.size(), Limit);
    const TReadBack wave = ReadWave(recording);
    ASSERT_TRUE(wave.Opened);
    EXPECT_GT(wave.DataSize, 0);
    EXPECT_EQ(wave.DataStart + wave.DataSize, static_cast<int64_t>(bytes.size()));

    // The call goes on to its end, and the next call is answered.
    Clock.Advance(6000);
    ASSERT_TRUE(modem.WaitReceived("ATH0\r"));
    modem.Send("RING\r\n");
    EXPECT_TRUE(QTest::qWaitFor([&] { return modem.Count("ATH1\r") == 2; }, 30000));
}

// The window's own error display, a modal message box with its event loop, shows the disk-full
// error; while it is open the time limit runs out and the call ends under it (stop, upload,
// hang-up), then the operator closes it and the next call is answered. Nothing waits for good.
TEST_F(FaultTest, DiskFullErrorBoxNeitherHangsTheWindowNorHoldsUpTheCallOrTheNext) {
    TPluggableModem modem(Folder.File("modem"));
    auto form = MakeForm(modem.Link);
    ASSERT_TRUE(modem.WaitReceived("ATM1\r"));
    form->CheckBox1->setChecked(true);
    SetSimPlayback("");
    TFileSizeLimit full(48 * 1024);
    ASSERT_TRUE(full.Ok);
    InstallMessageBoxErrorDisplay();
    TWatchdog watchdog(std::chrono::seconds(240), "the window hangs behind its error box");

    std::vector<std::string> boxes;
    bool hungUpUnderTheBox = false;
    QTimer operatorHand; // looks for the box, as an operator would, from inside its event loop
    operatorHand.setInterval(50);
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        boxes.push_back(box->text().toStdString());
        if (boxes.size() == 1) {
            Clock.Advance(6000); // the time limit, with the box still open
            hungUpUnderTheBox = modem.Count("ATH0\r") == 1;
        }
        box->done(QMessageBox::Ok);
    });
    operatorHand.start();

    const std::string recording = StartRecordedCall(*form, modem, "7");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.empty(); }, 60000));
    ASSERT_TRUE(modem.WaitReceived("ATH0\r"));
    EXPECT_TRUE(hungUpUnderTheBox);
    EXPECT_EQ(boxes, std::vector<std::string>{"Cannot write " + recording + ": File too large"});
    EXPECT_FALSE(form->Box().Recorder().Recording());
    EXPECT_FALSE(form->Box().Recorder().Capture()->IsCapturing());

    modem.Send("RING\r\n");
    EXPECT_TRUE(QTest::qWaitFor([&] { return modem.Count("ATH1\r") == 2; }, 30000));
    QTest::qWait(300);
    EXPECT_EQ(boxes.size(), 1u);
}
