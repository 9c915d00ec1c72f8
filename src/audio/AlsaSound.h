// The ALSA backend, loaded at run time from "libasound.so.2" (nothing links against it, so the
// program starts on a machine without it and reports the missing library when sound is used).
//
// The default capture device is ALSA's "default" PCM, or the name in LUMISK_ALSA_CAPTURE;
// playback goes to "default" or LUMISK_ALSA_PLAYBACK. A capture device is opened once and shared
// by every capture buffer (AlsaCapture.h); playback opens its device without waiting for it,
// converts to the nearest format the device takes, and is bounded in time.
#pragma once

#include "audio/SoundService.h"

class TAlsaSound : public ISoundBackend {
public:
    std::string Name() const override { return "alsa"; }
    int32_t EnumerateCapture(TCaptureEnumCallback callback, void* context) override;
    int32_t CreateCapture(const TDeviceGuid* guid, std::unique_ptr<ISoundCapture>& capture) override;
    int32_t CheckPlayback(const WAVEFORMATEX& format) override;
    int32_t Play(const WAVEFORMATEX& format, const void* data, uint32_t bytes,
                 const std::atomic<bool>& cancel) override;

    static std::string DefaultCaptureDevice();
    static std::string DefaultPlaybackDevice();
};

TAlsaSound& AlsaSound();
