// Room left on the file system that holds a folder, as an unprivileged writer sees it.
#pragma once

#include "toolkit/Exception.h"

#include <cstdint>
#include <string>

// "Cannot read the free space of FOLDER: REASON"
class EFreeSpaceError : public Exception {
public:
    using Exception::Exception;
};

// Bytes the box can still write under folder (blocks free to non-root users).
uint64_t FreeBytes(const std::string& folder);
