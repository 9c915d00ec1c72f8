#include "app/Box.h"

#include "app/ExecutableFolder.h"
#include "app/InstallLayout.h"
#include "app/MailboxUpload.h"
#include "app/MessageNote.h"
#include "app/ModemPort.h"
#include "app/Prompts.h"
#include "app/RecordingRecovery.h"
#include "app/SpaceCheck.h"
#include "app/VoiceModemDriver.h"
#include "audio/PromptReader.h"
#include "audio/PromptSound.h"
#include "audio/SoundService.h"
#include "audio/WaveRepair.h"
#include "toolkit/Exception.h"
#include "toolkit/ExceptionReporter.h"
#include "toolkit/Stream.h"
#include "toolkit/StringUtils.h"
#include "toolkit/Thread.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool FileExists(const std::string& fileName) {
    struct stat info {};
    return stat(fileName.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

} // namespace

TBox::TBox(TBoxOptions options)
    : FExeFolder(options.ExeFolder.empty() ? ExecutableFolder() : options.ExeFolder),
      FPromptFolder(std::move(options.PromptFolder)), FConf(std::move(options.Conf)),
      FOwnClock(options.Clock ? nullptr : std::make_unique<TSystemClock>()),
      FClock(options.Clock ? options.Clock : FOwnClock.get()) {
    // The sound layer takes its devices from lumisk.conf before the first capture is made.
    SetSoundSettings(FConf.Sound());
    FFlow =
        std::make_unique<TCallFlow>(static_cast<TCallFlowHost&>(*this), *FClock, Settings, FConf, FExeFolder);
    FMailboxCheck = std::make_unique<TMailboxCheck>(
        FConf, [this] { RunHandler([this] { FFlow->MailboxCheckAnswered(); }); });
    FDecoder.SetPlaybackReference(&FPlayed);
    // The modem line as the window's definition sets it; opened by FormCreate.
    ComPort = std::make_unique<TComPort>();
    ComPort->SetName("ComPort");
    SetUpModemPort(*ComPort, FConf.ModemPort);
    ComPort->SetTriggersOnRxChar(true);
    ComPort->OnRxChar = [this](TComponent*, int count) { ComPortRxChar(count); };
    // An unattended box must say at once that its modem went away, not at the next hang-up, and
    // bring it back by itself.
    TModemWatchHooks watch;
    watch.Idle = [this] {
        return FFlow->State() == TCallState::Idle && !FFlow->OffHook() && !FRecorder.Recording();
    };
    watch.SetUp = [this] { SetUpModem(); };
    watch.Lost = [this] {
        if (FFlow->State() != TCallState::Idle || FFlow->OffHook())
            RunHandler([this] { FFlow->CallerLeft("modem lost"); });
    };
    watch.Event = [this](const std::string& event) { ReportEvent(event); };
    FModemWatch = std::make_unique<TModemWatch>(*ComPort, *FClock, FConf.ModemCheckEvery, std::move(watch));
    ComPort->OnError = [this](TComponent*, TComErrors errors) {
        if (errors.Contains(erIO) && ComPort->DeviceLost())
            FModemWatch->DeviceLost();
    };
    // [sound] driver = modem: the modem carries the call's audio over this same port, and tells
    // of rings, keys during prompts and the caller's leaving itself.
    if (FConf.ModemCarriesAudio()) {
        FVoice = std::make_unique<TVoiceModemDriver>(*ComPort, FConf.ModemVoiceBaud);
        FVoice->OnText = [this](const std::string& text) { RunHandler([&] { FFlow->ComPortRxChar(text); }); };
        FVoice->OnKey = [this](int key) { RunHandler([&] { FFlow->PhoneToneDecoder1DTMF(key); }); };
        FVoice->OnCallerLeft = [this](const std::string& how) {
            RunHandler([&] { FFlow->CallerLeft(how); });
        };
    }
    ftp = std::make_unique<TIdFTP>();
    ftp->SetName("ftp");
    MediaPlayer1.SetName("MediaPlayer1");
    FRecorder.OnEvent = [this](const std::string& event) { ReportEvent(event); };
    FDecoder.OnEvent = [this](const std::string& event) { ReportEvent(event); };
    FDecoder.OnKey = [this](int key, int64_t position) {
        RunHandler([&] { FFlow->PhoneToneDecoder1DTMF(key, position); });
    };
    FDecoder.OnLineEvent = [this](const TLineEvent& event) {
        // A silence counted from before the recording began may reach this thread only after it
        // began (a prompt held the thread): the caller has said nothing of the message yet.
        // (Its quiet began before the recording, to within the detector's block.)
        const int64_t counted =
            int64_t{FDecoder.PhoneToneDecoder1.SilenceLimit()} * TLineEventDetector::SampleRate / 1000;
        if (event.Kind == TLineEventKind::Silence && Recording() &&
            event.Position + TLineEventDetector::BlockLength - counted < FRecordingFrom)
            return;
        RunHandler([&] { FFlow->CallerLeft(LineEventName(event.Kind), event.LastSoundPosition); });
    };
    FDecoder.PhoneToneDecoder1.SetSilenceLimit(FConf.CallMaxSilence * 1000);
    // A prompt that cannot be played leaves the call going on the default sound; the operator
    // hears of it on the event line and stderr, once per file, not in a message box.
    SetPromptProblemHook([this](const std::string& file, const std::string& reason) {
        const std::string line = "prompt " + file + " not playable: " + reason;
        std::fprintf(stderr, "lumisk: %s\n", line.c_str());
        std::fflush(stderr);
        ReportEvent(line);
    });
    FormCreate();
    StartOutbox();
    FStarting = false;
}

