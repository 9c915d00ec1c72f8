#include "net/IdBuffer.h"

#include "net/IdException.h"

#include <cstring>

void TIdBuffer::RemoveFront(int64_t n) {
    const int64_t size = Size();
    if (n > size || n < 0)
        throw EIdNotEnoughDataInBuffer();
    if (n == size) {
        Clear();
        return;
    }
    std::memmove(Memory(), Memory() + n, static_cast<size_t>(size - n));
    SetSize(size - n);
    Seek(0, soEnd);
}

void TIdBuffer::Append(const void* data, int32_t count) {
    Seek(0, soEnd);
    Write(data, count);
}
