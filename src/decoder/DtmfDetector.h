// DTMF receiver for 8 kHz 16-bit mono audio.
//
// How it listens:
// - Every 5 ms (40 samples) it takes the last 20 ms (160 samples) through a Hann window and
//   computes the spectrum at the eight DTMF frequencies (between presses only every other frame,
//   catching up on the skipped ones when a press begins). Frames below -45 dBFS skip the rest.
// - The strongest row and column tone must each beat the other tones of their group by 6 dB.
//   Each tone's true frequency is measured from the phase it turns between two frames 5 ms
//   apart (10 ms when the frame between was skipped), so every frequency gets its own tolerance in percent (a
//   fixed filter bandwidth could not serve ±1.5% of 1633 Hz and reject 3.5% off 697 Hz at once). Knowing the
//   frequency also corrects the window's loss for a tone off its bin centre.
// - A frame holds a key when both tones are within 3.5% of nominal, at least -36 dBFS, the
//   column tone between 9.5 dB weaker and 5.5 dB stronger than the row tone, and the two tones
//   carry at least 80% of the frame's power (speech, music and noise spread theirs wider).
// - A press is a run of frames with the same key; a gap of 20 ms, or frames fallen to a quarter
//   of the press's peak amplitude for as long, ends it. At its end (or once it has lasted
//   200 ms) the press is judged as a whole. It needs at least 4 frames that hold the key. The
//   phase turn summed over the press must put both tones within 2.5% of nominal, and neither
//   tone may drift by more than 0.8% (at least 6 Hz) between the press's two halves: sweeps and
//   gliding voice harmonics do, keys do not. Its duration, measured between the points where the
//   amplitude crosses half its peak (which lie on the tone's true edges because the window is
//   symmetric), must be at least 31 ms: tones of 40 ms pass, tones of 23 ms do not.
// Work is done per 40-sample hop on an internal history, so block borders never matter.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

// One recognised key press: Key is '0'-'9', '*', '#' or 'A'-'D'; Position is the index of the
// sample where the tone began and Duration its measured length, both in samples.
struct TDtmfKey {
    char Key = 0;
    std::int64_t Position = 0;
    std::int64_t Duration = 0;
};

class TDtmfDetector {
public:
    static constexpr int SampleRate = 8000;
    static constexpr int FrameLength = 160;
    static constexpr int HopLength = 40;

    TDtmfDetector();

    // Forgets all audio heard so far; sample positions restart at 0.
    void Reset();
    // Feeds consecutive samples; appends every key recognised on the way to keys.
    void Process(const std::int16_t* samples, std::size_t count, std::vector<TDtmfKey>& keys);
    std::int64_t SamplesProcessed() const { return FSampleCount; }
    // Whether the last frame looked at sounds like a key: two tones of a key at a key's levels,
    // however much else the frame holds. Looser than a frame that holds a key: it tells the echo
    // canceller to leave the caller's tone alone while its echo is still loud.
    bool ToneHeard() const { return FToneHeard; }

    // The key's nominal row and column frequencies in Hz; false for a character that is no key.
    static bool KeyFrequencies(char key, double& low, double& high);

private:
    struct TFrame {
        std::array<std::complex<float>, 8> Bins{};
        std::array<float, 8> Magnitude{};
        bool Computed = false;
        bool Valid = false;
        bool Tonal = false;
        int Row = -1;
        int Col = -1;
    };

    void AnalyseFrame(std::vector<TDtmfKey>& keys);
    void ComputeFrame(TFrame& frame, const float* x, double* power) const;
    void ClassifyFrame(TFrame& frame, const TFrame& previous, int hops, double power) const;
    void ContinuePress(const TFrame& frame, std::vector<TDtmfKey>& keys);
    void StartPress(const TFrame& frame);
    void AddTurns(const TFrame& frame);
    void JudgePress(std::vector<TDtmfKey>& keys);
    float Envelope(const TFrame& frame) const;
    const TFrame& History(std::int64_t frameIndex) const;
    double FrameCentre(std::int64_t frameIndex) const;

    // Coefficients laid out sample by sample: 8 cosine terms, then 8 sine terms.
    std::array<float, FrameLength * 16> FTable{};
    std::array<float, FrameLength> FWindow{};
    double FWindowSum = 0;

    // Recent samples; the current frame is the FrameLength samples before FFill, and the frames
    // of the RecentHops hops before it stay available too. When full, those samples move to the
    // front.
    static constexpr int RecentHops = 6;
    static constexpr int BufferLength = FrameLength + (RecentHops + 16) * HopLength;
    std::array<float, BufferLength> FBuffer{};
    int FFill = FrameLength + RecentHops * HopLength;
    int FHopFill = 0;
    static constexpr int HopsPerFrame = FrameLength / HopLength;
    std::array<double, HopsPerFrame> FHopEnergy{}; // sums of squares of the frame's hops
    std::int64_t FSampleCount = 0;
    bool FToneHeard = false;
    std::int64_t FFrameCount = 0; // frames analysed; frame f ends at sample (f + 1) * HopLength

    static constexpr int HistoryLength = 64;
    std::array<TFrame, HistoryLength> FHistory{};

    // The press being followed.
    bool FInPress = false;
    bool FJudged = false;
    int FRow = -1;
    int FCol = -1;
    std::int64_t FFirstFrame = 0;
    std::int64_t FLastFrame = 0;
    // Last frame of the press before this one (-1: none). A press's onset is never looked for
    // before it, so a key never starts before the key reported ahead of it.
    std::int64_t FPreviousPressEnd = -1;
    int FMissRun = 0;
    int FValidCount = 0;
    float FPeak = 0;
    // Phase turns of the row and column tone, frame by frame, until the press is judged.
    std::vector<std::complex<double>> FRowTurns;
    std::vector<std::complex<double>> FColTurns;
};
