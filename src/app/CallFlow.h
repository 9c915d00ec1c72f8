// One call, from "RING" to hang-up, as a state machine. The call's state is one named value with
// one writer (Enter); every event looks at the state first. The flow knows nothing of widgets
// or devices: it talks to the box through TCallFlowHost, and the window only mirrors what the
// flow tells it and turns the operator's buttons into the flow's events. The state table is at
// the top of CallFlow.cpp.
#pragma once

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

// What the flow needs done; the box does it.
class TCallFlowHost {
public:
    virtual ~TCallFlowHost() = default;
    // Raw text to the modem, exactly as given.
    virtual void SendToModem(const std::string& text) = 0;
    // Blocks until the prompt has played; a missing prompt plays the built-in tone.
    virtual void PlayPrompt(const char* name) = 0;
    // The recorder: a new recording into fileName (throws when it cannot start), its end.
    virtual void StartRecording(const std::string& fileName) = 0;
    virtual void StopRecording() = 0;
    virtual bool Recording() const = 0;
    // The message of a call that ends, delivered now; true when the caller is to hear that the
    // mailbox was not found. An error the operator must see is thrown after the call has ended,
    // through ShowAfterCall.
    virtual bool DeliverMessage(const std::string& mailbox, const std::string& callStamp,
                                const std::string& fileName, std::exception_ptr& showAfterCall) = 0;
    // The message of a call that was cut short ("RING" during the recording): kept for the
    // outbox, which delivers it beside the next call.
    virtual void KeepMessage(const std::string& mailbox, const std::string& callStamp,
                             const std::string& fileName, const std::string& reason) = 0;
    // The mailbox check: starts asking the server whether the mailbox's folder exists (the
    // answer comes through TCallFlow::MailboxCheckAnswered); false, with the reason, when no
    // check is made.
    virtual bool StartMailboxCheck(const std::string& mailbox, std::string& whyNot) = 0;
    virtual TMailboxAnswer MailboxCheckAnswer(std::string& reason) = 0;
    virtual void ForgetMailboxCheck() = 0;
    // The message of a checked number, handed over after the hang-up: delivered at once on the
    // outbox's thread, so the caller never waits on the server.
    virtual void DeliverAfterHangUp(const std::string& mailbox, const std::string& callStamp,
                                    const std::string& fileName) = 0;
    // The line went off hook (a call began) or on hook (it ended).
    virtual void LineOffHook(bool offHook) = 0;
    // One line for the event log ("answered", "number 123", ...).
    virtual void Event(const std::string& event) = 0;
};

class TCallFlow {
public:
    // settings: the answer and hang-up strings and "Autosave wave", as the window's fields hold
    // them. numberWaitSeconds: the silent caller's wait ([call] number_wait; 0: for good).
    // recordingFolder: where recordings named after the time stamp go ("Autosave wave").
    TCallFlow(TCallFlowHost& host, TClock& clock, const TPagerSettings& settings, int numberWaitSeconds,
              std::string recordingFolder);
    ~TCallFlow();
    TCallFlow(const TCallFlow&) = delete;
    TCallFlow& operator=(const TCallFlow&) = delete;

    // --- Events ------------------------------------------------------------------------------
    // Text from the modem (ComPortRxChar's steps).
    void ComPortRxChar(const std::string& received);
    // A key from the tone decoder.
    void PhoneToneDecoder1DTMF(int key);
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
    // The longest wait for the mailbox check's answer, ms ([call] check_wait).
    void SetCheckWait(uint32_t milliseconds) { FCheckWait = milliseconds; }
    void SetRecordFileName(const std::string& fileName) { FRecordFileName = fileName; }
    const std::string& RecordFileName() const { return FRecordFileName; }

    // --- State, for the window and the tests ---------------------------------------------------
    TCallState State() const { return FState; }
    bool OffHook() const { return FOffHook; }
    const std::string& Digits() const { return FDigits; }
    const std::string& MailboxNumber() const { return FMailboxNumber; }
    const std::string& CallStamp() const { return FCallStamp; }
    const std::string& RxText() const { return FRxText; }
    static constexpr size_t RxTextLimit = 4096;
    // The state's own deadline (the silent caller's wait or the inter-digit time-out), and the
    // message's time limit, which runs from the first number to the end of the recording.
    const TTimer& Deadline() const { return FDeadline; }
    const TTimer& TimeLimit() const { return FTimeLimit; }
    static constexpr uint32_t InterDigitMilliseconds = 4000;
    static constexpr int SilentWaitsBeforeHangup = 3;
    static constexpr int MissingMailboxTries = 3;

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
    void DeadlineFired();
    void AcceptNumber();
    // The check's answer is in (or its time is up): record, or ask for the number again.
    void MailboxChecked(TMailboxAnswer answer, const std::string& reason);
    void StartMessage();
    void CheckWaitOver();
    void CloseCheckedCall();
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
