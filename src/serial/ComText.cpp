#include "serial/ComText.h"

#include "toolkit/StringUtils.h"

#include <array>

namespace {

constexpr std::array<const char*, 16> BaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<const char*, 4> DataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 3> StopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 5> ParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> FlowControlTexts = {"Hardware", "Software", "None", "Custom"};

// Out-of-range values (a cast from stored data) read as "" rather than past the table.
template <size_t N> std::string TextAt(const std::array<const char*, N>& table, int value) {
    if (value < 0 || static_cast<size_t>(value) >= N)
        return "";
    return table[static_cast<size_t>(value)];
}

template <typename E, size_t N>
E ValueOf(const std::array<const char*, N>& table, const std::string& text, E fallback) {
    const std::string wanted = UpperCase(text);
    for (size_t i = 0; i < N; ++i)
        if (UpperCase(table[i]) == wanted)
            return static_cast<E>(i);
    return fallback;
}

} // namespace

std::string BaudRateText(TBaudRate value) {
    return TextAt(BaudRateTexts, value);
}
std::string DataBitsText(TDataBits value) {
    return TextAt(DataBitsTexts, value);
}
std::string StopBitsText(TStopBits value) {
    return TextAt(StopBitsTexts, value);
}
std::string ParityText(TParityBits value) {
    return TextAt(ParityTexts, value);
}
std::string FlowControlText(TFlowControl value) {
    return TextAt(FlowControlTexts, value);
}

TBaudRate TextToBaudRate(const std::string& text) {
    return ValueOf(BaudRateTexts, text, br9600);
}
TDataBits TextToDataBits(const std::string& text) {
    return ValueOf(DataBitsTexts, text, dbEight);
}
TStopBits TextToStopBits(const std::string& text) {
    return ValueOf(StopBitsTexts, text, sbOneStopBit);
}
TParityBits TextToParity(const std::string& text) {
    return ValueOf(ParityTexts, text, prNone);
}
TFlowControl TextToFlowControl(const std::string& text) {
    return ValueOf(FlowControlTexts, text, fcCustom);
}
