// The modem line's settings, shared by the window and the self-check so both open the port alike.
#pragma once

#include "serial/ComPort.h"

#include <string>

// Port name, 1200 baud 8N1, nulls discarded, DTR on, RTS off, no flow control, every event.
void SetUpModemPort(TComPort& port, const std::string& name);
