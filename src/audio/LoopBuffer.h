// The looping capture buffer both backends fill from their device thread: a ring of bytes and
// the position up to which data is complete. Only the position is guarded; like a sound card's
// DMA buffer, bytes that a reader is slower than a whole lap for are overwritten.
#pragma once

#include "audio/SoundService.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

class TLoopBuffer : public ISoundCaptureBuffer {
public:
    explicit TLoopBuffer(uint32_t bytes);

    int32_t GetCurrentPosition(uint32_t* capturePosition, uint32_t* readPosition) override;
    int32_t Lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1, void** region2,
                 uint32_t* bytes2, uint32_t flags) override;
    int32_t Unlock(void* region1, uint32_t bytes1, void* region2, uint32_t bytes2) override;
    bool CapturedTotal(uint64_t& total) override;
    bool CaptureClock(uint64_t& total, std::chrono::steady_clock::time_point& at) override;

    // Device side: appends bytes at the write position, wrapping; at is the instant the last of
    // them was captured (now, when the device cannot tell better).
    void Append(const uint8_t* data, size_t count);
    void Append(const uint8_t* data, size_t count, std::chrono::steady_clock::time_point at);
    uint32_t Size() const { return static_cast<uint32_t>(FData.size()); }

private:
    std::vector<uint8_t> FData;
    std::mutex FLock;
    uint32_t FWritePosition = 0;
    uint64_t FWritten = 0; // every byte appended, laps included
    std::chrono::steady_clock::time_point FWrittenAt{};
    bool FStamped = false;
};
