#include "VoiceLine.h"

#include "LineSimulator.h"
#include "ModemEnd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct TVoiceScript {
    std::string Keys;
    int AheadMs = -1;
    int QuietMs = 700;
    int LimitSeconds = 60;
    char Tail = 0;
    std::string Message = "tone";
    std::string MessageArg = "3";
};

TVoiceScript ParseVoiceScript(const std::string& text) {
    std::istringstream in(text);
    TVoiceScript script;
    if (!(in >> script.Keys))
        throw std::runtime_error("call needs KEYS (\"-\" for none)");
    if (script.Keys == "-")
        script.Keys.clear();
    std::string word;
    while (in >> word) {
        const size_t eq = word.find('=');
        const std::string name = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        if (name == "ahead")
            script.AheadMs = std::stoi(value);
        else if (name == "quiet")
            script.QuietMs = std::stoi(value);
        else if (name == "limit")
            script.LimitSeconds = std::stoi(value);
        else if (name == "tail" && value.size() == 1)
            script.Tail = value[0];
        else if (word == "wav" || word == "tone") {
            script.Message = word;
            if (!(in >> script.MessageArg))
                throw std::runtime_error(word + " needs an argument");
        } else if (word == "none")
            script.Message = "none";
        else
            throw std::runtime_error("unknown call option: " + word);
    }
    return script;
}

TSamples MessageOf(const std::string& kind, const std::string& arg) {
    TSamples samples;
    if (kind == "wav")
        samples = ReadWaveAsLine(arg);
    else if (kind == "tone")
        AppendTone(samples, 440, static_cast<int>(std::stod(arg) * 1000));
    return samples;
}

// One scripted call on its own thread; every wait is bounded by the script's limit.
void RunCall(TVoiceModemEnd& modem, TLineSimulator& sim, TVoiceScript script, TSamples message,
             std::atomic<bool>& abort, std::atomic<int>& outcome) {
    const auto until = Clock::now() + std::chrono::seconds(script.LimitSeconds);
    auto fail = [&](const std::string& why) {
        sim.Emit("call failed " + why);
        outcome = 1;
    };
    auto wait = [&](const std::function<bool(const TVoiceModemEnd::TRecord&)>& done) {
        while (!abort && Clock::now() < until) {
            if (modem.WaitUntil([&] { return done(modem.Snapshot()); }, 200))
                return true;
        }
        return false;
    };
    // Listening without a break for quietMs: the box's prompts are over for now.
    auto waitQuiet = [&](int prompts) {
        auto since = Clock::now();
        return wait([&](const TVoiceModemEnd::TRecord& r) {
            if (!r.Receiving || r.Prompts < prompts)
                since = Clock::now();
            return Clock::now() - since >= std::chrono::milliseconds(script.QuietMs);
        });
    };
    sim.Emit("call ring");
    const auto ringStart = Clock::now();
    while (!modem.Snapshot().OffHook) {
        modem.Ring();
        if (wait([&](const TVoiceModemEnd::TRecord& r) {
                return r.OffHook || Clock::now() - ringStart > std::chrono::seconds(2);
            }) &&
            modem.Snapshot().OffHook)
            break;
        if (abort || Clock::now() >= until)
            return fail("no answer");
    }
    sim.Emit("call answered");
    if (script.AheadMs >= 0) {
        if (!wait([](const TVoiceModemEnd::TRecord& r) { return r.Transmitting; }))
            return fail("no greeting");
        std::this_thread::sleep_for(std::chrono::milliseconds(script.AheadMs));
    } else if (!waitQuiet(1)) {
        return fail("no prompt");
    }
    const int promptsAtKeys = modem.Snapshot().Prompts;
    modem.PressKeys(script.Keys);
    sim.Emit("call keys " + (script.Keys.empty() ? std::string("-") : script.Keys));
    if (script.Message != "none") {
        // The box asks for the message (one prompt or more), then listens.
        if (!waitQuiet(promptsAtKeys + 1))
            return fail("no request for the message");
        modem.Say(message);
        sim.Emit("call message " + std::to_string(MillisecondsOf(message)) + " ms");
        if (!wait([](const TVoiceModemEnd::TRecord& r) { return r.QueuedCallerSamples == 0 || !r.OffHook; }))
            return fail("message not taken");
    }
    const auto tailAt = Clock::now();
    if (script.Tail) {
        modem.Event(script.Tail);
        sim.Emit(std::string("call tail ") + script.Tail);
    }
    const size_t linesAtAnswer = modem.Snapshot().Lines.size();
    auto hungUp = [linesAtAnswer](const TVoiceModemEnd::TRecord& r) {
        return !r.OffHook &&
               std::find(r.Lines.begin() + static_cast<ptrdiff_t>(std::min(linesAtAnswer, r.Lines.size())),
                         r.Lines.end(), "ATH0") != r.Lines.end();
    };
    if (!wait(hungUp))
        return fail("no hang-up");
    const auto hungUpAfter = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tailAt);
    // The box sets the modem up again after the hang-up: let it finish before the line goes.
    auto lastLine = Clock::now();
    size_t lines = modem.Snapshot().Lines.size();
    wait([&](const TVoiceModemEnd::TRecord& r) {
        if (r.Lines.size() != lines) {
            lines = r.Lines.size();
            lastLine = Clock::now();
        }
        return Clock::now() - lastLine > std::chrono::seconds(1);
    });
    // What the caller would have heard amiss in the box's prompts.
    const TVoiceModemEnd::TRecord heard = modem.Snapshot();
    char quality[96];
    std::snprintf(quality, sizeof quality, "longest gap %.1f ms, overrun %llu bytes", heard.LongestGapMs,
                  static_cast<unsigned long long>(heard.OverrunBytes));
    sim.Emit("call hangup " +
             (script.Tail ? std::to_string(hungUpAfter.count()) + " ms after the tail, " : std::string()) +
             quality);
    outcome = 0;
}

} // namespace

