#include "serial/ComRxQueue.h"

#include <algorithm>
#include <cerrno>
#include <sys/eventfd.h>
#include <unistd.h>

TComRxQueue::TComRxQueue() {
    FDataEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

TComRxQueue::~TComRxQueue() {
    if (FDataEvent >= 0)
        close(FDataEvent);
}

void TComRxQueue::Configure(int capacity, bool discardNull, uint8_t eventChar) {
    std::lock_guard<std::mutex> guard(FLock);
    FCapacity = std::max(capacity, 16);
    FDiscardNull = discardNull;
    FEventChar = eventChar;
}

TComRxQueue::TFillResult TComRxQueue::Fill(int fd) {
    TFillResult result;
    std::lock_guard<std::mutex> guard(FLock);
    const size_t mark = static_cast<size_t>(FCapacity) * 4 / 5;
    const bool below80 = FBytes.size() < mark;
    uint8_t chunk[4096];
    while (FBytes.size() < static_cast<size_t>(FCapacity)) {
        const size_t room = std::min(sizeof chunk, static_cast<size_t>(FCapacity) - FBytes.size());
        const ssize_t n = read(fd, chunk, room);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                result.Error = errno;
            break;
        }
        if (n == 0) // a tty in raw mode without VMIN reads 0 when nothing is there
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] == 0 && FDiscardNull)
                continue;
            if (chunk[i] == FEventChar)
                result.EventChar = true;
            FBytes.push_back(chunk[i]);
            ++result.Added;
        }
    }
    result.Reached80 = below80 && FBytes.size() >= mark;
    if (result.Added > 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t w = write(FDataEvent, &one, sizeof one);
    }
    return result;
}

int TComRxQueue::Take(uint8_t* buffer, int count, bool& wasFull) {
    std::lock_guard<std::mutex> guard(FLock);
    wasFull = FBytes.size() >= static_cast<size_t>(FCapacity);
    const int n = static_cast<int>(std::min(FBytes.size(), static_cast<size_t>(std::max(count, 0))));
    std::copy_n(FBytes.begin(), n, buffer);
    FBytes.erase(FBytes.begin(), FBytes.begin() + n);
    return n;
}

int TComRxQueue::Size() const {
    std::lock_guard<std::mutex> guard(FLock);
    return static_cast<int>(FBytes.size());
}

bool TComRxQueue::Full() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FBytes.size() >= static_cast<size_t>(FCapacity);
}

void TComRxQueue::Clear() {
    std::lock_guard<std::mutex> guard(FLock);
    FBytes.clear();
}
