// lumisk-linesim: the simulated telephone line for tests and the demo.
//
// The modem end: creates a pseudo-terminal pair and behaves as a voice modem on it. The box
// opens the slave as its serial port (Port set to the printed path, or to --link).
//
// Usage: lumisk-linesim [--control FIFO] [--log FILE] [--link PATH] [--split-gap MS] [--line SETTINGS]
//                       [--capture FIFO] [--playback FIFO] [--call SCRIPT]
//
// Output (stdout, one line each, flushed at once):
//   pty <slave path>            first line: the device to open
//   rx <time stamp> <line>      every line the box sent (CR or LF ends a line; control bytes
//                               shown as \xHH); lines starting with "AT" are answered "OK\r\n"
//   ok <command> [<detail>]     a command was carried out
//   error <message>             a command failed
//
// Command channel: one command a line, on stdin (the simulator ends at the end of stdin), or
// with --control on the named FIFO (created when missing; several writers may come and go, e.g.
// `echo ring > FIFO`; stdin is then not read):
//   ring                  send "RING\r\n" in one write
//   ring split            send "RI", wait --split-gap ms (default 50), send "NG\r\n"
//   send TEXT             send TEXT in one write; \r \n \t \\ \xHH stand for those bytes
//   reply [TEXT]          answer AT lines with TEXT instead of "OK\r\n" (empty: no answer)
//   drop                  close the modem end: the box's port sees its device go away
//   plug                  a new modem end after a drop; with --link the link points at it, so
//                         the box opens it at the same path ("ok plug <slave path>")
//   quit                  end the simulator
//   call SCRIPT           place a call (below); "ok call" comes at once, "call ..." lines follow
//   abort                 end the call in progress
//   erl DB                with --line: the echo's return loss from now on (negative: no echo)
//
// The caller's end (with --capture, and --playback to hear the box):
//   --capture FIFO        the box's simulated sound card reads the caller's audio from it
//                         (the box's [sound] capture); created when missing
//   --playback FIFO       the box's card plays into it ([sound] playback); created when missing
//   --call SCRIPT         place this call at once and end when it is over: status 0 when it went
//                         through to the hang-up, 1 otherwise. stdin may then be closed.
//   --line SETTINGS       put a telephone line between the caller and the box (needs --capture):
//                         the caller's audio reaches the box after the line's loss, with its noise
//                         and G.711 coding, and what the box plays (read from --playback) comes
//                         back mixed in as the hybrid's echo, all in real time. SETTINGS is a comma
//                         list of loss=DB (caller's attenuation), law=linear|ulaw|alaw,
//                         noise=DBFS (RMS, e.g. -60), erl=DB (echo return loss; none without it),
//                         delay=MS (the echo path's delay beyond the card's), seed=N (the noise's),
//                         e.g. "loss=9,law=ulaw,noise=-60,erl=15,delay=20". The line then runs for
//                         the simulator's whole life: noise reaches the box between calls too.
//                         Without --line the caller's audio reaches the box bit-exact.
// A call SCRIPT is: KEYS [key=MS] [gap=MS] [quiet=MS] [ahead=MS | into=MS] [limit=S] [answer=TEXT]
//   [hangup=TEXT] [heard=FILE.wav] [wav FILE | say TEXT... | tone SECONDS | none]
// KEYS are the touch-tone keys to press ("-" for none), each sounding key= ms (100) and followed
// by gap= ms (100) of silence. The call sends RING, waits for the answer line (ATH1), waits until
// the greeting is over (quiet= ms (700) without sound from the box), presses the keys, waits until
// the box has asked for the message and beeped, then sends the message: a WAV file, text spoken
// by espeak-ng (a tone where it is missing), or a 440 Hz tone (default: 3 s). It then waits for
// the hang-up line (ATH0). With ahead= the keys come that many ms after the answer, while the
// greeting plays (type-ahead), and the message follows the box's "ATDD;" and its beep; into= is
// the same, counted from the greeting's first sound on the line instead. "- none"
// is a silent caller: nothing is keyed or said, the call waits for the box to hang up. Each wait
// is bounded by limit= seconds (60). heard= saves what the box
// played from the answer on, as an 8 kHz 16-bit mono WAV file.
// More script words:
//   cid=before|between   the modem end sends caller-ID lines before the first RING (as in the
//                        UK) or after it, before the second; none without this word
//   cidform=spaced|tight|partial|private|outofarea
//                        "NMBR = 5551234" (spaced, the default), "NMBR=5551234" (tight), only
//                        "TIME=1330" and "NMBR = 5551234" (partial), "NMBR = P" (private) or
//                        "NMBR = O" (outofarea); DATE and TIME are the local time of the call
//   nmbr=NUMBER          the number sent (5551234)
//   name=NAME            the name sent, "_" for a space (DOE_JANE)
//   rings=N              RINGs sent until the box answers (1), ringgap= ms apart (1000)
//   again=KEYS           once the prompts after the keys are over, KEYS are pressed as well (a
//                        wrong number keyed again after "notfound.wav"); not with ahead= or into=
//   hash                 "#" is pressed after the message
//   tail=busy|reorder|busy425|busy400|dial|silence
//                        after the message (and "#") the caller hangs up: the line carries the
//                        exchange's tone (480+620 Hz at 0.5/0.5 s or 0.25/0.25 s, 425 Hz at
//                        0.5/0.5 s, 400 Hz at 0.375/0.375 s, 350+440 Hz continuous) or silence
//                        until the box hangs up; nobody waits for a closing prompt
// Report lines: "call ring", "call caller-id before|after the first ring", "call answered <ms>
// ms", "call keys <keys>", "call message <ms> ms", "call keys #", "call tail <kind>", then "call
// hangup <ms> ms after the answer[, <ms> ms after the tail began], heard <ms> ms" or "call failed
// <why>, heard <ms> ms".
//
// --log FILE appends "<time stamp> <line>" for every received line.
// --link PATH makes PATH a symbolic link to the slave (removed at the end).
//
// --voice-modem FORMATS: the modem carries the call's audio itself (V.253 voice mode) and offers
// FORMATS (16bit, 8bit, ulaw, alaw, comma-separated); its commands are in VoiceLine.h.
// --half-duplex is its only mode (AT+VTR is refused); --shielded-keys reports keys as
// <DLE>/ <DLE>k <DLE>~; --forget-on-hangup drops voice mode at ATH0 as some modems do.
#include "CallerEnd.h"
#include "LineSimulator.h"
#include "ModemEnd.h"
#include "VoiceLine.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <unistd.h>