TBox::~TBox() {
    // The delivery threads report into this box: they go first.
    FMailboxCheck.reset();
    StopOutbox();
    if (SoundBackend().PlaybackReference() == &FPlayed)
        SoundBackend().SetPlaybackReference(nullptr);
    SetPromptProblemHook(nullptr);
    FDecoder.OnKey = nullptr;
    FDecoder.OnLineEvent = nullptr;
    // Events already handed over are still served while the port closes: they must not reach
    // the flow any more.
    ComPort->OnRxChar = nullptr;
    ComPort->OnError = nullptr;
    if (FVoice)
        FVoice->Detach();
    FModemWatch.reset();
    ComPort->ClosePort();
}

void TBox::FormCreate() {
    // Each part on its own: a bad settings line, a missing modem or sound card is shown and the
    // other parts still start, so the box is never deaf for one fault. Start copes with the parts
    // that were not made.
    RunHandler([this] {
        if (FileExists(PagerIniPath()))
            LoadConfig(PagerIniPath());
    });
    RunHandler([this] {
        // The recorder's device list selects its first entry.
        Settings.RecorderDevice = TSoundCaptureStream::CaptureDrivers().Count() > 0 ? 0 : -1;
        RebuildRecorder();
    });
    // A port that does not open is reported and tried again until it does.
    RunHandler([this] { FModemWatch->Open(); });
    RunHandler([this] {
        RebuildDecoder();
        FDecoder.SetBufferMilliseconds(2048);
    });
}

void TBox::Start() {
    if (FVoice && FVoice->Started())
        ReportEvent("voice modem " + FVoice->Description());
    FDecoder.Start();
}

void TBox::Close() {
    // A failed hang-up is shown, and the recording and the settings are still saved.
    RunHandler([this] { HangUpBeforeClosing(); });
    FRecorder.Release();
    SaveConfig(PagerIniPath());
}

std::string TBox::PagerIniPath() const {
    return FExeFolder + "/pager.ini";
}

void TBox::SaveConfig(const std::string& fileName) {
    Settings.RecorderFormat = RecorderFormat;
    Settings.Write(fileName);
}

void TBox::LoadConfig(const std::string& fileName) {
    // What was read before a bad line is taken, as the fields show it.
    struct TKeep {
        TBox& Box;
        ~TKeep() { Box.SavedRecorderFormat = Box.Settings.RecorderFormat; }
    } keep{*this};
    for (const TPagerProblem& problem : Settings.Read(fileName)) {
        ReportEvent((problem.Warning ? "warning " : "setting replaced ") + problem.Text);
        ShowMessageText(problem.Text);
    }
    FFlow->SetTimeLimit(SecondsToInterval(StrToInt(Settings.TimeLimit)));
}

