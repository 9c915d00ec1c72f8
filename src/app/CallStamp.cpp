#include "app/CallStamp.h"

namespace {

std::string FormatTime(const char* format, const std::tm& parts) {
    char buffer[128];
    size_t n = std::strftime(buffer, sizeof buffer, format, &parts);
    return std::string(buffer, n);
}

} // namespace

std::string FormatCallStamp(std::time_t time) {
    std::tm parts{};
    localtime_r(&time, &parts);
    return FormatTime("%x", parts) + "_" + FormatTime("%X", parts);
}

std::string TextToHex(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(text.size() * 2);
    for (unsigned char c : text) {
        result += digits[c >> 4];
        result += digits[c & 0x0F];
    }
    return result;
}