namespace {

int Usage() {
    std::fprintf(
        stderr, "usage: lumisk-linesim [--control FIFO] [--log FILE] [--link PATH] [--split-gap MS]\n"
                "                      [--capture FIFO] [--playback FIFO] [--call SCRIPT] [--line SETTINGS]\n"
                "                      [--voice-modem FORMATS [--shielded-keys] [--forget-on-hangup]]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string control, logPath, link, capture, playback, call, line;
    bool haveCall = false, haveLine = false;
    int splitGap = 50;
    bool voice = false;
    TVoiceModemOptions voiceOptions;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--half-duplex" || arg == "--shielded-keys" || arg == "--forget-on-hangup") {
            voiceOptions.ShieldedKeys |= arg == "--shielded-keys";
            voiceOptions.ForgetOnHangup |= arg == "--forget-on-hangup";
            continue;
        }
        if (i + 1 >= argc)
            return Usage();
        if (arg == "--control")
            control = argv[++i];
        else if (arg == "--log")
            logPath = argv[++i];
        else if (arg == "--link")
            link = argv[++i];
        else if (arg == "--capture")
            capture = argv[++i];
        else if (arg == "--playback")
            playback = argv[++i];
        else if (arg == "--call") {
            call = argv[++i];
            haveCall = true;
        } else if (arg == "--line") {
            line = argv[++i];
            haveLine = true;
        } else if (arg == "--voice-modem") {
            voice = true;
            voiceOptions.Formats = argv[++i];
        } else if (arg == "--split-gap")
            splitGap = std::atoi(argv[++i]);
        else
            return Usage();
    }
    try {
        if (voice)
            return RunVoiceLine(voiceOptions, control, link, logPath, call, haveCall);
        TModemEnd modem;
        TLineSimulator sim;
        TCallerEnd caller(capture, playback);
        if (haveLine)
            caller.SetLine(TLineModelSettings::Parse(line));
        int status = 0;
        FILE* log = logPath.empty() ? nullptr : std::fopen(logPath.c_str(), "a");
        if (!logPath.empty() && !log) {
            std::fprintf(stderr, "lumisk-linesim: cannot open %s: %s\n", logPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
        modem.OnLine = [&](const std::string& line) {
            const std::string stamp = LogTimeStamp();
            sim.Emit("rx " + stamp + " " + EscapeText(line));
            if (log) {
                std::fprintf(log, "%s %s\n", stamp.c_str(), EscapeText(line).c_str());
                std::fflush(log);
            }
            caller.ModemLine(line);
        };
        sim.AttachModem(modem, splitGap);
        caller.OnReport = [&sim](const std::string& line) { sim.Emit(line); };
        caller.OnRing = [&modem] { return modem.Send("RING\r\n"); };
        caller.OnModemText = [&modem](const std::string& text) { return modem.Send(text); };
        if (caller.PlaybackFd() >= 0)
            sim.AddSource([&caller] { return caller.PlaybackFd(); }, [&caller] { caller.HandlePlayback(); });
        sim.AddCommand(
            "call",
            "call SCRIPT           place a call: KEYS [option=value ...] [wav FILE | say TEXT | tone S | "
            "none]",
            [&caller](const std::string& args) { return caller.StartCall(ParseCallScript(args)); });
        sim.AddCommand(
            "erl",
            "erl DB                the line model's echo return loss from now on (a call on another line)",
            [&caller](const std::string& args) {
                std::size_t used = 0;
                const double db = std::stod(args, &used);
                if (used != args.size() || db > 120)
                    throw std::runtime_error("erl takes a number of dB up to 120");
                caller.SetEchoReturnLoss(db);
                return args;
            });
        sim.AddCommand("abort", "abort                 end the call in progress",
                       [&caller](const std::string&) {
                           caller.Abort();
                           return std::string();
                       });
        if (haveCall) {
            sim.KeepRunningAfterInput = true;
            caller.OnCallEnded = [&sim, &status](bool completed) {
                status = completed ? 0 : 1;
                sim.RequestQuit();
            };
        }
        modem.Link = link;
        if (!link.empty()) {
            unlink(link.c_str());
            if (symlink(modem.SlavePath().c_str(), link.c_str()) != 0) {
                std::fprintf(stderr, "lumisk-linesim: cannot link %s: %s\n", link.c_str(),
                             std::strerror(errno));
                return 1;
            }
        }
        sim.Emit("pty " + modem.SlavePath());
        if (haveCall)
            sim.Execute("call " + call);
        if (haveCall && !caller.Busy())
            status = 1; // the script was refused: the reason is on stdout
        else
            sim.Run(control);
        caller.Abort();
        if (!link.empty())
            unlink(link.c_str());
        if (log)
            std::fclose(log);
        if (status != 0)
            return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumisk-linesim: %s\n", e.what());
        return 1;
    }
    return 0;
}
