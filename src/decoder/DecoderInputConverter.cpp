#include "decoder/DecoderInputConverter.h"

#include "toolkit/Exception.h"
#include "toolkit/StringUtils.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr int MaxTableRows = 1024;
constexpr int VectorWidth = 8;
constexpr double PassEdgeHz = 3000; // the filter's half-power point at 8 kHz and above

std::int16_t ToPcm16(float v) {
    const float r = std::nearbyint(v);
    return static_cast<std::int16_t>(r > 32767.f ? 32767.f : r < -32768.f ? -32768.f : r);
}

double Blackman(double u) {
    if (std::fabs(u) >= 1)
        return 0;
    return 0.42 + 0.5 * std::cos(Pi * u) + 0.08 * std::cos(2 * Pi * u);
}

// Dot product of a padded table row with the history, in independent vector sums.
float Dot(const float* x, const float* taps, int count) {
    using TVec8 = float __attribute__((vector_size(32)));
    TVec8 a = {}, b = {};
    int j = 0;
    for (; j + 2 * VectorWidth <= count; j += 2 * VectorWidth) {
        TVec8 x0, x1, t0, t1;
        std::memcpy(&x0, x + j, sizeof x0);
        std::memcpy(&x1, x + j + VectorWidth, sizeof x1);
        std::memcpy(&t0, taps + j, sizeof t0);
        std::memcpy(&t1, taps + j + VectorWidth, sizeof t1);
        a += x0 * t0;
        b += x1 * t1;
    }
    for (; j < count; j += VectorWidth) {
        TVec8 x0, t0;
        std::memcpy(&x0, x + j, sizeof x0);
        std::memcpy(&t0, taps + j, sizeof t0);
        a += x0 * t0;
    }
    const TVec8 s = a + b;
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

} // namespace

TDecoderInputConverter::TDecoderInputConverter(int sampleRate, int bitsPerSample, int channels)
    : FRate(sampleRate), FBits(bitsPerSample), FChannels(channels) {
    if (sampleRate < 1000 || sampleRate > 384000 ||
        (bitsPerSample != 8 && bitsPerSample != 16 && bitsPerSample != 24 && bitsPerSample != 32) ||
        (channels != 1 && channels != 2))
        throw Exception(Format("The tone decoder cannot take %d Hz %d bit audio with %d channels", sampleRate,
                               bitsPerSample, channels));
    FFrameBytes = channels * bitsPerSample / 8;
    if (FRate != OutputRate) {
        const int g = std::gcd(FRate, OutputRate);
        FStep = FRate / g;
        FSteps = OutputRate / g;
        FTableRows = std::min(FSteps, MaxTableRows);
        // Half-length in seconds: 1.5 ms (12 output periods) from 8 kHz up; below, 16 input periods.
        const double halfSeconds = FRate >= OutputRate ? 0.0015 : 16.0 / FRate;
        const double width = halfSeconds * FRate; // in input periods
        // A Blackman-windowed sinc falls from pass to stop over about 5.5 / length.
        const double edge = std::min(PassEdgeHz, FRate / 2.0 - 5.5 / (4 * halfSeconds));
        const double cutoff = edge / FRate; // cycles per input period
        FHalf = static_cast<int>(std::ceil(width));
        const int length = 2 * FHalf + 1;
        FStride = (length + VectorWidth - 1) / VectorWidth * VectorWidth;
        FTable.assign(static_cast<std::size_t>(FTableRows) * static_cast<std::size_t>(FStride), 0.f);
        for (int row = 0; row < FTableRows; ++row) {
            const double fraction = static_cast<double>(row) / FTableRows;
            float* taps = &FTable[static_cast<std::size_t>(row) * static_cast<std::size_t>(FStride)];
            double sum = 0;
            std::vector<double> h(static_cast<std::size_t>(length));
            for (int j = 0; j < length; ++j) {
                const double t = j - FHalf - fraction; // input periods from the output instant
                const double x = 2 * Pi * cutoff * t;
                const double sinc = std::fabs(x) < 1e-12 ? 1.0 : std::sin(x) / x;
                h[static_cast<std::size_t>(j)] = sinc * Blackman(t / width);
                sum += h[static_cast<std::size_t>(j)];
            }
            // Each phase passes a constant unchanged: no ripple at the phases' own rate.
            for (int j = 0; j < length; ++j)
                taps[j] = static_cast<float>(h[static_cast<std::size_t>(j)] / sum);
        }
    }
    Reset();
}

