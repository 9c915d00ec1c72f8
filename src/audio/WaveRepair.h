// Mending recordings after the fact: the header of a file whose writer never completed it (a
// crash, a power cut), and cutting a finished recording's tail.
#pragma once

#include "audio/Wave.h"

#include <cstdint>
#include <string>

// Sets the RIFF and data size fields of one of our PCM recordings (RIFF WAVE, a PCM "fmt "
// chunk, the data chunk last) to the whole sample frames on disk, drops a partial last frame,
// and makes the file durable. Returns the seconds of audio it holds. A file that is not such a
// recording raises EWaveStreamError "Cannot repair PATH: REASON" and is left as it was.
double RepairWaveFile(const std::string& path);

// Cuts a finished recording's audio to dataBytes (rounded down to whole frames; more than the
// file holds keeps all of it) and fixes both size fields. Returns the audio bytes kept. Errors
// as RepairWaveFile, with "Cannot truncate".
int64_t TruncateWaveFile(const std::string& path, int64_t dataBytes);
