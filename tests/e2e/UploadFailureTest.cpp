// Calls whose upload goes wrong: only a failed store lets the call end as usual; every other
// failure is shown and leaves the line off hook, and the box still takes the next call.
#include "E2eChecks.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace e2e;

namespace {

class UploadFailure : public ::testing::Test {
protected:
    void Start(TBoxSettings settings = {}) {
        rig.StartLine();
        if (rig.Server)
            settings.UploadPort = rig.Server->Port();
        settings.TimeLimitSeconds = 1;
        rig.StartBox(settings);
    }
    // The modem lines sent after the one at index from.
    std::string ModemSince(size_t from) { return Joined(rig.ModemLines(), from); }
    // Places a call that will not be hung up by the box: waits for the upload's failure and
    // the error shown for it, then ends the caller's side. Returns the error line.
    std::string CallLeftOffHook(const std::string& keys, const std::string& error) {
        const int fromOut = rig.BoxProcess->LineCount(TChildProcess::Out);
        const int fromErr = rig.BoxProcess->LineCount(TChildProcess::Err);
        const int fromLine =
            rig.StartCall(keys + " key=60 gap=60 quiet=400 heard=" + rig.Folder + "/heard.wav none");
        const int shown = rig.BoxError(error, fromErr);
        EXPECT_GE(shown, 0) << rig.BoxProcess->AllText(TChildProcess::Err);
        rig.Line->Write("abort");
        EXPECT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call failed aborted", fromLine), 0);
        EXPECT_LT(rig.BoxEvent(" hangup$", fromOut, std::chrono::milliseconds(0)), 0);
        return rig.BoxProcess->Line(TChildProcess::Err, shown);
    }
    // A following call is answered and goes through to the hang-up.
    void NextCallGoesThrough(const std::string& keys) {
        const int end = rig.Call(keys + " key=60 gap=60 quiet=400 none");
        ASSERT_GE(end, 0);
        EXPECT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
            << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    }
    TBoxRig rig{"fail"};
};

TEST_F(UploadFailure, AMissingMailboxFolderPlaysNotFoundThenThanksAndHangsUp) {
    rig.StartServer(TFtpServer::PyFtpdLib, "");
    Start();
    const int end = rig.Call("12345 key=60 gap=60 quiet=400 heard=" + rig.Folder + "/heard.wav none");
    ASSERT_GE(end, 0);
    ASSERT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATDD; ATH0");
    TSamples heard;
    ASSERT_TRUE(IsCompleteWave(rig.Folder + "/heard.wav", &heard));
    EXPECT_EQ(PromptsHeard(heard), "welcome enter message beep notfound thank");
    // The store's failure goes no further than the supervisor's line: no error display.
    EXPECT_GE(rig.BoxEvent(" upload failed .*550"), 0) << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Err).find("error"), std::string::npos);
}

TEST_F(UploadFailure, AWrongPasswordShowsTheServersReplyAndLeavesTheLineOffHook) {
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.Password = "wrong";
    Start(settings);
    const std::string shown = CallLeftOffHook("12345", " error: .*[Aa]uthentication failed");
    EXPECT_NE(shown.find("Authentication failed"), std::string::npos) << shown;
    TSamples heard;
    ASSERT_TRUE(IsCompleteWave(rig.Folder + "/heard.wav", &heard));
    EXPECT_EQ(PromptsHeard(heard), "welcome enter message beep");
    // No hang-up string: the next thing the modem sees is the answer to the next ring.
    const size_t before = rig.ModemLines().size();
    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATDD;");
    const int fromLine = rig.StartCall("- none");
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call answered", fromLine), 0);
    rig.Line->Write("abort");
    EXPECT_EQ(ModemSince(before), "ATH1");
}

TEST_F(UploadFailure, AMailboxNumberThatIsNoIntegerIsShown) {
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    Start();
    CallLeftOffHook("12*", " error: '12\\*' is not a valid integer value$");
    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATDD;");
}

TEST_F(UploadFailure, AServerStoppedDuringTheCallIsShownAndTheNextCallUploads) {
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    Start();
    // Stop the server while the box records, before it uploads.
    const int fromErr = rig.BoxProcess->LineCount(TChildProcess::Err);
    const int fromLine = rig.StartCall("12345 key=60 gap=60 quiet=400 none");
    ASSERT_GE(rig.BoxEvent(" number 12345$"), 0);
    rig.Server->Stop();
    ASSERT_GE(rig.BoxError(" error: Socket Error # 10061\\s+Connection refused\\.", fromErr), 0)
        << rig.BoxProcess->AllText(TChildProcess::Err);
    rig.Line->Write("abort");
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call failed aborted", fromLine), 0);

    rig.Server->Start();
    const int fromOut = rig.BoxProcess->LineCount(TChildProcess::Out);
    NextCallGoesThrough("12345");
    EXPECT_GE(rig.BoxEvent(" upload done 12345/", fromOut), 0) << rig.BoxProcess->AllText(TChildProcess::Out);
}

TEST_F(UploadFailure, AServerThatNeverAnswersTimesOutAndTheNextCallIsAnswered) {
    // Connections are queued by the kernel and never served: no greeting ever comes.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    TBoxSettings settings;
    settings.UploadPort = ntohs(address.sin_port);
    settings.TimeoutSeconds = 2;
    Start(settings);

    const auto before = std::chrono::steady_clock::now();
    CallLeftOffHook("12345", " error: Socket Error # 10060 ");
    // The upload gave up after the configured timeout, not the built-in minute.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(50));

    const size_t modemBefore = rig.ModemLines().size();
    const int fromOut = rig.BoxProcess->LineCount(TChildProcess::Out);
    const int fromLine = rig.StartCall("- none");
    EXPECT_GE(rig.BoxEvent(" answered$", fromOut), 0);
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call answered", fromLine), 0);
    rig.Line->Write("abort");
    EXPECT_EQ(ModemSince(modemBefore), "ATH1");
    close(listener);
}

} // namespace
