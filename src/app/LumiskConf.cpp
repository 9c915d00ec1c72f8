#include "app/LumiskConf.h"

#include "toolkit/StringUtils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

// Drops a comment: ";" or "#" at the start of the line or after a blank.
std::string StripComment(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if ((line[i] == ';' || line[i] == '#') && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
            return line.substr(0, i);
    }
    return line;
}

class TConfParser {
public:
    TConfParser(TLumiskConf& conf, const std::string& fileName) : FConf(conf), FFileName(fileName) {}

    void Line(int number, const std::string& raw) {
        FNumber = number;
        std::string line = Trim(StripComment(raw));
        if (!line.empty() && line.back() == '\r')
            line = Trim(line.substr(0, line.size() - 1));
        if (line.empty())
            return;
        if (line.front() == '[') {
            if (line.back() != ']') {
                Problem("", "", "malformed section header '" + line + "'");
                return;
            }
            FSection = LowerCase(Trim(line.substr(1, line.size() - 2)));
            if (FSection != "modem" && FSection != "call" && FSection != "upload" && FSection != "sound" &&
                FSection != "box")
                Problem(FSection, "", "unknown section");
            return;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            Problem(FSection, "", "expected 'key = value', found '" + line + "'");
            return;
        }
        FKey = LowerCase(Trim(line.substr(0, eq)));
        Value(Trim(line.substr(eq + 1)));
    }

private:
    void Value(const std::string& value) {
        if (FSection == "modem" && FKey == "port") {
            if (value.empty())
                Problem(FSection, FKey, "empty port name");
            else
                FConf.ModemPort = value;
        } else if (FSection == "modem" && FKey == "voice_baud") {
            int baud = 0;
            if (TryStrToInt(value, baud) &&
                (baud == 9600 || baud == 19200 || baud == 38400 || baud == 57600 || baud == 115200 ||
                 baud == 230400 || baud == 460800 || baud == 921600))
                FConf.ModemVoiceBaud = baud;
            else
                Problem(FSection, FKey, "'" + value + "' is not a serial speed from 9600 to 921600");
        } else if (FSection == "modem" && FKey == "check_every") {
            Integer(value, 0, 24 * 3600, FConf.ModemCheckEvery);
        } else if (FSection == "call" && FKey == "number_wait") {
            Integer(value, 0, 3600, FConf.CallNumberWait);
        } else if (FSection == "call" && FKey == "rings") {
            Integer(value, 1, 20, FConf.CallRings);
        } else if (FSection == "call" && FKey == "max_silence") {
            Integer(value, 0, 3600, FConf.CallMaxSilence);
        } else if (FSection == "modem" && FKey == "caller_id") {
            FConf.ModemCallerId = value;
        } else if (FSection == "call" && FKey == "check_mailbox") {
            const std::string answer = LowerCase(value);
            if (answer == "yes" || answer == "no")
                FConf.CallCheckMailbox = answer == "yes";
            else
                Problem(FSection, FKey, "'" + value + "' is not yes or no");
        } else if (FSection == "call" && FKey == "check_wait") {
            Integer(value, 1, 60, FConf.CallCheckWait);
        } else if (FSection == "upload" && FKey == "host") {
            FConf.UploadHost = value;
        } else if (FSection == "upload" && FKey == "port") {
            Integer(value, 1, 65535, FConf.UploadPort);
        } else if (FSection == "upload" && FKey == "passive") {
            if (value == "0" || value == "1")
                FConf.UploadPassive = value == "1";
            else
                Problem(FSection, FKey, "'" + value + "' is not 0 or 1");
        } else if (FSection == "upload" && FKey == "password") {
            FConf.UploadPassword = value;
        } else if (FSection == "upload" && FKey.size() == 8 && FKey.compare(0, 7, "account") == 0 &&
                   FKey[7] >= '1' && FKey[7] <= '6') {
            FConf.UploadAccounts[static_cast<size_t>(FKey[7] - '1')] = value;
        } else if (FSection == "upload" && FKey == "timeout") {
            Integer(value, 1, 24 * 3600, FConf.UploadTimeout);
        } else if (FSection == "box" && FKey == "prompts") {
            FConf.BoxPrompts = value;
        } else if (FSection == "upload" && FKey == "outbox") {
            if (value.empty())
                Problem(FSection, FKey, "empty folder name");
            else
                FConf.UploadOutbox = value;
        } else if (FSection == "upload" && FKey == "retry_first") {
            Integer(value, 1, 24 * 3600, FConf.UploadRetryFirst);
        } else if (FSection == "upload" && FKey == "retry_max") {
            Integer(value, 1, 7 * 24 * 3600, FConf.UploadRetryMax);
        } else if (FSection == "upload" && FKey == "on_delivered") {
            FConf.UploadOnDelivered = value;
        } else if (FSection == "upload" && FKey == "tls") {
            const std::string mode = LowerCase(value);
            if (mode == "off")
                FConf.UploadTls = TUploadTls::Off;
            else if (mode == "try")
                FConf.UploadTls = TUploadTls::Try;
            else if (mode == "require")
                FConf.UploadTls = TUploadTls::Require;
            else
                Problem(FSection, FKey, "'" + value + "' is not off, try or require");
        } else if (FSection == "upload" && FKey == "cafile") {
            FConf.UploadCaFile = value;
        } else if (FSection == "upload" && FKey == "servername") {
            FConf.UploadServerName = value;
        } else if (FSection == "upload" && FKey == "pasv_address") {
            const std::string from = LowerCase(value);
            if (from == "peer" || from == "reply")
                FConf.UploadPasvFromReply = from == "reply";
            else
                Problem(FSection, FKey, "'" + value + "' is not peer or reply");
        } else if (FSection == "sound" && FKey == "driver") {
            std::string driver = LowerCase(value);
            if (driver == "alsa" || driver == "sim" || driver == "modem")
                FConf.SoundDriver = driver;
            else
                Problem(FSection, FKey, "'" + value + "' is not alsa, sim or modem");
        } else if (FSection == "sound" && FKey == "capture") {
            FConf.SoundCapture = value;
        } else if (FSection == "sound" && FKey == "playback") {
            FConf.SoundPlayback = value;
        } else if (FSection.empty()) {
            Problem(FSection, FKey, "key outside a section");
        } else {
            Problem(FSection, FKey, "unknown key");
        }
    }

