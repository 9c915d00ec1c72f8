// One voice modem driven in V.253 voice mode over the byte link of its serial port: the only
// user of that link, switching between command text and DLE-shielded audio. It sets the modem
// up, takes the line off hook, plays audio to the caller (AT+VTX) and listens (AT+VRX), hands
// received audio to its sinks, and reports the keys and line events the modem finds.
//
// Threads: Receive is called by the link's reader (the serial event thread) and never blocks
// on the modem; it also calls the sinks and the On... events, so those must be quick and must
// not call back into the session. Start, Answer, Play, Hangup, Command, AddSink and RemoveSink
// are called from the box's thread and block until the modem has answered (bounded by the
// reply time-out).
#pragma once

#include "audio/VoiceDle.h"
#include "audio/VoiceFormat.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The serial port as the session needs it. Implemented by the owner of the port.
class IVoiceModemLink {
public:
    virtual ~IVoiceModemLink() = default;
    // Sends all bytes; may block while the port's hardware flow control holds them back. Raises
    // an Exception when the port is gone.
    virtual void Write(const uint8_t* data, size_t count) = 0;
    // The modem selected RTS/CTS flow control (AT+IFC? answered 2,2): the port should hold its
    // output while CTS is low. XON/XOFF is handled by the session itself, in band, so the port
    // must not interpret those bytes (they are audio while listening).
    virtual void SetHardwareFlow(bool on) { (void)on; }
};

// Receives the caller's audio while the session listens: 8000 Hz 16-bit mono samples.
class IVoiceSink {
public:
    virtual ~IVoiceSink() = default;
    virtual void VoiceSamples(const int16_t* samples, size_t count) = 0;
};

struct TVoiceModemSettings {
    int LineBaud = 0;          // the port's speed; 0 for a USB modem, which ignores it
    int ReplyTimeoutMs = 5000; // longest wait for any answer of the modem
    int LeadMs = 100;          // how far audio sent may run ahead of the modem's playing
};

enum class TVoiceFlow { None, XonXoff, RtsCts };

class TVoiceModemSession {
public:
    using TClock = std::chrono::steady_clock;

    TVoiceModemSession(IVoiceModemLink& link, TVoiceModemSettings settings = {});
    ~TVoiceModemSession();
    TVoiceModemSession(const TVoiceModemSession&) = delete;
    TVoiceModemSession& operator=(const TVoiceModemSession&) = delete;

    // --- Link side
    void Receive(const uint8_t* data, size_t count);

    // --- Box side
    // AT+FCLASS=8, AT+VSM=?, the choice, AT+VSM=<n>,8000, AT+IFC?. Raises EVoiceModemError.
    void Start();
    // AT+VLS=1 (OK or VCON); then listening starts when a sink is there.
    void Answer();
    // Ends listening, AT+VLS=0, ATH0, and sets the modem up again (some forget voice mode).
    // Goes through every step even when one fails; raises the first failure at the end.
    void Hangup();
    // Plays 8000 Hz 16-bit mono samples to the caller at the modem's rate; returns after the
    // modem has confirmed the end (OK). cancel ends it early (<DLE><CAN>: the modem drops what
    // it holds). Listening resumes afterwards when in a call.
    void Play(const int16_t* samples, size_t count, const std::atomic<bool>& cancel);
    // Sends one command line in command mode and returns every line of the answer up to and
    // including the final result; raises when the result is an error or does not come.
    std::string Command(const std::string& line);

    void AddSink(IVoiceSink* sink);
    void RemoveSink(IVoiceSink* sink);

    // --- Events, on the link's reader thread
    // A key the modem reported while the box was playing (half duplex: it cannot hear then).
    std::function<void(char key)> OnKey;
    // Busy, dial tone, silence, loop break, handset: the caller's side has gone or changed.
    std::function<void(const TVoiceEvent& event)> OnLineEvent;
    // A line of modem text that answers none of the session's commands ("RING", caller ID).
    std::function<void(const std::string& line)> OnText;

    // --- State
    bool Started() const { return FStarted; }
    bool InCall() const { return FInCall; }
    const TVoiceFormat& Format() const { return FFormat; }
    const std::vector<TVoiceFormat>& Offers() const { return FOffers; }
    TVoiceFlow Flow() const { return FFlow; }
    // "16-BIT LINEAR (AT+VSM=129,8000), XON/XOFF flow control" for the start-up report.
    std::string Description() const;
    // Audio bytes received from the modem (un-shielded) since the session was made.
    uint64_t ReceivedBytes() const { return FReceivedBytes; }

private:
    enum class TMode { Command, Receiving, Transmitting };
    // What the modem's answer to the command in flight switches to on CONNECT.
    struct TPending {
        bool Active = false;
        TMode OnConnect = TMode::Command;
        std::vector<std::string> Lines;
        bool Final = false;
        bool Success = false;
    };
    struct TDeliveries {
        std::vector<TVoiceEvent> Events;
        std::vector<std::string> TextLines;
        std::vector<int16_t> Samples;
    };

    void SendRaw(const std::string& bytes);
    // Caller holds FOpLock.
    std::string CommandLocked(const std::string& line, TMode onConnect, bool connectExpected);
    void WaitPending(std::unique_lock<std::mutex>& lock, const std::string& what);
    void SetUp();
    void StartListening();
    void StopListening();
    void ResumeListening();

    // Parser (FLock held).
    void ParseCommandBytes(const uint8_t*& data, size_t& count, TDeliveries& out);
    void CommandLine(const std::string& line, TDeliveries& out);
    void Deliver(TDeliveries& out);

    IVoiceModemLink& FLink;
    TVoiceModemSettings FSettings;
    std::mutex FOpLock; // one box-side operation at a time

    std::mutex FLock; // parser state, below
    std::condition_variable FChanged;
    TMode FMode = TMode::Command;
    TPending FPending;
    std::string FLine;
    bool FCommandDle = false;
    bool FSkipLf = false;
    TDleReceiver FReceiver;
    bool FXoff = false;
    bool FDataEnded = false;

    std::mutex FSinkLock;
    std::vector<IVoiceSink*> FSinks;
    TVoiceCodec FCodec{TVoiceCoding::Linear16};

    std::atomic<bool> FStarted{false};
    std::atomic<bool> FInCall{false};
    bool FListening = false; // FOpLock
    TVoiceFormat FFormat;
    std::vector<TVoiceFormat> FOffers;
    TVoiceFlow FFlow = TVoiceFlow::None;
    std::atomic<uint64_t> FReceivedBytes{0};
};
