// Our DTMF receiver against spandsp's dtmf_rx, the peer it is measured with, in one run:
// - what each one hears per category of the generated corpus, and talk-off hits;
// - net instructions per second of audio under callgrind, on a 60 s file of keys and speech,
//   with the start-up (process, reading the file) subtracted;
// - whole-process throughput: lumisk-dtmf on a one-hour WAV file against a process that feeds
//   the same file to spandsp, both streaming it; and lumisk-dtmf at 1, 10 and 60 minutes, to
//   show that its time grows linearly and its memory does not grow;
// - Google Benchmark throughput of the two receivers in memory;
// - keys over the echo of the box's greeting on the line model, with and without the echo
//   canceller, the canceller's ERLE and its cost beside speexdsp's (EchoBench.cpp).
//   decoder_bench [--speech-minutes=N] [--no-files] [--write-mix=FILE] [--echo-calls=N] [--echo-only]
//                 [Google Benchmark options]
// --write-mix writes the 60 s file (raw 8 kHz 16-bit mono) and stops, for profiling a receiver
// with "decoder_bench --child=lumisk|spandsp FILE" under a tool of one's choice.
#include "EchoBench.h"
#include "LineEventBench.h"
#include "decoder/DtmfCorpus.h"
#include "decoder/DtmfSignal.h"
#include "decoder/PhoneToneDecoder.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <spandsp.h>
#include <stdlib.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef LUMISK_DTMF_TOOL
#define LUMISK_DTMF_TOOL "lumisk-dtmf"
#endif

namespace {

std::vector<TDtmfCase> Corpus;
std::vector<std::int16_t> AllAudio; // every case back to back, for the throughput runs
std::string SelfPath;

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

// ---- Files and child processes

// Keys pressed into speech, alternating with plain speech, cut to the length asked.
std::vector<std::int16_t> MixedAudio(double seconds) {
    std::vector<std::int16_t> mix;
    const auto wanted = static_cast<std::size_t>(seconds * TDtmfSignal::SampleRate);
    std::vector<const TDtmfCase*> amid, speech;
    for (const TDtmfCase& c : Corpus)
        (c.Category == "keys amid speech" ? amid : speech).push_back(&c);
    std::erase_if(speech, [](const TDtmfCase* c) { return c->Category != "speech"; });
    std::vector<const TDtmfCase*> parts;
    for (std::size_t i = 0; i < std::max(amid.size(), speech.size()); ++i)
        for (const auto* list : {&amid, &speech})
            if (i < list->size())
                parts.push_back((*list)[i]);
    if (parts.empty())
        return mix;
    for (std::size_t i = 0; mix.size() < wanted; ++i) {
        const std::vector<std::int16_t>& pcm = parts[i % parts.size()]->Pcm;
        mix.insert(mix.end(), pcm.begin(),
                   pcm.begin() + static_cast<std::ptrdiff_t>(std::min(pcm.size(), wanted - mix.size())));
    }
    return mix;
}

void WriteRaw(const std::string& path, const std::vector<std::int16_t>& pcm) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * 2));
}

