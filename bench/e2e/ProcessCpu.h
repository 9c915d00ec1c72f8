// CPU time of a child process, for the whole-box measurements.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <unistd.h>

// utime + stime of a process, in seconds.
inline double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i)
        if (i == 14 || i == 15)
            ticks += std::stol(f);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
