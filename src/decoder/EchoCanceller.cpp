#include "decoder/EchoCanceller.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr float Emphasis = 0.95f; // pre-emphasis 1 - 0.9/z, undone by 1 / (1 - 0.9/z)
constexpr float Step = 1.0f;      // the background's NLMS step
constexpr int SilentLevel = 8;    // played samples this small are silence (-72 dBFS)
// Keeps the step finite in pauses of the played audio: a floor of -66 dBFS per tap.
constexpr double Regularisation = 16.0 * 16.0 * TEchoCanceller::FilterTaps;
constexpr double SearchMemory = 0.95; // per search block of 32 ms
// An echo estimate weaker than this (-40 dBFS) tells nothing about the path.
constexpr double MeaningfulEstimate = 300.0 * 300.0;

using TVec8 = float __attribute__((vector_size(32)));

// Vectors go by reference only: passing or returning one would tie the function's ABI to the
// instruction set.
inline void Load(TVec8& v, const float* p) {
    std::memcpy(&v, p, sizeof v);
}

inline float Sum(const TVec8& v) {
    return ((v[0] + v[1]) + (v[2] + v[3])) + ((v[4] + v[5]) + (v[6] + v[7]));
}

// The two filters' outputs over one window, and the window's power weighted by each tap's share
// of the step (n a multiple of 16): nearly all of the canceller's work, with its update below.
// Where the processor has AVX2, a clone uses it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("arch=x86-64-v3", "default")))
#endif
void Dot3(const float* a, const float* b, const float* share, const float* x, int n, float* outA, float* outB,
          float* outPower) {
    TVec8 a0 = {}, a1 = {}, b0 = {}, b1 = {}, p0 = {}, p1 = {};
    for (int i = 0; i < n; i += 16) {
        TVec8 x0, x1, v;
        Load(x0, x + i);
        Load(x1, x + i + 8);
        Load(v, a + i);
        a0 += v * x0;
        Load(v, a + i + 8);
        a1 += v * x1;
        Load(v, b + i);
        b0 += v * x0;
        Load(v, b + i + 8);
        b1 += v * x1;
        Load(v, share + i);
        p0 += v * (x0 * x0);
        Load(v, share + i + 8);
        p1 += v * (x1 * x1);
    }
    a0 += a1;
    b0 += b1;
    p0 += p1;
    *outA = Sum(a0);
    *outB = Sum(b0);
    *outPower = Sum(p0);
}

// w += g * share * x over n (a multiple of 8) values.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("arch=x86-64-v3", "default")))
#endif
void AddScaled(float* w, float g, const float* share, const float* x, int n) {
    for (int i = 0; i < n; i += 8) {
        TVec8 v, u, p;
        Load(v, w + i);
        Load(u, x + i);
        Load(p, share + i);
        v += g * (p * u);
        std::memcpy(w + i, &v, sizeof v);
    }
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("arch=x86-64-v3", "default")))
#endif
float Dot(const float* a, const float* b, int n) {
    TVec8 s0 = {}, s1 = {};
    for (int i = 0; i < n; i += 16) {
        TVec8 u, v;
        Load(u, a + i);
        Load(v, b + i);
        s0 += u * v;
        Load(u, a + i + 8);
        Load(v, b + i + 8);
        s1 += u * v;
    }
    s0 += s1;
    return Sum(s0);
}

// Whether any sample is louder than silence: eight at a time, as nearly every block between
// prompts is silence and must cost next to nothing.
bool AnySound(const std::int16_t* x, std::size_t n) {
    using TShort8 = std::int16_t __attribute__((vector_size(16)));
    TShort8 loud = {};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        TShort8 v;
        std::memcpy(&v, x + i, sizeof v);
        loud |= (v > SilentLevel) | (v < -SilentLevel);
    }
    bool any = false;
    for (int k = 0; k < 8; ++k)
        any |= loud[k] != 0;
    for (; i < n; ++i)
        any |= std::abs(x[i]) > SilentLevel;
    return any;
}

std::int16_t ToSample(float v) {
    return static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
}

} // namespace

TEchoCanceller::TEchoCanceller()
    : FHistory(HistoryLength), FForeground(FilterTaps), FBackground(FilterTaps), FShare(FilterTaps, 1.0f),
      FFormerForeground(FilterTaps), FSearchPlayed(Lags + 8 * SearchBlockLength), FCorrelation(Lags),
      FLost(FilterTaps) {
    Reset();
}

