// The media player component: opens a file on the media device layer, plays it, closes it.
// Its button bar is not drawn (the program uses none of the buttons); which buttons would be
// enabled is kept for owners that show them.
#pragma once

#include "toolkit/Component.h"
#include "toolkit/Exception.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class EMCIDeviceError : public Exception {
public:
    using Exception::Exception;
};

enum TMPDeviceTypes {
    dtAutoSelect,
    dtAVIVideo,
    dtCDAudio,
    dtDAT,
    dtDigitalVideo,
    dtMMMovie,
    dtOther,
    dtOverlay,
    dtScanner,
    dtSequencer,
    dtVCR,
    dtVideodisc,
    dtWaveAudio
};

enum TMPBtnType { btPlay, btPause, btStop, btNext, btPrev, btStep, btBack, btRecord, btEject };

// Name passed to the device layer for a device type ("" for dtAutoSelect).
const char* DeviceTypeName(TMPDeviceTypes type);

class TMediaPlayer : public TComponent {
public:
    using TNotifyEvent = std::function<void(TMediaPlayer* sender)>;

    explicit TMediaPlayer(TComponent* owner = nullptr);
    // Closes an open device.
    ~TMediaPlayer() override;

    std::string FileName;
    TMPDeviceTypes DeviceType = dtAutoSelect;
    bool Shareable = false;
    bool AutoOpen = false;
    bool AutoRewind = true;
    bool AutoEnable = true;
    // Raised on the main thread when a command sent with notification completes.
    TNotifyEvent OnNotify;

    uint32_t DeviceId() const { return FDeviceId; }
    int32_t LastError() const { return FLastError; }
    bool IsOpen() const { return FOpen; }
    // The completion value of the last notification (MCI_NOTIFY_SUCCESSFUL, ...).
    uint32_t NotifyValue() const { return FNotifyValue; }
    bool ButtonEnabled(TMPBtnType button) const { return FEnabled[button]; }

    // One-shot settings, consumed by the next open, play or close.
    void SetWaitOnce(bool wait);
    void SetNotifyOnce(bool notify);
    // One-shot start and end points of the next play, in milliseconds.
    void SetStartPos(uint32_t ms);
    void SetEndPos(uint32_t ms);

    // Raises EMCIDeviceError with ErrorText() when the device cannot be opened.
    void OpenMedia();
    // Raises EMCIDeviceError "No MCI device open" without a device; other failures are only
    // recorded in LastError.
    void PlayMedia();
    void CloseMedia();
    std::string ErrorText() const;

    uint32_t Length() const;
    uint32_t Position() const;

protected:
    void Loaded() override;

private:
    uint32_t TakeWaitNotifyFlags(bool waitByDefault, bool notifyByDefault);
    void DeliverNotify(uint32_t notifyValue);
    uint32_t Status(uint32_t item) const;

    uint32_t FDeviceId = 0;
    bool FOpen = false;
    int32_t FLastError = 0;
    bool FWaitPending = false, FWait = false;
    bool FNotifyPending = false, FNotify = false;
    bool FFromPending = false, FToPending = false;
    uint32_t FFrom = 0, FTo = 0;
    uint32_t FNotifyValue = 0;
    std::array<bool, 9> FEnabled{};
};
