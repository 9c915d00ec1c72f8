// The call flow. The map, one row per transition. Deadline: the state's own timer (the number
// wait, the inter-digit time-out); the message's time limit runs from the first accepted number
// to the end of the message, across Recording and RecordingDigits.
//
// clang-format off
// | state        | deadline    | event                      | actions                                    | next          |
// |--------------|-------------|----------------------------|--------------------------------------------|---------------|
// | Idle         | -           | caller-ID lines            | kept for the answer                        | Idle          |
// | Idle         |             | "RING"                     | counted; at the [call] rings-th: answer    | Greeting      |
// |              |             |                            | string (off hook), "answered [from ID]"    |               |
// | any          |             | "Answer" button            | the same (AnswerCall)                      | Greeting      |
// | Greeting     | -           | the prompts have played    | "welcome.wav", "enter.wav", time stamp     | AwaitNumber   |
// | AwaitNumber  | number wait | key                        | show it (not "D")                          | Collecting    |
// | AwaitNumber  |             | wait over, 1st or 2nd      | "enter.wav" again                          | AwaitNumber   |
// | AwaitNumber  |             | wait over, 3rd             | hang-up string, "no number"                | Idle          |
// | Greeting, AwaitNumber,     | "RING"                     | the same call (queued by the modem): none  | (same)        |
// |   Collecting               |                            |                                            |               |
// | Greeting, AwaitNumber,     | busy, reorder, dial tone   | hang-up string, "caller left (...)"        | Idle          |
// |   Collecting               |                            |                                            |               |
// | Collecting   | inter-digit | key                        | show it (not "D"), the 4 s afresh          | Collecting    |
// | Collecting   |             | 4 s over, no digits        | clear them                                 | AwaitNumber   |
// | Collecting   |             | 4 s over, digits           | "message.wav", number logged, "ATDD;",     | Recording     |
// |              |             |                            | beep, recording under autosave             |               |
// | Recording    | time limit  | key (not "#")              | show it (not "D")                          | RecDigits     |
// | RecDigits    | inter-digit | key (not "#")              | show it, the 4 s afresh                    | RecDigits     |
// | RecDigits    |             | 4 s over, no digits        | clear them                                 | Recording     |
// | RecDigits    |             | 4 s over, digits           | a new number as above; recording restarts  | Recording     |
// | Recording, RecDigits       | time limit over            | stop, deliver, closing prompt, hang-up     | Idle (Closing)|
// | Recording, RecDigits       | "#"                        | stop, cut at the key, as at the limit      | Idle (Closing)|
// | Recording, RecDigits       | tone or silence: left      | stop, cut at the last sound, hang-up,      | Idle (Closing)|
// |                            |                            | deliver; no closing prompt                 |               |
// | Recording, RecDigits       | "RING"                     | message completed and kept for the outbox, | Greeting      |
// |                            |                            | then answered                              |               |
// | any          |             | "Open line" button         | "ATH1", time limit on, autosave recording  | Recording     |
// | any          |             | "Close line", "terminate"  | recording stopped (a call's message kept), | Idle          |
// |              |             |                            | on hook                                    |               |
// | any off hook |             | the program ends           | message kept, hang-up string, "hangup"     | Idle          |
// clang-format on
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
// | CheckingMailbox  |             | busy, reorder, dial tone     | hang-up string, "caller left (...)"      | Idle            |
// | Recording(Digits)| time limit  | over or "#", number checked  | stop, closing prompt, hang-up, outbox    | Idle            |
// | Recording(Digits)|             | left, the number checked     | stop, cut, hang-up, outbox               | Idle            |
// clang-format on
//
// A number keyed during the message, or with the check off, is not checked and keeps today's
// order: stop, deliver, closing prompt, hang-up.
//
// (AwaitNumber: AwaitingNumber, Collecting: CollectingDigits, RecDigits: RecordingDigits.) Keys
// while on hook (Idle) or while the call is being closed are not the caller's: ignored.
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
                     const TLumiskConf& conf, std::string recordingFolder)
    : FHost(host), FClock(clock), FSettings(settings), FNumberWait(SecondsToInterval(conf.CallNumberWait)),
      FRings(conf.CallRings), FRecordingFolder(std::move(recordingFolder)), FDeadline(clock, 0),
      FTimeLimit(clock, 6000) {
    FCheckWait = SecondsToInterval(conf.CallCheckWait);
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
        // The next call brings its own caller ID.
        FCallerId.Clear();
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
    FHost.SendCallCommand(text, hook);
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
    // Caller ID comes before the first RING or between the first and the second.
    FCallerId.Feed(received);
    FRxText += received;
    if (FRxText.find("RING") != std::string::npos) {
        if (InCall()) {
            // Off hook already: a "RING" the modem queued before the answer took effect.
            FRxText.erase(0, FRxText.rfind("RING") + 4);
            return;
        }
        if (!RingToAnswer())
            return;
        PrepareForCall();
        AnswerCall();
        return;
    }
    // A chattering line must not grow this for months; the tail still joins a "RING" split
    // across events.
    if (FRxText.size() > RxTextLimit)
        FRxText.erase(0, FRxText.size() - RxTextLimit);
}

