#include "app/ServiceWatch.h"

#include "app/Box.h"
#include "toolkit/ExceptionReporter.h"

TServiceWatch::TServiceWatch(TBox& box) : FNotify(TSystemdNotify::FromEnvironment()) {
    if (!FNotify.Active())
        return;
    const auto interval = FNotify.WatchdogInterval();
    if (interval.count() > 0) {
        // Fed from the main loop only: a loop that hangs must stop the pings.
        FWatchdog.setInterval(static_cast<int>(interval.count() / 2000));
        QObject::connect(&FWatchdog, &QTimer::timeout,
                         [this] { RunHandler([this] { FNotify.Watchdog(); }); });
        FWatchdog.start();
    }
    box.Flow().OnStateChanged = [this](TCallState state) {
        Say(state == TCallState::Idle ? "idle" : "in a call");
    };
    RunHandler([this] { FNotify.Ready(); });
    Say("idle");
}

TServiceWatch::~TServiceWatch() {
    if (FNotify.Active())
        RunHandler([this] { FNotify.Stopping(); });
}

void TServiceWatch::Say(const std::string& status) {
    RunHandler([&] { FNotify.Status(status); });
}
