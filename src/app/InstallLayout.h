// Where a box keeps its files. A program run from the build tree or any folder of its own keeps
// them beside the executable; the program installed in the system's program folder (the Debian
// package) takes its settings from /etc/lumisk, its prompts from /usr/share/lumisk/prompts and
// works in the current folder, or in the folder --workdir names.
#pragma once

#include <string>

struct TCommandLine;
struct TLumiskConf;

// The folders of the installed package, as the build was configured.
std::string InstalledBinFolder();
std::string InstalledPromptFolder();
std::string InstalledConfigPath();

// Whether exeFolder is the installed program's folder.
bool IsInstalledProgram(const std::string& exeFolder);

// lumisk.conf when no --config is given.
std::string DefaultConfigPath(const std::string& exeFolder);

struct TBoxFolders {
    // pager.ini, the automatic recordings and other files the box writes; the process runs in it.
    std::string Work;
    // The six prompts; empty: the current folder (which is Work once the box has entered it).
    std::string Prompts;
};

// --workdir, else the current folder when installed, else exeFolder; [box] prompts (relative to
// Work), else the installed prompt folder when installed, else the current folder.
TBoxFolders ResolveBoxFolders(const TCommandLine& commandLine, const TLumiskConf& conf,
                              const std::string& exeFolder);

// A prompt's file name inside folder (the name alone for an empty folder).
std::string PromptPath(const std::string& folder, const std::string& fileName);
