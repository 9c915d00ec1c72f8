// The caller's sounds: touch-tone keys, the spoken message, and WAV files of what was heard.
// All audio here is 8 kHz 16-bit signed mono, the simulated sound card's line format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using TSamples = std::vector<int16_t>;

constexpr int LineRate = 8000;

inline int MillisecondsOf(const TSamples& samples) {
    return static_cast<int>(static_cast<int64_t>(samples.size()) * 1000 / LineRate);
}

// Appends the two-tone signal of key ("0"-"9", "*", "#", "A"-"D") for ms milliseconds, with a
// short ramp at both ends so it starts and stops without a click. Throws std::runtime_error for
// any other character.
void AppendKey(TSamples& out, char key, int ms);
void AppendSilence(TSamples& out, int ms);
// A plain tone (not a key's pair of frequencies) with ramps.
void AppendTone(TSamples& out, double hz, int ms);

// What the line carries after the caller has hung up: the exchange's busy tone (480+620 Hz at
// 0.5/0.5 s), reorder (480+620 Hz at 0.25/0.25 s), the 425 Hz busy tone at 0.5/0.5 s, the 400 Hz
// one at 0.375/0.375 s, dial tone (350+440 Hz, continuous), or silence.
enum class THangupTail { None, Busy, Reorder, Busy425, Busy400, Dial, Silence };

// "busy", "reorder", "busy425", "busy400", "dial", "silence"; false for any other name.
bool HangupTailFromName(const std::string& name, THangupTail& tail);
const char* HangupTailName(THangupTail tail);
// Appends ms of the tail, phase from ms into it (so consecutive pieces continue the cadence), at
// about -20 dBFS a tone, as the exchange sends it.
void AppendHangupTail(TSamples& out, THangupTail tail, int fromMs, int ms);

// Reads a PCM WAV file of any rate, width and channel count as line audio. Throws
// std::runtime_error naming the file when it cannot be read.
TSamples ReadWaveAsLine(const std::string& fileName);
// Writes line audio as a PCM WAV file.
void WriteLineWave(const std::string& fileName, const TSamples& samples);

// Text spoken by espeak-ng, as line audio; false when espeak-ng is not installed or fails.
bool SpeakText(const std::string& text, TSamples& out);
