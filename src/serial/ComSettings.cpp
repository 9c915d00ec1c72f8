#include "serial/ComSettings.h"

#include "serial/ComPort.h"

namespace {

template <typename T> bool Store(T& field, T value) {
    if (field == value)
        return false;
    field = value;
    return true;
}

} // namespace

// --- TComParity

void TComParity::Assign(const TComParity& other) {
    FBits = other.FBits;
    FCheck = other.FCheck;
    FReplace = other.FReplace;
    FReplaceChar = other.FReplaceChar;
}

void TComParity::Changed() {
    if (FComPort)
        FComPort->ApplyLineSettings();
}

void TComParity::SetBits(TParityBits value) {
    if (Store(FBits, value))
        Changed();
}
void TComParity::SetCheck(bool value) {
    if (Store(FCheck, value))
        Changed();
}
void TComParity::SetReplace(bool value) {
    if (Store(FReplace, value))
        Changed();
}
void TComParity::SetReplaceChar(char value) {
    if (Store(FReplaceChar, value))
        Changed();
}

// --- TComFlowControl

void TComFlowControl::Assign(const TComFlowControl& other) {
    FOutCTSFlow = other.FOutCTSFlow;
    FOutDSRFlow = other.FOutDSRFlow;
    FControlDTR = other.FControlDTR;
    FControlRTS = other.FControlRTS;
    FXonXoffOut = other.FXonXoffOut;
    FXonXoffIn = other.FXonXoffIn;
    FDSRSensitivity = other.FDSRSensitivity;
    FTxContinueOnXoff = other.FTxContinueOnXoff;
    FXonChar = other.FXonChar;
    FXoffChar = other.FXoffChar;
}

void TComFlowControl::Changed() {
    if (FComPort)
        FComPort->ApplyLineSettings();
}

void TComFlowControl::SetOutCTSFlow(bool value) {
    if (Store(FOutCTSFlow, value))
        Changed();
}
void TComFlowControl::SetOutDSRFlow(bool value) {
    if (Store(FOutDSRFlow, value))
        Changed();
}
void TComFlowControl::SetControlDTR(TDTRFlowControl value) {
    if (Store(FControlDTR, value))
        Changed();
}
void TComFlowControl::SetControlRTS(TRTSFlowControl value) {
    if (Store(FControlRTS, value))
        Changed();
}
void TComFlowControl::SetXonXoffOut(bool value) {
    if (Store(FXonXoffOut, value))
        Changed();
}
void TComFlowControl::SetXonXoffIn(bool value) {
    if (Store(FXonXoffIn, value))
        Changed();
}
void TComFlowControl::SetDSRSensitivity(bool value) {
    if (Store(FDSRSensitivity, value))
        Changed();
}
void TComFlowControl::SetTxContinueOnXoff(bool value) {
    if (Store(FTxContinueOnXoff, value))
        Changed();
}
void TComFlowControl::SetXonChar(char value) {
    if (Store(FXonChar, value))
        Changed();
}
void TComFlowControl::SetXoffChar(char value) {
    if (Store(FXoffChar, value))
        Changed();
}

TFlowControl TComFlowControl::FlowControl() const {
    if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return fcHardware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut)
        return fcSoftware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
    if (value != fcCustom) {
        FControlRTS = rtsDisable;
        FOutCTSFlow = false;
        FXonXoffIn = false;
        FXonXoffOut = false;
        if (value == fcHardware) {
            FControlRTS = rtsHandshake;
            FOutCTSFlow = true;
        } else if (value == fcSoftware) {
            FXonXoffIn = true;
            FXonXoffOut = true;
        }
    }
    Changed();
}

// --- TComTimeouts

void TComTimeouts::Assign(const TComTimeouts& other) {
    FReadInterval = other.FReadInterval;
    FReadTotalMultiplier = other.FReadTotalMultiplier;
    FReadTotalConstant = other.FReadTotalConstant;
    FWriteTotalMultiplier = other.FWriteTotalMultiplier;
    FWriteTotalConstant = other.FWriteTotalConstant;
}

void TComTimeouts::Set(int32_t& field, int32_t value) {
    if (Store(field, value) && FComPort)
        FComPort->ApplyTimeoutSettings();
}
void TComTimeouts::SetReadInterval(int32_t value) {
    Set(FReadInterval, value);
}
void TComTimeouts::SetReadTotalMultiplier(int32_t value) {
    Set(FReadTotalMultiplier, value);
}
void TComTimeouts::SetReadTotalConstant(int32_t value) {
    Set(FReadTotalConstant, value);
}
void TComTimeouts::SetWriteTotalMultiplier(int32_t value) {
    Set(FWriteTotalMultiplier, value);
}
void TComTimeouts::SetWriteTotalConstant(int32_t value) {
    Set(FWriteTotalConstant, value);
}

// --- TComBuffer

void TComBuffer::Assign(const TComBuffer& other) {
    FInputSize = other.FInputSize;
    FOutputSize = other.FOutputSize;
}

void TComBuffer::Set(int32_t& field, int32_t value) {
    // Drivers want even queue sizes.
    if (value > 0 && value % 2 != 0)
        value -= 1;
    if (Store(field, value) && FComPort)
        FComPort->ApplyBufferSizes();
}
void TComBuffer::SetInputSize(int32_t value) {
    Set(FInputSize, value);
}
void TComBuffer::SetOutputSize(int32_t value) {
    Set(FOutputSize, value);
}
