// A whole sound in memory, as playback takes it: a WAV file checked for being playable, or the
// built-in default sound.
#pragma once

#include "audio/Wave.h"

#include <cstdint>
#include <string>
#include <vector>

struct TWaveSound {
    WAVEFORMATEX Format{};
    std::vector<uint8_t> Data;
    // Length in milliseconds.
    int64_t Milliseconds() const;
};

// Whether playback can take the format: PCM, 1 or 2 channels, 8/16/24/32 bits, a sane rate.
bool IsPlayablePcm(const WAVEFORMATEX& format);

// Loads a WAV file for playback (a relative name is taken from the current directory), decoded
// to 16-bit PCM as ReadPromptFile (PromptReader.h) does. Returns MCIERR_NONE,
// MCIERR_FILE_NOT_FOUND, or MCIERR_INVALID_FILE for a file that holds no playable wave.
int32_t LoadWaveSound(const std::string& fileName, TWaveSound& sound);

// A short tone made in code: what plays when a prompt cannot be found.
const TWaveSound& DefaultSound();
