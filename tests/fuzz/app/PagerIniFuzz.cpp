// Any bytes as "pager.ini" beside the window at start-up: the window is made, whatever went
// wrong is shown as a conversion or I/O error, the saved format is used only inside the list,
// and the settings it then saves read back to the same file.
#include "FuzzWindow.h"

#include <QComboBox>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::string ReadAll(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Expected(const std::string& text) {
    // A bad number (the display ends its text at a NUL byte of the number), a missing line, or
    // the modem port this run never has.
    return text.rfind("'", 0) == 0 || text.rfind("I/O error", 0) == 0 ||
           text.rfind("Unable to open com port (Error: 2): ", 0) == 0;
}

TMainFormOptions Options(const std::string& folder) {
    TMainFormOptions options;
    UseTestSound(options.Conf);
    options.ExeFolder = folder;
    options.Conf.ModemPort = folder + "/no-modem";
    return options;
}

} // namespace

// The first window loads the fonts, whose caches would otherwise count as a leak of an input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzApp();
    ShownErrors();
    TMainForm first(Options(FuzzFolder(false)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string folder = FuzzFolder(false);
    {
        std::ofstream out(folder + "/pager.ini", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    ShownErrors().clear();
    TMainForm form(Options(folder));
    for (const std::string& text : ShownErrors())
        if (!Expected(text)) {
            std::fprintf(stderr, "unexpected error shown: %s\n", text.c_str());
            std::abort();
        }
    const int format = form.FormatBox2->currentIndex();
    if (format < -1 || format >= form.FormatBox2->count())
        std::abort();

    // Saving what was loaded, loading that and saving again gives the same file.
    form.SaveConfig(folder + "/first.ini");
    ShownErrors().clear();
    RunHandler([&] { form.LoadConfig(folder + "/first.ini"); });
    form.SaveConfig(folder + "/second.ini");
    if (ReadAll(folder + "/first.ini") != ReadAll(folder + "/second.ini"))
        std::abort();
    return 0;
}
