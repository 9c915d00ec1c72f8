#include "app/ModemPort.h"

void SetUpModemPort(TComPort& port, const std::string& name) {
    port.SetPort(name);
    port.SetBaudRate(br1200);
    port.SetDataBits(dbEight);
    port.SetStopBits(sbOneStopBit);
    port.Parity().SetBits(prNone);
    port.SetDiscardNull(true);
    port.SetEvents(AllComEvents);
    port.FlowControl().SetOutCTSFlow(false);
    port.FlowControl().SetOutDSRFlow(false);
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetControlRTS(rtsDisable);
    port.FlowControl().SetXonXoffOut(false);
    port.FlowControl().SetXonXoffIn(false);
    port.SetStoredProps(TStoredProps{spBasic});
}
