// The program's command line.
#pragma once

#include <string>
#include <vector>

struct TCommandLine {
    std::string ConfigPath;   // lumisk.conf to read
    bool ConfigGiven = false; // named with --config: then it must exist
    std::string Error;        // non-empty: the command line is wrong
};

// Understands "--config PATH" and "--config=PATH"; without it, lumisk.conf in exeFolder.
TCommandLine ParseCommandLine(const std::vector<std::string>& arguments, const std::string& exeFolder);
