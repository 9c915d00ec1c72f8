#include "app/Headless.h"

#include "toolkit/ExceptionReporter.h"
#include "toolkit/StringUtils.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

int SignalPipe[2] = {-1, -1};

void OnQuitSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    (void)!write(SignalPipe[1], &byte, 1);
    errno = saved;
}

std::string Now() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

} // namespace

void InstallStderrErrorDisplay() {
    SetExceptionSink([](const std::string& message) {
        std::fprintf(stderr, "%s error: %s\n", Now().c_str(), OneLine(message).c_str());
        std::fflush(stderr);
    });
}

void WriteEventLine(const std::string& event) {
    std::fprintf(stdout, "%s %s\n", Now().c_str(), OneLine(event).c_str());
    std::fflush(stdout);
}

TQuitSignals::TQuitSignals(std::function<void(int)> onSignal) : FOnSignal(std::move(onSignal)) {
    if (SignalPipe[0] < 0 && pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot make the signal pipe");
    FNotifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] {
        unsigned char byte = 0;
        while (read(SignalPipe[0], &byte, 1) == 1)
            if (FOnSignal)
                FOnSignal(byte);
    });
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

TQuitSignals::~TQuitSignals() {
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    FNotifier.reset();
}
