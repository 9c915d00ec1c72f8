// The PCM converter as a stream: how the input is cut must not change a byte of the output, and
// appending to one vector must keep the vector's geometric growth.
#include "audio/PcmConverter.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>

namespace {

// A few seconds of a swept tone with a little noise, in the given format.
std::vector<uint8_t> SourceBytes(const TPcmFormat& f, double seconds) {
    std::mt19937 random(7);
    const auto frames = static_cast<size_t>(seconds * f.Rate);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / f.Rate;
        for (int c = 0; c < f.Channels; ++c) {
            const double v = 12000 * std::sin(2 * M_PI * (300 + 400 * t + 50 * c) * t) +
                             static_cast<double>(random() % 2001) - 1000;
            TPcmConverter::EncodeSample(static_cast<int16_t>(std::lround(v)), f.Bits, bytes);
        }
    }
    return bytes;
}

} // namespace

TEST(PcmConverter, GivesTheSameBytesWhateverThePiecesAndKeepsGeometricGrowth) {
    struct TCase {
        TPcmFormat From, To;
    };
    for (const TCase& c : {TCase{{8000, 16, 1}, {44100, 16, 2}}, TCase{{48000, 16, 2}, {8000, 16, 1}},
                           TCase{{22050, 8, 1}, {11025, 16, 2}}, TCase{{11025, 16, 2}, {48000, 8, 1}},
                           TCase{{8000, 8, 2}, {8000, 16, 1}}}) {
        const std::vector<uint8_t> source = SourceBytes(c.From, 2.0);
        const size_t frameBytes = static_cast<size_t>(c.From.FrameBytes());
        const size_t frames = source.size() / frameBytes;

        std::vector<uint8_t> whole;
        TPcmConverter once(c.From, c.To);
        once.Convert(source.data(), frames, whole);
        once.Flush(whole);

        // The same audio in pieces of 1 to 700 frames (single frames included), all appended
        // to one vector.
        std::vector<uint8_t> pieces;
        TPcmConverter piecewise(c.From, c.To);
        std::mt19937 random(11);
        int reallocations = 0;
        for (size_t at = 0; at < frames;) {
            const size_t n = std::min<size_t>(frames - at, at % 3 == 0 ? 1 : 1 + random() % 700);
            const size_t capacity = pieces.capacity();
            piecewise.Convert(source.data() + at * frameBytes, n, pieces);
            reallocations += pieces.capacity() != capacity;
            at += n;
        }
        piecewise.Flush(pieces);

        const std::string what = std::to_string(c.From.Rate) + "/" + std::to_string(c.From.Bits) + "/" +
                                 std::to_string(c.From.Channels) + " to " + std::to_string(c.To.Rate) + "/" +
                                 std::to_string(c.To.Bits) + "/" + std::to_string(c.To.Channels);
        ASSERT_EQ(pieces.size(), whole.size()) << what;
        EXPECT_TRUE(pieces == whole) << what;
        // Thousands of calls; doubling reaches any size below 16 MiB in 24 steps.
        EXPECT_LE(reallocations, 24) << what;
    }
}
