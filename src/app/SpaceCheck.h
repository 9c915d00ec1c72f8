// Room for one more message: a full work folder is named before a call needs it.
#pragma once

#include <cstdint>
#include <string>

// The bytes of one message at the time limit (seconds; 0, no limit, counts as the longest the
// window allows) in a format of bytesPerSecond, with its header.
uint64_t MessageBytes(int timeLimitSeconds, int bytesPerSecond);
// The most a recording can take a second: the recorder offers up to 22050 Hz 16-bit stereo.
constexpr int LargestBytesPerSecond = 22050 * 2 * 2;

// Empty when folder has room for needed bytes; otherwise what to tell the operator ("only N
// bytes free in FOLDER, one message needs M"), or why the room could not be read.
std::string FreeSpaceWarning(const std::string& folder, uint64_t needed);
