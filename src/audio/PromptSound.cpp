#include "audio/PromptSound.h"

#include "audio/SoundService.h"
#include "audio/WaveSound.h"

bool sndPlaySoundA(const char* soundName, uint32_t) {
    TWaveSound sound;
    const bool found = soundName && LoadWaveSound(soundName, sound) == MCIERR_NONE;
    const TWaveSound& played = found ? sound : DefaultSound();
    const std::atomic<bool> never{false};
    const int32_t result = SoundBackend().Play(played.Format, played.Data.data(),
                                               static_cast<uint32_t>(played.Data.size()), never);
    return found && result == MCIERR_NONE;
}
