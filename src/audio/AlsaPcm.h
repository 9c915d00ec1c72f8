// The part of libasound the ALSA backend uses, loaded at run time from "libasound.so.2", and
// opening a PCM for a wave format.
#pragma once

#include "audio/Wave.h"

#include <alsa/asoundlib.h>

// Every libasound function the backends call, each named once.
#define LUMISK_ALSA_FUNCTIONS(X)                                                                             \
    X(snd_pcm_open)                                                                                          \
    X(snd_pcm_close)                                                                                         \
    X(snd_pcm_hw_params_malloc)                                                                              \
    X(snd_pcm_hw_params_free)                                                                                \
    X(snd_pcm_hw_params_any)                                                                                 \
    X(snd_pcm_hw_params_set_access)                                                                          \
    X(snd_pcm_hw_params_set_format)                                                                          \
    X(snd_pcm_hw_params_test_format)                                                                         \
    X(snd_pcm_hw_params_set_channels)                                                                        \
    X(snd_pcm_hw_params_set_channels_near)                                                                   \
    X(snd_pcm_hw_params_set_rate)                                                                            \
    X(snd_pcm_hw_params_set_rate_near)                                                                       \
    X(snd_pcm_hw_params_set_period_time_near)                                                                \
    X(snd_pcm_hw_params_set_buffer_time_near)                                                                \
    X(snd_pcm_hw_params_get_period_size)                                                                     \
    X(snd_pcm_hw_params)                                                                                     \
    X(snd_pcm_start)                                                                                         \
    X(snd_pcm_drop)                                                                                          \
    X(snd_pcm_drain)                                                                                         \
    X(snd_pcm_wait)                                                                                          \
    X(snd_pcm_readi)                                                                                         \
    X(snd_pcm_writei)                                                                                        \
    X(snd_pcm_recover)                                                                                       \
    X(snd_pcm_delay)                                                                                         \
    X(snd_pcm_state)                                                                                         \
    X(snd_device_name_hint)                                                                                  \
    X(snd_device_name_get_hint)                                                                              \
    X(snd_device_name_free_hint)                                                                             \
    X(snd_lib_error_set_handler)

// The functions we use, looked up once; a missing one raises "%s not loaded" (and is retried on
// the next call).
struct TAlsaApi {
    TAlsaApi();
#define ALSA_FN(name) decltype(&::name) name;
    LUMISK_ALSA_FUNCTIONS(ALSA_FN)
#undef ALSA_FN
};

const TAlsaApi& Alsa();

// Opens device without blocking (a device in use is an error, not a wait) and installs a PCM
// format. With exact set, only the given format will do. Otherwise the given one is preferred
// and the device's nearest is taken when it lacks it (16-bit, then 32, 24, 8 bits; the nearest
// channel count and rate); actual receives what was installed. Returns null when the device
// refuses; error then holds the negative errno of the failure (-EBUSY: in use).
snd_pcm_t* OpenAlsaPcm(const char* device, snd_pcm_stream_t direction, const WAVEFORMATEX& wanted, bool exact,
                       WAVEFORMATEX& actual, snd_pcm_uframes_t& periodFrames, int& error);

// Whether two PCM formats describe the same samples.
bool SamePcmFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b);
