#include "serial/ComPort.h"

#include "serial/ComLineSettings.h"
#include "serial/ComThread.h"
#include "toolkit/ExceptionReporter.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t MaxDword = 0xFFFFFFFFu;

// A device without modem lines or error counters refuses those calls with one of these.
bool NoSuchFeature(int error) {
    return error == ENOTTY || error == EINVAL;
}

template <typename T> bool Store(T& field, T value) {
    if (field == value)
        return false;
    field = value;
    return true;
}

} // namespace

TCustomComPort::TCustomComPort(TComponent* owner) : TComponent(owner) {
    FParity.SetComPort(this);
    FFlowControl.SetComPort(this);
    FTimeouts.SetComPort(this);
    FBuffer.SetComPort(this);
}

TCustomComPort::~TCustomComPort() {
    try {
        ClosePort();
    } catch (const std::exception& error) {
        ShowException(error);
    }
    // A close that stopped at a failed abort still must not leave a thread behind.
    if (FThreadCreated) {
        delete FEventThread;
        FEventThread = nullptr;
        FThreadCreated = false;
        TThread::RemoveQueuedEvents(this);
    }
    CloseDevice();
    FBuffer.SetComPort(nullptr);
    FFlowControl.SetComPort(nullptr);
    FTimeouts.SetComPort(nullptr);
    FParity.SetComPort(nullptr);
}

// --- Settings

void TCustomComPort::SetPort(const std::string& value) {
    if (FPort == value)
        return;
    FPort = value;
    if (FConnected && !Loading()) {
        ClosePort();
        OpenPort();
    }
}

void TCustomComPort::SetBaudRate(TBaudRate value) {
    if (Store(FBaudRate, value))
        ApplyLineSettings();
}
void TCustomComPort::SetCustomBaudRate(int32_t value) {
    if (Store(FCustomBaudRate, value))
        ApplyLineSettings();
}
void TCustomComPort::SetDataBits(TDataBits value) {
    if (Store(FDataBits, value))
        ApplyLineSettings();
}
void TCustomComPort::SetStopBits(TStopBits value) {
    if (Store(FStopBits, value))
        ApplyLineSettings();
}
void TCustomComPort::SetDiscardNull(bool value) {
    if (Store(FDiscardNull, value))
        ApplyLineSettings();
}
void TCustomComPort::SetEventChar(char value) {
    if (Store(FEventChar, value))
        ApplyLineSettings();
}

void TCustomComPort::SetParity(const TComParity& value) {
    FParity.Assign(value);
    ApplyLineSettings();
}
void TCustomComPort::SetFlowControl(const TComFlowControl& value) {
    FFlowControl.Assign(value);
    ApplyLineSettings();
}
void TCustomComPort::SetTimeouts(const TComTimeouts& value) {
    FTimeouts.Assign(value);
    ApplyTimeoutSettings();
}
void TCustomComPort::SetBuffer(const TComBuffer& value) {
    FBuffer.Assign(value);
    ApplyBufferSizes();
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
    if (FConnected && !Loading()) {
        RaisePortError(CE_ConnChangeProp, 0);
        return;
    }
    FSyncMethod = value;
}

void TCustomComPort::SetConnected(bool value) {
    if (Loading()) {
        FStreamedConnected = value;
        return;
    }
    if (value == FConnected)
        return;
    if (value)
        OpenPort();
    else
        ClosePort();
}

void TCustomComPort::Loaded() {
    TComponent::Loaded();
    if (FStreamedConnected) {
        FStreamedConnected = false;
        RunHandler([this] { OpenPort(); });
    }
}

std::string TCustomComPort::DevicePath() const {
    if (!FPort.empty() && FPort[0] == '/')
        return FPort;
    return "/dev/" + FPort;
}

// --- Opening and closing

