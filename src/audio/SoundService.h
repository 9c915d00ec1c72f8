// The sound service both backends offer: capture shaped like a looping-buffer capture API
// (enumerate devices, create a capture object, create a looping buffer for a format, start,
// stop, positions, lock/unlock) and blocking playback of PCM data.
//
// The backend and its devices come from the process's sound settings (SetSoundSettings, from
// [sound] of lumisk.conf): "sim" selects the simulated sound card, anything else ALSA. Tests may
// install their own backend with SetSoundBackend.
#pragma once

#include "audio/Wave.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// [sound] of lumisk.conf, handed to the sound layer by the program before it opens a device.
struct TSoundSettings {
    std::string Driver = "alsa"; // "alsa" or "sim"
    // ALSA: the PCM names (empty: "default"). The simulated card: the file or FIFO of the caller's
    // audio, and the file or FIFO that receives what is played (empty: silence, nowhere).
    std::string Capture;
    std::string Playback;
};
void SetSoundSettings(const TSoundSettings& settings);
TSoundSettings SoundSettings();

// Device id of a capture device; the backend's name for it (ALSA PCM name, "sim").
using TDeviceGuid = std::string;

// Result codes of the capture calls; 0 is success, anything else a failure.
constexpr int32_t DS_OK = 0;
constexpr int32_t DSERR_GENERIC = static_cast<int32_t>(0x80004005);
constexpr int32_t DSERR_INVALIDPARAM = static_cast<int32_t>(0x80070057);
constexpr int32_t DSERR_BADFORMAT = static_cast<int32_t>(0x88780064);
constexpr int32_t DSERR_ALLOCATED = static_cast<int32_t>(0x8878000A);
constexpr int32_t DSERR_NODRIVER = static_cast<int32_t>(0x88780078);

constexpr uint32_t DSCBSTART_LOOPING = 1;

struct DSCBUFFERDESC {
    uint32_t dwSize = 20;
    uint32_t dwFlags = 0;
    uint32_t dwBufferBytes = 0;
    uint32_t dwReserved = 0;
    const WAVEFORMATEX* lpwfxFormat = nullptr;
};

// A looping capture buffer of dwBufferBytes. The read position is the end of the complete data
// the device has written; the device overwrites old bytes when it laps the reader.
class ISoundCaptureBuffer {
public:
    virtual ~ISoundCaptureBuffer() = default;
    virtual int32_t Start(uint32_t flags) = 0;
    virtual int32_t Stop() = 0;
    virtual int32_t GetCurrentPosition(uint32_t* capturePosition, uint32_t* readPosition) = 0;
    // Gives direct access to bytes [offset, offset+bytes) of the ring: the first region and,
    // when the range wraps past the end, a second region at the start.
    virtual int32_t Lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1, void** region2,
                         uint32_t* bytes2, uint32_t flags) = 0;
    virtual int32_t Unlock(void* region1, uint32_t bytes1, void* region2, uint32_t bytes2) = 0;
    // How many bytes the device has written since the buffer was made, laps included, so a
    // reader can tell that it was lapped; false when the buffer does not count them.
    virtual bool CapturedTotal(uint64_t& total) {
        (void)total;
        return false;
    }
    // The device's byte count (as CapturedTotal) and the monotonic instant at which the last of
    // those bytes was captured; false when the buffer keeps no such clock.
    virtual bool CaptureClock(uint64_t& total, std::chrono::steady_clock::time_point& at) {
        (void)total;
        (void)at;
        return false;
    }
};

// An opened capture device.
class ISoundCapture {
public:
    virtual ~ISoundCapture() = default;
    // DS_OK and a buffer when the device accepts the format and size.
    virtual int32_t CreateCaptureBuffer(const DSCBUFFERDESC& description,
                                        std::unique_ptr<ISoundCaptureBuffer>& buffer) = 0;
};

// Called once per capture device, the default device first with a null id; enumeration goes on
// while it returns true.
using TCaptureEnumCallback = bool (*)(const TDeviceGuid* guid, const char* description,
                                      const char* moduleName, void* context);

class TPlaybackReference;

// Result codes of playback, shared with the media player's device layer.
constexpr int32_t MCIERR_NONE = 0;
constexpr int32_t MCIERR_BASE = 256;
constexpr int32_t MCIERR_INVALID_DEVICE_ID = MCIERR_BASE + 1;
constexpr int32_t MCIERR_UNRECOGNIZED_COMMAND = MCIERR_BASE + 5;
constexpr int32_t MCIERR_FILE_NOT_FOUND = MCIERR_BASE + 19;
constexpr int32_t MCIERR_UNSUPPORTED_DEVICE = MCIERR_BASE + 20;
constexpr int32_t MCIERR_INVALID_FILE = MCIERR_BASE + 40;
constexpr int32_t MCIERR_NO_PLAYBACK_DEVICE = MCIERR_BASE + 41;
constexpr int32_t MCIERR_PLAYBACK_FAILED = MCIERR_BASE + 42;
constexpr int32_t MCIERR_SOUND_LIBRARY = MCIERR_BASE + 43;
constexpr int32_t MCIERR_OUTOFRANGE = MCIERR_BASE + 44;
constexpr int32_t MCIERR_DEVICE_BUSY = MCIERR_BASE + 45;

class ISoundBackend {
public:
    virtual ~ISoundBackend() = default;
    virtual std::string Name() const = 0;

    // Capture. Either may raise Exception when the backend's library cannot be used.
    virtual int32_t EnumerateCapture(TCaptureEnumCallback callback, void* context) = 0;
    virtual int32_t CreateCapture(const TDeviceGuid* guid, std::unique_ptr<ISoundCapture>& capture) = 0;

    // Playback. CheckPlayback tells whether the format can be played now (a device exists, is
    // free and takes it, converted if need be). Play blocks until the sound has been heard or
    // cancel became true, never without bound; it returns MCIERR_NONE or an MCIERR_ code and
    // never raises.
    virtual int32_t CheckPlayback(const WAVEFORMATEX& format) = 0;
    virtual int32_t Play(const WAVEFORMATEX& format, const void* data, uint32_t bytes,
                         const std::atomic<bool>& cancel) = 0;

    // Where Play hands over what it plays, with the instant each part is heard (null: nowhere).
    // The box sets it before it plays; the record must outlive every Play that may use it.
    void SetPlaybackReference(TPlaybackReference* reference) { FPlaybackReference = reference; }
    TPlaybackReference* PlaybackReference() const { return FPlaybackReference; }

private:
    std::atomic<TPlaybackReference*> FPlaybackReference{nullptr};
};

// The backend in use: the test override, else by the sound settings' Driver.
ISoundBackend& SoundBackend();
// Installs a backend (not owned) in place of the environment's choice; null restores it.
void SetSoundBackend(ISoundBackend* backend);
