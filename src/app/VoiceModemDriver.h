// The voice modem as the box's sound driver ([sound] driver = modem): one USB voice modem carries
// the call's audio over its own serial port, so the box needs no sound card. This owns the link
// over the box's port, the V.253 session and the sound backend over it, and hands the modem's
// reports to the main thread. While it exists the session is the port's only writer: the
// answer, the hang-up and every other modem line go through it.
#pragma once

#include "app/ComPortVoiceLink.h"
#include "audio/VoiceModemSession.h"
#include "audio/VoiceModemSound.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

class TComPort;

// The words of the event line for a line event the modem reports ("busy tone", "silence", ...);
// empty for a report that says nothing about the caller's leaving.
std::string CallerLeftWords(const TVoiceEvent& event);

// The line speed the session must fit its format into: 0 for a USB modem (ttyACM) or a
// pseudo-terminal, where the rate setting means nothing; portBaud for a real serial line.
int VoiceLineBaud(const std::string& devicePath, int portBaud);

// Opens the port as the box does in voice mode, sets the modem up (AT+FCLASS=8, the offered
// formats and the choice) and closes it again; the Description. Raises what failed: the port,
// or the modem's answer. For "lumisk --check".
std::string ProbeVoiceModem(const std::string& portName, int baud);

class TVoiceModemDriver {
public:
    // Sets the port up for voice mode (its speed, NUL bytes kept, no XON/XOFF of its own, the
    // received bytes to the session on the port's thread); call before the port opens.
    TVoiceModemDriver(TComPort& port, int baud);
    // Restores the sound backend that was in use. The port must be closed first.
    ~TVoiceModemDriver();
    TVoiceModemDriver(const TVoiceModemDriver&) = delete;
    TVoiceModemDriver& operator=(const TVoiceModemDriver&) = delete;

    // Once the port is open: initString (when not empty) as one command line, then voice mode
    // and the format (AT+FCLASS=8, AT+VSM=?, ...). The modem becomes the sound device even when
    // one step fails, so a later "Init" can bring it up; the first failure is raised at the end.
    void Initialise(const std::string& initString);
    // Off hook in voice mode (AT+VLS=1), and on hook with the modem set up again.
    void OffHook();
    void OnHook();
    // Any other line of text for the modem, sent in command mode; the trailing CR is its own.
    void Command(const std::string& text);
    // What the modem met when a prompt last failed ("voice modem: no answer to AT+VTX ..."), when
    // it is not the failure reported before; else empty.
    std::string NewPlayFailure();
    // No more reports reach the main thread; for the box's end, before the port closes.
    void Detach();

    bool Started() const { return FSession->Started(); }
    // The format and the flow control in use, for the start-up's event line.
    std::string Description() const { return FSession->Description(); }
    TVoiceModemSession& Session() { return *FSession; }
    TVoiceModemSound& Sound() { return *FSound; }

    // On the main thread, in the order the modem sent them: a line of text ("RING", caller ID),
    // a key the modem reported while the box played, the caller's side gone (the words above).
    std::function<void(const std::string& text)> OnText;
    std::function<void(int key)> OnKey;
    std::function<void(const std::string& how)> OnCallerLeft;

private:
    void Post(std::function<void()> call);

    TVoiceModemSession* FReceiver = nullptr; // what the link hands received bytes to
    std::unique_ptr<TComPortVoiceLink> FLink;
    std::unique_ptr<TVoiceModemSession> FSession;
    std::unique_ptr<TVoiceModemSound> FSound;
    std::atomic<bool> FDetached{false};
    std::string FReportedPlayFailure;
};
