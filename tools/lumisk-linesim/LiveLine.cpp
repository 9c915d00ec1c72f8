#include "LiveLine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr auto Tick = std::chrono::milliseconds(5);
constexpr size_t MaxPlayed = LineRate * 30; // played audio nobody captures is not kept for ever

} // namespace

double TLiveLine::SamplesSince(TClock::time_point when) const {
    return std::chrono::duration<double>(when - FOrigin).count() * LineRate;
}

TLiveLine::TLiveLine(const TLineModelSettings& settings, int captureFd)
    : FFd(captureFd), FModel(settings), FOrigin(TClock::now()), FThread(&TLiveLine::Run, this) {}

void TLiveLine::SetEchoReturnLoss(double db) {
    std::lock_guard<std::mutex> guard(FLock);
    FModel.SetEchoReturnLoss(db);
}

TLiveLine::~TLiveLine() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FStop = true;
    }
    FChanged.notify_all();
    FThread.join();
}

bool TLiveLine::Say(const TSamples& samples, TClock::time_point until) {
    std::unique_lock<std::mutex> lock(FLock);
    FCaller.insert(FCaller.end(), samples.begin(), samples.end());
    FChanged.wait_until(lock, until,
                        [this] { return FInterrupted || FCaller.size() <= static_cast<size_t>(LineRate); });
    return !FInterrupted && FCaller.size() <= static_cast<size_t>(LineRate);
}

void TLiveLine::Interrupt() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FInterrupted = true;
    }
    DropCaller(); // and wakes the waits
}

void TLiveLine::DropCaller() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FCaller.clear();
    }
    FChanged.notify_all();
}

void TLiveLine::Resume() {
    std::lock_guard<std::mutex> guard(FLock);
    FInterrupted = false;
}

void TLiveLine::Played(std::span<const int16_t> samples) {
    std::lock_guard<std::mutex> guard(FLock);
    const int64_t cardNow = std::llround(SamplesSince(TClock::now()) + FCardOffset);
    // A sound goes on where its last part ended, unless that is already on the line (a pause,
    // or a part that came too late): then it starts Latency after the instant it arrived, on the
    // card's time line, so that every sound comes back after the same delay.
    if (FPlayedBase + static_cast<int64_t>(FPlayed.size()) < FWritten) {
        FPlayed.clear();
        FPlayedBase = FWritten + Margin;
        if (FCardKnown)
            FPlayedBase = std::max<int64_t>(FPlayedBase, cardNow + Latency);
        FSoundStart = FPlayedBase;
        FSoundSamples = 0;
    } else if (FCardKnown && FSoundStart >= FWritten) {
        // Nothing of the sound is on the line yet: a part that arrived sooner after its due
        // instant than the first says better when the sound began.
        const int64_t start = cardNow + Latency - FSoundSamples / Part * Part;
        if (start < FSoundStart && start >= FWritten) {
            FPlayedBase -= FSoundStart - start;
            FSoundStart = start;
        }
    }
    FPlayed.insert(FPlayed.end(), samples.begin(), samples.end());
    FSoundSamples += static_cast<int64_t>(samples.size());
    if (FPlayed.size() > MaxPlayed) {
        const size_t drop = FPlayed.size() - MaxPlayed;
        FPlayed.erase(FPlayed.begin(), FPlayed.begin() + static_cast<ptrdiff_t>(drop));
        FPlayedBase += static_cast<int64_t>(drop);
    }
}

void TLiveLine::Run() {
    TSamples caller, played;
    std::vector<uint8_t> bytes;
    std::unique_lock<std::mutex> lock(FLock);
    while (!FStop) {
        FChanged.wait_for(lock, Tick, [this] { return FStop; });
        if (FStop)
            break;
        int held = 0;
        if (ioctl(FFd, FIONREAD, &held) != 0)
            continue;
        // The card reads all that is due at each of its ticks: the latest sample it has taken,
        // against the clock, is at its highest just after a tick, and that is its time line.
        const double offset = static_cast<double>(FWritten - held / 2) - SamplesSince(TClock::now());
        if (!FCardKnown || offset > FCardOffset || offset < FCardOffset - Lead)
            FCardOffset = offset; // a card that restarted is behind its old time line
        FCardKnown = true;
        const int wanted = Lead - held / 2;
        if (wanted <= 0)
            continue;
        caller.assign(static_cast<size_t>(wanted), 0);
        played.assign(static_cast<size_t>(wanted), 0);
        const size_t fromCaller = std::min(caller.size(), FCaller.size());
        std::copy(FCaller.begin(), FCaller.begin() + static_cast<ptrdiff_t>(fromCaller), caller.begin());
        FCaller.erase(FCaller.begin(), FCaller.begin() + static_cast<ptrdiff_t>(fromCaller));
        for (int i = 0; i < wanted; ++i) {
            const int64_t at = FWritten + i - FPlayedBase;
            if (at >= 0 && at < static_cast<int64_t>(FPlayed.size()))
                played[static_cast<size_t>(i)] = FPlayed[static_cast<size_t>(at)];
        }
        // What is on the line now no longer waits.
        const int64_t gone =
            std::clamp<int64_t>(FWritten + wanted - FPlayedBase, 0, static_cast<int64_t>(FPlayed.size()));
        FPlayed.erase(FPlayed.begin(), FPlayed.begin() + static_cast<ptrdiff_t>(gone));
        FPlayedBase += gone;
        FWritten += wanted;
        FModel.Process(caller, played);
        bytes.clear();
        for (int16_t s : caller) {
            bytes.push_back(static_cast<uint8_t>(s & 0xFF));
            bytes.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
        }
        lock.unlock();
        FChanged.notify_all();
        // The FIFO has room: it holds less than Lead.
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = write(FFd, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break;
        }
        lock.lock();
    }
}
