#include "ModemEnd.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

TModemEnd::TModemEnd() {
    Open();
}

void TModemEnd::Plug() {
    Drop();
    FPartial.clear();
    Open();
    if (!Link.empty()) {
        unlink(Link.c_str());
        if (symlink(FSlavePath.c_str(), Link.c_str()) != 0)
            throw std::runtime_error("cannot link " + Link + " to " + FSlavePath);
    }
}

void TModemEnd::Open() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
        throw std::runtime_error("cannot create a pseudo-terminal");
    char name[128];
    if (ptsname_r(FMaster, name, sizeof name) != 0)
        throw std::runtime_error("cannot name the pseudo-terminal");
    FSlavePath = name;
    FSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FSlave < 0)
        throw std::runtime_error("cannot open " + FSlavePath);
    termios t{};
    tcgetattr(FSlave, &t);
    cfmakeraw(&t);
    tcsetattr(FSlave, TCSANOW, &t);
}

TModemEnd::~TModemEnd() {
    Drop();
}

void TModemEnd::Drop() {
    if (FMaster >= 0)
        close(FMaster);
    if (FSlave >= 0)
        close(FSlave);
    FMaster = FSlave = -1;
}

bool TModemEnd::Send(const std::string& bytes) {
    if (FMaster < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(FMaster, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            return false;
    }
    return true;
}

void TModemEnd::HandleReadable() {
    if (FMaster < 0)
        return;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(FMaster, buf, sizeof buf);
        if (n <= 0)
            break;
        FPartial.append(buf, static_cast<size_t>(n));
    }
    // A modem command ends with CR; LF is accepted as well.
    size_t end;
    while ((end = FPartial.find_first_of("\r\n")) != std::string::npos) {
        const std::string line = FPartial.substr(0, end);
        FPartial.erase(0, end + 1);
        if (line.empty())
            continue;
        if (OnLine)
            OnLine(line);
        const bool isCommand =
            line.size() >= 2 && (line[0] == 'A' || line[0] == 'a') && (line[1] == 'T' || line[1] == 't');
        if (isCommand && !Reply.empty())
            Send(Reply);
    }
}

std::string UnescapeText(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < text.size() + 0 && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                 isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

std::string EscapeText(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
