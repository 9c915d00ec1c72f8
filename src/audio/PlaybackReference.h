// What the box played, on the monotonic clock's time line: the playback backends hand over every
// sound as they send it to the device, with the instant it is heard, and the decoder's capture
// reader asks for the played audio that belongs beside each captured block, so that the echo
// canceller can take the box's own voice out of what the DTMF receiver hears.
//
// Audio is kept as 8 kHz 16-bit mono (the decoder's rate), for the last few seconds. Index n of the
// time line is the sample heard at Origin + n / 8000 s. Thread-safe: backends write from their
// playing thread, the reader reads from the capture's.
//
// Sample-exact: the parts of one sound follow one another exactly, and so does a sound whose
// stamp lies within Slack of the end of the one before (prompts played back to back), so the
// jitter of the stamps (a thread woken late) never moves a sound by a sample; a sound that
// starts after a pause is placed by its own stamp. The residual latency between the
// stamps and the capture (a real card's converters and buffers) is left to the echo canceller's
// delay search.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

class TPlaybackReference {
public:
    using TClock = std::chrono::steady_clock;
    static constexpr int Rate = 8000;
    static constexpr int Slack = Rate / 50; // 20 ms

    explicit TPlaybackReference(int seconds = 8);

    // Backend side: samples (8 kHz 16-bit mono) whose first is heard at when. continuation: they
    // go on from the samples handed over last, whatever when says (the next part of one sound).
    void Played(TClock::time_point when, std::span<const std::int16_t> samples, bool continuation = false);

    // Reader side: the time-line index of an instant, and the samples from an index on (silence
    // where nothing was played, or what is older than the record keeps).
    std::int64_t IndexAt(TClock::time_point when) const;
    void Fetch(std::int64_t index, std::span<std::int16_t> out) const;
    // Index just past the last sample played so far (0 before any).
    std::int64_t End() const;

private:
    const TClock::time_point FOrigin;
    mutable std::mutex FLock;
    std::vector<std::int16_t> FRing; // sample n at n mod size
    std::int64_t FEnd = 0;           // past the newest sample written
    bool FAny = false;
};

// Follows one capture stream from block to block: hands out the played samples beside each
// block, continuing sample by sample from the block before, and moving to the stamp only when
// the two disagree by more than Slack (the capture lost data, or restarted).
class TSoundCaptureStream;

class TPlaybackReferenceReader {
public:
    explicit TPlaybackReferenceReader(const TPlaybackReference& reference) : FReference(reference) {}

    // Reads count bytes from the capture stream into block (as its Read does) and replaces
    // played with what was played meanwhile, for the decoder's DecodeSamples(block, played).
    // played is left empty when the capture's device keeps no clock. For the one thread that
    // reads the stream.
    void ReadBlock(TSoundCaptureStream& capture, void* block, std::int32_t count,
                   std::vector<std::int16_t>& played);

    // Replaces out with the played samples for frames captured frames at rate Hz, the first of
    // which was captured at when.
    void Read(TPlaybackReference::TClock::time_point when, std::int64_t frames, int rate,
              std::vector<std::int16_t>& out);
    // Forgets the position (a new capture run begins).
    void Reset() { FNext = -1; }

private:
    const TPlaybackReference& FReference;
    std::int64_t FNext = -1; // the index the next block continues from; -1: by its stamp
    std::int64_t FCarry = 0; // frames times 8000 not yet given out as a whole sample, per rate
};
