#include "decoder/DtmfDetector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double RowHz[4] = {697, 770, 852, 941};
constexpr double ColHz[4] = {1209, 1336, 1477, 1633};
constexpr char Keys[4][5] = {"123A", "456B", "789C", "*0#D"};

double BinHz(int bin) {
    return bin < 4 ? RowHz[bin] : ColHz[bin - 4];
}

double DbfsToAmplitude(double dbfs) {
    return 32768.0 * std::pow(10.0, dbfs / 20.0);
}

// Thresholds; see the header for what each one is for.
const double GateEnergy = std::pow(DbfsToAmplitude(-45), 2) * TDtmfDetector::FrameLength;
const double MinAmplitude = DbfsToAmplitude(-36);
constexpr double DominanceRatio = 2.0;             // 6 dB over the rest of the group
constexpr double FrameDeviation = 0.035;           // per frame
constexpr double PressDeviation = 0.025;           // over the whole press
const double MinTwist = std::pow(10.0, -9.5 / 20); // column / row amplitude
const double MaxTwist = std::pow(10.0, 5.5 / 20);
constexpr double MaxDrift = 0.008; // between the halves of a press
constexpr double MaxDriftHz = 6.0;
constexpr double MinToneShare = 0.80;
constexpr int MissFramesToRelease = 4;
constexpr int MinValidFrames = 4;
constexpr int FramesBeforeEarlyJudgement = 40;
constexpr double MinDurationSamples = 0.031 * TDtmfDetector::SampleRate;

// Amplitude of the Hann window's response to a tone delta bins off the centre, relative to the
// centre; a bin is SampleRate / FrameLength Hz.
double HannResponse(double delta) {
    const double d = std::fabs(delta);
    if (d < 1e-9)
        return 1.0;
    if (std::fabs(d - 1.0) < 1e-6)
        return 0.5;
    return std::fabs(std::sin(Pi * d) / (Pi * d) / (1.0 - d * d));
}

// Frequency offset in Hz of a tone whose phase turned by turn between two frames hops apart,
// against the bin's nominal frequency.
double Deviation(std::complex<double> turn, int bin, int hops = 1) {
    const double span = static_cast<double>(hops) * TDtmfDetector::HopLength;
    const double expected = 2 * Pi * BinHz(bin) * span / TDtmfDetector::SampleRate;
    const double d = std::remainder(std::arg(turn) - expected, 2 * Pi);
    return d * TDtmfDetector::SampleRate / (2 * Pi * span);
}

// The tone's mean frequency over the press must lie within PressDeviation of nominal, and its
// frequency must not drift between the press's first and second half (a sweep, or a voice's
// harmonic gliding through the band, does).
bool SteadyTone(const std::vector<std::complex<double>>& turns, int bin) {
    std::complex<double> first{}, second{};
    const std::size_t half = turns.size() / 2;
    for (std::size_t i = 0; i < turns.size(); ++i)
        (i < half ? first : second) += turns[i];
    const double hz = BinHz(bin);
    if (std::fabs(Deviation(first + second, bin)) > PressDeviation * hz)
        return false;
    return std::fabs(Deviation(second, bin) - Deviation(first, bin)) <= std::max(MaxDriftHz, MaxDrift * hz);
}

using TVec8 = float __attribute__((vector_size(32)));

// acc += x * the eight floats at t (a vector passed by reference: returning one would tie the
// function's ABI to the instruction set).
inline void AddScaled(TVec8& acc, float x, const float* t) {
    TVec8 v;
    std::memcpy(&v, t, sizeof v);
    acc += x * v;
}