std::string TBox::ApplyTimeLimit(const std::string& text) {
    std::string shown = text;
    if (StrToInt(shown) > TPagerSettings::MaxTimeLimit)
        shown = IntToStr(TPagerSettings::DefaultTimeLimit);
    Settings.TimeLimit = shown;
    FFlow->SetTimeLimit(SecondsToInterval(StrToInt(shown)));
    return shown;
}

void TBox::RebuildRecorder() {
    FRecorder.Rebuild();
    RecorderFormat = SavedRecorderFormat >= 0 && SavedRecorderFormat < FRecorder.OfferedFormatCount()
                         ? SavedRecorderFormat
                         : -1;
}

void TBox::RebuildDecoder() {
    FDecoder.Rebuild();
}

std::string TBox::OutboxFolder() const {
    return OutboxFolderPath(FConf.UploadOutbox, FExeFolder);
}

void TBox::ReportEvent(const std::string& event) {
    if (FStarting) {
        TThread::Queue([this, event] { ReportEvent(event); }, this);
        return;
    }
    if (OnCallEvent)
        OnCallEvent(event);
}

void TBox::ComPortRxChar(int count) {
    std::string received;
    ComPort->ReadText(received, count);
    if (FCallerIdSent && received.find("ERROR") != std::string::npos) {
        FCallerIdSent = false;
        if (!FCallerIdRefused)
            ReportEvent("caller ID not available: the modem answered ERROR to " + FConf.ModemCallerId);
        FCallerIdRefused = true;
    } else if (FCallerIdSent && received.find("OK") != std::string::npos) {
        FCallerIdSent = false;
    }
    FModemWatch->Received(received);
    FFlow->ComPortRxChar(received);
}

void TBox::SendCallerIdCommand() {
    if (FConf.ModemCallerId.empty() || !ComPort->Connected())
        return;
    SendToModem(FConf.ModemCallerId + "\r");
    FCallerIdSent = true;
}

void TBox::SendToModem(const std::string& text) {
    if (FModemWatch->Away())
        throw Exception("Cannot send " + Trim(OneLine(text)) + " to the modem " + ComPort->Port() +
                        ": it is lost (" + FModemWatch->Reason() + ")");
    // In voice mode the session is the port's only writer: it switches between audio and text.
    if (FVoice)
        FVoice->Command(text);
    else
        ComPort->WriteText(text);
}

void TBox::SendCallCommand(const std::string& text, int hook) {
    if (!FVoice) {
        SendToModem(text);
        return;
    }
    if (hook > 0) {
        FVoice->OffHook();
    } else if (hook < 0) {
        // Every step of the hang-up has been tried: the call is over for the flow and the outbox
        // whatever failed, and the operator sees what did once the handler is over.
        try {
            FVoice->OnHook();
        } catch (const std::exception& e) {
            const std::string text = e.what();
            ReportEvent("hang-up failed: " + OneLine(text));
            TThread::Queue([text] { ShowMessageText(text); }, this);
        }
    }
    // hook 0 ("ATDD;") would dial out of voice mode: not sent.
}

void TBox::SendInit() {
    if (FVoice)
        FVoice->Initialise(Settings.InitString);
    else
        SendToModem(Settings.InitString + "\r");
}

void TBox::SetUpModem() {
    SendInit();
    SendCallerIdCommand();
}

void TBox::ListenToPlayback() {
    // Set before every sound: a test may have installed another backend since the last one.
    SoundBackend().SetPlaybackReference(&FPlayed);
}

void TBox::PlayPrompt(const char* name) {
    ListenToPlayback();
    // In the prompt folder (or the current one); a missing prompt plays the default sound and the
    // call goes on.
    if (!sndPlaySoundA(PromptPath(FPromptFolder, name).c_str(), 0) && FVoice) {
        // The prompt's line says only that it failed; the modem's answer says why.
        const std::string failure = FVoice->NewPlayFailure();
        if (!failure.empty())
            ReportEvent(failure);
    }
}

void TBox::PlayWelcome() {
    ListenToPlayback();
    MediaPlayer1.FileName = PromptPath(FPromptFolder, Prompt::Welcome);
    MediaPlayer1.OpenMedia();
    MediaPlayer1.SetWaitOnce(true);
    MediaPlayer1.PlayMedia(); // returns when the sound has ended
    MediaPlayer1.CloseMedia();
}

