#include "audio/AlsaSound.h"

#include "audio/AlsaCapture.h"
#include "audio/AlsaPcm.h"
#include "audio/PcmConverter.h"
#include "audio/PlaybackReference.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::string OrDefault(const std::string& device) {
    return device.empty() ? "default" : device;
}

class TAlsaCapture : public ISoundCapture {
public:
    explicit TAlsaCapture(TAlsaCaptureDevice& device) : FDevice(device) {}
    int32_t CreateCaptureBuffer(const DSCBUFFERDESC& description,
                                std::unique_ptr<ISoundCaptureBuffer>& buffer) override {
        buffer.reset();
        if (!description.lpwfxFormat || description.dwBufferBytes == 0)
            return DSERR_INVALIDPARAM;
        if (!FDevice.Accepts(*description.lpwfxFormat))
            return DSERR_BADFORMAT;
        buffer = std::make_unique<TAlsaCaptureBuffer>(FDevice, *description.lpwfxFormat,
                                                      description.dwBufferBytes);
        return DS_OK;
    }

private:
    TAlsaCaptureDevice& FDevice;
};

int32_t OpenFailure(int error) {
    return error == -EBUSY ? MCIERR_DEVICE_BUSY : MCIERR_NO_PLAYBACK_DEVICE;
}

// Converts whole frames of PCM between formats. More than two device channels get the sound
// on every channel.
std::vector<uint8_t> ConvertPcm(const WAVEFORMATEX& from, const uint8_t* data, size_t frames,
                                const WAVEFORMATEX& to) {
    TPcmFormat source{static_cast<int>(from.nSamplesPerSec), from.wBitsPerSample, from.nChannels};
    const TPcmFormat target{static_cast<int>(to.nSamplesPerSec), to.wBitsPerSample, to.nChannels};
    std::vector<uint8_t> mono;
    if (source.Channels == 2 && target.Channels > 2) {
        TPcmFormat down = source;
        down.Channels = 1;
        TPcmConverter(source, down).Convert(data, frames, mono);
        data = mono.data();
        source = down;
    }
    std::vector<uint8_t> out;
    TPcmConverter converter(source, target);
    converter.Convert(data, frames, out);
    converter.Flush(out);
    return out;
}

// The sound as the decoder's echo canceller wants it: 8 kHz 16-bit mono samples.
std::vector<int16_t> ReferenceSamples(const WAVEFORMATEX& format, const uint8_t* data, size_t frames) {
    const TPcmFormat source{static_cast<int>(format.nSamplesPerSec), format.wBitsPerSample, format.nChannels};
    TPcmConverter converter(source, TPcmFormat{TPlaybackReference::Rate, 16, 1});
    std::vector<uint8_t> bytes;
    converter.Convert(data, frames, bytes);
    converter.Flush(bytes);
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = TPcmConverter::DecodeSample(&bytes[2 * i], 16);
    return samples;
}

} // namespace

std::string TAlsaSound::DefaultCaptureDevice() {
    return OrDefault(SoundSettings().Capture);
}
std::string TAlsaSound::DefaultPlaybackDevice() {
    return OrDefault(SoundSettings().Playback);
}

int32_t TAlsaSound::EnumerateCapture(TCaptureEnumCallback callback, void* context) {
    const TAlsaApi& api = Alsa();
    if (!callback(nullptr, "Primary Sound Capture Driver", "", context))
        return DS_OK;
    void** hints = nullptr;
    if (api.snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints)
        return DS_OK;
    for (void** hint = hints; *hint; ++hint) {
        char* name = api.snd_device_name_get_hint(*hint, "NAME");
        char* description = api.snd_device_name_get_hint(*hint, "DESC");
        char* io = api.snd_device_name_get_hint(*hint, "IOID");
        const bool capture = !io || std::strcmp(io, "Input") == 0;
        bool more = true;
        if (name && capture) {
            std::string text = description ? description : name;
            text = text.substr(0, text.find('\n')); // first line: the card's name
            const TDeviceGuid id = name;
            more = callback(&id, text.c_str(), name, context);
        }
        std::free(name);
        std::free(description);
        std::free(io);
        if (!more)
            break;
    }
    api.snd_device_name_free_hint(hints);
    return DS_OK;
}

int32_t TAlsaSound::CreateCapture(const TDeviceGuid* guid, std::unique_ptr<ISoundCapture>& capture) {
    const TAlsaApi& api = Alsa();
    capture.reset();
    const std::string name = guid ? *guid : DefaultCaptureDevice();
    TAlsaCaptureDevice& device = AlsaCaptureDevice(name);
    // The device must exist now, as a capture object is made for a present device; one that we
    // hold open for other streams plainly does.
    if (!device.IsOpen()) {
        snd_pcm_t* pcm = nullptr;
        if (api.snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0)
            return DSERR_NODRIVER;
        api.snd_pcm_close(pcm);
    }
    capture = std::make_unique<TAlsaCapture>(device);
    return DS_OK;
}

