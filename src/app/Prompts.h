// The six spoken prompts of a call, named once: the call flow plays them, the operator's "Play"
// button plays the first, and the self-check looks for all of them.
#pragma once

#include <array>

namespace Prompt {
inline constexpr const char* Welcome = "welcome.wav";
inline constexpr const char* Enter = "enter.wav";
inline constexpr const char* Message = "message.wav";
inline constexpr const char* Beep = "beep.wav";
inline constexpr const char* NotFound = "notfound.wav";
inline constexpr const char* Thank = "thank.wav";
inline constexpr std::array<const char*, 6> All = {Welcome, Enter, Message, Beep, NotFound, Thank};
} // namespace Prompt
