// The call flow. The map, one row per transition (deadline: the state's own timer; the time
// limit runs from the first accepted number to the end of the message, across Recording and
// RecordingDigits):
//
// | state            | deadline      | event                         | actions | next             |
// |------------------|---------------|-------------------------------|-----------------------------------------------------|------------------|
// | Idle             | -             | "RING" in the received text   | answer string (off hook), "answered",
// prompts       | AwaitingNumber   | | any              |               | "Answer" button               | the
// same (AnswerCall)                               | AwaitingNumber   | | Greeting         | -             |
// (the prompts play)            |                                                     | AwaitingNumber   | |
// AwaitingNumber   | number wait   | key                           | show it (not "D") | CollectingDigits |
// | AwaitingNumber   |               | wait over, fewer than 3       | "enter.wav" again | AwaitingNumber   |
// | AwaitingNumber   |               | wait over, the 3rd            | hang-up string, "no number" | Idle |
// | Greeting, AwaitingNumber, CollectingDigits | | "RING"              | the same call (the modem queued it):
// nothing         | (same)           | | CollectingDigits | inter-digit   | key                           |
// show it (not "D"), the 4 s count afresh             | CollectingDigits | | CollectingDigits | | 4 s over,
// no digits           | clear the digits                                    | AwaitingNumber   | |
// CollectingDigits |               | 4 s over, digits              | "message.wav", number logged, "ATDD;",
// beep, record | Recording        | | Recording        | time limit    | key                           | show
// it (not "D")                                   | RecordingDigits  | | RecordingDigits  | inter-digit   |
// key                           | show it, the 4 s count afresh                       | RecordingDigits  | |
// RecordingDigits  |               | 4 s over, no digits           | clear the digits | Recording        | |
// RecordingDigits  |               | 4 s over, digits              | a new number: as above, the recording
// restarts      | Recording        | | Recording, RecordingDigits | time limit | time limit over        |
// stop, deliver, closing prompt, hang-up string       | Idle (via Closing) | | Recording, RecordingDigits |
// | "RING"                        | message completed and kept for the outbox, answer   | AwaitingNumber   |
// | any              |               | "Open line" button            | "ATH1", time limit on, recording under
// autosave     | Recording        | | any              |               | "Close line" / "terminate"    |
// recording stopped (a call's message kept), on hook  | Idle             | | any off hook     | | the program
// ends              | hang-up string, "hangup"                            | Idle             |
//
// Keys while on hook (Idle) or while the call is being closed are not the caller's: ignored.
#include "app/CallFlow.h"

#include "app/CallStamp.h"
#include "app/Clock.h"
#include "app/Prompts.h"
#include "toolkit/StringUtils.h"

const char* CallStateName(TCallState state) {
    switch (state) {
    case TCallState::Idle:
        return "idle";
    case TCallState::Greeting:
        return "greeting";
    case TCallState::AwaitingNumber:
        return "awaiting number";
    case TCallState::CollectingDigits:
        return "collecting digits";
    case TCallState::Recording:
        return "recording";
    case TCallState::RecordingDigits:
        return "recording, digits";
    case TCallState::Closing:
        return "closing";
    }
    return "?";
}

TCallFlow::TCallFlow(TCallFlowHost& host, TClock& clock, const TPagerSettings& settings,
                     int numberWaitSeconds, std::string recordingFolder)
    : FHost(host), FClock(clock), FSettings(settings), FNumberWait(SecondsToInterval(numberWaitSeconds)),
      FRecordingFolder(std::move(recordingFolder)), FDeadline(clock, 0), FTimeLimit(clock, 6000) {
    FDeadline.OnTimer = [this] { DeadlineFired(); };
    FTimeLimit.OnTimer = [this] { Timer2Timer(); };
}

TCallFlow::~TCallFlow() {
    FDeadline.OnTimer = nullptr;
    FTimeLimit.OnTimer = nullptr;
}

void TCallFlow::Enter(TCallState state) {
    FState = state;
    FDeadline.SetEnabled(false);
    switch (state) {
    case TCallState::AwaitingNumber:
        FDeadline.SetInterval(FNumberWait);
        FDeadline.SetEnabled(true);
        break;
    case TCallState::CollectingDigits:
    case TCallState::RecordingDigits:
        FDeadline.SetInterval(InterDigitMilliseconds);
        FDeadline.SetEnabled(true);
        break;
    case TCallState::Recording:
        // Enabling a running limit does not restart it: a second number keeps the first's limit.
        FTimeLimit.SetEnabled(true);
        break;
    case TCallState::Idle:
        FTimeLimit.SetEnabled(false);
        break;
    case TCallState::Greeting:
    case TCallState::Closing:
        break;
    }
    if (OnStateChanged)
        OnStateChanged(state);
}

