#include "audio/SoundService.h"

#include "audio/AlsaSound.h"
#include "audio/SimSoundCard.h"

#include <mutex>

namespace {
ISoundBackend*& Override() {
    static ISoundBackend* backend = nullptr;
    return backend;
}

std::mutex& SettingsLock() {
    static std::mutex lock;
    return lock;
}

TSoundSettings& Settings() {
    static TSoundSettings settings;
    return settings;
}

} // namespace

void SetSoundSettings(const TSoundSettings& settings) {
    std::lock_guard<std::mutex> hold(SettingsLock());
    Settings() = settings;
}

TSoundSettings SoundSettings() {
    std::lock_guard<std::mutex> hold(SettingsLock());
    return Settings();
}

ISoundBackend& SoundBackend() {
    if (Override())
        return *Override();
    if (SoundSettings().Driver == "sim")
        return SimSoundCard();
    return AlsaSound();
}

void SetSoundBackend(ISoundBackend* backend) {
    Override() = backend;
}