void TEchoCanceller::Reset() {
    FActive = false;
    FQuietRun = MaxDelay + FilterTaps;
    FDelay = -1;
    FForegroundGood = false;
    FGoodCaptured = FGoodResidual = 0;
    std::fill(FForeground.begin(), FForeground.end(), 0.0f);
    std::fill(FBackground.begin(), FBackground.end(), 0.0f);
    std::fill(FShare.begin(), FShare.end(), 1.0f);
    FShareAge = 0;
    std::fill(FFormerForeground.begin(), FFormerForeground.end(), 0.0f);
    FSinceTakeOver = TakeOverGuard;
    FToneHeard = false;
    FHoldLeft = 0;
    FSearchBlocks = 0;
    FPeak = FLostDelay = FLostPeak = FTriedPeak = -1;
    Activate(); // also starts the delay search afresh
    FActive = false;
}

void TEchoCanceller::Activate() {
    // Before this, nothing was played for longer than the filter reaches back: its history is
    // silence.
    FActive = true;
    std::fill(FHistory.begin(), FHistory.end(), 0.0f);
    FFill = MaxDelay + FilterTaps;
    FLastPlayed = FLastCaptured = FLastOut = 0;
    FJudgeFill = 0;
    FCapturedEnergy = FForegroundEnergy = FBackgroundEnergy = FEchoEstimateEnergy = 0;
    FBetterRun = 0;
    RestartPathCheck();
    std::fill(FSearchPlayed.begin(), FSearchPlayed.end(), 0.0f);
    FSearchPlayedFill = Lags + SearchBlockLength;
    FSearchFill = 0;
    FDecimatedPlayed = FDecimatedCaptured = 0;
    FDecimatePhase = 0;
    // A new prompt may come through another path (a new stream, another call's line): the delay
    // is looked for afresh, not against the last prompt's peak, while the filter keeps working
    // where it was.
    RestartSearch(false);
}

void TEchoCanceller::RestartSearch(bool fresh) {
    std::fill(FCorrelation.begin(), FCorrelation.end(), 0.0);
    FSearchCapturedEnergy = FSearchPlayedEnergy = FSearchLength = 0;
    FCandidate = -1;
    FCandidateRun = 0;
    FSearchFresh = fresh;
    FTrial = false;
}

void TEchoCanceller::HoldAdaptation(bool toneHeard) {
    if (toneHeard && !FToneHeard && FHoldLeft == 0) {
        // What the background learned of the tone so far is dropped; what the foreground took
        // while the tone began unnoticed is given back.
        if (FSinceTakeOver < TakeOverGuard)
            FForeground = FFormerForeground;
        FBackground = FForeground;
        FBetterRun = 0;
    }
    FToneHeard = toneHeard;
    if (toneHeard)
        FHoldLeft = HoldHangover;
}

void TEchoCanceller::TakeOver() {
    FFormerForeground.swap(FForeground);
    FForeground = FBackground;
    FSinceTakeOver = 0;
    RestartPathCheck();
}

void TEchoCanceller::Process(std::span<const std::int16_t> captured, std::span<const std::int16_t> played,
                             std::span<std::int16_t> out) {
    const std::size_t count = std::min({captured.size(), played.size(), out.size()});
    const bool sound = AnySound(played.data(), count);
    std::ptrdiff_t lastSound = -1;
    if (sound)
        for (std::size_t i = count; i-- > 0;)
            if (std::abs(played[i]) > SilentLevel) {
                lastSound = static_cast<std::ptrdiff_t>(i);
                break;
            }
    const std::int64_t reach = MaxDelay + FilterTaps;
    if (lastSound < 0 && FQuietRun >= reach) {
        FActive = false;
        if (out.data() != captured.data())
            std::copy(captured.begin(), captured.begin() + static_cast<std::ptrdiff_t>(count), out.begin());
        FQuietRun += static_cast<std::int64_t>(count);
        return;
    }
    if (!FActive)
        Activate();
    ProcessActive(captured.data(), played.data(), out.data(), count);
    FQuietRun = lastSound < 0 ? FQuietRun + static_cast<std::int64_t>(count)
                              : static_cast<std::int64_t>(count) - 1 - lastSound;
}

void TEchoCanceller::PushReference(float x) {
    if (FFill == HistoryLength) {
        constexpr int keep = MaxDelay + FilterTaps;
        std::memmove(FHistory.data(), FHistory.data() + HistoryLength - keep, keep * sizeof(float));
        FFill = keep;
    }
    FHistory[static_cast<std::size_t>(FFill++)] = x;
}

