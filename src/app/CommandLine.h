// The program's command line.
#pragma once

#include <string>
#include <vector>

struct TCommandLine {
    std::string ConfigPath;   // lumisk.conf to read
    bool ConfigGiven = false; // named with --config: then it must exist
    bool Headless = false;    // --headless: unattended, no window on screen
    std::string WorkFolder;   // --workdir: the box's own folder; empty: the default (InstallLayout.h)
    bool Check = false;       // --check: check the box's parts, print one line each, and end
    bool NoModem = false;     // --no-modem: the check leaves the modem out
    std::string Error;        // non-empty: the command line is wrong
};

// "lumisk [--config PATH] [--workdir DIR] [--headless]" and "lumisk --check [--no-modem] ...".
extern const char* const CommandLineUsage;

// Understands "--config PATH", "--config=PATH" (without it, DefaultConfigPath(exeFolder)),
// "--workdir DIR", "--workdir=DIR", "--headless", "--check" and "--no-modem" (with --check only).
TCommandLine ParseCommandLine(const std::vector<std::string>& arguments, const std::string& exeFolder);
