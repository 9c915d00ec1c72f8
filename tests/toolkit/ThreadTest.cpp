#include "toolkit/Thread.h"

#include "toolkit/Exception.h"
#include "toolkit/ExceptionReporter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

class LambdaThread : public TThread {
public:
    explicit LambdaThread(std::function<void(LambdaThread&)> body, bool suspended = false)
        : TThread(), FBody(std::move(body)) {
        if (!suspended)
            Start();
    }
    ~LambdaThread() override {
        Terminate();
        WaitFor();
    }
    using TThread::Synchronize;

protected:
    void Execute() override { FBody(*this); }

private:
    std::function<void(LambdaThread&)> FBody;
};

} // namespace

TEST(Thread, SynchronizeRunsOnTheMainThreadWhileItWaitsFor) {
    // The main thread waits for a thread that is itself waiting for the main thread: WaitFor must
    // keep serving the hand-over, every time.
    for (int i = 0; i < 1000; ++i) {
        std::atomic<bool> ranOnMain{false};
        LambdaThread t(
            [&](LambdaThread&) { TThread::Synchronize([&] { ranOnMain = TThread::IsMainThread(); }); });
        t.WaitFor();
        ASSERT_TRUE(ranOnMain) << "round " << i;
    }
}

TEST(Thread, ExceptionInSynchronizedCallArrivesInTheCallingThread) {
    std::string caught;
    LambdaThread t([&](LambdaThread&) {
        try {
            TThread::Synchronize([] { throw Exception("boom"); });
        } catch (const Exception& e) {
            caught = e.Message();
        }
    });
    t.WaitFor();
    EXPECT_EQ(caught, "boom");
}

TEST(Thread, SuspendedThreadRunsOnlyAfterStartAndTerminateIsSeen) {
    std::atomic<int> runs{0};
    LambdaThread t(
        [&](LambdaThread& self) {
            ++runs;
            while (!self.Terminated())
                CheckSynchronize(1); // any short blocking wait; the main thread sets the flag
        },
        true);
    EXPECT_FALSE(t.Started());
    EXPECT_EQ(runs, 0);
    t.Start();
    t.Start(); // a second start does nothing
    t.Terminate();
    t.WaitFor();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(t.Finished());
}

namespace {

std::mutex freedLock;
std::condition_variable freedCond;
bool freed = false;

class SelfFreeingThread : public TThread {
public:
    SelfFreeingThread() : TThread() { FreeOnTerminate = true; }
    ~SelfFreeingThread() override {
        std::lock_guard<std::mutex> g(freedLock);
        freed = true;
        freedCond.notify_all();
    }

protected:
    void Execute() override {}
};

} // namespace

TEST(Thread, FreeOnTerminateThreadDeletesItself) {
    (new SelfFreeingThread)->Start();
    std::unique_lock<std::mutex> lock(freedLock);
    EXPECT_TRUE(freedCond.wait_for(lock, std::chrono::seconds(30), [] { return freed; }));
}

TEST(Thread, QueuedCallsRunInOrderAndTheirErrorsGoToTheErrorDisplay) {
    std::vector<std::string> shown;
    auto previous = SetExceptionSink([&](const std::string& m) { shown.push_back(m); });
    std::vector<int> order;
    int tag = 0;
    std::promise<void> queued;
    LambdaThread t([&](LambdaThread&) {
        TThread::Queue([&] { order.push_back(1); });
        TThread::Queue([] { throw Exception("queued failure"); });
        TThread::Queue([&] { order.push_back(3); });
        TThread::Queue([&] { order.push_back(99); }, &tag);
        queued.set_value();
    });
    // Not WaitFor: on the main thread it would already run the queued calls.
    queued.get_future().wait();
    TThread::RemoveQueuedEvents(&tag);
    t.WaitFor();
    while (CheckSynchronize()) {
    }
    SetExceptionSink(previous);
    EXPECT_EQ(order, (std::vector<int>{1, 3}));
    EXPECT_EQ(shown, (std::vector<std::string>{"queued failure"}));
}

TEST(Thread, WakeHookIsCalledWhenACallIsHandedOver) {
    std::atomic<int> wakes{0};
    SetWakeMainThread([&] { ++wakes; });
    LambdaThread t([&](LambdaThread&) { TThread::Synchronize([] {}); });
    t.WaitFor();
    SetWakeMainThread(nullptr);
    EXPECT_GE(wakes, 1);
}

// Stopping one thread from the main thread runs that thread's hand-overs and no other: another
// thread's handler must not run nested inside the handler that waits. An error shown inside a
// hand-over waits until the waiting thread has been let go.
TEST(Thread, WaitForServesOnlyItsOwnThreadAndErrorsAreShownAfterTheHandOver) {
    std::vector<std::string> shown;
    auto previous = SetExceptionSink([&](const std::string& m) { shown.push_back(m); });
    std::mutex lock;
    std::condition_variable changed;
    int handedOver = 0;
    SetWakeMainThread([&] {
        std::lock_guard<std::mutex> guard(lock);
        ++handedOver;
        changed.notify_all();
    });
    std::vector<std::string> order;
    LambdaThread other([&](LambdaThread&) { TThread::Synchronize([&] { order.push_back("other"); }); });
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(30), [&] { return handedOver == 1; }));
    }
    size_t shownInside = 99;
    LambdaThread waited([&](LambdaThread&) {
        TThread::Synchronize([&] {
            order.push_back("waited");
            ShowMessageText("disk full");
            shownInside = shown.size();
        });
    });
    waited.WaitFor();
    EXPECT_EQ(order, std::vector<std::string>{"waited"});
    EXPECT_EQ(shownInside, 0u);
    while (CheckSynchronize()) {
    }
    other.WaitFor();
    SetWakeMainThread(nullptr);
    SetExceptionSink(previous);
    EXPECT_EQ(order, (std::vector<std::string>{"waited", "other"}));
    EXPECT_EQ(shown, std::vector<std::string>{"disk full"});
}
