#include "audio/PlaybackReference.h"

#include "audio/SoundCaptureStream.h"

#include <algorithm>
#include <cstdlib>

TPlaybackReference::TPlaybackReference(int seconds)
    : FOrigin(TClock::now()), FRing(static_cast<std::size_t>(std::max(seconds, 1)) * Rate, 0) {}

std::int64_t TPlaybackReference::IndexAt(TClock::time_point when) const {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when - FOrigin).count();
    // Rounded to the nearest sample, also for instants before the origin.
    const std::int64_t scaled = ns * Rate;
    return (scaled >= 0 ? scaled + 500000000 : scaled - 500000000) / 1000000000;
}

void TPlaybackReference::Played(TClock::time_point when, std::span<const std::int16_t> samples,
                                bool continuation) {
    if (samples.empty())
        return;
    std::int64_t at = IndexAt(when);
    const auto size = static_cast<std::int64_t>(FRing.size());
    std::lock_guard<std::mutex> guard(FLock);
    if (FAny && (continuation || std::llabs(at - FEnd) <= Slack))
        at = FEnd;
    if (at > FEnd) {
        // A pause: what the record holds of it is silence.
        for (std::int64_t i = std::max(FEnd, at - size); i < at; ++i)
            FRing[static_cast<std::size_t>(i % size)] = 0;
    }
    at = std::max<std::int64_t>(at, 0);
    for (std::size_t i = 0; i < samples.size(); ++i)
        FRing[static_cast<std::size_t>((at + static_cast<std::int64_t>(i)) % size)] = samples[i];
    FEnd = std::max(FEnd, at + static_cast<std::int64_t>(samples.size()));
    FAny = true;
}

void TPlaybackReference::Fetch(std::int64_t index, std::span<std::int16_t> out) const {
    const auto size = static_cast<std::int64_t>(FRing.size());
    std::lock_guard<std::mutex> guard(FLock);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::int64_t n = index + static_cast<std::int64_t>(i);
        out[i] = n >= 0 && n < FEnd && n >= FEnd - size ? FRing[static_cast<std::size_t>(n % size)] : 0;
    }
}

std::int64_t TPlaybackReference::End() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FEnd;
}

void TPlaybackReferenceReader::Read(TPlaybackReference::TClock::time_point when, std::int64_t frames,
                                    int rate, std::vector<std::int16_t>& out) {
    FCarry += frames * TPlaybackReference::Rate;
    const std::int64_t count = rate > 0 ? FCarry / rate : 0;
    FCarry -= count * rate;
    const std::int64_t stamped = FReference.IndexAt(when);
    if (FNext < 0 || std::llabs(stamped - FNext) > TPlaybackReference::Slack)
        FNext = stamped;
    out.assign(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)), 0);
    FReference.Fetch(FNext, out);
    FNext += count;
}

void TPlaybackReferenceReader::ReadBlock(TSoundCaptureStream& capture, void* block, std::int32_t count,
                                         std::vector<std::int16_t>& played) {
    TPlaybackReference::TClock::time_point at;
    const bool timed = capture.NextReadTime(at);
    capture.ReadBuffer(block, count);
    const WAVEFORMATEX* format = capture.GetWaveFormat();
    if (!timed || !format || format->nBlockAlign == 0) {
        played.clear();
        return;
    }
    Read(at, count / format->nBlockAlign, static_cast<int>(format->nSamplesPerSec), played);
}
