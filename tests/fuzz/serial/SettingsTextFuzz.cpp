// Any text turned into a setting must give a value of its type whose text matches the input
// in letter case only, or the table's fallback.
#include "serial/ComText.h"
#include "toolkit/StringUtils.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

template <typename E>
void Check(const std::string& text, E value, int last, E fallback, std::string (*toText)(E)) {
    if (static_cast<int>(value) < 0 || static_cast<int>(value) > last)
        std::abort();
    if (!SameText(toText(value), text) && value != fallback)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Check(text, TextToBaudRate(text), br256000, br9600, BaudRateText);
    Check(text, TextToDataBits(text), dbEight, dbEight, DataBitsText);
    Check(text, TextToStopBits(text), sbTwoStopBits, sbOneStopBit, StopBitsText);
    Check(text, TextToParity(text), prSpace, prNone, ParityText);
    Check(text, TextToFlowControl(text), fcCustom, fcCustom, FlowControlText);
    return 0;
}
