#include "EchoBench.h"

#include "decoder/EchoCall.h"
#include "decoder/EchoCanceller.h"
#include "decoder/PhoneToneDecoder.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <spandsp.h>
#include <speex/speex_echo.h>
#include <vector>

namespace {

constexpr int SpeexFrame = 64;
constexpr int SpeexTail = TEchoCanceller::FilterTaps / SpeexFrame * SpeexFrame + SpeexFrame; // 576
// speexdsp is handed the played audio already moved by the echo's true bulk delay less this
// much: it has no delay search of its own, and its tail then covers the echo as ours does.
constexpr int SpeexLead = TEchoCanceller::LeadTaps;

struct TCondition {
    const char* Name;
    const char* Line;
};
const TCondition Conditions[] = {
    {"ERL 15 dB", "loss=9,law=ulaw,noise=-60,erl=15,delay=20"},
    {"ERL 6 dB", "loss=9,law=ulaw,noise=-60,erl=6,delay=20"},
};

// The sound card's latency differs from box to box: every call draws its own.
int CardLatency(std::mt19937& random) {
    return std::uniform_int_distribution<int>(10, 120)(random);
}

void SpandspDigits(void* user, const char* digits, int length) {
    static_cast<std::string*>(user)->append(digits, static_cast<std::size_t>(length));
}

std::string SpandspHears(const TSamples& pcm) {
    std::string keys;
    dtmf_rx_state_t* rx = dtmf_rx_init(nullptr, SpandspDigits, &keys);
    for (std::size_t i = 0; i < pcm.size(); i += 512)
        dtmf_rx(rx, pcm.data() + i, static_cast<int>(std::min<std::size_t>(512, pcm.size() - i)));
    dtmf_rx_free(rx);
    return keys;
}

TSamples Ours(const TEchoCall& call, int* bulkDelay = nullptr) {
    TEchoCanceller canceller;
    TSamples out(call.Captured.size(), 0);
    for (std::size_t at = 0; at + 512 <= out.size(); at += 512)
        canceller.Process(std::span<const int16_t>(call.Captured.data() + at, 512),
                          std::span<const int16_t>(call.Played.data() + at, 512),
                          std::span<int16_t>(out.data() + at, 512));
    if (bulkDelay)
        *bulkDelay = canceller.BulkDelay();
    return out;
}

// The played audio moved later by shift samples.
TSamples Delayed(const TSamples& played, int shift) {
    TSamples out(played.size(), 0);
    for (std::size_t i = static_cast<std::size_t>(std::max(shift, 0)); i < out.size(); ++i)
        out[i] = played[i - static_cast<std::size_t>(shift)];
    return out;
}

TSamples Speex(const TSamples& captured, const TSamples& aligned) {
    SpeexEchoState* state = speex_echo_state_init(SpeexFrame, SpeexTail);
    int rate = 8000;
    speex_echo_ctl(state, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    TSamples out(captured.size(), 0);
    for (std::size_t at = 0; at + SpeexFrame <= out.size(); at += SpeexFrame)
        speex_echo_cancellation(state, captured.data() + at, aligned.data() + at, out.data() + at);
    speex_echo_state_destroy(state);
    return out;
}

double Energy(const TSamples& s, std::size_t from, std::size_t to) {
    double e = 0;
    for (std::size_t i = from; i < to && i < s.size(); ++i)
        e += static_cast<double>(s[i]) * s[i];
    return e;
}

double Db(double ratio) {
    return 10 * std::log10(ratio);
}

void WritePairs(const std::string& path, const std::vector<TEchoCall>& calls, const std::vector<int>& bulk) {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t c = 0; c < calls.size(); ++c) {
        const TSamples aligned = Delayed(calls[c].Played, bulk[c] - SpeexLead);
        for (std::size_t i = 0; i < calls[c].Captured.size(); ++i) {
            const int16_t v[3] = {calls[c].Captured[i], calls[c].Played[i], aligned[i]};
            out.write(reinterpret_cast<const char*>(v), sizeof v);
        }
    }
}

} // namespace

