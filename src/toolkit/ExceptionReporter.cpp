#include "toolkit/ExceptionReporter.h"

#include "toolkit/Thread.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex& SinkLock() {
    static std::mutex m;
    return m;
}

ExceptionSink& Sink() {
    static ExceptionSink sink;
    return sink;
}

} // namespace

ExceptionSink SetExceptionSink(ExceptionSink sink) {
    std::lock_guard<std::mutex> guard(SinkLock());
    ExceptionSink previous = std::move(Sink());
    Sink() = std::move(sink);
    return previous;
}

void ShowMessageText(const std::string& message) {
    // The display may wait for the operator (a message box and its own event loop). Never while
    // a background thread waits for the code that failed, and never on a background thread: the
    // main thread shows it once that code has returned.
    if (!TThread::IsMainThread() || TThread::InSynchronizedCall()) {
        TThread::Queue([message] { ShowMessageText(message); });
        return;
    }
    ExceptionSink sink;
    {
        std::lock_guard<std::mutex> guard(SinkLock());
        sink = Sink();
    }
    if (sink)
        sink(message);
    else
        std::fprintf(stderr, "%s\n", message.c_str());
}

void ShowException(const std::exception& error) {
    ShowMessageText(error.what());
}

bool RunHandler(const std::function<void()>& handler) {
    try {
        handler();
        return true;
    } catch (const std::exception& error) {
        ShowException(error);
        return false;
    }
}
