// Threads with a hand-over to the main thread.
//
// Background threads never touch the window or its components directly: they hand a function to
// the main thread with Synchronize (and wait until it has run) or Queue (and go on at once). The
// main thread runs pending calls in CheckSynchronize(); an event loop learns that calls are
// pending through the wake-up hook. WaitFor on the main thread keeps running the waited thread's
// own synchronized calls (and only those), so a thread that is itself blocked in Synchronize can
// always finish: stopping a thread from the main thread never deadlocks, and never runs another
// thread's handler nested inside the one that stops it.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread {
public:
    // Created suspended: a derived class starts the thread with Start() once it is fully built
    // (starting from this base's constructor would race Execute against the derived class's own
    // construction).
    TThread();
    // Terminates and waits for a running thread.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts a thread created suspended (no-op once started).
    void Start();
    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }
    bool Started() const { return FStarted; }
    bool Finished() const;
    // Waits until Execute has returned; returns ReturnValue. On the main thread, runs this
    // thread's synchronized calls meanwhile.
    int WaitFor();

    // When set before the thread ends, the thread deletes itself after Execute. Do not touch
    // the object after starting such a thread.
    std::atomic<bool> FreeOnTerminate{false};
    int ReturnValue = 0;
    TThreadPriority Priority() const { return FPriority; }
    // Stored; normal Linux scheduling gives no unprivileged way to raise it.
    void SetPriority(TThreadPriority priority) { FPriority = priority; }
    // An exception that escaped Execute, or null.
    std::exception_ptr FatalException() const { return FFatalException; }

    // Runs fn on the main thread and returns when it has run; an exception from fn is re-thrown
    // here. Called on the main thread, runs fn at once.
    static void Synchronize(const std::function<void()>& fn);
    // Posts fn to the main thread and returns at once; tag lets RemoveQueuedEvents drop it.
    static void Queue(std::function<void()> fn, const void* tag = nullptr);
    // Drops queued (not synchronized) calls posted with this tag that have not run yet.
    static void RemoveQueuedEvents(const void* tag);

    static bool IsMainThread();
    // True on the main thread while it runs a synchronized call: a background thread waits for
    // it, so nothing may block on the operator (an error box) until it has returned.
    static bool InSynchronizedCall();
    // Declares the calling thread the main thread (done once, at start; the first thread that
    // uses this unit is the main thread by default).
    static void SetMainThread();

protected:
    virtual void Execute() = 0;

private:
    static void Run(TThread* self);

    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FStarted{false};
    bool FFinished = false; // guarded by the hand-over lock
    TThreadPriority FPriority = TThreadPriority::tpNormal;
    std::exception_ptr FFatalException;
};

// Runs every pending synchronized and queued call on the main thread. When nothing is pending,
// waits up to timeoutMs for one. Returns true when at least one call ran.
bool CheckSynchronize(int timeoutMs = 0);

// Called (from any thread) whenever a call is handed to the main thread, so an event loop can
// schedule CheckSynchronize. Null by default.
void SetWakeMainThread(std::function<void()> hook);
