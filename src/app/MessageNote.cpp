#include "app/MessageNote.h"

#include "toolkit/Exception.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

std::string Printable(const std::string& value) {
    std::string out;
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F)
            out += c;
    }
    return out;
}

[[noreturn]] void Fail(int line, const std::string& what) {
    throw Exception("message note line " + std::to_string(line) + ": " + what);
}

// Digits only, exactly count of them, from text at at.
bool Digits(const std::string& text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// "12.4", "12", "0.05": written by us, read without the locale's decimal comma.
bool ParseSeconds(const std::string& text, double& seconds) {
    std::size_t i = 0;
    double whole = 0, fraction = 0, scale = 1;
    bool any = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, any = true)
        whole = whole * 10 + (text[i] - '0');
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, any = true)
            fraction += (text[i] - '0') * (scale /= 10);
    if (!any || i != text.size())
        return false;
    seconds = whole + fraction;
    return true;
}

} // namespace

std::string MessageEndText(TMessageEnd end, const std::string& how) {
    switch (end) {
    case TMessageEnd::TimeLimit:
        return "time limit";
    case TMessageEnd::Hash:
        return "#";
    case TMessageEnd::CallerLeft:
        return "caller left (" + how + ")";
    case TMessageEnd::RingDuringRecording:
        return "ring during the recording";
    case TMessageEnd::Operator:
        return "operator";
    case TMessageEnd::Interrupted:
        return "interrupted";
    }
    return "interrupted";
}

std::string FormatIsoLocalTime(std::time_t time) {
    std::tm local{};
    localtime_r(&time, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    const long minutes = std::labs(offset) / 60;
    char zone[40];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return std::string(text) + zone;
}

std::time_t ParseIsoTime(const std::string& text) {
    std::tm t{};
    int year, month, day, hour, minute, second;
    const bool shape = text.size() >= 20 && Digits(text, 0, 4, year) && text[4] == '-' &&
                       Digits(text, 5, 2, month) && text[7] == '-' && Digits(text, 8, 2, day) &&
                       text[10] == 'T' && Digits(text, 11, 2, hour) && text[13] == ':' &&
                       Digits(text, 14, 2, minute) && text[16] == ':' && Digits(text, 17, 2, second);
    long offset = 0;
    bool zone = false;
    if (shape && text.size() == 20 && text[19] == 'Z') {
        zone = true;
    } else if (shape && text.size() == 25 && (text[19] == '+' || text[19] == '-') && text[22] == ':') {
        int oh, om;
        zone = Digits(text, 20, 2, oh) && Digits(text, 23, 2, om) && oh < 24 && om < 60;
        offset = (text[19] == '-' ? -1 : 1) * (oh * 3600L + om * 60L);
    }
    if (!zone || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        throw Exception("'" + text + "' is not a time of the form 2026-12-10T13:30:05+01:00");
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t) - offset;
}

std::string FormatMessageNote(const TMessageNote& note) {
    // Tenths by integer arithmetic: printf's "%.1f" would write "12,4" under a German locale.
    const long long tenths = std::llround(std::max(0.0, note.DurationSeconds) * 10);
    std::ostringstream out;
    out << "[message]\n"
        << "mailbox=" << Printable(note.Mailbox) << "\n"
        << "caller=" << Printable(note.Caller) << "\n"
        << "callername=" << Printable(note.CallerName) << "\n"
        << "received=" << FormatIsoLocalTime(note.Received) << "\n"
        << "duration=" << tenths / 10 << "." << tenths % 10 << "\n"
        << "ended=" << Printable(note.Ended) << "\n"
        << "box=" << Printable(note.Box) << "\n";
    return out.str();
}

TMessageNote ParseMessageNote(const std::string& text) {
    TMessageNote note;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool header = false;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (!header) {
            if (line != "[message]")
                Fail(number, "'[message]' expected, found '" + Printable(line) + "'");
            header = true;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            Fail(number, "'" + Printable(line) + "' is not key=value");
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "mailbox")
            note.Mailbox = value;
        else if (key == "caller")
            note.Caller = value;
        else if (key == "callername")
            note.CallerName = value;
        else if (key == "ended")
            note.Ended = value;
        else if (key == "box")
            note.Box = value;
        else if (key == "duration") {
            if (!ParseSeconds(value, note.DurationSeconds))
                Fail(number, "duration '" + Printable(value) + "' is not a number of seconds");
        } else if (key == "received") {
            try {
                note.Received = ParseIsoTime(value);
            } catch (const Exception& e) {
                Fail(number, e.Message());
            }
        }
    }
    if (!header)
        Fail(number, "'[message]' expected, found the end of the note");
    return note;
}

std::string NoteFileName(const std::string& recordingName) {
    const std::size_t n = recordingName.size();
    if (n > 4 && recordingName.compare(n - 4, 4, ".wav") == 0)
        return recordingName.substr(0, n - 4) + ".txt";
    return recordingName + ".txt";
}
