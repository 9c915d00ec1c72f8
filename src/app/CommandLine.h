// The program's command line.
#pragma once

#include <string>
#include <vector>

struct TCommandLine {
    std::string ConfigPath;   // lumisk.conf to read
    bool ConfigGiven = false; // named with --config: then it must exist
    bool Headless = false;    // --headless: unattended, no window on screen
    std::string Error;        // non-empty: the command line is wrong
};

// Understands "--config PATH", "--config=PATH" (without it, lumisk.conf in exeFolder) and
// "--headless".
TCommandLine ParseCommandLine(const std::vector<std::string>& arguments, const std::string& exeFolder);
