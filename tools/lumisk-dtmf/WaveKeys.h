// Reads a PCM WAV file as the box's decoder hears it (8 kHz, 16-bit, mono) and finds its keys.
#pragma once

#include "decoder/DtmfDetector.h"

#include <cstdint>
#include <string>
#include <vector>

class TWaveKeys {
public:
    // Opens the file and converts its audio. Raises EFOpenError for a file that cannot be
    // opened, and EWaveStreamError for one that is no PCM WAV of 8 or 16 bits, one or two
    // channels.
    explicit TWaveKeys(const std::string& fileName);

    const std::vector<std::int16_t>& Samples() const { return FSamples; }
    int SourceRate() const { return FSourceRate; }
    int SourceBits() const { return FSourceBits; }
    int SourceChannels() const { return FSourceChannels; }

    // Feeds the audio through TPhoneToneDecoder in 1024-byte blocks, the last one padded with
    // silence, and returns the keys with their positions (in 8 kHz samples).
    std::vector<TDtmfKey> Decode() const;

private:
    std::vector<std::int16_t> FSamples;
    int FSourceRate = 0;
    int FSourceBits = 0;
    int FSourceChannels = 0;
};