void TEchoCanceller::ProcessActive(const std::int16_t* captured, const std::int16_t* played,
                                   std::int16_t* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const float d = captured[i], x = played[i];
        const float dw = d - Emphasis * FLastCaptured, xw = x - Emphasis * FLastPlayed;
        FLastCaptured = d;
        FLastPlayed = x;
        PushReference(xw);

        FDecimatedPlayed += xw;
        FDecimatedCaptured += dw;
        if (++FDecimatePhase == Decimation) {
            if (FSearchPlayedFill == static_cast<int>(FSearchPlayed.size())) {
                constexpr int keep = Lags + SearchBlockLength;
                std::memmove(FSearchPlayed.data(), FSearchPlayed.data() + FSearchPlayedFill - keep,
                             keep * sizeof(float));
                FSearchPlayedFill = keep;
            }
            FSearchPlayed[static_cast<std::size_t>(FSearchPlayedFill++)] = FDecimatedPlayed;
            FSearchCaptured[static_cast<std::size_t>(FSearchFill++)] = FDecimatedCaptured;
            FDecimatedPlayed = FDecimatedCaptured = 0;
            FDecimatePhase = 0;
            if (FSearchFill == SearchBlockLength) {
                SearchBlock();
                FSearchFill = 0;
            }
        }

        const bool holding = FToneHeard || FHoldLeft > 0;
        if (FTrial && !holding)
            TrialSample(dw);
        if (FDelay < 0) {
            out[i] = captured[i];
            FLastOut = d;
            continue;
        }
        const float* window = &FHistory[static_cast<std::size_t>(FFill - FDelay - FilterTaps)];
        float yf = 0, yb = 0, power = 0;
        Dot3(FForeground.data(), FBackground.data(), FShare.data(), window, FilterTaps, &yf, &yb, &power);
        const float ef = dw - yf, eb = dw - yb;
        if (++FShareAge >= ShareInterval)
            UpdateShares();
        FLastOut = ef + Emphasis * FLastOut;
        out[i] = ToSample(FLastOut);
        ++FSinceTakeOver;
        if (holding) {
            if (!FToneHeard)
                --FHoldLeft;
            FJudgeFill = 0;
            FCapturedEnergy = FForegroundEnergy = FBackgroundEnergy = FEchoEstimateEnergy = 0;
            continue;
        }
        // Normalised by the window's power as each tap's share weighs it: with a sparse echo path
        // a few taps take most of the step, and plain power would let them overshoot.
        AddScaled(FBackground.data(),
                  static_cast<float>(Step * eb / (std::max(power, 0.0f) + Regularisation)), FShare.data(),
                  window, FilterTaps);

        FCapturedEnergy += static_cast<double>(dw) * dw;
        FForegroundEnergy += static_cast<double>(ef) * ef;
        FEchoEstimateEnergy += static_cast<double>(yf) * yf;
        FBackgroundEnergy += static_cast<double>(eb) * eb;
        if (++FJudgeFill == JudgeLength)
            JudgeBlock();
        if (FForegroundGood)
            CheckPath(dw, yf);
    }
}

void TEchoCanceller::UpdateShares() {
    // Half of the step is shared evenly, half in proportion to each weight's size: a line's echo
    // path is sparse (a few milliseconds of response somewhere in the tail), and the taps that
    // carry it converge several times faster so (the "improved proportionate" NLMS).
    FShareAge = 0;
    double total = 0;
    for (float w : FBackground)
        total += std::fabs(w);
    const float even = 0.5f, proportional = static_cast<float>(0.5 * FilterTaps / (total + 1e-3));
    for (int j = 0; j < FilterTaps; ++j)
        FShare[static_cast<std::size_t>(j)] =
            even + proportional * std::fabs(FBackground[static_cast<std::size_t>(j)]);
}

