// The caller's half of the line simulator on its own: call scripts, the keys' sound as the box's
// decoder hears it, and message files of any PCM format.
#include "CallerAudio.h"
#include "CallerEnd.h"
#include "decoder/PhoneToneDecoder.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

std::string Decode(const TSamples& samples) {
    TPhoneToneDecoder decoder;
    std::string keys;
    decoder.OnDTMF = [&](TComponent*, int key, int64_t) { keys += static_cast<char>(key); };
    decoder.StartDecoding();
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    for (size_t at = 0; at < samples.size() * 2; at += 1024)
        decoder.DecodeSamples({bytes + at, std::min<size_t>(1024, samples.size() * 2 - at)});
    TSamples tail;
    AppendSilence(tail, 300); // a key is reported at its release
    decoder.DecodeSamples({reinterpret_cast<const uint8_t*>(tail.data()), tail.size() * 2});
    return keys;
}

TEST(CallerScript, ReadsKeysOptionsAndTheMessage) {
    TCallScript s =
        ParseCallScript("12345 key=80 gap=120 quiet=500 limit=30 heard=/tmp/h.wav say Hello there, box");
    EXPECT_EQ(s.Keys, "12345");
    EXPECT_EQ(s.KeyMs, 80);
    EXPECT_EQ(s.GapMs, 120);
    EXPECT_EQ(s.QuietMs, 500);
    EXPECT_EQ(s.StepSeconds, 30);
    EXPECT_EQ(s.HeardFile, "/tmp/h.wav");
    EXPECT_EQ(s.MessageKind, TCallScript::Say);
    EXPECT_EQ(s.MessageArg, "Hello there, box"); // the rest of the line, blanks and all

    s = ParseCallScript("-");
    EXPECT_EQ(s.Keys, "");
    EXPECT_EQ(s.MessageKind, TCallScript::Tone);
    EXPECT_EQ(ParseCallScript("0*#ABCD none").MessageKind, TCallScript::None);
    EXPECT_EQ(ParseCallScript("1 wav /x y.wav").MessageArg, "/x y.wav");

    for (const char* bad :
         {"", "12E4", "1 key=0", "1 key=abc", "1 gap=-1", "1 volume=3", "1 tone x", "1 wav", "1 sing la"})
        EXPECT_THROW(ParseCallScript(bad), std::runtime_error) << bad;
}

TEST(CallerScript, EveryKeyIsHeardByTheBoxsDecoderDownToShortPresses) {
    for (int ms : {40, 60, 100, 250}) {
        TSamples s;
        AppendSilence(s, 200);
        for (char key : std::string("1234567890*#ABCD")) {
            AppendKey(s, key, ms);
            AppendSilence(s, ms);
        }
        EXPECT_EQ(Decode(s), "1234567890*#ABCD") << ms << " ms";
    }
    // A message tone is no key.
    TSamples tone;
    AppendTone(tone, 440, 2000);
    EXPECT_EQ(Decode(tone), "");
}

TEST(CallerScript, MessageFilesOfAnyPcmFormatBecomeLineAudio) {
    const std::string folder =
        std::filesystem::temp_directory_path() / ("caller-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    // A second of 8 kHz line audio survives a round trip bit for bit.
    TSamples line;
    AppendTone(line, 1000, 1000);
    WriteLineWave(folder + "/line.wav", line);
    EXPECT_EQ(ReadWaveAsLine(folder + "/line.wav"), line);
    // 22050 Hz stereo, as a speech synthesiser or a recorder may give it: rate and channels
    // converted, length kept.
    const std::string wide = folder + "/wide.wav";
    ASSERT_EQ(std::system(("sox -q -n -r 22050 -b 16 -c 2 " + wide + " synth 1.5 sine 300").c_str()), 0);
    EXPECT_NEAR(MillisecondsOf(ReadWaveAsLine(wide)), 1500, 2);
    EXPECT_THROW(ReadWaveAsLine(folder + "/missing.wav"), std::runtime_error);
    std::filesystem::remove_all(folder);
}

} // namespace
