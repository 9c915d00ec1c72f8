#include "audio/AlsaPcm.h"

#include "audio/DynamicLibrary.h"

#include <algorithm>
#include <cerrno>

namespace {

const char* const AlsaLibrary = "libasound.so.2";

// ALSA prints every failed open to stderr; our callers report failures themselves.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

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

} // namespace

TAlsaApi::TAlsaApi() {
#define ALSA_FN(name) name = reinterpret_cast<decltype(&::name)>(LoadDllFunction(AlsaLibrary, #name));
    LUMISK_ALSA_FUNCTIONS(ALSA_FN)
#undef ALSA_FN
}

const TAlsaApi& Alsa() {
    static const TAlsaApi api = [] {
        TAlsaApi loaded; // a failed lookup throws and is retried on the next call
        loaded.snd_lib_error_set_handler(QuietAlsaErrors);
        return loaded;
    }();
    return api;
}

bool SamePcmFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
    return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels &&
           a.nSamplesPerSec == b.nSamplesPerSec && a.wBitsPerSample == b.wBitsPerSample;
}

snd_pcm_t* OpenAlsaPcm(const char* device, snd_pcm_stream_t direction, const WAVEFORMATEX& f, bool exact,
                       WAVEFORMATEX& actual, snd_pcm_uframes_t& periodFrames, int& error) {
    const TAlsaApi& api = Alsa();
    error = -EINVAL;
    const snd_pcm_format_t format = AlsaFormat(f.wBitsPerSample);
    if (f.wFormatTag != WAVE_FORMAT_PCM || format == SND_PCM_FORMAT_UNKNOWN || f.nChannels < 1 ||
        f.nSamplesPerSec == 0)
        return nullptr;
    snd_pcm_t* pcm = nullptr;
    error = api.snd_pcm_open(&pcm, device, direction, SND_PCM_NONBLOCK);
    if (error < 0)
        return nullptr;
    snd_pcm_hw_params_t* params = nullptr;
    bool ok = api.snd_pcm_hw_params_malloc(&params) == 0;
    ok = ok && api.snd_pcm_hw_params_any(pcm, params) >= 0;
    ok = ok && api.snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) == 0;
    int bits = f.wBitsPerSample;
    unsigned channels = f.nChannels, rate = f.nSamplesPerSec;
    if (ok && exact) {
        ok = api.snd_pcm_hw_params_set_format(pcm, params, format) == 0 &&
             api.snd_pcm_hw_params_set_channels(pcm, params, channels) == 0 &&
             api.snd_pcm_hw_params_set_rate(pcm, params, rate, 0) == 0;
    } else if (ok) {
        if (api.snd_pcm_hw_params_test_format(pcm, params, format) != 0) {
            bits = 0;
            for (int candidate : {16, 32, 24, 8})
                if (api.snd_pcm_hw_params_test_format(pcm, params, AlsaFormat(candidate)) == 0) {
                    bits = candidate;
                    break;
                }
        }
        int dir = 0;
        ok = bits != 0 && api.snd_pcm_hw_params_set_format(pcm, params, AlsaFormat(bits)) == 0 &&
             api.snd_pcm_hw_params_set_channels_near(pcm, params, &channels) == 0 &&
             api.snd_pcm_hw_params_set_rate_near(pcm, params, &rate, &dir) == 0;
    }
    if (ok) {
        unsigned periodUs = 20000, bufferUs = 200000;
        int dir = 0;
        api.snd_pcm_hw_params_set_period_time_near(pcm, params, &periodUs, &dir);
        api.snd_pcm_hw_params_set_buffer_time_near(pcm, params, &bufferUs, &dir);
        ok = api.snd_pcm_hw_params(pcm, params) == 0;
        snd_pcm_uframes_t period = 0;
        if (ok) {
            api.snd_pcm_hw_params_get_period_size(params, &period, &dir);
            periodFrames = std::max<snd_pcm_uframes_t>(period, 32);
        }
    }
    if (params)
        api.snd_pcm_hw_params_free(params);
    if (!ok) {
        api.snd_pcm_close(pcm);
        error = -EINVAL;
        return nullptr;
    }
    FillPcmFormat(actual, static_cast<int>(rate), bits, static_cast<int>(channels));
    error = 0;
    return pcm;
}
