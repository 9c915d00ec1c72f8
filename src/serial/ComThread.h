// The port's event thread: waits on the tty and hands each batch of events to the port, on the
// main thread or its own, as the port's SyncMethod says.
#pragma once

#include "serial/ComTypes.h"
#include "toolkit/Thread.h"

#include <atomic>
#include <cstdint>

class TCustomComPort;

// The classic driver event bits of each event (EV_RXCHAR 0x0001 ... EV_RX80FULL 0x0400), kept
// so that event masks written elsewhere keep their meaning; bits without an event are dropped.
uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(uint32_t mask);

class TComThread : public TThread {
public:
    // Created suspended; the port starts it once it is stored.
    explicit TComThread(TCustomComPort* port);
    // Stops the thread and waits for its end (serving the main-thread hand-over meanwhile).
    ~TComThread() override;

    void RequestStop();
    // For a close from inside a handler that this thread is waiting for: the thread stops and
    // never touches the port or its device again; it is freed later from the main thread.
    void Detach();
    // Tells the thread that the port has events for it (transmit done, event character read).
    void Wake();
    TComEvents PendingEvents() const { return FPendingEvents; }
    // Whether the thread samples the modem lines and error counters (only while a handler for
    // them is set and the device has them).
    bool SamplesLines() const { return FSampleLines; }
    // True while the thread waits for the main thread to handle a batch.
    bool HandingOver() const { return FHandingOver; }

protected:
    void Execute() override;

private:
    void DispatchEvents();
    TComEvents SampleLines(int fd);

    TCustomComPort* FComPort;
    int FStopEvent = -1;
    int FWakeEvent = -1;
    TComEvents FEvents;
    TSyncMethod FSyncMethod;
    bool FReadsData = false;
    bool FSampleLines = false;
    bool FModemLines = true;
    int FLastModemBits = -1;
    TComEvents FPendingEvents;
    std::atomic<bool> FHandingOver{false};
    std::atomic<bool> FDetached{false};
};
