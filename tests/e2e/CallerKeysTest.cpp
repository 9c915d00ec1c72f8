// Callers who do not wait for the box: keys pressed while a greeting of spoken length still
// plays; a caller who keys nothing at all. Every call ends on hook.
#include "E2eChecks.h"

#include <regex>

using namespace e2e;

namespace {

bool Has(const std::vector<std::string>& events, const std::string& prefix) {
    for (const std::string& e : events)
        if (e.rfind(prefix, 0) == 0)
            return true;
    return false;
}

TEST(CallerKeys, KeysDuringAFourSecondGreetingGiveTheNumberOnceAndInOrder) {
    TBoxRig rig("typeahead");
    rig.StartServer(TFtpServer::PyFtpdLib, "40712");
    TBoxSettings settings;
    settings.WelcomeMs = 4000; // the main thread is held 7.5 s, far past the decoder's buffer
    settings.EnterMs = 3500;
    settings.TimeLimitSeconds = 2;
    rig.StartBox(settings);

    // All five keys within the first two seconds of the greeting.
    const int end =
        rig.Call("40712 ahead=800 key=90 gap=90 quiet=500 heard=" + rig.Folder + "/heard.wav tone 1");
    ASSERT_GE(end, 0) << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    ASSERT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATDD; ATH0");

    const std::vector<std::string> events = Events(rig);
    std::vector<std::string> numbers;
    for (const std::string& e : events)
        if (e.rfind("number ", 0) == 0)
            numbers.push_back(e);
    EXPECT_EQ(numbers, std::vector<std::string>{"number 40712"})
        << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_TRUE(Has(events, "upload done 40712/")) << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_FALSE(Has(events, "decoder audio lost")) << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Err).find("error"), std::string::npos)
        << rig.BoxProcess->AllText(TChildProcess::Err);
    // The greeting and the request were played whole, then the rest of the call.
    TSamples heard;
    ASSERT_TRUE(IsCompleteWave(rig.Folder + "/heard.wav", &heard));
    EXPECT_EQ(PromptsHeard(heard), "message beep thank");
    EXPECT_GE(MillisecondsOf(heard), 7500);
}

TEST(CallerKeys, ASilentCallerIsAskedTwiceMoreThenHungUpAndTheNextCallGoesThrough) {
    TBoxRig rig("silent");
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.NumberWaitSeconds = 2;
    settings.TimeLimitSeconds = 2;
    rig.StartBox(settings);

    const auto start = std::chrono::steady_clock::now();
    const int end = rig.Call("- quiet=500 heard=" + rig.Folder + "/silent.wav none");
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_GE(end, 0) << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    ASSERT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATH0");
    // Three waits of 2 s each.
    EXPECT_GE(took, std::chrono::seconds(6));
    const std::vector<std::string> events = Events(rig);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[1], "answered");
    EXPECT_EQ(events.back(), "no number") << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_FALSE(Has(events, "number 1")) << rig.BoxProcess->AllText(TChildProcess::Out);
    TSamples heard;
    ASSERT_TRUE(IsCompleteWave(rig.Folder + "/silent.wav", &heard));
    EXPECT_EQ(PromptsHeard(heard), "welcome enter enter enter");

    // The box is free for the next caller, whose call takes the usual road.
    const int from = rig.BoxProcess->LineCount(TChildProcess::Out);
    const size_t modemFrom = rig.ModemLines().size();
    const int next = rig.Call("12345 key=80 gap=80 quiet=500 tone 1");
    ASSERT_GE(next, 0) << rig.Line->AllText(TChildProcess::Out);
    ASSERT_EQ(rig.Line->Line(TChildProcess::Out, next).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    EXPECT_EQ(Joined(rig.ModemLines(), modemFrom), "ATH1 ATDD; ATH0");
    ASSERT_GE(rig.BoxEvent(" upload done 12345/", from), 0) << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_FALSE(Has(Events(rig, from), "no number")) << rig.BoxProcess->AllText(TChildProcess::Out);
}

} // namespace