void TEchoCanceller::JudgeBlock() {
    // The background takes over only when it has cancelled clearly better for two blocks in a
    // row, and never while the caller is heard over the echo (the foreground's residue is
    // larger than the echo it takes out): an adaptive filter fed a caller's steady tone learns
    // to cancel part of the tone itself, which must never reach the output. A background that
    // went astray starts again from the foreground.
    const bool callerHeard = FForegroundGood && FForegroundEnergy > FEchoEstimateEnergy;
    if (!callerHeard && FBackgroundEnergy < 0.7 * FForegroundEnergy && FBackgroundEnergy < FCapturedEnergy) {
        if (++FBetterRun >= 2) {
            TakeOver();
            FBetterRun = 0;
        }
    } else {
        FBetterRun = 0;
        if (FBackgroundEnergy > 2 * FForegroundEnergy && FForegroundEnergy < 0.5 * FCapturedEnergy)
            FBackground = FForeground;
    }
    // Good once it has cancelled 10 dB over a stretch (about 150 ms), not in one lucky block.
    FGoodCaptured = 0.95 * FGoodCaptured + FCapturedEnergy;
    FGoodResidual = 0.95 * FGoodResidual + FForegroundEnergy;
    if (FGoodCaptured > 10 * FGoodResidual)
        FForegroundGood = true;
    // Output louder than the capture over the stretch: the echo path has moved away from the
    // foreground (another call, another stream), and it adds an echo of its own; no caller's
    // sound does that. Passing the capture unchanged is better until the background has it.
    if (FGoodResidual > PathLost * FGoodCaptured) {
        if (FForegroundGood) {
            LosePath();
        } else {
            // Still learning: the foreground starts again, the background goes on.
            std::fill(FForeground.begin(), FForeground.end(), 0.0f);
            JudgeAfresh();
        }
    }
    FJudgeFill = 0;
    FCapturedEnergy = FForegroundEnergy = FBackgroundEnergy = FEchoEstimateEnergy = 0;
}

void TEchoCanceller::SearchBlock() {
    ++FSearchBlocks;
    // Once a delay is known and confirmed, a quarter of the blocks is enough to notice it change.
    const bool slow = FDelay >= 0 && !FSearchFresh;
    if (slow && FSearchBlocks % 4 != 0)
        return;
    const float* played = FSearchPlayed.data() + FSearchPlayedFill - SearchBlockLength;
    double playedEnergy = 0, capturedEnergy = 0;
    for (int m = 0; m < SearchBlockLength; ++m)
        capturedEnergy += static_cast<double>(FSearchCaptured[static_cast<std::size_t>(m)]) *
                          FSearchCaptured[static_cast<std::size_t>(m)];
    for (int m = -Lags; m < SearchBlockLength; ++m)
        playedEnergy += static_cast<double>(played[m]) * played[m];
    // Blocks with nothing played in reach tell nothing about the delay.
    if (playedEnergy < 1e3 * (Lags + SearchBlockLength))
        return;
    const double memory = slow ? std::pow(SearchMemory, 4) : SearchMemory;
    FSearchLength = memory * FSearchLength + SearchBlockLength;
    FSearchCapturedEnergy = memory * FSearchCapturedEnergy + capturedEnergy;
    FSearchPlayedEnergy =
        memory * FSearchPlayedEnergy + playedEnergy * SearchBlockLength / (Lags + SearchBlockLength);
    int best = 0;
    for (int lag = 0; lag < Lags; ++lag) {
        double& c = FCorrelation[static_cast<std::size_t>(lag)];
        c = memory * c + Dot(FSearchCaptured.data(), played - lag, SearchBlockLength);
        if (std::fabs(c) > std::fabs(FCorrelation[static_cast<std::size_t>(best)]))
            best = lag;
    }
    double second = 0;
    for (int lag = 0; lag < Lags; ++lag)
        if (std::abs(lag - best) > 3)
            second = std::max(second, std::fabs(FCorrelation[static_cast<std::size_t>(lag)]));
    const double peak = std::fabs(FCorrelation[static_cast<std::size_t>(best)]);
    const double norm = peak / std::sqrt(FSearchCapturedEnergy * FSearchPlayedEnergy + 1e-9);
    // Over the first few blocks the capture may hold no echo yet (the card's latency), and the
    // highest of 512 chance correlations is large: it must stand out as no chance peak would
    // (about six times the spread of chance correlations over the samples heard).
    if (norm < std::max(0.2, 6.0 / std::sqrt(FSearchLength)) || peak < 1.4 * second) {
        FCandidateRun = 0;
        return;
    }
    if (std::abs(best - FCandidate) <= 1)
        ++FCandidateRun;
    else {
        FCandidate = best;
        FCandidateRun = 1;
    }
    const int bulk = best * Decimation;
    if (FCandidateRun < 2)
        return;
    if (FDelay < 0 || std::abs(bulk - (FDelay + LeadTaps)) > 2 * Decimation)
        PlaceFilter(std::clamp(bulk - LeadTaps, 0, MaxDelay - LeadTaps));
    FPeak = bulk;
    if (FTrial)
        return;
    // After a loss the search goes on at full rate while weights wait for their trial: each
    // delay it settles on is tried once (the first may be found in too little of the prompt).
    if (FLostDelay >= 0 && std::abs(bulk - FTriedPeak) > Decimation) {
        StartTrial(bulk);
        return;
    }
    FLostDelay = -1;
    FSearchFresh = false;
}

