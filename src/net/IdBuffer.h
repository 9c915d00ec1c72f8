// Growable byte buffer of received data; consumed from the front.
#pragma once

#include "toolkit/Stream.h"

#include <cstdint>

class TIdBuffer : public TMemoryStream {
public:
    // Drops n bytes from the front; EIdNotEnoughDataInBuffer when fewer are held.
    void RemoveFront(int64_t n);
    // Adds bytes at the end, keeping the position at the end.
    void Append(const void* data, int32_t count);
};
