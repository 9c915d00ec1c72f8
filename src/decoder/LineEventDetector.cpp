#include "decoder/LineEventDetector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double ToneHz[TLineEventDetector::ToneCount] = {350, 400, 425, 440, 450, 480, 620};
constexpr int WindowLength = 2 * TLineEventDetector::BlockLength;

// The plans' tones, as indexes into ToneHz (-1: a single tone).
constexpr int PlanTones[TLineEventDetector::PlanCount][2] = {
    {5, 6},  // 480+620 Hz
    {2, -1}, // 425 Hz
    {1, -1}, // 400 Hz
    {0, 3},  // 350+440 Hz
    {1, 4},  // 400+450 Hz
};

struct TCadence {
    int Plan;
    int OnMs, OffMs;
    TLineEventKind Kind;
};
constexpr TCadence Cadences[] = {
    {0, 500, 500, TLineEventKind::BusyTone},
    {0, 250, 250, TLineEventKind::ReorderTone},
    {1, 500, 500, TLineEventKind::BusyTone},
    {2, 375, 375, TLineEventKind::BusyTone},
};
// Plans that are dial tone when they sound without a break.
constexpr bool Continuous[TLineEventDetector::PlanCount] = {false, true, false, true, true};

constexpr int BlockMs = 1000 * TLineEventDetector::BlockLength / TLineEventDetector::SampleRate;
constexpr int DialBlocks = 2500 / BlockMs;
constexpr int RearmBlocks = 2000 / BlockMs;
constexpr int DebounceWindows = 2;
constexpr double CadenceTolerance = 0.25;
constexpr double CadenceSlackMs = 40;

const double Level50 = 32768.0 * std::pow(10.0, -50.0 / 20); // -50 dBFS
const double MinToneAmplitude = Level50;                     // peak of each tone
const double SoundEnergy = Level50 * Level50 * TLineEventDetector::BlockLength;
constexpr double MinPlanShare = 0.75;
constexpr double MinPairShare = 0.1; // 10 dB
constexpr double MaxDeviationHz = 10;

bool Within(std::int64_t blocks, int nominalMs) {
    const double ms = static_cast<double>(blocks) * BlockMs;
    return std::fabs(ms - nominalMs) <= CadenceTolerance * nominalMs + CadenceSlackMs;
}

} // namespace

const char* LineEventName(TLineEventKind kind) {
    switch (kind) {
    case TLineEventKind::BusyTone:
        return "busy tone";
    case TLineEventKind::ReorderTone:
        return "reorder tone";
    case TLineEventKind::DialTone:
        return "dial tone";
    case TLineEventKind::Silence:
        return "silence";
    }
    return "line event";
}

TLineEventDetector::TLineEventDetector() : FTable(static_cast<std::size_t>(BlockLength) * 16, 0.0f) {
    for (int n = 0; n < BlockLength; ++n)
        for (int t = 0; t < ToneCount; ++t) {
            const double w = 2 * Pi * ToneHz[t] / SampleRate * n;
            FTable[static_cast<std::size_t>(n * 16 + t)] = static_cast<float>(std::cos(w));
            FTable[static_cast<std::size_t>(n * 16 + 8 + t)] = static_cast<float>(-std::sin(w));
        }
    // Every tone completes whole turns in TurnBlocks blocks (1600 samples).
    FBlockTurns.resize(static_cast<std::size_t>(TurnBlocks * ToneCount));
    for (int b = 0; b < TurnBlocks; ++b)
        for (int t = 0; t < ToneCount; ++t)
            FBlockTurns[static_cast<std::size_t>(b * ToneCount + t)] =
                std::complex<float>(std::polar(1.0, -2 * Pi * ToneHz[t] / SampleRate * b * BlockLength));
    Reset();
}

void TLineEventDetector::Reset() {
    FSampleCount = 0;
    FBlock = 0;
    FFill = 0;
    FReal.fill(0);
    FImaginary.fill(0);
    FEnergy = 0;
    FPreviousSum.fill({});
    FPreviousEnergy = 0;
    FPreviousWindow.fill({});
    FPlans.fill(TPlanState{});
    FToneBefore = false;
    FFlags.fill(Quiet);
    FLastCallerSound = 0;
    FLastAnySound = 0;
    FSilenceReported = false;
}

