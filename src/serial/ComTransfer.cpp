// The port's transfers: requests started by BeginWrite/BeginRead and finished by WaitForRequest
// (timed by the port's timeouts, ended early by an abort), and the synchronous reads and writes
// built from them.
#include "serial/ComPort.h"
#include "serial/ComThread.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t MaxDword = 0xFFFFFFFFu;

} // namespace

// --- Requests

TPortRequest* TCustomComPort::NewPortRequest() {
    auto* request = new TPortRequest;
    request->Event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    request->Operation = opWrite;
    return request;
}

void TCustomComPort::FreePortRequest(TPortRequest*& request) {
    if (!request)
        return;
    {
        std::lock_guard<std::mutex> guard(FRequestLock);
        std::erase(FActiveRequests, request);
    }
    if (request->Event >= 0)
        close(request->Event);
    delete request;
    request = nullptr;
}

void TCustomComPort::AbortAllRequests() {
    int failure = 0;
    {
        std::lock_guard<std::mutex> guard(FRequestLock);
        for (TPortRequest* request : FActiveRequests) {
            const uint64_t one = 1;
            if (write(request->Event, &one, sizeof one) != sizeof one)
                failure = errno;
        }
    }
    // Reported outside the lock: an OnException handler may start a transfer of its own.
    if (failure)
        RaisePortError(CE_PurgeFailed, failure);
}

void TCustomComPort::ClearBuffer(bool input, bool output) {
    if (input)
        FRxQueue.Clear();
    if (!input && !output)
        return;
    const int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (tcflush(FHandle, which) != 0)
        RaisePortError(CE_PurgeFailed, errno);
}

int TCustomComPort::BeginWrite(const void* buffer, int count, TPortRequest* request) {
    if (!request) {
        RaisePortError(CE_InvalidAsync, 0);
        return 0;
    }
    if (FHandle < 0) {
        RaisePortError(CE_PortNotOpen, -24);
        return 0;
    }
    TPortRequest& r = *request;
    r.Operation = opWrite;
    r.Started = true;
    r.Complete = false;
    r.Error = 0;
    r.WriteFrom = static_cast<const uint8_t*>(buffer);
    r.ReadInto = nullptr;
    r.Count = count < 0 ? 0 : count;
    r.Done = 0;
    const uint64_t limit = uint64_t{FAppliedTimeouts.WriteTotalMultiplier} * uint64_t(r.Count) +
                           FAppliedTimeouts.WriteTotalConstant;
    r.HasDeadline = FAppliedTimeouts.WriteTotalMultiplier != 0 || FAppliedTimeouts.WriteTotalConstant != 0;
    r.Deadline = Clock::now() + std::chrono::milliseconds(std::min<uint64_t>(limit, uint64_t{1} << 40));
    {
        std::lock_guard<std::mutex> guard(FRequestLock);
        FActiveRequests.push_back(request);
    }
    StepWrite(r);
    if (r.Complete && r.Error) {
        EndRequest(r);
        RaisePortError(CE_WriteFailed, r.Error);
        return 0;
    }
    return r.Complete ? r.Done : 0;
}

int TCustomComPort::BeginWriteText(const std::string& text, TPortRequest* request) {
    if (text.empty())
        return 0;
    return BeginWrite(text.data(), static_cast<int>(text.size()), request);
}