void PutLe(std::ofstream& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.put(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// An 8 kHz 16-bit mono WAV of the given length, the mix repeated.
void WriteWave(const std::string& path, const std::vector<std::int16_t>& mix, double seconds) {
    const auto samples = static_cast<std::uint32_t>(seconds * TDtmfSignal::SampleRate);
    std::ofstream out(path, std::ios::binary);
    out.write("RIFF", 4);
    PutLe(out, 36 + samples * 2, 4);
    out.write("WAVEfmt ", 8);
    PutLe(out, 16, 4);
    PutLe(out, 1, 2);
    PutLe(out, 1, 2);
    PutLe(out, 8000, 4);
    PutLe(out, 16000, 4);
    PutLe(out, 2, 2);
    PutLe(out, 16, 2);
    out.write("data", 4);
    PutLe(out, samples * 2, 4);
    for (std::uint32_t done = 0; done < samples;) {
        const std::uint32_t n =
            std::min<std::uint32_t>(samples - done, static_cast<std::uint32_t>(mix.size()));
        out.write(reinterpret_cast<const char*>(mix.data()), static_cast<std::streamsize>(n) * 2);
        done += n;
    }
}

struct TRun {
    bool Ok = false;
    double CpuSeconds = 0;
    long MaxRssKb = 0;
    std::string Out, Err;
};

// Runs a program to its end; CPU time and peak memory come from the kernel's accounting.
TRun RunProgram(const std::vector<std::string>& argv, bool measureMemory = false) {
    TRun result;
    char outName[] = "/tmp/lumisk_bench_out_XXXXXX", errName[] = "/tmp/lumisk_bench_err_XXXXXX";
    const int out = mkstemp(outName), err = mkstemp(errName);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(err, 2);
        // A forked child counts the pages it shares with this large process in its peak memory;
        // GNU time's child starts from a small one.
        std::vector<char*> args;
        if (measureMemory)
            for (const char* a : {"/usr/bin/time", "-f", "peak-rss-kb %M"})
                args.push_back(const_cast<char*>(a));
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    result.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.CpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    for (auto [name, text] : {std::pair{outName, &result.Out}, std::pair{errName, &result.Err}}) {
        std::ifstream in(name);
        text->assign(std::istreambuf_iterator<char>(in), {});
        std::remove(name);
    }
    close(out);
    close(err);
    const std::size_t at = result.Err.rfind("peak-rss-kb ");
    result.MaxRssKb = measureMemory && at != std::string::npos ? std::atol(result.Err.c_str() + at + 12) : -1;
    return result;
}

// Instructions of a child run under callgrind; -1 when valgrind cannot run it.
double Instructions(const std::string& mode, const std::string& file) {
    const TRun run = RunProgram({"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", SelfPath,
                                 "--child=" + mode, file});
    const std::size_t at = run.Err.find("Collected : ");
    if (!run.Ok || at == std::string::npos)
        return -1;
    return std::atof(run.Err.c_str() + at + 12);
}

// The child modes: one receiver over a raw or WAV file, streamed in blocks as a box would.
int Child(const std::string& mode, const std::string& file) {
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (!in)
        return 2;
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".wav") == 0)
        std::fseek(in, 44, SEEK_SET);
    std::string keys;
    TPhoneToneDecoder decoder;
    decoder.OnDTMF = [&keys](TComponent*, int key, std::int64_t) { keys += static_cast<char>(key); };
    decoder.StartDecoding();
    dtmf_rx_state_t* rx = mode == "spandsp" ? dtmf_rx_init(nullptr, SpandspDigits, &keys) : nullptr;
    std::vector<std::int16_t> block(32768);
    long checksum = 0;
    for (;;) {
        const std::size_t got = std::fread(block.data(), 2, block.size(), in);
        if (got == 0)
            break;
        if (mode == "lumisk") {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(block.data());
            for (std::size_t i = 0; i < got * 2; i += 1024)
                decoder.DecodeSamples(
                    std::span<const std::uint8_t>(bytes + i, std::min<std::size_t>(1024, got * 2 - i)));
        } else if (rx) {
            for (std::size_t i = 0; i < got; i += 512)
                dtmf_rx(rx, block.data() + i, static_cast<int>(std::min<std::size_t>(512, got - i)));
        } else {
            checksum += block[got / 2];
        }
    }
    std::fclose(in);
    if (rx)
        dtmf_rx_free(rx);
    std::printf("%s %ld\n", keys.c_str(), checksum);
    return 0;
}

