#include "app/Box.h"

#include "app/ExecutableFolder.h"
#include "app/InstallLayout.h"
#include "app/MailboxUpload.h"
#include "app/ModemPort.h"
#include "app/Prompts.h"
#include "audio/PromptReader.h"
#include "audio/PromptSound.h"
#include "audio/SoundService.h"
#include "toolkit/Exception.h"
#include "toolkit/ExceptionReporter.h"
#include "toolkit/StringUtils.h"
#include "toolkit/Thread.h"

#include <cstdio>
#include <sys/stat.h>

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
    FFlow = std::make_unique<TCallFlow>(static_cast<TCallFlowHost&>(*this), *FClock, Settings,
                                        FConf.CallNumberWait, FExeFolder);
    FFlow->SetCheckWait(SecondsToInterval(FConf.CallCheckWait));
    FMailboxCheck = std::make_unique<TMailboxCheck>(
        FConf, [this] { RunHandler([this] { FFlow->MailboxCheckAnswered(); }); });
    FDecoder.SetPlaybackReference(&FPlayed);
    // The modem line as the window's definition sets it; opened by FormCreate.
    ComPort = std::make_unique<TComPort>();
    ComPort->SetName("ComPort");
    SetUpModemPort(*ComPort, FConf.ModemPort);
    ComPort->SetTriggersOnRxChar(true);
    ComPort->OnRxChar = [this](TComponent*, int count) { ComPortRxChar(count); };
    // An unattended box must say at once that its modem went away, not at the next hang-up.
    ComPort->OnError = [this](TComponent*, TComErrors errors) {
        if (errors.Contains(erIO) && ComPort->DeviceLost())
            ReportEvent("modem line lost");
    };
    ftp = std::make_unique<TIdFTP>();
    ftp->SetName("ftp");
    MediaPlayer1.SetName("MediaPlayer1");
    FRecorder.OnEvent = [this](const std::string& event) { ReportEvent(event); };
    FDecoder.OnEvent = [this](const std::string& event) { ReportEvent(event); };
    FDecoder.OnKey = [this](int key) { RunHandler([&] { FFlow->PhoneToneDecoder1DTMF(key); }); };
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
}

TBox::~TBox() {
    // The delivery threads report into this box: they go first.
    FMailboxCheck.reset();
    StopOutbox();
    if (SoundBackend().PlaybackReference() == &FPlayed)
        SoundBackend().SetPlaybackReference(nullptr);
    SetPromptProblemHook(nullptr);
    FDecoder.OnKey = nullptr;
    // Events already handed over are still served while the port closes: they must not reach
    // the flow any more.
    ComPort->OnRxChar = nullptr;
    ComPort->OnError = nullptr;
    ComPort->ClosePort();
}

void TBox::FormCreate() {
    // An error ends the start-up where it happens; Start copes with the parts that were not made.
    RunHandler([this] {
        if (FileExists(PagerIniPath()))
            LoadConfig(PagerIniPath());
        // The recorder's device list selects its first entry.
        Settings.RecorderDevice = TSoundCaptureStream::CaptureDrivers().Count() > 0 ? 0 : -1;
        RebuildRecorder();
        ComPort->OpenPort();
        SendInit();
        RebuildDecoder();
        FDecoder.SetBufferMilliseconds(2048);
    });
}

void TBox::Start() {
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
    Settings.Read(fileName);
    FFlow->SetTimeLimit(SecondsToInterval(StrToInt(Settings.TimeLimit)));
}

std::string TBox::ApplyTimeLimit(const std::string& text) {
    std::string shown = text;
    if (StrToInt(shown) > 38)
        shown = "10";
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
    if (OnCallEvent)
        OnCallEvent(event);
}

void TBox::ComPortRxChar(int count) {
    std::string received;
    ComPort->ReadText(received, count);
    FFlow->ComPortRxChar(received);
}

void TBox::SendToModem(const std::string& text) {
    ComPort->WriteText(text);
}

void TBox::SendInit() {
    SendToModem(Settings.InitString + "\r");
}

void TBox::ListenToPlayback() {
    // Set before every sound: a test may have installed another backend since the last one.
    SoundBackend().SetPlaybackReference(&FPlayed);
}

void TBox::PlayPrompt(const char* name) {
    ListenToPlayback();
    // In the prompt folder (or the current one); a missing prompt plays the default sound and the
    // call goes on.
    sndPlaySoundA(PromptPath(FPromptFolder, name).c_str(), 0);
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
    FRecorder.Start(fileName, RecorderFormat);
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
    if (!OutboxDelivery)
        return;
    // The outbox steps aside for a call; every way a call ends lets it go on.
    if (offHook)
        OutboxDelivery->CallStarted();
    else
        OutboxDelivery->CallEnded();
}

// --- The message of a call ------------------------------------------------------------------