// The frame's windowed sums against the eight cosines and eight sines (out[0..15]), and its
// window-weighted sum and sum of squares (out[16], out[17]): nearly all of the receiver's work.
// One table row holds a sample's sixteen coefficients (cosines, then sines), so each sample is
// two 8-wide multiply-adds; four samples at a time go to independent accumulators so they do not
// wait on one another. Vectors are no wider than AVX registers: wider generic vectors make the
// compiler spill every accumulator to memory on each step. Where the processor has AVX2, a clone
// of this function uses it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("arch=x86-64-v3", "default")))
#endif
void Spectrum(const float* x, const float* table, const float* window, float* out) {
    TVec8 c0 = {}, c1 = {}, c2 = {}, c3 = {}, s0 = {}, s1 = {}, s2 = {}, s3 = {};
    for (int m = 0; m < TDtmfDetector::FrameLength; m += 4) {
        const float* t = table + m * 16;
        AddScaled(c0, x[m], t);
        AddScaled(s0, x[m], t + 8);
        AddScaled(c1, x[m + 1], t + 16);
        AddScaled(s1, x[m + 1], t + 24);
        AddScaled(c2, x[m + 2], t + 32);
        AddScaled(s2, x[m + 2], t + 40);
        AddScaled(c3, x[m + 3], t + 48);
        AddScaled(s3, x[m + 3], t + 56);
    }
    TVec8 weighted = {}, squares = {};
    for (int m = 0; m < TDtmfDetector::FrameLength; m += 8) {
        TVec8 xv, wv;
        std::memcpy(&xv, x + m, sizeof xv);
        std::memcpy(&wv, window + m, sizeof wv);
        weighted += xv * wv;
        squares += xv * xv * wv;
    }
    const TVec8 c = (c0 + c1) + (c2 + c3), s = (s0 + s1) + (s2 + s3);
    out[16] = out[17] = 0;
    for (int k = 0; k < 8; ++k) {
        out[k] = c[k];
        out[8 + k] = s[k];
        out[16] += weighted[k];
        out[17] += squares[k];
    }
}

// Sum of squares of one hop, in two independent 4-wide sums.
double HopEnergy(const float* x) {
    using TVec4 = float __attribute__((vector_size(16)));
    TVec4 a = {}, b = {};
    for (int m = 0; m < TDtmfDetector::HopLength; m += 8) {
        TVec4 u, v;
        std::memcpy(&u, x + m, sizeof u);
        std::memcpy(&v, x + m + 4, sizeof v);
        a += u * u;
        b += v * v;
    }
    const TVec4 sum = a + b;
    return static_cast<double>(sum[0]) + sum[1] + sum[2] + sum[3];
}

// Samples to floats, eight at a time where it can.
void ToFloat(const std::int16_t* from, std::size_t count, float* to) {
    using TShort8 = std::int16_t __attribute__((vector_size(16)));
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        TShort8 v;
        std::memcpy(&v, from + i, sizeof v);
        const TVec8 f = __builtin_convertvector(v, TVec8);
        std::memcpy(to + i, &f, sizeof f);
    }
    for (; i < count; ++i)
        to[i] = from[i];
}

} // namespace

bool TDtmfDetector::KeyFrequencies(char key, double& low, double& high) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (Keys[r][c] == key) {
                low = RowHz[r];
                high = ColHz[c];
                return true;
            }
    return false;
}

TDtmfDetector::TDtmfDetector() {
    for (int m = 0; m < FrameLength; ++m) {
        const double s = std::sin(Pi * (m + 0.5) / FrameLength);
        FWindow[m] = static_cast<float>(s * s);
        FWindowSum += s * s;
        for (int k = 0; k < 8; ++k) {
            const double w = 2 * Pi * BinHz(k) / SampleRate * m;
            FTable[m * 16 + k] = static_cast<float>(s * s * std::cos(w));
            FTable[m * 16 + 8 + k] = static_cast<float>(s * s * std::sin(w));
        }
    }
    FRowTurns.reserve(FramesBeforeEarlyJudgement + 2);
    FColTurns.reserve(FramesBeforeEarlyJudgement + 2);
    Reset();
}

void TDtmfDetector::Reset() {
    FBuffer.fill(0);
    FHopEnergy.fill(0);
    FFill = FrameLength + RecentHops * HopLength;
    FHopFill = 0;
    FSampleCount = 0;
    FFrameCount = 0;
    FToneHeard = false;
    FHistory.fill(TFrame{});
    FInPress = false;
    FPreviousPressEnd = -1;
}

void TDtmfDetector::Process(const std::int16_t* samples, std::size_t count, std::vector<TDtmfKey>& keys) {
    while (count > 0) {
        const std::size_t n = std::min<std::size_t>(count, static_cast<std::size_t>(HopLength - FHopFill));
        ToFloat(samples, n, &FBuffer[static_cast<std::size_t>(FFill)]);
        samples += n;
        count -= n;
        FSampleCount += static_cast<std::int64_t>(n);
        FFill += static_cast<int>(n);
        FHopFill += static_cast<int>(n);
        if (FHopFill == HopLength) {
            FHopFill = 0;
            AnalyseFrame(keys);
            if (FFill == BufferLength) {
                constexpr int keep = FrameLength + RecentHops * HopLength;
                std::memmove(FBuffer.data(), FBuffer.data() + BufferLength - keep, keep * sizeof(float));
                FFill = keep;
            }
        }
    }
}

