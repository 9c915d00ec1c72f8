// Reading prompt files for playback. Prompts come from many tools: PCM of any common width,
// G.711 A-law and mu-law, IEEE float, WAVE_FORMAT_EXTENSIBLE, any rate and channel count, and
// data chunks whose size disagrees with the file. All of it is decoded here to 16-bit PCM at the
// file's rate, mono or stereo, which every playback device path converts from.
//
// The recorder's own files are written by TWaveStream (Wave.h); this reader only reads.
#pragma once

#include "audio/G711.h"
#include "audio/WaveSound.h"

#include <cstdint>
#include <functional>
#include <string>

// Format tags beyond PCM that prompts use.
constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr uint16_t WAVE_FORMAT_ALAW = 6;
constexpr uint16_t WAVE_FORMAT_MULAW = 7;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// Reads and decodes fileName (relative names from the current directory). Returns MCIERR_NONE,
// MCIERR_FILE_NOT_FOUND or MCIERR_INVALID_FILE; on failure reason says why in a few words
// ("no data chunk", "encoding 2 is not supported", ...). A data chunk that claims more bytes
// than the file holds gives what is there.
int32_t ReadPromptFile(const std::string& fileName, TWaveSound& sound, std::string& reason);

// Whether a prompt can be played now: read as above and, when checkDevice is set, accepted by
// the sound backend's playback device. Empty when it can, else the reason. For self-checks.
std::string PromptProblem(const std::string& fileName, bool checkDevice);

// Told once per file when a prompt cannot be played and the built-in tone plays instead; told
// again only after the file has played once in between. Called on the playing thread. The
// audio layer has no log of its own: the program wires this to its event line and stderr.
using TPromptProblemHook = std::function<void(const std::string& fileName, const std::string& reason)>;
// Installs the hook (null: none) and forgets which files were reported.
void SetPromptProblemHook(TPromptProblemHook hook);
// Reports a prompt problem through the hook, once per file as described above.
void ReportPromptProblem(const std::string& fileName, const std::string& reason);
// The file played: a later problem with it is reported again.
void ForgetPromptProblem(const std::string& fileName);