bool TCallFlow::InCall() const {
    return FState == TCallState::Greeting || FState == TCallState::AwaitingNumber ||
           FState == TCallState::CollectingDigits;
}

void TCallFlow::Send(const std::string& text, int hook) {
    FHost.SendToModem(text);
    if (hook > 0) {
        FOffHook = true;
        FHost.LineOffHook(true);
    } else if (hook < 0) {
        FOffHook = false;
        FSilentWaits = 0;
        FHost.LineOffHook(false);
    }
}

void TCallFlow::SetDigits(const std::string& digits) {
    FDigits = digits;
    if (OnDigitsChanged)
        OnDigitsChanged(FDigits);
}

std::string TCallFlow::AutosaveFileName() {
    return FRecordingFolder + "/" + TextToHex(FormatCallStamp(FClock.Now())) + ".wav";
}

void TCallFlow::ComPortRxChar(const std::string& received) {
    FRxText += received;
    if (FRxText.find("RING") != std::string::npos) {
        if (InCall()) {
            // Off hook already: a "RING" the modem queued before the answer took effect.
            FRxText.erase(0, FRxText.rfind("RING") + 4);
            return;
        }
        PrepareForCall();
        AnswerCall();
        return;
    }
    // A chattering line must not grow this for months; the tail still joins a "RING" split
    // across events.
    if (FRxText.size() > RxTextLimit)
        FRxText.erase(0, FRxText.size() - RxTextLimit);
}

void TCallFlow::PrepareForCall() {
    if ((FState != TCallState::Recording && FState != TCallState::RecordingDigits) || !FHost.Recording())
        return;
    // A new call while a message is being recorded: its caller has gone. The message is
    // completed and sent on its way by the outbox while this call is answered.
    FTimeLimit.SetEnabled(false);
    FHost.StopRecording();
    FHost.KeepMessage(FMailboxNumber, FCallStamp, FRecordFileName, "ring during the recording");
}

void TCallFlow::AnswerCall() {
    Send(FSettings.AnswerString + "\r", +1);
    Enter(TCallState::Greeting);
    FHost.Event("answered");
    FRxText.clear();
    FHost.PlayPrompt(Prompt::Welcome);
    FHost.PlayPrompt(Prompt::Enter);
    FCallStamp = FormatCallStamp(FClock.Now());
    if (FSettings.Autosave) {
        FRecordFileName = AutosaveFileName();
        if (OnRecordFileNameChanged)
            OnRecordFileNameChanged(FRecordFileName);
    }
    FSilentWaits = 0;
    Enter(TCallState::AwaitingNumber);
}

void TCallFlow::PhoneToneDecoder1DTMF(int key) {
    if (FState == TCallState::Idle || FState == TCallState::Closing)
        return;
    if (key != 'D')
        SetDigits(FDigits + static_cast<char>(key & 0xFF));
    FSilentWaits = 0;
    // The inter-digit count starts afresh with every key, a lone "D" too.
    if (FState == TCallState::Recording || FState == TCallState::RecordingDigits)
        Enter(TCallState::RecordingDigits);
    else
        Enter(TCallState::CollectingDigits);
}

void TCallFlow::DeadlineFired() {
    switch (FState) {
    case TCallState::AwaitingNumber:
        NumberWaitTimerTimer();
        break;
    case TCallState::CollectingDigits:
    case TCallState::RecordingDigits:
        Timer3Timer();
        break;
    default:
        break;
    }
}

void TCallFlow::NumberWaitTimerTimer() {
    if (++FSilentWaits < SilentWaitsBeforeHangup) {
        FHost.PlayPrompt(Prompt::Enter);
        Enter(TCallState::AwaitingNumber); // the wait counts from the prompt's end
        return;
    }
    // A caller who keys nothing (or has gone) must not hold the line for good.
    FRxText.clear();
    Enter(TCallState::Idle);
    Send(FSettings.HangupString + "\r", -1);
    FHost.Event("no number");
}

