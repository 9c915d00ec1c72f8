#include "app/ConfFileAccess.h"

#include "toolkit/StringUtils.h"

#include <sys/stat.h>
#include <unistd.h>

std::string ConfFileExposure(const std::string& fileName) {
    struct stat info {};
    if (::stat(fileName.c_str(), &info) != 0)
        return std::string();
    const unsigned mode = info.st_mode & 07777;
    std::string what;
    if ((mode & ~0640u) != 0)
        what = Format("its permissions %04o are more than 0640 (chmod 640 %s)", mode, fileName.c_str());
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        what +=
            std::string(what.empty() ? "" : "; ") +
            Format("it belongs to another user (uid %u), who can read and change it (chown it to the user "
                   "that runs lumisk)",
                   static_cast<unsigned>(info.st_uid));
    if (what.empty())
        return std::string();
    return "WARNING: " + fileName + " holds the upload password, but " + what + ".";
}
