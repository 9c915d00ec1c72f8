// The box hears the line, over a telephone line (loss, mu-law, noise): who is calling, a caller
// who hangs up before the time limit or before keying, "#" at the end of a message, and one who
// keeps quiet until asked for the message. Each message arrives with its note beside it.
#include "E2eChecks.h"

#include <fstream>
#include <sstream>

using namespace e2e;

namespace {

const char* const Line = "loss=9,law=ulaw,noise=-60,seed=7";

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The remote name of the message the box stored ("upload done NAME as ...").
std::string Stored(TBoxRig& rig, int from = 0) {
    const int done = rig.BoxEvent(" upload done ", from);
    if (done < 0)
        return "";
    std::string remote = EventText(rig.BoxProcess->Line(TChildProcess::Out, done)).substr(12);
    return remote.substr(0, remote.find(" as "));
}

// The value of key in a note's text.
std::string NoteValue(const std::string& note, const std::string& key) {
    const size_t at = note.find("\n" + key + "=");
    if (at == std::string::npos)
        return "?";
    const size_t from = at + key.size() + 2;
    return note.substr(from, note.find('\n', from) - from);
}

TEST(LineEvents, ACallerWhoHangsUpIsHeardTheMessageTrimmedAndItsNoteNamesTheCaller) {
    TBoxRig rig("caller-left");
    rig.LineModel = Line;
    rig.StartServer(TFtpServer::PyFtpdLib, "62345");
    TBoxSettings settings;
    settings.TimeLimitSeconds = 30;
    settings.CallerId = "AT+VCID=1";
    settings.Rings = 2; // the ID comes between the first and second RING
    rig.StartBox(settings);

    const int end = rig.Call("62345 cid=between rings=2 nmbr=5551234 name=DOE_JANE key=90 gap=90 quiet=500 "
                             "tail=busy tone 4");
    ASSERT_GE(end, 0) << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
    const std::string hangup = rig.Line->Line(TChildProcess::Out, end);
    ASSERT_EQ(hangup.rfind("call hangup", 0), 0u) << rig.Line->AllText(TChildProcess::Out);
    // On hook within 8 s of the busy tone's start, long before the 30 s limit.
    const size_t after = hangup.find(" ms after the tail began");
    ASSERT_NE(after, std::string::npos) << hangup;
    EXPECT_LT(std::stoi(hangup.substr(hangup.rfind(' ', after - 1) + 1)), 8000) << hangup;

    ASSERT_GE(rig.BoxEvent(" answered from 5551234 \\(DOE JANE\\)$"), 0)
        << rig.BoxProcess->AllText(TChildProcess::Out);
    ASSERT_GE(rig.BoxEvent(" caller left \\(busy tone\\)$"), 0)
        << rig.BoxProcess->AllText(TChildProcess::Out);
    const std::string remote = Stored(rig);
    ASSERT_FALSE(remote.empty()) << rig.BoxProcess->AllText(TChildProcess::Out);
    TSamples message;
    ASSERT_TRUE(IsCompleteWave(rig.Server->FilePath("mbox6", remote), &message));
    const double seconds = MillisecondsOf(message) / 1000.0;
    EXPECT_GE(seconds, 3.5);
    EXPECT_LE(seconds, 7.0);

    // The note lies beside the recording, with who called and how the message ended.
    const std::string note =
        Slurp(rig.Server->FilePath("mbox6", remote.substr(0, remote.size() - 4) + ".txt"));
    EXPECT_EQ(note.rfind("[message]\n", 0), 0u) << note;
    EXPECT_EQ(NoteValue(note, "mailbox"), "62345");
    EXPECT_EQ(NoteValue(note, "caller"), "5551234");
    EXPECT_EQ(NoteValue(note, "callername"), "DOE JANE");
    EXPECT_EQ(NoteValue(note, "ended"), "caller left (busy tone)");
    EXPECT_NEAR(std::stod(NoteValue(note, "duration")), seconds, 0.15) << note;
    // The ID is asked for at start and after the call; no closing prompt for nobody.
    EXPECT_EQ(Joined(rig.ModemLines()).rfind("ATM1 AT+VCID=1 ATH1 ATDD; ATH0 AT+VCID=1", 0), 0u)
        << Joined(rig.ModemLines());
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Err).find("error"), std::string::npos)
        << rig.BoxProcess->AllText(TChildProcess::Err);
}

