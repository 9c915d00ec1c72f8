#include "audio/AlsaSound.h"

#include "audio/DynamicLibrary.h"
#include "audio/LoopBuffer.h"

#include <algorithm>
#include <alsa/asoundlib.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

const char* const AlsaLibrary = "libasound.so.2";

// The functions we use, looked up once; a missing one raises "%s not loaded".
struct TAlsaApi {
#define ALSA_FN(name)                                                                                        \
    decltype(&::name) name = reinterpret_cast<decltype(&::name)>(LoadDllFunction(AlsaLibrary, #name))
    ALSA_FN(snd_pcm_open);
    ALSA_FN(snd_pcm_close);
    ALSA_FN(snd_pcm_hw_params_malloc);
    ALSA_FN(snd_pcm_hw_params_free);
    ALSA_FN(snd_pcm_hw_params_any);
    ALSA_FN(snd_pcm_hw_params_set_access);
    ALSA_FN(snd_pcm_hw_params_set_format);
    ALSA_FN(snd_pcm_hw_params_set_channels);
    ALSA_FN(snd_pcm_hw_params_set_rate);
    ALSA_FN(snd_pcm_hw_params_set_rate_resample);
    ALSA_FN(snd_pcm_hw_params_set_period_time_near);
    ALSA_FN(snd_pcm_hw_params_set_buffer_time_near);
    ALSA_FN(snd_pcm_hw_params_get_period_size);
    ALSA_FN(snd_pcm_hw_params);
    ALSA_FN(snd_pcm_start);
    ALSA_FN(snd_pcm_drop);
    ALSA_FN(snd_pcm_drain);
    ALSA_FN(snd_pcm_wait);
    ALSA_FN(snd_pcm_readi);
    ALSA_FN(snd_pcm_writei);
    ALSA_FN(snd_pcm_recover);
    ALSA_FN(snd_pcm_nonblock);
    ALSA_FN(snd_device_name_hint);
    ALSA_FN(snd_device_name_get_hint);
    ALSA_FN(snd_device_name_free_hint);
    ALSA_FN(snd_lib_error_set_handler);
#undef ALSA_FN
};

// ALSA prints every failed open to stderr; our callers report failures themselves.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

const TAlsaApi& Alsa() {
    static const TAlsaApi api = [] {
        TAlsaApi loaded; // a failed lookup throws and is retried on the next call
        loaded.snd_lib_error_set_handler(QuietAlsaErrors);
        return loaded;
    }();
    return api;
}

std::string EnvOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

snd_pcm_format_t AlsaFormat(int bits) {
    switch (bits) {
    case 8:
        return SND_PCM_FORMAT_U8;
    case 16:
        return SND_PCM_FORMAT_S16_LE;
    case 24:
        return SND_PCM_FORMAT_S24_3LE;
    case 32:
        return SND_PCM_FORMAT_S32_LE;
    default:
        return SND_PCM_FORMAT_UNKNOWN;
    }
}

// Opens a PCM and installs exactly the wave format (no rate or width that the device only
// approximates). Returns null when the device refuses.
snd_pcm_t* OpenPcm(const std::string& device, snd_pcm_stream_t direction, const WAVEFORMATEX& f, int mode,
                   snd_pcm_uframes_t* periodFrames) {
    const TAlsaApi& api = Alsa();
    const snd_pcm_format_t format = AlsaFormat(f.wBitsPerSample);
    if (f.wFormatTag != WAVE_FORMAT_PCM || format == SND_PCM_FORMAT_UNKNOWN || f.nChannels < 1 ||
        f.nSamplesPerSec == 0)
        return nullptr;
    snd_pcm_t* pcm = nullptr;
    if (api.snd_pcm_open(&pcm, device.c_str(), direction, mode) < 0)
        return nullptr;
    snd_pcm_hw_params_t* params = nullptr;
    bool ok = api.snd_pcm_hw_params_malloc(&params) == 0;
    ok = ok && api.snd_pcm_hw_params_any(pcm, params) >= 0;
    ok = ok && api.snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) == 0;
    ok = ok && api.snd_pcm_hw_params_set_format(pcm, params, format) == 0;
    ok = ok && api.snd_pcm_hw_params_set_channels(pcm, params, f.nChannels) == 0;
    ok = ok && api.snd_pcm_hw_params_set_rate(pcm, params, f.nSamplesPerSec, 0) == 0;
    if (ok) {
        unsigned periodUs = 20000, bufferUs = 200000;
        int dir = 0;
        api.snd_pcm_hw_params_set_period_time_near(pcm, params, &periodUs, &dir);
        api.snd_pcm_hw_params_set_buffer_time_near(pcm, params, &bufferUs, &dir);
        ok = api.snd_pcm_hw_params(pcm, params) == 0;
        snd_pcm_uframes_t period = 0;
        if (ok && periodFrames) {
            api.snd_pcm_hw_params_get_period_size(params, &period, &dir);
            *periodFrames = std::max<snd_pcm_uframes_t>(period, 32);
        }
    }
    if (params)
        api.snd_pcm_hw_params_free(params);
    if (!ok) {
        api.snd_pcm_close(pcm);
        return nullptr;
    }
    return pcm;
}

// A looping buffer filled by a device thread that reads the PCM.
class TAlsaCaptureBuffer : public TLoopBuffer {
public:
    TAlsaCaptureBuffer(snd_pcm_t* pcm, const WAVEFORMATEX& format, uint32_t bytes, snd_pcm_uframes_t period)
        : TLoopBuffer(bytes), FPcm(pcm), FFormat(format), FPeriod(period) {}
    ~TAlsaCaptureBuffer() override {
        Stop();
        Alsa().snd_pcm_close(FPcm);
    }

