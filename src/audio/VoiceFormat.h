// The audio formats a voice modem offers (its answer to AT+VSM=?), the choice among them, and
// the coding between a format's bytes and 8 kHz 16-bit samples.
#pragma once

#include "toolkit/Exception.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A voice modem misbehaved or cannot do what the box needs; the text says which and why.
class EVoiceModemError : public Exception {
public:
    using Exception::Exception;
};

enum class TVoiceCoding { Linear16, Linear8Unsigned, Linear8Signed, MuLaw, ALaw, Unusable };

struct TVoiceFormat {
    int Code = -1;    // the number AT+VSM selects it by
    std::string Name; // as the modem names it: "16-BIT LINEAR"
    int Bits = 0;     // bits per sample
    bool Rate8000 = false;
    TVoiceCoding Coding = TVoiceCoding::Unusable;

    int BytesPerSample() const { return Coding == TVoiceCoding::Linear16 ? 2 : 1; }
    // Line speed the format needs at 8000 Hz: ten bits a byte on an asynchronous line.
    int MinimumBaud() const { return 8000 * BytesPerSample() * 10; }
};

// Reads the "+VSM: <code>,"<name>",<bits>,<tm>,<rates>,..." lines of an AT+VSM=? answer; other
// lines (OK, echo) are skipped. Rates may be one value, a list "(7200,8000)" or a range.
std::vector<TVoiceFormat> ParseVoiceFormats(const std::string& answer);

// The best usable offer at 8000 Hz that a line of lineBaud carries (0: a USB modem, where the
// rate setting means nothing): 16-bit linear, then 8-bit linear, mu-law, A-law. Raises
// EVoiceModemError saying what was offered and what the line carries when none fits.
TVoiceFormat ChooseVoiceFormat(const std::vector<TVoiceFormat>& offers, int lineBaud);

// Coding between the modem's bytes and 16-bit samples. Decode keeps an odd byte of a 16-bit
// format for the next call.
class TVoiceCodec {
public:
    explicit TVoiceCodec(TVoiceCoding coding) : FCoding(coding) {}
    void Encode(const int16_t* samples, size_t count, std::vector<uint8_t>& out) const;
    void Decode(const uint8_t* data, size_t count, std::vector<int16_t>& out);
    TVoiceCoding Coding() const { return FCoding; }

private:
    TVoiceCoding FCoding;
    bool FHaveOdd = false;
    uint8_t FOdd = 0;
};
