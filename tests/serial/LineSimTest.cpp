// The line simulator's modem end, driven through its command channel, against the port.
#include "ModemEnd.h"
#include "serial/ComPort.h"
#include "serial/PtyPair.h"

#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The simulator as a child process: commands to its stdin, its report lines from its stdout.
class TLineSimProcess {
public:
    TLineSimProcess() {
        signal(SIGPIPE, SIG_IGN); // a simulator that ended early fails the test, not the run
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        FPid = fork();
        if (FPid == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            const char* path = LUMISK_BINARY_DIR "/tools/lumisk-linesim/lumisk-linesim";
            execl(path, path, "--split-gap", "20", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        FIn = in[1];
        FOut = out[0];
    }
    ~TLineSimProcess() {
        close(FIn); // the end of stdin ends the simulator
        int status = 0;
        waitpid(FPid, &status, 0);
        close(FOut);
    }
    void Command(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(write(FIn, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // The next report line that starts with prefix (others are skipped); "" after 10 s.
    std::string Expect(const std::string& prefix) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            size_t end;
            while ((end = FPending.find('\n')) != std::string::npos) {
                std::string line = FPending.substr(0, end);
                FPending.erase(0, end + 1);
                if (line.rfind(prefix, 0) == 0)
                    return line;
            }
            // The port's handlers run on this thread: serve them while waiting.
            CheckSynchronize(0);
            if (std::chrono::steady_clock::now() >= until)
                return "";
            pollfd p{FOut, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                char buf[1024];
                const ssize_t n = read(FOut, buf, sizeof buf);
                if (n <= 0)
                    return "";
                FPending.append(buf, static_cast<size_t>(n));
            }
        }
    }

private:
    pid_t FPid = -1;
    int FIn = -1;
    int FOut = -1;
    std::string FPending;
};

} // namespace

TEST(LineSim, ModemEndAnswersRingsAndDrops) {
    TThread::SetMainThread();
    TLineSimProcess sim;
    const std::string pty = sim.Expect("pty ");
    ASSERT_FALSE(pty.empty());

    TComPort port;
    port.SetPort(pty.substr(4));
    port.SetBaudRate(br1200);
    port.SetDiscardNull(true);
    std::string received;
    std::vector<TComErrors> errors;
    port.OnRxChar = [&](TComponent*, int count) {
        std::string text;
        port.ReadText(text, count);
        received += text;
    };
    port.OnError = [&](TComponent*, TComErrors e) { errors.push_back(e); };
    port.OpenPort();

    port.WriteText("ATM1\r");
    EXPECT_NE(sim.Expect("rx "), "");
    ASSERT_TRUE(PumpUntil([&] { return received == "OK\r\n"; }));

    // The port may close and open again: the line stays up.
    port.ClosePort();
    port.OpenPort();
    received.clear();
    sim.Command("ring");
    EXPECT_EQ(sim.Expect("ok ring"), "ok ring 1 write");
    ASSERT_TRUE(PumpUntil([&] { return received == "RING\r\n"; }));
    sim.Command("ring split");
    EXPECT_EQ(sim.Expect("ok ring"), "ok ring 2 writes");
    ASSERT_TRUE(PumpUntil([&] { return received == "RING\r\nRING\r\n"; }));

    sim.Command("reply ERROR\\r\\n");
    sim.Expect("ok reply");
    received.clear();
    port.WriteText("ATX9\r");
    EXPECT_NE(sim.Expect("rx ").find("ATX9"), std::string::npos);
    ASSERT_TRUE(PumpUntil([&] { return received == "ERROR\r\n"; }));

    sim.Command("drop");
    sim.Expect("ok drop");
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    EXPECT_TRUE(errors[0].Contains(erIO));
    port.ClosePort();
    sim.Command("ring");
    EXPECT_EQ(sim.Expect("error"), "error line dropped");
}

TEST(LineSim, ModemEndSplitsLinesAndEscapes) {
    TModemEnd modem;
    std::vector<std::string> lines;
    modem.OnLine = [&](const std::string& line) { lines.push_back(line); };
    TComPort port;
    port.SetPort(modem.SlavePath());
    port.SetEvents({});
    port.OpenPort();
    port.WriteText("AT");
    modem.HandleReadable(); // half a line: nothing yet
    EXPECT_TRUE(lines.empty());
    port.WriteText("H0\r\nhello\n\r");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (lines.size() < 2 && std::chrono::steady_clock::now() < until) {
        pollfd p{modem.Fd(), POLLIN, 0};
        poll(&p, 1, 100);
        modem.HandleReadable();
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"ATH0", "hello"}));
    // Only the AT line was answered.
    ASSERT_TRUE(PumpUntil([&] { return port.BytesWaiting() == 4; }));
    std::string text;
    port.ReadText(text, 100);
    EXPECT_EQ(text, "OK\r\n");

    EXPECT_EQ(UnescapeText("A\\r\\n\\x00\\x7e\\\\z\\q"), std::string("A\r\n\0~\\zq", 8));
    EXPECT_EQ(EscapeText(std::string("R\r\n\0\xff", 5)), "R\\x0D\\x0A\\x00\\xFF");
}
