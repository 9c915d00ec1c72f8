// A capture device as an endless wave stream: reads return the next captured bytes, waiting for
// them, and an optional data-ready event tells the owner on the main thread that bytes wait.
#pragma once

#include "audio/CaptureDrivers.h"
#include "audio/CaptureFormats.h"
#include "audio/SoundService.h"
#include "audio/Wave.h"
#include "toolkit/Thread.h"

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

// Polls for captured data and runs the readiness check on the main thread.
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

    void StartCapture();
    void StopCapture();
    bool IsCapturing() const { return FIsCapturing; }

    int32_t GetReadyBytes() override;
    int32_t ReadSamples(void* buffer, int32_t count) override;
    virtual void DoDataReady();

    uint32_t BufferBytes() const { return FBufferBytes; }
    uint32_t ReadCursor() const { return FReadCursor; }
    TSoundCaptureStreamNotify* NotifyThread() const { return FNotifyThread.get(); }

    // How long a read waits for a device that delivers nothing before it gives silence.
    int ReadTimeoutMilliseconds() const;

private:
    friend class TSoundCaptureStreamNotify;
    void StopAfterHandlerError();

    std::unique_ptr<ISoundCaptureBuffer> FCaptureBuffer;
    int FBufferMilliseconds = 1000;
    uint32_t FReadCursor = 0;
    uint32_t FBufferBytes = 0;
    std::unique_ptr<ISoundCapture> FCaptureObject;
    bool FIsCapturing = false;
    unsigned FRunNumber = 0; // counts starts
    TNotifyEvent FNotifyEvent;
    std::unique_ptr<TSoundCaptureStreamNotify> FNotifyThread;
    TDataReadyEvent FOnDataReady;
    const void* FHandlerObject = nullptr;
    const void* FHandlerFunction = nullptr;
    TSoundCaptureFormats FFormats;
};
