// One call, from "RING" to hang-up, as a state machine. The call's state is one named value with
// one writer (Enter); every event looks at the state first. The flow knows nothing of widgets
// or devices: it talks to the box through TCallFlowHost, and the window only mirrors what the
// flow tells it and turns the operator's buttons into the flow's events. The state table is at
// the top of CallFlow.cpp.
#pragma once

#include "app/CallerId.h"
#include "app/LumiskConf.h"
#include "app/MailboxCheck.h"
#include "app/PagerIni.h"
#include "app/Timer.h"

#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <string>

class TClock;

enum class TCallState {
    Idle,             // on hook, waiting for "RING"
    Greeting,         // off hook, the welcome and the request for the number play
    AwaitingNumber,   // the caller has been asked for the number; no key yet
    CollectingDigits, // keys are coming; the number is taken 4 s after the last
    CheckingMailbox,  // the server is asked whether the number's mailbox exists
    Recording,        // the message is recorded until the time limit
    RecordingDigits,  // keys during the message: they make a new number 4 s after the last
    Closing           // the message is stored, the closing prompt plays, the line is hung up
};

const char* CallStateName(TCallState state);

// A call's message as the flow knows it, for its delivery and the note beside it.
struct TCallMessage {
    std::string Mailbox;
    std::string CallStamp;
    std::string FileName;     // the recording
    std::string Ended;        // how it ended: "time limit", "#", "caller left (busy tone)", ...
    TCallerId Caller;         // as the modem told it; empty when it did not
    std::time_t Received = 0; // when the message began
};

// What the flow needs done; the box does it.
class TCallFlowHost {
public:
    virtual ~TCallFlowHost() = default;
    // Raw text to the modem, exactly as given.
    virtual void SendToModem(const std::string& text) = 0;
    // A modem line of the call: the answer string (hook > 0: off hook), the hang-up string
    // (hook < 0: on hook) or another ("ATDD;", hook 0). A box whose modem carries the call's
    // audio itself takes the line off and on hook in voice mode instead of sending the text.
    virtual void SendCallCommand(const std::string& text, int hook) {
        (void)hook;
        SendToModem(text);
    }
    // Blocks until the prompt has played; a missing prompt plays the built-in tone.
    virtual void PlayPrompt(const char* name) = 0;
    // The recorder: a new recording into fileName (throws when it cannot start), its end.
    virtual void StartRecording(const std::string& fileName) = 0;
    virtual void StopRecording() = 0;
    virtual bool Recording() const = 0;
    // Cuts the finished recording's tail back to the decoder's 8 kHz position endPosition.
    virtual void TrimRecording(const std::string& fileName, int64_t endPosition) = 0;
    // The message of a call that ends, delivered now; true when the caller is to hear that the
    // mailbox was not found. An error the operator must see is thrown after the call has ended,
    // through ShowAfterCall.
    virtual bool DeliverMessage(const TCallMessage& message, std::exception_ptr& showAfterCall) = 0;
    // The message of a call that was cut short ("RING" during the recording, the operator, the
    // program's end): kept for the outbox, which delivers it beside the next call. Its Ended says
    // why.
    virtual void KeepMessage(const TCallMessage& message) = 0;
    // The mailbox check: starts asking the server whether the mailbox's folder exists (the
    // answer comes through TCallFlow::MailboxCheckAnswered); false, with the reason, when no
    // check is made.
    virtual bool StartMailboxCheck(const std::string& mailbox, std::string& whyNot) = 0;
    virtual TMailboxAnswer MailboxCheckAnswer(std::string& reason) = 0;
    virtual void ForgetMailboxCheck() = 0;
    // The message of a checked number, handed over after the hang-up: delivered at once on the
    // outbox's thread, so the caller never waits on the server.
    virtual void DeliverAfterHangUp(const TCallMessage& message) = 0;
    // The line went off hook (a call began) or on hook (it ended).
    virtual void LineOffHook(bool offHook) = 0;
    // One line for the event log ("answered", "number 123", ...).
    virtual void Event(const std::string& event) = 0;
};

class TCallFlow {
public:
    // settings: the answer and hang-up strings and "Autosave wave", as the window's fields hold
    // them. conf: [call] number_wait (the silent caller's wait; 0: for good) and rings.
    // recordingFolder: where recordings named after the time stamp go ("Autosave wave").
    TCallFlow(TCallFlowHost& host, TClock& clock, const TPagerSettings& settings, const TLumiskConf& conf,
              std::string recordingFolder);
    ~TCallFlow();
    TCallFlow(const TCallFlow&) = delete;
    TCallFlow& operator=(const TCallFlow&) = delete;

