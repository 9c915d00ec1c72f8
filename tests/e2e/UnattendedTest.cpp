// Months without a visit, through the headless box: a crash in the middle of a message, the
// modem unplugged and plugged in again, a modem that stops answering, a bad pager.ini line. After
// each the box takes the next call as before and no message is lost.
#include "E2eChecks.h"

#include <csignal>
#include <filesystem>
#include <regex>

using namespace e2e;

namespace {

// Places a call with a short tone as its message and expects it to go through to the hang-up.
void NormalCall(TBoxRig& rig, const std::string& mailbox = "12345") {
    const int end = rig.Call(mailbox + " key=80 gap=80 quiet=500 tone 1");
    ASSERT_GE(end, 0) << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Out);
}

std::string Diagnostics(TBoxRig& rig) {
    return rig.BoxProcess->AllText(TChildProcess::Out) + rig.BoxProcess->AllText(TChildProcess::Err);
}

TEST(Unattended, AMessageCutShortByACrashIsRecoveredAtTheNextStartAndDeliveredWithItsNote) {
    TBoxRig rig("crash");
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.TimeLimitSeconds = 30;
    rig.StartBox(settings);

    const int from = rig.StartCall("12345 key=80 gap=80 quiet=500 tone 20");
    const int recordingLine = rig.BoxEvent("recording ");
    ASSERT_GE(recordingLine, 0) << Diagnostics(rig);
    const std::string recording =
        EventText(rig.BoxProcess->Line(TChildProcess::Out, recordingLine)).substr(10);
    // Three seconds of the caller's message on the disk, then the power goes.
    ASSERT_TRUE(WaitUntil([&] {
        std::error_code error;
        return std::filesystem::file_size(recording, error) > 3 * 16000 && !error;
    }));
    rig.BoxProcess->Stop(SIGKILL);
    rig.Line->Write("abort");
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call failed", from), 0);
    EXPECT_TRUE(std::filesystem::exists(recording + ".pending"));

    rig.StartBox(settings);
    const int recovered = rig.BoxEvent("^.{20}recovered ");
    ASSERT_GE(recovered, 0) << Diagnostics(rig);
    std::smatch m;
    const std::string recoveredText = EventText(rig.BoxProcess->Line(TChildProcess::Out, recovered));
    ASSERT_TRUE(std::regex_match(recoveredText, m, std::regex("recovered (.*) \\(([0-9]+) s\\)")))
        << recoveredText;
    EXPECT_EQ(m[1], recording);
    EXPECT_GE(std::stoi(m[2]), 3);
    const int delivered = rig.BoxEvent("delivered 12345/");
    ASSERT_GE(delivered, 0) << Diagnostics(rig);

    // On the server: the whole recording as mended, and its note saying how it ended.
    const std::string event = EventText(rig.BoxProcess->Line(TChildProcess::Out, delivered));
    const std::string remote = event.substr(10, event.find(" after ") - 10);
    const std::string stored = rig.Server->FilePath("mbox2", remote);
    TSamples samples;
    ASSERT_TRUE(IsCompleteWave(stored, &samples));
    EXPECT_GE(MillisecondsOf(samples), 3000);
    EXPECT_EQ(ReadFile(stored), ReadFile(recording));
    const std::string note = ReadFile(stored.substr(0, stored.size() - 4) + ".txt");
    EXPECT_NE(note.find("mailbox=12345\n"), std::string::npos) << note;
    EXPECT_NE(note.find("ended=interrupted\n"), std::string::npos) << note;
    EXPECT_FALSE(std::filesystem::exists(recording + ".pending"));

    // A third start finds nothing left to recover, and the box takes calls.
    rig.BoxProcess->Stop();
    rig.StartBox(settings);
    NormalCall(rig);
    for (const std::string& e : Events(rig))
        EXPECT_EQ(e.rfind("recovered", 0), std::string::npos) << e;
}

TEST(Unattended, TheModemUnpluggedWhileIdleAndMidCallComesBackByItselfAndTheNextCallGoesThrough) {
    TBoxRig rig("replug");
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    rig.StartLine({}, true);
    TBoxSettings settings;
    settings.TimeLimitSeconds = 5;
    rig.StartBox(settings);
    const std::string lost = "modem " + rig.ModemDevice + " lost \\(the device went away\\)$";
    const std::string back = "modem " + rig.ModemDevice + " back$";

    // Idle.
    int from = rig.Line->LineCount(TChildProcess::Out);
    rig.Line->Write("drop");
    const int lostLine = rig.BoxEvent(lost);
    ASSERT_GE(lostLine, 0) << Diagnostics(rig);
    rig.Line->Write("plug");
    ASSERT_GE(rig.BoxEvent(back, lostLine), 0) << Diagnostics(rig);
    // Set up as at start.
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^rx .* ATM1$", from), 0);
    NormalCall(rig);

    // In the middle of a message: the message is kept and delivered.
    const int boxFrom = rig.BoxProcess->LineCount(TChildProcess::Out);
    from = rig.StartCall("12345 key=80 gap=80 quiet=500 limit=30 tone 20");
    const int recording = rig.BoxEvent("recording ", boxFrom);
    ASSERT_GE(recording, 0) << Diagnostics(rig);
    rig.Line->Write("drop");
    const int lostAgain = rig.BoxEvent(lost, recording);
    ASSERT_GE(lostAgain, 0) << Diagnostics(rig);
    rig.Line->Write("abort");
    rig.Line->Write("plug");
    ASSERT_GE(rig.BoxEvent(back, lostAgain), 0) << Diagnostics(rig);
    ASSERT_GE(rig.BoxEvent("upload done 12345/", recording), 0) << Diagnostics(rig);
    NormalCall(rig);
    int done = 0;
    for (const std::string& e : Events(rig))
        done += e.rfind("upload done 12345/", 0) == 0;
    EXPECT_EQ(done, 3) << Diagnostics(rig);
    // The loss is said once each time, and is no error of the box's.
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Err).find("error"), std::string::npos)
        << rig.BoxProcess->AllText(TChildProcess::Err);
}

