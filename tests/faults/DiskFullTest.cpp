// The disk filling up while a message is recorded: the file-size limit of the process stands in
// for a full disk (the write fails with EFBIG as it would with ENOSPC).
#include "FaultSupport.h"

#include <QCheckBox>
#include <QLineEdit>
#include <csignal>

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

} // namespace

TEST_F(FaultTest, DiskFullWhileRecordingShowsTheErrorOnceStopsAndKeepsAReadableFile) {
    TPluggableModem modem(Folder.File("modem"));
    auto form = MakeForm(modem.Link);
    ASSERT_TRUE(modem.WaitReceived("ATM1\r"));
    form->CheckBox1->setChecked(true);
    unsetenv("LUMISK_SIM_PLAYBACK"); // only the recording may meet the limit
    constexpr rlim_t Limit = 48 * 1024;
    TFileSizeLimit full(Limit);
    ASSERT_TRUE(full.Ok);

    const std::string recording = StartRecordedCall(*form, modem, "7");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Errors.Texts.empty(); }, 30000));
    // More capture notifications come and go: the error stays shown once.
    QTest::qWait(1000);
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_EQ(Errors.Texts[0], "Stream write error");
    EXPECT_FALSE(form->Recording());
    ASSERT_TRUE(form->RecorderCapture);
    EXPECT_FALSE(form->RecorderCapture->IsCapturing());

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