void TBox::StartRecording() {
    FRecorder.Start(FFlow->RecordFileName(), RecorderFormat);
}

void TBox::StartRecording(const std::string& fileName) {
    // A call's message: what it is for is on the disk before its first sample, so that a crash
    // at any moment leaves a recording the next start delivers.
    const std::string& mailbox = FFlow->MailboxNumber();
    int account = 0;
    std::string notANumber;
    const bool callMessage = !mailbox.empty() && FFlow->TimeLimit().Enabled();
    if (callMessage) {
        TPendingRecord record;
        record.Mailbox = mailbox;
        record.RemoteName = RemoteFileName(mailbox, FFlow->CallStamp());
        record.AccountIndex = MailboxAccount(mailbox, account, notANumber) ? account : 0;
        TMessageNote note;
        note.Mailbox = mailbox;
        note.Caller = FFlow->Caller().Number;
        note.CallerName = FFlow->Caller().Name;
        note.Received = FClock->Now();
        note.Ended = MessageEndText(TMessageEnd::Interrupted);
        note.Box = BoxName();
        record.Note = FormatMessageNote(note);
        WritePendingRecord(fileName, record);
    }
    try {
        FRecorder.Start(fileName, RecorderFormat);
    } catch (...) {
        if (callMessage)
            RemovePendingRecord(fileName);
        throw;
    }
    // From here on the decoder's positions are places in this recording, and the caller's
    // silence counts afresh.
    FRecordingFrom = FDecoder.PhoneToneDecoder1.SamplesDecoded();
    FDecoder.PhoneToneDecoder1.RestartSilence();
    FRecordingFormat = FRecorder.Capture()->Formats().Items(RecorderFormat);
}

void TBox::TrimRecording(const std::string& fileName, int64_t endPosition) {
    if (endPosition <= FRecordingFrom)
        return;
    const TSoundCaptureFormat& f = FRecordingFormat;
    const int64_t frames = (endPosition - FRecordingFrom) * f.SampleRate / 8000;
    try {
        TruncateWaveFile(fileName, frames * f.Channels * f.BitsPerSample / 8);
    } catch (const std::exception& e) {
        // The message is kept whole: a longer message is better than none.
        ReportEvent(std::string("recording not trimmed: ") + OneLine(e.what()));
    }
}

void TBox::StopRecording() {
    FRecorder.Stop();
}

void TBox::HangUpBeforeClosing() {
    FFlow->HangUpBeforeClosing(ComPort && ComPort->Connected() && !ComPort->DeviceLost());
    // The string must reach the modem before the port (and the program) goes.
    if (ComPort->Connected() && !ComPort->DeviceLost())
        ComPort->DrainOutput(HangUpDrainMilliseconds);
}

void TBox::LineOffHook(bool offHook) {
    if (offHook)
        CheckFreeSpace();
    // Some modems forget caller ID with the call.
    if (!offHook)
        RunHandler([this] { SendCallerIdCommand(); });
    if (!OutboxDelivery)
        return;
    // The outbox steps aside for a call; every way a call ends lets it go on.
    if (offHook)
        OutboxDelivery->CallStarted();
    else
        OutboxDelivery->CallEnded();
}

// --- The message of a call ------------------------------------------------------------------

std::string TBox::BoxName() const {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const size_t slash = FConf.ModemPort.rfind('/');
    return std::string(host) + " " +
           (slash == std::string::npos ? FConf.ModemPort : FConf.ModemPort.substr(slash + 1));
}

std::string TBox::WriteNote(const TCallMessage& message, std::string& notePath) {
    notePath.clear();
    TMessageNote note;
    note.Mailbox = message.Mailbox;
    note.Caller = message.Caller.Number;
    note.CallerName = message.Caller.Name;
    note.Received = message.Received;
    note.Ended = message.Ended;
    note.Box = BoxName();
    try {
        // The header as the audio on disk says, which also gives the length.
        note.DurationSeconds = RepairWaveFile(message.FileName);
        const std::string text = FormatMessageNote(note);
        const std::string path = NoteFileName(message.FileName);
        TFileStream file(path, fmCreate);
        file.WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
        notePath = path;
        return text;
    } catch (const std::exception&) {
        return {}; // no recording to describe (nothing was recorded under that name)
    }
}

