#include "toolkit/Thread.h"

#include "toolkit/ExceptionReporter.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

struct PendingCall {
    std::function<void()> fn;
    const void* tag = nullptr;
    bool synchronous = false;
    std::thread::id from; // the thread that waits for a synchronous call
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

// How many synchronous calls the main thread is running: while one runs, its thread waits.
int& SynchronizedDepth() {
    static int depth = 0;
    return depth;
}

// Runs one call taken off the queue (the hand-over lock not held).
void RunCall(PendingCall& call) {
    if (call.synchronous) {
        ++SynchronizedDepth();
        try {
            call.fn();
        } catch (...) {
            call.error = std::current_exception();
        }
        --SynchronizedDepth();
        {
            std::lock_guard<std::mutex> guard(Lock());
            call.done = true;
        }
    } else {
        // Nobody waits for a queued call: its error goes to the application's error display,
        // as an error leaving any event handler does.
        try {
            call.fn();
        } catch (const std::exception& e) {
            ShowException(e);
        }
    }
    Changed().notify_all();
}

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
    size_t count = 0;
    {
        std::unique_lock<std::mutex> lock(Lock());
        if (Pending().empty() && timeoutMs > 0)
            Changed().wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return !Pending().empty(); });
        count = Pending().size();
    }
    // One call at a time, each taken off the shared queue only when it runs: a call that opens a
    // nested event loop (a message box) leaves the later ones pending where that loop, or a
    // WaitFor, can still serve them. Calls handed over meanwhile wait for the next round.
    size_t ran = 0;
    for (; ran < count; ++ran) {
        std::shared_ptr<PendingCall> call;
        {
            std::lock_guard<std::mutex> guard(Lock());
            if (Pending().empty())
                break;
            call = Pending().front();
            Pending().pop_front();
        }
        RunCall(*call);
    }
    return ran > 0;
}

bool TThread::InSynchronizedCall() {
    return IsMainThread() && SynchronizedDepth() > 0;
}

void TThread::Synchronize(const std::function<void()>& fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    auto call = std::make_shared<PendingCall>();
    call->fn = fn;
    call->synchronous = true;
    call->from = std::this_thread::get_id();
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
        // Serves only this thread's own hand-overs, so it can finish: every other pending call
        // waits for the event loop, and no handler runs nested inside the one that waits here.
        const std::thread::id waited = FThread.get_id();
        std::unique_lock<std::mutex> lock(Lock());
        while (!FFinished) {
            auto& q = Pending();
            auto own = std::find_if(q.begin(), q.end(), [&](const std::shared_ptr<PendingCall>& call) {
                return call->synchronous && call->from == waited;
            });
            if (own != q.end()) {
                std::shared_ptr<PendingCall> call = *own;
                q.erase(own);
                lock.unlock();
                RunCall(*call);
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