TEST(Unattended, AModemThatStopsAnsweringIsNoticedSetUpAgainAndTheNextCallGoesThrough) {
    TBoxRig rig("mute");
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.ModemCheckEvery = 1;
    rig.StartBox(settings);
    // While it answers, nothing is said.
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^rx .* AT$"), 0);
    const int quiet = rig.BoxEvent("not answering", 0, std::chrono::seconds(3));
    EXPECT_LT(quiet, 0) << Diagnostics(rig);

    const int from = rig.Line->LineCount(TChildProcess::Out);
    rig.Line->Write("reply");
    const int noticed = rig.BoxEvent("^.{20}modem " + rig.ModemDevice + " not answering$");
    ASSERT_GE(noticed, 0) << Diagnostics(rig);
    // The init string again, on the port opened anew; and it keeps asking.
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^rx .* ATM1$", from), 0);
    ASSERT_GE(rig.BoxEvent("not answering$", noticed + 1), 0) << Diagnostics(rig);

    rig.Line->Write("reply OK\\r\\n");
    // A few answered checks first: a call is not placed while the port is being opened anew.
    const int restored = rig.Line->LineCount(TChildProcess::Out);
    int seen = restored;
    for (int i = 0; i < 3; ++i) {
        seen = rig.Line->WaitLine(TChildProcess::Out, "^rx .* AT$", seen + 1);
        ASSERT_GE(seen, 0);
    }
    NormalCall(rig);
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Err).find("error"), std::string::npos)
        << rig.BoxProcess->AllText(TChildProcess::Err);
}

TEST(Unattended, ABadTimeLimitInPagerIniIsNamedAndTheBoxAnswersWithTheDefault) {
    TBoxRig rig("badpager");
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.TimeLimitText = "abc";
    rig.StartBox(settings); // returns once the modem had its init string
    EXPECT_GE(rig.BoxError("pager.ini:1: 'abc' is not a valid integer value, 10 used"), 0)
        << Diagnostics(rig);
    const auto start = std::chrono::steady_clock::now();
    NormalCall(rig);
    // The default limit of 10 s ended the call, not a limit of 0 (never) or of garbage.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ASSERT_GE(rig.BoxEvent("upload done 12345/"), 0) << Diagnostics(rig);
}

TEST(Unattended, AServerThatCutsTheMessageAndSays226IsNotBelievedAndTheMessageArrivesWhole) {
    TBoxRig rig("cut226");
    rig.Server = std::make_unique<TFtpServer>(TFtpServer::PyFtpdLib, rig.FtpRoot(), "12345", 0,
                                              std::vector<std::string>{"--cut-first", "20000"});
    TBoxSettings settings;
    settings.TimeLimitSeconds = 4;
    rig.StartBox(settings);
    const int end = rig.Call("12345 key=80 gap=80 quiet=500 tone 3");
    ASSERT_GE(end, 0) << Diagnostics(rig);

    const int failed = rig.BoxEvent("upload failed .*short store 20000 of [0-9]+ bytes");
    ASSERT_GE(failed, 0) << Diagnostics(rig);
    const int delivered = rig.BoxEvent("delivered 12345/.* after 2 tries$", failed);
    ASSERT_GE(delivered, 0) << Diagnostics(rig);
    const int recordingLine = rig.BoxEvent("recording ");
    const std::string local = EventText(rig.BoxProcess->Line(TChildProcess::Out, recordingLine)).substr(10);
    const std::string event = EventText(rig.BoxProcess->Line(TChildProcess::Out, delivered));
    const std::string stored = rig.Server->FilePath("mbox2", event.substr(10, event.find(" after ") - 10));
    EXPECT_TRUE(IsCompleteWave(stored));
    EXPECT_EQ(ReadFile(stored), ReadFile(local));
    for (const std::string& e : Events(rig))
        EXPECT_EQ(e.rfind("upload done", 0), std::string::npos) << e; // never counted as stored
}

} // namespace
