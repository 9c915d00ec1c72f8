#include "serial/ComPort.h"

#include "serial/ComLineSettings.h"
#include "serial/ComThread.h"
#include "toolkit/ExceptionReporter.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

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
        RaisePortError(CE_OpenFailed, errno, path);
        return false;
    }
    // Exclusive use: TIOCEXCL keeps other users' opens out, the lock keeps out every other
    // process (and port object) that asks for it, root included.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        RaisePortError(CE_OpenFailed, error, path);
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
        // Gone with its device: what the queue took before is still the owner's to read, and the
        // loss itself is reported once, by the event thread.
        if (FDeviceLost || errno == EIO || errno == ENXIO || errno == ENODEV)
            return FRxQueue.Size();
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

void TCustomComPort::RaisePortError(int code, int64_t osError, const std::string& devicePath) {
    if (!OnException)
        throw EComPort(code, osError, devicePath);
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
