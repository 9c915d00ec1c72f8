// Whole calls through the headless box: ring, keys, message, time limit, upload, closing prompt
// and hang-up, against real FTP servers; the mailbox accounts; many calls in a row; the clean
// end on a signal.
#include "E2eChecks.h"

#include <regex>

using namespace e2e;

namespace {

struct TServerCase {
    TFtpServer::TKind Kind;
    bool Passive;
    const char* Name;
};

class WholeCall : public ::testing::TestWithParam<TServerCase> {};

TEST_P(WholeCall, RingToHangupLandsTheWholeMessageInTheMailbox) {
    TBoxRig rig(std::string("call-") + GetParam().Name);
    rig.StartServer(GetParam().Kind, "12345");
    TBoxSettings settings;
    settings.Passive = GetParam().Passive;
    settings.TimeLimitSeconds = 5;
    rig.StartBox(settings);

    // A message no prompt or silence could pass for: two tones and a pause between.
    TSamples message;
    AppendTone(message, 620, 900);
    AppendSilence(message, 200);
    AppendTone(message, 910, 900);
    WriteLineWave(rig.Folder + "/message.wav", message);

    const int end = rig.Call("12345 key=80 gap=80 quiet=500 heard=" + rig.Folder + "/heard.wav wav " +
                             rig.Folder + "/message.wav");
    ASSERT_GE(end, 0) << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    ASSERT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);

    // The modem saw the whole road of a call, in order.
    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATDD; ATH0");

    // One line per event for the supervisor.
    std::vector<std::string> events;
    for (const std::string& line : rig.BoxProcess->Lines(TChildProcess::Out))
        events.push_back(EventText(line));
    ASSERT_EQ(events.size(), 6u) << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_EQ(events[0], "ready");
    EXPECT_EQ(events[1], "answered");
    EXPECT_EQ(events[2], "number 12345");
    ASSERT_EQ(events[3].rfind("recording " + rig.Box() + "/", 0), 0u) << events[3];
    std::smatch m;
    // Under the C locale the short date holds "/": the remote name has "-" in its place.
    ASSERT_TRUE(std::regex_match(
        events[4], m,
        std::regex(R"(upload done (12345/\d\d-\d\d-\d\d_\d\d:\d\d:\d\d\.wav) as mbox2@127\.0\.0\.1)")))
        << events[4];
    EXPECT_EQ(events[5], "hangup");
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Err).find("error"), std::string::npos)
        << rig.BoxProcess->AllText(TChildProcess::Err);

    // The file on the server is the local recording, byte for byte, a complete WAV file
    // holding the caller's whole message sample for sample.
    const std::string local = events[3].substr(10);
    const std::string remote = rig.Server->FilePath("mbox2", m[1]);
    TSamples recorded;
    ASSERT_TRUE(IsCompleteWave(remote, &recorded));
    EXPECT_EQ(ReadFile(remote), ReadFile(local));
    EXPECT_GE(FindSamples(recorded, message), 0) << "recording of " << MillisecondsOf(recorded) << " ms";

    // What the caller heard: the greeting, the request and the beep, then the goodbye.
    TSamples heard;
    ASSERT_TRUE(IsCompleteWave(rig.Folder + "/heard.wav", &heard));
    EXPECT_EQ(PromptsHeard(heard), "welcome enter message beep thank");
}

INSTANTIATE_TEST_SUITE_P(Servers, WholeCall,
                         ::testing::Values(TServerCase{TFtpServer::PyFtpdLib, false, "pyftpdlib_active"},
                                           TServerCase{TFtpServer::PureFtpd, true, "pureftpd_passive"}),
                         [](const auto& info) { return std::string(info.param.Name); });

// Calls without a message: the numbers decide the accounts and folders.
class ShortCalls : public ::testing::Test {
protected:
    void Start(const std::string& folders) {
        rig.StartServer(TFtpServer::PyFtpdLib, folders);
        TBoxSettings settings;
        settings.TimeLimitSeconds = 1;
        rig.StartBox(settings);
    }
    // Places a call with keys and returns the remote name the box reports ("" on failure).
    std::string Call(const std::string& keys) {
        const int from = rig.BoxProcess->LineCount(TChildProcess::Out);
        const int end = rig.Call(keys + " key=60 gap=60 quiet=400 none");
        EXPECT_GE(end, 0);
        EXPECT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
            << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
        const int done = rig.BoxEvent(" upload (done|failed) ", from);
        std::smatch m;
        const std::string line = rig.BoxProcess->Line(TChildProcess::Out, done);
        if (!std::regex_search(line, m, std::regex(" upload done (\\S+) as (\\S+)@")))
            return "";
        return std::string(m[2]) + "/" + std::string(m[1]);
    }
    TBoxRig rig{"short"};
};

