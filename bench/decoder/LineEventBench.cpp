#include "LineEventBench.h"

#include "LineModel.h"
#include "decoder/DtmfSignal.h"
#include "decoder/PhoneToneDecoder.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <string>

namespace {

// The line the figures are taken on: 9 dB loss, mu-law, noise at -60 dBFS.
const char* const Line = "loss=9,law=ulaw,noise=-60";

std::vector<TLineEvent> Hear(std::vector<std::int16_t> pcm, unsigned seed) {
    TLineModel line(TLineModelSettings::Parse(std::string(Line) + ",seed=" + std::to_string(seed)));
    line.Process(pcm, {});
    TDtmfSignal s;
    s.AppendPcm(pcm);
    const std::vector<std::uint8_t> bytes = s.ToBytes();
    std::vector<TLineEvent> events;
    TPhoneToneDecoder decoder;
    decoder.OnLineEvent = [&events](TComponent*, const TLineEvent& event) { events.push_back(event); };
    decoder.StartDecoding();
    for (std::size_t i = 0; i < bytes.size(); i += 1024)
        decoder.DecodeSamples(
            std::span<const std::uint8_t>(bytes.data() + i, std::min<std::size_t>(1024, bytes.size() - i)));
    return events;
}

std::vector<std::int16_t> TalkOffAudio; // for the throughput run

// The detectors alone, in memory, on the talk-off material: their share of the decoder's cost
// shows beside BM_Lumisk.
void BM_LineEvents(benchmark::State& state) {
    std::vector<TLineEvent> events;
    for (auto _ : state) {
        TLineEventDetector detector;
        for (std::size_t i = 0; i < TalkOffAudio.size(); i += 512)
            detector.Process(TalkOffAudio.data() + i, std::min<std::size_t>(512, TalkOffAudio.size() - i),
                             events);
    }
    benchmark::DoNotOptimize(events);
    state.counters["audio_s_per_cpu_s"] =
        benchmark::Counter(static_cast<double>(TalkOffAudio.size()) / TDtmfSignal::SampleRate *
                               static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LineEvents)->Unit(benchmark::kMillisecond);

void PrintTalkOff(const std::vector<TDtmfCase>& corpus) {
    std::map<std::string, std::vector<std::int16_t>> audio;
    std::vector<std::string> order;
    for (const TDtmfCase& c : corpus) {
        if (c.Category != "speech" && c.Category != "speech + noise" && c.Category != "chords" &&
            c.Category != "sweeps + noise" && c.Category != "keys amid speech")
            continue;
        if (!audio.count(c.Category))
            order.push_back(c.Category);
        audio[c.Category].insert(audio[c.Category].end(), c.Pcm.begin(), c.Pcm.end());
        TalkOffAudio.insert(TalkOffAudio.end(), c.Pcm.begin(), c.Pcm.end());
    }
    std::printf("line events over the talk-off material through the line (%s), silence limit 8 s:\n", Line);
    std::printf("| category | minutes | busy | reorder | dial | silence |\n|---|---|---|---|---|---|\n");
    double minutes = 0;
    int total = 0;
    unsigned seed = 1;
    for (const std::string& category : order) {
        int count[4] = {};
        for (const TLineEvent& e : Hear(audio[category], seed++))
            ++count[static_cast<int>(e.Kind)];
        const double m = static_cast<double>(audio[category].size()) / TDtmfSignal::SampleRate / 60;
        minutes += m;
        total += count[0] + count[1] + count[2] + count[3];
        std::printf("| %s | %.1f | %d | %d | %d | %d |\n", category.c_str(), m, count[0], count[1], count[2],
                    count[3]);
    }
    std::printf("\nfalse \"caller left\": %d over %.1f minutes of speech, music, noise and keys\n\n", total,
                minutes);
}

struct TTone {
    const char* Name;
    double Hz1, Hz2;
    int OnMs, OffMs; // OffMs 0: continuous; OnMs 0: silence
};

void PrintDelays(const std::vector<TDtmfCase>& corpus) {
    std::vector<std::int16_t> speech;
    for (const TDtmfCase& c : corpus)
        if (c.Category == "speech") {
            speech.assign(c.Pcm.begin(), c.Pcm.begin() + std::min<std::ptrdiff_t>(c.Pcm.size(), 6 * 8000));
            break;
        }
    while (!speech.empty() && std::abs(speech.back()) < 300)
        speech.pop_back();
    const TTone tones[] = {
        {"busy 480+620 Hz 0.5/0.5 s", 480, 620, 500, 500},
        {"reorder 480+620 Hz 0.25/0.25 s", 480, 620, 250, 250},
        {"busy 425 Hz 0.5/0.5 s", 425, 0, 500, 500},
        {"busy 400 Hz 0.375/0.375 s", 400, 0, 375, 375},
        {"dial 350+440 Hz", 350, 440, 1, 0},
        {"dial 425 Hz", 425, 0, 1, 0},
        {"dial 400+450 Hz", 400, 450, 1, 0},
        {"silence (limit 8 s)", 0, 0, 0, 0},
    };
    std::printf("detection delay after a spoken message, through the line (%s):\n", Line);
    std::printf("| after the message | event | delay from the tone's start | last sound off by "
                "|\n|---|---|---|---|\n");
    unsigned seed = 100;
    for (const TTone& tone : tones) {
        TDtmfSignal s;
        s.AppendSilence(500);
        s.AppendPcm(speech);
        const auto speechEnd = static_cast<std::int64_t>(s.Length());
        s.AppendSilence(400);
        const auto start = static_cast<std::int64_t>(tone.OnMs == 0 ? speechEnd : s.Length());
        for (int at = 0; at < 12000;) {
            const int on = tone.OnMs == 0 ? 0 : tone.OffMs == 0 ? 12000 : tone.OnMs;
            if (on > 0)
                s.AppendTones(tone.Hz1, -20, tone.Hz2, tone.Hz2 > 0 ? -20 : -300, on);
            const int off = tone.OnMs == 0 ? 12000 : tone.OffMs;
            s.AppendSilence(off);
            at += on + off;
        }
        const std::vector<TLineEvent> events = Hear(s.ToPcm(), seed++);
        if (events.empty()) {
            std::printf("| %s | none | | |\n", tone.Name);
            continue;
        }
        std::printf("| %s | %s%s | %.2f s | %+.0f ms |\n", tone.Name, LineEventName(events[0].Kind),
                    events.size() > 1 ? " (and more)" : "",
                    static_cast<double>(events[0].Position - start) / TDtmfSignal::SampleRate,
                    static_cast<double>(events[0].LastSoundPosition - speechEnd) * 1000 /
                        TDtmfSignal::SampleRate);
    }
    std::printf("\n");
}

} // namespace

void PrintLineEventFigures(const std::vector<TDtmfCase>& corpus) {
    PrintTalkOff(corpus);
    PrintDelays(corpus);
}