void TLineEventDetector::SetSilenceLimit(int milliseconds) {
    FSilenceLimitMs = std::max(0, milliseconds);
    FSilenceReported = false;
}

void TLineEventDetector::RestartSilence() {
    FLastAnySound = std::max(FLastAnySound, FSampleCount);
    FSilenceReported = false;
}

void TLineEventDetector::Process(const std::int16_t* samples, std::size_t count,
                                 std::vector<TLineEvent>& events) {
    while (count > 0) {
        const std::size_t n = std::min<std::size_t>(count, static_cast<std::size_t>(BlockLength - FFill));
        Accumulate(samples, n);
        samples += n;
        count -= n;
        FSampleCount += static_cast<std::int64_t>(n);
        FFill += static_cast<int>(n);
        if (FFill == BlockLength) {
            AnalyseBlock(events);
            FFill = 0;
        }
    }
}

// Nearly all of the detectors' work: each sample against the seven tones, four 4-wide
// multiply-adds. The accumulators are vectors of the width every x86-64 has, so they stay in
// registers (wider generic vectors would be kept in memory without AVX).
void TLineEventDetector::Accumulate(const std::int16_t* samples, std::size_t count) {
    using TVec4 = float __attribute__((vector_size(16)));
    TVec4 re0, re1, im0, im1, t;
    std::memcpy(&re0, FReal.data(), sizeof re0);
    std::memcpy(&re1, FReal.data() + 4, sizeof re1);
    std::memcpy(&im0, FImaginary.data(), sizeof im0);
    std::memcpy(&im1, FImaginary.data() + 4, sizeof im1);
    float energy = 0;
    const float* row = &FTable[static_cast<std::size_t>(FFill * 16)];
    for (std::size_t i = 0; i < count; ++i, row += 16) {
        const float x = samples[i];
        const TVec4 xv = {x, x, x, x};
        std::memcpy(&t, row, sizeof t);
        re0 += xv * t;
        std::memcpy(&t, row + 4, sizeof t);
        re1 += xv * t;
        std::memcpy(&t, row + 8, sizeof t);
        im0 += xv * t;
        std::memcpy(&t, row + 12, sizeof t);
        im1 += xv * t;
        energy += x * x;
    }
    std::memcpy(FReal.data(), &re0, sizeof re0);
    std::memcpy(FReal.data() + 4, &re1, sizeof re1);
    std::memcpy(FImaginary.data(), &im0, sizeof im0);
    std::memcpy(FImaginary.data() + 4, &im1, sizeof im1);
    FEnergy += energy;
}

void TLineEventDetector::AnalyseBlock(std::vector<TLineEvent>& events) {
    std::array<double, ToneCount> power{};
    std::array<std::complex<float>, ToneCount> window{};
    const double windowPower = (FPreviousEnergy + FEnergy) / WindowLength;
    // The block's sums against the phase of the whole stream: a steady tone keeps its phase from
    // block to block.
    std::array<std::complex<float>, ToneCount> sum{};
    const std::complex<float>* turn = &FBlockTurns[static_cast<std::size_t>(FBlock % TurnBlocks * ToneCount)];
    for (int t = 0; t < ToneCount; ++t) {
        sum[t] = std::complex<float>(FReal[t], FImaginary[t]) * turn[t];
        window[t] = FPreviousSum[t] + sum[t];
        power[t] = 2 * std::norm(std::complex<double>(window[t])) /
                   (static_cast<double>(WindowLength) * WindowLength);
    }
    // A tone off nominal by d Hz turns by 2 pi d per second against the nominal's phase; only
    // the tones loud enough to matter are measured.
    std::array<double, ToneCount> deviation{};
    for (int t = 0; t < ToneCount; ++t)
        deviation[t] = 2 * power[t] < MinToneAmplitude * MinToneAmplitude
                           ? 1e9
                           : std::arg(std::complex<double>(window[t]) *
                                      std::conj(std::complex<double>(FPreviousWindow[t]))) *
                                 SampleRate / (2 * Pi * BlockLength);

    bool anyPlan = false;
    for (int p = 0; p < PlanCount; ++p) {
        const bool heard = FBlock > 0 && PlanHeard(p, power, deviation, windowPower);
        anyPlan = anyPlan || heard;
        FollowPlan(p, heard, events);
    }

    // This block's sound; a window that holds a tone covers its onset in the block before, too.
    // The flag of a block is final two blocks later.
    auto flag = [this](std::int64_t block) -> std::uint8_t& {
        return FFlags[static_cast<std::size_t>(block % 4)];
    };
    flag(FBlock) = FEnergy >= SoundEnergy ? Sound : Quiet;
    if (anyPlan) {
        for (std::int64_t b = std::max<std::int64_t>(0, FBlock - 2); b <= FBlock; ++b)
            flag(b) = Tone;
    } else if (FToneBefore) {
        flag(FBlock) = Tone; // the tone's tail
    }
    FToneBefore = anyPlan;
    if (FBlock >= 2 && flag(FBlock - 2) == Sound)
        FLastCallerSound = (FBlock - 1) * BlockLength;

    const std::int64_t blockEnd = (FBlock + 1) * BlockLength;
    if (FEnergy >= SoundEnergy) {
        FLastAnySound = blockEnd;
        FSilenceReported = false;
    } else if (FSilenceLimitMs > 0 && !FSilenceReported &&
               blockEnd - FLastAnySound >= static_cast<std::int64_t>(FSilenceLimitMs) * SampleRate / 1000) {
        FSilenceReported = true;
        Report(TLineEventKind::Silence, events);
    }

    FPreviousSum = sum;
    FPreviousEnergy = FEnergy;
    FPreviousWindow = window;
    FReal.fill(0);
    FImaginary.fill(0);
    FEnergy = 0;
    ++FBlock;
}

