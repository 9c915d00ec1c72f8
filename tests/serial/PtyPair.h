// A real pseudo-terminal pair for the port tests: the test plays the modem on the master side
// and the port opens the slave path. The pair keeps its own slave descriptor so the port can
// open and close the device freely without hanging the line up.
#pragma once

#include "toolkit/Thread.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <unistd.h>

class TPtyPair {
public:
    TPtyPair() {
        FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (ptsname_r(FMaster, name, sizeof name) != 0)
            throw std::runtime_error("no slave name");
        FSlavePath = name;
        FSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~TPtyPair() {
        CloseMaster();
        if (FSlave >= 0)
            close(FSlave);
    }
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    const std::string& SlavePath() const { return FSlavePath; }
    int Master() const { return FMaster; }
    void CloseMaster() {
        if (FMaster >= 0)
            close(FMaster);
        FMaster = -1;
    }
    // The modem end sends: one write.
    void Send(const std::string& bytes) {
        if (write(FMaster, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("pty write failed");
    }
    // What the port sent, collected until `wanted` bytes are there or 10 s have passed.
    std::string Receive(size_t wanted) {
        std::string got;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < wanted && std::chrono::steady_clock::now() < until) {
            pollfd p{FMaster, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = read(FMaster, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    termios Settings() const {
        termios t{};
        tcgetattr(FMaster, &t);
        return t;
    }

private:
    int FMaster = -1;
    int FSlave = -1;
    std::string FSlavePath;
};

// Serves the main-thread hand-over until pred holds; false after 10 s.
inline bool PumpUntil(const std::function<bool()>& pred, int limitMs = 10000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        CheckSynchronize(20);
    }
    return true;
}

// Serves the hand-over for a while: lets anything that would (wrongly) arrive arrive.
inline void PumpFor(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until)
        CheckSynchronize(20);
}
