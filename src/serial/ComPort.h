// The serial port component: settings, opening and closing, the hand-over of driver events to
// the owner's handlers, and synchronous transfers built from a start and a wait.
//
// On Linux the port is a tty opened exclusively (TIOCEXCL and an flock). Received bytes pass
// through the port's receive queue, where NUL bytes are dropped (DiscardNull) and the event
// character is noticed; OnRxChar's Count is what that queue and the tty hold. A device that
// goes away while open (a USB modem unplugged, the far end of a pseudo-terminal closed) is
// reported once, as erIO through OnError, after which the event thread only waits for the close.
// Applying the settings as a whole (EndSettingsUpdate: the setup dialog's OK) then re-opens the
// device, so an operator brings a re-plugged modem back without restarting the program.
#pragma once

#include "serial/ComError.h"
#include "serial/ComRxQueue.h"
#include "serial/ComSettings.h"
#include "serial/ComTransfer.h"
#include "serial/ComTypes.h"
#include "toolkit/Component.h"
#include "toolkit/Thread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class TComThread;

// Timeouts as the transfers use them: unsigned images of the signed settings.
struct TComTimeoutRecord {
    uint32_t ReadInterval = 0xFFFFFFFFu;
    uint32_t ReadTotalMultiplier = 0;
    uint32_t ReadTotalConstant = 0;
    uint32_t WriteTotalMultiplier = 100;
    uint32_t WriteTotalConstant = 1000;
};

class TCustomComPort : public TComponent {
    friend class TComThread;

public:
    explicit TCustomComPort(TComponent* owner = nullptr);
    ~TCustomComPort() override;

    // --- Settings
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& value);
    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate value);
    int32_t CustomBaudRate() const { return FCustomBaudRate; }
    void SetCustomBaudRate(int32_t value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits value);
    TComParity& Parity() { return FParity; }
    const TComParity& Parity() const { return FParity; }
    void SetParity(const TComParity& value);
    bool DiscardNull() const { return FDiscardNull; }
    void SetDiscardNull(bool value);
    char EventChar() const { return FEventChar; }
    void SetEventChar(char value);
    TComFlowControl& FlowControl() { return FFlowControl; }
    const TComFlowControl& FlowControl() const { return FFlowControl; }
    void SetFlowControl(const TComFlowControl& value);
    TComTimeouts& Timeouts() { return FTimeouts; }
    const TComTimeouts& Timeouts() const { return FTimeouts; }
    void SetTimeouts(const TComTimeouts& value);
    TComBuffer& Buffer() { return FBuffer; }
    const TComBuffer& Buffer() const { return FBuffer; }
    void SetBuffer(const TComBuffer& value);
    // Read when the event thread is created at open.
    TComEvents Events() const { return FEvents; }
    void SetEvents(TComEvents value) { FEvents = value; }
    TSyncMethod SyncMethod() const { return FSyncMethod; }
    // Refused with code 14 while the port is open.
    void SetSyncMethod(TSyncMethod value);
    bool TriggersOnRxChar() const { return FTriggersOnRxChar; }
    void SetTriggersOnRxChar(bool value) { FTriggersOnRxChar = value; }
    TStoredProps StoredProps() const { return FStoredProps; }
    void SetStoredProps(TStoredProps value) { FStoredProps = value; }
    uint32_t CodePage() const { return FCodePage; }
    void SetCodePage(uint32_t value) { FCodePage = value; }
    bool Connected() const { return FConnected; }
    // The open device went away (see above); cleared when the port opens again.
    bool DeviceLost() const { return FDeviceLost; }
    void SetConnected(bool value);
    TThreadPriority ThreadPriority() const { return FThreadPriority; }
    void SetThreadPriority(TThreadPriority value) { FThreadPriority = value; }

    // --- State
    int DeviceHandle() const { return FHandle; }
    bool ThreadCreated() const { return FThreadCreated; }
    TComThread* EventThread() const { return FEventThread; }
    int UpdateCount() const { return FUpdateCount; }
    // The device path opened for Port: "/dev/" + Port, or Port itself when it starts with "/".
    std::string DevicePath() const;
    // Timeouts as last applied.
    const TComTimeoutRecord& AppliedTimeouts() const { return FAppliedTimeouts; }

    // --- Operations
    void OpenPort();
    void ClosePort();
    void BeginSettingsUpdate();
    void EndSettingsUpdate();
    virtual void ApplyAllSettings();
    virtual void ApplyLineSettings();
    virtual void ApplyTimeoutSettings();
    virtual void ApplyBufferSizes();
    int BytesWaiting();
    TLineSignals LineSignals();
    TComErrors TakeLineErrors();
    // Raises EComPort, or with OnException set reports through it and returns.
    // devicePath: named in the exception's text (see EComPort).
    void RaisePortError(int code, int64_t osError, const std::string& devicePath = std::string());

    // --- Transfers (synchronous for the caller)
    int WriteText(const std::string& text);
    // Waits until everything written has left the port (the driver's queue is empty and the
    // last character sent), at most timeoutMs; whether it has.
    bool DrainOutput(int timeoutMs);
    int WriteStr(const std::string& text) { return WriteText(text); }
    int ReadText(std::string& text, int count);
    int ReadStr(std::string& text, int count) { return ReadText(text, count); }
    int ReadBuffer(void* buffer, int count);
    int BeginWrite(const void* buffer, int count, TPortRequest* request);
    int BeginWriteText(const std::string& text, TPortRequest* request);
    int BeginRead(void* buffer, int count, TPortRequest* request);
    int BeginReadText(std::string& text, int count, TPortRequest* request);
    int WaitForRequest(TPortRequest* request);
    TPortRequest* NewPortRequest();
    void FreePortRequest(TPortRequest*& request);
    // Ends every transfer that is waiting; they report code 2 or 3.
    void AbortAllRequests();
    // Discards what the driver holds for input and/or output. Failure is code 5.
    void ClearBuffer(bool input, bool output);

    // --- Handlers
    TComNotifyEvent OnBeforeOpen, OnAfterOpen, OnBeforeClose, OnAfterClose;
    TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
    TComExceptionEvent OnException;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TComNotifyEvent OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
    TComErrorEvent OnError;

