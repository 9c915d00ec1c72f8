// Telling the service manager how the box is: readiness, a status line and watchdog pings,
// as one datagram per notice to the socket named in NOTIFY_SOCKET (a path, or "@" for an
// abstract name). Without that socket, as outside systemd, every notice does nothing.
#pragma once

#include "toolkit/Exception.h"

#include <chrono>
#include <string>
#include <sys/types.h>

// A notice the service manager's socket would not take: "Cannot notify systemd at SOCKET: REASON".
class ESystemdNotifyError : public Exception {
public:
    using Exception::Exception;
};

class TSystemdNotify {
public:
    // From NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID of the process's environment.
    static TSystemdNotify FromEnvironment();
    // The three values as the environment would give them (empty: not set); ownPid is the
    // process that sends.
    TSystemdNotify(const std::string& notifySocket, const std::string& watchdogUsec,
                   const std::string& watchdogPid, pid_t ownPid);
    ~TSystemdNotify();
    TSystemdNotify(TSystemdNotify&& other) noexcept;
    TSystemdNotify& operator=(TSystemdNotify&&) = delete;
    TSystemdNotify(const TSystemdNotify&) = delete;
    TSystemdNotify& operator=(const TSystemdNotify&) = delete;

    // A socket to notify is known.
    bool Active() const { return !FSocketName.empty(); }
    // Start-up is complete ("READY=1").
    void Ready();
    // One line for `systemctl status`; line breaks become blanks.
    void Status(const std::string& text);
    // The main loop is alive ("WATCHDOG=1"); send at least every WatchdogInterval() / 2.
    void Watchdog();
    // Shutting down ("STOPPING=1").
    void Stopping();
    // The watchdog time-out the manager set for this process; zero when none (not set,
    // unreadable, meant for another process, or no socket to ping).
    std::chrono::microseconds WatchdogInterval() const { return FWatchdog; }

private:
    void Send(const std::string& assignments);

    std::string FSocketName;
    std::chrono::microseconds FWatchdog{0};
    int FSocket = -1;
};
