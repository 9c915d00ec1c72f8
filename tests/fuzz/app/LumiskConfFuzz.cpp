// Any text as lumisk.conf: every value that is taken lies in its range, and every problem names
// the file and a line that exists.
#include "app/LumiskConf.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    TLumiskConf conf;
    conf.LoadFromText(text, "lumisk.conf");
    if (conf.ModemPort.empty() || conf.UploadPort < 1 || conf.UploadPort > 65535 || conf.UploadTimeout < 1 ||
        conf.UploadTimeout > 24 * 3600 || (conf.SoundDriver != "alsa" && conf.SoundDriver != "sim"))
        std::abort();
    const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    if (conf.Problems.size() > lines)
        std::abort();
    for (const std::string& problem : conf.Problems) {
        if (problem.rfind("lumisk.conf:", 0) != 0)
            std::abort();
        const size_t line = std::strtoul(problem.c_str() + 12, nullptr, 10);
        if (line < 1 || line > lines)
            std::abort();
    }
    return 0;
}
