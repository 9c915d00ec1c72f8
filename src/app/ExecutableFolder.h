// The folder of the running program, where "pager.ini", "lumisk.conf" and the automatic
// recordings live.
#pragma once

#include <string>

// From /proc/self/exe, without a trailing "/". Falls back to the current folder (".") when the
// link cannot be read.
std::string ExecutableFolder();
