// The caller's end of the simulated telephone line: the audio that reaches the box's simulated
// sound card and the audio the box plays back, joined to the modem end by a call script.
//
// Capture: a FIFO that the box's card reads as its capture source ([sound] capture of the
// box's lumisk.conf). Audio is written only while a call needs it; the card fills the rest with
// silence and reads at wall-clock pace, so a whole key sequence or message may be written at once.
// Playback: a FIFO the card writes what it plays into ([sound] playback). It is always read
// so the box never waits on it; during a call the sounds are kept on a time line (gaps longer
// than a quarter second become silence) and may be saved as a WAV file.
//
// Both FIFOs are created when missing and held open for reading and writing, so either side may
// come and go.
#pragma once

#include "CallerAudio.h"
#include "LineModel.h"

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// One scripted call, parsed from "KEYS [option=value ...] [wav FILE | say TEXT... | tone SECONDS]".
struct TCallScript {
    std::string Keys;     // "-" in the script for none
    int KeyMs = 100;      // length of each key's tone
    int GapMs = 100;      // silence after each key
    int QuietMs = 700;    // the box's prompts are over after this long without sound
    int StepSeconds = 60; // bound on every wait of the call
    int AheadMs = -1;     // >= 0: key this long after the answer, while the greeting still plays
    int IntoMs = -1;      // >= 0: key this long after the greeting's first sound reached the line
    bool KeysAhead() const { return AheadMs >= 0 || IntoMs >= 0; }
    // Keyed again once the prompts after the first keys are over (a caller told the mailbox is
    // unknown keys the right number); empty: none. Not with AheadMs or IntoMs.
    std::string Again;
    std::string AnswerLine = "ATH1";
    std::string HangupLine = "ATH0";
    std::string HeardFile; // where to save what the box played, if anywhere
    enum { None, Wave, Say, Tone } MessageKind = Tone;
    std::string MessageArg = "3"; // file, text or seconds

    // Caller ID sent by the modem end: before the first RING (as in the UK) or between the first
    // and second, in one of the forms modems use.
    enum class TCallerIdWhen { None, Before, Between } CallerIdWhen = TCallerIdWhen::None;
    enum class TCallerIdForm {
        Spaced,
        Tight,
        Partial,
        Private,
        OutOfArea
    } CallerIdForm = TCallerIdForm::Spaced;
    std::string CallerNumber = "5551234";
    std::string CallerName = "DOE JANE";
    int Rings = 1; // RINGs sent, RingGapMs apart, unless the box answers earlier
    int RingGapMs = 1000;
    bool HashAfter = false;               // "#" pressed after the message
    THangupTail Tail = THangupTail::None; // the line after the caller hung up
};

// The lines a modem sends for the script's caller ID, at the given local time ("DATE = 1210",
// "TIME = 1330", ...), each ended by CR LF.
std::string CallerIdLines(const TCallScript& script, std::time_t now);

// Throws std::runtime_error with a readable reason for a malformed script.
TCallScript ParseCallScript(const std::string& text);

class TCallerEnd {
public:
    using TClock = std::chrono::steady_clock;

    TCallerEnd(const std::string& capturePath, const std::string& playbackPath);
    ~TCallerEnd();
    TCallerEnd(const TCallerEnd&) = delete;
    TCallerEnd& operator=(const TCallerEnd&) = delete;

    // Report lines ("call ...") from the call's thread.
    std::function<void(const std::string& line)> OnReport;
    // Sends "RING" to the box; called from the call's thread. False when the line is dropped.
    std::function<bool()> OnRing;
    // Sends other modem text (caller ID) to the box; called from the call's thread.
    std::function<bool(const std::string& text)> OnModemText;
    // Called once a call has ended, with whether it went through to the hang-up.
    std::function<void(bool completed)> OnCallEnded;

    // Puts the line model between the caller and the box from now on: the caller's audio goes
    // through it in real time, and what the box plays comes back as its echo. Without it the
    // caller's audio reaches the box as it is. Throws std::runtime_error without a capture FIFO.
    void SetLine(const TLineModelSettings& settings);
    // The line model's echo return loss from now on; throws without a line model.
    void SetEchoReturnLoss(double db);

    int PlaybackFd() const { return FPlayback; }
    // Reads what the box played (main loop).
    void HandlePlayback();
    // Every line the box sent to the modem (main loop).
    void ModemLine(const std::string& line);

    // Prepares the message and starts the call on its own thread; throws std::runtime_error when
    // a call is still going on or the message cannot be made. Returns a short summary.
    std::string StartCall(const TCallScript& script);
    // Ends the call in progress (its thread reports "call failed aborted").
    void Abort();
    bool Busy();

private:
    void RunCall(TCallScript script, TSamples message);
    // Rings the box, with the script's caller ID; false when the line is dropped.
    bool Ring(const TCallScript& script);
    // Plays the hang-up tail until the box hangs up or until; returns when the tail began.
    TClock::time_point PlayTail(const TCallScript& script, TClock::time_point tailStart,
                                TClock::time_point until);
    bool WaitFor(const std::function<bool()>& done, TClock::time_point until);
    // Waits until the box has played something after since and then been quiet for quietMs.
    bool WaitPromptsOver(TClock::time_point since, int quietMs, TClock::time_point until,
                         bool endOnHangup = true);
    bool WriteCapture(const TSamples& samples, TClock::time_point until);
    void Report(const std::string& line);

    int FCapture = -1;
    int FPlayback = -1;
    int FWakeWriter = -1; // eventfd: an aborted call stops waiting to write

    std::mutex FLock;
    std::condition_variable FChanged;
    bool FAbort = false;
    bool FBusy = false;
    bool FAnswered = false;
    bool FHungUp = false;
    bool FRecordStarted = false; // the box sent "ATDD;" (it asked for the message)
    std::string FAnswerLine = "ATH1";
    std::string FHangupLine = "ATH0";
    bool FSoundSeen = false;
    TClock::time_point FLastSound;
    TClock::time_point FSoundStart; // of the sound going on (or last heard)
    bool FRecording = false;
    TClock::time_point FHeardStart;
    TSamples FHeard;
    TSamples FPreroll; // the sound going on while no call records
    bool FHaveOddByte = false;
    uint8_t FOddByte = 0;
    int64_t FHeardSoundSamples = 0;
    std::thread FThread;
    std::unique_ptr<class TLiveLine> FLine;
};
