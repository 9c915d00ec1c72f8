#include "audio/MediaPlayer.h"

#include "audio/MciDevice.h"
#include "toolkit/Thread.h"

namespace {
const char* const DeviceTypeNames[] = {"",        "AVIVideo",  "CDAudio",  "DAT",     "DigitalVideo",
                                       "MMMovie", "Other",     "Overlay",  "Scanner", "Sequencer",
                                       "VCR",     "Videodisc", "WaveAudio"};
} // namespace

const char* DeviceTypeName(TMPDeviceTypes type) {
    return DeviceTypeNames[type];
}

TMediaPlayer::TMediaPlayer(TComponent* owner) : TComponent(owner) {}

TMediaPlayer::~TMediaPlayer() {
    if (FDeviceId != 0)
        mciSendCommand(FDeviceId, MCI_CLOSE, MCI_WAIT, nullptr);
    // A completion still on its way to the main thread must not reach a freed player.
    TThread::RemoveQueuedEvents(this);
}

void TMediaPlayer::Loaded() {
    TComponent::Loaded();
    if (AutoOpen)
        OpenMedia();
}

void TMediaPlayer::SetWaitOnce(bool wait) {
    FWaitPending = true;
    FWait = wait;
}

void TMediaPlayer::SetNotifyOnce(bool notify) {
    FNotifyPending = true;
    FNotify = notify;
}

void TMediaPlayer::SetStartPos(uint32_t ms) {
    FFromPending = true;
    FFrom = ms;
}

void TMediaPlayer::SetEndPos(uint32_t ms) {
    FToPending = true;
    FTo = ms;
}

uint32_t TMediaPlayer::TakeWaitNotifyFlags(bool waitByDefault, bool notifyByDefault) {
    const bool wait = FWaitPending ? FWait : waitByDefault;
    const bool notify = FNotifyPending ? FNotify : notifyByDefault;
    FWaitPending = FNotifyPending = false;
    return (wait ? MCI_WAIT : 0) | (notify ? MCI_NOTIFY : 0);
}

void TMediaPlayer::DeliverNotify(uint32_t notifyValue) {
    // The device completes on whichever thread played; the event belongs to the main thread.
    TThread::Queue(
        [this, notifyValue] {
            FNotifyValue = notifyValue;
            if (OnNotify)
                OnNotify(this);
        },
        this);
}

void TMediaPlayer::OpenMedia() {
    if (FOpen)
        CloseMedia();
    MCI_OPEN_PARMS params;
    params.Callback = [this](uint32_t, uint32_t value) { DeliverNotify(value); };
    params.lpstrDeviceType = DeviceTypeName(DeviceType);
    params.lpstrElementName = FileName;
    uint32_t flags = TakeWaitNotifyFlags(true, false);
    flags |= DeviceType != dtAutoSelect ? MCI_OPEN_TYPE : MCI_OPEN_ELEMENT;
    if (Shareable)
        flags |= MCI_OPEN_SHAREABLE;
    FLastError = mciSendCommand(0, MCI_OPEN, flags, &params);
    if (FLastError != 0)
        throw EMCIDeviceError(ErrorText());
    FOpen = true;
    FDeviceId = params.wDeviceID;
    // A wave device plays and can be stepped through; it neither records nor ejects.
    FEnabled.fill(false);
    if (AutoEnable)
        for (TMPBtnType button : {btPlay, btNext, btPrev})
            FEnabled[button] = true;
}

void TMediaPlayer::PlayMedia() {
    if (!FOpen)
        throw EMCIDeviceError("No MCI device open");
    if (AutoRewind && !FFromPending && !FToPending && Position() == Length())
        mciSendCommand(FDeviceId, MCI_SEEK, MCI_SEEK_TO_START | MCI_WAIT, nullptr);
    uint32_t flags = TakeWaitNotifyFlags(false, true);
    MCI_PLAY_PARMS params;
    params.Callback = [this](uint32_t, uint32_t value) { DeliverNotify(value); };
    if (FFromPending) {
        flags |= MCI_FROM;
        params.dwFrom = FFrom;
    }
    if (FToPending) {
        flags |= MCI_TO;
        params.dwTo = FTo;
    }
    FFromPending = FToPending = false;
    FLastError = mciSendCommand(FDeviceId, MCI_PLAY, flags, &params);
    if (AutoEnable && FLastError == 0)
        FEnabled[btPause] = FEnabled[btStop] = (flags & MCI_WAIT) == 0;
}

void TMediaPlayer::CloseMedia() {
    if (FDeviceId == 0)
        return;
    MCI_GENERIC_PARMS params;
    params.Callback = [this](uint32_t, uint32_t value) { DeliverNotify(value); };
    FLastError = mciSendCommand(FDeviceId, MCI_CLOSE, TakeWaitNotifyFlags(true, false), &params);
    if (FLastError == 0) {
        FOpen = false;
        FDeviceId = 0;
        FEnabled.fill(false);
    }
}

std::string TMediaPlayer::ErrorText() const {
    std::string text;
    if (!mciGetErrorString(FLastError, text))
        return "Unknown error code";
    return text;
}

uint32_t TMediaPlayer::Status(uint32_t item) const {
    MCI_STATUS_PARMS params;
    params.dwItem = item;
    if (FDeviceId == 0 || mciSendCommand(FDeviceId, MCI_STATUS, MCI_STATUS_ITEM | MCI_WAIT, &params) != 0)
        return 0;
    return params.dwReturn;
}

uint32_t TMediaPlayer::Length() const {
    return Status(MCI_STATUS_LENGTH);
}
uint32_t TMediaPlayer::Position() const {
    return Status(MCI_STATUS_POSITION);
}
