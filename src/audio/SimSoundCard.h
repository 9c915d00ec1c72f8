// The simulated sound card: a device that keeps time like a real one but takes its caller audio
// from a file or FIFO and writes what is played to another.
//
//   capture (the sound settings' Capture): source of captured audio: a WAV file (PCM, any rate,
//            8/16 bit, mono or stereo), a raw file of 8 kHz 16-bit little-endian mono samples, or
//            a FIFO carrying such raw samples. Empty or unreadable: silence.
//   playback (the sound settings' Playback): file (appended to) or FIFO that receives played
//            audio as raw 8 kHz 16-bit mono samples. Empty: playback only keeps time.
//
// Capture runs while at least one capture buffer is started: the source is opened when the
// first starts (a file then plays from its beginning), read once at wall-clock pace and fanned
// out to every started buffer in its own format; when the source has nothing, buffers get
// silence. The source is closed when the last buffer stops.
#pragma once

#include "audio/LoopBuffer.h"
#include "audio/PcmConverter.h"
#include "audio/SoundService.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TSimCaptureBuffer;

// Where captured audio comes from: a WAV or raw file read once, or a FIFO read as data arrives.
class TSimCaptureSource {
public:
    explicit TSimCaptureSource(const std::string& path);
    ~TSimCaptureSource();
    TSimCaptureSource(const TSimCaptureSource&) = delete;
    TSimCaptureSource& operator=(const TSimCaptureSource&) = delete;

    const TPcmFormat& Format() const { return FFormat; }
    // Up to frames whole frames that are available now, appended to out; returns how many.
    size_t ReadFrames(size_t frames, std::vector<uint8_t>& out);

private:
    TPcmFormat FFormat;
    int FHandle = -1;
    bool FIsFifo = false;
    int64_t FOffset = 0;           // next byte of a file
    int64_t FEnd = 0;              // end of a file's sample data
    std::vector<uint8_t> FPartial; // FIFO bytes short of a whole frame
};

class TSimSoundCard : public ISoundBackend {
public:
    TSimSoundCard() = default;
    ~TSimSoundCard() override;

    std::string Name() const override { return "sim"; }
    int32_t EnumerateCapture(TCaptureEnumCallback callback, void* context) override;
    int32_t CreateCapture(const TDeviceGuid* guid, std::unique_ptr<ISoundCapture>& capture) override;
    int32_t CheckPlayback(const WAVEFORMATEX& format) override;
    int32_t Play(const WAVEFORMATEX& format, const void* data, uint32_t bytes,
                 const std::atomic<bool>& cancel) override;

    // Buffers join the fan-out when started and leave it when stopped or destroyed.
    void Attach(TSimCaptureBuffer* buffer);
    void Detach(TSimCaptureBuffer* buffer);
    int AttachedCount();

    // Played sound goes to the output in parts of PlaybackPartMs, each at its due instant. A part
    // that can only be written more than UnderrunMs after it was due finds the output run dry, as
    // a real card's buffer would: the rest of the sound is heard that much later, and the record
    // of what was played says so (the line simulator lets a sound's parts come as late).
    static constexpr int PlaybackPartMs = 20;
    static constexpr int UnderrunMs = 60;

    // Whether a capture format is one the card offers: 8 or 16 bit PCM, 1 or 2 channels, a
    // probed rate (only those listed in LUMISK_SIM_RATES when it is set).
    static bool AcceptsCapture(const WAVEFORMATEX& format);

private:
    void Run();
    void Deliver(const std::vector<uint8_t>& sourceFrames, const TPcmFormat& sourceFormat);

    std::mutex FLock; // buffers, thread state
    std::condition_variable FWake;
    std::vector<TSimCaptureBuffer*> FBuffers;
    std::thread FThread;
    bool FStopping = false;
    std::mutex FPlaybackLock; // one sound at a time reaches the output
};

// A looping buffer that the card fills while it is started.
class TSimCaptureBuffer : public TLoopBuffer {
public:
    TSimCaptureBuffer(TSimSoundCard& card, const WAVEFORMATEX& format, uint32_t bytes);
    ~TSimCaptureBuffer() override;
    int32_t Start(uint32_t flags) override;
    int32_t Stop() override;

    // Called by the card's thread: converts source frames to this buffer's format; at is the
    // instant the last of them was captured.
    void Feed(const std::vector<uint8_t>& sourceFrames, const TPcmFormat& sourceFormat,
              std::chrono::steady_clock::time_point at);

private:
    TSimSoundCard& FCard;
    TPcmFormat FFormat;
    std::unique_ptr<TPcmConverter> FConverter;
    std::vector<uint8_t> FScratch;
    bool FStarted = false;
};

// The process's simulated card.
TSimSoundCard& SimSoundCard();
