#include "serial/ui/ListSerialPorts.h"

#include "toolkit/StringUtils.h"

#include <algorithm>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

namespace {

std::string& Root() {
    static std::string root = "/sys/class/tty";
    return root;
}

} // namespace

const std::string& SerialPortsRoot() {
    return Root();
}

void SetSerialPortsRoot(const std::string& root) {
    Root() = root;
}

void ListSerialPorts(std::vector<std::string>& target) {
    std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(Root().c_str()), closedir);
    if (!folder)
        return;
    std::vector<std::string> names;
    while (dirent* entry = readdir(folder.get())) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        // Only ports bound to a driver; the console's tty0..tty63 and pseudo-terminals have none.
        struct stat info {};
        if (stat((Root() + "/" + name + "/device/driver").c_str(), &info) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return LowerCase(a) < LowerCase(b); });
    target = std::move(names);
}
