// The DLE shielding of a voice modem's data stream (ITU-T V.253). Audio sent to the modem has
// every 0x10 doubled and ends with <DLE><ETX>; audio from the modem carries <DLE><DLE> for one
// 0x10 and <DLE>x for an event the modem reports (a key, a busy tone, the end of the data).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint8_t DLE = 0x10;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t XON = 0x11;
constexpr uint8_t XOFF = 0x13;

// Appends data to out with every DLE doubled; the end marker is the caller's (DleEnd).
void ShieldVoiceData(const uint8_t* data, size_t count, std::string& out);
inline const char* DleEnd() {
    return "\x10\x03";
}

// What a <DLE> sequence from the modem reports.
enum class TVoiceEventKind {
    Key,       // a DTMF key, plain (<DLE>5) or shielded (<DLE>/ <DLE>5 <DLE>~)
    Busy,      // <DLE>b
    DialTone,  // <DLE>d
    Silence,   // <DLE>s (silence) and <DLE>q (quiet after sound)
    LoopBreak, // <DLE>l: the exchange dropped the loop current
    Handset,   // <DLE>H: a handset on the line went off hook
    End,       // <DLE><ETX>: the modem's data ends, command text follows
    Other      // any other code, kept for the log
};

struct TVoiceEvent {
    TVoiceEventKind Kind;
    char Code; // the byte after <DLE>: the key, 'b', 'd', ...
};

// Un-shields the modem's data in chunks of any size: a <DLE> at the end of one chunk is paired
// with the first byte of the next. After <DLE><ETX> the rest of the chunk is command text and is
// returned as such, not as audio.
class TDleReceiver {
public:
    // With flowInBand, bare XON/XOFF bytes are the modem's flow control and not data (true
    // while sending to the modem: then nothing but events comes back).
    explicit TDleReceiver(bool flowInBand = false) : FFlowInBand(flowInBand) {}

    struct TResult {
        std::vector<uint8_t> Audio;      // data bytes, un-shielded
        std::vector<TVoiceEvent> Events; // in the order received
        std::string Text;                // bytes after <DLE><ETX>
        int FlowChanges = 0;             // bare XON/XOFF seen (with flowInBand)
        bool XoffNow = false;            // the state after the last of them
    };

    // Parses count bytes; appends to result. Returns true once <DLE><ETX> has been seen.
    bool Feed(const uint8_t* data, size_t count, TResult& result);
    bool Ended() const { return FEnded; }
    bool Stopped() const { return FXoff; }

private:
    bool FFlowInBand;
    bool FPendingDle = false;
    bool FEnded = false;
    bool FXoff = false;
};

// The event a <DLE> code reports.
TVoiceEventKind VoiceEventKind(char code);
// "busy tone", "dial tone", ... for event lines.
std::string VoiceEventName(const TVoiceEvent& event);