protected:
    void Loaded() override;
    // False (after the report) when the device could not be opened.
    virtual bool OpenDevice();
    virtual void CloseDevice();

    virtual void DoAfterClose();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoRxChar(int count);
    virtual void DoRxBuf(const uint8_t* buffer, int count);
    virtual void DoTxEmpty();
    virtual void DoBreak();
    virtual void DoRing();
    virtual void DoRxFlag();
    virtual void DoCTSChange(bool onOff);
    virtual void DoDSRChange(bool onOff);
    virtual void DoError(TComErrors errors);
    virtual void DoRLSDChange(bool onOff);
    virtual void DoRx80Full();

    // Runs the handling of every event of a batch in the fixed order; an exception of one
    // handler goes to the application's error display and the next event is still handled.
    void FireEvents(TComEvents events);
    // The handling of one event.
    void HandleEvent(TComEvent event);

private:
    bool CanApply() const;
    bool HandlersWanted() const;
    void StepRead(TPortRequest& r);
    void StepWrite(TPortRequest& r);
    void WaitStep(TPortRequest& r);
    void EndRequest(TPortRequest& r);
    void ConfigureRxQueue();
    void PostSoftEvent(TComEvent event);
    uint32_t TakeSoftEvents() { return FSoftEvents.exchange(0); }
    // Folds new driver error counts into the pending errors; returns the newly seen ones.
    TComErrors SampleLineErrors();
    void MarkDeviceLost();
    TComRxQueue& RxQueue() { return FRxQueue; }

    std::string FPort = "COM1";
    TBaudRate FBaudRate = br9600;
    int32_t FCustomBaudRate = 9600;
    TDataBits FDataBits = dbEight;
    TStopBits FStopBits = sbOneStopBit;
    TComParity FParity;
    bool FDiscardNull = false;
    char FEventChar = 0;
    TComFlowControl FFlowControl;
    TComTimeouts FTimeouts;
    TComBuffer FBuffer;
    TComEvents FEvents = AllComEvents;
    TSyncMethod FSyncMethod = smThreadSync;
    bool FTriggersOnRxChar = true;
    TStoredProps FStoredProps{spBasic};
    uint32_t FCodePage = 0;
    TThreadPriority FThreadPriority = TThreadPriority::tpNormal;

    std::atomic<int> FHandle{-1};
    std::atomic<bool> FConnected{false};
    std::atomic<bool> FDeviceLost{false};
    bool FStreamedConnected = false;
    bool FThreadCreated = false;
    TComThread* FEventThread = nullptr;
    int FHandOverDepth = 0; // handlers of the thread's hand-over running on the main thread
    int FUpdateCount = 0;
    TComTimeoutRecord FAppliedTimeouts;
    int FRxCapacity = 1024;
    bool FRxDiscardNull = false;
    uint8_t FRxEventChar = 0;
    TComRxQueue FRxQueue;
    std::atomic<uint32_t> FSoftEvents{0};

    // Requests that are between start and end, so that an abort can reach them.
    std::mutex FRequestLock;
    std::vector<TPortRequest*> FActiveRequests;

    // Line errors seen but not yet taken, and the driver's counters they were last read at.
    std::mutex FErrorLock;
    uint32_t FLineErrors = 0;
    bool FCountersKnown = false;
    bool FNoCounters = false;
    int FLastCounts[5] = {};
};

// The port as form definitions expose it.
class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};