bool TCustomComPort::OpenDevice() {
    const std::string path = DevicePath();
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        RaisePortError(CE_OpenFailed, errno);
        return false;
    }
    // Exclusive use: TIOCEXCL keeps other users' opens out, the lock keeps out every other
    // process (and port object) that asks for it, root included.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        RaisePortError(CE_OpenFailed, error);
        return false;
    }
    ioctl(fd, TIOCEXCL);
    FHandle = fd;
    return true;
}

void TCustomComPort::CloseDevice() {
    const int fd = FHandle;
    if (fd < 0)
        return;
    // The exclusive flag outlives our descriptor when someone else keeps the tty open.
    ioctl(fd, TIOCNXCL);
    close(fd);
    FHandle = -1;
}

void TCustomComPort::OpenPort() {
    if (FConnected)
        return;
    DoBeforeOpen();
    if (!OpenDevice())
        return;
    FConnected = true;
    FDeviceLost = false;
    FRxQueue.Clear();
    FSoftEvents = 0;
    {
        std::lock_guard<std::mutex> guard(FErrorLock);
        FLineErrors = 0;
        FCountersKnown = false;
        FNoCounters = false;
    }
    try {
        ApplyAllSettings();
    } catch (...) {
        CloseDevice();
        FConnected = false;
        throw;
    }
    if (FEvents.Empty()) {
        FThreadCreated = false;
    } else {
        FEventThread = new TComThread(this);
        FThreadCreated = true;
        FEventThread->Start();
    }
    DoAfterOpen();
    DoCTSChange(LineSignals().Contains(lsCTS));
    DoDSRChange(LineSignals().Contains(lsDSR));
    DoRLSDChange(LineSignals().Contains(lsRLSD));
}

void TCustomComPort::ClosePort() {
    if (!FConnected)
        return;
    DoCTSChange(false);
    DoDSRChange(false);
    DoRLSDChange(false);
    DoBeforeClose();
    AbortAllRequests();
    if (FThreadCreated) {
        if (FHandOverDepth > 0)
            FEventThread->Detach(); // it waits for this very handler: it cannot end now
        else
            delete FEventThread; // waits, serving the main-thread hand-over meanwhile
        FEventThread = nullptr;
        FThreadCreated = false;
        // Events posted for the main thread must not reach a closed (or freed) port.
        TThread::RemoveQueuedEvents(this);
    }
    CloseDevice();
    FRxQueue.Clear();
    FConnected = false;
    DoAfterClose();
}

// --- Applying settings

bool TCustomComPort::CanApply() const {
    return FConnected && FUpdateCount == 0 && !Loading();
}

void TCustomComPort::BeginSettingsUpdate() {
    ++FUpdateCount;
}

void TCustomComPort::EndSettingsUpdate() {
    if (FUpdateCount <= 0)
        return;
    if (--FUpdateCount > 0)
        return;
    if (FDeviceLost && !Loading()) {
        // Settings cannot reach a device that is gone: open it anew, which applies them all (a
        // failed attempt leaves the port closed and the next one tries again).
        ClosePort();
        OpenPort();
        return;
    }
    ApplyAllSettings();
}

