// Arbitrary audio in arbitrary block sizes: the decoder must neither crash nor report anything
// but a key character at a position inside the audio, in order.
#include "decoder/PhoneToneDecoder.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t blockSize = 1 + data[0] % 64 * 37;
    ++data;
    --size;
    TPhoneToneDecoder decoder;
    std::int64_t last = -1;
    decoder.OnDTMF = [&](TComponent*, int key, std::int64_t position) {
        if (!std::strchr("0123456789*#ABCD", key) || key == 0 || position < last)
            std::abort();
        last = position;
    };
    decoder.StartDecoding();
    // The data twice, so presses can span the repeat, then silence to release the last one.
    for (int round = 0; round < 2; ++round)
        for (std::size_t i = 0; i < size; i += blockSize)
            decoder.DecodeSamples(std::span<const std::uint8_t>(data + i, std::min(blockSize, size - i)));
    static const std::uint8_t silence[1024] = {};
    for (int i = 0; i < 16; ++i)
        decoder.DecodeSamples(silence);
    if (last > static_cast<std::int64_t>(size + 16 * 1024))
        std::abort();
    return 0;
}
