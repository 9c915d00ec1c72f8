// lumisk --check, run as the operator runs it (the built program, no display): a healthy box
// passes every check; each fault is its own FAIL line and the exit status says so.
#include "app/PtyModem.h"
#include "e2e/ChildProcess.h"
#include "net/FtpServerFixture.h"
#include "support/TestFiles.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

const char* const Prompts[] = {"welcome", "enter", "message", "beep", "notfound", "thank"};

std::string Program() {
    return std::string(LUMISK_BINARY_DIR) + "/src/app/lumisk";
}

// The box's folder: prompts in prompts/ (all six, or all but one), pager.ini with the given
// last line, lumisk.conf for the modem and the server.
std::string WriteBox(const TTempFolder& box, const std::string& modem, int ftpPort, bool passive,
                     const std::string& account3, const char* missingPrompt, const std::string& pagerLine7) {
    std::filesystem::create_directories(box.File("prompts"));
    for (const char* name : Prompts)
        if (!missingPrompt || std::string(name) != missingPrompt)
            std::filesystem::copy_file(std::string(LUMISK_BINARY_DIR) + "/prompts/" + name + ".wav",
                                       box.File("prompts/") + name + ".wav");
    WriteFile(box.File("pager.ini"), "10\r\nATM1\r\nATH1\r\nATH0\r\n1\r\n0\r\n" + pagerLine7 + "\r\n");
    const std::string conf = box.File("box.conf");
    WriteFile(conf, "[modem]\nport = " + modem + "\n[upload]\nhost = 127.0.0.1\nport = " +
                        std::to_string(ftpPort) + "\npassive = " + (passive ? "1" : "0") +
                        "\ntimeout = 20\naccount1 = mbox1\naccount2 = mbox2\naccount3 = " + account3 +
                        "\naccount4 = mbox4\naccount5 = mbox5\naccount6 = mbox6\n"
                        "[sound]\ndriver = sim\ncapture = " +
                        box.File("silence.raw") + "\nplayback = " + box.File("heard.raw") +
                        "\n[box]\nprompts = prompts\n");
    WriteFile(box.File("silence.raw"), std::string(16000, '\0'));
    return conf;
}

