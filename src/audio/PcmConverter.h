// Streaming conversion between PCM formats (rate, width, channels). Used where audio of one
// format must reach a buffer of another: the simulated card's capture fan-out and playback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct TPcmFormat {
    int Rate = 8000;
    int Bits = 16;
    int Channels = 1;
    int FrameBytes() const { return Channels * (Bits / 8); }
    bool operator==(const TPcmFormat&) const = default;
};

// Samples go through 16-bit signed values: 8-bit and 16-bit data of equal rate and channel count
// come out bit-exact. Rate changes interpolate linearly; mono to stereo duplicates, stereo to
// mono averages.
class TPcmConverter {
public:
    TPcmConverter(const TPcmFormat& source, const TPcmFormat& target);

    // Converts whole frames of source data, appending to out.
    void Convert(const uint8_t* data, size_t frames, std::vector<uint8_t>& out);
    // Emits what a rate change still holds back (the last source frame) at the end of a sound.
    void Flush(std::vector<uint8_t>& out);

    const TPcmFormat& Source() const { return FSource; }
    const TPcmFormat& Target() const { return FTarget; }

    static int16_t DecodeSample(const uint8_t* p, int bits);
    static void EncodeSample(int16_t value, int bits, std::vector<uint8_t>& out);

private:
    void EmitFrame(const int16_t* frame, std::vector<uint8_t>& out);

    TPcmFormat FSource, FTarget;
    bool FHavePrevious = false;
    int16_t FPrevious[2] = {0, 0};
    int64_t FPhase = 0; // in units of 1/target rate of one source frame
};

// Silence of a PCM width: 0x80 for 8-bit (unsigned) data, 0 otherwise.
inline uint8_t SilenceByte(int bits) {
    return bits == 8 ? 0x80 : 0;
}
