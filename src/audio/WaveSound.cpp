#include "audio/WaveSound.h"

#include "audio/PromptReader.h"
#include "audio/SoundService.h"

#include <algorithm>
#include <cmath>

int64_t TWaveSound::Milliseconds() const {
    if (Format.nBlockAlign == 0 || Format.nSamplesPerSec == 0)
        return 0;
    return static_cast<int64_t>(Data.size() / Format.nBlockAlign) * 1000 / Format.nSamplesPerSec;
}

bool IsPlayablePcm(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.nChannels == 1 || f.nChannels == 2) &&
           (f.wBitsPerSample == 8 || f.wBitsPerSample == 16 || f.wBitsPerSample == 24 ||
            f.wBitsPerSample == 32) &&
           f.nSamplesPerSec >= 1000 && f.nSamplesPerSec <= 384000 &&
           f.nBlockAlign == f.nChannels * (f.wBitsPerSample / 8);
}

int32_t LoadWaveSound(const std::string& fileName, TWaveSound& sound) {
    std::string reason;
    return ReadPromptFile(fileName, sound, reason);
}

const TWaveSound& DefaultSound() {
    static const TWaveSound sound = [] {
        // 300 ms of 880 Hz at 8 kHz, with 10 ms ramps so it does not click.
        TWaveSound s;
        FillPcmFormat(s.Format, 8000, 16, 1);
        const int samples = 2400, ramp = 80;
        for (int i = 0; i < samples; ++i) {
            const double gain = std::min({1.0, i / double(ramp), (samples - 1 - i) / double(ramp)});
            const auto v =
                static_cast<int16_t>(std::lround(12000.0 * gain * std::sin(2 * M_PI * 880.0 * i / 8000)));
            s.Data.push_back(static_cast<uint8_t>(v & 0xFF));
            s.Data.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        }
        return s;
    }();
    return sound;
}
