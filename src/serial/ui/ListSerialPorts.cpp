#include "serial/ui/ListSerialPorts.h"

#include "toolkit/StringUtils.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sys/stat.h>

namespace {

std::string& Root() {
    static std::string root = "/sys/class/tty";
    return root;
}

std::string& ByIdRoot() {
    static std::string root = "/dev/serial/by-id";
    return root;
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir)
        return names;
    while (dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    return names;
}

void SortIgnoringCase(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return LowerCase(a) < LowerCase(b); });
}

// The 8250 driver registers a ttyS* for every possible console port; those without a UART
// report the port type 0 (unknown) and cannot carry a modem.
bool HasNoUart(const std::string& port) {
    std::ifstream type(Root() + "/" + port + "/type");
    int value = -1;
    return type >> value && value == 0;
}

} // namespace

const std::string& SerialPortsRoot() {
    return Root();
}

void SetSerialPortsRoot(const std::string& root) {
    Root() = root;
}

const std::string& SerialByIdRoot() {
    return ByIdRoot();
}

void SetSerialByIdRoot(const std::string& root) {
    ByIdRoot() = root;
}

void ListSerialPorts(std::vector<std::string>& target) {
    struct stat root {};
    if (stat(Root().c_str(), &root) != 0 || !S_ISDIR(root.st_mode))
        return;
    std::vector<std::string> names;
    for (const std::string& name : Entries(Root())) {
        // Only ports bound to a driver; the console's tty0..tty63 and pseudo-terminals have none.
        struct stat info {};
        if (stat((Root() + "/" + name + "/device/driver").c_str(), &info) == 0 && !HasNoUart(name))
            names.push_back(name);
    }
    SortIgnoringCase(names);
    std::vector<std::string> links;
    for (const std::string& name : Entries(ByIdRoot()))
        links.push_back(ByIdRoot() + "/" + name);
    SortIgnoringCase(links);
    names.insert(names.end(), links.begin(), links.end());
    target = std::move(names);
}
