// The line model and the G.711 codec it codes the line with.
#include "LineModel.h"

#include "audio/G711.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

namespace {

double Rms(const std::vector<int16_t>& samples, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(to - from));
}

std::vector<int16_t> Sine(size_t count, double hz, double amplitude) {
    std::vector<int16_t> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * hz * double(i) / 8000));
    return out;
}

} // namespace

TEST(G711, EveryCodeSurvivesDecodeAndEncodeAndLinearStaysWithinAStep) {
    for (int code = 0; code < 256; ++code) {
        const auto byte = static_cast<uint8_t>(code);
        // mu-law has two codes for zero; both decode to 0, which encodes as the positive one.
        if (DecodeMuLaw(byte) != 0) {
            EXPECT_EQ(EncodeMuLaw(DecodeMuLaw(byte)), byte) << code;
        }
        EXPECT_EQ(EncodeALaw(DecodeALaw(byte)), byte) << code;
    }
    for (int linear = -32768; linear <= 32767; linear += 7) {
        const auto sample = static_cast<int16_t>(linear);
        // The coding error grows with the level but stays within 1/16 of it (plus the finest step).
        EXPECT_LE(std::abs(DecodeMuLaw(EncodeMuLaw(sample)) - linear), std::abs(linear) / 16 + 40) << linear;
        EXPECT_LE(std::abs(DecodeALaw(EncodeALaw(sample)) - linear), std::abs(linear) / 16 + 40) << linear;
    }
}

TEST(LineModel, LossNoiseAndTheDelayedEchoOfThePlaybackAtItsReturnLoss) {
    const auto settings = TLineModelSettings::Parse("loss=9,law=ulaw,noise=-200,erl=15,delay=20");
    TLineModel line(settings);
    // The caller is silent for the first half second while the box plays; then the caller speaks.
    std::vector<int16_t> heard(8000, 0);
    const std::vector<int16_t> played = Sine(4000, 500, 10000);
    const std::vector<int16_t> voice = Sine(4000, 1000, 10000);
    std::copy(voice.begin(), voice.end(), heard.begin() + 4000);
    // In pieces, as the simulator runs it: the result must not depend on where they fall.
    for (size_t at = 0; at < heard.size(); at += 160)
        line.Process(std::span<int16_t>(heard).subspan(at, 160),
                     at < played.size() ? std::span<const int16_t>(played).subspan(at, 160)
                                        : std::span<const int16_t>());
    // Nothing before the echo path's delay; then the playback 15 dB down; then the caller 9 dB down.
    EXPECT_LT(Rms(heard, 0, 159), 1.0);
    EXPECT_NEAR(20 * std::log10(Rms(heard, 400, 4000) / Rms(played, 400, 4000)), -15, 0.5);
    EXPECT_NEAR(20 * std::log10(Rms(heard, 4400, 8000) / Rms(voice, 400, 4000)), -9, 0.5);

    EXPECT_THROW(TLineModelSettings::Parse("loss=x"), std::runtime_error);
    EXPECT_THROW(TLineModelSettings::Parse("colour=blue"), std::runtime_error);
}