    int32_t Start(uint32_t) override {
        if (FThread.joinable())
            return DS_OK;
        FStop = false;
        if (Alsa().snd_pcm_start(FPcm) < 0)
            return DSERR_GENERIC;
        FThread = std::thread(&TAlsaCaptureBuffer::Run, this);
        return DS_OK;
    }

    int32_t Stop() override {
        if (FThread.joinable()) {
            FStop = true;
            FThread.join();
            Alsa().snd_pcm_drop(FPcm);
        }
        return DS_OK;
    }

private:
    void Run() {
        const TAlsaApi& api = Alsa();
        const auto start = std::chrono::steady_clock::now();
        const int64_t rate = FFormat.nSamplesPerSec;
        int64_t frames = 0;
        std::vector<uint8_t> chunk(FPeriod * FFormat.nBlockAlign);
        while (!FStop) {
            // A device that delivers faster than real time (ALSA's null and file plugins) would
            // lap the reader at once; hold it to the wall clock, with room for a fast card.
            const int64_t elapsedUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count();
            const int64_t allowed = rate + elapsedUs * rate / 1000000 * 101 / 100;
            if (frames >= allowed) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            const int ready = api.snd_pcm_wait(FPcm, 50);
            if (ready == 0)
                continue;
            const snd_pcm_sframes_t n = ready < 0 ? ready : api.snd_pcm_readi(FPcm, chunk.data(), FPeriod);
            if (n == -EAGAIN)
                continue;
            if (n < 0) {
                // Overrun or suspend: recover; a device that is gone is waited on, not spun on.
                if (api.snd_pcm_recover(FPcm, static_cast<int>(n), 1) < 0 || api.snd_pcm_start(FPcm) < 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            Append(chunk.data(), static_cast<size_t>(n) * FFormat.nBlockAlign);
            frames += n;
        }
    }

    snd_pcm_t* FPcm;
    WAVEFORMATEX FFormat;
    snd_pcm_uframes_t FPeriod;
    std::thread FThread;
    std::atomic<bool> FStop{false};
};

class TAlsaCapture : public ISoundCapture {
public:
    explicit TAlsaCapture(std::string device) : FDevice(std::move(device)) {}
    int32_t CreateCaptureBuffer(const DSCBUFFERDESC& description,
                                std::unique_ptr<ISoundCaptureBuffer>& buffer) override {
        buffer.reset();
        if (!description.lpwfxFormat || description.dwBufferBytes == 0)
            return DSERR_INVALIDPARAM;
        snd_pcm_uframes_t period = 0;
        snd_pcm_t* pcm =
            OpenPcm(FDevice, SND_PCM_STREAM_CAPTURE, *description.lpwfxFormat, SND_PCM_NONBLOCK, &period);
        if (!pcm)
            return DSERR_BADFORMAT;
        buffer = std::make_unique<TAlsaCaptureBuffer>(pcm, *description.lpwfxFormat,
                                                      description.dwBufferBytes, period);
        return DS_OK;
    }

private:
    std::string FDevice;
};

} // namespace

std::string TAlsaSound::DefaultCaptureDevice() {
    return EnvOr("LUMISK_ALSA_CAPTURE", "default");
}
std::string TAlsaSound::DefaultPlaybackDevice() {
    return EnvOr("LUMISK_ALSA_PLAYBACK", "default");
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
    const std::string device = guid ? *guid : DefaultCaptureDevice();
    // The device must exist now, as a capture object is made for a present device.
    snd_pcm_t* pcm = nullptr;
    if (api.snd_pcm_open(&pcm, device.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0)
        return DSERR_NODRIVER;
    api.snd_pcm_close(pcm);
    capture = std::make_unique<TAlsaCapture>(device);
    return DS_OK;
}

int32_t TAlsaSound::CheckPlayback(const WAVEFORMATEX& format) {
    try {
        snd_pcm_t* pcm =
            OpenPcm(DefaultPlaybackDevice(), SND_PCM_STREAM_PLAYBACK, format, SND_PCM_NONBLOCK, nullptr);
        if (!pcm)
            return MCIERR_NO_PLAYBACK_DEVICE;
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
        snd_pcm_uframes_t period = 0;
        snd_pcm_t* pcm = OpenPcm(DefaultPlaybackDevice(), SND_PCM_STREAM_PLAYBACK, format, 0, &period);
        if (!pcm)
            return MCIERR_NO_PLAYBACK_DEVICE;
        const auto* p = static_cast<const uint8_t*>(data);
        snd_pcm_uframes_t left = bytes / format.nBlockAlign;
        int32_t result = MCIERR_NONE;
        while (left > 0 && !cancel) {
            const snd_pcm_sframes_t n = api.snd_pcm_writei(pcm, p, std::min(left, period));
            if (n < 0) {
                if (api.snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) {
                    result = MCIERR_PLAYBACK_FAILED;
                    break;
                }
                continue;
            }
            p += static_cast<size_t>(n) * format.nBlockAlign;
            left -= static_cast<snd_pcm_uframes_t>(n);
        }
        // Drain so that the call returns after the sound has been heard.
        if (cancel || result != MCIERR_NONE)
            api.snd_pcm_drop(pcm);
        else
            api.snd_pcm_drain(pcm);
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
