#include "audio/MciDevice.h"

#include "audio/SoundService.h"
#include "audio/WaveSound.h"
#include "toolkit/StringUtils.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

class TMciWaveDevice {
public:
    explicit TMciWaveDevice(TWaveSound sound) : FSound(std::move(sound)) {}
    ~TMciWaveDevice() { Halt(); }

    uint32_t LengthMs() const { return static_cast<uint32_t>(FSound.Milliseconds()); }
    uint32_t PositionMs() {
        std::lock_guard<std::mutex> guard(FLock);
        return FrameToMs(FPosition);
    }
    bool Playing() {
        std::lock_guard<std::mutex> guard(FLock);
        return FPlaying;
    }

    // Stops a play in progress; its pending notification reports it aborted.
    void Halt() {
        FCancel = true;
        if (FPlayer.joinable())
            FPlayer.join();
        FCancel = false;
    }

    void SeekToStart() {
        Halt();
        std::lock_guard<std::mutex> guard(FLock);
        FPosition = 0;
    }

    int32_t Play(uint32_t deviceId, uint32_t flags, const MCI_PLAY_PARMS* params) {
        Halt();
        const uint64_t frames = Frames();
        uint64_t from, to = frames;
        {
            std::lock_guard<std::mutex> guard(FLock);
            from = FPosition;
        }
        if (params && (flags & MCI_FROM))
            from = MsToFrame(params->dwFrom);
        if (params && (flags & MCI_TO))
            to = MsToFrame(params->dwTo);
        if (from > frames || to > frames || from > to)
            return MCIERR_OUTOFRANGE;
        TMciCallback notify = (flags & MCI_NOTIFY) && params ? params->Callback : nullptr;
        {
            std::lock_guard<std::mutex> guard(FLock);
            FPlaying = true;
        }
        if (flags & MCI_WAIT)
            return Run(deviceId, from, to, notify);
        FPlayer = std::thread([this, deviceId, from, to, notify] { Run(deviceId, from, to, notify); });
        return MCIERR_NONE;
    }

private:
    uint64_t Frames() const {
        return FSound.Data.size() / std::max<uint16_t>(uint16_t{FSound.Format.nBlockAlign}, 1);
    }
    uint32_t FrameToMs(uint64_t frame) const {
        return static_cast<uint32_t>(frame * 1000 /
                                     std::max<uint32_t>(uint32_t{FSound.Format.nSamplesPerSec}, 1));
    }
    uint64_t MsToFrame(uint32_t ms) const {
        return std::min<uint64_t>(static_cast<uint64_t>(ms) * FSound.Format.nSamplesPerSec / 1000, Frames());
    }

    int32_t Run(uint32_t deviceId, uint64_t from, uint64_t to, const TMciCallback& notify) {
        const size_t align = FSound.Format.nBlockAlign;
        const int32_t result = SoundBackend().Play(FSound.Format, FSound.Data.data() + from * align,
                                                   static_cast<uint32_t>((to - from) * align), FCancel);
        const bool aborted = FCancel;
        {
            std::lock_guard<std::mutex> guard(FLock);
            FPlaying = false;
            if (!aborted && result == MCIERR_NONE)
                FPosition = to;
        }
        if (notify)
            notify(deviceId, aborted                 ? MCI_NOTIFY_ABORTED
                             : result == MCIERR_NONE ? MCI_NOTIFY_SUCCESSFUL
                                                     : MCI_NOTIFY_FAILURE);
        return result;
    }

    TWaveSound FSound;
    std::mutex FLock;
    uint64_t FPosition = 0; // frames
    bool FPlaying = false;
    std::atomic<bool> FCancel{false};
    std::thread FPlayer;
};

std::mutex& DevicesLock() {
    static std::mutex m;
    return m;
}
std::map<uint32_t, std::shared_ptr<TMciWaveDevice>>& Devices() {
    static std::map<uint32_t, std::shared_ptr<TMciWaveDevice>> devices;
    return devices;
}
uint32_t NextDeviceId = 1;

std::shared_ptr<TMciWaveDevice> FindDevice(uint32_t id) {
    std::lock_guard<std::mutex> guard(DevicesLock());
    const auto it = Devices().find(id);
    return it == Devices().end() ? nullptr : it->second;
}

void Notify(uint32_t deviceId, uint32_t flags, const void* params, uint32_t value) {
    const auto* generic = static_cast<const MCI_GENERIC_PARMS*>(params);
    if ((flags & MCI_NOTIFY) && generic && generic->Callback)
        generic->Callback(deviceId, value);
}