void PrintEchoFigures(const std::string& folder, int calls, const TInstructionCount& instructions) {
    TSamples greeting;
    if (!MakeGreeting(greeting)) {
        std::printf("echo figures left out: espeak-ng is missing\n");
        return;
    }
    std::printf(
        "keys over the greeting's echo: %d calls per row, a random 5-digit number keyed into the %.1f s "
        "greeting (keys 60-120 ms, gaps 60-250 ms), card latency 10-120 ms; a fresh canceller each call, "
        "so the first keys also fall before it has found the echo path (about 0.45 s in):\n\n",
        calls, static_cast<double>(greeting.size()) / LineRate);
    std::printf(
        "| line | keying starts | numbers exact, canceller | without | spandsp (no canceller) | echo alone: "
        "keys invented, canceller | without | ERLE after 1 s (whole greeting) | speexdsp ERLE after 1 s "
        "(whole) |\n|---|---|---|---|---|---|---|---|---|\n");
    std::vector<TEchoCall> costCalls;
    std::vector<int> costBulk;
    for (const TCondition& condition : Conditions) {
        const TLineModelSettings line = TLineModelSettings::Parse(condition.Line);
        for (const TKeyingStart start : {TKeyingStart{1000, 2000}, TKeyingStart{200, 1000}}) {
            std::mt19937 random(2026);
            int exact = 0, exactWithout = 0, exactPeer = 0, invented = 0, inventedWithout = 0;
            double d1 = 0, e1 = 0, s1 = 0, dAll = 0, eAll = 0, sAll = 0;
            for (int i = 0; i < calls; ++i) {
                TLineModelSettings seeded = line;
                seeded.Seed = static_cast<unsigned>(i + 1);
                const int latency = CardLatency(random);
                const TEchoCall call = MakeEchoCall(greeting, seeded, latency, random, true, start);
                exact += DecodeCall(call, true) == call.Keys;
                exactWithout += DecodeCall(call, false) == call.Keys;
                exactPeer += SpandspHears(call.Captured) == call.Keys;

                const TEchoCall echo = MakeEchoCall(greeting, seeded, latency, random, false);
                invented += static_cast<int>(DecodeCall(echo, true).size());
                inventedWithout += static_cast<int>(DecodeCall(echo, false).size());
                const TSamples ours = Ours(echo);
                const int bulk = (latency + line.EchoDelayMs) * LineRate / 1000;
                const TSamples peer = Speex(echo.Captured, Delayed(echo.Played, bulk - SpeexLead));
                const std::size_t second = LineRate, end = greeting.size();
                d1 += Energy(echo.Captured, second, end);
                e1 += Energy(ours, second, end);
                s1 += Energy(peer, second, end);
                dAll += Energy(echo.Captured, 0, end);
                eAll += Energy(ours, 0, end);
                sAll += Energy(peer, 0, end);
                if (condition.Line == Conditions[1].Line && costCalls.size() < 12) {
                    costCalls.push_back(echo);
                    costBulk.push_back(bulk);
                }
            }
            std::printf(
                "| %s (%s) | %.1f-%.1f s | %d of %d | %d of %d | %d of %d | %d | %d | %.1f dB (%.1f dB) | "
                "%.1f dB (%.1f dB) |\n",
                condition.Name, condition.Line, start.FromMs / 1000.0, start.ToMs / 1000.0, exact, calls,
                exactWithout, calls, exactPeer, calls, invented, inventedWithout, Db(d1 / e1),
                Db(dAll / eAll), Db(d1 / s1), Db(dAll / sAll));
        }
    }

    // Cost while prompts play: the canceller alone, speexdsp alone, and the whole decoder with
    // the canceller, on the same echo of the ERL 6 dB line; the receiver with a silent reference
    // (nothing played) against its figure without one.
    const std::string pairs = folder + "/echo-pairs.raw";
    WritePairs(pairs, costCalls, costBulk);
    double seconds = 0;
    for (const TEchoCall& call : costCalls)
        seconds += static_cast<double>(call.Captured.size()) / LineRate;
    const double none = instructions("echo-none", pairs);
    const double ours = instructions("echo-lumisk", pairs);
    const double speex = instructions("echo-speex", pairs);
    const double decoder = instructions("echo-decoder", pairs);
    if (none < 0 || ours < 0 || speex < 0 || decoder < 0) {
        std::printf("\ncallgrind: valgrind missing or failed; the cost figures left out\n");
        return;
    }
    std::printf(
        "\nnet instructions per second of audio while prompts play (callgrind, %.0f s of the ERL 6 dB "
        "greeting echo, reading subtracted):\n  lumisk canceller %.3f M, speexdsp canceller (frame "
        "%d, tail %d, delay given) %.3f M; lumisk/speexdsp = %.2f\n  the whole lumisk decoder with "
        "its canceller %.3f M\n",
        seconds, (ours - none) / seconds / 1e6, SpeexFrame, SpeexTail, (speex - none) / seconds / 1e6,
        (ours - none) / (speex - none), (decoder - none) / seconds / 1e6);
}

