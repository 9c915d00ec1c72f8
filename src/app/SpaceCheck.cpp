#include "app/SpaceCheck.h"

#include "app/PagerIni.h"
#include "toolkit/FreeSpace.h"
#include "toolkit/StringUtils.h"

uint64_t MessageBytes(int timeLimitSeconds, int bytesPerSecond) {
    const int seconds = timeLimitSeconds > 0 ? timeLimitSeconds : TPagerSettings::MaxTimeLimit;
    constexpr uint64_t HeaderBytes = 44;
    return static_cast<uint64_t>(seconds) * static_cast<uint64_t>(bytesPerSecond > 0 ? bytesPerSecond : 0) +
           HeaderBytes;
}

std::string FreeSpaceWarning(const std::string& folder, uint64_t needed) {
    try {
        const uint64_t free = FreeBytes(folder);
        if (free >= needed)
            return {};
        return "only " + std::to_string(free) + " bytes free in " + folder + ", one message needs " +
               std::to_string(needed);
    } catch (const std::exception& e) {
        return OneLine(e.what());
    }
}
