// The box on one voice modem and nothing else ([sound] driver = modem): "lumisk --headless" on
// the line simulator's voice-modem end, a real FTP server. The call's audio, the keys, the rings
// and the caller's leaving all come over the modem's own port.
#include "E2eChecks.h"

#include <cmath>
#include <cstdio>
#include <cstring>

using namespace e2e;

namespace {

std::vector<std::string> Starting(const std::vector<std::string>& events, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& e : events)
        if (e.rfind(prefix, 0) == 0)
            found.push_back(e);
    return found;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The stored file of the call's "upload done REMOTE as ACCOUNT@HOST" line.
std::string StoredFile(TBoxRig& rig) {
    const std::vector<std::string> done = Starting(Events(rig), "upload done ");
    if (done.empty())
        return "";
    const std::string& line = done.front();
    const size_t as = line.find(" as ");
    const std::string remote = line.substr(12, as - 12);
    const std::string account = line.substr(as + 4, line.find('@') - as - 4);
    return rig.Server->FilePath(account, remote);
}

std::string Everything(TBoxRig& rig) {
    return rig.Line->AllText(TChildProcess::Out) + rig.BoxProcess->AllText(TChildProcess::Out) +
           rig.BoxProcess->AllText(TChildProcess::Err);
}

// The simulator's last word on a call: "call hangup [N ms after the tail, ]longest gap G ms,
// overrun O bytes".
struct THangup {
    int AfterTailMs = -1;
    double GapMs = -1;
    unsigned long OverrunBytes = 0;
};

::testing::AssertionResult HungUp(TBoxRig& rig, int end, THangup& hangup) {
    if (end < 0)
        return ::testing::AssertionFailure() << "the call did not end\n" << Everything(rig);
    const std::string line = rig.Line->Line(TChildProcess::Out, end);
    const char* rest = line.c_str();
    if (std::sscanf(rest, "call hangup %d ms after the tail,", &hangup.AfterTailMs) == 1)
        rest = std::strchr(rest, ',') + 1;
    else if (line.rfind("call hangup ", 0) == 0)
        rest += 12;
    if (std::sscanf(rest, " longest gap %lf ms, overrun %lu bytes", &hangup.GapMs, &hangup.OverrunBytes) != 2)
        return ::testing::AssertionFailure() << line << "\n" << Everything(rig);
    return ::testing::AssertionSuccess();
}

// A 1031 Hz tone on the 8-bit grid, so that 8-bit and 16-bit linear coding both carry it
// exactly, loud enough that both codings of it hold 0x10 bytes: 0x1000 is "00 10" in 16-bit,
// -0x7000 is 0x10 in unsigned 8-bit.
TSamples MessageWithDleBytes(int milliseconds) {
    TSamples samples;
    for (int i = 0; i < milliseconds * 8; ++i)
        samples.push_back(
            static_cast<int16_t>(std::lround(29000 * std::sin(2 * M_PI * 1031 * i / 8000.0) / 256) * 256));
    return samples;
}

class VoiceModemCall : public ::testing::TestWithParam<const char*> {};

// Keys after the prompts, heard by the box's own decoder in the modem's audio; the message
// stored sample for sample; the line taken and left in voice mode, never by the sound card's
// strings.
TEST_P(VoiceModemCall, KeysAfterThePromptsAndTheMessageStoredExactly) {
    const std::string coding = GetParam();
    TBoxRig rig("voice-" + coding);
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.VoiceModem = coding + ",ulaw";
    settings.TimeLimitSeconds = 6;
    rig.StartBox(settings);

    const TSamples message = MessageWithDleBytes(3000);
    ASSERT_NE(std::find(message.begin(), message.end(), 0x1000), message.end());
    ASSERT_NE(std::find(message.begin(), message.end(), -0x7000), message.end());
    WriteLineWave(rig.Folder + "/message.wav", message);
    THangup hangup;
    ASSERT_TRUE(HungUp(rig, rig.Call("12345 wav " + rig.Folder + "/message.wav"), hangup));
    // Every prompt reached the caller at the modem's rate, none of it dropped.
    EXPECT_LE(hangup.GapMs, 20.0);
    EXPECT_EQ(hangup.OverrunBytes, 0u);

    ASSERT_GE(rig.BoxEvent(" upload done 12345/"), 0) << Everything(rig);
    const std::vector<std::string> events = Events(rig);
    const std::string format =
        coding == "16bit" ? "16-BIT LINEAR (AT+VSM=129,8000)" : "8-BIT LINEAR (AT+VSM=128,8000)";
    EXPECT_EQ(Starting(events, "voice modem "),
              std::vector<std::string>{"voice modem " + format + ", XON/XOFF flow control"});
    EXPECT_EQ(Starting(events, "number "), std::vector<std::string>{"number 12345"});
    EXPECT_TRUE(Starting(events, "decoder audio lost").empty()) << Everything(rig);
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Err).find("error"), std::string::npos)
        << Everything(rig);

    // Off hook and on hook as voice mode has it, the modem set up again after the call; the
    // sound card's strings never reach it.
    const std::vector<std::string> lines = rig.ModemLines();
    const auto offHook = std::find(lines.begin(), lines.end(), "AT+VLS=1");
    ASSERT_NE(offHook, lines.end()) << Joined(lines);
    const auto onHook = std::find(offHook, lines.end(), "AT+VLS=0");
    ASSERT_NE(onHook, lines.end()) << Joined(lines);
    EXPECT_EQ(*(onHook + 1), "ATH0");
    EXPECT_TRUE(Contains(std::vector<std::string>(onHook, lines.end()), "AT+FCLASS=8")) << Joined(lines);
    EXPECT_FALSE(Contains(lines, "ATH1") || Contains(lines, "ATDD;")) << Joined(lines);

    TSamples stored;
    ASSERT_TRUE(IsCompleteWave(StoredFile(rig), &stored));
    EXPECT_GE(FindSamples(stored, message), 0) << "the message is not in the stored recording whole";
}