bool TBox::DeliverMessage(const std::string& mailbox, const std::string& callStamp,
                          const std::string& fileName, std::exception_ptr& showAfterCall) {
    const std::string remote = RemoteFileName(mailbox, callStamp);
    int account = 0;
    std::string reason;
    if (!MailboxAccount(mailbox, account, reason)) {
        ReportEvent("upload failed " + reason);
        PutUndeliverable(fileName, mailbox, 0, remote, reason);
        showAfterCall = std::make_exception_ptr(EConvertError(reason));
        return false;
    }
    const TUploadOutcome outcome = UploadMessage(*ftp, FConf, account, fileName, remote);
    switch (outcome.Result) {
    case TUploadResult::Stored:
        ReportEvent("upload done " + remote + " as " + outcome.Account);
        if (DeliveredCommand)
            DeliveredCommand->Run(mailbox, remote, fileName);
        return false;
    case TUploadResult::NoRecording:
        // Nothing was recorded under that name: nothing to keep.
        ReportEvent("upload failed " + outcome.Reason);
        return true;
    case TUploadResult::MailboxMissing:
        // The caller hears that the mailbox was not found; the message is kept aside for the
        // operator.
        ReportEvent("upload failed " + outcome.Reason);
        PutUndeliverable(fileName, mailbox, account, remote, outcome.Reason);
        return true;
    case TUploadResult::Failed:
        ReportEvent("upload failed " + outcome.Reason);
        QueueMessage(fileName, mailbox, account, remote, outcome.Reason, true);
        showAfterCall = outcome.Error;
        return false;
    }
    return false;
}

void TBox::KeepMessage(const std::string& mailbox, const std::string& callStamp, const std::string& fileName,
                       const std::string& reason) {
    const std::string remote = RemoteFileName(mailbox, callStamp);
    int account = 0;
    std::string notANumber;
    if (!MailboxAccount(mailbox, account, notANumber)) {
        PutUndeliverable(fileName, mailbox, 0, remote, notANumber);
        return;
    }
    QueueMessage(fileName, mailbox, account, remote, reason, false);
}

// --- The mailbox check -----------------------------------------------------------------------

bool TBox::StartMailboxCheck(const std::string& mailbox, std::string& whyNot) {
    if (!FConf.CallCheckMailbox) {
        whyNot = "check off";
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

void TBox::DeliverAfterHangUp(const std::string& mailbox, const std::string& callStamp,
                              const std::string& fileName) {
    // The outbox's path: a copy kept until the server's completion reply, delivered at once on
    // its thread, under the name the call's own upload would have used.
    KeepMessage(mailbox, callStamp, fileName, "after the hang-up");
}

void TBox::StartOutbox() {
    Outbox = std::make_unique<TOutbox>(OutboxFolder());
    Undeliverable = std::make_unique<TOutbox>(OutboxFolder() + "/undeliverable");
    // Both threads report through the main thread, where every event line is written.
    auto post = [this](const std::string& event) {
        TThread::Queue([this, event] { ReportEvent(event); }, this);
    };
    DeliveredCommand =
        std::make_unique<TDeliveredCommand>(FConf.UploadOnDelivered, DeliveredCommandTimeout, post);
    OutboxDelivery = std::make_unique<TOutboxDelivery>(
        *Outbox, *Undeliverable, FConf, post, [this](const TOutboxMessage& message) {
            DeliveredCommand->Run(message.Mailbox, message.RemoteName, message.OriginalFile);
        });
}

void TBox::StopOutbox() {
    OutboxDelivery.reset();
    DeliveredCommand.reset();
    TThread::RemoveQueuedEvents(this);
}

void TBox::QueueMessage(const std::string& localFile, const std::string& mailbox, int accountIndex,
                        const std::string& remote, const std::string& reason, bool tried) {
    try {
        Outbox->Add(localFile, mailbox, remote, accountIndex, tried ? 1 : 0, reason);
        ReportEvent("queued " + remote + " (" + reason + ")");
        if (tried)
            OutboxDelivery->Queued();
        else
            OutboxDelivery->DeliverNow();
    } catch (const std::exception& e) {
        // Nothing left to keep, or no room to keep it: the recording itself stays where it is.
        ReportEvent(std::string("not queued ") + remote + " (" + OneLine(e.what()) + ")");
        // Shown once the call's handler is over, never in the middle of the call.
        const std::string text = e.what();
        TThread::Queue([text] { ShowMessageText(text); }, this);
    }
}

void TBox::PutUndeliverable(const std::string& localFile, const std::string& mailbox, int accountIndex,
                            const std::string& remote, const std::string& reason) {
    try {
        Undeliverable->Add(localFile, mailbox, remote, accountIndex, 1, reason);
        ReportEvent("undeliverable " + remote + " (" + reason + ")");
    } catch (const std::exception& e) {
        ReportEvent(std::string("not kept ") + remote + " (" + OneLine(e.what()) + ")");
    }
}
