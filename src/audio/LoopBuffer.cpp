#include "audio/LoopBuffer.h"

#include <algorithm>
#include <cstring>

TLoopBuffer::TLoopBuffer(uint32_t bytes) : FData(bytes) {}

int32_t TLoopBuffer::GetCurrentPosition(uint32_t* capturePosition, uint32_t* readPosition) {
    std::lock_guard<std::mutex> guard(FLock);
    if (capturePosition)
        *capturePosition = FWritePosition;
    if (readPosition)
        *readPosition = FWritePosition;
    return DS_OK;
}

int32_t TLoopBuffer::Lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1, void** region2,
                          uint32_t* bytes2, uint32_t) {
    const uint32_t size = Size();
    if (!region1 || !bytes1 || offset >= size || bytes > size)
        return DSERR_INVALIDPARAM;
    const uint32_t first = std::min(bytes, size - offset);
    *region1 = FData.data() + offset;
    *bytes1 = first;
    if (region2 && bytes2) {
        *region2 = first < bytes ? FData.data() : nullptr;
        *bytes2 = bytes - first;
    } else if (first < bytes) {
        return DSERR_INVALIDPARAM;
    }
    return DS_OK;
}

int32_t TLoopBuffer::Unlock(void*, uint32_t, void*, uint32_t) {
    return DS_OK;
}

bool TLoopBuffer::CapturedTotal(uint64_t& total) {
    std::lock_guard<std::mutex> guard(FLock);
    total = FWritten;
    return true;
}

bool TLoopBuffer::CaptureClock(uint64_t& total, std::chrono::steady_clock::time_point& at) {
    std::lock_guard<std::mutex> guard(FLock);
    total = FWritten;
    at = FWrittenAt;
    return FStamped;
}

void TLoopBuffer::Append(const uint8_t* data, size_t count) {
    Append(data, count, std::chrono::steady_clock::now());
}

void TLoopBuffer::Append(const uint8_t* data, size_t count, std::chrono::steady_clock::time_point at) {
    const size_t size = FData.size();
    if (size == 0)
        return;
    std::lock_guard<std::mutex> guard(FLock);
    FWritten += count;
    FWrittenAt = at;
    FStamped = true;
    // More than a lap at once: only the last lap survives anyway.
    if (count > size) {
        FWritePosition = static_cast<uint32_t>((FWritePosition + (count - size)) % size);
        data += count - size;
        count = size;
    }
    const size_t first = std::min(count, size - FWritePosition);
    std::memcpy(FData.data() + FWritePosition, data, first);
    std::memcpy(FData.data(), data + first, count - first);
    FWritePosition = static_cast<uint32_t>((FWritePosition + count) % size);
}