int32_t Open(uint32_t flags, MCI_OPEN_PARMS* params) {
    if (!params)
        return MCIERR_UNRECOGNIZED_COMMAND;
    if ((flags & MCI_OPEN_TYPE) && !SameText(params->lpstrDeviceType, "WaveAudio"))
        return MCIERR_UNSUPPORTED_DEVICE;
    TWaveSound sound;
    FillPcmFormat(sound.Format, 8000, 16, 1);
    if ((flags & MCI_OPEN_ELEMENT) || !params->lpstrElementName.empty()) {
        const int32_t loaded = LoadWaveSound(params->lpstrElementName, sound);
        if (loaded != MCIERR_NONE)
            return loaded;
    }
    const int32_t check = SoundBackend().CheckPlayback(sound.Format);
    if (check != MCIERR_NONE)
        return check;
    auto device = std::make_shared<TMciWaveDevice>(std::move(sound));
    {
        std::lock_guard<std::mutex> guard(DevicesLock());
        params->wDeviceID = NextDeviceId++;
        Devices()[params->wDeviceID] = device;
    }
    Notify(params->wDeviceID, flags, params, MCI_NOTIFY_SUCCESSFUL);
    return MCIERR_NONE;
}

int32_t Close(uint32_t deviceId, uint32_t flags, void* params) {
    std::shared_ptr<TMciWaveDevice> device;
    {
        std::lock_guard<std::mutex> guard(DevicesLock());
        const auto it = Devices().find(deviceId);
        if (it == Devices().end())
            return MCIERR_INVALID_DEVICE_ID;
        device = it->second;
        Devices().erase(it);
    }
    device->Halt();
    Notify(deviceId, flags, params, MCI_NOTIFY_SUCCESSFUL);
    return MCIERR_NONE;
}

} // namespace

int32_t mciSendCommand(uint32_t deviceId, uint32_t command, uint32_t flags, void* params) {
    if (command == MCI_OPEN)
        return Open(flags, static_cast<MCI_OPEN_PARMS*>(params));
    if (command == MCI_CLOSE)
        return Close(deviceId, flags, params);
    const std::shared_ptr<TMciWaveDevice> device = FindDevice(deviceId);
    if (!device)
        return MCIERR_INVALID_DEVICE_ID;
    switch (command) {
    case MCI_PLAY:
        return device->Play(deviceId, flags, static_cast<const MCI_PLAY_PARMS*>(params));
    case MCI_SEEK:
        if (!(flags & MCI_SEEK_TO_START))
            return MCIERR_UNRECOGNIZED_COMMAND;
        device->SeekToStart();
        Notify(deviceId, flags, params, MCI_NOTIFY_SUCCESSFUL);
        return MCIERR_NONE;
    case MCI_STATUS: {
        auto* status = static_cast<MCI_STATUS_PARMS*>(params);
        if (!status || !(flags & MCI_STATUS_ITEM))
            return MCIERR_UNRECOGNIZED_COMMAND;
        switch (status->dwItem) {
        case MCI_STATUS_LENGTH:
            status->dwReturn = device->LengthMs();
            break;
        case MCI_STATUS_POSITION:
            status->dwReturn = device->PositionMs();
            break;
        case MCI_STATUS_MODE:
            status->dwReturn = device->Playing() ? MCI_MODE_PLAY : MCI_MODE_STOP;
            break;
        default:
            return MCIERR_UNRECOGNIZED_COMMAND;
        }
        return MCIERR_NONE;
    }
    default:
        return MCIERR_UNRECOGNIZED_COMMAND;
    }
}

bool mciGetErrorString(int32_t error, std::string& text) {
    switch (error) {
    case MCIERR_NONE:
        text = "The command completed successfully.";
        return true;
    case MCIERR_INVALID_DEVICE_ID:
        text = "The device is not open: no device has this id.";
        return true;
    case MCIERR_UNRECOGNIZED_COMMAND:
        text = "The device does not know this command.";
        return true;
    case MCIERR_FILE_NOT_FOUND:
        text = "The sound file cannot be found. Check the file name and the working folder.";
        return true;
    case MCIERR_UNSUPPORTED_DEVICE:
        text = "This device type cannot be opened: only wave audio can be played.";
        return true;
    case MCIERR_INVALID_FILE:
        text = "The file is not a playable wave file (PCM, A-law, mu-law or float samples).";
        return true;
    case MCIERR_NO_PLAYBACK_DEVICE:
        text = "No sound playback device is available for this sound.";
        return true;
    case MCIERR_PLAYBACK_FAILED:
        text = "The sound device failed while playing.";
        return true;
    case MCIERR_SOUND_LIBRARY:
        text = "The sound library libasound.so.2 cannot be loaded.";
        return true;
    case MCIERR_DEVICE_BUSY:
        text = "The sound playback device is busy: another program is using it.";
        return true;
    case MCIERR_OUTOFRANGE:
        text = "The requested position lies outside the sound.";
        return true;
    default:
        return false;
    }
}
