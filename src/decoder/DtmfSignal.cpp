#include "decoder/DtmfSignal.h"

#include "decoder/DtmfDetector.h"
#include "toolkit/Exception.h"

#include <cmath>
#include <random>

namespace {
constexpr double Pi = 3.14159265358979323846;
}

double TDtmfSignal::DbfsToAmplitude(double dbfs) {
    return 32767.0 * std::pow(10.0, dbfs / 20.0);
}

std::int64_t TDtmfSignal::MsToSamples(double ms) {
    return std::llround(ms * SampleRate / 1000.0);
}

void TDtmfSignal::AppendSilence(double ms) {
    FSamples.resize(FSamples.size() + MsToSamples(ms), 0.0);
}

void TDtmfSignal::AppendKey(char key, double ms, double lowDbfs, double highDbfs, double lowScale,
                            double highScale) {
    double low = 0, high = 0;
    if (!TDtmfDetector::KeyFrequencies(key, low, high))
        throw Exception(std::string("'") + key + "' is no DTMF key");
    AppendTones(low * lowScale, lowDbfs, high * highScale, highDbfs, ms);
}

void TDtmfSignal::AppendTones(double hz1, double dbfs1, double hz2, double dbfs2, double ms) {
    const double a1 = DbfsToAmplitude(dbfs1), a2 = DbfsToAmplitude(dbfs2);
    const std::int64_t n = MsToSamples(ms);
    for (std::int64_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / SampleRate;
        FSamples.push_back(a1 * std::sin(2 * Pi * hz1 * t) + a2 * std::sin(2 * Pi * hz2 * t));
    }
}

void TDtmfSignal::AppendPcm(const std::vector<std::int16_t>& pcm) {
    FSamples.insert(FSamples.end(), pcm.begin(), pcm.end());
}

void TDtmfSignal::AddNoise(double rms, std::uint32_t seed) {
    // Box-Muller over the 32-bit Mersenne Twister, whose output the standard fixes, so the noise
    // is the same with every standard library.
    std::mt19937 random(seed);
    auto uniform = [&random] { return (static_cast<double>(random()) + 1.0) / 4294967297.0; };
    for (std::size_t i = 0; i < FSamples.size(); i += 2) {
        const double radius = rms * std::sqrt(-2.0 * std::log(uniform()));
        const double angle = 2 * Pi * uniform();
        FSamples[i] += radius * std::cos(angle);
        if (i + 1 < FSamples.size())
            FSamples[i + 1] += radius * std::sin(angle);
    }
}

std::vector<std::int16_t> TDtmfSignal::ToPcm() const {
    std::vector<std::int16_t> pcm(FSamples.size());
    for (std::size_t i = 0; i < FSamples.size(); ++i) {
        const double v = std::round(FSamples[i]);
        pcm[i] = static_cast<std::int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
    }
    return pcm;
}

std::vector<std::uint8_t> TDtmfSignal::ToBytes() const {
    const std::vector<std::int16_t> pcm = ToPcm();
    std::vector<std::uint8_t> bytes(pcm.size() * 2);
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        const auto u = static_cast<std::uint16_t>(pcm[i]);
        bytes[2 * i] = static_cast<std::uint8_t>(u & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
    }
    return bytes;
}