int RunVoiceLine(const TVoiceModemOptions& options, const std::string& control, const std::string& link,
                 const std::string& logPath, const std::string& call, bool haveCall) {
    TVoiceModemEnd modem(options);
    TLineSimulator sim;
    FILE* log = logPath.empty() ? nullptr : std::fopen(logPath.c_str(), "a");
    if (!logPath.empty() && !log) {
        std::fprintf(stderr, "lumisk-linesim: cannot open %s: %s\n", logPath.c_str(), std::strerror(errno));
        return 1;
    }
    modem.OnLine = [&](const std::string& line) {
        const std::string stamp = LogTimeStamp();
        sim.Emit("rx " + stamp + " " + EscapeText(line));
        if (log) {
            std::fprintf(log, "%s %s\n", stamp.c_str(), EscapeText(line).c_str());
            std::fflush(log);
        }
    };
    sim.AddCommand("ring", "ring                  send RING", [&](const std::string&) {
        modem.Ring();
        return std::string();
    });
    sim.AddCommand("keys", "keys KEYS             the caller presses KEYS", [&](const std::string& args) {
        modem.PressKeys(args);
        return args;
    });
    sim.AddCommand("say", "say FILE.wav | tone S the caller speaks", [&](const std::string& args) {
        const size_t space = args.find(' ');
        const TSamples samples = space != std::string::npos && args.substr(0, space) == "tone"
                                     ? MessageOf("tone", args.substr(space + 1))
                                     : MessageOf("wav", args);
        modem.Say(samples);
        return std::to_string(MillisecondsOf(samples)) + " ms";
    });
    sim.AddCommand("event", "event C               a <DLE>C in the data (b d s q l H)",
                   [&](const std::string& args) {
                       if (args.size() != 1)
                           throw std::runtime_error("event takes one character");
                       modem.Event(args[0]);
                       return args;
                   });
    sim.AddCommand("drop", "drop                  close the modem end", [&](const std::string&) {
        modem.Drop();
        return std::string();
    });
    std::thread caller;
    std::atomic<bool> abort{false};
    std::atomic<int> outcome{1};
    std::atomic<bool> callOver{false};
    sim.AddCommand("call",
                   "call SCRIPT           a whole call: KEYS [ahead=MS] [quiet=MS] [limit=S] [tail=C] [wav F "
                   "| tone S | none]",
                   [&](const std::string& args) {
                       // A call that is over makes room for the next.
                       if (caller.joinable() && callOver)
                           caller.join();
                       if (caller.joinable())
                           throw std::runtime_error("one call at a time");
                       callOver = false;
                       TVoiceScript script = ParseVoiceScript(args);
                       TSamples message = MessageOf(script.Message, script.MessageArg);
                       caller = std::thread([&, script, message] {
                           RunCall(modem, sim, script, message, abort, outcome);
                           callOver = true;
                           if (haveCall)
                               sim.RequestQuit();
                       });
                       return std::string();
                   });
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(modem.SlavePath().c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "lumisk-linesim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
            return 1;
        }
    }
    sim.Emit("pty " + modem.SlavePath());
    sim.KeepRunningAfterInput = haveCall;
    if (haveCall)
        sim.Execute("call " + call);
    sim.Run(control);
    abort = true;
    if (caller.joinable())
        caller.join();
    if (!link.empty())
        unlink(link.c_str());
    if (log)
        std::fclose(log);
    return haveCall ? outcome.load() : 0;
}
