// Keys heard over the echo of the box's own greeting: the decoder given what the box played
// against the same decoder without it, on calls through the line simulator's line model.
#include "decoder/EchoCanceller.h"

#include "decoder/EchoCall.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

TLineModelSettings BadLine(int returnLossDb = 6) {
    return TLineModelSettings::Parse("loss=9,law=ulaw,noise=-60,erl=" + std::to_string(returnLossDb) +
                                     ",delay=20");
}

double Energy(const TSamples& s, size_t from, size_t to) {
    double e = 0;
    for (size_t i = from; i < to && i < s.size(); ++i)
        e += static_cast<double>(s[i]) * s[i];
    return e;
}

} // namespace

TEST(EchoCancellation, KeysOverA6dBGreetingEchoAreAllHeardThatAreLostWithout) {
    TSamples greeting;
    if (!MakeGreeting(greeting))
        GTEST_SKIP() << "espeak-ng is not installed";
    std::mt19937 random(22);
    int lostWithout = 0;
    for (int i = 0; i < 12; ++i) {
        const TEchoCall call = MakeEchoCall(greeting, BadLine(), 30, random);
        EXPECT_EQ(DecodeCall(call, true), call.Keys) << "call " << i;
        lostWithout += DecodeCall(call, false) != call.Keys;
    }
    // The echo is what loses keys: without the played audio the same calls go wrong.
    EXPECT_GE(lostWithout, 1);
}

// Keys while the canceller is still learning the echo path, half a second into the first prompt:
// an adaptive filter fed the caller's steady tones learns to cancel them, and this early nothing
// yet tells them from the echo but the receiver hearing a key.
TEST(EchoCancellation, KeysInTheFirstSecondOfAFreshCancellersFirstPromptAreNotCancelledAway) {
    TSamples greeting;
    if (!MakeGreeting(greeting))
        GTEST_SKIP() << "espeak-ng is not installed";
    std::mt19937 random(5);
    // A card of long latency too: its echo comes after the first prompt's first blocks, in which
    // the delay search must not take a chance peak for the echo.
    const struct { int ReturnLoss, LatencyMs; } lines[] = {{15, 80}, {6, 80}, {6, 160}};
    for (const auto line : lines)
        for (int i = 0; i < 12; ++i) {
            const TEchoCall call =
                MakeEchoCall(greeting, BadLine(line.ReturnLoss), line.LatencyMs, random, true, {500, 1000});
            EXPECT_EQ(DecodeCall(call, true), call.Keys)
                << "ERL " << line.ReturnLoss << " dB, latency " << line.LatencyMs << " ms, call " << i;
        }
}

// The first second of a call the box heard over a card of long latency (the line simulator's,
// under load): its echo comes 147 ms after the played audio. In the first blocks the capture holds
// only the line's noise, and a chance correlation peak with the prompt's steady opening sound
// must not be taken for the echo's delay.
TEST(EchoCancellation, AChancePeakBeforeTheEchoArrivesIsNotTakenForItsDelay) {
    const std::string data = LUMISK_DECODER_TEST_DATA;
    const TSamples captured = ReadWaveAsLine(data + "/long-latency-first-prompt-captured.wav");
    const TSamples played = ReadWaveAsLine(data + "/long-latency-first-prompt-played.wav");
    ASSERT_EQ(captured.size(), played.size());
    TEchoCanceller canceller;
    TSamples out(512);
    for (size_t at = 0; at + 512 <= captured.size(); at += 512) {
        canceller.Process(std::span<const int16_t>(captured.data() + at, 512),
                          std::span<const int16_t>(played.data() + at, 512), out);
        if (canceller.BulkDelay() >= 0) {
            EXPECT_NEAR(canceller.BulkDelay(), 1173, 8) << "at " << at << " samples";
        }
    }
    EXPECT_NEAR(canceller.BulkDelay(), 1173, 8);
}

TEST(EchoCancellation, TheGreetingsEchoAloneGivesNoKeyAndIsCancelledWithinASecond) {
    TSamples greeting;
    if (!MakeGreeting(greeting))
        GTEST_SKIP() << "espeak-ng is not installed";
    std::mt19937 random(7);
    // A sound card with a long latency: the delay search must find it.
    const TEchoCall call = MakeEchoCall(greeting, BadLine(), 120, random, false);
    EXPECT_EQ(DecodeCall(call, true), "");

    TEchoCanceller canceller;
    TSamples out(call.Captured.size());
    for (size_t at = 0; at + 512 <= out.size(); at += 512)
        canceller.Process(std::span<const int16_t>(call.Captured.data() + at, 512),
                          std::span<const int16_t>(call.Played.data() + at, 512),
                          std::span<int16_t>(out.data() + at, 512));
    EXPECT_NEAR(canceller.BulkDelay(), (120 + 20) * 8, 8);
    const size_t second = LineRate, end = greeting.size();
    const double erle = 10 * std::log10(Energy(call.Captured, second, end) / Energy(out, second, end));
    EXPECT_GT(erle, 20.0) << "echo return loss enhancement after the first second, dB";
}

// The echo's path can move: between calls (another stream, another line: a few samples or tens
// of milliseconds) or in the middle of a prompt (a card that ran dry picks up later, one that
// lost captured audio hears the echo sooner). The path learned before must not cost the keys
// keyed after the move.
TEST(EchoCancellation, KeysAfterTheEchoPathMovedAreAllHeard) {
    TSamples greeting;
    if (!MakeGreeting(greeting))
        GTEST_SKIP() << "espeak-ng is not installed";
    std::mt19937 random(3);
    const TPathMove moves[] = {{0, 0},   {0, 2},     {0, -13},   {0, 64},    {0, 240},   {0, -240},
                               {0, 480}, {300, 160}, {600, 520}, {300, 800}, {600, -160}};
    for (const TPathMove move : moves)
        for (int i = 0; i < 4; ++i) {
            TEchoCall calls = MakeEchoCall(greeting, BadLine(), 60, random, true, {1000, 1500});
            const TEchoCall second = MakeEchoCall(greeting, BadLine(), 60, random, true, {1000, 1500}, move);
            AppendSilence(calls.Played, 1000);
            AppendSilence(calls.Captured, 1000);
            calls.Played.insert(calls.Played.end(), second.Played.begin(), second.Played.end());
            calls.Captured.insert(calls.Captured.end(), second.Captured.begin(), second.Captured.end());
            calls.Keys += second.Keys;
            EXPECT_EQ(DecodeCall(calls, true), calls.Keys)
                << "moved " << move.Samples << " samples at " << move.AtMs << " ms, call " << i;
        }
}