INSTANTIATE_TEST_SUITE_P(Formats, VoiceModemCall, ::testing::Values("16bit", "8bit"));

// A half-duplex modem cannot listen while it plays: the keys pressed during a long greeting
// come as the modem's own reports (here in the shielded form) and still make the number. The
// modem forgets voice mode at each hang-up: the next call still goes through.
TEST(VoiceModemKeys, KeysDuringTheGreetingComeFromTheModemsReports) {
    TBoxRig rig("voice-typeahead");
    rig.StartServer(TFtpServer::PyFtpdLib, "40712,12345");
    TBoxSettings settings;
    settings.VoiceModem = "16bit";
    settings.VoiceOptions = {"--shielded-keys", "--forget-on-hangup"};
    settings.WelcomeMs = 3000;
    settings.EnterMs = 2000;
    settings.TimeLimitSeconds = 3;
    rig.StartBox(settings);

    THangup hangup;
    ASSERT_TRUE(HungUp(rig, rig.Call("40712 ahead=400 tone 1"), hangup));
    ASSERT_GE(rig.BoxEvent(" upload done 40712/"), 0) << Everything(rig);
    EXPECT_EQ(Starting(Events(rig), "number "), std::vector<std::string>{"number 40712"}) << Everything(rig);

    ASSERT_TRUE(HungUp(rig, rig.Call("12345 tone 1"), hangup));
    ASSERT_GE(rig.BoxEvent(" upload done 12345/"), 0) << Everything(rig);
    EXPECT_EQ(Starting(Events(rig), "number "), (std::vector<std::string>{"number 40712", "number 12345"}));
}

// The caller hangs up after 4 s of message and the exchange's busy tone follows; the modem
// reports it: the call ends as the caller's leaving does, the message kept without the tail.
TEST(VoiceModemLineEvents, ABusyToneReportEndsTheCallWithinEightSeconds) {
    TBoxRig rig("voice-busy");
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.VoiceModem = "16bit,8bit";
    settings.TimeLimitSeconds = 30;
    rig.StartBox(settings);

    THangup hangup;
    ASSERT_TRUE(HungUp(rig, rig.Call("12345 tail=b tone 4"), hangup));
    EXPECT_GE(hangup.AfterTailMs, 0);
    EXPECT_LE(hangup.AfterTailMs, 8000);
    ASSERT_GE(rig.BoxEvent(" caller left \\(busy tone\\)$", 0, std::chrono::seconds(5)), 0)
        << Everything(rig);
    ASSERT_GE(rig.BoxEvent(" upload done 12345/"), 0) << Everything(rig);

    TSamples stored;
    ASSERT_TRUE(IsCompleteWave(StoredFile(rig), &stored));
    EXPECT_GE(MillisecondsOf(stored), 3500);
    EXPECT_LE(MillisecondsOf(stored), 6000) << "the silence after the caller's leaving is kept";
}

} // namespace
