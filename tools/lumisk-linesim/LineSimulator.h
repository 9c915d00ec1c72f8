// The line simulator's command loop: reads commands, one a line, from its control channel
// (stdin or a FIFO) and reports on stdout. The modem end registers its commands here; other
// parts of the simulator (the caller's end) add their own commands and descriptors.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

class TModemEnd;

class TLineSimulator {
public:
    // Returns the text after "ok <command>" on success; throws std::runtime_error to report
    // "error <message>".
    using TCommand = std::function<std::string(const std::string& args)>;

    explicit TLineSimulator(FILE* out = stdout);
    ~TLineSimulator();
    TLineSimulator(const TLineSimulator&) = delete;
    TLineSimulator& operator=(const TLineSimulator&) = delete;

    void AddCommand(const std::string& name, const std::string& help, TCommand command);
    // Calls onReadable whenever fd (>= 0) has data; the callback asks for the fd anew each turn.
    void AddSource(std::function<int()> fd, std::function<void()> onReadable);
    // Adds the modem end's commands: ring, send, reply, drop.
    void AttachModem(TModemEnd& modem, int splitGapMs);

    // Reports a line on the output, flushed at once.
    void Emit(const std::string& line);
    // Runs one command line; returns false for "quit".
    bool Execute(const std::string& line);
    // Serves the control channel and the sources until "quit" or the end of the channel. A
    // FIFO channel is reopened at its end, so that one writer after another may use it.
    void Run(const std::string& controlFifo);
    std::string Help() const;
    // Ends Run after the command or source being served; callable from any thread.
    void RequestQuit();
    // With a call given on the command line, the end of stdin does not end the simulator.
    bool KeepRunningAfterInput = false;

private:
    int FQuitEvent = -1;
    FILE* FOut;
    std::map<std::string, std::pair<std::string, TCommand>> FCommands;
    std::vector<std::pair<std::function<int()>, std::function<void()>>> FSources;
};

// Time stamp for log lines: "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string LogTimeStamp();
