#include "serial/ComThread.h"

#include "serial/ComPort.h"
#include "toolkit/ExceptionReporter.h"

#include <cerrno>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Modem lines and error counters have no poll event on Linux: they are sampled this often.
constexpr int LineSampleMs = 100;
// How often a finished write looks whether the driver has sent its last byte.
constexpr int TxDrainSampleMs = 10;

void Signal(int fd) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

void Drain(int fd) {
    uint64_t value;
    [[maybe_unused]] ssize_t n = read(fd, &value, sizeof value);
}

// Driver bit of each event, by position.
constexpr uint32_t EventBits[10] = {0x0001, 0x0004, 0x0002, 0x0100, 0x0040,
                                    0x0008, 0x0010, 0x0080, 0x0020, 0x0400};

} // namespace

uint32_t EventsToMask(TComEvents events) {
    uint32_t mask = 0;
    for (int i = 0; i < 10; ++i)
        if (events.Contains(static_cast<TComEvent>(i)))
            mask |= EventBits[i];
    return mask;
}

TComEvents MaskToEvents(uint32_t mask) {
    TComEvents events;
    for (int i = 0; i < 10; ++i)
        if (mask & EventBits[i])
            events.Include(static_cast<TComEvent>(i));
    return events;
}

TComThread::TComThread(TCustomComPort* port) : TThread(), FComPort(port) {
    FStopEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    FWakeEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    SetPriority(port->ThreadPriority());
    FEvents = port->Events();
    FSyncMethod = port->SyncMethod();
    FReadsData = FEvents.Contains(evRxChar) || FEvents.Contains(evRxFlag) || FEvents.Contains(evRx80Full);
    // Which handlers are set is read once here: the handlers are set up before the port opens.
    const bool lineHandlers =
        (FEvents.Contains(evCTS) && port->OnCTSChange) || (FEvents.Contains(evDSR) && port->OnDSRChange) ||
        (FEvents.Contains(evRLSD) && port->OnRLSDChange) || (FEvents.Contains(evRing) && port->OnRing) ||
        (FEvents.Contains(evBreak) && port->OnBreak) || (FEvents.Contains(evError) && port->OnError);
    FSampleLines = lineHandlers;
    if (FSampleLines) {
        // Takes the first readings and finds out whether the device has lines or counters.
        SampleLines(port->DeviceHandle());
        FSampleLines = FModemLines || !port->FNoCounters;
    }
}

TComThread::~TComThread() {
    RequestStop();
    Terminate();
    WaitFor();
    if (FStopEvent >= 0)
        close(FStopEvent);
    if (FWakeEvent >= 0)
        close(FWakeEvent);
}

void TComThread::RequestStop() {
    Signal(FStopEvent);
    sched_yield();
}

void TComThread::Wake() {
    Signal(FWakeEvent);
}

void TComThread::Detach() {
    FDetached = true;
    RequestStop();
    TThread::Queue([this] { delete this; });
}

TComEvents TComThread::SampleLines(int fd) {
    TComEvents events;
    if (FModemLines) {
        int bits = 0;
        if (ioctl(fd, TIOCMGET, &bits) != 0) {
            FModemLines = false; // a pseudo-terminal has none
        } else if (FLastModemBits >= 0) {
            const int changed = bits ^ FLastModemBits;
            if (changed & TIOCM_CTS)
                events.Include(evCTS);
            if (changed & TIOCM_DSR)
                events.Include(evDSR);
            if (changed & TIOCM_CAR)
                events.Include(evRLSD);
            if ((changed & TIOCM_RNG) && (bits & TIOCM_RNG))
                events.Include(evRing);
            FLastModemBits = bits;
        } else {
            FLastModemBits = bits;
        }
    }
    const TComErrors errors = FComPort->SampleLineErrors();
    if (errors.Contains(erBreak))
        events.Include(evBreak);
    if (!errors.Empty())
        events.Include(evError);
    return events;
}

void TComThread::Execute() {
    const int fd = FComPort->DeviceHandle();
    TComRxQueue& queue = FComPort->RxQueue();
    bool lost = false;
    bool txPending = false;
    while (!Terminated()) {
        const bool readDevice = FReadsData && !lost && !queue.Full();
        // Without data events the tty is still watched for its loss.
        short deviceEvents = readDevice ? POLLIN : 0;
        pollfd fds[3] = {{FStopEvent, POLLIN, 0}, {FWakeEvent, POLLIN, 0}, {lost ? -1 : fd, deviceEvents, 0}};
        int timeout = -1;
        if (FSampleLines && !lost)
            timeout = LineSampleMs;
        if (txPending && !lost)
            timeout = TxDrainSampleMs;
        const int ready = poll(fds, 3, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break; // nothing sensible is left to wait on
        }
        if (fds[0].revents)
            break;
        TComEvents events;
        if (fds[1].revents) {
            Drain(FWakeEvent);
            const TComEvents soft = TComEvents::FromBits(FComPort->TakeSoftEvents());
            if (soft.Contains(evTxEmpty))
                txPending = true;
            if (soft.Contains(evRxFlag))
                events.Include(evRxFlag);
            if (soft.Contains(evRxChar))
                events.Include(evRxChar);
        }
        bool gone = false;
        if (fds[2].revents & POLLIN) {
            const TComRxQueue::TFillResult fill = queue.Fill(fd);
            if (fill.Added > 0)
                events.Include(evRxChar);
            if (fill.EventChar)
                events.Include(evRxFlag);
            if (fill.Reached80)
                events.Include(evRx80Full);
            if (fill.Error == EIO || fill.Error == ENXIO || fill.Error == ENODEV)
                gone = true;
            else if (fill.Added == 0 && (fds[2].revents & POLLHUP))
                gone = true;
        } else if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            gone = true;
        }
        if (gone && !lost) {
            // Reported once through the line-error path; afterwards only the stop is awaited.
            lost = true;
            txPending = false;
            FComPort->MarkDeviceLost();
            events.Include(evError);
        }
        if (txPending) {
            int queued = 0;
            if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued == 0) {
                txPending = false;
                events.Include(evTxEmpty);
            }
        }
        if (FSampleLines && !lost)
            events = events | SampleLines(fd);
        events = events & FEvents;
        if (!events.Empty()) {
            FPendingEvents = events;
            DispatchEvents();
            if (FDetached)
                return; // the port was closed by the handler: its device is gone
        }
    }
    // Empty the receive queues, as the driver's purge does at the end of the wait loop. What was
    // written is left to go: the last thing written before a close is often the hang-up string,
    // and flushing a pseudo-terminal's output drops bytes its far end has not taken in yet.
    tcflush(fd, TCIFLUSH);
    queue.Clear();
}

void TComThread::DispatchEvents() {
    const TComEvents events = FPendingEvents;
    TCustomComPort* port = FComPort;
    switch (FSyncMethod) {
    case smThreadSync:
        FHandingOver = true;
        TThread::Synchronize([port, events] {
            ++port->FHandOverDepth;
            try {
                port->FireEvents(events);
            } catch (...) {
                --port->FHandOverDepth;
                throw;
            }
            --port->FHandOverDepth;
        });
        FHandingOver = false;
        break;
    case smWindowSync: {
        // One post per event, in the fixed order; the thread goes on at once.
        static const TComEvent order[] = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                                          evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};
        for (TComEvent event : order)
            if (events.Contains(event))
                TThread::Queue(
                    [port, event] {
                        if (port->Connected())
                            RunHandler([port, event] { port->HandleEvent(event); });
                    },
                    port);
        break;
    }
    case smNone:
        port->FireEvents(events);
        break;
    }
}
