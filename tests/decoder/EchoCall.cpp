#include "decoder/EchoCall.h"

#include "decoder/PhoneToneDecoder.h"

#include <algorithm>

bool MakeGreeting(TSamples& greeting) {
    TSamples welcome, enter;
    if (!SpeakText("Welcome to the voice mailbox.", welcome) ||
        !SpeakText("Please enter the mailbox number.", enter))
        return false;
    greeting = welcome;
    greeting.insert(greeting.end(), enter.begin(), enter.end());
    return true;
}

TEchoCall MakeEchoCall(const TSamples& greeting, const TLineModelSettings& line, int cardLatencyMs,
                       std::mt19937& random, bool withKeys, TKeyingStart start, TPathMove move) {
    TEchoCall call;
    call.Played = greeting;
    AppendSilence(call.Played, 1500); // the keys' release and the echo's tail are heard out

    TSamples caller;
    if (withKeys) {
        auto uniform = [&random](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(random);
        };
        AppendSilence(caller, uniform(start.FromMs, start.ToMs));
        for (int i = 0; i < 5; ++i) {
            const char key = static_cast<char>('0' + uniform(0, 9));
            call.Keys += key;
            AppendKey(caller, key, uniform(60, 120));
            AppendSilence(caller, uniform(60, 250));
        }
    }
    caller.resize(call.Played.size(), 0);

    // The line hears the box's playback after the card's latency.
    TSamples atLine(static_cast<size_t>(cardLatencyMs) * LineRate / 1000, 0);
    atLine.insert(atLine.end(), call.Played.begin(), call.Played.end());
    const auto at = atLine.begin() + static_cast<ptrdiff_t>(atLine.size() - call.Played.size()) +
                    static_cast<ptrdiff_t>(move.AtMs) * LineRate / 1000;
    if (move.Samples > 0)
        atLine.insert(at, static_cast<size_t>(move.Samples), 0);
    else
        atLine.erase(at, at - move.Samples);
    atLine.resize(std::max(atLine.size(), call.Played.size()), 0);
    TLineModel model(line);
    call.Captured = caller;
    model.Process(call.Captured, std::span<const int16_t>(atLine.data(), call.Captured.size()));
    return call;
}

std::string DecodeCall(const TEchoCall& call, bool withReference) {
    TPhoneToneDecoder decoder;
    std::string keys;
    decoder.OnDTMF = [&keys](TComponent*, int key, std::int64_t) { keys += static_cast<char>(key); };
    decoder.StartDecoding();
    constexpr size_t BlockSamples = 512;
    std::vector<uint8_t> block;
    for (size_t at = 0; at + BlockSamples <= call.Captured.size(); at += BlockSamples) {
        block.clear();
        for (size_t i = at; i < at + BlockSamples; ++i) {
            block.push_back(static_cast<uint8_t>(call.Captured[i] & 0xFF));
            block.push_back(static_cast<uint8_t>((call.Captured[i] >> 8) & 0xFF));
        }
        if (withReference)
            decoder.DecodeSamples(block, std::span<const int16_t>(call.Played.data() + at, BlockSamples));
        else
            decoder.DecodeSamples(block);
    }
    return keys;
}
