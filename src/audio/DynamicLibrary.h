// Libraries loaded at run time (dlopen), each once per process whatever the case of its name,
// and released at program end in the order they were loaded.
#pragma once

#include <string>
#include <utility>
#include <vector>

// One entry per loaded library: lower-case name and handle.
class TLoadedModules {
public:
    ~TLoadedModules();
    void* Find(const std::string& lowerName) const;
    void Add(const std::string& lowerName, void* handle);
    int Count() const { return static_cast<int>(FModules.size()); }

private:
    std::vector<std::pair<std::string, void*>> FModules;
};

// The process-wide list, created on first use.
TLoadedModules& LoadedModules();

// The address of functionName in libraryName, loading the library if needed. Raises Exception
// "%s not loaded" with the library name when the library or the function is missing.
void* LoadDllFunction(const std::string& libraryName, const std::string& functionName);
