// Settings sub-objects of the serial port: parity, flow control, timeouts and buffer sizes.
//
// Each setter stores a changed value and asks its port (when it has one) to apply the group it
// belongs to; an unchanged value does nothing. A sub-object without a port is a plain value, as
// a dialog uses it before assigning it to the port in one go.
#pragma once

#include "serial/ComTypes.h"

#include <cstdint>

class TCustomComPort;

class TComParity {
public:
    TComParity() = default;
    // Copies the values, not the port.
    TComParity(const TComParity& other) { Assign(other); }
    TComParity& operator=(const TComParity& other) {
        Assign(other);
        return *this;
    }
    void Assign(const TComParity& other);
    void SetComPort(TCustomComPort* port) { FComPort = port; }

    TParityBits Bits() const { return FBits; }
    bool Check() const { return FCheck; }
    bool Replace() const { return FReplace; }
    char ReplaceChar() const { return FReplaceChar; }
    void SetBits(TParityBits value);
    void SetCheck(bool value);
    void SetReplace(bool value);
    void SetReplaceChar(char value);

private:
    void Changed();
    TCustomComPort* FComPort = nullptr;
    TParityBits FBits = prNone;
    bool FCheck = false;
    bool FReplace = false;
    char FReplaceChar = 0;
};

class TComFlowControl {
public:
    TComFlowControl() = default;
    TComFlowControl(const TComFlowControl& other) { Assign(other); }
    TComFlowControl& operator=(const TComFlowControl& other) {
        Assign(other);
        return *this;
    }
    void Assign(const TComFlowControl& other);
    void SetComPort(TCustomComPort* port) { FComPort = port; }

    bool OutCTSFlow() const { return FOutCTSFlow; }
    bool OutDSRFlow() const { return FOutDSRFlow; }
    TDTRFlowControl ControlDTR() const { return FControlDTR; }
    TRTSFlowControl ControlRTS() const { return FControlRTS; }
    bool XonXoffOut() const { return FXonXoffOut; }
    bool XonXoffIn() const { return FXonXoffIn; }
    bool DSRSensitivity() const { return FDSRSensitivity; }
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    char XonChar() const { return FXonChar; }
    char XoffChar() const { return FXoffChar; }
    void SetOutCTSFlow(bool value);
    void SetOutDSRFlow(bool value);
    void SetControlDTR(TDTRFlowControl value);
    void SetControlRTS(TRTSFlowControl value);
    void SetXonXoffOut(bool value);
    void SetXonXoffIn(bool value);
    void SetDSRSensitivity(bool value);
    void SetTxContinueOnXoff(bool value);
    void SetXonChar(char value);
    void SetXoffChar(char value);

    // The common combinations read back from the RTS, CTS and XON/XOFF fields.
    TFlowControl FlowControl() const;
    // Writes those four fields for a common combination (fcCustom keeps them) and applies the
    // line settings once in every case.
    void SetFlowControl(TFlowControl value);

private:
    void Changed();
    TCustomComPort* FComPort = nullptr;
    bool FOutCTSFlow = false;
    bool FOutDSRFlow = false;
    TDTRFlowControl FControlDTR = dtrDisable;
    TRTSFlowControl FControlRTS = rtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDSRSensitivity = false;
    bool FTxContinueOnXoff = false;
    char FXonChar = 17;
    char FXoffChar = 19;
};

// Milliseconds; -1 stands for the largest value (all 32 bits set).
class TComTimeouts {
public:
    TComTimeouts() = default;
    TComTimeouts(const TComTimeouts& other) { Assign(other); }
    TComTimeouts& operator=(const TComTimeouts& other) {
        Assign(other);
        return *this;
    }
    void Assign(const TComTimeouts& other);
    void SetComPort(TCustomComPort* port) { FComPort = port; }

    int32_t ReadInterval() const { return FReadInterval; }
    int32_t ReadTotalMultiplier() const { return FReadTotalMultiplier; }
    int32_t ReadTotalConstant() const { return FReadTotalConstant; }
    int32_t WriteTotalMultiplier() const { return FWriteTotalMultiplier; }
    int32_t WriteTotalConstant() const { return FWriteTotalConstant; }
    void SetReadInterval(int32_t value);
    void SetReadTotalMultiplier(int32_t value);
    void SetReadTotalConstant(int32_t value);
    void SetWriteTotalMultiplier(int32_t value);
    void SetWriteTotalConstant(int32_t value);

private:
    void Set(int32_t& field, int32_t value);
    TCustomComPort* FComPort = nullptr;
    int32_t FReadInterval = -1;
    int32_t FReadTotalMultiplier = 0;
    int32_t FReadTotalConstant = 0;
    int32_t FWriteTotalMultiplier = 100;
    int32_t FWriteTotalConstant = 1000;
};

// Byte counts; a positive odd size is stored one less.
class TComBuffer {
public:
    TComBuffer() = default;
    TComBuffer(const TComBuffer& other) { Assign(other); }
    TComBuffer& operator=(const TComBuffer& other) {
        Assign(other);
        return *this;
    }
    void Assign(const TComBuffer& other);
    void SetComPort(TCustomComPort* port) { FComPort = port; }

    int32_t InputSize() const { return FInputSize; }
    int32_t OutputSize() const { return FOutputSize; }
    void SetInputSize(int32_t value);
    void SetOutputSize(int32_t value);

private:
    void Set(int32_t& field, int32_t value);
    TCustomComPort* FComPort = nullptr;
    int32_t FInputSize = 1024;
    int32_t FOutputSize = 1024;
};
