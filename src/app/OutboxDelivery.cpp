#include "app/OutboxDelivery.h"

#include "app/MailboxUpload.h"
#include "net/IdFTP.h"
#include "toolkit/StringUtils.h"

#include <algorithm>

namespace {

constexpr std::chrono::minutes LongestCall(15);

} // namespace

TOutboxDelivery::TOutboxDelivery(TOutbox& outbox, TOutbox& undeliverable, const TLumiskConf& conf,
                                 std::function<void(const std::string&)> onEvent,
                                 std::function<void(const TOutboxMessage&)> onDelivered)
    : FOutbox(outbox), FUndeliverable(undeliverable), FConf(conf), FOnEvent(std::move(onEvent)),
      FOnDelivered(std::move(onDelivered)), FNextRound(std::chrono::steady_clock::now()),
      FBackOff(conf.UploadRetryFirst) {
    // A start is a fresh chance: what an earlier run left is tried at once.
    FThread = std::thread([this] { Loop(); });
}

TOutboxDelivery::~TOutboxDelivery() {
    {
        std::lock_guard<std::mutex> hold(FLock);
        FStop = true;
    }
    FWake.notify_all();
    FThread.join();
}

void TOutboxDelivery::Queued() {
    {
        std::lock_guard<std::mutex> hold(FLock);
        FNextRound = std::min(FNextRound, std::chrono::steady_clock::now() + FBackOff);
    }
    FWake.notify_all();
}

void TOutboxDelivery::DeliverNow() {
    {
        std::lock_guard<std::mutex> hold(FLock);
        FNextRound = std::chrono::steady_clock::now();
        FUrgent = true;
    }
    FWake.notify_all();
}

void TOutboxDelivery::CallStarted() {
    std::lock_guard<std::mutex> hold(FLock);
    FInCall = true;
    FCallSince = std::chrono::steady_clock::now();
}

void TOutboxDelivery::CallEnded() {
    {
        std::lock_guard<std::mutex> hold(FLock);
        FInCall = false;
    }
    FWake.notify_all();
}

void TOutboxDelivery::Loop() {
    // When nothing waits, the thread sleeps until it is told of a message.
    const auto never = std::chrono::steady_clock::time_point::max();
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(FLock);
            for (;;) {
                if (FStop)
                    return;
                const auto now = std::chrono::steady_clock::now();
                if (FInCall && now - FCallSince > LongestCall)
                    FInCall = false;
                if ((!FInCall || FUrgent) && now >= FNextRound)
                    break;
                if (FInCall && !FUrgent)
                    FWake.wait_until(hold, std::min(FNextRound, FCallSince + LongestCall));
                else
                    FWake.wait_until(hold, FNextRound);
            }
            FNextRound = never;
            FRoundUrgent = FUrgent;
            FUrgent = false;
        }
        const bool allWent = Round();
        std::lock_guard<std::mutex> hold(FLock);
        if (allWent) {
            FBackOff = std::chrono::seconds(FConf.UploadRetryFirst);
        } else {
            FNextRound = std::min(FNextRound, std::chrono::steady_clock::now() + FBackOff);
            FBackOff = std::min(FBackOff * 2, std::chrono::seconds(FConf.UploadRetryMax));
        }
    }
}

bool TOutboxDelivery::Round() {
    std::vector<TOutboxMessage> waiting;
    try {
        waiting = FOutbox.Pending();
    } catch (const std::exception& e) {
        FOnEvent(std::string("outbox failed ") + OneLine(e.what()));
        return false;
    }
    for (TOutboxMessage& message : waiting) {
        {
            std::lock_guard<std::mutex> hold(FLock);
            if (FStop || (FInCall && !FRoundUrgent)) {
                // Stepped aside for a call: the rest goes as soon as it is over.
                FNextRound = std::chrono::steady_clock::now();
                return true;
            }
        }
        if (!Deliver(message))
            return false;
    }
    return true;
}

bool TOutboxDelivery::Deliver(TOutboxMessage& message) {
    ++message.Tries;
    TIdFTP ftp;
    const TUploadOutcome outcome = UploadMessage(ftp, FConf, message.AccountIndex, message.WavePath,
                                                 message.RemoteName, message.NotePath, message.WaveStored);
    if (outcome.Result != TUploadResult::Stored) {
        try {
            message.Reason = outcome.Reason;
            message.WaveStored = outcome.WaveStored; // a retry stores only what is still due
            if (outcome.Result == TUploadResult::MailboxMissing) {
                FOutbox.MoveTo(FUndeliverable, message);
                FOnEvent("undeliverable " + message.RemoteName + " (" + outcome.Reason + ")");
                return true; // the server answers: go on with the others
            }
            FOutbox.Update(message);
        } catch (const std::exception& write) {
            FOnEvent(std::string("outbox failed ") + OneLine(write.what()));
        }
        FOnEvent("retry failed " + message.RemoteName + " (" + outcome.Reason + ")");
        return false;
    }
    try {
        FOutbox.Remove(message);
    } catch (const std::exception& e) {
        FOnEvent(std::string("outbox failed ") + OneLine(e.what()));
    }
    FOnEvent("delivered " + message.RemoteName + " after " + std::to_string(message.Tries) + " tries");
    if (FOnDelivered)
        FOnDelivered(message);
    return true;
}