    void Integer(const std::string& value, int low, int high, int& target) {
        int n = 0;
        if (!TryStrToInt(value, n) || n < low || n > high)
            Problem(FSection, FKey, Format("'%s' is not a number from %d to %d", value.c_str(), low, high));
        else
            target = n;
    }

    void Problem(const std::string& section, const std::string& key, const std::string& what) {
        std::string where = FFileName + ":" + IntToStr(FNumber) + ":";
        if (!section.empty())
            where += " [" + section + "]";
        if (!key.empty())
            where += " " + key;
        FConf.Problems.push_back(where + ": " + what);
    }

    TLumiskConf& FConf;
    std::string FFileName;
    std::string FSection;
    std::string FKey;
    int FNumber = 0;
};

} // namespace

void TLumiskConf::LoadFromFile(const std::string& fileName, bool mustExist) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        int error = errno;
        if (mustExist || error != ENOENT)
            Problems.push_back(fileName + ": cannot be read: " + std::strerror(error));
        return;
    }
    std::ostringstream text;
    text << in.rdbuf();
    LoadFromText(text.str(), fileName);
}

void TLumiskConf::LoadFromText(const std::string& text, const std::string& fileName) {
    TConfParser parser(*this, fileName);
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line))
        parser.Line(++number, line);
}

TSoundSettings TLumiskConf::Sound() const {
    TSoundSettings settings;
    settings.Driver = SoundDriver;
    // The voice modem is installed by the box itself, over its own port: no device names.
    if (ModemCarriesAudio())
        return settings;
    settings.Capture = SoundCapture == "default" ? "" : SoundCapture;
    settings.Playback = SoundPlayback == "default" ? "" : SoundPlayback;
    return settings;
}
