// Takes the echo of the box's own playback out of the decoder's input, so that keys pressed while a
// prompt plays are heard over it. 8 kHz 16-bit mono on both sides.
//
// How it works:
// - The bulk delay between what was played and its echo in the capture (the sound card's latency,
//   unknown, plus the line's) is found by cross-correlating the two, decimated to 2 kHz, over 0 to
//   MaxDelay samples. The search keeps running at a quarter of the rate once a delay is found and
//   moves the filter when the delay changes; each new stretch of playback (a prompt after silence)
//   is searched afresh.
// - The path can move (a card that ran dry and picked up later, a new stream, another call's
//   line). Every 50 ms the foreground's echo estimate is looked for in the capture a few samples
//   either way (TEchoMatch; the caller's sound does not match it, so double talk does not count):
//   found a few samples off twice in a row, the filter follows; not found, or the output louder
//   than the capture, the path is lost: both filters start from nothing, the search runs at full
//   rate again, and the weights that cancelled before are tried at the delay it finds, to the
//   sample, and kept if most of their estimate is there (a path that only moved keeps its shape).
// - An adaptive FIR filter of FilterTaps taps (LeadTaps before the bulk delay, TailTaps = 64 ms
//   after it) models the echo path. It adapts by proportionate NLMS (each tap's share of the step
//   grows with its weight: a line's echo path is sparse, a few milliseconds of response somewhere
//   in the tail, and its taps converge several times faster so) on pre-emphasised signals
//   (speech is far from white; the pre-emphasis speeds convergence further), and the output is
//   de-emphasised again, which restores the capture exactly where there is no echo.
// - Double talk (the caller's keys or voice during a prompt) is handled with two filters: a
//   background filter adapts all the time and a foreground filter, which makes the output, only
//   takes the background's weights when they cancel clearly better and the caller is not heard
//   over the echo. An adaptive filter fed a caller's steady tone learns to cancel part of the
//   tone itself; that never reaches the output. The background is reset from the foreground when
//   it has gone astray.
// - While the DTMF receiver hears a key's tones (HoldAdaptation), neither filter learns: early in
//   a prompt, before the foreground is good, nothing else tells the caller's tone from the echo.
// - No non-linear processing: the output is the capture less a linear estimate of the echo, so
//   the caller's tones keep their shape and level.
// - Nothing is done while nothing has been played for longer than the filter reaches back: the
//   capture then passes unchanged and costs almost nothing. The learned echo path is kept across
//   prompts.
#pragma once

#include "decoder/EchoMatch.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class TEchoCanceller {
public:
    static constexpr int SampleRate = 8000;
    static constexpr int TailTaps = 512; // 64 ms of echo after the bulk delay
    static constexpr int LeadTaps = 16;  // before it: the search's step and a hybrid's leading edge
    static constexpr int FilterTaps = LeadTaps + TailTaps;
    static constexpr int MaxDelay = 2048; // 256 ms: the longest bulk delay looked for

    TEchoCanceller();

    // Forgets the echo path and everything heard.
    void Reset();

    // captured: what the capture heard; played: what the box played at the same instants (the
    // same count). out (the same count, may be captured itself) receives the capture with the
    // echo taken out.
    void Process(std::span<const std::int16_t> captured, std::span<const std::int16_t> played,
                 std::span<std::int16_t> out);

    // The caller's tone is heard (or no longer): while it is, and for HoldHangover samples after,
    // the filters learn nothing and the foreground keeps its weights, since an adaptive filter
    // fed a steady tone learns to cancel it. Weights taken in the last TakeOverGuard samples,
    // when the tone may already have been sounding unnoticed, are given back.
    void HoldAdaptation(bool toneHeard);

    // Whether the last call cancelled (something was played recently enough to echo).
    bool Active() const { return FActive; }
    // The bulk delay in samples between played audio and its echo; -1 while not yet found.
    int BulkDelay() const { return FDelay < 0 ? -1 : FDelay + LeadTaps; }

