// The box as a systemd service: it says when it is ready, keeps the watchdog fed from the main
// loop (a hung loop stops the pings, and systemd restarts the box), and keeps a status line
// ("idle", "in a call"). Outside systemd it does nothing.
#pragma once

#include "toolkit/SystemdNotify.h"

#include <QTimer>
#include <string>

class TBox;

class TServiceWatch {
public:
    explicit TServiceWatch(TBox& box);
    ~TServiceWatch();
    TServiceWatch(const TServiceWatch&) = delete;
    TServiceWatch& operator=(const TServiceWatch&) = delete;

private:
    void Say(const std::string& status);

    TSystemdNotify FNotify;
    QTimer FWatchdog;
};
