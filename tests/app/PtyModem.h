// The modem end of a real pseudo-terminal pair for window tests that need an open port but no
// scripted modem: the window opens the slave by its path; the test reads what was sent.
#pragma once

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

class TPtyModem {
public:
    TPtyModem() {
        char name[256] = {};
        if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) == 0) {
            Path = name;
            termios raw{};
            tcgetattr(FSlave, &raw);
            cfmakeraw(&raw);
            tcsetattr(FSlave, TCSANOW, &raw);
        }
    }
    ~TPtyModem() {
        if (FMaster >= 0)
            close(FMaster);
        if (FSlave >= 0)
            close(FSlave); // kept open so the window may close and reopen the port
    }
    TPtyModem(const TPtyModem&) = delete;
    TPtyModem& operator=(const TPtyModem&) = delete;

    // Everything the window sent so far that the test has not taken yet, waiting up to
    // timeoutMs for more while fewer than minimum bytes are there.
    std::string Take(size_t minimum = 0, int timeoutMs = 0) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            Drain(0);
            if (FReceived.size() >= minimum)
                break;
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            Drain(static_cast<int>(left.count()));
        }
        std::string text;
        text.swap(FReceived);
        return text;
    }
    void Send(const std::string& text) { (void)!write(FMaster, text.data(), text.size()); }

    std::string Path;

private:
    void Drain(int timeoutMs) {
        pollfd p{FMaster, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0 || !(p.revents & POLLIN))
            return;
        char buffer[4096];
        ssize_t n = read(FMaster, buffer, sizeof buffer);
        if (n > 0)
            FReceived.append(buffer, static_cast<size_t>(n));
    }

    int FMaster = -1;
    int FSlave = -1;
    std::string FReceived;
};
