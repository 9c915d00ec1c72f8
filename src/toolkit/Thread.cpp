#include "toolkit/Thread.h"

#include "toolkit/ExceptionReporter.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

struct PendingCall {
    std::function<void()> fn;
    const void* tag = nullptr;
    bool synchronous = false;
    bool done = false;
    std::exception_ptr error;
};

// One lock and one condition for the whole hand-over: queued calls, their completion and thread
// ends all signal it, so the main thread's WaitFor wakes for whichever comes first.
std::mutex& Lock() {
    static std::mutex m;
    return m;
}
std::condition_variable& Changed() {
    static std::condition_variable c;
    return c;
}
std::deque<std::shared_ptr<PendingCall>>& Pending() {
    static std::deque<std::shared_ptr<PendingCall>> q;
    return q;
}
std::function<void()>& WakeHook() {
    static std::function<void()> hook;
    return hook;
}
std::thread::id& MainThreadId() {
    static std::thread::id id = std::this_thread::get_id();
    return id;
}
// Make the thread that loads the program the main thread.
const bool mainThreadRecorded = (MainThreadId(), true);

void Wake() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(Lock());
        hook = WakeHook();
    }
    if (hook)
        hook();
}

} // namespace

void SetWakeMainThread(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(Lock());
    WakeHook() = std::move(hook);
}

bool TThread::IsMainThread() {
    return std::this_thread::get_id() == MainThreadId();
}

void TThread::SetMainThread() {
    MainThreadId() = std::this_thread::get_id();
}

bool CheckSynchronize(int timeoutMs) {
    std::deque<std::shared_ptr<PendingCall>> batch;
    {
        std::unique_lock<std::mutex> lock(Lock());
        if (Pending().empty() && timeoutMs > 0)
            Changed().wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return !Pending().empty(); });
        batch.swap(Pending());
    }
    for (auto& call : batch) {
        if (call->synchronous) {
            try {
                call->fn();
            } catch (...) {
                call->error = std::current_exception();
            }
            std::lock_guard<std::mutex> guard(Lock());
            call->done = true;
        } else {
            // Nobody waits for a queued call: its error goes to the application's error display,
            // as an error leaving any event handler does.
            try {
                call->fn();
            } catch (const std::exception& e) {
                ShowException(e);
            }
        }
    }
    if (!batch.empty())
        Changed().notify_all();
    return !batch.empty();
}

void TThread::Synchronize(const std::function<void()>& fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    auto call = std::make_shared<PendingCall>();
    call->fn = fn;
    call->synchronous = true;
    {
        std::lock_guard<std::mutex> guard(Lock());
        Pending().push_back(call);
    }
    Changed().notify_all();
    Wake();
    std::unique_lock<std::mutex> lock(Lock());
    Changed().wait(lock, [&] { return call->done; });
    if (call->error)
        std::rethrow_exception(call->error);
}

void TThread::Queue(std::function<void()> fn, const void* tag) {
    auto call = std::make_shared<PendingCall>();
    call->fn = std::move(fn);
    call->tag = tag;
    {
        std::lock_guard<std::mutex> guard(Lock());
        Pending().push_back(call);
    }
    Changed().notify_all();
    Wake();
}

void TThread::RemoveQueuedEvents(const void* tag) {
    std::lock_guard<std::mutex> guard(Lock());
    auto& q = Pending();
    for (auto it = q.begin(); it != q.end();) {
        if (!(*it)->synchronous && (*it)->tag == tag)
            it = q.erase(it);
        else
            ++it;
    }
}

TThread::TThread() = default;

TThread::~TThread() {
    if (FThread.joinable()) {
        if (FThread.get_id() == std::this_thread::get_id()) {
            FThread.detach(); // FreeOnTerminate: the thread is deleting itself
        } else {
            Terminate();
            WaitFor();
            FThread.join();
        }
    }
}

void TThread::Start() {
    if (FStarted.exchange(true))
        return;
    FThread = std::thread(&TThread::Run, this);
}

void TThread::Run(TThread* self) {
    try {
        self->Execute();
    } catch (...) {
        self->FFatalException = std::current_exception();
    }
    const bool freeSelf = self->FreeOnTerminate;
    {
        std::lock_guard<std::mutex> guard(Lock());
        self->FFinished = true;
    }
    Changed().notify_all();
    if (freeSelf)
        delete self;
}

bool TThread::Finished() const {
    std::lock_guard<std::mutex> guard(Lock());
    return FFinished;
}

int TThread::WaitFor() {
    if (!FStarted)
        return ReturnValue;
    if (IsMainThread()) {
        std::unique_lock<std::mutex> lock(Lock());
        while (!FFinished) {
            if (!Pending().empty()) {
                lock.unlock();
                CheckSynchronize();
                lock.lock();
                continue;
            }
            Changed().wait(lock);
        }
    } else {
        std::unique_lock<std::mutex> lock(Lock());
        Changed().wait(lock, [&] { return FFinished; });
    }
    return ReturnValue;
}
