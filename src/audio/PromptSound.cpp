#include "audio/PromptSound.h"

#include "audio/MciDevice.h"
#include "audio/PromptReader.h"
#include "audio/SoundService.h"
#include "audio/WaveSound.h"

#include <string>

namespace {
int32_t PlaySound(const TWaveSound& sound) {
    const std::atomic<bool> never{false};
    return SoundBackend().Play(sound.Format, sound.Data.data(), static_cast<uint32_t>(sound.Data.size()),
                               never);
}
} // namespace

bool sndPlaySoundA(const char* soundName, uint32_t) {
    const std::string name = soundName ? soundName : "";
    TWaveSound sound;
    std::string reason;
    if (ReadPromptFile(name, sound, reason) == MCIERR_NONE) {
        const int32_t result = PlaySound(sound);
        if (result == MCIERR_NONE) {
            ForgetPromptProblem(name);
            return true;
        }
        if (!mciGetErrorString(result, reason))
            reason = "sound device error " + std::to_string(result);
    }
    // The call goes on with the default sound; whoever listens is told once per file.
    ReportPromptProblem(name, reason);
    PlaySound(DefaultSound());
    return false;
}
