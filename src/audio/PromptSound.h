// The synchronous prompt call of the call flow.
#pragma once

#include <cstdint>

// Plays the WAV file soundName (relative to the current directory) and returns when it has been
// heard to its end. A name that cannot be found, or a file that is not a playable wave, plays
// the default sound instead and tells the prompt problem hook (PromptReader.h); nothing is raised. flags is 0
// for every call the program makes (synchronous, default sound on failure) and is otherwise ignored. True
// when the named file was played.
bool sndPlaySoundA(const char* soundName, uint32_t flags);
