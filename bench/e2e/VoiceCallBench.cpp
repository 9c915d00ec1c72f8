// The whole box on a voice modem alone ([sound] driver = modem), against the same box on the
// simulated sound card, each "lumisk --headless" on the line simulator with a real FTP server.
// The same call in both: keys 12345 after the prompts, a 3 s message, the time limit, upload.
//
//   cpu ms per call s   the box's user+system CPU from the ring to the simulator's "call
//                       hangup", per second of that call (the peer: the sound-card box)
//   longest gap         the longest underrun the voice modem had inside a prompt (goal: none
//                       over 20 ms)
//   overrun bytes       prompt bytes the modem's buffer could not take (goal 0)
//   audio lost          "decoder audio lost" lines of the box (goal none)
//
// Usage: voice_call_bench [--calls N] [--formats 16bit,8bit]
#include "BoxRig.h"
#include "ProcessCpu.h"

#include <cstdio>

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

struct TFigures {
    double CpuMsPerCallSecond = 0;
    std::string Hangup; // the simulator's last line of the last call
    int AudioLost = 0;
};

TFigures Measure(const std::string& voiceFormats, int calls) {
    TBoxRig rig(voiceFormats.empty() ? "bench-card" : "bench-voice");
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.TimeLimitSeconds = 5;
    settings.VoiceModem = voiceFormats;
    rig.StartBox(settings);
    if (rig.BoxEvent(" ready$") < 0)
        throw std::runtime_error("the box did not start");
    TFigures figures;
    double cpu = 0, wall = 0;
    for (int i = 0; i < calls; ++i) {
        const double before = CpuSeconds(rig.BoxProcess->Pid());
        const auto start = Clock::now();
        const int end = rig.Call("12345 tone 3");
        wall += std::chrono::duration<double>(Clock::now() - start).count();
        cpu += CpuSeconds(rig.BoxProcess->Pid()) - before;
        if (end < 0 || rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0) != 0)
            throw std::runtime_error("a call failed: " + rig.Line->AllText(TChildProcess::Out));
        figures.Hangup = rig.Line->Line(TChildProcess::Out, end);
    }
    for (const std::string& line : rig.BoxProcess->Lines(TChildProcess::Out))
        figures.AudioLost += line.find(" decoder audio lost ") != std::string::npos;
    figures.CpuMsPerCallSecond = 1000 * cpu / wall;
    return figures;
}

std::string Arg(int argc, char** argv, const std::string& name, const std::string& fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name)
            return argv[i + 1];
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    const int calls = std::stoi(Arg(argc, argv, "--calls", "2"));
    const std::string formats = Arg(argc, argv, "--formats", "16bit,8bit");
    try {
        const TFigures card = Measure("", calls);
        std::printf("%-14s cpu %6.2f ms per call s, audio lost %d\n", "sound card", card.CpuMsPerCallSecond,
                    card.AudioLost);
        size_t at = 0;
        while (at < formats.size()) {
            const size_t comma = std::min(formats.find(',', at), formats.size());
            const std::string format = formats.substr(at, comma - at);
            at = comma + 1;
            const TFigures voice = Measure(format, calls);
            std::printf("%-14s cpu %6.2f ms per call s (%.2f x the card), audio lost %d; %s\n",
                        ("modem " + format).c_str(), voice.CpuMsPerCallSecond,
                        voice.CpuMsPerCallSecond / card.CpuMsPerCallSecond, voice.AudioLost,
                        voice.Hangup.c_str());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "voice_call_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
