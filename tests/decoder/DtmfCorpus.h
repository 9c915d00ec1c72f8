// The receiver's test material, generated the same way on every run: tone cases on both sides
// of each accept/reject limit, and talk-off material (speech, chords, sweeps) made with
// espeak-ng and sox. Shared by the decoder tests and the benchmark against the peer receiver.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TDtmfCase {
    std::string Category; // cases of a category are judged together
    std::string Name;
    std::vector<std::int16_t> Pcm;
    std::string Expected; // the keys a good receiver hears; empty for a tone it must reject
};

// Every key at several levels; 40 ms and 23 ms tones; frequencies off by 1.5% and 3.5%;
// +4 dB and -8 dB twist; 12 dB signal-to-noise; presses of a key 40 ms apart.
std::vector<TDtmfCase> BuildToneCorpus(std::uint32_t seed);

// Talk-off material with no DTMF in it, made in folder (which must exist): speech in several
// voices (clean, and mixed with noise), musical chords and frequency sweeps; and, as category
// "keys amid speech", keys pressed into the speech with no pause around them. Returns false with
// a reason when espeak-ng or sox is missing. speechMinutes sets how much speech to make.
bool BuildTalkOffCorpus(const std::string& folder, double speechMinutes, std::uint32_t seed,
                        std::vector<TDtmfCase>& cases, std::string& reason);

// Runs a command line through the shell; false when it does not exit with 0.
bool RunCommand(const std::string& command);
// Reads a raw 8 kHz 16-bit mono little-endian file.
std::vector<std::int16_t> ReadRawPcm(const std::string& fileName);

// One receiver under test: takes the whole signal, returns the keys it heard in order.
using TDtmfReceiverRun = std::function<std::string(const std::vector<std::int16_t>& pcm)>;
