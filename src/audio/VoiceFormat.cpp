#include "audio/VoiceFormat.h"

#include "audio/G711.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Splits at commas that are outside quotes and parentheses.
std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    int depth = 0;
    for (char c : text) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == '(')
            ++depth;
        else if (!quoted && c == ')')
            --depth;
        if (c == ',' && !quoted && depth == 0)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

bool ParseNumber(const std::string& text, long& value) {
    size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    if (at == text.size() || !std::isdigit(static_cast<unsigned char>(text[at])))
        return false;
    value = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && value < 100000000)
        value = value * 10 + (text[at++] - '0');
    return true;
}

// Whether a rate field ("8000", "(7200,8000,11025)", "7200-11025") includes 8000 Hz.
bool Offers8000(std::string field) {
    field.erase(
        std::remove_if(field.begin(), field.end(), [](char c) { return c == '(' || c == ')' || c == ' '; }),
        field.end());
    size_t at = 0;
    while (at <= field.size()) {
        const size_t end = std::min(field.find(',', at), field.size());
        const std::string item = field.substr(at, end - at);
        const size_t dash = item.find('-');
        long low = 0, high = 0;
        if (dash == std::string::npos) {
            if (ParseNumber(item, low) && low == 8000)
                return true;
        } else if (ParseNumber(item.substr(0, dash), low) && ParseNumber(item.substr(dash + 1), high) &&
                   low <= 8000 && 8000 <= high) {
            return true;
        }
        at = end + 1;
    }
    return false;
}

TVoiceCoding CodingOf(const std::string& name, int bits) {
    const std::string n = Upper(name);
    if (n.find("ADPCM") != std::string::npos || n.find("G.721") != std::string::npos ||
        n.find("G721") != std::string::npos || n.find("G.729") != std::string::npos)
        return TVoiceCoding::Unusable;
    if (n.find("ULAW") != std::string::npos || n.find("MU-LAW") != std::string::npos ||
        n.find("G711U") != std::string::npos || n.find("G.711U") != std::string::npos ||
        n.find("G.711 U") != std::string::npos)
        return bits == 8 ? TVoiceCoding::MuLaw : TVoiceCoding::Unusable;
    if (n.find("ALAW") != std::string::npos || n.find("A-LAW") != std::string::npos ||
        n.find("G711A") != std::string::npos || n.find("G.711A") != std::string::npos ||
        n.find("G.711 A") != std::string::npos)
        return bits == 8 ? TVoiceCoding::ALaw : TVoiceCoding::Unusable;
    if (n.find("LINEAR") != std::string::npos || n.find("PCM") != std::string::npos) {
        if (bits == 16)
            return TVoiceCoding::Linear16;
        if (bits == 8)
            return n.find("SIGNED") != std::string::npos && n.find("UNSIGNED") == std::string::npos
                       ? TVoiceCoding::Linear8Signed
                       : TVoiceCoding::Linear8Unsigned;
    }
    return TVoiceCoding::Unusable;
}

int Preference(TVoiceCoding coding) {
    switch (coding) {
    case TVoiceCoding::Linear16:
        return 0;
    case TVoiceCoding::Linear8Unsigned:
    case TVoiceCoding::Linear8Signed:
        return 1;
    case TVoiceCoding::MuLaw:
        return 2;
    case TVoiceCoding::ALaw:
        return 3;
    case TVoiceCoding::Unusable:
        break;
    }
    return 99;
}

} // namespace

std::vector<TVoiceFormat> ParseVoiceFormats(const std::string& answer) {
    std::vector<TVoiceFormat> offers;
    size_t at = 0;
    while (at < answer.size()) {
        size_t end = answer.find_first_of("\r\n", at);
        if (end == std::string::npos)
            end = answer.size();
        const std::string line = answer.substr(at, end - at);
        at = end + 1;
        const size_t tag = Upper(line).find("+VSM:");
        if (tag == std::string::npos)
            continue;
        const std::vector<std::string> fields = Fields(line.substr(tag + 5));
        long code = 0, bits = 0;
        if (fields.size() < 5 || !ParseNumber(fields[0], code) || !ParseNumber(fields[2], bits))
            continue;
        TVoiceFormat format;
        format.Code = static_cast<int>(code);
        format.Name = fields[1];
        format.Name.erase(std::remove(format.Name.begin(), format.Name.end(), '"'), format.Name.end());
        while (!format.Name.empty() && format.Name.front() == ' ')
            format.Name.erase(0, 1);
        format.Bits = static_cast<int>(bits);
        format.Rate8000 = Offers8000(fields[4]);
        format.Coding = CodingOf(format.Name, format.Bits);
        offers.push_back(format);
    }
    return offers;
}

TVoiceFormat ChooseVoiceFormat(const std::vector<TVoiceFormat>& offers, int lineBaud) {
    const TVoiceFormat* best = nullptr;
    std::string offered;
    for (const TVoiceFormat& f : offers) {
        offered += (offered.empty() ? "" : ", ") + f.Name;
        if (f.Coding == TVoiceCoding::Unusable || !f.Rate8000)
            continue;
        // "More than" the raw rate: shielding doubles some bytes and commands share the line.
        if (lineBaud > 0 && lineBaud <= f.MinimumBaud())
            continue;
        if (!best || Preference(f.Coding) < Preference(best->Coding))
            best = &f;
    }
    if (best)
        return *best;
    if (offers.empty())
        throw EVoiceModemError("voice modem: AT+VSM=? offered no audio format");
    throw EVoiceModemError("voice modem: no offered format (" + offered + ") is 8000 Hz linear or G.711" +
                           (lineBaud > 0 ? " and fits a " + std::to_string(lineBaud) +
                                               " baud line (8-bit audio needs more than 80000, 16-bit "
                                               "more than 160000)"
                                         : ""));
}

void TVoiceCodec::Encode(const int16_t* samples, size_t count, std::vector<uint8_t>& out) const {
    for (size_t i = 0; i < count; ++i) {
        const int16_t s = samples[i];
        switch (FCoding) {
        case TVoiceCoding::Linear16:
            out.push_back(static_cast<uint8_t>(s & 0xFF));
            out.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
            break;
        case TVoiceCoding::Linear8Unsigned:
            out.push_back(static_cast<uint8_t>((s >> 8) + 128));
            break;
        case TVoiceCoding::Linear8Signed:
            out.push_back(static_cast<uint8_t>(s >> 8));
            break;
        case TVoiceCoding::MuLaw:
            out.push_back(EncodeMuLaw(s));
            break;
        case TVoiceCoding::ALaw:
            out.push_back(EncodeALaw(s));
            break;
        case TVoiceCoding::Unusable:
            break;
        }
    }
}

void TVoiceCodec::Decode(const uint8_t* data, size_t count, std::vector<int16_t>& out) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = data[i];
        switch (FCoding) {
        case TVoiceCoding::Linear16:
            if (!FHaveOdd) {
                FOdd = b;
                FHaveOdd = true;
            } else {
                out.push_back(static_cast<int16_t>(FOdd | (b << 8)));
                FHaveOdd = false;
            }
            break;
        case TVoiceCoding::Linear8Unsigned:
            out.push_back(static_cast<int16_t>((b - 128) * 256));
            break;
        case TVoiceCoding::Linear8Signed:
            out.push_back(static_cast<int16_t>(static_cast<int8_t>(b) * 256));
            break;
        case TVoiceCoding::MuLaw:
            out.push_back(DecodeMuLaw(b));
            break;
        case TVoiceCoding::ALaw:
            out.push_back(DecodeALaw(b));
            break;
        case TVoiceCoding::Unusable:
            break;
        }
    }
}
