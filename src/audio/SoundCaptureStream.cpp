#include "audio/SoundCaptureStream.h"

#include "audio/PcmConverter.h"
#include "toolkit/ExceptionReporter.h"
#include "toolkit/StringUtils.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace {
constexpr int ReadSleepMilliseconds = 50;
} // namespace

// ---- TNotifyEvent

void TNotifyEvent::Signal() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FSignalled = true;
    }
    FChanged.notify_all();
}

bool TNotifyEvent::Wait(int milliseconds) {
    std::unique_lock<std::mutex> lock(FLock);
    const bool signalled =
        FChanged.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return FSignalled; });
    FSignalled = false;
    return signalled;
}

// ---- TSoundCaptureStreamNotify

TSoundCaptureStreamNotify::TSoundCaptureStreamNotify(TSoundCaptureStream* owner)
    : TThread(), FOwner(owner), FPollInterval(std::min(owner->BufferMilliseconds() / 4, 50)),
      FOwnThread(owner->DataReadyThread() == TDataReadyThread::NotifyThread) {
    // A stale signal from an earlier thread must not end this one at once.
    FOwner->FNotifyEvent.Wait(0);
}

TSoundCaptureStreamNotify::~TSoundCaptureStreamNotify() {
    FOwner->FNotifyEvent.Signal();
    Terminate();
    WaitFor();
}

void TSoundCaptureStreamNotify::Execute() {
    // A poll interval of 0 (buffers under 4 ms) would hand checks over without pause.
    const int wait = std::max(FPollInterval, 1);
    while (!Terminated()) {
        if (FOwner->FNotifyEvent.Wait(wait))
            break;
        if (FOwnThread)
            Check();
        else
            Synchronize([this] { Check(); });
    }
}

void TSoundCaptureStreamNotify::Check() {
    if (Terminated())
        return;
    if (FOwner->GetReadyBytes() <= 0)
        return;
    try {
        FOwner->DoDataReady();
    } catch (const std::exception& e) {
        // Shown once the check has returned (the display may wait for the operator).
        ShowException(e);
        FOwner->FNotifyEvent.Signal();
        Terminate();
        FOwner->StopAfterHandlerError();
    }
}

// ---- TSoundCaptureStream

TSoundCaptureStream::TSoundCaptureStream(const TDeviceGuid* deviceGuid) {
    if (CreateSoundCapture(deviceGuid, FCaptureObject) != DS_OK || !FCaptureObject)
        throw ESoundCaptureStreamError(Format("%s cannot be initialized", "DirectSoundCapture"));
    ProbeCaptureFormats(*FCaptureObject, FFormats);
}

TSoundCaptureStream::~TSoundCaptureStream() {
    StopCapture();
    TThread::RemoveQueuedEvents(this);
}

TDirectXDrivers& TSoundCaptureStream::CaptureDrivers() {
    return SharedCaptureDrivers();
}

void TSoundCaptureStream::SetBufferMilliseconds(int milliseconds) {
    FBufferMilliseconds = std::max(milliseconds, 0);
}

void TSoundCaptureStream::SetOnDataReady(TDataReadyEvent handler, const void* object, const void* function) {
    if ((object || function) && object == FHandlerObject && function == FHandlerFunction &&
        static_cast<bool>(handler) == static_cast<bool>(FOnDataReady))
        return;
    // Stored at once; a running capture keeps its notification thread (or lack of one) until
    // the next start.
    FOnDataReady = std::move(handler);
    FHandlerObject = object;
    FHandlerFunction = function;
}

void TSoundCaptureStream::StartCapture() {
    StopCapture();
    FIsCapturing = true;
    ++FRunNumber;
    try {
        const TSoundCaptureFormat& format = FFormats.Items(FormatIndex);
        SetWaveFormatSize(sizeof(WAVEFORMATEX));
        WAVEFORMATEX& wave = *GetWaveFormat();
        FillPcmFormat(wave, format.SampleRate, format.BitsPerSample, format.Channels);
        const int64_t bytes = std::llround(
            static_cast<double>(static_cast<int64_t>(wave.nAvgBytesPerSec) * FBufferMilliseconds) / 1000.0);
        FBufferBytes = static_cast<uint32_t>(std::max<int64_t>(8000, bytes));
        DSCBUFFERDESC description;
        description.dwBufferBytes = FBufferBytes;
        description.lpwfxFormat = &wave;
        if (FCaptureObject->CreateCaptureBuffer(description, FCaptureBuffer) != DS_OK || !FCaptureBuffer)
            throw ESoundCaptureStreamError(Format("%s cannot be made", "Sound Capture Buffer"));
        FReadCursor = 0;
        FHandedOut = 0;
        FStartTotal = 0;
        FCaptureBuffer->CapturedTotal(FStartTotal);
        // A buffer that does not start would read as endless silence: the same failure.
        if (FCaptureBuffer->Start(DSCBSTART_LOOPING) != DS_OK)
            throw ESoundCaptureStreamError(Format("%s cannot be made", "Sound Capture Buffer"));
        if (FOnDataReady) {
            FNotifyThread = std::make_unique<TSoundCaptureStreamNotify>(this);
            FNotifyThread->Start();
        }
    } catch (...) {
        StopCapture();
        throw;
    }
}

void TSoundCaptureStream::StopCapture() {
    if (!FIsCapturing)
        return;
    FNotifyThread.reset();
    FIsCapturing = false;
    if (FCaptureBuffer) {
        FCaptureBuffer->Stop();
        FCaptureBuffer.reset();
    }
}