void TCallFlow::Timer3Timer() {
    if (FDigits.empty()) {
        // Only "D" keyed: wait for the number again, or go on recording for the number taken.
        SetDigits("");
        if (FState == TCallState::RecordingDigits) {
            Enter(TCallState::Recording);
        } else {
            FMailboxNumber.clear();
            Enter(TCallState::AwaitingNumber);
        }
        return;
    }
    AcceptNumber();
}

void TCallFlow::AcceptNumber() {
    FMailboxNumber = FDigits;
    FHost.PlayPrompt(Prompt::Message);
    FCallStamp = FormatCallStamp(FClock.Now());
    if (OnNumberAccepted)
        OnNumberAccepted(FMailboxNumber);
    FHost.Event("number " + FMailboxNumber);
    SetDigits("");
    Enter(TCallState::Recording);
    Send("ATDD;\r");
    FHost.PlayPrompt(Prompt::Beep);
    if (FSettings.Autosave)
        StartMessageRecording();
}

void TCallFlow::StartMessageRecording() {
    try {
        FHost.StartRecording(FRecordFileName);
    } catch (const std::exception& e) {
        // No room or no device: the caller is not held for the whole limit, and no empty
        // message is delivered. The error is shown once the line is on hook.
        FHost.Event("no message recorded (" + OneLine(e.what()) + ")");
        Enter(TCallState::Closing);
        FHost.PlayPrompt(Prompt::Thank);
        FRxText.clear();
        Send(FSettings.HangupString + "\r", -1);
        FHost.Event("hangup");
        Enter(TCallState::Idle);
        throw;
    }
}

void TCallFlow::Timer2Timer() {
    Enter(TCallState::Closing);
    std::exception_ptr shown; // for the operator, once the line is on hook
    bool notFound = false;
    try {
        FHost.StopRecording();
        notFound = FHost.DeliverMessage(FMailboxNumber, FCallStamp, FRecordFileName, shown);
        if (notFound)
            FHost.PlayPrompt(Prompt::NotFound);
        FHost.PlayPrompt(Prompt::Thank);
        FRxText.clear();
        Send(FSettings.HangupString + "\r", -1);
    } catch (...) {
        // Whatever failed, the flow is ready for the next call.
        Enter(TCallState::Idle);
        throw;
    }
    FHost.Event("hangup");
    Enter(TCallState::Idle);
    if (shown)
        std::rethrow_exception(shown);
}

void TCallFlow::OpenLine() {
    Send("ATH1\r", +1);
    FRxText.clear();
    FCallStamp = FormatCallStamp(FClock.Now());
    if (FSettings.Autosave) {
        FRecordFileName = AutosaveFileName();
        if (OnRecordFileNameChanged)
            OnRecordFileNameChanged(FRecordFileName);
    }
    Enter(TCallState::Recording);
    if (FSettings.Autosave)
        FHost.StartRecording(FRecordFileName);
}

void TCallFlow::CloseLine() {
    const bool callMessage = FTimeLimit.Enabled() && FHost.Recording();
    FHost.StopRecording();
    Send("ATH0\r", -1);
    if (callMessage)
        FHost.KeepMessage(FMailboxNumber, FCallStamp, FRecordFileName, "operator");
    Enter(TCallState::Idle);
}

void TCallFlow::Terminate() {
    const bool callMessage = FTimeLimit.Enabled() && FHost.Recording();
    Send(FSettings.HangupString + "\r", -1);
    FHost.StopRecording();
    if (callMessage)
        FHost.KeepMessage(FMailboxNumber, FCallStamp, FRecordFileName, "operator");
    Enter(TCallState::Idle);
}

void TCallFlow::HangUpBeforeClosing(bool portUsable) {
    // A message being recorded is kept: the outbox delivers it at the next start.
    if (FTimeLimit.Enabled() && FHost.Recording()) {
        FHost.StopRecording();
        FHost.KeepMessage(FMailboxNumber, FCallStamp, FRecordFileName, "program ended");
    }
    if (!FOffHook || !portUsable)
        return;
    Send(FSettings.HangupString + "\r", -1);
    FHost.Event("hangup");
    Enter(TCallState::Idle);
}

void TCallFlow::CallerLeft(const std::string& how, int64_t lastSound) {
    (void)how;
    (void)lastSound;
}
