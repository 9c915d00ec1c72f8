// Shared pieces of the window tests: one QApplication per test process, a clock the test
// moves by hand, a folder of its own, and the texts of the standard error display.
#pragma once

#include "app/Clock.h"
#include "app/LumiskConf.h"
#include "app/QtMainThread.h"
#include "app/Timer.h"
#include "app/WindowLook.h"
#include "support/SoundSettings.h"
#include "support/TestFiles.h"
#include "toolkit/ExceptionReporter.h"

#include <QApplication>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

inline QApplication*& TestAppPointer() {
    static QApplication* app = nullptr;
    return app;
}

// The application of the test process, made on first use with the box's style.
inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "lumisk-tests";
    static char* argv[] = {name, nullptr};
    QApplication*& app = TestAppPointer();
    if (!app) {
        setenv("TZ", "UTC", 1);
        tzset();
        // The simulated sound card: silence unless a test gives it caller audio.
        SetSoundDriver("sim");
        app = new QApplication(argc, argv);
        std::setlocale(LC_ALL, "C");
        SetApplicationIdentity();
        UseClassicStyle(*app);
        InstallMainThreadPump(*app);
    }
    return *app;
}

// The sound settings the test has set (SetSoundDriver, SetSimCapture, ...), as the box's
// lumisk.conf would give them.
inline void UseTestSound(TLumiskConf& conf) {
    const TSoundSettings sound = SoundSettings();
    conf.SoundDriver = sound.Driver;
    conf.SoundCapture = sound.Capture.empty() ? "default" : sound.Capture;
    conf.SoundPlayback = sound.Playback.empty() ? "default" : sound.Playback;
}

// Ends the application after the last test, while Qt can still tidy up (its fontconfig
// cache would otherwise show as a leak).
class TTestAppEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        delete TestAppPointer();
        TestAppPointer() = nullptr;
    }
};
inline ::testing::Environment* const TestAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new TTestAppEnvironment);

// Time moves only when the test says so; timers fire in Advance, in order of their due time.
class TManualClock : public TClock {
public:
    explicit TManualClock(std::time_t now = 1765288800) : FNow(now) {} // 2025-12-09 14:00:00 UTC
    std::time_t Now() override { return FNow + static_cast<std::time_t>(FMilliseconds / 1000); }
    void Arm(TTimer& timer, int milliseconds) override { FDue[&timer] = FMilliseconds + milliseconds; }
    void Disarm(TTimer& timer) override { FDue.erase(&timer); }

    void Advance(int64_t milliseconds) {
        const int64_t target = FMilliseconds + milliseconds;
        for (;;) {
            auto next = FDue.end();
            for (auto it = FDue.begin(); it != FDue.end(); ++it)
                if (it->second <= target && (next == FDue.end() || it->second < next->second))
                    next = it;
            if (next == FDue.end())
                break;
            FMilliseconds = next->second;
            TTimer* timer = next->first;
            FDue.erase(next);
            timer->Fire();
        }
        FMilliseconds = target;
    }
    bool Armed(const TTimer& timer) const { return FDue.count(const_cast<TTimer*>(&timer)) != 0; }
    // Milliseconds until the timer fires; -1 when it is not armed.
    int64_t Remaining(const TTimer& timer) const {
        auto it = FDue.find(const_cast<TTimer*>(&timer));
        return it == FDue.end() ? -1 : it->second - FMilliseconds;
    }

private:
    std::time_t FNow;
    int64_t FMilliseconds = 0;
    std::map<TTimer*, int64_t> FDue;
};

// Collects what the standard error display shows while it lives.
class TShownErrors {
public:
    TShownErrors() {
        FPrevious = SetExceptionSink([this](const std::string& text) { Texts.push_back(text); });
    }
    ~TShownErrors() { SetExceptionSink(FPrevious); }
    std::vector<std::string> Texts;

private:
    ExceptionSink FPrevious;
};
