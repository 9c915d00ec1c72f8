// Measures the whole box as it runs unattended: lumisk --headless on the simulated line and
// sound card with a real FTP server, all on 127.0.0.1.
//
//   answer latency   "ring" written to the line simulator until the box's "ATH1" line is back
//                    there, against the same round trip for a command the simulator answers by
//                    itself ("send" -> "ok send"): the difference is the box's share.
//   number latency   end of the last key's tone until the box reports the mailbox number (the
//                    call-log line): the 4 s inter-digit time-out plus the decoder's delay.
//   idle CPU         user+system CPU time of the box waiting for a call, against the FTP server
//                    (pyftpdlib) idling in the same interval.
//
// Usage: e2e_bench [--rings N] [--calls N] [--idle-seconds S]
#include "BoxRig.h"
#include "ProcessCpu.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Summary(const char* what, std::vector<double> v) {
    if (v.empty()) {
        std::printf("%-28s no samples\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    std::printf("%-28s median %8.2f ms  min %8.2f  max %8.2f  (n=%zu)\n", what, v[v.size() / 2], v.front(),
                v.back(), v.size());
}

int Arg(int argc, char** argv, const std::string& name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name)
            return std::atoi(argv[i + 1]);
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    const int rings = Arg(argc, argv, "--rings", 30);
    const int calls = Arg(argc, argv, "--calls", 5);
    const int idleSeconds = Arg(argc, argv, "--idle-seconds", 60);
    try {
        TBoxRig rig("bench");
        rig.StartServer(TFtpServer::PyFtpdLib, "12345");
        TBoxSettings settings;
        settings.TimeLimitSeconds = 1;
        settings.TinyPrompts = true;
        rig.StartBox(settings);
        auto& line = *rig.Line;
        const auto out = TChildProcess::Out;

        // Idle first, before any call has warmed anything up.
        const int ready = rig.BoxEvent(" ready$");
        if (ready < 0)
            throw std::runtime_error("the box did not start");
        std::this_thread::sleep_for(std::chrono::seconds(3)); // start-up work settles
        const double boxBefore = CpuSeconds(rig.BoxProcess->Pid());
        const double serverBefore = CpuSeconds(rig.Server->Pid());
        const auto idleStart = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        const double wall = std::chrono::duration<double>(Clock::now() - idleStart).count();
        const double box = CpuSeconds(rig.BoxProcess->Pid()) - boxBefore;
        const double server = CpuSeconds(rig.Server->Pid()) - serverBefore;
        std::printf("idle CPU over %.0f s:          box %.3f s = %.3f%% of one core (goal < 1%%); "
                    "pyftpdlib %.3f s = %.3f%%\n",
                    wall, box, 100 * box / wall, server, 100 * server / wall);

        // Answer latency, with the simulator's own round trip as the baseline.
        std::vector<double> answer, baseline;
        for (int i = 0; i < rings; ++i) {
            int from = line.LineCount(out);
            auto t0 = Clock::now();
            line.Write("send \\r\\n");
            int got = line.WaitLine(out, "^ok send", from, std::chrono::seconds(10));
            if (got >= 0)
                baseline.push_back(Ms(line.LineTime(out, got) - t0));
            from = line.LineCount(out);
            const int fromBox = rig.BoxProcess->LineCount(out);
            t0 = Clock::now();
            line.Write("ring");
            got = line.WaitLine(out, "^rx .* ATH1$", from, std::chrono::seconds(10));
            if (got < 0)
                throw std::runtime_error("no answer to a ring");
            answer.push_back(Ms(line.LineTime(out, got) - t0));
            // The (one-millisecond) prompts end before the next ring.
            rig.BoxEvent(" answered$", fromBox, std::chrono::seconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        Summary("simulator round trip", baseline);
        Summary("RING -> ATH1", answer);

        // Number latency: the keys are written at once into an empty FIFO the card reads every
        // 10 ms, so the last tone ends (keys-1)*(key+gap)+key ms after the write.
        rig.BoxProcess->Stop();
        rig.StartBox(settings); // a fresh box: the rings above left the line off hook
        std::vector<double> number;
        for (int i = 0; i < calls; ++i) {
            const int fromBox = rig.BoxProcess->LineCount(out);
            const int from = rig.StartCall("12345 key=100 gap=100 quiet=300 none");
            const int keys = line.WaitLine(out, "^call keys", from, std::chrono::seconds(60));
            const int logged = rig.BoxEvent(" number 12345$", fromBox);
            if (keys < 0 || logged < 0)
                throw std::runtime_error("a call did not reach its number");
            const auto lastKeyEnd = line.LineTime(out, keys) + std::chrono::milliseconds(4 * 200 + 100);
            number.push_back(Ms(rig.BoxProcess->LineTime(out, logged) - lastKeyEnd));
            if (line.WaitLine(out, "^call (hangup|failed)", from, std::chrono::seconds(60)) < 0)
                throw std::runtime_error("a call did not end");
        }
        Summary("last key end -> number", number);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "e2e_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
