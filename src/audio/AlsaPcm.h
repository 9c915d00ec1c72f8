// The part of libasound the ALSA backend uses, loaded at run time from "libasound.so.2", and
// opening a PCM for a wave format.
#pragma once

#include "audio/Wave.h"

#include <alsa/asoundlib.h>

// The functions we use, looked up once; a missing one raises "%s not loaded" (and is retried on
// the next call).
struct TAlsaApi {
    TAlsaApi();
#define ALSA_FN(name) decltype(&::name) name
    ALSA_FN(snd_pcm_open);
    ALSA_FN(snd_pcm_close);
    ALSA_FN(snd_pcm_hw_params_malloc);
    ALSA_FN(snd_pcm_hw_params_free);
    ALSA_FN(snd_pcm_hw_params_any);
    ALSA_FN(snd_pcm_hw_params_set_access);
    ALSA_FN(snd_pcm_hw_params_set_format);
    ALSA_FN(snd_pcm_hw_params_test_format);
    ALSA_FN(snd_pcm_hw_params_set_channels);
    ALSA_FN(snd_pcm_hw_params_set_channels_near);
    ALSA_FN(snd_pcm_hw_params_set_rate);
    ALSA_FN(snd_pcm_hw_params_set_rate_near);
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
    ALSA_FN(snd_pcm_delay);
    ALSA_FN(snd_pcm_state);
    ALSA_FN(snd_device_name_hint);
    ALSA_FN(snd_device_name_get_hint);
    ALSA_FN(snd_device_name_free_hint);
    ALSA_FN(snd_lib_error_set_handler);
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