private:
    void Activate();
    void ProcessActive(const std::int16_t* captured, const std::int16_t* played, std::int16_t* out,
                       std::size_t count);
    void PushReference(float x);
    void RestartSearch(bool fresh);
    void SearchBlock();
    void PlaceFilter(int delay);
    void JudgeBlock();
    void UpdateShares();
    void TakeOver();
    void LosePath();
    void JudgeAfresh();
    void RestartPathCheck();
    void CheckPath(float captured, float estimate);
    void StartTrial(int bulk);
    void TrialSample(float captured);

    bool FActive = false;
    std::int64_t FQuietRun = 0; // samples since the last non-silent played sample

    // Pre-emphasised played audio, oldest first; the newest sample sits at FFill - 1.
    static constexpr int HistoryLength = MaxDelay + FilterTaps + 4096;
    std::vector<float> FHistory;
    int FFill = 0;
    float FLastPlayed = 0;   // for the pre-emphasis of played audio
    float FLastCaptured = 0; // ... and of the capture
    float FLastOut = 0;      // the de-emphasis's state

    // The filters; weight j multiplies the played sample FilterTaps - 1 - j before the newest in
    // the window, so the dot product walks the history forwards.
    int FDelay = -1; // history offset of the window's newest sample; -1: no delay found yet
    std::vector<float> FForeground;
    std::vector<float> FBackground;
    // Each tap's share of the step (averaging 1), renewed every ShareInterval samples.
    static constexpr int ShareInterval = 16;
    std::vector<float> FShare;
    int FShareAge = 0;

    // Judging the two filters, per block of JudgeLength samples.
    static constexpr int JudgeLength = 64;
    int FJudgeFill = 0;
    double FCapturedEnergy = 0, FForegroundEnergy = 0, FBackgroundEnergy = 0, FEchoEstimateEnergy = 0;
    bool FForegroundGood = false; // the foreground has cancelled 10 dB
    // Output this much louder than the capture over a stretch: the path has moved away.
    static constexpr double PathLost = 1.3;
    double FGoodCaptured = 0, FGoodResidual = 0;
    int FBetterRun = 0;

    // Holding still for the caller's tone.
    static constexpr int HoldHangover = 240;  // 30 ms: the tone's tail and the detector's frame
    static constexpr int TakeOverGuard = 320; // 40 ms: a tone's onset before the detector is sure
    bool FToneHeard = false;
    int FHoldLeft = 0;
    std::vector<float> FFormerForeground; // the foreground's weights before its last take-over
    std::int64_t FSinceTakeOver = 0;

    // The delay search on 2 kHz signals.
    static constexpr int Decimation = 4;
    static constexpr int Lags = MaxDelay / Decimation;
    static constexpr int SearchBlockLength = 64;
    std::vector<float> FSearchPlayed; // decimated played audio, oldest first, up to FSearchPlayedFill
    int FSearchPlayedFill = 0;
    std::array<float, SearchBlockLength> FSearchCaptured{};
    int FSearchFill = 0;
    float FDecimatedPlayed = 0, FDecimatedCaptured = 0;
    int FDecimatePhase = 0;
    std::vector<double> FCorrelation;
    double FSearchCapturedEnergy = 0, FSearchPlayedEnergy = 0;
    double FSearchLength = 0; // decimated samples the correlation holds, as its memory weighs them
    int FSearchBlocks = 0;
    int FCandidate = -1, FCandidateRun = 0;
    bool FSearchFresh = false; // at full rate after a loss, until the path is found again
    int FPeak = -1;            // the bulk delay (samples) the search found last

    // Whether the foreground's estimate is still found in the capture, per CheckLength samples
    // compared: a path that moved by a few samples is followed within 100 ms, one that went
    // further is lost.
    static constexpr int CheckLength = 200; // 50 ms
    TEchoMatch FPathMatch;
    static constexpr int PathGone = 1000; // a verdict: not found within reach
    int FPathVerdict = 0;                 // the last stretch's: an offset, PathGone, or 0

    // A path that moved keeps its shape: the weights that cancelled it before are tried at the
    // new delay (to within TEchoMatch::Reach samples of what the search says), and kept if they
    // cancel.
    static constexpr int TrialLength = 400; // samples compared: 100 ms of echo
    std::vector<float> FLost;               // the foreground's weights when its path was lost
    int FLostDelay = -1;                    // their window's delay; -1: none kept
    int FLostPeak = -1;                     // the search's delay for them
    int FTriedPeak = -1;                    // the delay they were last tried at
    bool FTrial = false;
    int FTrialDelay = 0;
    TEchoMatch FTrialMatch;
};