int TCustomComPort::BeginRead(void* buffer, int count, TPortRequest* request) {
    if (!request) {
        RaisePortError(CE_InvalidAsync, 0);
        return 0;
    }
    TPortRequest& r = *request;
    r.Operation = opRead;
    if (FHandle < 0) {
        RaisePortError(CE_PortNotOpen, -24);
        return 0;
    }
    r.Started = true;
    r.Complete = false;
    r.Error = 0;
    r.ReadInto = static_cast<uint8_t*>(buffer);
    r.WriteFrom = nullptr;
    r.Count = count < 0 ? 0 : count;
    r.Done = 0;
    const TComTimeoutRecord& t = FAppliedTimeouts;
    // The classic timeout rules: interval "maximum" with no totals returns what is queued; with
    // totals it returns on the first byte or at the total; otherwise wait for count bytes, the
    // total time or a gap longer than the interval.
    r.ReturnAtOnce = t.ReadInterval == MaxDword && t.ReadTotalMultiplier == 0 && t.ReadTotalConstant == 0;
    r.EndOnFirstByte = t.ReadInterval == MaxDword && !r.ReturnAtOnce;
    r.Interval = (t.ReadInterval == MaxDword) ? 0 : t.ReadInterval;
    uint64_t limit;
    if (t.ReadTotalMultiplier == MaxDword) {
        r.EndOnFirstByte = true;
        limit = t.ReadTotalConstant;
    } else {
        limit = uint64_t{t.ReadTotalMultiplier} * uint64_t(r.Count) + t.ReadTotalConstant;
    }
    r.HasDeadline = t.ReadTotalMultiplier != 0 || t.ReadTotalConstant != 0;
    r.Deadline = Clock::now() + std::chrono::milliseconds(std::min<uint64_t>(limit, uint64_t{1} << 40));
    {
        std::lock_guard<std::mutex> guard(FRequestLock);
        FActiveRequests.push_back(request);
    }
    StepRead(r);
    if (r.Complete && r.Error) {
        EndRequest(r);
        RaisePortError(CE_ReadFailed, r.Error);
        return 0;
    }
    return r.Complete ? r.Done : 0;
}

int TCustomComPort::BeginReadText(std::string& text, int count, TPortRequest* request) {
    text.assign(count > 0 ? static_cast<size_t>(count) : 0, '\0');
    if (count <= 0)
        return 0;
    return BeginRead(text.data(), count, request);
}

void TCustomComPort::StepWrite(TPortRequest& r) {
    while (r.Done < r.Count) {
        const ssize_t n = write(FHandle, r.WriteFrom + r.Done, static_cast<size_t>(r.Count - r.Done));
        if (n > 0) {
            r.Done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            r.Error = errno;
            r.Complete = true;
        }
        return;
    }
    r.Complete = true;
}

void TCustomComPort::StepRead(TPortRequest& r) {
    bool wasFull = false;
    int n = FRxQueue.Take(r.ReadInto + r.Done, r.Count - r.Done, wasFull);
    const TComRxQueue::TFillResult fill = FRxQueue.Fill(FHandle);
    n += FRxQueue.Take(r.ReadInto + r.Done + n, r.Count - r.Done - n, wasFull);
    if (fill.EventChar)
        PostSoftEvent(evRxFlag);
    // Bytes this read took from the device beyond its count wait in the queue, where the event
    // thread's poll cannot see them: they need their own event.
    if (fill.Added > 0 && FRxQueue.Size() > 0)
        PostSoftEvent(evRxChar);
    if (n > 0) {
        r.Done += n;
        r.LastByte = Clock::now();
        if (wasFull && FEventThread)
            FEventThread->Wake(); // it stopped reading the tty while the queue was full
    }
    if (r.Done >= r.Count || r.ReturnAtOnce || (r.EndOnFirstByte && r.Done > 0)) {
        r.Complete = true;
        return;
    }
    if (fill.Error && FRxQueue.Size() == 0) {
        r.Error = fill.Error;
        r.Complete = true;
    }
}

// A request that has ended is no longer reachable by an abort.
void TCustomComPort::EndRequest(TPortRequest& r) {
    r.Started = false;
    std::lock_guard<std::mutex> guard(FRequestLock);
    std::erase(FActiveRequests, &r);
}

