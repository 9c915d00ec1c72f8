// Builds 8 kHz test and caller signals: DTMF tone pairs, any two tones, silence and seeded
// white noise, mixed in floating point and rounded (with clipping) to 16-bit PCM at the end.
// Levels are in dBFS of a sine's peak: a full-scale sine is 0 dBFS, so two tones at -3 dBFS
// each clip.
#pragma once

#include <cstdint>
#include <vector>

class TDtmfSignal {
public:
    static constexpr int SampleRate = 8000;

    static double DbfsToAmplitude(double dbfs);
    static std::int64_t MsToSamples(double ms);

    std::size_t Length() const { return FSamples.size(); }

    void AppendSilence(double ms);
    // The key's two tones for ms; lowScale and highScale multiply the nominal frequencies
    // (1.015 is 1.5% high). Raises Exception for a character that is no key.
    void AppendKey(char key, double ms, double lowDbfs, double highDbfs, double lowScale = 1.0,
                   double highScale = 1.0);
    void AppendTones(double hz1, double dbfs1, double hz2, double dbfs2, double ms);
    // Appends recorded 16-bit audio as it is.
    void AppendPcm(const std::vector<std::int16_t>& pcm);
    // Adds white Gaussian noise of the given RMS amplitude over the whole signal so far.
    void AddNoise(double rms, std::uint32_t seed);

    std::vector<std::int16_t> ToPcm() const;
    // Little-endian bytes, as the capture stream delivers them.
    std::vector<std::uint8_t> ToBytes() const;

private:
    std::vector<double> FSamples;
};
