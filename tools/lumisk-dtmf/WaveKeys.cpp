#include "WaveKeys.h"

#include "audio/PcmConverter.h"
#include "audio/Wave.h"
#include "decoder/PhoneToneDecoder.h"

#include <algorithm>
#include <cmath>
#include <span>

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr int TargetRate = TDtmfDetector::SampleRate;

std::vector<std::int16_t> ToSamples(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

// Keeps what lies above the 8 kHz band's 4 kHz from folding into it when the rate drops: a
// Hann-windowed sinc low-pass at 3.4 kHz, its length scaled with the source rate.
std::vector<std::int16_t> LowPass(const std::vector<std::int16_t>& in, int rate) {
    const int half = 16 * rate / TargetRate;
    const double cutoff = 3400.0 / rate;
    std::vector<double> taps(static_cast<std::size_t>(2 * half + 1));
    double sum = 0;
    for (int i = -half; i <= half; ++i) {
        const double sinc = i == 0 ? 2 * cutoff : std::sin(2 * Pi * cutoff * i) / (Pi * i);
        const double window = 0.5 + 0.5 * std::cos(Pi * i / (half + 1));
        taps[static_cast<std::size_t>(i + half)] = sinc * window;
        sum += sinc * window;
    }
    std::vector<std::int16_t> out(in.size());
    for (std::size_t n = 0; n < in.size(); ++n) {
        double acc = 0;
        for (int i = -half; i <= half; ++i) {
            const auto k = static_cast<std::ptrdiff_t>(n) + i;
            if (k >= 0 && k < static_cast<std::ptrdiff_t>(in.size()))
                acc += taps[static_cast<std::size_t>(i + half)] * in[static_cast<std::size_t>(k)];
        }
        out[n] = static_cast<std::int16_t>(std::lround(std::clamp(acc / sum, -32768.0, 32767.0)));
    }
    return out;
}

} // namespace

TWaveKeys::TWaveKeys(const std::string& fileName) {
    TWaveFileStream wave(fileName, fmOpenRead | fmShareDenyWrite);
    wave.OpenWave(false);
    if (wave.GetWaveFormatSize() < 16)
        throw EWaveStreamError("Format is invalid");
    const WAVEFORMATEX& format = *wave.GetWaveFormat();
    FSourceRate = static_cast<int>(format.nSamplesPerSec);
    FSourceBits = format.wBitsPerSample;
    FSourceChannels = format.nChannels;
    if (format.wFormatTag != WAVE_FORMAT_PCM || (FSourceBits != 8 && FSourceBits != 16) ||
        (FSourceChannels != 1 && FSourceChannels != 2) || FSourceRate < 1000 || FSourceRate > 384000)
        throw EWaveStreamError("Format is invalid");

    // Whole frames of the file's data, then 16-bit mono at the file's rate.
    const TPcmFormat source{FSourceRate, FSourceBits, FSourceChannels};
    const TPcmFormat mono{FSourceRate, 16, 1};
    TPcmConverter toMono(source, mono);
    std::vector<std::uint8_t> bytes, buffer(65536);
    std::vector<std::uint8_t> carry;
    for (;;) {
        const std::int32_t got = wave.Read(buffer.data(), static_cast<std::int32_t>(buffer.size()));
        if (got <= 0)
            break;
        carry.insert(carry.end(), buffer.begin(), buffer.begin() + got);
        const std::size_t frames = carry.size() / static_cast<std::size_t>(source.FrameBytes());
        toMono.Convert(carry.data(), frames, bytes);
        carry.erase(carry.begin(), carry.begin() + static_cast<std::ptrdiff_t>(frames * source.FrameBytes()));
    }
    toMono.Flush(bytes);
    std::vector<std::int16_t> samples = ToSamples(bytes);
    if (FSourceRate == TargetRate) {
        FSamples = std::move(samples);
        return;
    }
    if (FSourceRate > TargetRate)
        samples = LowPass(samples, FSourceRate);
    std::vector<std::uint8_t> converted;
    TPcmConverter toTarget(mono, TPcmFormat{TargetRate, 16, 1});
    toTarget.Convert(reinterpret_cast<const std::uint8_t*>(samples.data()), samples.size(), converted);
    toTarget.Flush(converted);
    FSamples = ToSamples(converted);
}

std::vector<TDtmfKey> TWaveKeys::Decode() const {
    std::vector<TDtmfKey> keys;
    TPhoneToneDecoder decoder;
    decoder.OnDTMF = [&keys](TComponent*, int key, std::int64_t position) {
        keys.push_back({static_cast<char>(key), position, 0});
    };
    decoder.StartDecoding();
    // A second of silence after the file releases a key held to its very end.
    std::vector<std::uint8_t> bytes(FSamples.size() * 2 + 2 * TargetRate, 0);
    for (std::size_t i = 0; i < FSamples.size(); ++i) {
        const auto u = static_cast<std::uint16_t>(FSamples[i]);
        bytes[2 * i] = static_cast<std::uint8_t>(u & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
    }
    bytes.resize((bytes.size() + 1023) / 1024 * 1024, 0);
    for (std::size_t i = 0; i < bytes.size(); i += 1024)
        decoder.DecodeSamples(std::span<const std::uint8_t>(bytes.data() + i, 1024));
    return keys;
}
