// The receiver against the accept/reject limits, talk-off material, and the way presses and
// block borders fall.
#include "decoder/DtmfDetector.h"

#include "decoder/DtmfCorpus.h"
#include "decoder/DtmfSignal.h"
#include "decoder/PhoneToneDecoder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct THeard {
    std::string Keys;
    std::vector<std::int64_t> Positions;
};

// Feeds pcm through the decoder as the window does: 1024-byte blocks, the last one padded
// with silence; then a second of silence so a press at the very end is released.
THeard Decode(const std::vector<std::int16_t>& pcm, std::size_t skipBytes = 0) {
    TPhoneToneDecoder decoder;
    THeard heard;
    decoder.OnDTMF = [&](TComponent* sender, int key, std::int64_t position) {
        EXPECT_EQ(sender, &decoder);
        heard.Keys += static_cast<char>(key);
        heard.Positions.push_back(position);
    };
    decoder.StartDecoding();
    TDtmfSignal s;
    s.AppendPcm(pcm);
    s.AppendSilence(1000);
    std::vector<std::uint8_t> bytes = s.ToBytes();
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(skipBytes));
    bytes.resize((bytes.size() + 1023) / 1024 * 1024, 0);
    for (std::size_t i = 0; i < bytes.size(); i += 1024)
        decoder.DecodeSamples(std::span<const std::uint8_t>(bytes.data() + i, 1024));
    return heard;
}

std::string DecodeKeys(const std::vector<std::int16_t>& pcm) {
    return Decode(pcm).Keys;
}

// Runs every case and reports each one that a good receiver would hear differently.
void ExpectCategory(const std::vector<TDtmfCase>& cases, const std::string& category) {
    int count = 0;
    for (const TDtmfCase& c : cases)
        if (c.Category == category) {
            ++count;
            EXPECT_EQ(DecodeKeys(c.Pcm), c.Expected) << c.Category << ": " << c.Name;
        }
    EXPECT_GT(count, 0) << category;
}

const std::vector<TDtmfCase>& ToneCorpus() {
    static const std::vector<TDtmfCase> corpus = BuildToneCorpus(20261209);
    return corpus;
}

} // namespace

TEST(DtmfReceiver, HearsEveryKeyFromMinus7ToMinus30Dbfs) {
    ExpectCategory(ToneCorpus(), "level");
}

TEST(DtmfReceiver, Accepts40MsTonesAndRejects23MsTones) {
    ExpectCategory(ToneCorpus(), "40 ms");
    ExpectCategory(ToneCorpus(), "23 ms (reject)");
}

TEST(DtmfReceiver, AcceptsFrequenciesWithin1Point5PercentAndRejects3Point5Percent) {
    ExpectCategory(ToneCorpus(), "+-1.5%");
    ExpectCategory(ToneCorpus(), "+-3.5% (reject)");
}

TEST(DtmfReceiver, AcceptsHighGroup4DbStrongerAndLowGroup8DbStronger) {
    ExpectCategory(ToneCorpus(), "twist");
}

TEST(DtmfReceiver, HearsKeysInWhiteNoiseAt12DbSignalToNoise) {
    ExpectCategory(ToneCorpus(), "noise 12 dB");
}

TEST(DtmfReceiver, CountsPressesOfTheSameKey40MsApart) {
    ExpectCategory(ToneCorpus(), "repeat 40 ms gap");
}
