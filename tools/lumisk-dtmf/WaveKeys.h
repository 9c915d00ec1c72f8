// Reads a PCM WAV file as the box's decoder hears it and finds its keys: the file's audio goes
// block by block through TPhoneToneDecoder, which converts it to 8 kHz 16-bit mono, so memory
// stays the same whatever the file's length and time grows with it linearly.
#pragma once

#include "decoder/DtmfDetector.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TWaveFileStream;

class TWaveKeys {
public:
    // Opens the file and reads its header. Raises EFOpenError for a file that cannot be opened,
    // and EWaveStreamError for one that is no PCM WAV of 8 to 32 bits, one or two channels.
    explicit TWaveKeys(const std::string& fileName);
    ~TWaveKeys();

    int SourceRate() const { return FSourceRate; }
    int SourceBits() const { return FSourceBits; }
    int SourceChannels() const { return FSourceChannels; }
    // Length of the file's audio.
    double Seconds() const;

    // Feeds the audio through TPhoneToneDecoder, then a second of silence that releases a key
    // held to the very end, and returns the keys with their positions (in 8 kHz samples).
    std::vector<TDtmfKey> Decode();

private:
    std::unique_ptr<TWaveFileStream> FWave;
    int FSourceRate = 0;
    int FSourceBits = 0;
    int FSourceChannels = 0;
};
