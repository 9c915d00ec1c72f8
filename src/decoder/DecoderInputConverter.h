// Turns captured PCM of any common format into what the DTMF detector takes: 8000 Hz, 16-bit,
// mono. Streaming: blocks of any length continue one another (a frame split between blocks waits
// for the rest), and the filter's history is kept across blocks, so where the borders fall never
// changes a sample of the output.
//
// - Widths: 8-bit unsigned, 16-, 24- and 32-bit signed little-endian integers. Channels: 1 or 2;
//   stereo is mixed to mono by averaging.
// - 8000 Hz passes unfiltered (16-bit mono bit-exact). Any other rate is resampled by a
//   Blackman-windowed sinc low-pass evaluated at each output instant (a polyphase filter, one
//   phase per distinct fraction of the input period): 3 ms long, flat to about 2 kHz and at least
//   70 dB down from 4 kHz, so nothing above the new band folds into the DTMF tones. Rates below
//   8000 Hz get a longer filter with its edge below half their own rate.
// - Output sample n lies at the input instant n / 8000 s: key positions need no correction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class TDecoderInputConverter {
public:
    static constexpr int OutputRate = 8000;

    // Raises Exception for a format it cannot take (rate outside 1000..384000 Hz, other widths
    // or channel counts).
    TDecoderInputConverter(int sampleRate = 8000, int bitsPerSample = 16, int channels = 1);

    int SampleRate() const { return FRate; }
    int BitsPerSample() const { return FBits; }
    int Channels() const { return FChannels; }

    // Forgets everything heard: the split frame, the filter's history and its timing.
    void Reset();
    // Converts bytes of captured audio and appends the 8 kHz samples they complete to out.
    void Convert(std::span<const std::uint8_t> bytes, std::vector<std::int16_t>& out);

private:
    float DecodeFrame(const std::uint8_t* frame) const;
    void ConvertFrames(const std::uint8_t* data, std::size_t frames, std::vector<std::int16_t>& out);
    void Resample(std::vector<std::int16_t>& out);

    int FRate, FBits, FChannels;
    int FFrameBytes;

    std::uint8_t FSplit[8] = {};
    int FSplitCount = 0;

    // Resampling: output n uses the input samples centred on n * FStep / FSteps, with the phase
    // table row for the fraction (FSteps phases, or PhaseSteps when they would be too many).
    int FStep = 0;  // input rate / gcd(rates)
    int FSteps = 1; // output rate / gcd(rates)
    int FTableRows = 0;
    int FHalf = 0;   // taps on either side of the centre
    int FStride = 0; // taps per row, padded for vector loads
    std::vector<float> FTable;
    std::vector<float> FHistory; // input from absolute index FHistoryStart on
    std::int64_t FHistoryStart = 0;
    std::int64_t FIndex = 0;    // input index at or before the next output instant
    std::int64_t FFraction = 0; // the remaining part, in 1 / FSteps of an input period
};