int32_t TAlsaSound::CheckPlayback(const WAVEFORMATEX& format) {
    try {
        WAVEFORMATEX actual{};
        snd_pcm_uframes_t period = 0;
        int error = 0;
        snd_pcm_t* pcm = OpenAlsaPcm(DefaultPlaybackDevice().c_str(), SND_PCM_STREAM_PLAYBACK, format, false,
                                     actual, period, error);
        if (!pcm)
            return OpenFailure(error);
        Alsa().snd_pcm_close(pcm);
        return MCIERR_NONE;
    } catch (const Exception&) {
        return MCIERR_SOUND_LIBRARY;
    }
}

int32_t TAlsaSound::Play(const WAVEFORMATEX& format, const void* data, uint32_t bytes,
                         const std::atomic<bool>& cancel) {
    try {
        const TAlsaApi& api = Alsa();
        WAVEFORMATEX device{};
        snd_pcm_uframes_t period = 0;
        int error = 0;
        // Never wait for a device another program holds: that is a failure the caller reports.
        snd_pcm_t* pcm = OpenAlsaPcm(DefaultPlaybackDevice().c_str(), SND_PCM_STREAM_PLAYBACK, format, false,
                                     device, period, error);
        if (!pcm)
            return OpenFailure(error);
        const auto* p = static_cast<const uint8_t*>(data);
        size_t total = format.nBlockAlign ? bytes / format.nBlockAlign : 0;
        TPlaybackReference* reference = PlaybackReference();
        std::vector<int16_t> heard;
        if (reference)
            heard = ReferenceSamples(format, p, total);
        size_t handedOver = 0;  // samples of heard given to the reference
        bool recovered = false; // the device ran dry and restarted: what follows is heard later
        std::vector<uint8_t> converted;
        if (!SamePcmFormat(device, format)) {
            converted = ConvertPcm(format, p, total, device);
            p = converted.data();
            total = converted.size() / device.nBlockAlign;
        }
        // Everything is bounded by the sound's length plus a generous margin: a device that
        // stops taking data must not hold the call forever.
        const auto length =
            std::chrono::milliseconds(static_cast<int64_t>(total) * 1000 / device.nSamplesPerSec);
        const auto deadline = Clock::now() + 2 * length + std::chrono::seconds(2);
        int32_t result = MCIERR_NONE;
        snd_pcm_uframes_t left = total;
        while (left > 0 && !cancel) {
            const snd_pcm_sframes_t n = api.snd_pcm_writei(pcm, p, std::min(left, period));
            if (n == -EAGAIN) {
                if (Clock::now() > deadline) {
                    result = MCIERR_PLAYBACK_FAILED;
                    break;
                }
                api.snd_pcm_wait(pcm, 100);
                continue;
            }
            if (n < 0) {
                if (api.snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) {
                    result = MCIERR_PLAYBACK_FAILED;
                    break;
                }
                recovered = true;
                continue;
            }
            p += static_cast<size_t>(n) * device.nBlockAlign;
            left -= static_cast<snd_pcm_uframes_t>(n);
            if (reference && total > 0) {
                // These frames are heard once what the device still holds before them has been;
                // only the first part's instant places the sound, the rest follows it exactly,
                // unless the device ran dry in between.
                snd_pcm_sframes_t queued = 0;
                if (api.snd_pcm_delay(pcm, &queued) < 0 || queued < n)
                    queued = n;
                const auto when = Clock::now() + std::chrono::microseconds(static_cast<int64_t>(queued - n) *
                                                                           1000000 / device.nSamplesPerSec);
                const size_t upTo = heard.size() * (total - left) / total;
                reference->Played(when,
                                  std::span<const int16_t>(heard.data() + handedOver, upTo - handedOver),
                                  handedOver > 0 && !recovered);
                handedOver = upTo;
                recovered = false;
            }
        }
        // A sound shorter than the start threshold has not started yet; one that cannot start
        // is a failure, not silence.
        if (result == MCIERR_NONE && !cancel && total > 0 &&
            api.snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED && api.snd_pcm_start(pcm) < 0)
            result = MCIERR_PLAYBACK_FAILED;
        // Drain: return once the sound has been heard, polling what is still queued, within the
        // same bound.
        while (result == MCIERR_NONE && !cancel) {
            const snd_pcm_state_t state = api.snd_pcm_state(pcm);
            snd_pcm_sframes_t queued = 0;
            if ((state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_DRAINING) ||
                api.snd_pcm_delay(pcm, &queued) < 0 || queued <= 0)
                break;
            if (Clock::now() > deadline) {
                result = MCIERR_PLAYBACK_FAILED;
                break;
            }
            const auto wait =
                std::chrono::microseconds(static_cast<int64_t>(queued) * 1000000 / device.nSamplesPerSec);
            std::this_thread::sleep_for(
                std::min<std::chrono::microseconds>(wait, std::chrono::milliseconds(20)));
        }
        if (cancel || result != MCIERR_NONE)
            api.snd_pcm_drop(pcm);
        else
            api.snd_pcm_drain(pcm); // non-blocking: hands over what plugins still hold
        api.snd_pcm_close(pcm);
        return result;
    } catch (const Exception&) {
        return MCIERR_SOUND_LIBRARY;
    }
}

TAlsaSound& AlsaSound() {
    static TAlsaSound backend;
    return backend;
}
