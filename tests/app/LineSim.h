// lumisk-linesim run as the box's modem for a test: started by the test, commanded on its
// stdin, its report lines read from its stdout, ended by its PID.
#pragma once

#include <QTest>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

class TLineSim {
public:
    TLineSim() {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string program = std::string(LUMISK_BINARY_DIR) + "/tools/lumisk-linesim/lumisk-linesim";
        char* argv[] = {program.data(), nullptr};
        if (posix_spawn(&FPid, program.c_str(), &actions, nullptr, argv, environ) != 0)
            FPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        FIn = in[1];
        FOut = out[0];
        fcntl(FOut, F_SETFL, O_NONBLOCK);
        // The first line names the pseudo-terminal to open.
        WaitFor([&] {
            for (const std::string& line : FLines)
                if (line.rfind("pty ", 0) == 0)
                    Path = line.substr(4);
            return !Path.empty();
        });
    }
    ~TLineSim() {
        Command("quit");
        close(FIn);
        if (FPid > 0) {
            for (int i = 0; i < 100 && waitpid(FPid, nullptr, WNOHANG) == 0; ++i)
                QTest::qWait(50);
            if (waitpid(FPid, nullptr, WNOHANG) == 0) {
                kill(FPid, SIGKILL);
                waitpid(FPid, nullptr, 0);
            }
        }
        close(FOut);
    }
    TLineSim(const TLineSim&) = delete;
    TLineSim& operator=(const TLineSim&) = delete;

    void Command(const std::string& line) {
        std::string text = line + "\n";
        (void)!write(FIn, text.data(), text.size());
    }

    // Lines the box sent to the modem, in order, without the time stamp ("ATH1", "ATDD;").
    std::vector<std::string> Received() {
        Poll();
        std::vector<std::string> lines;
        for (const std::string& line : FLines) {
            // "rx YYYY-MM-DD HH:MM:SS.mmm <line>"
            if (line.rfind("rx ", 0) == 0 && line.size() >= 27)
                lines.push_back(line.size() > 27 ? line.substr(27) : "");
        }
        return lines;
    }
    bool HasReceived(const std::string& text) {
        for (const std::string& line : Received())
            if (line == text)
                return true;
        return false;
    }
    // Waits, serving the Qt event loop, until the box sent this line (or the bound passes).
    bool WaitReceived(const std::string& text, int timeoutMs = 30000) {
        return WaitFor([&] { return HasReceived(text); }, timeoutMs);
    }
    template <class F> bool WaitFor(F condition, int timeoutMs = 30000) {
        return QTest::qWaitFor(
            [&] {
                Poll();
                return condition();
            },
            timeoutMs);
    }
    const std::vector<std::string>& Lines() {
        Poll();
        return FLines;
    }

    std::string Path;

private:
    void Poll() {
        char buffer[4096];
        for (;;) {
            ssize_t n = read(FOut, buffer, sizeof buffer);
            if (n <= 0)
                break;
            FPartial.append(buffer, static_cast<size_t>(n));
        }
        size_t end;
        while ((end = FPartial.find('\n')) != std::string::npos) {
            FLines.push_back(FPartial.substr(0, end));
            FPartial.erase(0, end + 1);
        }
    }

    pid_t FPid = -1;
    int FIn = -1;
    int FOut = -1;
    std::string FPartial;
    std::vector<std::string> FLines;
};
