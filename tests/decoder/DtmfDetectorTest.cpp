// The receiver against the accept/reject limits, talk-off material, and the way presses and
// block borders fall.
#include "decoder/DtmfDetector.h"

#include "decoder/DtmfCorpus.h"
#include "decoder/DtmfSignal.h"
#include "decoder/PhoneToneDecoder.h"

#include <cmath>
#include <cstdio>
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

TEST(DtmfReceiver, HearsNoKeyInSpeechChordsSweepsOrNoiseButEveryKeyAmidSpeech) {
    char pattern[] = "/tmp/lumisk_talkoff_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    std::vector<TDtmfCase> cases;
    std::string reason;
    const bool made = BuildTalkOffCorpus(folder, 3.0, 77, cases, reason);
    fs::remove_all(folder);
    if (!made)
        GTEST_SKIP() << "talk-off material not made: " << reason;

    std::map<std::string, double> seconds;
    std::map<std::string, int> hits;
    for (const TDtmfCase& c : cases) {
        const std::string heard = DecodeKeys(c.Pcm);
        EXPECT_EQ(heard, c.Expected) << c.Category << ": " << c.Name;
        if (!c.Expected.empty())
            continue;
        seconds[c.Category] += static_cast<double>(c.Pcm.size()) / TDtmfSignal::SampleRate;
        hits[c.Category] += static_cast<int>(heard.size());
    }
    EXPECT_GE(seconds["speech"], 120.0);
    for (const auto& [category, s] : seconds)
        std::printf("talk-off %-16s %7.1f s  %d keys  (%.1f per hour)\n", category.c_str(), s, hits[category],
                    hits[category] * 3600.0 / s);
}

TEST(DtmfReceiver, HearsAKeyOnceAtEveryOffsetAgainstTheBlockBorders) {
    // A 40 ms key, the shortest that must pass, shifted through all 512 sample offsets of a block.
    for (char key : std::string("5#")) {
        TDtmfSignal tone;
        tone.AppendKey(key, 40, -20, -20);
        const std::vector<std::int16_t> pcm = tone.ToPcm();
        for (int offset = 0; offset < 512; ++offset) {
            std::vector<std::int16_t> shifted(static_cast<std::size_t>(offset), 0);
            shifted.insert(shifted.end(), pcm.begin(), pcm.end());
            const THeard heard = Decode(shifted);
            ASSERT_EQ(heard.Keys, std::string(1, key)) << "offset " << offset;
            EXPECT_NEAR(static_cast<double>(heard.Positions[0]), offset, 4) << "offset " << offset;
        }
    }
}

TEST(DtmfReceiver, ReportsKeysInOrderAtTheirStartSample) {
    const std::string keys = "0123456789*#ABCD";
    TDtmfSignal s;
    std::vector<std::int64_t> starts;
    s.AppendSilence(30);
    for (char key : keys) {
        starts.push_back(static_cast<std::int64_t>(s.Length()));
        s.AppendKey(key, 55, -15, -13);
        s.AppendSilence(45);
    }
    const THeard heard = Decode(s.ToPcm());
    ASSERT_EQ(heard.Keys, keys);
    for (std::size_t i = 0; i < keys.size(); ++i)
        EXPECT_NEAR(static_cast<double>(heard.Positions[i]), static_cast<double>(starts[i]), 8) << keys[i];
}

TEST(DtmfReceiver, KeyHeldTwoSecondsInNoiseIsOnePress) {
    TDtmfSignal s;
    s.AppendSilence(200);
    s.AppendKey('7', 2000, -18, -16);
    s.AppendSilence(200);
    s.AppendKey('7', 45, -18, -16);
    const double a = TDtmfSignal::DbfsToAmplitude(-18);
    s.AddNoise(a / std::pow(10.0, 15.0 / 20), 4242); // 15 dB below one tone
    EXPECT_EQ(DecodeKeys(s.ToPcm()), "77");
}

TEST(DtmfReceiver, BridgesAShortDropoutButSplitsAtA40MsGap) {
    TDtmfSignal s;
    s.AppendSilence(100);
    s.AppendKey('1', 60, -12, -12);
    s.AppendSilence(8); // a click of the line, not a release
    s.AppendKey('1', 60, -12, -12);
    s.AppendSilence(40);
    s.AppendKey('1', 40, -12, -12);
    s.AppendKey('2', 60, -12, -12); // another key straight after: a new press
    s.AppendSilence(100);
    EXPECT_EQ(DecodeKeys(s.ToPcm()), "112");
}

TEST(DtmfReceiver, RejectsTwoRowTonesAndAThirdToneOverAKey) {
    TDtmfSignal s;
    s.AppendSilence(100);
    s.AppendTones(697, -12, 770, -12, 100); // two rows, no column
    s.AppendSilence(100);
    s.AppendTones(1209, -12, 1477, -12, 100); // two columns
    s.AppendSilence(100);
    // A key with a third tone as strong as its own: not a clean pair.
    TDtmfSignal key;
    key.AppendKey('8', 100, -14, -14);
    TDtmfSignal third;
    third.AppendTones(1000, -14, 1000, -100, 100);
    std::vector<std::int16_t> mixed = key.ToPcm();
    const std::vector<std::int16_t> extra = third.ToPcm();
    for (std::size_t i = 0; i < mixed.size(); ++i)
        mixed[i] = static_cast<std::int16_t>(mixed[i] + extra[i]);
    s.AppendPcm(mixed);
    s.AppendSilence(100);
    EXPECT_EQ(DecodeKeys(s.ToPcm()), "");
}

TEST(DtmfReceiver, StaysSilentOnClippedSquareWavesAndFullScaleNoise) {
    TDtmfSignal s;
    s.AppendTones(697, 6, 1336, 6, 200); // both tones far over full scale: hard clipped
    s.AppendSilence(100);
    s.AppendTones(440, -100, 440, -100, 1000);
    s.AddNoise(20000, 99);
    // Clipped keys are distorted beyond a clean pair; the noise holds no key at all.
    const std::string heard = DecodeKeys(s.ToPcm());
    EXPECT_TRUE(heard.empty() || heard == "2") << heard;
}
