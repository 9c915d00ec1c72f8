#include "app/ModemWatch.h"

#include "serial/ComError.h"
#include "serial/ComPort.h"
#include "toolkit/StringUtils.h"

#include <cstring>

TModemWatch::TModemWatch(TCustomComPort& port, TClock& clock, int checkEverySeconds, TModemWatchHooks hooks)
    : FPort(port), FCheckEvery(checkEverySeconds), FHooks(std::move(hooks)), FRetry(clock, RetryMilliseconds),
      FCheck(clock, SecondsToInterval(checkEverySeconds)), FAnswer(clock, AnswerMilliseconds) {
    FRetry.OnTimer = [this] { Retry(); };
    FCheck.OnTimer = [this] { Check(); };
    FAnswer.OnTimer = [this] { NoAnswer(); };
}

TModemWatch::~TModemWatch() {
    FRetry.OnTimer = nullptr;
    FCheck.OnTimer = nullptr;
    FAnswer.OnTimer = nullptr;
}

void TModemWatch::Report(const std::string& what) {
    if (FHooks.Event)
        FHooks.Event("modem " + FPort.Port() + " " + what);
}

bool TModemWatch::TryOpen(std::string& reason) {
    try {
        // A port whose device went away is still open on our side: closed first, so the same
        // path is opened anew.
        if (FPort.Connected())
            FPort.ClosePort();
        FPort.OpenPort();
        return true;
    } catch (const EComPort& e) {
        reason = e.OsError > 0 ? std::strerror(e.OsError) : OneLine(e.what());
    } catch (const std::exception& e) {
        reason = OneLine(e.what());
    }
    return false;
}

void TModemWatch::Open() {
    try {
        if (FPort.Connected())
            FPort.ClosePort();
        FPort.OpenPort();
    } catch (const EComPort& e) {
        GoneAway(e.OsError > 0 ? std::strerror(e.OsError) : OneLine(e.what()));
        throw;
    } catch (const std::exception& e) {
        GoneAway(OneLine(e.what()));
        throw;
    }
    if (FHooks.SetUp)
        FHooks.SetUp();
    ArmCheck();
}

void TModemWatch::DeviceLost() {
    if (FAway)
        return;
    GoneAway("the device went away");
    if (FHooks.Lost)
        FHooks.Lost();
}

void TModemWatch::GoneAway(const std::string& reason) {
    FAway = true;
    FReason = reason;
    FRetries = 0;
    FCheck.SetEnabled(false);
    FAnswer.SetEnabled(false);
    Report("lost (" + reason + ")");
    FRetry.SetEnabled(true);
}

void TModemWatch::Retry() {
    std::string reason;
    // The operator may have opened it already (the port's settings dialog).
    const bool open = (FPort.Connected() && !FPort.DeviceLost()) || TryOpen(reason);
    if (!open) {
        // Never deaf without saying so: a reminder every few minutes while it stays away.
        if (++FRetries % RemindEveryRetries == 0 || reason != FReason)
            Report("still lost (" + reason + ")");
        FReason = reason;
        FRetry.SetEnabled(true);
        return;
    }
    FAway = false;
    Report("back");
    try {
        if (FHooks.SetUp)
            FHooks.SetUp();
    } catch (const std::exception& e) {
        Report("not set up (" + OneLine(e.what()) + ")");
    }
    ArmCheck();
}

void TModemWatch::ArmCheck() {
    if (FCheckEvery <= 0)
        return;
    FCheck.SetEnabled(false);
    FCheck.SetEnabled(true);
}

void TModemWatch::Check() {
    if (FAway)
        return;
    if (FHooks.Idle && !FHooks.Idle()) {
        ArmCheck(); // a call is on: asked once it is over
        return;
    }
    FAnswerText.clear();
    try {
        FPort.WriteText("AT\r");
    } catch (const std::exception&) {
        // A port that cannot take two bytes is as good as a modem that does not answer.
    }
    FAnswer.SetEnabled(true);
}

void TModemWatch::Received(const std::string& text) {
    if (!FAnswer.Enabled())
        return;
    FAnswerText += text;
    // "OK", or "0" alone on its line from a modem set to numeric results (ATV0).
    const bool answered = FAnswerText.find("OK") != std::string::npos || FAnswerText.rfind("0\r", 0) == 0 ||
                          FAnswerText.find("\n0\r") != std::string::npos ||
                          FAnswerText.find("\r0\r") != std::string::npos;
    if (!answered) {
        if (FAnswerText.size() > 64)
            FAnswerText.erase(0, FAnswerText.size() - 64);
        return;
    }
    FAnswer.SetEnabled(false);
    ArmCheck();
}

void TModemWatch::NoAnswer() {
    Report("not answering");
    try {
        if (FHooks.SetUp)
            FHooks.SetUp();
    } catch (const std::exception&) {
        // The port is opened anew below.
    }
    std::string reason;
    if (!TryOpen(reason)) {
        GoneAway(reason);
        return;
    }
    try {
        if (FHooks.SetUp)
            FHooks.SetUp();
    } catch (const std::exception& e) {
        Report("not set up (" + OneLine(e.what()) + ")");
    }
    ArmCheck();
}
