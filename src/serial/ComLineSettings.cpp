#include "serial/ComLineSettings.h"

#include "serial/ComPort.h"

#include <termios.h>

namespace {

uint32_t SpeedCodeFor(int32_t rate) {
    switch (rate) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 921600:
        return B921600;
    default:
        return 0;
    }
}

} // namespace

TComLineSettings MakeLineSettings(const TCustomComPort& port) {
    TComLineSettings s;
    const TComParity& parity = port.Parity();
    const TComFlowControl& flow = port.FlowControl();

    s.BaudRate = port.BaudRate() == brCustom ? port.CustomBaudRate() : BaudRateValues[port.BaudRate()];
    s.SpeedCode = SpeedCodeFor(s.BaudRate);

    // HUPCL: DTR drops when the last descriptor closes, however the program ends (a crash
    // included), and a modem hangs up on DTR: no line is left off hook by a dead box.
    s.CFlag = CLOCAL | CREAD | HUPCL;
    static const uint32_t sizes[] = {CS5, CS6, CS7, CS8};
    s.CFlag |= sizes[port.DataBits()];
    // Termios has no 1.5 stop bits; a UART with 5 data bits sends 1.5 when asked for two.
    if (port.StopBits() != sbOneStopBit)
        s.CFlag |= CSTOPB;
    switch (parity.Bits()) {
    case prNone:
        break;
    case prOdd:
        s.CFlag |= PARENB | PARODD;
        break;
    case prEven:
        s.CFlag |= PARENB;
        break;
    case prMark:
        s.CFlag |= PARENB | CMSPAR | PARODD;
        break;
    case prSpace:
        s.CFlag |= PARENB | CMSPAR;
        break;
    }
    if (flow.OutCTSFlow() || flow.ControlRTS() == rtsHandshake)
        s.CFlag |= CRTSCTS;

    if (parity.Check())
        s.IFlag |= INPCK;
    if (flow.XonXoffOut())
        s.IFlag |= IXON;
    if (flow.XonXoffIn())
        s.IFlag |= IXOFF;
    s.StartChar = static_cast<uint8_t>(flow.XonChar());
    s.StopChar = static_cast<uint8_t>(flow.XoffChar());

    // Handshake modes have no termios form: the line is raised and left to the peer.
    s.DTR = flow.ControlDTR() != dtrDisable;
    s.RTS = flow.ControlRTS() != rtsDisable;

    s.DiscardNull = port.DiscardNull();
    s.EventChar = static_cast<uint8_t>(port.EventChar());
    s.OutDSRFlow = flow.OutDSRFlow();
    s.DSRSensitivity = flow.DSRSensitivity();
    s.TxContinueOnXoff = flow.TxContinueOnXoff();
    s.ReplaceErrors = parity.Check() && parity.Replace();
    s.ErrorChar = s.ReplaceErrors ? static_cast<uint8_t>(parity.ReplaceChar()) : 0;
    s.XonLim = port.Buffer().InputSize() / 4;
    s.XoffLim = s.XonLim;
    return s;
}
