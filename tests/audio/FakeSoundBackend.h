// A capture service whose buffer positions, lock results and accepted formats a test sets.
// Used only where the real devices cannot show a case (wrap arithmetic, failed locks, refusals).
#pragma once

#include "audio/LoopBuffer.h"
#include "audio/SoundService.h"
#include "toolkit/Exception.h"

#include <deque>
#include <functional>
#include <stdexcept>

namespace audiotest {

struct FakeDevice {
    // Which formats CreateCaptureBuffer accepts, and the result it gives otherwise.
    std::function<int32_t(const WAVEFORMATEX&)> Accept = [](const WAVEFORMATEX&) { return DS_OK; };
    // Read positions handed out one per query; the last one repeats.
    std::deque<uint32_t> Positions{0};
    int LocksBeforeFailure = -1; // -1: locks never fail
    int32_t CreateResult = DS_OK;
    int32_t StartResult = DS_OK; // what a buffer's Start returns
    bool ThrowOnUse = false;     // as a missing library does
    WAVEFORMATEX LastFormat{};
    uint32_t LastBufferBytes = 0;
    int BuffersCreated = 0;
    int Locks = 0;
    bool Started = false;
    // A plain ring the test fills itself (Ring->Append): real positions and laps, no pattern.
    bool PlainRing = false;
    TLoopBuffer* Ring = nullptr;
};

class FakeBuffer : public TLoopBuffer {
public:
    FakeBuffer(FakeDevice& device, uint32_t bytes) : TLoopBuffer(bytes), FDevice(device) {
        if (FDevice.PlainRing) {
            FDevice.Ring = this;
            return;
        }
        // Ring content: byte i holds i * 13 + 1 (mod 256), so joins and offsets show.
        std::vector<uint8_t> pattern(bytes);
        for (uint32_t i = 0; i < bytes; ++i)
            pattern[i] = static_cast<uint8_t>(i * 13 + 1);
        Append(pattern.data(), pattern.size());
    }
    int32_t Start(uint32_t) override {
        FDevice.Started = FDevice.StartResult == DS_OK;
        return FDevice.StartResult;
    }
    int32_t Stop() override {
        FDevice.Started = false;
        return DS_OK;
    }
    int32_t GetCurrentPosition(uint32_t* capture, uint32_t* read) override {
        if (FDevice.PlainRing)
            return TLoopBuffer::GetCurrentPosition(capture, read);
        const uint32_t position = FDevice.Positions.front();
        if (FDevice.Positions.size() > 1)
            FDevice.Positions.pop_front();
        *capture = *read = position;
        return DS_OK;
    }
    int32_t Lock(uint32_t offset, uint32_t bytes, void** r1, uint32_t* n1, void** r2, uint32_t* n2,
                 uint32_t flags) override {
        if (FDevice.LocksBeforeFailure >= 0 && FDevice.Locks >= FDevice.LocksBeforeFailure)
            return DSERR_GENERIC;
        ++FDevice.Locks;
        return TLoopBuffer::Lock(offset, bytes, r1, n1, r2, n2, flags);
    }

    ~FakeBuffer() override {
        if (FDevice.Ring == this)
            FDevice.Ring = nullptr;
    }

private:
    FakeDevice& FDevice;
};

class FakeCapture : public ISoundCapture {
public:
    explicit FakeCapture(FakeDevice& device) : FDevice(device) {}
    int32_t CreateCaptureBuffer(const DSCBUFFERDESC& d,
                                std::unique_ptr<ISoundCaptureBuffer>& buffer) override {
        const int32_t result = FDevice.Accept(*d.lpwfxFormat);
        if (result != DS_OK)
            return result;
        FDevice.LastFormat = *d.lpwfxFormat;
        FDevice.LastBufferBytes = d.dwBufferBytes;
        ++FDevice.BuffersCreated;
        buffer = std::make_unique<FakeBuffer>(FDevice, d.dwBufferBytes);
        return DS_OK;
    }

private:
    FakeDevice& FDevice;
};

class FakeBackend : public ISoundBackend {
public:
    FakeDevice Device;
    std::string Name() const override { return "fake"; }
    int32_t EnumerateCapture(TCaptureEnumCallback callback, void* context) override {
        if (Device.ThrowOnUse)
            throw Exception("fake.so not loaded");
        const TDeviceGuid second = "fake:1";
        if (callback(nullptr, "Primary Sound Capture Driver", "", context))
            callback(&second, "Second card", "fake", context);
        return DS_OK;
    }
    int32_t CreateCapture(const TDeviceGuid*, std::unique_ptr<ISoundCapture>& capture) override {
        if (Device.ThrowOnUse)
            throw Exception("fake.so not loaded");
        if (Device.CreateResult == DS_OK)
            capture = std::make_unique<FakeCapture>(Device);
        return Device.CreateResult;
    }
    int32_t CheckPlayback(const WAVEFORMATEX&) override { return MCIERR_NONE; }
    int32_t Play(const WAVEFORMATEX&, const void*, uint32_t, const std::atomic<bool>&) override {
        return MCIERR_NONE;
    }
};

// Installs a backend for the life of a test.
class ScopedBackend {
public:
    explicit ScopedBackend(ISoundBackend* backend) { SetSoundBackend(backend); }
    ~ScopedBackend() { SetSoundBackend(nullptr); }
};

} // namespace audiotest
