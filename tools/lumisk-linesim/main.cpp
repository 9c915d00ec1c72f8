// lumisk-linesim: the simulated telephone line for tests and the demo.
//
// The modem end: creates a pseudo-terminal pair and behaves as a voice modem on it. The box
// opens the slave as its serial port (Port set to the printed path, or to --link).
//
// Usage: lumisk-linesim [--control FIFO] [--log FILE] [--link PATH] [--split-gap MS]
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
//   quit                  end the simulator
//
// --log FILE appends "<time stamp> <line>" for every received line.
// --link PATH makes PATH a symbolic link to the slave (removed at the end).
#include "LineSimulator.h"
#include "ModemEnd.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <unistd.h>

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: lumisk-linesim [--control FIFO] [--log FILE] [--link PATH] [--split-gap MS]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string control, logPath, link;
    int splitGap = 50;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return Usage();
        if (arg == "--control")
            control = argv[++i];
        else if (arg == "--log")
            logPath = argv[++i];
        else if (arg == "--link")
            link = argv[++i];
        else if (arg == "--split-gap")
            splitGap = std::atoi(argv[++i]);
        else
            return Usage();
    }
    try {
        TModemEnd modem;
        TLineSimulator sim;
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
        };
        sim.AttachModem(modem, splitGap);
        if (!link.empty()) {
            unlink(link.c_str());
            if (symlink(modem.SlavePath().c_str(), link.c_str()) != 0) {
                std::fprintf(stderr, "lumisk-linesim: cannot link %s: %s\n", link.c_str(),
                             std::strerror(errno));
                return 1;
            }
        }
        sim.Emit("pty " + modem.SlavePath());
        sim.Run(control);
        if (!link.empty())
            unlink(link.c_str());
        if (log)
            std::fclose(log);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumisk-linesim: %s\n", e.what());
        return 1;
    }
    return 0;
}
