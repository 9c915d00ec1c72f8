#include "app/CallerId.h"

#include <cctype>

namespace {

// No caller-ID line is longer: "NAME = " and 64 characters with room for padding. A longer line
// is noise and is dropped whole rather than kept growing.
constexpr std::size_t MaxLine = 160;

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// The value as it may travel on: printable ASCII only, at most limit characters, no spaces at
// either end.
std::string Clean(std::string_view value, std::size_t limit) {
    std::string out;
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && out.size() < limit)
            out += c;
    }
    const std::string_view trimmed = Trim(out);
    return std::string(trimmed);
}

bool SameKey(std::string_view key, const char* name) {
    std::size_t i = 0;
    for (; i < key.size() && name[i]; ++i)
        if (std::toupper(static_cast<unsigned char>(key[i])) != name[i])
            return false;
    return i == key.size() && !name[i];
}

} // namespace

std::string TCallerId::NumberText() const {
    if (Private())
        return "a private number";
    if (OutOfArea())
        return "out of area";
    return Number;
}

std::string TCallerId::AnsweredText() const {
    const std::string number = NumberText();
    // "P" and "O" in the name field say the same as in the number field: no name to show.
    const std::string name = Name == "P" || Name == "O" ? std::string() : Name;
    if (number.empty() && name.empty())
        return "answered";
    if (number.empty())
        return "answered from " + name;
    if (name.empty())
        return "answered from " + number;
    return "answered from " + number + " (" + name + ")";
}

bool TCallerIdParser::Feed(std::string_view text) {
    bool read = false;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!FOverlong)
                read = TakeLine(FLine) || read;
            FLine.clear();
            FOverlong = false;
        } else if (!FOverlong) {
            FLine += c;
            if (FLine.size() > MaxLine) {
                FLine.clear();
                FOverlong = true;
            }
        }
    }
    return read;
}

void TCallerIdParser::Clear() {
    FId = TCallerId{};
    FLine.clear();
    FOverlong = false;
}

bool TCallerIdParser::TakeLine(std::string_view line) {
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return false;
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));
    if (SameKey(key, "NMBR"))
        FId.Number = Clean(value, TCallerId::MaxNumber);
    else if (SameKey(key, "NAME"))
        FId.Name = Clean(value, TCallerId::MaxName);
    else if (SameKey(key, "DATE"))
        FId.Date = Clean(value, TCallerId::MaxDateTime);
    else if (SameKey(key, "TIME"))
        FId.Time = Clean(value, TCallerId::MaxDateTime);
    else
        return false;
    return true;
}
