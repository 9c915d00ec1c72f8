#include "app/Clock.h"

#include "app/Timer.h"

#include <QTimer>

TSystemClock::TSystemClock() = default;
TSystemClock::~TSystemClock() = default;

std::time_t TSystemClock::Now() {
    return std::time(nullptr);
}

void TSystemClock::Arm(TTimer& timer, int milliseconds) {
    auto& slot = FTimers[&timer];
    if (!slot) {
        slot = std::make_unique<QTimer>();
        slot->setSingleShot(true);
        slot->setTimerType(Qt::PreciseTimer);
        TTimer* target = &timer;
        QObject::connect(slot.get(), &QTimer::timeout, [target] { target->Fire(); });
    }
    slot->start(milliseconds);
}

void TSystemClock::Disarm(TTimer& timer) {
    // Only stopped: a handler may disarm its own timer from inside the time-out signal.
    auto it = FTimers.find(&timer);
    if (it != FTimers.end())
        it->second->stop();
}

void TSystemClock::Forget(TTimer& timer) {
    FTimers.erase(&timer);
}