void PrintProcessFigures(const std::string& folder) {
    const std::vector<std::int16_t> mix = MixedAudio(60);
    if (mix.empty()) {
        std::printf("no speech material: instruction and file figures left out\n");
        return;
    }
    const std::string raw = folder + "/mix60.raw";
    WriteRaw(raw, mix);

    const double none = Instructions("none", raw);
    const double ours = Instructions("lumisk", raw), peer = Instructions("spandsp", raw);
    if (none < 0 || ours < 0 || peer < 0) {
        std::printf("callgrind: valgrind missing or failed; instruction figures left out\n");
    } else {
        const double seconds = static_cast<double>(mix.size()) / TDtmfSignal::SampleRate;
        const double a = (ours - none) / seconds, b = (peer - none) / seconds;
        std::printf(
            "net instructions per second of 8 kHz audio (callgrind, %.0f s of keys and speech, start-up "
            "of %.2f M subtracted):\n  lumisk %.3f M, spandsp %.3f M; lumisk/spandsp = %.2f\n",
            seconds, none / 1e6, a / 1e6, b / 1e6, a / b);
        // Handed a reference of silence (nothing played), the canceller stands aside.
        const double silent = Instructions("lumisk-silent-reference", raw);
        if (silent >= 0)
            std::printf("  lumisk given the played audio, nothing played: %.3f M; /spandsp = %.2f\n",
                        (silent - none) / seconds / 1e6, (silent - none) / seconds / b);
        std::printf("\n");
    }

    std::printf("whole process, one 8 kHz 16-bit mono WAV file streamed from disk:\n");
    std::printf("| who | audio | CPU s | audio s per CPU s | CPU s per audio hour | peak RSS "
                "|\n|---|---|---|---|---|---|\n");
    double lumiskHour = 0;
    for (double minutes : {1.0, 10.0, 60.0}) {
        const std::string wave = folder + "/mix.wav";
        WriteWave(wave, mix, minutes * 60);
        const TRun run = RunProgram({LUMISK_DTMF_TOOL, wave}, true);
        const double seconds = minutes * 60;
        std::printf("| lumisk-dtmf | %g min | %.3f | %.0f | %.3f | %.1f MiB |%s\n", minutes, run.CpuSeconds,
                    seconds / run.CpuSeconds, run.CpuSeconds * 3600 / seconds, run.MaxRssKb / 1024.0,
                    run.Ok ? "" : " (failed)");
        if (minutes == 60) {
            lumiskHour = run.CpuSeconds;
            const TRun peer = RunProgram({SelfPath, "--child=spandsp", wave}, true);
            std::printf("| spandsp dtmf_rx | %g min | %.3f | %.0f | %.3f | %.1f MiB |%s\n", minutes,
                        peer.CpuSeconds, seconds / peer.CpuSeconds, peer.CpuSeconds * 3600 / seconds,
                        peer.MaxRssKb / 1024.0, peer.Ok ? "" : " (failed)");
            std::printf("\none hour, whole process: lumisk-dtmf %.3f CPU s, spandsp %.3f CPU s; "
                        "lumisk/spandsp throughput = %.2f\n\n",
                        lumiskHour, peer.CpuSeconds, peer.CpuSeconds / lumiskHour);
        }
        std::filesystem::remove(wave);
    }
}

// ---- Google Benchmark: the receivers in memory

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
    if (argc == 3 && std::strncmp(argv[1], "--child=", 8) == 0) {
        int status = 0;
        if (EchoChild(argv[1] + 8, argv[2], status))
            return status;
        return Child(argv[1] + 8, argv[2]);
    }
    SelfPath = std::filesystem::canonical("/proc/self/exe").string();

    double speechMinutes = 20;
    bool files = true, echoOnly = false;
    int echoCalls = 50;
    std::string mixFile;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--speech-minutes=", 17) == 0)
            speechMinutes = std::atof(argv[i] + 17);
        else if (std::strncmp(argv[i], "--write-mix=", 12) == 0)
            mixFile = argv[i] + 12;
        else if (std::strcmp(argv[i], "--no-files") == 0)
            files = false;
        else if (std::strncmp(argv[i], "--echo-calls=", 13) == 0)
            echoCalls = std::atoi(argv[i] + 13);
        else if (std::strcmp(argv[i], "--echo-only") == 0)
            echoOnly = true;
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());

    char pattern[] = "/tmp/lumisk_bench_XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    if (echoOnly) {
        PrintEchoFigures(pattern, echoCalls, Instructions);
        std::filesystem::remove_all(pattern);
        return 0;
    }
    Corpus = BuildToneCorpus(20261209);
    std::string reason;
    if (!BuildTalkOffCorpus(pattern, speechMinutes, 77, Corpus, reason))
        std::printf("talk-off material left out: %s\n", reason.c_str());
    for (const TDtmfCase& c : Corpus) {
        const std::vector<std::int16_t> pcm = WithTail(c.Pcm);
        AllAudio.insert(AllAudio.end(), pcm.begin(), pcm.end());
    }

    if (!mixFile.empty()) {
        std::filesystem::remove_all(pattern);
        WriteRaw(mixFile, MixedAudio(60));
        return 0;
    }
    PrintDetectionTable();
    PrintLineEventFigures(Corpus);
    if (files)
        PrintProcessFigures(pattern);
    PrintEchoFigures(pattern, echoCalls, Instructions);
    std::filesystem::remove_all(pattern);

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