void TCustomComPort::ApplyAllSettings() {
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

void TCustomComPort::ApplyLineSettings() {
    if (!CanApply())
        return;
    const TComLineSettings settings = MakeLineSettings(*this);
    FRxDiscardNull = settings.DiscardNull;
    FRxEventChar = settings.EventChar;
    ConfigureRxQueue();
    if (int error = ApplyLineSettingsToDevice(FHandle, settings))
        RaisePortError(CE_SetStateFailed, error);
}

void TCustomComPort::ApplyTimeoutSettings() {
    if (!CanApply())
        return;
    // Stored here and used by every transfer; nothing at the driver can fail.
    FAppliedTimeouts.ReadInterval = static_cast<uint32_t>(FTimeouts.ReadInterval());
    FAppliedTimeouts.ReadTotalMultiplier = static_cast<uint32_t>(FTimeouts.ReadTotalMultiplier());
    FAppliedTimeouts.ReadTotalConstant = static_cast<uint32_t>(FTimeouts.ReadTotalConstant());
    FAppliedTimeouts.WriteTotalMultiplier = static_cast<uint32_t>(FTimeouts.WriteTotalMultiplier());
    FAppliedTimeouts.WriteTotalConstant = static_cast<uint32_t>(FTimeouts.WriteTotalConstant());
}

void TCustomComPort::ApplyBufferSizes() {
    if (!CanApply())
        return;
    // The tty driver's queues are fixed; the input size bounds the port's receive queue.
    FRxCapacity = FBuffer.InputSize() > 0 ? FBuffer.InputSize() : 4096;
    ConfigureRxQueue();
}

void TCustomComPort::ConfigureRxQueue() {
    FRxQueue.Configure(FRxCapacity, FRxDiscardNull, FRxEventChar);
}

// --- Driver state

int TCustomComPort::BytesWaiting() {
    int pending = 0;
    if (ioctl(FHandle, FIONREAD, &pending) != 0) {
        RaisePortError(CE_ClearComFailed, errno);
        return 0;
    }
    return FRxQueue.Size() + pending;
}

TLineSignals TCustomComPort::LineSignals() {
    int bits = 0;
    if (ioctl(FHandle, TIOCMGET, &bits) != 0) {
        if (FHandle >= 0 && NoSuchFeature(errno))
            return {};
        RaisePortError(CE_ModemStatFailed, errno);
        return {};
    }
    TLineSignals result;
    if (bits & TIOCM_CTS)
        result.Include(lsCTS);
    if (bits & TIOCM_DSR)
        result.Include(lsDSR);
    if (bits & TIOCM_RNG)
        result.Include(lsRing);
    if (bits & TIOCM_CAR)
        result.Include(lsRLSD);
    return result;
}

TComErrors TCustomComPort::SampleLineErrors() {
    std::lock_guard<std::mutex> guard(FErrorLock);
    const uint32_t before = FLineErrors;
    if (!FNoCounters && FHandle >= 0) {
        serial_icounter_struct counts{};
        if (ioctl(FHandle, TIOCGICOUNT, &counts) != 0) {
            if (NoSuchFeature(errno))
                FNoCounters = true;
        } else {
            const int now[5] = {counts.frame, counts.parity, counts.overrun, counts.brk, counts.buf_overrun};
            if (FCountersKnown) {
                static const TComError kinds[5] = {erFrame, erRxParity, erOverrun, erBreak, erRxOver};
                for (int i = 0; i < 5; ++i)
                    if (now[i] != FLastCounts[i])
                        FLineErrors |= TComErrors{kinds[i]}.Bits();
            }
            std::copy(now, now + 5, FLastCounts);
            FCountersKnown = true;
        }
    }
    return TComErrors::FromBits(FLineErrors & ~before);
}

void TCustomComPort::MarkDeviceLost() {
    std::lock_guard<std::mutex> guard(FErrorLock);
    FLineErrors |= TComErrors{erIO}.Bits();
    FDeviceLost = true;
}

TComErrors TCustomComPort::TakeLineErrors() {
    if (FHandle < 0) {
        RaisePortError(CE_ClearComFailed, EBADF);
        return {};
    }
    SampleLineErrors();
    std::lock_guard<std::mutex> guard(FErrorLock);
    TComErrors errors = TComErrors::FromBits(FLineErrors);
    FLineErrors = 0;
    if (!FParity.Check())
        errors.Exclude(erRxParity);
    return errors;
}

// --- Errors

void TCustomComPort::RaisePortError(int code, int64_t osError) {
    if (!OnException)
        throw EComPort(code, osError);
    const std::string winMessage = osError > 0 ? std::strerror(static_cast<int>(osError)) : "";
    OnException(this, static_cast<TComExceptions>(code), PortErrorMessage(code), osError, winMessage);
}

// --- Handlers

bool TCustomComPort::HandlersWanted() const {
    // While the owner is being torn down its handlers may point into parts already gone.
    return !(Owner() && (Owner()->ComponentState() & csDestroying));
}

void TCustomComPort::DoAfterClose() {
    if (OnAfterClose && HandlersWanted())
        OnAfterClose(this);
}
void TCustomComPort::DoAfterOpen() {
    if (OnAfterOpen)
        OnAfterOpen(this);
}
void TCustomComPort::DoBeforeClose() {
    if (OnBeforeClose && HandlersWanted())
        OnBeforeClose(this);
}
void TCustomComPort::DoBeforeOpen() {
    if (OnBeforeOpen)
        OnBeforeOpen(this);
}
void TCustomComPort::DoRxChar(int count) {
    if (OnRxChar)
        OnRxChar(this, count);
}
void TCustomComPort::DoRxBuf(const uint8_t* buffer, int count) {
    if (OnRxBuf)
        OnRxBuf(this, buffer, count);
}
void TCustomComPort::DoTxEmpty() {
    if (OnTxEmpty)
        OnTxEmpty(this);
}
void TCustomComPort::DoBreak() {
    if (OnBreak)
        OnBreak(this);
}
void TCustomComPort::DoRing() {
    if (OnRing)
        OnRing(this);
}
void TCustomComPort::DoRxFlag() {
    if (OnRxFlag)
        OnRxFlag(this);
}
void TCustomComPort::DoCTSChange(bool onOff) {
    if (OnCTSChange && HandlersWanted())
        OnCTSChange(this, onOff);
}
void TCustomComPort::DoDSRChange(bool onOff) {
    if (OnDSRChange && HandlersWanted())
        OnDSRChange(this, onOff);
}
void TCustomComPort::DoError(TComErrors errors) {
    if (OnError)
        OnError(this, errors);
}
void TCustomComPort::DoRLSDChange(bool onOff) {
    if (OnRLSDChange && HandlersWanted())
        OnRLSDChange(this, onOff);
}
void TCustomComPort::DoRx80Full() {
    if (OnRx80Full)
        OnRx80Full(this);
}

void TCustomComPort::FireEvents(TComEvents events) {
    static const TComEvent order[] = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                                      evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};
    for (TComEvent event : order)
        if (events.Contains(event))
            RunHandler([&] { HandleEvent(event); });
}

