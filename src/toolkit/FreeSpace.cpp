#include "toolkit/FreeSpace.h"

#include "toolkit/StringUtils.h"

#include <cerrno>
#include <cstring>
#include <sys/statvfs.h>

uint64_t FreeBytes(const std::string& folder) {
    struct statvfs info {};
    int result;
    do
        result = ::statvfs(folder.c_str(), &info);
    while (result != 0 && errno == EINTR);
    if (result != 0)
        throw EFreeSpaceError(
            Format("Cannot read the free space of %s: %s", folder.c_str(), std::strerror(errno)));
    // The root reserve is not ours: the box runs as its own user.
    return static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
}
