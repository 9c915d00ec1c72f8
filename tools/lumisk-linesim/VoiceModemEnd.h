// The modem end of the simulated line in voice mode: a pseudo-terminal that behaves as a V.253
// voice modem. It offers audio formats on AT+VSM=?, answers CONNECT to AT+VTX and AT+VRX, plays
// the box's shielded audio at 8000 samples a second from a buffer it guards with XON/XOFF, sends
// the caller's audio shielded at the same rate while the box listens, and reports keys and line
// events as <DLE> codes. It keeps what it played and what it sent, and counts the gaps and
// overruns a caller would hear.
//
// It runs on its own thread; every public call is safe from any thread.
#pragma once

#include "CallerAudio.h"
#include "ModemEnd.h"
#include "audio/VoiceFormat.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TVoiceModemOptions {
    // Offered codings, best first is not required: "16bit", "8bit", "ulaw", "alaw", comma-separated.
    std::string Formats = "16bit,8bit,ulaw,alaw";
    int BufferMs = 500;          // playback buffer: XOFF above half of it, XON below a quarter
    bool AnswerVcon = true;      // AT+VLS=1 answers VCON (else OK)
    bool ShieldedKeys = false;   // key reports as <DLE>/ <DLE>k <DLE>~
    bool ForgetOnHangup = false; // ATH0 drops voice mode and the format, as some modems do
};

// "16bit" and the like as an AT+VSM=? offer; throws std::runtime_error for an unknown name.
std::vector<TVoiceFormat> VoiceOffers(const std::string& names);

class TVoiceModemEnd {
public:
    using TClock = std::chrono::steady_clock;

    explicit TVoiceModemEnd(TVoiceModemOptions options = {});
    ~TVoiceModemEnd();
    TVoiceModemEnd(const TVoiceModemEnd&) = delete;
    TVoiceModemEnd& operator=(const TVoiceModemEnd&) = delete;

    const std::string& SlavePath() const { return FPty.SlavePath(); }

    // Every command line the box sent; called on the modem's thread.
    std::function<void(const std::string& line)> OnLine;

    void Ring();
    // Keys of the caller: reported as <DLE> codes while the box plays (half duplex: the modem
    // hears them), sounded into the caller's audio otherwise.
    void PressKeys(const std::string& keys, int keyMs = 100, int gapMs = 100);
    // Caller audio (8 kHz 16-bit) sent while the box listens, after what is queued already.
    void Say(const TSamples& samples);
    // A <DLE> code in the data stream at the next opportunity ('b' busy, 'd' dial tone, ...).
    void Event(char code);
    void Drop();

    // Waits until done() holds or timeoutMs passed; done() is checked after each turn of the
    // modem's thread (every few ms).
    bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

    // --- What happened (read under the lock via Snapshot, or after WaitUntil)
    struct TRecord {
        std::vector<std::string> Lines; // commands received
        std::vector<uint8_t> Played;    // un-shielded audio of every AT+VTX, in the chosen format
        std::vector<uint8_t> Sent;      // caller audio sent during AT+VRX, before shielding
        int Prompts = 0;                // AT+VTX sessions ended by <DLE><ETX>
        double LongestGapMs = 0;        // the longest underrun inside a prompt
        uint64_t OverrunBytes = 0;      // bytes that came while the buffer was full
        int XoffSent = 0;
        bool OffHook = false;
        bool Receiving = false;
        bool Transmitting = false;
        int FormatCode = -1;
        std::string Coding;             // the chosen coding's name
        size_t QueuedCallerSamples = 0; // caller audio not yet sent
    };
    TRecord Snapshot();

private:
    enum class TMode { Command, Transmit, Receive };
    void Run();
    void HandleBytes(const uint8_t* data, size_t count);
    void HandleLine(const std::string& line);
    void Tick(TClock::time_point now);
    void PutUnlocked(const std::string& bytes); // queued for the thread to write
    const TVoiceFormat* Chosen() const;

    TVoiceModemOptions FOptions;
    std::vector<TVoiceFormat> FOffers;
    TModemEnd FPty;
    int FWake = -1;
    std::thread FThread;
    std::atomic<bool> FStop{false};

    std::mutex FLock;
    std::condition_variable FChanged;
    TRecord FRecord;
    TMode FMode = TMode::Command;
    bool FVoiceClass = false;
    std::string FLine;
    std::string FOut; // bytes the thread writes next
    // Transmit
    bool FDle = false;
    std::deque<uint8_t> FBuffer;
    bool FEndSeen = false;
    bool FXoff = false;
    bool FPlaying = false;
    TClock::time_point FPlayStart;
    int64_t FPlayedSamples = 0;
    TClock::time_point FGapStart;
    bool FInGap = false;
    // Receive
    std::deque<int16_t> FCaller;
    TClock::time_point FSendStart;
    int64_t FSentSamples = 0;
    std::vector<char> FEvents;
    std::deque<std::pair<TClock::time_point, char>> FKeyReports;
};