bool TCallFlow::RingToAnswer() {
    // A call's RINGs come seconds apart; a lone RING long ago was another caller who gave up.
    constexpr std::time_t RingsApart = 8;
    const std::time_t now = FClock.Now();
    if (FRingsHeard > 0 && now - FLastRing > RingsApart)
        FRingsHeard = 0;
    for (size_t at = FRxText.find("RING"); at != std::string::npos; at = FRxText.find("RING", at + 4))
        ++FRingsHeard;
    FLastRing = now;
    FRxText.erase(0, FRxText.rfind("RING") + 4);
    if (FRingsHeard < FRings && FState == TCallState::Idle)
        return false;
    FRingsHeard = 0;
    return true;
}

void TCallFlow::PrepareForCall() {
    if ((FState != TCallState::Recording && FState != TCallState::RecordingDigits) || !FHost.Recording())
        return;
    // A new call while a message is being recorded: its caller has gone. The message is
    // completed and sent on its way by the outbox while this call is answered.
    FTimeLimit.SetEnabled(false);
    FHost.StopRecording();
    FHost.KeepMessage(Message("ring during the recording"));
}

TCallMessage TCallFlow::Message(const std::string& ended) const {
    TCallMessage message;
    message.Mailbox = FMailboxNumber;
    message.CallStamp = FCallStamp;
    message.FileName = FRecordFileName;
    message.Ended = ended;
    message.Caller = FCaller;
    message.Received = FMessageStart;
    return message;
}

void TCallFlow::AnswerCall() {
    Send(FSettings.AnswerString + "\r", +1);
    Enter(TCallState::Greeting);
    FCaller = FCallerId.Id();
    FHost.Event(FCaller.AnsweredText());
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

void TCallFlow::PhoneToneDecoder1DTMF(int key, int64_t position) {
    if (FState == TCallState::Idle || FState == TCallState::Closing)
        return;
    // "#" ends the message, as every voicemail system teaches its callers; the key's own tone is
    // cut off the end.
    if (key == '#' && (FState == TCallState::Recording || FState == TCallState::RecordingDigits) &&
        FTimeLimit.Enabled()) {
        SetDigits("");
        FHost.Event("message ended by #");
        FinishMessage("#", false, position);
        return;
    }
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
    std::string whyNot = "keyed during the message"; // empty: nothing to say (the check is off)
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
        if (!whyNot.empty())
            FHost.Event("mailbox " + FMailboxNumber + " not checked (" + whyNot + ")");
        SetDigits("");
        StartMessage();
        return;
    }
    // The server may have answered while "message.wav" played.
    MailboxCheckAnswered();
}

void TCallFlow::StartMessage() {
    Enter(TCallState::Recording);
    Send("ATDD;\r");
    FHost.PlayPrompt(Prompt::Beep);
    FMessageStart = FClock.Now();
    if (FSettings.Autosave)
        StartMessageRecording();
    // Keys heard while the mailbox was checked make a new number, as keys during the message do.
    if (!FDigits.empty() && FState == TCallState::Recording)
        Enter(TCallState::RecordingDigits);
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
    FinishMessage("time limit", false, -1);
}

