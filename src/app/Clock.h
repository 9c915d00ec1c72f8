// The time source of the main window: wall-clock time for call time stamps and the wake-ups
// that drive its timers. The window takes it from outside so that tests can set the time and
// let timers fire at exactly the moment they choose.
#pragma once

#include <ctime>
#include <memory>
#include <unordered_map>

class TTimer;
class QTimer;

class TClock {
public:
    virtual ~TClock() = default;
    // Current wall-clock time (seconds since the epoch).
    virtual std::time_t Now() = 0;
    // Calls timer.Fire() once, milliseconds from now, on the main thread; replaces an earlier
    // wake-up of the same timer.
    virtual void Arm(TTimer& timer, int milliseconds) = 0;
    // Cancels a pending wake-up; nothing happens when none is pending.
    virtual void Disarm(TTimer& timer) = 0;
    // The timer is being destroyed: drop everything kept for it.
    virtual void Forget(TTimer& timer) { Disarm(timer); }
};

// The real clock: time() and one Qt timer per armed TTimer, run by the Qt event loop.
class TSystemClock : public TClock {
public:
    TSystemClock();
    ~TSystemClock() override;
    std::time_t Now() override;
    void Arm(TTimer& timer, int milliseconds) override;
    void Disarm(TTimer& timer) override;
    void Forget(TTimer& timer) override;

private:
    std::unordered_map<TTimer*, std::unique_ptr<QTimer>> FTimers;
};
