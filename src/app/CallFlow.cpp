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
// clang-format off
// The mailbox check (deadline: [call] check_wait, counted from the number's acceptance, across
// "message.wav"):
//
// | state            | deadline    | event                        | actions                                  | next            |
// |------------------|-------------|------------------------------|------------------------------------------|-----------------|
// | CollectingDigits | inter-digit | 4 s over, digits, check on   | check started, "message.wav"             | CheckingMailbox |
// | CheckingMailbox  | check wait  | key                          | kept as the start of a new number        | CheckingMailbox |
// | CheckingMailbox  |             | "RING"                       | the same call (the modem queued it)      | CheckingMailbox |
// | CheckingMailbox  |             | folder there                 | "mailbox N checked", beep, record        | Recording       |
// | CheckingMailbox  |             | no answer in time, no server | "mailbox N not checked (why)", record    | Recording       |
// | CheckingMailbox  |             | no folder, fewer than 3      | "notfound.wav", "enter.wav"              | AwaitingNumber  |
// | CheckingMailbox  |             | no folder, the 3rd           | "notfound.wav", closing prompt, hang-up  | Idle            |
// | Recording(Digits)| time limit  | over, the number checked     | stop, closing prompt, hang-up, outbox    | Idle            |
// clang-format on
//
// A number keyed during the message, or with the check off, is not checked and keeps today's
// order: stop, deliver, closing prompt, hang-up.
//
// Keys while on hook (Idle) or while the call is being closed are not the caller's: ignored.
#include "app/CallFlow.h"

#include "app/CallStamp.h"
#include "app/Clock.h"
#include "app/Prompts.h"

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
    case TCallState::CheckingMailbox:
        return "checking mailbox";
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
    case TCallState::CheckingMailbox:
        FDeadline.SetInterval(FCheckWait);
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
           FState == TCallState::CollectingDigits || FState == TCallState::CheckingMailbox;
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
    FMissingTries = 0;
    FNumberChecked = false;
    Enter(TCallState::AwaitingNumber);
}

void TCallFlow::PhoneToneDecoder1DTMF(int key) {
    if (FState == TCallState::Idle || FState == TCallState::Closing)
        return;
    if (key != 'D')
        SetDigits(FDigits + static_cast<char>(key & 0xFF));
    FSilentWaits = 0;
    // The check's deadline stands: these keys start a new number once the message records.
    if (FState == TCallState::CheckingMailbox)
        return;
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
    case TCallState::CheckingMailbox:
        CheckWaitOver();
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
    FNumberChecked = false;
    // Only a number keyed before the message is checked: one keyed during it replaces the
    // mailbox of a recording already under way.
    std::string whyNot = "keyed during the message";
    const bool checking =
        FState == TCallState::CollectingDigits && FHost.StartMailboxCheck(FMailboxNumber, whyNot);
    if (checking) {
        SetDigits("");
        Enter(TCallState::CheckingMailbox); // the server answers while "message.wav" plays
    }
    FHost.PlayPrompt(Prompt::Message);
    FCallStamp = FormatCallStamp(FClock.Now());
    if (OnNumberAccepted)
        OnNumberAccepted(FMailboxNumber);
    FHost.Event("number " + FMailboxNumber);
    if (!checking) {
        FHost.Event("mailbox " + FMailboxNumber + " not checked (" + whyNot + ")");
        SetDigits("");
        StartMessage();
        return;
    }
    if (FState != TCallState::CheckingMailbox)
        return;
    std::string reason;
    const TMailboxAnswer answer = FHost.MailboxCheckAnswer(reason);
    if (answer != TMailboxAnswer::Pending)
        MailboxChecked(answer, reason);
}

void TCallFlow::StartMessage() {
    Enter(TCallState::Recording);
    Send("ATDD;\r");
    FHost.PlayPrompt(Prompt::Beep);
    if (FSettings.Autosave)
        FHost.StartRecording(FRecordFileName);
    // Keys heard while the mailbox was checked make a new number, as keys during the message do.
    if (!FDigits.empty() && FState == TCallState::Recording)
        Enter(TCallState::RecordingDigits);
}

void TCallFlow::MailboxCheckAnswered() {
    if (FState != TCallState::CheckingMailbox)
        return;
    std::string reason;
    const TMailboxAnswer answer = FHost.MailboxCheckAnswer(reason);
    if (answer != TMailboxAnswer::Pending)
        MailboxChecked(answer, reason);
}

void TCallFlow::CheckWaitOver() {
    std::string reason;
    TMailboxAnswer answer = FHost.MailboxCheckAnswer(reason);
    if (answer == TMailboxAnswer::Pending) {
        answer = TMailboxAnswer::Unknown;
        reason = "no answer within " + std::to_string(FCheckWait / 1000) + " s";
    }
    MailboxChecked(answer, reason);
}

void TCallFlow::MailboxChecked(TMailboxAnswer answer, const std::string& reason) {
    FHost.ForgetMailboxCheck();
    const std::string number = FMailboxNumber;
    if (answer == TMailboxAnswer::Exists) {
        FNumberChecked = true;
        FHost.Event("mailbox " + number + " checked");
        StartMessage();
        return;
    }
    if (answer != TMailboxAnswer::Missing) {
        // The server cannot tell now: the number is taken, and the outbox delivers later if
        // need be.
        FHost.Event("mailbox " + number + " not checked (" + reason + ")");
        StartMessage();
        return;
    }
    FHost.Event("no such mailbox " + number);
    SetDigits("");
    FMailboxNumber.clear();
    if (++FMissingTries >= MissingMailboxTries) {
        Enter(TCallState::Closing);
        try {
            FHost.PlayPrompt(Prompt::NotFound);
            FHost.PlayPrompt(Prompt::Thank);
            FRxText.clear();
            Send(FSettings.HangupString + "\r", -1);
        } catch (...) {
            Enter(TCallState::Idle);
            throw;
        }
        FHost.Event("hangup");
        Enter(TCallState::Idle);
        return;
    }
    // The caller keys the number again; keys during these prompts already count.
    Enter(TCallState::Greeting);
    FHost.PlayPrompt(Prompt::NotFound);
    FHost.PlayPrompt(Prompt::Enter);
    FSilentWaits = 0;
    Enter(TCallState::AwaitingNumber);
}

void TCallFlow::Timer2Timer() {
    Enter(TCallState::Closing);
    if (FNumberChecked) {
        CloseCheckedCall();
        return;
    }
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

void TCallFlow::CloseCheckedCall() {
    // The mailbox is known to exist: the caller hears the closing prompt at once and the
    // server's speed no longer matters to the call.
    std::exception_ptr failed;
    try {
        FHost.StopRecording();
        FHost.PlayPrompt(Prompt::Thank);
        FRxText.clear();
        Send(FSettings.HangupString + "\r", -1);
    } catch (...) {
        failed = std::current_exception();
    }
    if (!failed)
        FHost.Event("hangup");
    Enter(TCallState::Idle);
    // Whatever failed above, the message goes its way.
    FHost.DeliverAfterHangUp(FMailboxNumber, FCallStamp, FRecordFileName);
    if (failed)
        std::rethrow_exception(failed);
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