// Waits for progress of a started transfer, or for its end by time or abort.
void TCustomComPort::WaitStep(TPortRequest& r) {
    const auto now = Clock::now();
    auto until = Clock::time_point::max();
    if (r.HasDeadline)
        until = r.Deadline;
    if (r.Operation == opRead && r.Interval != 0 && r.Done > 0)
        until = std::min(until, r.LastByte + std::chrono::milliseconds(r.Interval));
    if (until <= now) {
        r.Complete = true; // a time-out ends a transfer with what it moved so far
        return;
    }
    int timeout = -1;
    if (until != Clock::time_point::max()) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
        timeout = static_cast<int>(std::min<long long>(ms, 1 << 30));
    }
    pollfd fds[3] = {{r.Event, POLLIN, 0},
                     {FHandle, static_cast<short>(r.Operation == opRead ? POLLIN : POLLOUT), 0},
                     {FRxQueue.DataEvent(), POLLIN, 0}};
    const int nfds = r.Operation == opRead ? 3 : 2;
    const int ready = poll(fds, nfds, timeout);
    if (ready < 0) {
        if (errno != EINTR) {
            r.Error = errno;
            r.Complete = true;
        }
        return;
    }
    if (fds[0].revents) {
        r.Error = ECANCELED;
        r.Complete = true;
        return;
    }
    if (nfds == 3 && fds[2].revents) {
        uint64_t value;
        [[maybe_unused]] ssize_t n = read(FRxQueue.DataEvent(), &value, sizeof value);
    }
    const int before = r.Done;
    if (r.Operation == opRead)
        StepRead(r);
    else
        StepWrite(r);
    // A hung-up tty keeps reporting itself ready without moving anything.
    if (!r.Complete && r.Done == before && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) {
        r.Error = EIO;
        r.Complete = true;
    }
}

int TCustomComPort::WaitForRequest(TPortRequest* request) {
    if (!request) {
        RaisePortError(CE_InvalidAsync, 0);
        return 0;
    }
    TPortRequest& r = *request;
    while (!r.Complete)
        WaitStep(r);
    if (!r.Started)
        return 0;
    EndRequest(r);
    if (r.Error) {
        RaisePortError(r.Operation == opWrite ? CE_WriteFailed : CE_ReadFailed, r.Error);
        return r.Done;
    }
    if (r.Operation == opWrite && r.Done > 0)
        PostSoftEvent(evTxEmpty);
    return r.Done;
}

int TCustomComPort::WriteText(const std::string& text) {
    TPortRequest* request = NewPortRequest();
    try {
        BeginWriteText(text, request);
        const int result = WaitForRequest(request);
        FreePortRequest(request);
        return result;
    } catch (...) {
        FreePortRequest(request);
        throw;
    }
}

int TCustomComPort::ReadText(std::string& text, int count) {
    TPortRequest* request = NewPortRequest();
    try {
        std::string local;
        BeginReadText(local, count, request);
        const int n = WaitForRequest(request);
        local.resize(static_cast<size_t>(std::max(n, 0)));
        text = std::move(local);
        FreePortRequest(request);
        return n;
    } catch (...) {
        FreePortRequest(request);
        throw;
    }
}

int TCustomComPort::ReadBuffer(void* buffer, int count) {
    TPortRequest* request = NewPortRequest();
    try {
        if (count > 0)
            BeginRead(buffer, count, request);
        const int n = WaitForRequest(request);
        FreePortRequest(request);
        return n;
    } catch (...) {
        FreePortRequest(request);
        throw;
    }
}

bool TCustomComPort::DrainOutput(int timeoutMs) {
    if (FHandle < 0)
        return false;
    // tcdrain itself has no bound (a line held by flow control never drains): watch the
    // driver's output queue, and let tcdrain wait only for the last character once it is empty.
    const auto until = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        int queued = 0;
        if (ioctl(FHandle, TIOCOUTQ, &queued) != 0 || queued == 0)
            return tcdrain(FHandle) == 0 || errno != EINTR;
        if (Clock::now() >= until)
            return false;
        poll(nullptr, 0, 10);
    }
}