void TDecoderInputConverter::Reset() {
    FSplitCount = 0;
    // Silence before the first sample, so output 0 lies at input instant 0.
    FHistory.assign(static_cast<std::size_t>(FHalf), 0.f);
    FHistoryStart = -FHalf;
    FIndex = 0;
    FFraction = 0;
}

float TDecoderInputConverter::DecodeFrame(const std::uint8_t* p) const {
    float sum = 0;
    for (int c = 0; c < FChannels; ++c, p += FBits / 8) {
        switch (FBits) {
        case 8:
            sum += static_cast<float>((p[0] - 128) * 256);
            break;
        case 16:
            sum += static_cast<float>(static_cast<std::int16_t>(p[0] | p[1] << 8));
            break;
        case 24: {
            const auto u = static_cast<std::uint32_t>(p[0] << 8 | p[1] << 16 | p[2] << 24);
            sum += static_cast<float>(static_cast<std::int32_t>(u)) / 65536.f;
            break;
        }
        default: {
            const auto u = static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | std::uint32_t{p[3]}
                                                                                           << 24;
            sum += static_cast<float>(static_cast<std::int32_t>(u)) / 65536.f;
            break;
        }
        }
    }
    return FChannels == 2 ? sum * 0.5f : sum;
}

void TDecoderInputConverter::Convert(std::span<const std::uint8_t> bytes, std::vector<std::int16_t>& out) {
    const std::uint8_t* data = bytes.data();
    std::size_t left = bytes.size();
    if (FSplitCount > 0) {
        const std::size_t n = std::min(left, static_cast<std::size_t>(FFrameBytes - FSplitCount));
        std::memcpy(FSplit + FSplitCount, data, n);
        FSplitCount += static_cast<int>(n);
        data += n;
        left -= n;
        if (FSplitCount < FFrameBytes)
            return;
        FSplitCount = 0;
        ConvertFrames(FSplit, 1, out);
    }
    const std::size_t frames = left / static_cast<std::size_t>(FFrameBytes);
    ConvertFrames(data, frames, out);
    const std::size_t used = frames * static_cast<std::size_t>(FFrameBytes);
    FSplitCount = static_cast<int>(left - used);
    std::memcpy(FSplit, data + used, static_cast<std::size_t>(FSplitCount));
}

void TDecoderInputConverter::ConvertFrames(const std::uint8_t* data, std::size_t frames,
                                           std::vector<std::int16_t>& out) {
    if (frames == 0)
        return;
    if (FRate == OutputRate) {
        const std::size_t start = out.size();
        out.resize(start + frames);
        std::int16_t* to = out.data() + start;
        if (std::endian::native == std::endian::little && FBits == 16 && FChannels == 1) {
            std::memcpy(to, data, frames * 2);
            return;
        }
        for (std::size_t i = 0; i < frames; ++i)
            to[i] = ToPcm16(DecodeFrame(data + i * static_cast<std::size_t>(FFrameBytes)));
        return;
    }
    const std::size_t start = FHistory.size();
    FHistory.resize(start + frames);
    for (std::size_t i = 0; i < frames; ++i)
        FHistory[start + i] = DecodeFrame(data + i * static_cast<std::size_t>(FFrameBytes));
    Resample(out);
}

void TDecoderInputConverter::Resample(std::vector<std::int16_t>& out) {
    const auto size = static_cast<std::int64_t>(FHistory.size());
    for (;;) {
        std::int64_t index = FIndex;
        std::int64_t row = FFraction;
        if (FTableRows != FSteps) {
            // Too many distinct phases for a table: take the nearest of MaxTableRows.
            row = (FFraction * FTableRows * 2 + FSteps) / (2 * FSteps);
            if (row == FTableRows) {
                row = 0;
                ++index;
            }
        }
        const std::int64_t first = index - FHalf - FHistoryStart;
        if (first + FStride > size)
            break;
        out.push_back(ToPcm16(Dot(&FHistory[static_cast<std::size_t>(first)],
                                  &FTable[static_cast<std::size_t>(row * FStride)], FStride)));
        FFraction += FStep;
        FIndex += FFraction / FSteps;
        FFraction %= FSteps;
    }
    // Keep only what the next outputs still reach back to.
    const std::int64_t keepFrom = FIndex - FHalf - 1;
    if (keepFrom > FHistoryStart) {
        const std::int64_t drop = std::min(keepFrom - FHistoryStart, size);
        FHistory.erase(FHistory.begin(), FHistory.begin() + static_cast<std::ptrdiff_t>(drop));
        FHistoryStart += drop;
    }
}
