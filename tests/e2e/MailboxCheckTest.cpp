// The right mailbox on a line as it really is: keys pressed over the echo of the box's own
// spoken greeting on a lossy, noisy G.711 line are heard exactly; the number is checked on the
// server while the caller listens, so a wrong one is keyed again; and a checked caller never
// waits on a slow server: the closing prompt comes at the limit and the outbox stores the
// message after the hang-up, once.
#include "E2eChecks.h"
#include "SlowLink.h"

#include <cstdio>
#include <regex>

using namespace e2e;

namespace {

// The events that start with one of the prefixes, in order.
std::string EventsStarting(TBoxRig& rig, const std::vector<std::string>& prefixes, int from = 0) {
    std::string text;
    for (const std::string& e : Events(rig, from))
        for (const std::string& p : prefixes)
            if (e.rfind(p, 0) == 0) {
                text += (text.empty() ? "" : " | ") + e;
                break;
            }
    return text;
}

// The recordings stored in a mailbox folder on the server; each must have its note beside it.
std::vector<std::string> Stored(TBoxRig& rig, const std::string& account, const std::string& mailbox) {
    std::vector<std::string> files;
    const std::string folder = rig.Server->FilePath(account, mailbox);
    if (std::filesystem::is_directory(folder))
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.is_regular_file() && entry.path().extension() == ".wav") {
                files.push_back(entry.path().string());
                std::filesystem::path note = entry.path();
                EXPECT_TRUE(std::filesystem::exists(note.replace_extension(".txt"))) << note;
            }
    return files;
}

// The recording the box made for the call whose events start at from.
std::string LocalRecording(TBoxRig& rig, int from) {
    const int recording = rig.BoxEvent(" recording ", from);
    return recording < 0 ? "" : EventText(rig.BoxProcess->Line(TChildProcess::Out, recording)).substr(10);
}

class EchoedGreeting : public ::testing::TestWithParam<int> {};

TEST_P(EchoedGreeting, KeysOverTheBoxsOwnSpokenGreetingGiveTheNumberExactly) {
    TBoxRig rig("echo");
    rig.StartServer(TFtpServer::PyFtpdLib, "62345,18093");
    TBoxSettings settings;
    settings.ShortPrompts = false; // the spoken greeting: its echo is speech, loud syllables and all
    settings.CheckMailbox = true;
    settings.TimeLimitSeconds = 2;
    rig.LineModel = "loss=9,law=ulaw,noise=-60,erl=" + std::to_string(GetParam()) + ",delay=20";
    rig.StartBox(settings);

    // Numbers that lost a key on such a line before the box took its own voice out, keyed 1 s
    // into the greeting as the caller hears it (the canceller learns the echo path within a
    // prompt's first second; the first call of a fresh box is the hardest).
    for (const std::string number : {"62345", "18093"}) {
        SCOPED_TRACE(number);
        const int from = rig.BoxProcess->LineCount(TChildProcess::Out);
        const int end = rig.Call(number + " into=1000 key=70 gap=120 quiet=500 tone 1");
        ASSERT_GE(end, 0) << rig.Line->AllText(TChildProcess::Out);
        ASSERT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
            << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
        EXPECT_EQ(EventsStarting(rig, {"number ", "mailbox ", "no such"}, from),
                  "number " + number + " | mailbox " + number + " checked")
            << rig.BoxProcess->AllText(TChildProcess::Out);
        ASSERT_GE(rig.BoxEvent(" delivered " + number + "/", from), 0)
            << rig.BoxProcess->AllText(TChildProcess::Out);
    }
    EXPECT_EQ(Stored(rig, "mbox6", "62345").size(), 1u);
    EXPECT_EQ(Stored(rig, "mbox2", "18093").size(), 1u);
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Err).find("error"), std::string::npos)
        << rig.BoxProcess->AllText(TChildProcess::Err);
}

INSTANTIATE_TEST_SUITE_P(ReturnLoss, EchoedGreeting, ::testing::Values(15, 6),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Erl" + std::to_string(info.param) + "dB";
                         });

