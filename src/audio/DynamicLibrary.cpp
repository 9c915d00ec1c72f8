#include "audio/DynamicLibrary.h"

#include "toolkit/Exception.h"
#include "toolkit/StringUtils.h"

#include <dlfcn.h>
#include <mutex>

namespace {
// Playback may run on a player thread while the main thread enumerates devices.
std::mutex& ModulesLock() {
    static std::mutex m;
    return m;
}
} // namespace

TLoadedModules::~TLoadedModules() {
    for (auto& module : FModules)
        dlclose(module.second);
}

void* TLoadedModules::Find(const std::string& lowerName) const {
    for (const auto& module : FModules)
        if (module.first == lowerName)
            return module.second;
    return nullptr;
}

void TLoadedModules::Add(const std::string& lowerName, void* handle) {
    FModules.emplace_back(lowerName, handle);
}

TLoadedModules& LoadedModules() {
    static TLoadedModules modules;
    return modules;
}

void* LoadDllFunction(const std::string& libraryName, const std::string& functionName) {
    std::lock_guard<std::mutex> guard(ModulesLock());
    TLoadedModules& modules = LoadedModules();
    const std::string lowerName = LowerCase(libraryName);
    void* handle = modules.Find(lowerName);
    if (!handle) {
        handle = dlopen(libraryName.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            throw Exception(Format("%s not loaded", libraryName.c_str()));
        modules.Add(lowerName, handle);
    }
    void* function = dlsym(handle, functionName.c_str());
    if (!function)
        throw Exception(Format("%s not loaded", libraryName.c_str()));
    return function;
}
