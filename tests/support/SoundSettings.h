// The sound settings a test runs with, changed one at a time as a program's lumisk.conf would set
// them.
#pragma once

#include "audio/SoundService.h"

#include <string>

inline void SetSoundDriver(const std::string& driver) {
    TSoundSettings settings = SoundSettings();
    settings.Driver = driver;
    SetSoundSettings(settings);
}

// The simulated card's caller audio ("": silence) and the file it plays into ("": nowhere).
inline void SetSimCapture(const std::string& source) {
    TSoundSettings settings = SoundSettings();
    settings.Capture = source;
    SetSoundSettings(settings);
}

inline void SetSimPlayback(const std::string& output) {
    TSoundSettings settings = SoundSettings();
    settings.Playback = output;
    SetSoundSettings(settings);
}
