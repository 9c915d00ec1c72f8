// Calls whose upload goes wrong: whatever fails, the call ends as a call ends (closing prompt,
// hang-up), the error is shown once the line is on hook, the message waits in the outbox, and
// the box takes the next call. The server may be missing, stopped, frozen, restarted or slow; a
// "RING" may come during the upload.
#include "E2eChecks.h"
#include "SlowLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace e2e;

namespace {

class UploadFailure : public ::testing::Test {
protected:
    void Start(TBoxSettings settings = {}) {
        settings.TimeLimitSeconds = 1;
        rig.StartBox(settings);
    }
    // The modem lines sent after the one at index from.
    std::string ModemSince(size_t from) { return Joined(rig.ModemLines(), from); }
    // Places a call whose upload fails: the caller hears the closing prompt and the box hangs
    // up; the error is shown and the message is queued (or put aside as undeliverable when
    // queuedAs says so). Returns the error line.
    std::string CallEndsWithError(const std::string& keys, const std::string& error,
                                  const std::string& queuedAs = " queued ") {
        const int fromOut = rig.BoxProcess->LineCount(TChildProcess::Out);
        const int fromErr = rig.BoxProcess->LineCount(TChildProcess::Err);
        const size_t fromModem = rig.ModemLines().size();
        const int end = rig.Call(keys + " key=60 gap=60 quiet=400 heard=" + rig.Folder + "/heard.wav none");
        EXPECT_GE(end, 0);
        EXPECT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
            << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
        const int shown = rig.BoxError(error, fromErr);
        EXPECT_GE(shown, 0) << rig.BoxProcess->AllText(TChildProcess::Err);
        const int queued = rig.BoxEvent(queuedAs, fromOut);
        const int hangup = rig.BoxEvent(" hangup$", fromOut);
        EXPECT_TRUE(queued >= 0 && hangup > queued) << rig.BoxProcess->AllText(TChildProcess::Out);
        // The error comes after the call's end, not in the middle of it.
        if (shown >= 0 && hangup >= 0) {
            EXPECT_GE(rig.BoxProcess->LineTime(TChildProcess::Err, shown),
                      rig.BoxProcess->LineTime(TChildProcess::Out, hangup));
        }
        EXPECT_EQ(ModemSince(fromModem), "ATH1 ATDD; ATH0");
        return shown >= 0 ? rig.BoxProcess->Line(TChildProcess::Err, shown) : "";
    }
    // A following call is answered and goes through to the hang-up.
    void NextCallGoesThrough(const std::string& keys) {
        const int end = rig.Call(keys + " key=60 gap=60 quiet=400 none");
        ASSERT_GE(end, 0);
        EXPECT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
            << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    }
    // The box on a server behind a link that is slow until told otherwise.
    TSlowLink& StartBehindSlowLink(int timeoutSeconds) {
        rig.StartServer(TFtpServer::PyFtpdLib, "12345");
        Link = std::make_unique<TSlowLink>(rig.Server->Port());
        TBoxSettings settings;
        settings.UploadPort = Link->Port();
        settings.TimeoutSeconds = timeoutSeconds;
        settings.TimeLimitSeconds = 1;
        settings.NumberWaitSeconds = 1;
        rig.StartBox(settings);
        return *Link;
    }
    // The next call reaches the hang-up and its recording is on the server as it was made.
    void NextCallUploads() {
        const int fromOut = rig.BoxProcess->LineCount(TChildProcess::Out);
        NextCallGoesThrough("12345");
        ExpectUploadedIntact(fromOut);
    }
    // The recording made after the box's output line fromOut reached mailbox 12345 on the
    // server byte for byte.
    void ExpectUploadedIntact(int fromOut) {
        const int recording = rig.BoxEvent(" recording ", fromOut);
        const int done = rig.BoxEvent(" upload done ", fromOut);
        ASSERT_TRUE(recording >= 0 && done >= 0) << rig.BoxProcess->AllText(TChildProcess::Out);
        const std::string local = EventText(rig.BoxProcess->Line(TChildProcess::Out, recording)).substr(10);
        std::string remote = EventText(rig.BoxProcess->Line(TChildProcess::Out, done)).substr(12);
        remote.resize(remote.find(" as mbox2@"));
        const std::string bytes = ReadFile(rig.Server->FilePath("mbox2", remote));
        EXPECT_TRUE(IsCompleteWave(local));
        EXPECT_EQ(bytes, ReadFile(local)) << remote;
    }
    // Seconds from the box's output line fromOut to its error line.
    double SecondsToError(int fromOut, int error) {
        return std::chrono::duration<double>(rig.BoxProcess->LineTime(TChildProcess::Err, error) -
                                             rig.BoxProcess->LineTime(TChildProcess::Out, fromOut))
            .count();
    }
    TBoxRig rig{"fail"};
    std::unique_ptr<TSlowLink> Link;
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

TEST_F(UploadFailure, AWrongPasswordIsShownTheCallEndsAndTheMessageWaitsInTheOutbox) {
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.Password = "wrong";
    Start(settings);
    const std::string shown = CallEndsWithError("12345", " error: .*[Aa]uthentication failed");
    EXPECT_NE(shown.find("Authentication failed"), std::string::npos) << shown;
    TSamples heard;
    ASSERT_TRUE(IsCompleteWave(rig.Folder + "/heard.wav", &heard));
    EXPECT_EQ(PromptsHeard(heard), "welcome enter message beep thank");
    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATDD; ATH0");
    // The outbox keeps trying (and failing) with its own client; the message stays queued.
    ASSERT_GE(rig.BoxEvent(" retry failed 12345/.*[Aa]uthentication failed"), 0)
        << rig.BoxProcess->AllText(TChildProcess::Out);
    size_t kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(rig.OutboxFolder()))
        kept += entry.path().extension() == ".msg";
    EXPECT_EQ(kept, 1u);
    // The next ring is answered as usual.
    const size_t before = rig.ModemLines().size();
    const int fromLine = rig.StartCall("- none");
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call answered", fromLine), 0);
    rig.Line->Write("abort");
    EXPECT_EQ(ModemSince(before), "ATH1");
}

TEST_F(UploadFailure, AMailboxNumberThatIsNoIntegerIsShownAndPutAside) {
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    Start();
    CallEndsWithError("12*", " error: '12\\*' is not a valid integer value$", " undeliverable 12\\*/");
    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATDD; ATH0");
    EXPECT_FALSE(std::filesystem::is_empty(rig.OutboxFolder() + "/undeliverable"));
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
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call hangup", fromLine), 0);

    rig.Server->Start();
    NextCallUploads();
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
    CallEndsWithError("12345", " error: Socket Error # 10060 ");
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

TEST_F(UploadFailure, AFrozenServerIsGivenUpAfterTheTimeoutARetryOnItDelaysNoRingAndTheNextCallUploads) {
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.TimeoutSeconds = 2;
    settings.NumberWaitSeconds = 1; // the aborted caller below is hung up on soon
    Start(settings);
    const int fromErr = rig.BoxProcess->LineCount(TChildProcess::Err);
    const int fromLine = rig.StartCall("12345 key=60 gap=60 quiet=400 none");
    const int recording = rig.BoxEvent(" recording ");
    ASSERT_GE(recording, 0);
    rig.Server->Freeze();
    const int error = rig.BoxError(" error: Socket Error # 10060 ", fromErr);
    ASSERT_GE(error, 0) << rig.BoxProcess->AllText(TChildProcess::Err);
    // The second of recording, then the configured two seconds: not the built-in minute.
    EXPECT_LT(SecondsToError(recording, error), 30.0);
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call hangup", fromLine), 0);

    // The outbox's retry waits on the frozen server (its connection is open) when the next ring
    // comes: the call is answered at once all the same.
    ASSERT_TRUE(WaitUntil([&] { return ConnectedTo(rig.Server->Port()); }));
    const int ringLine = rig.StartCall("- none");
    const int answered = rig.Line->WaitLine(TChildProcess::Out, "^call answered [0-9]+ ms", ringLine);
    ASSERT_GE(answered, 0);
    EXPECT_LT(std::stoi(rig.Line->Line(TChildProcess::Out, answered).substr(14)), 1000);
    rig.Line->Write("abort");
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call failed aborted", ringLine), 0);
    // The line stays off hook until the silent caller's waits are over: no ring comes before.
    ASSERT_GE(rig.BoxEvent(" no number$"), 0) << rig.BoxProcess->AllText(TChildProcess::Out);

    rig.Server->Thaw();
    NextCallUploads();
    EXPECT_EQ(rig.BoxProcess->LineCount(TChildProcess::Err), fromErr + 1)
        << rig.BoxProcess->AllText(TChildProcess::Err);
}

TEST_F(UploadFailure, AServerRestartedWhileTheBoxWaitsOnItFailsAtOnceAndTheNextCallUploads) {
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    Start(); // a 20-second timeout: the failure must come from the reset, not from waiting
    const int fromErr = rig.BoxProcess->LineCount(TChildProcess::Err);
    const int fromLine = rig.StartCall("12345 key=60 gap=60 quiet=400 none");
    ASSERT_GE(rig.BoxEvent(" recording "), 0);
    rig.Server->Freeze();
    // The box has connected and waits for the greeting when the server dies and comes back.
    ASSERT_TRUE(WaitUntil([&] { return ConnectedTo(rig.Server->Port()); }));
    const auto killed = std::chrono::steady_clock::now();
    rig.Server->Kill();
    rig.Server->Start();
    const int error = rig.BoxError(" error: Socket Error # 10054\\s+Connection reset by peer\\.", fromErr);
    ASSERT_GE(error, 0) << rig.BoxProcess->AllText(TChildProcess::Err);
    EXPECT_LT(rig.BoxProcess->LineTime(TChildProcess::Err, error) - killed, std::chrono::seconds(15));
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call hangup", fromLine), 0);

    NextCallUploads();
}

TEST_F(UploadFailure, AServerThatTricklesItsRepliesIsGivenUpAfterTheTimeout) {
    // One byte per 100 ms: every byte comes in time, no reply does.
    TSlowLink& link = StartBehindSlowLink(2);
    CallEndsWithError("12345", " error: Socket Error # 10060 ");
    const int recording = rig.BoxEvent(" recording ");
    const int error = rig.BoxError(" error: ");
    EXPECT_LT(SecondsToError(recording, error), 30.0);

    link.Slow = false;
    NextCallUploads();
}

TEST_F(UploadFailure, ARingDuringTheUploadIsAnsweredRightAfterItAndNothingIsLost) {
    // A slow server makes the upload take tens of seconds; each reply still comes in time.
    TSlowLink& link = StartBehindSlowLink(20);
    const int fromLine = rig.StartCall("12345 key=60 gap=60 quiet=400 tone 1");
    ASSERT_TRUE(WaitUntil([&] { return link.Accepted() > 0; }));
    const int fromRing = rig.Line->LineCount(TChildProcess::Out);
    rig.Line->Write("ring");
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^ok ring", fromRing), 0);
    ASSERT_LT(rig.BoxEvent(" upload done ", 0, std::chrono::milliseconds(0)), 0) << "the upload was over";

    // The call ends as usual; the ring is answered right after the hang-up.
    const int end =
        rig.Line->WaitLine(TChildProcess::Out, "^call (hangup|failed)", fromLine, std::chrono::seconds(180));
    ASSERT_GE(end, 0);
    EXPECT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    const int hangup = rig.BoxEvent(" hangup$");
    ASSERT_GE(rig.BoxEvent(" answered$", hangup + 1), 0) << rig.BoxProcess->AllText(TChildProcess::Out);
    ExpectUploadedIntact(0);
    // Nobody keys on the answered ring: its silent waits end it before the next call rings.
    ASSERT_GE(rig.BoxEvent(" no number$", hangup + 1), 0) << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_TRUE(WaitUntil([&] { return Joined(rig.ModemLines()) == "ATM1 ATH1 ATDD; ATH0 ATH1 ATH0"; }))
        << Joined(rig.ModemLines());

    // The box is at its next call: a caller gets through and is stored.
    link.Slow = false;
    NextCallUploads();
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Err).find("error"), std::string::npos)
        << rig.BoxProcess->AllText(TChildProcess::Err);
}

} // namespace