void TCustomComPort::HandleEvent(TComEvent event) {
    switch (event) {
    case evError: {
        const TComErrors errors = TakeLineErrors();
        if (!errors.Empty())
            DoError(errors);
        break;
    }
    case evRxChar: {
        int count = BytesWaiting();
        if (count <= 0)
            break;
        if (!FTriggersOnRxChar) {
            std::vector<uint8_t> buffer(static_cast<size_t>(count));
            ReadBuffer(buffer.data(), count);
            DoRxBuf(buffer.data(), count);
            count = 0;
        }
        if (count > 0)
            DoRxChar(count);
        break;
    }
    case evTxEmpty:
        DoTxEmpty();
        break;
    case evBreak:
        DoBreak();
        break;
    case evRing:
        DoRing();
        break;
    case evCTS:
        DoCTSChange(LineSignals().Contains(lsCTS));
        break;
    case evDSR:
        DoDSRChange(LineSignals().Contains(lsDSR));
        break;
    case evRxFlag:
        DoRxFlag();
        break;
    case evRLSD:
        DoRLSDChange(LineSignals().Contains(lsRLSD));
        break;
    case evRx80Full:
        DoRx80Full();
        break;
    }
}

void TCustomComPort::PostSoftEvent(TComEvent event) {
    TComThread* thread = FEventThread;
    if (!FThreadCreated || !thread || !FEvents.Contains(event))
        return;
    FSoftEvents.fetch_or(TComEvents{event}.Bits());
    thread->Wake();
}

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