bool TBox::DeliverMessage(const TCallMessage& message, std::exception_ptr& showAfterCall) {
    const std::string& mailbox = message.Mailbox;
    const std::string& fileName = message.FileName;
    const std::string remote = RemoteFileName(mailbox, message.CallStamp);
    std::string notePath;
    const std::string note = WriteNote(message, notePath);
    int account = 0;
    std::string reason;
    if (!MailboxAccount(mailbox, account, reason)) {
        ReportEvent("upload failed " + reason);
        if (PutUndeliverable(fileName, mailbox, 0, remote, reason, note))
            RemovePendingRecord(fileName);
        showAfterCall = std::make_exception_ptr(EConvertError(reason));
        return false;
    }
    const TUploadOutcome outcome = UploadMessage(*ftp, FConf, account, fileName, remote, notePath);
    // Stored, or kept by the outbox: no longer the crash's to deliver. Kept nowhere (no room in
    // the outbox): the record stays, and the next start delivers it.
    struct TDone {
        const std::string& File;
        bool Keep = false;
        ~TDone() {
            if (!Keep)
                RemovePendingRecord(File);
        }
    } done{fileName};
    switch (outcome.Result) {
    case TUploadResult::Stored:
        ReportEvent("upload done " + remote + " as " + outcome.Account);
        if (DeliveredCommand)
            DeliveredCommand->Run(mailbox, remote, fileName, notePath);
        return false;
    case TUploadResult::NoRecording:
        // Nothing was recorded under that name: nothing to keep.
        ReportEvent("upload failed " + outcome.Reason);
        return true;
    case TUploadResult::MailboxMissing:
        // The caller hears that the mailbox was not found; the message is kept aside for the
        // operator.
        ReportEvent("upload failed " + outcome.Reason);
        done.Keep = !PutUndeliverable(fileName, mailbox, account, remote, outcome.Reason, note);
        return true;
    case TUploadResult::Failed:
        ReportEvent("upload failed " + outcome.Reason);
        done.Keep = !QueueMessage(fileName, mailbox, account, remote, outcome.Reason, true, note);
        showAfterCall = outcome.Error;
        return false;
    }
    return false;
}

void TBox::KeepMessage(const TCallMessage& message) {
    Keep(message, message.Ended);
}

void TBox::Keep(const TCallMessage& message, const std::string& reason) {
    const std::string remote = RemoteFileName(message.Mailbox, message.CallStamp);
    std::string notePath;
    const std::string note = WriteNote(message, notePath);
    int account = 0;
    std::string notANumber;
    const bool kept =
        MailboxAccount(message.Mailbox, account, notANumber)
            ? QueueMessage(message.FileName, message.Mailbox, account, remote, reason, false, note)
            : PutUndeliverable(message.FileName, message.Mailbox, 0, remote, notANumber, note);
    if (kept)
        RemovePendingRecord(message.FileName);
}

// --- The mailbox check -----------------------------------------------------------------------

bool TBox::StartMailboxCheck(const std::string& mailbox, std::string& whyNot) {
    if (!FConf.CallCheckMailbox) {
        whyNot.clear(); // the operator's choice: nothing to report
        return false;
    }
    if (FConf.UploadHost.empty()) {
        whyNot = "no upload server";
        return false;
    }
    FMailboxCheck->Start(mailbox);
    return true;
}

TMailboxAnswer TBox::MailboxCheckAnswer(std::string& reason) {
    return FMailboxCheck->Answer(reason);
}

void TBox::ForgetMailboxCheck() {
    FMailboxCheck->Forget();
}

void TBox::DeliverAfterHangUp(const TCallMessage& message) {
    // The outbox's path: a copy (and the note) kept until the server's completion reply,
    // delivered at once on its thread, under the name the call's own upload would have used.
    Keep(message, "after the hang-up");
}

