// The decoder fed as a capture device that lacks 8 kHz 16-bit mono feeds it: other rates, widths
// and channel counts reach the detector as 8 kHz, with nothing above the band folded into it.
#include "decoder/DtmfDetector.h"
#include "decoder/PhoneToneDecoder.h"
#include "toolkit/Exception.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

struct TPiece {
    double Ms;
    double Hz1, Hz2; // 0: no tone
    double Dbfs;     // of each tone
};

// The pieces as PCM bytes of the given format; both channels of stereo carry the signal, the
// second a little weaker so the mix is a real average.
std::vector<std::uint8_t> Render(int rate, int bits, int channels, const std::vector<TPiece>& pieces) {
    std::vector<std::uint8_t> bytes;
    for (const TPiece& p : pieces) {
        const double a = 32767 * std::pow(10.0, p.Dbfs / 20);
        const auto n = std::lround(p.Ms * rate / 1000);
        for (long i = 0; i < n; ++i) {
            const double t = static_cast<double>(i) / rate;
            const double v = (p.Hz1 > 0 ? a * std::sin(2 * M_PI * p.Hz1 * t) : 0) +
                             (p.Hz2 > 0 ? a * std::sin(2 * M_PI * p.Hz2 * t) : 0);
            for (int c = 0; c < channels; ++c) {
                const auto s = static_cast<std::int16_t>(std::lround(c == 0 ? v : 0.8 * v));
                if (bits == 8) {
                    bytes.push_back(static_cast<std::uint8_t>((s >> 8) + 128));
                } else {
                    bytes.push_back(static_cast<std::uint8_t>(s & 0xFF));
                    bytes.push_back(static_cast<std::uint8_t>((s >> 8) & 0xFF));
                }
            }
        }
    }
    return bytes;
}

struct THeard {
    std::string Keys;
    std::vector<std::int64_t> Positions;
};

THeard Decode(int rate, int bits, int channels, const std::vector<std::uint8_t>& bytes, std::size_t block) {
    TPhoneToneDecoder decoder;
    THeard heard;
    decoder.OnDTMF = [&heard](TComponent*, int key, std::int64_t position) {
        heard.Keys += static_cast<char>(key);
        heard.Positions.push_back(position);
    };
    decoder.SetInputFormat(rate, bits, channels);
    decoder.StartDecoding();
    for (std::size_t i = 0; i < bytes.size(); i += block)
        decoder.DecodeSamples(
            std::span<const std::uint8_t>(bytes.data() + i, std::min(block, bytes.size() - i)));
    return heard;
}

} // namespace

TEST(DecoderInput, HearsKeysAtEveryCaptureRateWidthAndChannelCount) {
    const std::string keys = "0#9D*1";
    std::vector<TPiece> pieces{{100, 0, 0, 0}};
    std::vector<double> startsMs;
    double ms = 100;
    for (char key : keys) {
        double low = 0, high = 0;
        TDtmfDetector::KeyFrequencies(key, low, high);
        startsMs.push_back(ms);
        pieces.push_back({45, low, high, -18});
        pieces.push_back({60, 0, 0, 0});
        ms += 105;
    }
    pieces.push_back({300, 0, 0, 0});

    int combination = 0;
    for (int rate : {11025, 22050, 44100, 48000})
        for (int bits : {8, 16})
            for (int channels : {1, 2}) {
                const std::vector<std::uint8_t> bytes = Render(rate, bits, channels, pieces);
                // The window's 1024-byte blocks, and blocks that split samples and frames.
                const std::size_t block = combination++ % 2 == 0 ? 1024 : 1001;
                const THeard heard = Decode(rate, bits, channels, bytes, block);
                const std::string what = std::to_string(rate) + " Hz " + std::to_string(bits) + " bit " +
                                         std::to_string(channels) + " ch";
                ASSERT_EQ(heard.Keys, keys) << what;
                for (std::size_t i = 0; i < keys.size(); ++i)
                    EXPECT_NEAR(static_cast<double>(heard.Positions[i]), startsMs[i] * 8, 8)
                        << what << " " << keys[i];
            }

    // A format no capture offers is refused, and the decoder keeps the one it had.
    TPhoneToneDecoder decoder;
    decoder.SetInputFormat(44100, 16, 2);
    EXPECT_THROW(decoder.SetInputFormat(44100, 12, 2), Exception);
    EXPECT_THROW(decoder.SetInputFormat(44100, 16, 6), Exception);
    EXPECT_THROW(decoder.SetInputFormat(0, 16, 1), Exception);
    EXPECT_EQ(decoder.InputFormat().SampleRate(), 44100);
    EXPECT_EQ(decoder.InputFormat().Channels(), 2);
}

TEST(DecoderInput, ToneAboveTheBandThatNaiveDecimationFoldsOntoAKeyIsNotHeard) {
    // At 48 kHz, 6791 Hz folds onto 1209 Hz and 9477 Hz onto 1477 Hz when only every sixth
    // sample is kept: with their row tones that would be "1" and "#".
    const std::vector<TPiece> pieces{
        {100, 0, 0, 0}, {200, 697, 6791, -10}, {150, 0, 0, 0}, {200, 941, 9477, -10}, {300, 0, 0, 0}};
    const std::vector<std::uint8_t> bytes = Render(48000, 16, 1, pieces);

    std::vector<std::uint8_t> everySixth;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 12)
        everySixth.insert(everySixth.end(), {bytes[i], bytes[i + 1]});
    ASSERT_EQ(Decode(8000, 16, 1, everySixth, 1024).Keys, "1#") << "the material no longer folds onto keys";

    EXPECT_EQ(Decode(48000, 16, 1, bytes, 1024).Keys, "");
    EXPECT_EQ(Decode(48000, 8, 2, Render(48000, 8, 2, pieces), 1024).Keys, "");
}