TEST(LineEvents, HashEndsTheMessageACallerWhoLeavesBeforeKeyingIsHungUpAndIdComesBeforeTheRing) {
    TBoxRig rig("hash");
    rig.LineModel = Line;
    rig.StartServer(TFtpServer::PyFtpdLib, "4711");
    TBoxSettings settings;
    settings.TimeLimitSeconds = 30;
    rig.StartBox(settings);

    // "#" after two seconds of message: the closing prompt and the hang-up follow at once.
    int end = rig.Call("4711 cid=before cidform=tight nmbr=0301234 key=90 gap=90 quiet=500 hash tone 2");
    ASSERT_GE(end, 0) << rig.Line->AllText(TChildProcess::Out);
    ASSERT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Out);
    ASSERT_GE(rig.BoxEvent(" answered from 0301234 \\(DOE JANE\\)$"), 0)
        << rig.BoxProcess->AllText(TChildProcess::Out) << rig.Line->AllText(TChildProcess::Out);
    ASSERT_GE(rig.BoxEvent(" message ended by #$"), 0) << rig.BoxProcess->AllText(TChildProcess::Out);
    const std::string remote = Stored(rig);
    TSamples message;
    ASSERT_TRUE(IsCompleteWave(rig.Server->FilePath("mbox1", remote), &message));
    // The message without the "#": the caller's half second before speaking and the two seconds
    // of tone; the key's tone is cut off.
    EXPECT_GE(MillisecondsOf(message), 2000);
    EXPECT_LE(MillisecondsOf(message), 2700);
    const std::string note =
        Slurp(rig.Server->FilePath("mbox1", remote.substr(0, remote.size() - 4) + ".txt"));
    EXPECT_EQ(NoteValue(note, "ended"), "#") << note;
    EXPECT_EQ(NoteValue(note, "caller"), "0301234") << note;
    EXPECT_GT(rig.BoxEvent(" hangup$"), rig.BoxEvent(" upload done ")); // after the closing prompt

    // A caller who hangs up before keying: the dial tone ends the call, no silent waits.
    const int fromOut = rig.BoxProcess->LineCount(TChildProcess::Out);
    end = rig.Call("- tail=dial none");
    ASSERT_GE(end, 0) << rig.Line->AllText(TChildProcess::Out);
    EXPECT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out);
    ASSERT_GE(rig.BoxEvent(" caller left \\(dial tone\\)$", fromOut), 0)
        << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_LT(rig.BoxEvent(" no number$", fromOut, std::chrono::milliseconds(0)), 0);
}

// A caller keeps quiet while the box speaks: a silence limit that runs out while the request for
// the message plays must not end the message before the caller has begun it.
TEST(LineEvents, QuietWhileTheBoxSpeaksDoesNotEndTheMessageBeforeItBegins) {
    TBoxRig rig("quiet-first");
    rig.LineModel = Line;
    rig.StartServer(TFtpServer::PyFtpdLib, "4711");
    TBoxSettings settings;
    settings.ShortPrompts = false; // the spoken request: 2.6 s, with the beep 3 s
    settings.CheckMailbox = true;  // the number is checked while the request plays
    settings.MaxSilence = 5;       // from the last key: 1 s into the request
    settings.TimeLimitSeconds = 20;
    rig.StartBox(settings);

    const int end = rig.Call("4711 key=90 gap=90 quiet=500 tone 2");
    ASSERT_GE(end, 0) << rig.Line->AllText(TChildProcess::Out);
    ASSERT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Out);
    // A checked number's message is delivered after the hang-up.
    const int delivered = rig.BoxEvent(" delivered 4711/");
    ASSERT_GE(delivered, 0) << rig.BoxProcess->AllText(TChildProcess::Out);
    std::string remote = EventText(rig.BoxProcess->Line(TChildProcess::Out, delivered)).substr(10);
    remote = remote.substr(0, remote.find(' '));
    TSamples message;
    ASSERT_TRUE(IsCompleteWave(rig.Server->FilePath("mbox1", remote), &message)) << remote;
    EXPECT_GE(MillisecondsOf(message), 2000) << rig.BoxProcess->AllText(TChildProcess::Out);
    const std::string note =
        Slurp(rig.Server->FilePath("mbox1", remote.substr(0, remote.size() - 4) + ".txt"));
    EXPECT_EQ(NoteValue(note, "ended"), "caller left (silence)") << note;
}

} // namespace
