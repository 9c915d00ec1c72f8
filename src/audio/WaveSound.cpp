#include "audio/WaveSound.h"

#include "audio/SoundService.h"

#include <algorithm>
#include <cmath>
#include <sys/stat.h>

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
    struct stat info {};
    if (fileName.empty() || ::stat(fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return MCIERR_FILE_NOT_FOUND;
    try {
        TFileStream file(fileName, fmOpenRead | fmShareDenyNone);
        TWaveStream wave(&file);
        wave.OpenWave(false);
        if (wave.GetWaveFormatSize() < 16 || !IsPlayablePcm(*wave.GetWaveFormat()) || wave.DataStart() < 8)
            return MCIERR_INVALID_FILE;
        // The reader lets a data chunk run to the end of the file; playback wants it whole.
        uint8_t declared[4];
        file.SetPosition(wave.DataStart() - 4);
        file.ReadBuffer(declared, 4);
        const uint32_t declaredSize =
            declared[0] | declared[1] << 8 | declared[2] << 16 | static_cast<uint32_t>(declared[3]) << 24;
        if (declaredSize != static_cast<uint32_t>(wave.GetDataSize()))
            return MCIERR_INVALID_FILE;
        sound.Format = *wave.GetWaveFormat();
        sound.Format.cbSize = 0;
        sound.Data.resize(static_cast<size_t>(wave.GetDataSize()));
        wave.SetPosition(0);
        wave.ReadBuffer(sound.Data.data(), static_cast<int32_t>(sound.Data.size()));
        sound.Data.resize(sound.Data.size() / sound.Format.nBlockAlign * sound.Format.nBlockAlign);
        return MCIERR_NONE;
    } catch (const Exception&) {
        return MCIERR_INVALID_FILE;
    }
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
