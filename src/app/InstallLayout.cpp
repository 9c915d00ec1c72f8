#include "app/InstallLayout.h"

#include "app/CommandLine.h"
#include "app/LumiskConf.h"

#include <climits>
#include <unistd.h>

#ifndef LUMISK_INSTALL_BINDIR
#error "LUMISK_INSTALL_BINDIR must name the installed program folder (src/app/CMakeLists.txt)"
#endif

namespace {

std::string CurrentFolder() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string(".");
}

} // namespace

std::string InstalledBinFolder() {
    return LUMISK_INSTALL_BINDIR;
}

std::string InstalledPromptFolder() {
    return LUMISK_INSTALL_PROMPTS;
}

std::string InstalledConfigPath() {
    return LUMISK_INSTALL_CONFIG;
}

bool IsInstalledProgram(const std::string& exeFolder) {
    return exeFolder == InstalledBinFolder();
}

std::string DefaultConfigPath(const std::string& exeFolder) {
    return IsInstalledProgram(exeFolder) ? InstalledConfigPath() : exeFolder + "/lumisk.conf";
}

TBoxFolders ResolveBoxFolders(const TCommandLine& commandLine, const TLumiskConf& conf,
                              const std::string& exeFolder) {
    const bool installed = IsInstalledProgram(exeFolder);
    TBoxFolders folders;
    // /usr/bin is neither writable nor the place for a box's files.
    if (!commandLine.WorkFolder.empty())
        folders.Work = commandLine.WorkFolder;
    else
        folders.Work = installed ? CurrentFolder() : exeFolder;
    if (!conf.BoxPrompts.empty())
        folders.Prompts =
            conf.BoxPrompts.front() == '/' ? conf.BoxPrompts : folders.Work + "/" + conf.BoxPrompts;
    else if (installed)
        folders.Prompts = InstalledPromptFolder();
    return folders;
}

std::string PromptPath(const std::string& folder, const std::string& fileName) {
    return folder.empty() ? fileName : folder + "/" + fileName;
}
