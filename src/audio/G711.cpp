#include "audio/G711.h"

int16_t DecodeALaw(uint8_t value) {
    value ^= 0x55;
    const int exponent = (value >> 4) & 0x07;
    int magnitude = (value & 0x0F) << 4;
    magnitude += exponent == 0 ? 8 : 0x108;
    if (exponent > 1)
        magnitude <<= exponent - 1;
    return static_cast<int16_t>((value & 0x80) ? magnitude : -magnitude);
}

int16_t DecodeMuLaw(uint8_t value) {
    value = static_cast<uint8_t>(~value);
    const int exponent = (value >> 4) & 0x07;
    const int magnitude = ((((value & 0x0F) << 3) + 0x84) << exponent) - 0x84;
    return static_cast<int16_t>((value & 0x80) ? -magnitude : magnitude);
}

uint8_t EncodeMuLaw(int16_t sample) {
    constexpr int Bias = 0x84, Clip = 32635;
    int magnitude = sample;
    const int sign = magnitude < 0 ? 0x80 : 0;
    if (magnitude < 0)
        magnitude = -magnitude;
    if (magnitude > Clip)
        magnitude = Clip;
    magnitude += Bias;
    int exponent = 7;
    for (int mask = 0x4000; (magnitude & mask) == 0 && exponent > 0; mask >>= 1)
        --exponent;
    const int mantissa = (magnitude >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

uint8_t EncodeALaw(int16_t sample) {
    int magnitude = sample;
    // A-law's sign bit is set for positive samples.
    const int sign = magnitude >= 0 ? 0x80 : 0;
    if (magnitude < 0)
        magnitude = -magnitude - 1;
    if (magnitude > 32767)
        magnitude = 32767;
    int exponent = 7;
    for (int mask = 0x4000; (magnitude & mask) == 0 && exponent > 0; mask >>= 1)
        --exponent;
    const int mantissa = exponent == 0 ? (magnitude >> 4) & 0x0F : (magnitude >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>((sign | (exponent << 4) | mantissa) ^ 0x55);
}