const TDtmfDetector::TFrame& TDtmfDetector::History(std::int64_t frameIndex) const {
    return FHistory[static_cast<std::size_t>(frameIndex % HistoryLength)];
}

double TDtmfDetector::FrameCentre(std::int64_t frameIndex) const {
    return static_cast<double>((frameIndex + 1) * HopLength) - FrameLength / 2.0 - 0.5;
}

float TDtmfDetector::Envelope(const TFrame& frame) const {
    return std::sqrt(frame.Magnitude[FRow] * frame.Magnitude[FCol]);
}

void TDtmfDetector::ComputeFrame(TFrame& frame, const float* x, double* power) const {
    float acc[18];
    Spectrum(x, FTable.data(), FWindow.data(), acc);
    for (int k = 0; k < 8; ++k) {
        frame.Bins[k] = {acc[k], -acc[8 + k]};
        frame.Magnitude[k] = std::sqrt(acc[k] * acc[k] + acc[8 + k] * acc[8 + k]);
    }
    frame.Computed = true;
    const double mean = acc[16] / FWindowSum;
    *power = acc[17] / FWindowSum - mean * mean;
}

void TDtmfDetector::AnalyseFrame(std::vector<TDtmfKey>& keys) {
    const std::int64_t f = FFrameCount;
    TFrame& frame = FHistory[static_cast<std::size_t>(f % HistoryLength)];
    frame = TFrame{};
    const float* x = &FBuffer[static_cast<std::size_t>(FFill - FrameLength)];
    FHopEnergy[static_cast<std::size_t>(f % HopsPerFrame)] = HopEnergy(x + FrameLength - HopLength);
    double energy = 0;
    for (double e : FHopEnergy)
        energy += e;
    // Quiet frames cannot hold a key at the lowest level we accept: skip the spectrum. Between
    // presses every other frame is enough to notice a key; a press is followed frame by frame.
    if (energy >= GateEnergy && (FInPress || f % 2 == 0)) {
        double power = 0;
        ComputeFrame(frame, x, &power);
        if (f > 1 && History(f - 1).Computed)
            ClassifyFrame(frame, History(f - 1), 1, power);
        else if (f > 1)
            ClassifyFrame(frame, History(f - 2), 2, power);
        FToneHeard = frame.Tonal;
    } else if (energy < GateEnergy)
        FToneHeard = false;
    ContinuePress(frame, keys);
    ++FFrameCount;
}

void TDtmfDetector::ClassifyFrame(TFrame& frame, const TFrame& previous, int hops, double power) const {
    const auto& mag = frame.Magnitude;
    const int r = static_cast<int>(std::max_element(mag.begin(), mag.begin() + 4) - mag.begin());
    const int c = static_cast<int>(std::max_element(mag.begin() + 4, mag.end()) - mag.begin());
    for (int k = 0; k < 8; ++k) {
        if (k != r && k != c && mag[k] * DominanceRatio > mag[k < 4 ? r : c])
            return;
    }
    // The phase turn from the previous frame measures each tone's frequency.
    if (previous.Magnitude[r] <= 0 || previous.Magnitude[c] <= 0)
        return;
    double amplitude[2];
    const int bins[2] = {r, c};
    for (int i = 0; i < 2; ++i) {
        const int b = bins[i];
        const std::complex<double> turn =
            std::complex<double>(frame.Bins[b]) * std::conj(std::complex<double>(previous.Bins[b]));
        // Over two hops a tone more than 50 Hz off would alias; its amplitude, corrected for the
        // wrong offset, then falls far short of the frame's power and the frame fails below.
        const double deviation = Deviation(turn, b, hops);
        if (std::fabs(deviation) > FrameDeviation * BinHz(b))
            return;
        const double response = HannResponse(deviation * FrameLength / SampleRate);
        amplitude[i] = 2 * mag[b] / (FWindowSum * response);
        if (amplitude[i] < MinAmplitude)
            return;
    }
    const double twist = amplitude[1] / amplitude[0];
    if (twist < MinTwist || twist > MaxTwist)
        return;
    frame.Tonal = true;
    const double tonePower = (amplitude[0] * amplitude[0] + amplitude[1] * amplitude[1]) / 2;
    if (tonePower < MinToneShare * power)
        return;
    frame.Valid = true;
    frame.Row = r;
    frame.Col = c;
}

