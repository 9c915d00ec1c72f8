// A call as the box's decoder hears it on a real line: the spoken greeting the box plays, its
// echo from the line's hybrid (through the line simulator's line model, after the sound card's
// latency), and the caller keying a number while the greeting plays. Shared by the decoder's
// tests and its benchmark.
#pragma once

#include "CallerAudio.h"
#include "LineModel.h"

#include <random>
#include <string>

struct TEchoCall {
    TSamples Played;   // what the box played, from the call's first captured sample on
    TSamples Captured; // what its capture heard at the same instants
    std::string Keys;  // what the caller keyed
};

// The box's two opening prompts spoken by espeak-ng, one after the other; false without it.
bool MakeGreeting(TSamples& greeting);

// When the caller starts keying, in ms from the greeting's start: a random point in the window.
struct TKeyingStart {
    int FromMs = 1000;
    int ToMs = 2000;
};

// The echo's path moving: from AtMs into the greeting on, the echo reaches the capture Samples
// later (sooner when negative), as when a card runs dry and picks up again.
struct TPathMove {
    int AtMs = 0;
    int Samples = 0;
};

// One call: a random 5-digit number keyed while the greeting plays, starting within start (keys
// 60-120 ms, gaps 60-250 ms; none when withKeys is false) at line settings line, the echo
// reaching the capture cardLatencyMs after the box played it plus the line's own delay.
TEchoCall MakeEchoCall(const TSamples& greeting, const TLineModelSettings& line, int cardLatencyMs,
                       std::mt19937& random, bool withKeys = true, TKeyingStart start = {},
                       TPathMove move = {});

// The keys TPhoneToneDecoder hears in the call, handed 1024-byte blocks as the box does, with
// the played audio beside each block or without it.
std::string DecodeCall(const TEchoCall& call, bool withReference);
