// ALSA capture shared between capture buffers. A hw: device can be opened for capture once;
// the recorder's and the decoder's streams both want it. So each device name is opened once,
// by the first buffer that starts, and one device thread reads it and gives every started
// buffer the same audio in the buffer's own format (as a sound card's driver gives every
// client), until the last buffer stops. We do this ourselves rather than through ALSA's dsnoop,
// which needs a configuration per card and fixes one format for all clients.
#pragma once

#include "audio/AlsaPcm.h"
#include "audio/LoopBuffer.h"
#include "audio/PcmConverter.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TAlsaCaptureBuffer;

class TAlsaCaptureDevice {
public:
    explicit TAlsaCaptureDevice(std::string name) : FName(std::move(name)) {}
    ~TAlsaCaptureDevice();

    const std::string& Name() const { return FName; }
    // Whether a buffer of this format can be had: while the device is closed, whether it takes
    // the format itself; while it runs for other buffers, whether the running audio converts
    // to it.
    bool Accepts(const WAVEFORMATEX& format);
    // Joins the fan-out, opening and starting the device for the first buffer. DS_OK, or a
    // failure code when the device cannot be opened or started.
    int32_t Attach(TAlsaCaptureBuffer* buffer);
    void Detach(TAlsaCaptureBuffer* buffer);
    bool IsOpen();

private:
    void Run();

    std::string FName;
    std::mutex FControl; // opening, closing, probing
    std::mutex FLock;    // the buffers the device thread feeds
    std::vector<TAlsaCaptureBuffer*> FBuffers;
    snd_pcm_t* FPcm = nullptr;
    WAVEFORMATEX FFormat{};
    snd_pcm_uframes_t FPeriod = 0;
    std::thread FThread;
    std::atomic<bool> FStop{false};
};

// The process's shared device for an ALSA PCM name.
TAlsaCaptureDevice& AlsaCaptureDevice(const std::string& name);

// A looping capture buffer fed by its device while it is started.
class TAlsaCaptureBuffer : public TLoopBuffer {
public:
    TAlsaCaptureBuffer(TAlsaCaptureDevice& device, const WAVEFORMATEX& format, uint32_t bytes);
    ~TAlsaCaptureBuffer() override;
    int32_t Start(uint32_t flags) override;
    int32_t Stop() override;
    const WAVEFORMATEX& Format() const { return FWave; }

    // Called by the device thread: converts the device's frames to this buffer's format; at is
    // the instant the last of them was captured.
    void Feed(const uint8_t* frames, size_t count, const TPcmFormat& deviceFormat,
              std::chrono::steady_clock::time_point at);

private:
    TAlsaCaptureDevice& FDevice;
    WAVEFORMATEX FWave;
    TPcmFormat FFormat;
    std::unique_ptr<TPcmConverter> FConverter;
    std::vector<uint8_t> FScratch;
    bool FStarted = false;
};