// Runs lumisk with the arguments, without a display and no platform chosen (a window would
// abort); its exit code.
int RunLumisk(const std::vector<std::string>& arguments, std::vector<std::string>& out, std::string& err) {
    std::vector<std::string> args = {Program()};
    args.insert(args.end(), arguments.begin(), arguments.end());
    TChildProcess lumisk(args, "", {"-DISPLAY", "-WAYLAND_DISPLAY", "-QT_QPA_PLATFORM"});
    const int status = lumisk.WaitExit(std::chrono::seconds(120));
    out = lumisk.Lines(TChildProcess::Out);
    err = lumisk.AllText(TChildProcess::Err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Failures(const std::vector<std::string>& lines) {
    std::vector<std::string> failed;
    for (const std::string& line : lines)
        if (line.rfind("ok   ", 0) != 0)
            failed.push_back(line);
    return failed;
}

std::string Text(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

} // namespace

TEST(SelfCheck, AHealthyBoxPassesEveryCheck) {
    TTempFolder box("selfcheck-ok"), ftp("selfcheck-ftp");
    TestFtpServer server(TestFtpServer::PyFtpdLib, ftp.Path, {"12345"});
    // The line simulator's modem answers AT with OK.
    TChildProcess linesim({std::string(LUMISK_BINARY_DIR) + "/tools/lumisk-linesim/lumisk-linesim"});
    const int ptyLine = linesim.WaitLine(TChildProcess::Out, "^pty ");
    ASSERT_GE(ptyLine, 0);
    const std::string conf = WriteBox(box, linesim.Line(TChildProcess::Out, ptyLine).substr(4), server.Port(),
                                      true, "mbox3", nullptr, "2");

    std::vector<std::string> out;
    std::string err;
    EXPECT_EQ(RunLumisk({"--check", "--config", conf, "--workdir", box.Path}, out, err), 0)
        << Text(out) << err;
    EXPECT_EQ(Failures(out), std::vector<std::string>{}) << Text(out);
    const std::string text = Text(out);
    EXPECT_NE(text.find("answers AT with OK"), std::string::npos) << text;
    EXPECT_NE(text.find("prompts: all six playable in " + box.File("prompts")), std::string::npos) << text;
    EXPECT_NE(text.find("upload account6 mbox6 logs in and lists its home (1 entries)"), std::string::npos)
        << text;
    EXPECT_GE(linesim.WaitLine(TChildProcess::Out, " AT$"), 0) << "the modem never saw AT";
    // Nothing of the box's files was touched.
    EXPECT_EQ(ReadFile(box.File("pager.ini")), "10\r\nATM1\r\nATH1\r\nATH0\r\n1\r\n0\r\n2\r\n");
}

TEST(SelfCheck, EachFaultIsOneFailLineAndTheExitSaysSo) {
    TTempFolder box("selfcheck-bad"), ftp("selfcheck-ftp");
    TestFtpServer server(TestFtpServer::PyFtpdLib, ftp.Path, {"12345"});
    TPtyModem silent; // never answers
    ASSERT_FALSE(silent.Path.empty());
    const std::string conf = WriteBox(box, silent.Path, server.Port(), false, "nobody", "thank", "x");

    std::vector<std::string> out;
    std::string err;
    EXPECT_EQ(RunLumisk({"--check", "--config", conf, "--workdir", box.Path}, out, err), 1) << err;
    const std::vector<std::string> failed = Failures(out);
    ASSERT_EQ(failed.size(), 4u) << Text(out);
    EXPECT_EQ(failed[0].rfind("FAIL pager.ini " + box.File("pager.ini") +
                                  ": line 7: 'x' is not a valid integer value; ",
                              0),
              0u)
        << failed[0];
    EXPECT_EQ(failed[1].rfind("FAIL modem " + silent.Path + ": no answer to AT within 2000 ms; ", 0), 0u)
        << failed[1];
    EXPECT_EQ(failed[2].rfind("FAIL prompt thank.wav: file not found in " + box.File("prompts") + "; ", 0),
              0u)
        << failed[2];
    EXPECT_EQ(failed[3].rfind("FAIL upload account3 nobody: cannot log in (530 ", 0), 0u) << failed[3];
    EXPECT_EQ(silent.Take(3, 5000), "AT\r");
    // The good accounts log in and list their homes over active data connections.
    EXPECT_NE(Text(out).find("ok   upload account2 mbox2 logs in and lists its home"), std::string::npos);

    // Without the modem, its line is skipped; --no-modem alone is a wrong command line.
    EXPECT_EQ(RunLumisk({"--check", "--no-modem", "--config", conf, "--workdir", box.Path}, out, err), 1);
    EXPECT_NE(Text(out).find("skip modem " + silent.Path + " (--no-modem)"), std::string::npos) << Text(out);
    EXPECT_EQ(Failures(out).size(), 4u) << Text(out);
    EXPECT_EQ(RunLumisk({"--no-modem"}, out, err), 2);
    EXPECT_NE(err.find("--no-modem goes with --check"), std::string::npos) << err;
}

// With the modem as the sound device, the modem's line says whether it does voice mode and which
// format it gives; a plain data modem (no AT+VSM offers) fails that line, and the sound card is
// not looked for.
TEST(SelfCheck, InVoiceModeTheModemIsCheckedAsTheSoundDevice) {
    TChildProcess voice({std::string(LUMISK_BINARY_DIR) + "/tools/lumisk-linesim/lumisk-linesim",
                         "--voice-modem", "alaw,ulaw"});
    TChildProcess data({std::string(LUMISK_BINARY_DIR) + "/tools/lumisk-linesim/lumisk-linesim"});
    const int voiceLine = voice.WaitLine(TChildProcess::Out, "^pty ");
    const int dataLine = data.WaitLine(TChildProcess::Out, "^pty ");
    ASSERT_GE(voiceLine, 0);
    ASSERT_GE(dataLine, 0);
    auto check = [&](const std::string& modem) {
        TTempFolder box("selfcheck-voice");
        const std::string conf = WriteBox(box, modem, 1, false, "mbox3", nullptr, "1");
        WriteFile(conf,
                  ReadFile(conf).substr(0, ReadFile(conf).find("[sound]")) + "[sound]\ndriver = modem\n");
        std::vector<std::string> out;
        std::string err;
        RunLumisk({"--check", "--config", conf, "--workdir", box.Path}, out, err);
        return Text(out) + err;
    };

    const std::string voicePath = voice.Line(TChildProcess::Out, voiceLine).substr(4);
    const std::string good = check(voicePath);
    EXPECT_NE(good.find("ok   modem " + voicePath +
                        " in voice mode: 8-BIT ULAW (AT+VSM=131,8000), XON/XOFF flow control\n"),
              std::string::npos)
        << good;
    EXPECT_NE(good.find("skip sound capture (the voice modem carries the audio)"), std::string::npos) << good;
    EXPECT_GE(voice.WaitLine(TChildProcess::Out, " AT\\+FCLASS=8$"), 0);

    const std::string dataPath = data.Line(TChildProcess::Out, dataLine).substr(4);
    const std::string bad = check(dataPath);
    EXPECT_NE(bad.find("FAIL modem " + dataPath + ": voice modem: "), std::string::npos) << bad;
    EXPECT_NE(bad.find("; use a voice modem"), std::string::npos) << bad;
}