void TDtmfDetector::StartPress(const TFrame& frame) {
    // Frames skipped before the press are computed now: the press's first phase turn and the
    // search for its onset need them.
    for (std::int64_t back = 1; back <= RecentHops && back < FFrameCount; ++back) {
        TFrame& earlier = FHistory[static_cast<std::size_t>((FFrameCount - back) % HistoryLength)];
        if (!earlier.Computed) {
            double power = 0;
            ComputeFrame(earlier, &FBuffer[static_cast<std::size_t>(FFill - FrameLength - back * HopLength)],
                         &power);
        }
    }
    FInPress = true;
    FJudged = false;
    FRow = frame.Row;
    FCol = frame.Col;
    FFirstFrame = FLastFrame = FFrameCount;
    FMissRun = 0;
    FValidCount = 1;
    FPeak = Envelope(frame);
    FRowTurns.clear();
    FColTurns.clear();
    AddTurns(frame);
}

void TDtmfDetector::AddTurns(const TFrame& frame) {
    if (FJudged)
        return;
    const TFrame& previous = History(FFrameCount - 1);
    FRowTurns.push_back(std::complex<double>(frame.Bins[FRow]) *
                        std::conj(std::complex<double>(previous.Bins[FRow])));
    FColTurns.push_back(std::complex<double>(frame.Bins[FCol]) *
                        std::conj(std::complex<double>(previous.Bins[FCol])));
}

void TDtmfDetector::ContinuePress(const TFrame& frame, std::vector<TDtmfKey>& keys) {
    if (FInPress) {
        const bool same =
            frame.Valid && frame.Row == FRow && frame.Col == FCol && Envelope(frame) >= 0.25f * FPeak;
        if (same) {
            FLastFrame = FFrameCount;
            FMissRun = 0;
            ++FValidCount;
            FPeak = std::max(FPeak, Envelope(frame));
            AddTurns(frame);
            if (!FJudged && FFrameCount - FFirstFrame >= FramesBeforeEarlyJudgement)
                JudgePress(keys);
        } else {
            ++FMissRun;
            const bool otherKey = frame.Valid && (frame.Row != FRow || frame.Col != FCol);
            if (otherKey || FMissRun >= MissFramesToRelease) {
                if (!FJudged)
                    JudgePress(keys);
                FInPress = false;
                FPreviousPressEnd = FLastFrame;
            }
        }
    }
    if (!FInPress && frame.Valid)
        StartPress(frame);
}

void TDtmfDetector::JudgePress(std::vector<TDtmfKey>& keys) {
    FJudged = true;
    if (FValidCount < MinValidFrames)
        return;
    if (!SteadyTone(FRowTurns, FRow) || !SteadyTone(FColTurns, FCol))
        return;

    // The tone's edges lie where its amplitude crosses half the press's peak.
    const float half = 0.5f * FPeak;
    const std::int64_t now = FFrameCount;
    const std::int64_t earliest = std::max<std::int64_t>({0, now - HistoryLength + 1, FPreviousPressEnd + 1});
    auto env = [this](std::int64_t i) { return Envelope(History(i)); };

    std::int64_t i = std::max(FFirstFrame, earliest);
    while (i < FLastFrame && env(i) < half)
        ++i;
    while (i - 1 >= earliest && env(i - 1) >= half)
        --i;
    double onset = FrameCentre(i);
    if (i - 1 >= earliest && env(i) > env(i - 1))
        onset = FrameCentre(i - 1) + (half - env(i - 1)) / (env(i) - env(i - 1)) * HopLength;

    std::int64_t j = FLastFrame;
    while (j > i && env(j) < half)
        --j;
    while (j + 1 <= now && env(j + 1) >= half)
        ++j;
    double offset = FrameCentre(j);
    if (j + 1 <= now && env(j) > env(j + 1))
        offset = FrameCentre(j) + (env(j) - half) / (env(j) - env(j + 1)) * HopLength;

    const double duration = offset - onset;
    if (duration < MinDurationSamples)
        return;
    TDtmfKey key;
    key.Key = Keys[FRow][FCol - 4];
    key.Position = std::max<std::int64_t>(0, std::llround(onset));
    key.Duration = std::llround(duration);
    keys.push_back(key);
}
