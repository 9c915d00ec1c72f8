// A capture device as an endless wave stream: reads return the next captured bytes, waiting for
// them, and an optional data-ready event tells the owner on the main thread that bytes wait.
#pragma once

#include "audio/CaptureDrivers.h"
#include "audio/CaptureFormats.h"
#include "audio/SoundService.h"
#include "audio/Wave.h"
#include "toolkit/Thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class ESoundCaptureStreamError : public Exception {
public:
    using Exception::Exception;
};

class TSoundCaptureStream;

// An auto-reset event: Wait returns true when signalled, false on time-out.
class TNotifyEvent {
public:
    void Signal();
    bool Wait(int milliseconds);

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FSignalled = false;
};

// Where the data-ready handler runs: on the main thread (the notification thread hands each
// check over and waits), or on the notification thread itself, so that capture is read on time
// even while the main thread is busy; such a handler hands its results over itself.
enum class TDataReadyThread { MainThread, NotifyThread };

// Polls for captured data and runs the readiness check (on the main thread, or on itself).
class TSoundCaptureStreamNotify : public TThread {
public:
    explicit TSoundCaptureStreamNotify(TSoundCaptureStream* owner);
    // Ends the thread and waits for it (running its pending main-thread check meanwhile).
    ~TSoundCaptureStreamNotify() override;
    int PollInterval() const { return FPollInterval; }

protected:
    void Execute() override;

private:
    void Check();
    TSoundCaptureStream* FOwner;
    int FPollInterval;
    bool FOwnThread;
};

class TSoundCaptureStream : public TCustomWaveStream2 {
public:
    using TDataReadyEvent = std::function<void(TSoundCaptureStream* sender)>;

    // A null id selects the default capture device.
    explicit TSoundCaptureStream(const TDeviceGuid* deviceGuid = nullptr);
    ~TSoundCaptureStream() override;

    // The shared capture device list, built on first request.
    static TDirectXDrivers& CaptureDrivers();

    TSoundCaptureFormats& Formats() { return FFormats; }
    int FormatIndex = 0;
    int BufferMilliseconds() const { return FBufferMilliseconds; }
    void SetBufferMilliseconds(int milliseconds);
    const TDataReadyEvent& OnDataReady() const { return FOnDataReady; }
    // Identity of a handler for the "same handler" test: the object it is bound to, and a tag
    // (for example the member function) telling its function apart.
    void SetOnDataReady(TDataReadyEvent handler, const void* object = nullptr,
                        const void* function = nullptr);

    // Takes effect at the next StartCapture. With NotifyThread, every read of the stream happens
    // on that thread while it captures; the owner only starts and stops it.
    void SetDataReadyThread(TDataReadyThread where) { FDataReadyThread = where; }
    TDataReadyThread DataReadyThread() const { return FDataReadyThread; }

    void StartCapture();
    void StopCapture();
    bool IsCapturing() const { return FIsCapturing; }

    int32_t GetReadyBytes() override;
    int32_t ReadSamples(void* buffer, int32_t count) override;
    virtual void DoDataReady();

    uint32_t BufferBytes() const { return FBufferBytes; }
    uint32_t ReadCursor() const { return FReadCursor; }
    TSoundCaptureStreamNotify* NotifyThread() const { return FNotifyThread.get(); }

    // Bytes the device overwrote before they were read (the reader was lapped), since the stream
    // was made; such bytes are skipped, never handed out. Safe to read from any thread.
    uint64_t LostBytes() const { return FLostBytes; }
    // The bytes lost since the last call; for the one thread that reads the stream.
    uint64_t TakeNewlyLost() {
        const uint64_t total = FLostBytes;
        const uint64_t fresh = total - FLostTaken;
        FLostTaken = total;
        return fresh;
    }

    // The monotonic instant at which the next byte a read hands out was captured (it may lie
    // ahead, when that byte is yet to come); false when the device keeps no clock. For the one
    // thread that reads the stream: the decoder pairs each block with what was played then.
    bool NextReadTime(std::chrono::steady_clock::time_point& when);

    // How long a read waits for a device that delivers nothing before it gives silence.
    int ReadTimeoutMilliseconds() const;

private:
    friend class TSoundCaptureStreamNotify;
    void StopAfterHandlerError();
    // Device bytes written since the start, when the buffer counts them.
    bool CapturedSinceStart(uint64_t& bytes);
    // Skips what the device has overwritten (or is about to): counts it lost.
    void SkipLapped(uint64_t captured, uint32_t readPosition);

    std::unique_ptr<ISoundCaptureBuffer> FCaptureBuffer;
    int FBufferMilliseconds = 1000;
    uint32_t FReadCursor = 0;
    uint32_t FBufferBytes = 0;
    std::unique_ptr<ISoundCapture> FCaptureObject;
    bool FIsCapturing = false;
    unsigned FRunNumber = 0; // counts starts
    TDataReadyThread FDataReadyThread = TDataReadyThread::MainThread;
    uint64_t FStartTotal = 0; // the device's byte count when this run began
    uint64_t FHandedOut = 0;  // bytes of this run handed out or skipped
    std::atomic<uint64_t> FLostBytes{0};
    uint64_t FLostTaken = 0;
    TNotifyEvent FNotifyEvent;
    std::unique_ptr<TSoundCaptureStreamNotify> FNotifyThread;
    TDataReadyEvent FOnDataReady;
    const void* FHandlerObject = nullptr;
    const void* FHandlerFunction = nullptr;
    TSoundCaptureFormats FFormats;
};
