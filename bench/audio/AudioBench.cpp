// Audio figures:
//  - CPU used by one idle capturing stream with a data-ready handler on the simulated card
//    (notification thread, device thread and the main-thread checks) over 10 s of wall time;
//  - throughput of writing a 1 GiB WAV file through CopyFrom from a memory source, beside
//    `cp` of a 1 GiB file in the same run.
// LUMISK_BENCH_DIR chooses where the 1 GiB files go (default: the temp folder).
#include "audio/SoundCaptureStream.h"
#include "audio/Wave.h"
#include "support/SoundSettings.h"
#include "toolkit/Thread.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <unistd.h>

namespace {

double CpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void BM_IdleCaptureStreamCpu(benchmark::State& state) {
    SetSoundDriver("sim");
    SetSimCapture(""); // silence: an idle line
    for (auto _ : state) {
        TSoundCaptureStream stream;
        stream.FormatIndex = 2; // 8000 Hz 16 bit mono, as the decoder's stream
        stream.SetBufferMilliseconds(2048);
        int64_t bytes = 0;
        stream.SetOnDataReady([&](TSoundCaptureStream* sender) {
            char block[1024];
            while (sender->GetReadyBytes() >= 1024) {
                sender->ReadBuffer(block, 1024);
                bytes += 1024;
            }
        });
        const double process0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double main0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const auto start = std::chrono::steady_clock::now();
        stream.StartCapture();
        while (std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
            CheckSynchronize(100);
        stream.StopCapture();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double process = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0;
        const double mainThread = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - main0;
        state.SetIterationTime(wall);
        state.counters["cpu_percent_total"] = 100 * process / wall;
        state.counters["cpu_percent_main"] = 100 * mainThread / wall;
        state.counters["cpu_percent_threads"] = 100 * (process - mainThread) / wall;
        state.counters["bytes_read"] = static_cast<double>(bytes);
    }
}
BENCHMARK(BM_IdleCaptureStreamCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Hands out the same 16 MiB block over and over: a source that costs no I/O.
class TRepeatingMemoryStream : public TStream {
public:
    TRepeatingMemoryStream() : FBlock(16 << 20) {
        for (size_t i = 0; i < FBlock.size(); ++i)
            FBlock[i] = static_cast<char>(i * 31);
    }
    int32_t Read(void* buffer, int32_t count) override {
        auto* out = static_cast<char*>(buffer);
        for (int32_t done = 0; done < count;) {
            const size_t at = static_cast<size_t>(FPosition % static_cast<int64_t>(FBlock.size()));
            const auto n =
                static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(count - done), FBlock.size() - at));
            std::memcpy(out + done, FBlock.data() + at, static_cast<size_t>(n));
            done += n;
            FPosition += n;
        }
        return count;
    }
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t offset, int origin) override {
        FPosition = origin == soBeginning ? offset : FPosition + offset;
        return FPosition;
    }

private:
    std::vector<char> FBlock;
    int64_t FPosition = 0;
};

std::filesystem::path BenchDir() {
    const char* dir = std::getenv("LUMISK_BENCH_DIR");
    return dir ? std::filesystem::path(dir) : std::filesystem::temp_directory_path();
}

constexpr int64_t OneGiB = int64_t{1} << 30;

void BM_WriteWaveOneGiB(benchmark::State& state) {
    const auto wav = BenchDir() / ("lumisk_bench_" + std::to_string(getpid()) + ".wav");
    const auto copy = BenchDir() / ("lumisk_bench_" + std::to_string(getpid()) + "_cp.wav");
    TRepeatingMemoryStream source;
    double waveSeconds = 0, cpSeconds = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        {
            TWaveFileStream wave(wav, fmCreate);
            wave.AssignPcmFormat(44100, 16, 2);
            wave.OpenWave(true);
            wave.CopyFrom(source, OneGiB - 46);
        }
        waveSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        start = std::chrono::steady_clock::now();
        const int rc = std::system(("cp '" + wav.string() + "' '" + copy.string() + "'").c_str());
        cpSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (rc != 0)
            state.SkipWithError("cp failed");
        state.SetIterationTime(waveSeconds);
        std::filesystem::remove(copy);
    }
    std::filesystem::remove(wav);
    state.counters["wave_MiB_per_s"] = 1024 / waveSeconds;
    state.counters["cp_MiB_per_s"] = 1024 / cpSeconds;
    state.counters["time_ratio_wave_to_cp"] = waveSeconds / cpSeconds;
}
BENCHMARK(BM_WriteWaveOneGiB)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