TEST_F(ShortCalls, TheMailboxRangeChoosesTheAccountAndTheKeysNameTheFolder) {
    Start("9999,10000,49999,50000,007");
    const std::pair<const char*, const char*> cases[] = {
        {"9999", "mbox1"}, {"10000", "mbox2"}, {"49999", "mbox5"}, {"50000", "mbox6"}, {"007", "mbox1"}};
    for (const auto& [keys, account] : cases) {
        const std::string landed = Call(keys);
        SCOPED_TRACE(keys);
        ASSERT_EQ(landed.rfind(std::string(account) + "/" + keys + "/", 0), 0u) << landed;
        EXPECT_TRUE(IsCompleteWave(rig.FtpRoot() + "/" + landed));
    }
    // Each recording landed once, with its note, in its own account only.
    for (const auto& [keys, account] : cases)
        for (int i = 1; i <= 6; ++i) {
            const std::string folder = rig.FtpRoot() + "/mbox" + std::to_string(i) + "/" + keys;
            size_t recordings = 0, notes = 0;
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                recordings += entry.is_regular_file() && entry.path().extension() == ".wav";
                notes += entry.is_regular_file() && entry.path().extension() == ".txt";
            }
            const bool own = "mbox" + std::to_string(i) == account;
            EXPECT_EQ(recordings, own ? 1u : 0u) << folder;
            EXPECT_EQ(notes, recordings) << folder;
        }
}

TEST_F(ShortCalls, TwentyCallsInARowAllLandOnce) {
    std::vector<std::string> numbers;
    std::string folders;
    for (int i = 0; i < 20; ++i) {
        numbers.push_back(std::to_string(1000 + i * 2917)); // 1000 ... 56423: every account
        folders += (folders.empty() ? "" : ",") + numbers.back();
    }
    Start(folders);
    for (const std::string& number : numbers)
        EXPECT_NE(Call(number), "") << number;
    for (const std::string& number : numbers) {
        const int account = 1 + (std::stoi(number) <= 9999 ? 0 : std::min(std::stoi(number) / 10000, 5));
        const std::string folder = rig.Server->FilePath("mbox" + std::to_string(account), number);
        size_t files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            files += entry.is_regular_file() && IsCompleteWave(entry.path().string());
        EXPECT_EQ(files, 1u) << folder;
    }
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Err).find("error"), std::string::npos)
        << rig.BoxProcess->AllText(TChildProcess::Err);
}

// SIGTERM and SIGINT take the window's own close path: the line is hung up, a recording in
// progress is completed, pager.ini is written, and the program ends with status 0.
class SignalEnd : public ::testing::TestWithParam<int> {};

TEST_P(SignalEnd, StopsTheRecordingAndWritesTheSettings) {
    TBoxRig rig("signal");
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.TimeLimitSeconds = 30;
    rig.StartBox(settings);
    std::filesystem::remove(rig.Box() + "/pager.ini");

    rig.StartCall("12345 key=60 gap=60 quiet=400 tone 20");
    const int recording = rig.BoxEvent(" recording ");
    ASSERT_GE(recording, 0) << rig.BoxProcess->AllText(TChildProcess::Err);
    const std::string file = rig.BoxProcess->Line(TChildProcess::Out, recording).substr(30);
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call message"), 0);

    const int status = rig.BoxProcess->Stop(GetParam());
    EXPECT_FALSE(rig.BoxProcess->Killed());
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GE(rig.BoxEvent(" stopped$", 0, std::chrono::seconds(1)), 0);
    // The line was off hook: the box hung up before it went.
    EXPECT_GE(rig.Line->WaitLine(TChildProcess::Out, "^rx .* ATH0$"), 0)
        << rig.Line->AllText(TChildProcess::Out);
    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATDD; ATH0");
    TSamples recorded;
    EXPECT_TRUE(IsCompleteWave(file, &recorded));
    EXPECT_GT(MillisecondsOf(recorded), 0);
    EXPECT_EQ(ReadFile(rig.Box() + "/pager.ini"), "30\r\nATM1\r\nATH1\r\nATH0\r\n1\r\n0\r\n2\r\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalEnd, ::testing::Values(SIGTERM, SIGINT), [](const auto& info) {
    return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT");
});

} // namespace
