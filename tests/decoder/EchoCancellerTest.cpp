// Keys heard over the echo of the box's own greeting: the decoder given what the box played
// against the same decoder without it, on calls through the line simulator's line model.
#include "decoder/EchoCanceller.h"

#include "decoder/EchoCall.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

TLineModelSettings BadLine() {
    return TLineModelSettings::Parse("loss=9,law=ulaw,noise=-60,erl=6,delay=20");
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
