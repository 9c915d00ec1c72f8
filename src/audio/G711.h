// G.711 companding, the coding of the telephone network: A-law and mu-law bytes to and from
// 16-bit linear samples. Prompts may come in it, voice modems speak it, and the line simulator
// codes its line with it.
#pragma once

#include <cstdint>

int16_t DecodeALaw(uint8_t value);
int16_t DecodeMuLaw(uint8_t value);
uint8_t EncodeALaw(int16_t sample);
uint8_t EncodeMuLaw(int16_t sample);