void TSoundCaptureStream::StopAfterHandlerError() {
    // Runs inside the notification thread's check: stopping here would wait for that very
    // thread, so the stop follows on the main thread once the check has returned.
    // A capture restarted before then is a new run and is left alone.
    TThread::Queue(
        [this, run = FRunNumber] {
            if (run == FRunNumber)
                StopCapture();
        },
        this);
}

bool TSoundCaptureStream::CapturedSinceStart(uint64_t& bytes) {
    uint64_t total = 0;
    if (!FCaptureBuffer || !FCaptureBuffer->CapturedTotal(total))
        return false;
    bytes = total - FStartTotal;
    return true;
}

void TSoundCaptureStream::SkipLapped(uint64_t captured, uint32_t readPosition) {
    // Everything unread is suspect: start again at the newest complete byte. The read position
    // may be a little past the count taken just before it; both advance together.
    const uint32_t atCount = static_cast<uint32_t>((FStartTotal + captured) % FBufferBytes);
    const uint64_t ahead = (readPosition + FBufferBytes - atCount) % FBufferBytes;
    const uint64_t newest = captured + ahead;
    FLostBytes += newest - FHandedOut;
    FHandedOut = newest;
    FReadCursor = readPosition;
}

bool TSoundCaptureStream::NextReadTime(std::chrono::steady_clock::time_point& when) {
    uint64_t total = 0;
    std::chrono::steady_clock::time_point at;
    const WAVEFORMATEX* format = GetWaveFormat();
    if (!FCaptureBuffer || !format || format->nAvgBytesPerSec == 0 ||
        !FCaptureBuffer->CaptureClock(total, at))
        return false;
    // The clock's byte lies this many bytes past the next one handed out.
    const auto ahead = static_cast<int64_t>(total - FStartTotal) - static_cast<int64_t>(FHandedOut);
    when = at - std::chrono::nanoseconds(ahead * 1000000000 / static_cast<int64_t>(format->nAvgBytesPerSec));
    return true;
}

int32_t TSoundCaptureStream::GetReadyBytes() {
    if (!FCaptureBuffer)
        return 0;
    uint64_t captured = 0;
    const bool counted = CapturedSinceStart(captured);
    uint32_t capture = 0, read = 0;
    if (FCaptureBuffer->GetCurrentPosition(&capture, &read) != DS_OK)
        return 0;
    // Lapped (a whole lap behind already reads as nothing ready, and is lost at the next write):
    // the ring holds newer bytes than the reader expects at its cursor.
    if (counted && captured >= FHandedOut + FBufferBytes) {
        SkipLapped(captured, read);
        return 0;
    }
    if (FReadCursor <= read)
        return static_cast<int32_t>(read - FReadCursor);
    return static_cast<int32_t>(FBufferBytes - FReadCursor + read);
}

int TSoundCaptureStream::ReadTimeoutMilliseconds() const {
    return std::max(2 * FBufferMilliseconds, 100);
}

int32_t TSoundCaptureStream::ReadSamples(void* buffer, int32_t count) {
    if (count <= 0)
        return 0;
    if (!FIsCapturing)
        StartCapture();
    auto* out = static_cast<uint8_t*>(buffer);
    int32_t delivered = 0;
    int idleMilliseconds = 0;
    while (delivered < count) {
        const int32_t n = std::min(count - delivered, GetReadyBytes());
        if (n > 0) {
            void *region1 = nullptr, *region2 = nullptr;
            uint32_t bytes1 = 0, bytes2 = 0;
            if (FCaptureBuffer->Lock(FReadCursor, static_cast<uint32_t>(n), &region1, &bytes1, &region2,
                                     &bytes2, 0) != DS_OK)
                break;
            std::memcpy(out + delivered, region1, bytes1);
            delivered += static_cast<int32_t>(bytes1);
            if (region2 && bytes2 > 0) {
                std::memcpy(out + delivered, region2, bytes2);
                delivered += static_cast<int32_t>(bytes2);
            }
            FCaptureBuffer->Unlock(region1, bytes1, region2, bytes2);
            const uint32_t copied = bytes1 + bytes2;
            FReadCursor = (FReadCursor + copied) % FBufferBytes;
            idleMilliseconds = 0;
            // The device may have come round to these bytes while they were copied: then they
            // are not what was captured there, and are dropped rather than handed out.
            uint64_t captured = 0;
            if (CapturedSinceStart(captured) && captured > FHandedOut + FBufferBytes) {
                delivered -= static_cast<int32_t>(copied);
                uint32_t capture = 0, read = 0;
                if (FCaptureBuffer->GetCurrentPosition(&capture, &read) != DS_OK)
                    break;
                SkipLapped(captured, read);
                continue;
            }
            FHandedOut += copied;
        }
        if (delivered < count) {
            // A device that stops delivering must not hold the main thread for good.
            if (idleMilliseconds >= ReadTimeoutMilliseconds())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(ReadSleepMilliseconds));
            idleMilliseconds += ReadSleepMilliseconds;
        }
    }
    const WAVEFORMATEX* format = GetWaveFormat();
    std::memset(out + delivered, SilenceByte(format ? format->wBitsPerSample : 16),
                static_cast<size_t>(count - delivered));
    return count;
}

void TSoundCaptureStream::DoDataReady() {
    if (FOnDataReady)
        FOnDataReady(this);
}
