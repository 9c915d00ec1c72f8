#include "audio/SoundService.h"

#include "audio/AlsaSound.h"
#include "audio/SimSoundCard.h"

#include <cstdlib>
#include <cstring>

namespace {
ISoundBackend*& Override() {
    static ISoundBackend* backend = nullptr;
    return backend;
}
} // namespace

ISoundBackend& SoundBackend() {
    if (Override())
        return *Override();
    const char* driver = std::getenv("LUMISK_SOUND");
    if (driver && std::strcmp(driver, "sim") == 0)
        return SimSoundCard();
    return AlsaSound();
}

void SetSoundBackend(ISoundBackend* backend) {
    Override() = backend;
}