TEST(MailboxCheck, AWrongNumberIsToldAndKeyedAgainAndTheMessageLandsInTheRightMailbox) {
    TBoxRig rig("recheck");
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.CheckMailbox = true;
    settings.TimeLimitSeconds = 2;
    rig.StartBox(settings);

    const int end =
        rig.Call("12354 again=12345 key=60 gap=60 quiet=1000 heard=" + rig.Folder + "/heard.wav tone 1");
    ASSERT_GE(end, 0) << rig.Line->AllText(TChildProcess::Out);
    ASSERT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATDD; ATH0");
    TSamples heard;
    ASSERT_TRUE(IsCompleteWave(rig.Folder + "/heard.wav", &heard));
    EXPECT_EQ(PromptsHeard(heard), "welcome enter message notfound enter message beep thank");
    EXPECT_EQ(EventsStarting(rig, {"number ", "mailbox ", "no such", "hangup", "upload"}),
              "number 12354 | no such mailbox 12354 | number 12345 | mailbox 12345 checked | hangup");
    // After the hang-up, by the outbox: the recording, byte for byte, in the mailbox keyed last.
    const int delivered = rig.BoxEvent(" delivered 12345/.* after 1 tries");
    ASSERT_GE(delivered, 0) << rig.BoxProcess->AllText(TChildProcess::Out);
    const std::vector<std::string> files = Stored(rig, "mbox2", "12345");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadFile(files[0]), ReadFile(LocalRecording(rig, 0)));
    EXPECT_FALSE(std::filesystem::exists(rig.Server->FilePath("mbox2", "12354")));
}

TEST(MailboxCheck, ASlowServerHoldsNoCheckedCallerAndTheNextRingIsAnsweredDuringTheStore) {
    TBoxRig rig("slowstore");
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TSlowLink link(rig.Server->Port());
    link.Slow = false; // quick for the check, slow for the store
    TBoxSettings settings;
    settings.UploadPort = link.Port();
    settings.CheckMailbox = true;
    settings.TimeLimitSeconds = 2;
    settings.NumberWaitSeconds = 1;
    settings.TimeoutSeconds = 30;
    rig.StartBox(settings);

    const int from = rig.StartCall("12345 key=60 gap=60 quiet=400 tone 3");
    ASSERT_GE(rig.BoxEvent(" mailbox 12345 checked"), 0) << rig.BoxProcess->AllText(TChildProcess::Out);
    link.Slow = true; // every reply of the server now comes at 10 bytes a second: a store of 20 s and more
    const int end =
        rig.Line->WaitLine(TChildProcess::Out, "^call (hangup|failed)", from, std::chrono::seconds(60));
    ASSERT_GE(end, 0) << rig.Line->AllText(TChildProcess::Out);
    ASSERT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    // The limit runs from "ATDD;"; the closing prompt (250 ms) follows it at once, then "ATH0".
    const int atdd = rig.Line->WaitLine(TChildProcess::Out, "^rx .* ATDD;$", from, std::chrono::seconds(1));
    const int ath0 = rig.Line->WaitLine(TChildProcess::Out, "^rx .* ATH0$", from, std::chrono::seconds(1));
    ASSERT_TRUE(atdd >= 0 && ath0 > atdd);
    const double limitToHangUp = std::chrono::duration<double>(rig.Line->LineTime(TChildProcess::Out, ath0) -
                                                               rig.Line->LineTime(TChildProcess::Out, atdd))
                                     .count();
    EXPECT_LT(limitToHangUp, 2.0 + 0.25 + 0.5);
    std::printf("from ATDD; to ATH0: %.3f s (time limit 2 s, closing prompt 0.25 s)\n", limitToHangUp);
    EXPECT_FALSE(rig.BoxProcess->AllText(TChildProcess::Out).find("delivered") != std::string::npos)
        << "the store was expected to be still under way";

    // A caller rings while the outbox still stores: answered at once.
    const int next = rig.Call("- quiet=400 none");
    ASSERT_GE(next, 0);
    const int answered =
        rig.Line->WaitLine(TChildProcess::Out, "^call answered ", end, std::chrono::seconds(1));
    ASSERT_GE(answered, 0);
    std::printf("during the store: %s\n", rig.Line->Line(TChildProcess::Out, answered).c_str());
    EXPECT_LT(std::stoi(rig.Line->Line(TChildProcess::Out, answered).substr(14)), 1000)
        << rig.Line->Line(TChildProcess::Out, answered);

    // The slow store ends; the message is on the server once, as recorded.
    ASSERT_GE(rig.BoxEvent(" delivered 12345/.* after 1 tries", 0, std::chrono::seconds(180)), 0)
        << rig.BoxProcess->AllText(TChildProcess::Out);
    const std::vector<std::string> files = Stored(rig, "mbox2", "12345");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadFile(files[0]), ReadFile(LocalRecording(rig, 0)));
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Out).find("upload done"), std::string::npos);
}

} // namespace
