// A window timer: enabled flag, interval and an OnTimer handler, as the window's call flow uses
// them. Enabling a running timer does not restart it; disabling and enabling it does, and so
// does a new interval. A timer fires once and is then disabled (each handler of the window
// disables its own timer first anyway). An interval of 0 never fires.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TClock;

// A time limit in seconds as a timer interval: the product wraps as an unsigned 32-bit count, so
// a negative number of seconds gives a very long interval.
uint32_t SecondsToInterval(int seconds);

class TTimer {
public:
    TTimer(TClock& clock, uint32_t interval);
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool enabled);
    // Milliseconds as an unsigned 32-bit count: a negative time limit wraps to a very long one.
    uint32_t Interval() const { return FInterval; }
    void SetInterval(uint32_t interval);
    // True while a wake-up is pending.
    bool Running() const { return FRunning; }

    std::function<void()> OnTimer;

    // Called by the clock when the interval has passed: disables the timer, then runs OnTimer
    // the way the event loop runs a handler (an exception is shown, the program goes on).
    void Fire();

private:
    void Update();

    TClock& FClock;
    uint32_t FInterval;
    bool FEnabled = false;
    bool FRunning = false;
};