    // --- Events ------------------------------------------------------------------------------
    // Text from the modem (ComPortRxChar's steps).
    void ComPortRxChar(const std::string& received);
    // A key from the tone decoder; position: the 8 kHz decoder position where its tone began
    // (-1: unknown).
    void PhoneToneDecoder1DTMF(int key, int64_t position = -1);
    // The operator's buttons.
    void AnswerCall();                         // "Answer", and every "RING" that starts a call
    void OpenLine();                           // "Open line": off hook without prompts, time limit on
    void CloseLine();                          // "Close line": "ATH0"
    void Terminate();                          // "terminate": the hang-up string
    void HangUpBeforeClosing(bool portUsable); // the program ends
    // The caller has gone: the line says so (a busy, reorder or dial tone, long silence, or the
    // voice modem's report). how: the words of the event line ("busy tone", "silence", ...).
    // lastSound: the 8 kHz decoder position of the caller's last sound, -1 when unknown.
    void CallerLeft(const std::string& how, int64_t lastSound = -1);
    // The host's mailbox check has an answer.
    void MailboxCheckAnswered();

    // --- Settings ----------------------------------------------------------------------------
    // The time limit in ms (the "Timeout" field times 1000; 0 never fires).
    void SetTimeLimit(uint32_t milliseconds) { FTimeLimit.SetInterval(milliseconds); }
    // The file the recorder writes: the window's field, or the name "Autosave wave" makes.
    void SetRecordFileName(const std::string& fileName) { FRecordFileName = fileName; }
    const std::string& RecordFileName() const { return FRecordFileName; }

    // --- State, for the window and the tests ---------------------------------------------------
    TCallState State() const { return FState; }
    bool OffHook() const { return FOffHook; }
    const std::string& Digits() const { return FDigits; }
    const std::string& MailboxNumber() const { return FMailboxNumber; }
    const std::string& CallStamp() const { return FCallStamp; }
    const std::string& RxText() const { return FRxText; }
    // Who is calling, as far as the modem said (the call in progress, or the next one's ID).
    const TCallerId& Caller() const { return FCaller; }
    static constexpr size_t RxTextLimit = 4096;
    // The state's own deadline (the silent caller's wait or the inter-digit time-out), and the
    // message's time limit, which runs from the first number to the end of the recording.
    const TTimer& Deadline() const { return FDeadline; }
    const TTimer& TimeLimit() const { return FTimeLimit; }
    static constexpr uint32_t InterDigitMilliseconds = 4000;
    static constexpr int SilentWaitsBeforeHangup = 3;
    static constexpr int MissingMailboxTries = 3;
    // Of the quiet after the caller's last sound, this much stays in a message whose caller left.
    static constexpr int64_t LastSoundKeptSamples = 2400; // 0.3 s at 8 kHz

    // Told when the state, the digits, the accepted number or the recording's name change.
    std::function<void(TCallState)> OnStateChanged;
    std::function<void(const std::string& digits)> OnDigitsChanged;
    std::function<void(const std::string& number)> OnNumberAccepted;
    std::function<void(const std::string& fileName)> OnRecordFileNameChanged;

private:
    // The one place where the state changes; it arms the new state's deadline.
    void Enter(TCallState state);
    void Timer3Timer();          // the inter-digit time-out
    void NumberWaitTimerTimer(); // the silent caller's wait
    void Timer2Timer();          // the time limit: the end of the call
    // The end of a message: the recording stopped (and cut at cutAt, when not -1), delivered,
    // the line hung up; with the caller still there the closing prompt plays first.
    void FinishMessage(const std::string& ended, bool callerGone, int64_t cutAt);
    TCallMessage Message(const std::string& ended) const;
    void HangUpAfterCallerLeft();
    // A "RING" in the received text while on hook: true when it is the one to answer.
    bool RingToAnswer();
    void DeadlineFired();
    void AcceptNumber();
    // The message's recording; one that cannot start ends the call at once.
    void StartMessageRecording();
    // The check's answer is in (or its time is up): record, or ask for the number again.
    void MailboxChecked(TMailboxAnswer answer, const std::string& reason);
    void StartMessage();
    void CheckWaitOver();
    void CloseCheckedCall(const std::string& ended, bool callerGone, int64_t cutAt);
    void PrepareForCall();
    void SendLine(const std::string& text) { Send(text + "\r"); }
    // Sends and records the hook: off hook with the answer, on hook with the hang-up.
    void Send(const std::string& text, int hook = 0);
    void SetDigits(const std::string& digits);
    std::string AutosaveFileName();
    bool InCall() const;

    TCallFlowHost& FHost;
    TClock& FClock;
    const TPagerSettings& FSettings;
    const uint32_t FNumberWait;
    const int FRings;
    int FRingsHeard = 0;
    std::time_t FLastRing = 0;
    TCallerIdParser FCallerId;
    TCallerId FCaller;
    std::time_t FMessageStart = 0;
    const std::string FRecordingFolder;
    TCallState FState = TCallState::Idle;
    bool FOffHook = false;
    int FSilentWaits = 0;
    uint32_t FCheckWait = 2000;
    int FMissingTries = 0;
    bool FNumberChecked = false; // the server said the mailbox exists
    std::string FDigits;
    std::string FMailboxNumber;
    std::string FCallStamp;
    std::string FRxText;
    std::string FRecordFileName = "c:\\test.wav";
    TTimer FDeadline;
    TTimer FTimeLimit;
};
