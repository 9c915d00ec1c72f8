#include "audio/VoiceDle.h"

#include <cstdio>

void ShieldVoiceData(const uint8_t* data, size_t count, std::string& out) {
    out.reserve(out.size() + count + count / 64 + 2);
    for (size_t i = 0; i < count; ++i) {
        out += static_cast<char>(data[i]);
        if (data[i] == DLE)
            out += static_cast<char>(DLE);
    }
}

TVoiceEventKind VoiceEventKind(char code) {
    if ((code >= '0' && code <= '9') || code == '*' || code == '#' || (code >= 'A' && code <= 'D'))
        return TVoiceEventKind::Key;
    switch (code) {
    case 'b':
        return TVoiceEventKind::Busy;
    case 'd':
        return TVoiceEventKind::DialTone;
    case 's':
    case 'q':
        return TVoiceEventKind::Silence;
    case 'l':
        return TVoiceEventKind::LoopBreak;
    case 'H':
        return TVoiceEventKind::Handset;
    case ETX:
        return TVoiceEventKind::End;
    default:
        return TVoiceEventKind::Other;
    }
}

std::string VoiceEventName(const TVoiceEvent& event) {
    switch (event.Kind) {
    case TVoiceEventKind::Key:
        return std::string("key ") + event.Code;
    case TVoiceEventKind::Busy:
        return "busy tone";
    case TVoiceEventKind::DialTone:
        return "dial tone";
    case TVoiceEventKind::Silence:
        return event.Code == 'q' ? "quiet" : "silence";
    case TVoiceEventKind::LoopBreak:
        return "loop break";
    case TVoiceEventKind::Handset:
        return "handset off hook";
    case TVoiceEventKind::End:
        return "end of data";
    case TVoiceEventKind::Other:
        break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "code 0x%02X", static_cast<uint8_t>(event.Code));
    return text;
}

bool TDleReceiver::Feed(const uint8_t* data, size_t count, TResult& result) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = data[i];
        if (FEnded) {
            result.Text += static_cast<char>(byte);
            continue;
        }
        if (FPendingDle) {
            FPendingDle = false;
            if (byte == DLE) {
                result.Audio.push_back(DLE);
                continue;
            }
            // The shielded key form brackets the key with <DLE>/ and <DLE>~: only the key counts.
            if (byte == '/' || byte == '~')
                continue;
            const TVoiceEvent event{VoiceEventKind(static_cast<char>(byte)), static_cast<char>(byte)};
            result.Events.push_back(event);
            if (event.Kind == TVoiceEventKind::End)
                FEnded = true;
            continue;
        }
        if (byte == DLE) {
            FPendingDle = true;
            continue;
        }
        if (FFlowInBand && (byte == XON || byte == XOFF)) {
            FXoff = byte == XOFF;
            ++result.FlowChanges;
            result.XoffNow = FXoff;
            continue;
        }
        result.Audio.push_back(byte);
    }
    return FEnded;
}
