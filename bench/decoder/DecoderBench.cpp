// Our DTMF receiver against spandsp's on the same generated corpus: what each one hears per
// category, talk-off hits, and throughput in seconds of audio per CPU second.
//   decoder_bench [--speech-minutes=N] [Google Benchmark options]
#include "decoder/DtmfCorpus.h"
#include "decoder/DtmfSignal.h"
#include "decoder/PhoneToneDecoder.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <spandsp.h>
#include <stdlib.h>

namespace {

std::vector<TDtmfCase> Corpus;
std::vector<std::int16_t> AllAudio; // every case back to back, for the throughput runs

std::vector<std::int16_t> WithTail(const std::vector<std::int16_t>& pcm) {
    std::vector<std::int16_t> out = pcm;
    out.resize(out.size() + TDtmfSignal::SampleRate, 0); // a second of silence releases a last press
    return out;
}

std::string LumiskHears(const std::vector<std::int16_t>& pcm) {
    TPhoneToneDecoder decoder;
    std::string keys;
    decoder.OnDTMF = [&keys](TComponent*, int key, std::int64_t) { keys += static_cast<char>(key); };
    decoder.StartDecoding();
    TDtmfSignal s;
    s.AppendPcm(pcm);
    std::vector<std::uint8_t> bytes = s.ToBytes();
    bytes.resize((bytes.size() + 1023) / 1024 * 1024, 0);
    for (std::size_t i = 0; i < bytes.size(); i += 1024)
        decoder.DecodeSamples(std::span<const std::uint8_t>(bytes.data() + i, 1024));
    return keys;
}

void SpandspDigits(void* user, const char* digits, int length) {
    static_cast<std::string*>(user)->append(digits, static_cast<std::size_t>(length));
}

std::string SpandspHears(const std::vector<std::int16_t>& pcm) {
    std::string keys;
    dtmf_rx_state_t* rx = dtmf_rx_init(nullptr, SpandspDigits, &keys);
    for (std::size_t i = 0; i < pcm.size(); i += 512)
        dtmf_rx(rx, pcm.data() + i, static_cast<int>(std::min<std::size_t>(512, pcm.size() - i)));
    dtmf_rx_free(rx);
    return keys;
}

struct TScore {
    int Cases = 0;
    int Right = 0;
    int Keys = 0; // talk-off: keys heard
    double Seconds = 0;
};

void PrintDetectionTable() {
    std::map<std::string, std::pair<TScore, TScore>> table;
    std::vector<std::string> order;
    for (const TDtmfCase& c : Corpus) {
        const std::vector<std::int16_t> pcm = WithTail(c.Pcm);
        if (!table.count(c.Category))
            order.push_back(c.Category);
        auto& [ours, peer] = table[c.Category];
        const std::string a = LumiskHears(pcm), b = SpandspHears(pcm);
        for (auto [score, heard] : {std::pair{&ours, &a}, std::pair{&peer, &b}}) {
            ++score->Cases;
            score->Right += *heard == c.Expected;
            score->Keys += static_cast<int>(heard->size());
            score->Seconds += static_cast<double>(c.Pcm.size()) / TDtmfSignal::SampleRate;
        }
    }
    std::printf(
        "\n| category | cases | lumisk right | spandsp right | lumisk talk-off | spandsp talk-off |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const std::string& category : order) {
        const auto& [ours, peer] = table[category];
        const bool talkOff = category == "speech" || category == "speech + noise" || category == "chords" ||
                             category == "sweeps + noise";
        if (talkOff)
            std::printf("| %s (%.1f min) | %d | %d | %d | %d keys (%.1f/h) | %d keys (%.1f/h) |\n",
                        category.c_str(), ours.Seconds / 60, ours.Cases, ours.Right, peer.Right, ours.Keys,
                        ours.Keys * 3600.0 / ours.Seconds, peer.Keys, peer.Keys * 3600.0 / peer.Seconds);
        else
            std::printf("| %s | %d | %d | %d | | |\n", category.c_str(), ours.Cases, ours.Right, peer.Right);
    }
    std::printf("\n");
}

double AudioSeconds() {
    return static_cast<double>(AllAudio.size()) / TDtmfSignal::SampleRate;
}

void BM_Lumisk(benchmark::State& state) {
    TDtmfSignal s;
    s.AppendPcm(AllAudio);
    std::vector<std::uint8_t> bytes = s.ToBytes();
    bytes.resize(bytes.size() / 1024 * 1024);
    std::int64_t keys = 0;
    for (auto _ : state) {
        TPhoneToneDecoder decoder;
        decoder.OnDTMF = [&keys](TComponent*, int, std::int64_t) { ++keys; };
        decoder.StartDecoding();
        for (std::size_t i = 0; i < bytes.size(); i += 1024)
            decoder.DecodeSamples(std::span<const std::uint8_t>(bytes.data() + i, 1024));
    }
    benchmark::DoNotOptimize(keys);
    state.counters["audio_s_per_cpu_s"] = benchmark::Counter(
        AudioSeconds() * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Spandsp(benchmark::State& state) {
    std::string keys;
    for (auto _ : state) {
        dtmf_rx_state_t* rx = dtmf_rx_init(nullptr, SpandspDigits, &keys);
        for (std::size_t i = 0; i + 512 <= AllAudio.size(); i += 512)
            dtmf_rx(rx, AllAudio.data() + i, 512);
        dtmf_rx_free(rx);
    }
    benchmark::DoNotOptimize(keys);
    state.counters["audio_s_per_cpu_s"] = benchmark::Counter(
        AudioSeconds() * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Keeps the rate counters so the ratio can be printed after the runs.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> Rates;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto it = run.counters.find("audio_s_per_cpu_s");
            if (it != run.counters.end())
                Rates[run.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

BENCHMARK(BM_Lumisk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Spandsp)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    double speechMinutes = 20;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--speech-minutes=", 17) == 0)
            speechMinutes = std::atof(argv[i] + 17);
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());

    Corpus = BuildToneCorpus(20261209);
    char pattern[] = "/tmp/lumisk_bench_XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    std::string reason;
    if (!BuildTalkOffCorpus(pattern, speechMinutes, 77, Corpus, reason))
        std::printf("talk-off material left out: %s\n", reason.c_str());
    std::filesystem::remove_all(pattern);
    for (const TDtmfCase& c : Corpus) {
        const std::vector<std::int16_t> pcm = WithTail(c.Pcm);
        AllAudio.insert(AllAudio.end(), pcm.begin(), pcm.end());
    }

    PrintDetectionTable();

    benchmark::Initialize(&restCount, rest.data());
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ours = reporter.Rates["BM_Lumisk"], peer = reporter.Rates["BM_Spandsp"];
    std::printf(
        "\nthroughput over %.1f s of audio: lumisk %.0f, spandsp %.0f seconds of audio per CPU second; "
        "lumisk/spandsp = %.2f\n",
        AudioSeconds(), ours, peer, peer > 0 ? ours / peer : 0.0);
    benchmark::Shutdown();
    return 0;
}
