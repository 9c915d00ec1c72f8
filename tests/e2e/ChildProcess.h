// A program run by a test: its stdin is a pipe the test writes, and its stdout and stderr lines
// are gathered by a reader thread so the test can wait for a line with a bound. Ended by its own
// PID: SIGTERM, then SIGKILL after a generous bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <regex>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

class TChildProcess {
public:
    enum TStream { Out = 0, Err = 1 };

    // env entries "NAME=value" are added to (or replace those of) the test's environment.
    TChildProcess(std::vector<std::string> args, const std::string& folder = "",
                  const std::vector<std::string>& env = {}) {
        signal(SIGPIPE, SIG_IGN); // a child that ended early fails the test, not the run
        int in[2], out[2], err[2], stop[2];
        if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(stop, O_CLOEXEC))
            throw std::runtime_error("pipe failed");
        FPid = fork();
        if (FPid == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            if (!folder.empty() && chdir(folder.c_str()) != 0)
                _exit(126);
            for (const std::string& e : env) {
                const size_t eq = e.find('=');
                if (e[0] == '-') // "-NAME": not in the child's environment at all
                    unsetenv(e.c_str() + 1);
                else
                    setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
            }
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        FIn = in[1];
        FStop[0] = stop[0];
        FStop[1] = stop[1];
        FReader = std::thread([this, o = out[0], e = err[0]] { ReadLines(o, e); });
    }

    ~TChildProcess() {
        Stop();
        const char c = 0;
        (void)!write(FStop[1], &c, 1);
        FReader.join();
        close(FStop[0]);
        close(FStop[1]);
    }
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    pid_t Pid() const { return FPid; }

    void Write(const std::string& line) {
        const std::string text = line + "\n";
        if (write(FIn, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("cannot write to the child");
    }
    void CloseInput() {
        if (FIn >= 0)
            close(FIn);
        FIn = -1;
    }

    // Index of the first line at or after from whose text matches pattern; -1 when none came
    // within the bound or the stream ended.
    int WaitLine(TStream stream, const std::string& pattern, int from = 0,
                 std::chrono::milliseconds bound = std::chrono::seconds(60)) {
        const std::regex re(pattern);
        std::unique_lock<std::mutex> lock(FLock);
        int found = -1;
        FChanged.wait_for(lock, bound, [&] {
            const auto& lines = FLines[stream];
            for (int i = from; i < static_cast<int>(lines.size()); ++i)
                if (std::regex_search(lines[i], re)) {
                    found = i;
                    return true;
                }
            return FEnded[stream];
        });
        return found;
    }
    std::string Line(TStream stream, int index) {
        std::lock_guard<std::mutex> guard(FLock);
        return index >= 0 && index < static_cast<int>(FLines[stream].size()) ? FLines[stream][index] : "";
    }
    // When the line was read from the child (for measurements).
    std::chrono::steady_clock::time_point LineTime(TStream stream, int index) {
        std::lock_guard<std::mutex> guard(FLock);
        return FTimes[stream].at(static_cast<size_t>(index));
    }
    std::vector<std::string> Lines(TStream stream) {
        std::lock_guard<std::mutex> guard(FLock);
        return FLines[stream];
    }
    int LineCount(TStream stream) {
        std::lock_guard<std::mutex> guard(FLock);
        return static_cast<int>(FLines[stream].size());
    }
    std::string AllText(TStream stream) {
        std::string text;
        for (const std::string& line : Lines(stream))
            text += line + "\n";
        return text;
    }

    // Sends sig and waits (bounded) for the end; returns the wait status, -1 if already reaped.
    int Stop(int sig = SIGTERM, std::chrono::seconds bound = std::chrono::seconds(30)) {
        if (FPid <= 0)
            return FStatus;
        kill(FPid, sig);
        return WaitExit(bound);
    }
    // Waits for the child to end by itself; SIGKILL after the bound.
    int WaitExit(std::chrono::seconds bound = std::chrono::seconds(60)) {
        if (FPid <= 0)
            return FStatus;
        const auto until = std::chrono::steady_clock::now() + bound;
        int status = 0;
        pid_t got;
        while ((got = waitpid(FPid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (got == 0) {
            kill(FPid, SIGKILL);
            waitpid(FPid, &status, 0);
            FKilled = true;
        }
        FPid = -1;
        FStatus = status;
        CloseInput();
        return status;
    }
    bool Killed() const { return FKilled; }

private:
    void ReadLines(int out, int err) {
        std::string partial[2];
        int fds[2] = {out, err};
        for (;;) {
            pollfd p[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {FStop[0], POLLIN, 0}};
            if (poll(p, 3, -1) < 0 && errno != EINTR)
                break;
            if (p[2].revents)
                break;
            for (int s = 0; s < 2; ++s) {
                if (fds[s] < 0 || !p[s].revents)
                    continue;
                char buf[4096];
                const ssize_t n = read(fds[s], buf, sizeof buf);
                std::lock_guard<std::mutex> guard(FLock);
                if (n <= 0) {
                    close(fds[s]);
                    fds[s] = -1;
                    FEnded[s] = true;
                } else {
                    partial[s].append(buf, static_cast<size_t>(n));
                    size_t end;
                    while ((end = partial[s].find('\n')) != std::string::npos) {
                        FLines[s].push_back(partial[s].substr(0, end));
                        FTimes[s].push_back(std::chrono::steady_clock::now());
                        partial[s].erase(0, end + 1);
                    }
                }
                FChanged.notify_all();
            }
        }
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }

    pid_t FPid = -1;
    int FStatus = -1;
    bool FKilled = false;
    int FIn = -1;
    int FStop[2] = {-1, -1};
    std::thread FReader;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::string> FLines[2];
    std::vector<std::chrono::steady_clock::time_point> FTimes[2];
    bool FEnded[2] = {false, false};
};