void TBox::StartOutbox() {
    Outbox = std::make_unique<TOutbox>(OutboxFolder());
    Undeliverable = std::make_unique<TOutbox>(OutboxFolder() + "/undeliverable");
    RecoverInterruptedRecordings();
    // Both threads report through the main thread, where every event line is written.
    auto post = [this](const std::string& event) {
        TThread::Queue([this, event] { ReportEvent(event); }, this);
    };
    DeliveredCommand =
        std::make_unique<TDeliveredCommand>(FConf.UploadOnDelivered, DeliveredCommandTimeout, post);
    OutboxDelivery = std::make_unique<TOutboxDelivery>(
        *Outbox, *Undeliverable, FConf, post, [this](const TOutboxMessage& message) {
            DeliveredCommand->Run(message.Mailbox, message.RemoteName, message.OriginalFile,
                                  NoteFileName(message.OriginalFile));
        });
}

void TBox::StopOutbox() {
    OutboxDelivery.reset();
    DeliveredCommand.reset();
    TThread::RemoveQueuedEvents(this);
}

bool TBox::QueueMessage(const std::string& localFile, const std::string& mailbox, int accountIndex,
                        const std::string& remote, const std::string& reason, bool tried,
                        const std::string& note) {
    try {
        Outbox->Add(localFile, mailbox, remote, accountIndex, tried ? 1 : 0, reason, note);
        ReportEvent("queued " + remote + " (" + reason + ")");
        if (!OutboxDelivery)
            return true; // before its thread starts: it lists the folder first thing
        if (tried)
            OutboxDelivery->Queued();
        else
            OutboxDelivery->DeliverNow();
        return true;
    } catch (const std::exception& e) {
        // Nothing left to keep, or no room to keep it: the recording itself stays where it is.
        ReportEvent(std::string("not queued ") + remote + " (" + OneLine(e.what()) + ")");
        // Shown once the call's handler is over, never in the middle of the call.
        const std::string text = e.what();
        TThread::Queue([text] { ShowMessageText(text); }, this);
        return false;
    }
}

bool TBox::PutUndeliverable(const std::string& localFile, const std::string& mailbox, int accountIndex,
                            const std::string& remote, const std::string& reason, const std::string& note) {
    try {
        Undeliverable->Add(localFile, mailbox, remote, accountIndex, 1, reason, note);
        ReportEvent("undeliverable " + remote + " (" + reason + ")");
        return true;
    } catch (const std::exception& e) {
        ReportEvent(std::string("not kept ") + remote + " (" + OneLine(e.what()) + ")");
        return false;
    }
}

// --- Months without a visit ----------------------------------------------------------------

void TBox::RecoverInterruptedRecordings() {
    for (const TRecoveredRecording& found : RecoverRecordings(FExeFolder)) {
        if (!found.Error.empty()) {
            ReportEvent("not recovered " + found.Path + " (" + found.Error + ")");
            continue;
        }
        ReportEvent(Format("recovered %s (%.0f s)", found.Path.c_str(), found.Seconds));
        if (!found.HasRecord)
            continue; // the operator's own: mended, not sent anywhere
        const TPendingRecord& record = found.Record;
        int account = 0;
        std::string notANumber;
        const std::string reason = MessageEndText(TMessageEnd::Interrupted);
        if (MailboxAccount(record.Mailbox, account, notANumber)
                ? QueueMessage(found.Path, record.Mailbox, record.AccountIndex, record.RemoteName, reason,
                               false, record.Note)
                : PutUndeliverable(found.Path, record.Mailbox, 0, record.RemoteName, notANumber))
            RemovePendingRecord(found.Path);
    }
}

void TBox::CheckFreeSpace() {
    int bytesPerSecond = LargestBytesPerSecond;
    if (TSoundCaptureStream* capture = FRecorder.Capture();
        capture && RecorderFormat >= 0 && RecorderFormat < capture->Formats().Count()) {
        const TSoundCaptureFormat& format = capture->Formats().Items(RecorderFormat);
        bytesPerSecond = format.SampleRate * format.BitsPerSample / 8 * format.Channels;
    }
    const std::string warning =
        FreeSpaceWarning(FExeFolder, MessageBytes(StrToIntDef(Settings.TimeLimit, 0), bytesPerSecond));
    if (warning.empty())
        return;
    ReportEvent("low disk space: " + warning);
    TThread::Queue([warning] { ShowMessageText("Low disk space: " + warning); }, this);
}