bool EchoChild(const std::string& mode, const std::string& file, int& status) {
    const bool pairs = mode.rfind("echo-", 0) == 0;
    if (!pairs && mode != "lumisk-silent-reference")
        return false;
    status = 2;
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (!in)
        return true;
    if (!pairs) {
        // The receiver handed blocks as the box hands them, with a played reference of silence.
        TPhoneToneDecoder decoder;
        std::string keys;
        decoder.OnDTMF = [&keys](TComponent*, int key, std::int64_t) { keys += static_cast<char>(key); };
        decoder.StartDecoding();
        const std::vector<int16_t> silence(512, 0);
        std::vector<uint8_t> block(1024);
        while (std::fread(block.data(), 1, block.size(), in) == block.size())
            decoder.DecodeSamples(block, silence);
        std::fclose(in);
        std::printf("%s 0\n", keys.c_str());
        status = 0;
        return true;
    }
    constexpr std::size_t width = 3;
    std::vector<int16_t> frames(512 * width), captured(512), played(512), aligned(512), out(512);
    std::vector<uint8_t> bytes(1024);
    TEchoCanceller canceller;
    SpeexEchoState* speex = nullptr;
    if (mode == "echo-speex") {
        speex = speex_echo_state_init(SpeexFrame, SpeexTail);
        int rate = 8000;
        speex_echo_ctl(speex, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    }
    TPhoneToneDecoder decoder;
    std::string keys;
    decoder.OnDTMF = [&keys](TComponent*, int key, std::int64_t) { keys += static_cast<char>(key); };
    decoder.StartDecoding();
    long checksum = 0;
    while (std::fread(frames.data(), 2, frames.size(), in) == frames.size()) {
        for (std::size_t i = 0; i < 512; ++i) {
            captured[i] = frames[i * width];
            played[i] = frames[i * width + 1];
            aligned[i] = frames[i * width + 2];
            bytes[2 * i] = static_cast<uint8_t>(captured[i] & 0xFF);
            bytes[2 * i + 1] = static_cast<uint8_t>((captured[i] >> 8) & 0xFF);
        }
        if (mode == "echo-lumisk")
            canceller.Process(captured, played, out);
        else if (speex)
            for (std::size_t at = 0; at < 512; at += SpeexFrame)
                speex_echo_cancellation(speex, captured.data() + at, aligned.data() + at, out.data() + at);
        else if (mode == "echo-decoder")
            decoder.DecodeSamples(bytes, played);
        checksum += out[256] + captured[100];
    }
    std::fclose(in);
    if (speex)
        speex_echo_state_destroy(speex);
    std::printf("%s %ld\n", keys.c_str(), checksum);
    status = 0;
    return true;
}
