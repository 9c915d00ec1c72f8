// The port's receive queue. The event thread moves received bytes from the tty into it, which
// is how a batch of new bytes, the event character and an 80 % full queue are noticed; the
// transfers take bytes from it and read the tty through it, so bytes never change their order.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

class TComRxQueue {
public:
    TComRxQueue();
    ~TComRxQueue();
    TComRxQueue(const TComRxQueue&) = delete;
    TComRxQueue& operator=(const TComRxQueue&) = delete;

    struct TFillResult {
        int Added = 0;          // bytes queued by this call (after NUL bytes were dropped)
        bool EventChar = false; // the event character was among them
        bool Reached80 = false; // the queue crossed 80 % of its capacity
        int Error = 0;          // errno of a failed read (EIO once the device is gone)
    };

    void Configure(int capacity, bool discardNull, uint8_t eventChar);
    // Reads what the tty holds, as far as the queue has room.
    TFillResult Fill(int fd);
    // Takes up to count bytes; wasFull tells whether the queue had no room before.
    int Take(uint8_t* buffer, int count, bool& wasFull);
    int Size() const;
    bool Full() const;
    void Clear();
    // An eventfd that becomes readable whenever Fill queued bytes; readers waiting for data
    // poll it beside the tty because the event thread may take the bytes first.
    int DataEvent() const { return FDataEvent; }

private:
    mutable std::mutex FLock;
    std::deque<uint8_t> FBytes;
    int FCapacity = 4096;
    bool FDiscardNull = false;
    uint8_t FEventChar = 0;
    int FDataEvent = -1;
};
