// Inputs the fuzz targets once failed on, kept in their seed corpora, replayed with the property
// that failed.
#include "decoder/PhoneToneDecoder.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

TEST(FuzzFindings, DecoderNeverReportsAKeyStartingBeforeTheKeyBeforeIt) {
    // A loud key whose level falls below a quarter of its peak and rises again: the second part
    // is a press of its own, and its onset must not be searched for inside the first one.
    std::ifstream in(std::string(LUMISK_SOURCE_DIR) +
                         "/tests/fuzz/decoder/corpus/regress-second-press-before-first",
                     std::ios::binary);
    ASSERT_TRUE(in);
    const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(input.size(), 1u);
    const size_t blockSize = 1 + input[0] % 64 * 37; // as the decoder fuzz target cuts it
    const std::span<const uint8_t> audio(input.data() + 1, input.size() - 1);
    TPhoneToneDecoder decoder;
    std::vector<int64_t> positions;
    decoder.OnDTMF = [&](TComponent*, int, int64_t position) { positions.push_back(position); };
    decoder.StartDecoding();
    for (int round = 0; round < 2; ++round)
        for (size_t i = 0; i < audio.size(); i += blockSize)
            decoder.DecodeSamples(audio.subspan(i, std::min(blockSize, audio.size() - i)));
    static const uint8_t silence[1024] = {};
    for (int i = 0; i < 16; ++i)
        decoder.DecodeSamples(silence);
    ASSERT_GE(positions.size(), 2u);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
}
