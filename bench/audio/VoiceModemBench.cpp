// The voice-modem path, one call each: set-up, answer, 2 s of the caller's audio captured, a
// 3 s prompt played, hang-up, through a real serial port on the line simulator's voice-modem
// end (in this process). Figures per call:
//   cpu_ms_per_call_s  process CPU (box side and the simulated modem together) per call second
//   max_gap_ms         the longest underrun the modem had inside the prompt (goal: none over 20)
//   lost_samples       caller samples the modem sent that the capture buffer did not get (goal 0)
//   xoff               times the modem held the box back
// The peer, measured in the same run: the same call on the simulated sound card (capture for
// the whole call, the same prompt played), whose CPU per call second is the yardstick.
#include "VoiceModemEnd.h"
#include "app/ComPortVoiceLink.h"
#include "audio/SimSoundCard.h"
#include "audio/VoiceModemSound.h"
#include "support/SoundSettings.h"
#include "toolkit/Thread.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

WAVEFORMATEX Pcm16() {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 1;
    f.nSamplesPerSec = 8000;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 2;
    f.nAvgBytesPerSec = 16000;
    return f;
}

// 3 s of a 440 Hz tone whose bytes often are DLE.
std::vector<uint8_t> Prompt() {
    std::vector<uint8_t> data;
    for (int i = 0; i < 24000; ++i) {
        const auto s = static_cast<int16_t>(8000 * std::sin(i * 2 * M_PI * 440 / 8000)) | 0x1010;
        data.push_back(static_cast<uint8_t>(s & 0xFF));
        data.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
    }
    return data;
}

std::unique_ptr<ISoundCaptureBuffer> CaptureBuffer(ISoundBackend& backend, const TDeviceGuid* id) {
    const WAVEFORMATEX f = Pcm16();
    std::unique_ptr<ISoundCapture> capture;
    backend.CreateCapture(id, capture);
    DSCBUFFERDESC d;
    d.dwBufferBytes = 16000 * 20;
    d.lpwfxFormat = &f;
    std::unique_ptr<ISoundCaptureBuffer> buffer;
    capture->CreateCaptureBuffer(d, buffer);
    return buffer;
}

const char* const Codings[] = {"16bit", "8bit", "ulaw"};

void BM_VoiceModemCall(benchmark::State& state) {
    TThread::SetMainThread();
    const std::vector<uint8_t> prompt = Prompt();
    for (auto _ : state) {
        TVoiceModemOptions options;
        options.Formats = Codings[state.range(0)];
        TVoiceModemEnd modem(options);
        TComPort port;
        port.SetPort(modem.SlavePath());
        TVoiceModemSession* target = nullptr;
        TComPortVoiceLink link(port, target);
        TVoiceModemSession session(link);
        target = &session;
        port.OpenPort();
        TVoiceModemSound sound(session);
        session.Start();
        const TDeviceGuid id = TVoiceModemSound::DeviceId;
        auto buffer = CaptureBuffer(sound, &id);
        buffer->Start(DSCBSTART_LOOPING);

        const double cpu0 = CpuSeconds();
        const auto wall0 = Clock::now();
        session.Answer();
        TSamples speech;
        AppendTone(speech, 1000, 2000);
        modem.Say(speech);
        modem.WaitUntil([&] { return modem.Snapshot().QueuedCallerSamples == 0; }, 10000);
        const std::atomic<bool> never{false};
        sound.Play(Pcm16(), prompt.data(), static_cast<uint32_t>(prompt.size()), never);
        session.Hangup();
        const double cpu = CpuSeconds() - cpu0;
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();

        buffer->Stop();
        const auto record = modem.Snapshot();
        uint64_t captured = 0;
        buffer->CapturedTotal(captured);
        const auto sentSamples =
            static_cast<double>(record.Sent.size() / static_cast<size_t>(session.Format().BytesPerSample()));
        state.counters["cpu_ms_per_call_s"] = cpu * 1000 / wall;
        state.counters["max_gap_ms"] = record.LongestGapMs;
        state.counters["lost_samples"] = sentSamples - static_cast<double>(captured / 2);
        state.counters["overrun_bytes"] = static_cast<double>(record.OverrunBytes);
        state.counters["xoff"] = record.XoffSent;
        state.counters["call_s"] = wall;
        buffer.reset();
        target = nullptr;
        port.ClosePort();
    }
}
BENCHMARK(BM_VoiceModemCall)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SimCardCallPeer(benchmark::State& state) {
    SetSimCapture("");
    SetSimPlayback("");
    const std::vector<uint8_t> prompt = Prompt();
    for (auto _ : state) {
        auto buffer = CaptureBuffer(SimSoundCard(), nullptr);
        const double cpu0 = CpuSeconds();
        const auto wall0 = Clock::now();
        buffer->Start(DSCBSTART_LOOPING);
        const std::atomic<bool> never{false};
        std::vector<uint8_t> listen(32000, 0); // the 2 s the caller speaks, as time on the card
        SimSoundCard().Play(Pcm16(), listen.data(), static_cast<uint32_t>(listen.size()), never);
        SimSoundCard().Play(Pcm16(), prompt.data(), static_cast<uint32_t>(prompt.size()), never);
        buffer->Stop();
        const double cpu = CpuSeconds() - cpu0;
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        state.counters["cpu_ms_per_call_s"] = cpu * 1000 / wall;
        state.counters["call_s"] = wall;
    }
}
BENCHMARK(BM_SimCardCallPeer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
