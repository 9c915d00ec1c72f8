// Value types of the serial port: enumerations, their sets and the handler signatures.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

class TComponent;

// A set of enumeration values, bit i for the value at position i (at most 32 values).
template <typename E> class TComSet {
public:
    constexpr TComSet() = default;
    constexpr TComSet(std::initializer_list<E> values) {
        for (E v : values)
            FBits |= Bit(v);
    }
    static constexpr TComSet FromBits(uint32_t bits) {
        TComSet s;
        s.FBits = bits;
        return s;
    }
    constexpr uint32_t Bits() const { return FBits; }
    constexpr bool Contains(E v) const { return (FBits & Bit(v)) != 0; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr TComSet& Include(E v) {
        FBits |= Bit(v);
        return *this;
    }
    constexpr TComSet& Exclude(E v) {
        FBits &= ~Bit(v);
        return *this;
    }
    constexpr TComSet operator|(TComSet o) const { return FromBits(FBits | o.FBits); }
    constexpr TComSet operator&(TComSet o) const { return FromBits(FBits & o.FBits); }
    constexpr bool operator==(const TComSet&) const = default;

private:
    static constexpr uint32_t Bit(E v) { return uint32_t{1} << static_cast<unsigned>(v); }
    uint32_t FBits = 0;
};

enum TBaudRate {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent { evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };
enum TStoredProp { spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers };
enum TLineSignal { lsCTS, lsDSR, lsRing, lsRLSD };
enum TComError { erFrame, erRxParity, erOverrun, erBreak, erIO, erMode, erRxOver, erTxFull };

using TComEvents = TComSet<TComEvent>;
using TStoredProps = TComSet<TStoredProp>;
using TLineSignals = TComSet<TLineSignal>;
using TComErrors = TComSet<TComError>;

inline constexpr TComEvents AllComEvents = TComEvents::FromBits(0x3FF);

// Rate in bit/s of each TBaudRate other than brCustom (index = enumeration value; 0 for brCustom).
extern const int BaudRateValues[16];

// Error codes of the port; the number is the code reported in EComPort::PortErrorCode.
enum TComExceptions : int16_t {
    CE_OpenFailed = 1,
    CE_WriteFailed,
    CE_ReadFailed,
    CE_InvalidAsync,
    CE_PurgeFailed,
    CE_AsyncCheck,
    CE_SetStateFailed,
    CE_TimeoutsFailed,
    CE_SetupComFailed,
    CE_ClearComFailed,
    CE_ModemStatFailed,
    CE_EscapeComFailed,
    CE_TransmitFailed,
    CE_ConnChangeProp,
    CE_EnumPortsFailed,
    CE_StoreFailed,
    CE_LoadFailed,
    CE_RegFailed,
    CE_LedStateFailed,
    CE_ThreadCreated,
    CE_WaitFailed,
    CE_HasLink,
    CE_RegError,
    CE_PortNotOpen
};

// Handlers. Sender is the port that calls them.
using TComNotifyEvent = std::function<void(TComponent* Sender)>;
using TComSignalEvent = std::function<void(TComponent* Sender, bool OnOff)>;
using TComExceptionEvent =
    std::function<void(TComponent* Sender, TComExceptions TComException, const std::string& ComportMessage,
                       int64_t WinError, const std::string& WinMessage)>;
using TRxCharEvent = std::function<void(TComponent* Sender, int Count)>;
using TRxBufEvent = std::function<void(TComponent* Sender, const uint8_t* Buffer, int Count)>;
using TComErrorEvent = std::function<void(TComponent* Sender, TComErrors Errors)>;