void TEchoCanceller::PlaceFilter(int delay) {
    // Weights keep the echo delay they model; those that fall outside the new window are lost.
    if (FDelay >= 0) {
        const int shift = delay - FDelay;
        for (std::vector<float>* w : {&FForeground, &FBackground}) {
            std::vector<float> moved(FilterTaps, 0.0f);
            for (int j = 0; j < FilterTaps; ++j)
                if (j - shift >= 0 && j - shift < FilterTaps)
                    moved[static_cast<std::size_t>(j)] = (*w)[static_cast<std::size_t>(j - shift)];
            *w = std::move(moved);
        }
    }
    FDelay = delay;
    JudgeAfresh();
}

void TEchoCanceller::LosePath() {
    // The search starts afresh; weights that cancelled well are kept for a trial at the delay it
    // finds.
    if (FForegroundGood && FPeak >= 0) {
        FLost = FForeground;
        FLostDelay = FDelay;
        FLostPeak = FPeak;
    }
    // Both filters learn the new path from nothing; a search already under way goes on.
    std::fill(FForeground.begin(), FForeground.end(), 0.0f);
    std::fill(FBackground.begin(), FBackground.end(), 0.0f);
    JudgeAfresh();
    FTriedPeak = -1;
    if (!FSearchFresh)
        RestartSearch(true);
}

void TEchoCanceller::JudgeAfresh() {
    // The foreground changed (cleared, moved, or given other weights): whether it is good, and
    // whether its path still holds, is judged from here on.
    FForegroundGood = false;
    FGoodCaptured = FGoodResidual = 0;
    RestartPathCheck();
}

void TEchoCanceller::RestartPathCheck() {
    FPathMatch.Reset();
    FPathVerdict = 0;
}

void TEchoCanceller::CheckPath(float captured, float estimate) {
    FPathMatch.Add(captured, estimate);
    if (FPathMatch.Count() < CheckLength)
        return;
    if (FPathMatch.EstimateEnergy() >= MeaningfulEstimate * CheckLength) {
        // A verdict counts when two stretches in a row give it: one stretch of a prompt can
        // match badly by chance (a pause, a key's onset before the receiver is sure of it).
        const int best = FPathMatch.BestOffset();
        const double here = FPathMatch.Found(0), there = FPathMatch.Found(best);
        // Not found where it was, two stretches in a row: the path moved. Found a few samples
        // off both times, it moved that far; otherwise it is lost.
        const int verdict = here >= 0.5 ? 0 : there >= 0.8 ? best : PathGone;
        if (verdict != 0 && FPathVerdict != 0) {
            if (verdict == FPathVerdict && verdict != PathGone) {
                // A stream placed a little differently: the window follows, the weights stay.
                FDelay = std::clamp(FDelay + verdict, 0, MaxDelay);
                FPathVerdict = 0;
            } else {
                LosePath();
                return;
            }
        } else
            FPathVerdict = verdict;
    }
    FPathMatch.Reset();
}

void TEchoCanceller::StartTrial(int bulk) {
    FTrial = true;
    FTriedPeak = bulk;
    FTrialDelay = std::clamp(FLostDelay + bulk - FLostPeak, TEchoMatch::Reach, MaxDelay - TEchoMatch::Reach);
    FTrialMatch.Reset();
}

void TEchoCanceller::TrialSample(float captured) {
    const float* window = &FHistory[static_cast<std::size_t>(FFill - FTrialDelay - FilterTaps)];
    FTrialMatch.Add(captured, Dot(FLost.data(), window, FilterTaps));
    if (FTrialMatch.Count() < TrialLength)
        return;
    if (FTrialMatch.EstimateEnergy() < MeaningfulEstimate * TrialLength) {
        FTrialMatch.Reset(); // too little was played to tell: go on trying
        return;
    }
    FTrial = false;
    // Kept only if most of their estimate is found in the capture: otherwise the path changed
    // its shape too, and the filters learn it anew.
    const int best = FTrialMatch.BestOffset();
    if (FTrialMatch.Found(best) < 0.7)
        return;
    FDelay = std::clamp(FTrialDelay + best, 0, MaxDelay);
    FForeground = FLost;
    FBackground = FLost;
    FLostDelay = -1;
    FSearchFresh = false;
    FBetterRun = 0;
    JudgeAfresh();
}
