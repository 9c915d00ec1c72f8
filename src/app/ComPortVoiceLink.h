// The voice-modem session's link over the box's serial port, as the box sets it up in voice
// mode: received bytes go to the session on the port's event thread (the box's thread may be
// blocked in a prompt meanwhile), NUL bytes are kept (they are audio), and XON/XOFF are left to
// the session because while listening they are audio too.
#pragma once

#include "audio/VoiceModemSession.h"
#include "serial/ComPort.h"
#include "toolkit/Exception.h"

#include <string>

class TComPortVoiceLink : public IVoiceModemLink {
public:
    // Call before the port opens.
    TComPortVoiceLink(TComPort& port, TVoiceModemSession*& session) : FPort(port) {
        port.SetDiscardNull(false);
        port.FlowControl().SetXonXoffIn(false);
        port.FlowControl().SetXonXoffOut(false);
        port.SetSyncMethod(smNone);
        port.SetTriggersOnRxChar(false);
        port.OnRxBuf = [&session](TComponent*, const uint8_t* buffer, int count) {
            if (session)
                session->Receive(buffer, static_cast<size_t>(count));
        };
    }
    void Write(const uint8_t* data, size_t count) override {
        const std::string bytes(reinterpret_cast<const char*>(data), count);
        const int written = FPort.WriteText(bytes);
        if (written != static_cast<int>(count))
            throw Exception("voice modem link: " + std::to_string(written) + " of " + std::to_string(count) +
                            " bytes written to " + FPort.Port());
    }
    void SetHardwareFlow(bool on) override {
        TComFlowControl flow = FPort.FlowControl();
        flow.SetOutCTSFlow(on);
        flow.SetControlRTS(on ? rtsHandshake : rtsEnable);
        FPort.SetFlowControl(flow);
    }

private:
    TComPort& FPort;
};