void TCallFlow::FinishMessage(const std::string& ended, bool callerGone, int64_t cutAt) {
    Enter(TCallState::Closing);
    if (FNumberChecked) {
        CloseCheckedCall(ended, callerGone, cutAt);
        return;
    }
    std::exception_ptr shown; // for the operator, once the line is on hook
    try {
        FHost.StopRecording();
        if (cutAt >= 0)
            FHost.TrimRecording(FRecordFileName, cutAt);
        if (callerGone) {
            // Nobody listens: the line is free for the next caller at once. A hang-up that cannot
            // reach the modem (it went away) must not cost the message.
            HangUpAfterCallerLeft();
            FHost.DeliverMessage(Message(ended), shown);
        } else {
            const bool notFound = FHost.DeliverMessage(Message(ended), shown);
            if (notFound)
                FHost.PlayPrompt(Prompt::NotFound);
            FHost.PlayPrompt(Prompt::Thank);
            FRxText.clear();
            Send(FSettings.HangupString + "\r", -1);
            FHost.Event("hangup");
        }
    } catch (...) {
        // Whatever failed, the flow is ready for the next call.
        Enter(TCallState::Idle);
        throw;
    }
    Enter(TCallState::Idle);
    if (shown)
        std::rethrow_exception(shown);
}

void TCallFlow::HangUpAfterCallerLeft() {
    // Nobody listens: the line is free for the next caller at once. A modem that went away takes
    // no hang-up (and says so itself): the message must not be lost for it, nor an error shown.
    FRxText.clear();
    try {
        Send(FSettings.HangupString + "\r", -1);
        FHost.Event("hangup");
    } catch (const std::exception& e) {
        FOffHook = false;
        FHost.Event(std::string("hang-up not sent: ") + OneLine(e.what()));
    }
}

void TCallFlow::CloseCheckedCall(const std::string& ended, bool callerGone, int64_t cutAt) {
    // The mailbox is known to exist: the caller hears the closing prompt at once (nobody, when
    // the caller has gone) and the server's speed no longer matters to the call.
    std::exception_ptr failed;
    try {
        FHost.StopRecording();
        if (cutAt >= 0)
            FHost.TrimRecording(FRecordFileName, cutAt);
        if (callerGone) {
            HangUpAfterCallerLeft();
        } else {
            FHost.PlayPrompt(Prompt::Thank);
            FRxText.clear();
            Send(FSettings.HangupString + "\r", -1);
            FHost.Event("hangup");
        }
    } catch (...) {
        FOffHook = false;
        failed = std::current_exception();
    }
    Enter(TCallState::Idle);
    // Whatever failed above, the message goes its way.
    FHost.DeliverAfterHangUp(Message(ended));
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
        FHost.KeepMessage(Message("operator"));
    Enter(TCallState::Idle);
}

void TCallFlow::Terminate() {
    const bool callMessage = FTimeLimit.Enabled() && FHost.Recording();
    Send(FSettings.HangupString + "\r", -1);
    FHost.StopRecording();
    if (callMessage)
        FHost.KeepMessage(Message("operator"));
    Enter(TCallState::Idle);
}

void TCallFlow::HangUpBeforeClosing(bool portUsable) {
    // A message being recorded is kept: the outbox delivers it at the next start.
    if (FTimeLimit.Enabled() && FHost.Recording()) {
        FHost.StopRecording();
        FHost.KeepMessage(Message("interrupted"));
    }
    if (!FOffHook || !portUsable)
        return;
    Send(FSettings.HangupString + "\r", -1);
    FHost.Event("hangup");
    Enter(TCallState::Idle);
}

void TCallFlow::CallerLeft(const std::string& how, int64_t lastSound) {
    const std::string left = "caller left (" + how + ")";
    switch (FState) {
    case TCallState::Recording:
    case TCallState::RecordingDigits:
        if (!FTimeLimit.Enabled())
            return; // the operator's own line: nobody to wait for
        FHost.Event(left);
        // The tail back to the caller's last sound, and a little of the quiet after it.
        FinishMessage(left, true, lastSound >= 0 ? lastSound + LastSoundKeptSamples : -1);
        break;
    case TCallState::Greeting:
    case TCallState::AwaitingNumber:
    case TCallState::CollectingDigits:
    case TCallState::CheckingMailbox:
        // Silence while the number is awaited is the silent caller's wait's to judge.
        if (how == "silence")
            return;
        FHost.ForgetMailboxCheck();
        FRxText.clear();
        Enter(TCallState::Idle);
        Send(FSettings.HangupString + "\r", -1);
        FHost.Event(left);
        break;
    default:
        break;
    }
}