bool TLineEventDetector::PlanHeard(int plan, const std::array<double, ToneCount>& power,
                                   const std::array<double, ToneCount>& deviation, double windowPower) const {
    double sum = 0, weakest = 1e300, strongest = 0;
    for (int t : PlanTones[plan]) {
        if (t < 0)
            continue;
        if (2 * power[t] < MinToneAmplitude * MinToneAmplitude || std::fabs(deviation[t]) > MaxDeviationHz)
            return false;
        sum += power[t];
        weakest = std::min(weakest, power[t]);
        strongest = std::max(strongest, power[t]);
    }
    if (sum < MinPlanShare * windowPower)
        return false;
    return weakest >= MinPairShare * strongest;
}

void TLineEventDetector::FollowPlan(int plan, bool heard, std::vector<TLineEvent>& events) {
    TPlanState& s = FPlans[plan];
    if (heard == s.On) {
        s.Pending = 0;
    } else if (++s.Pending >= DebounceWindows) {
        // The run changed at the first window that disagreed.
        const std::int64_t change = FBlock - (DebounceWindows - 1);
        if (s.SegmentCount == static_cast<int>(s.Segments.size())) {
            std::rotate(s.Segments.begin(), s.Segments.begin() + 1, s.Segments.end());
            --s.SegmentCount;
        }
        s.Segments[static_cast<std::size_t>(s.SegmentCount++)] = {s.On, s.Start, change - s.Start};
        s.On = heard;
        s.Start = change;
        s.Pending = 0;
        if (heard && !s.Reported && s.SegmentCount == 4 && s.Segments[0].On) {
            // On, off, on, off just ended.
            for (const TCadence& c : Cadences) {
                if (c.Plan != plan)
                    continue;
                if (Within(s.Segments[0].Length, c.OnMs) && Within(s.Segments[1].Length, c.OffMs) &&
                    Within(s.Segments[2].Length, c.OnMs) && Within(s.Segments[3].Length, c.OffMs)) {
                    s.Reported = true;
                    s.SegmentCount = 0;
                    Report(c.Kind, events);
                    break;
                }
            }
        }
    }
    if (s.Reported && !s.On && FBlock - s.Start >= RearmBlocks) {
        s.Reported = false;
        s.SegmentCount = 0;
    }
    if (Continuous[plan] && s.On && !s.Reported && FBlock - s.Start + 1 >= DialBlocks) {
        s.Reported = true;
        s.SegmentCount = 0;
        Report(TLineEventKind::DialTone, events);
    }
}

void TLineEventDetector::Report(TLineEventKind kind, std::vector<TLineEvent>& events) {
    TLineEvent event;
    event.Kind = kind;
    event.Position = FSampleCount;
    event.LastSoundPosition = FLastCallerSound;
    events.push_back(event);
}
