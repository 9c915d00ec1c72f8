#include "app/Timer.h"

#include "app/Clock.h"
#include "toolkit/ExceptionReporter.h"

#include <climits>

TTimer::TTimer(TClock& clock, uint32_t interval) : FClock(clock), FInterval(interval) {}

TTimer::~TTimer() {
    FClock.Forget(*this);
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled == FEnabled)
        return;
    FEnabled = enabled;
    Update();
}

void TTimer::SetInterval(uint32_t interval) {
    if (interval == FInterval)
        return;
    FInterval = interval;
    Update();
}

void TTimer::Update() {
    FClock.Disarm(*this);
    FRunning = false;
    if (FEnabled && FInterval != 0) {
        // Qt counts in signed milliseconds; anything beyond ~24 days is "very long" either way.
        FClock.Arm(*this, FInterval > INT_MAX ? INT_MAX : static_cast<int>(FInterval));
        FRunning = true;
    }
}

void TTimer::Fire() {
    FRunning = false;
    FEnabled = false;
    if (OnTimer)
        RunHandler(OnTimer);
}

uint32_t SecondsToInterval(int seconds) {
    return static_cast<uint32_t>(static_cast<int64_t>(seconds) * 1000);
}
