// Running the box unattended: the box without its window, errors on stderr, one line per call event on
// stdout, and a clean end on SIGTERM or SIGINT.
#pragma once

#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

// The standard error display writes each text to stderr, one line, time-stamped.
void InstallStderrErrorDisplay();

// "YYYY-MM-DD HH:MM:SS event" in local time, written to stdout and flushed at once.
void WriteEventLine(const std::string& event);

// Turns SIGTERM and SIGINT into a call of onSignal on the main thread, from the event loop.
class TQuitSignals {
public:
    explicit TQuitSignals(std::function<void(int signal)> onSignal);
    ~TQuitSignals();
    TQuitSignals(const TQuitSignals&) = delete;
    TQuitSignals& operator=(const TQuitSignals&) = delete;

private:
    std::function<void(int)> FOnSignal;
    std::unique_ptr<QSocketNotifier> FNotifier;
};
