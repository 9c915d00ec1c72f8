// Pieces of the fault tests: a window on the simulated card with silent-but-marked prompts, a
// modem line whose far end can be pulled and put back at the same path, and the process's CPU
// time to tell waiting from spinning.
#pragma once

#include "app/SimulatedWindowTest.h"

#include <QLineEdit>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

// Lowers the process's file-size limit while it lives; SIGXFSZ ignored, so a write past the
// limit fails instead of ending the process.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &FOld);
        FOldHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = FOld;
        limit.rlim_cur = bytes;
        Ok = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~TFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &FOld);
        signal(SIGXFSZ, FOldHandler);
    }
    bool Ok = false;

private:
    rlimit FOld{};
    sighandler_t FOldHandler;
};

// A wave file read back as the box's next reader would: its data chunk, all of it.
struct TReadBack {
    bool Opened = false;
    int32_t DataSize = -1;
    int64_t DataStart = 0;
    int BitsPerSample = 0;
    std::string Data;
};

inline TReadBack ReadWave(const std::string& fileName) {
    TReadBack result;
    try {
        TWaveFileStream wave(fileName, fmOpenRead);
        wave.OpenWave(false);
        result.Opened = true;
        result.DataSize = wave.GetDataSize();
        result.DataStart = wave.DataStart();
        if (const WAVEFORMATEX* format = wave.GetWaveFormat())
            result.BitsPerSample = format->wBitsPerSample;
        result.Data.resize(static_cast<size_t>(std::max(result.DataSize, 0)));
        if (result.DataSize > 0)
            wave.ReadBuffer(result.Data.data(), result.DataSize);
    } catch (const Exception&) {
    }
    return result;
}

// User and system time of the whole process, in milliseconds.
inline int64_t ProcessCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// The modem end of a pseudo-terminal, reached by the window through a link that stays put: the
// line can be pulled (the window's device goes away) and a new one put in its place.
class TPluggableModem {
public:
    explicit TPluggableModem(std::string link) : Link(std::move(link)) { Plug(); }
    ~TPluggableModem() {
        Pull();
        unlink(Link.c_str());
    }
    TPluggableModem(const TPluggableModem&) = delete;
    TPluggableModem& operator=(const TPluggableModem&) = delete;

    // Closes both ends this side holds: the window's open slave sees a hang-up.
    void Pull() {
        if (FMaster >= 0)
            close(FMaster);
        if (FSlave >= 0)
            close(FSlave);
        FMaster = FSlave = -1;
    }
    // A new pseudo-terminal behind the same link.
    void Plug() {
        Pull();
        char name[256] = {};
        if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0)
            return;
        termios raw{};
        tcgetattr(FSlave, &raw);
        cfmakeraw(&raw);
        tcsetattr(FSlave, TCSANOW, &raw);
        unlink(Link.c_str());
        if (symlink(name, Link.c_str()) != 0)
            Pull();
        Received.clear();
    }
    bool Plugged() const { return FMaster >= 0; }
    void Send(const std::string& text) { (void)!write(FMaster, text.data(), text.size()); }

    // Serves the window's event loop until the window sent text (or the bound passes).
    bool WaitReceived(const std::string& text, int timeoutMs = 30000) {
        return QTest::qWaitFor(
            [&] {
                Drain();
                return Received.find(text) != std::string::npos;
            },
            timeoutMs);
    }
    // How often text occurs in what the window sent so far.
    int Count(const std::string& text) {
        Drain();
        int n = 0;
        for (size_t at = Received.find(text); at != std::string::npos; at = Received.find(text, at + 1))
            ++n;
        return n;
    }

    const std::string Link;
    std::string Received;

private:
    void Drain() {
        if (FMaster < 0)
            return;
        char buffer[4096];
        pollfd p{FMaster, POLLIN, 0};
        while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
            const ssize_t n = read(FMaster, buffer, sizeof buffer);
            if (n <= 0)
                break;
            Received.append(buffer, static_cast<size_t>(n));
        }
    }

    int FMaster = -1;
    int FSlave = -1;
};

// A window test whose calls all end with an upload to a real server, so the faults under test
// are the only errors shown.
// Whether an event line starts with start.
inline bool Has(const std::vector<std::string>& events, const std::string& start) {
    return std::any_of(events.begin(), events.end(),
                       [&](const std::string& e) { return e.rfind(start, 0) == 0; });
}

class FaultTest : public SimulatedWindowTest {
protected:
    FaultTest() : SimulatedWindowTest("faults") {}
    void SetUp() override {
        SimulatedWindowTest::SetUp();
        WriteWave(Folder.File("caller.wav"), {});
        Ftp = std::make_unique<TestFtpServer>(TestFtpServer::PyFtpdLib, Folder.File("ftp"),
                                              std::vector<std::string>{"5", "7", "11", "22", "42", "43"});
    }

    std::unique_ptr<TMainForm> MakeForm(const std::string& port) {
        return SimulatedWindowTest::MakeForm(port, Ftp->Port());
    }

    // Answers a "RING", keys the mailbox number and lets the inter-digit time-out pass: the
    // message is being recorded into the returned file.
    std::string StartRecordedCall(TMainForm& form, TPluggableModem& modem, const std::string& number) {
        const int answers = modem.Count("ATH1\r");
        modem.Send("RING\r\n");
        EXPECT_TRUE(QTest::qWaitFor([&] { return modem.Count("ATH1\r") > answers; }, 30000));
        for (char key : number)
            form.Box().Flow().PhoneToneDecoder1DTMF(key); // as the decoder reports a key
        Clock.Advance(4000);
        // The server is asked whether the mailbox exists; the recording starts on its answer.
        EXPECT_TRUE(QTest::qWaitFor([&] { return form.Box().Recorder().Recording(); }, 30000));
        return form.FileNameEdit->text().toStdString();
    }

    std::unique_ptr<TestFtpServer> Ftp;
};
