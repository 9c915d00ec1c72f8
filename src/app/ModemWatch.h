// Keeping the modem in reach for months: a port that cannot be opened or whose device goes away
// is tried again every few seconds until it opens, with a reminder every few minutes while it
// stays away; while the line is idle the modem is asked "AT" now and then, and one that does not
// answer "OK" is sent its init string and its port is closed and opened again.
#pragma once

#include "app/Timer.h"

#include <cstdint>
#include <functional>
#include <string>

class TClock;
class TCustomComPort;

// What the watch needs from the box.
struct TModemWatchHooks {
    // True while no call uses the line (on hook, nothing recorded): only then the modem is asked.
    std::function<bool()> Idle;
    // The modem is to be set up as at start (the init string): the port opened, or the modem
    // did not answer. May throw; the watch reports it and goes on.
    std::function<void()> SetUp;
    // The device went away: a call in progress ends.
    std::function<void()> Lost;
    // One event line ("modem ttyS2 lost (...)").
    std::function<void(const std::string& event)> Event;
};

class TModemWatch {
public:
    // checkEverySeconds: the idle modem is asked this often; 0 never.
    TModemWatch(TCustomComPort& port, TClock& clock, int checkEverySeconds, TModemWatchHooks hooks);
    ~TModemWatch();
    TModemWatch(const TModemWatch&) = delete;
    TModemWatch& operator=(const TModemWatch&) = delete;

    // Opens the port at start and sets the modem up. A failure is reported, tried again, and
    // raised (the error display shows it once).
    void Open();
    // The port's device went away (its OnError with the device lost).
    void DeviceLost();
    // Everything the modem sent: an "OK" answers a pending check.
    void Received(const std::string& text);

    // True from a loss or a failed opening until the port is open again.
    bool Away() const { return FAway; }
    // Why it is away, as last seen.
    const std::string& Reason() const { return FReason; }
    // A check was sent and is not answered yet.
    bool Asking() const { return FAnswer.Enabled(); }

    static constexpr uint32_t RetryMilliseconds = 3000;
    static constexpr uint32_t AnswerMilliseconds = 2000;
    // While the modem stays away, it is said again this often.
    static constexpr int RemindEveryRetries = 60; // three minutes

private:
    bool TryOpen(std::string& reason);
    void GoneAway(const std::string& reason);
    void Retry();
    void Check();
    void NoAnswer();
    void ArmCheck();
    void Report(const std::string& what);

    TCustomComPort& FPort;
    const int FCheckEvery;
    TModemWatchHooks FHooks;
    bool FAway = false;
    int FRetries = 0;
    std::string FReason;
    std::string FAnswerText;
    TTimer FRetry;
    TTimer FCheck;
    TTimer FAnswer;
};
