// Delivers the outbox: a thread of its own with its own FTP client stores each waiting message
// under its original remote name and drops it from the outbox only after the server's
// completion reply. Failed rounds wait with a growing back-off (first RetryFirst seconds, then
// twice as long each time, at most RetryMax). It decides nothing about a call and shares only
// the outbox folder with the window; before a call is answered it steps aside: no new store
// starts until the call has ended (a store already under way runs on beside the call, on its
// own thread, and never holds the call up).
#pragma once

#include "app/LumiskConf.h"
#include "app/Outbox.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TOutboxDelivery {
public:
    // onEvent and onDelivered are called on the delivery thread.
    TOutboxDelivery(TOutbox& outbox, TOutbox& undeliverable, const TLumiskConf& conf,
                    std::function<void(const std::string& event)> onEvent,
                    std::function<void(const TOutboxMessage& delivered)> onDelivered);
    // Stops the thread; a store under way ends at its next reply or the upload timeout.
    ~TOutboxDelivery();
    TOutboxDelivery(const TOutboxDelivery&) = delete;
    TOutboxDelivery& operator=(const TOutboxDelivery&) = delete;

    // A message was queued after a failed upload: the next round comes after the usual wait.
    void Queued();
    // A message was queued whose upload was never tried (a "RING" cut its call short): a round
    // starts now, even during the new call (it runs on this thread and holds nothing up).
    void DeliverNow();
    // No store starts from now until CallEnded (or, should that never come, a quarter of an hour).
    void CallStarted();
    void CallEnded();

private:
    using TClockPoint = std::chrono::steady_clock::time_point;
    void Loop();
    // One round over the waiting messages; false when the server failed and the round stopped.
    bool Round();
    bool Deliver(TOutboxMessage& message);

    TOutbox& FOutbox;
    TOutbox& FUndeliverable;
    TLumiskConf FConf;
    std::function<void(const std::string&)> FOnEvent;
    std::function<void(const TOutboxMessage&)> FOnDelivered;
    std::mutex FLock;
    std::condition_variable FWake;
    bool FStop = false;
    bool FInCall = false;
    bool FUrgent = false;      // DeliverNow since the last round began
    bool FRoundUrgent = false; // the round under way was asked for by DeliverNow
    TClockPoint FCallSince;
    TClockPoint FNextRound;
    std::chrono::seconds FBackOff;
    std::thread FThread;
};
