// Hears the caller leave: the exchange's busy, reorder and dial tones, and long silence, in the
// same 8 kHz 16-bit mono audio the DTMF receiver hears.
//
// How it listens:
// - Every 20 ms (a block of 160 samples) it looks at the last 40 ms: their power, and the
//   amplitude and phase of seven tones (350, 400, 425, 440, 450, 480, 620 Hz) from one running
//   complex correlation per tone. 40 ms make 400, 425 and 450 Hz fall on one another's zeros, so
//   the single 425 Hz tone and the 400+450 Hz pair stay apart.
// - A window holds a tone plan (480+620, 425, 400, 350+440 or 400+450 Hz) when the plan's tones
//   carry at least 75% of the window's power, each is at least -50 dBFS, the tones of a pair are
//   within 10 dB of each other, and each tone's frequency, measured from the phase it turned
//   since the window before, is within 10 Hz of nominal. Speech and music spread their power
//   over more frequencies or glide; DTMF keys lie far above these tones.
// - A plan's on and off runs (a change counts after two windows in a row) make its cadence.
//   On, off, on, off, each within 25% (and 40 ms) of a known cadence, is a busy or reorder tone:
//   480+620 Hz at 0.5/0.5 s (busy) and 0.25/0.25 s (reorder), 425 Hz at 0.5/0.5 s and 400 Hz at
//   0.375/0.375 s (busy). 350+440, 425 or 400+450 Hz on for 2.5 s without a break is dial tone.
//   So a busy tone is known 2 s after it began, reorder 1 s, dial tone 2.5 s. A plan reports
//   once, then stays quiet until it has been off for 2 s.
// - Silence: no 20 ms block at or above -50 dBFS RMS for the silence limit (default 8 s; 0: off).
//   It is reported once per silent stretch.
// - The caller's last sound is the end of the last block at or above -50 dBFS that is not part
//   of a tone plan (nor the edge of one), so an event after a message points at the end of the
//   caller's words, not at the tone.
// Work is done per 160-sample block on a running state, so where the caller's blocks begin and
// end never matters.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

enum class TLineEventKind { BusyTone, ReorderTone, DialTone, Silence };

// "busy tone", "reorder tone", "dial tone", "silence": the words of the event line.
const char* LineEventName(TLineEventKind kind);

struct TLineEvent {
    TLineEventKind Kind = TLineEventKind::Silence;
    // The sample at which the event was recognised.
    std::int64_t Position = 0;
    // The end of the caller's last sound before it (0 when none was heard): a recording cut a
    // little after it keeps the whole message and none of the tone.
    std::int64_t LastSoundPosition = 0;
};

class TLineEventDetector {
public:
    static constexpr int SampleRate = 8000;
    static constexpr int BlockLength = 160; // 20 ms
    static constexpr int DefaultSilenceLimitMs = 8000;

    TLineEventDetector();

    // Forgets all audio heard so far; sample positions restart at 0. The silence limit stays.
    void Reset();
    // 0 turns silence detection off.
    void SetSilenceLimit(int milliseconds);
    int SilenceLimit() const { return FSilenceLimitMs; }
    // The silent stretch counts from the next sample on (a recording starts, say): silence
    // before it is neither counted nor reported.
    void RestartSilence();

    // Feeds consecutive samples; appends every event recognised on the way to events.
    void Process(const std::int16_t* samples, std::size_t count, std::vector<TLineEvent>& events);
    std::int64_t SamplesProcessed() const { return FSampleCount; }

    static constexpr int ToneCount = 7;
    static constexpr int PlanCount = 5;

private:
    struct TSegment {
        bool On = false;
        std::int64_t Start = 0;  // block index
        std::int64_t Length = 0; // blocks
    };
    struct TPlanState {
        bool On = false; // after debouncing
        int Pending = 0; // windows in a row that disagree with On
        std::int64_t Start = 0;
        std::array<TSegment, 4> Segments{}; // the last runs that ended, newest last
        int SegmentCount = 0;
        bool Reported = false;
    };

    void AnalyseBlock(std::vector<TLineEvent>& events);
    bool PlanHeard(int plan, const std::array<double, ToneCount>& power,
                   const std::array<double, ToneCount>& deviation, double windowPower) const;
    void FollowPlan(int plan, bool heard, std::vector<TLineEvent>& events);
    void Report(TLineEventKind kind, std::vector<TLineEvent>& events);

    void Accumulate(const std::int16_t* samples, std::size_t count);

    // cos(w m) of the tones, then -sin(w m), eight floats each (the eighth is 0), for the sample
    // m of a block; small enough to stay in the first-level cache. A block's sums are turned to
    // the phase of its first sample when the block is done.
    std::vector<float> FTable;
    // e^(-j w n) of the tones at the first sample n of a block, for the block index modulo
    // TurnBlocks.
    static constexpr int TurnBlocks = 10;
    std::vector<std::complex<float>> FBlockTurns;

    int FSilenceLimitMs = DefaultSilenceLimitMs;

    std::int64_t FSampleCount = 0;
    std::int64_t FBlock = 0;                    // blocks analysed
    int FFill = 0;                              // samples of the current block so far
    int FPhase = 0;                             // FSampleCount modulo TablePeriod
    std::array<float, 8> FReal{}, FImaginary{}; // the current block's correlations
    double FEnergy = 0;
    // The previous block's sums and energy, and the last window's tone sums.
    std::array<std::complex<float>, ToneCount> FPreviousSum{};
    double FPreviousEnergy = 0;
    std::array<std::complex<float>, ToneCount> FPreviousWindow{};

    std::array<TPlanState, PlanCount> FPlans{};
    bool FToneBefore = false; // the last window held some plan

    // Sound flags of the last blocks, judged for tones once the windows over them are known.
    enum : std::uint8_t { Quiet = 0, Sound = 1, Tone = 2 };
    std::array<std::uint8_t, 4> FFlags{};
    std::int64_t FLastCallerSound = 0; // sample after the caller's last sound
    std::int64_t FLastAnySound = 0;    // sample after the last block with any sound
    bool FSilenceReported = false;
};
