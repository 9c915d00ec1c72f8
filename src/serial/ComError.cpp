#include "serial/ComError.h"

#include "toolkit/StringUtils.h"

#include <cstring>

const char* const PortErrorMessages[25] = {"",
                                           "Unable to open com port",
                                           "WriteFile function failed",
                                           "ReadFile function failed",
                                           "Invalid Async parameter",
                                           "PurgeComm function failed",
                                           "Unable to get async status",
                                           "SetCommState function failed",
                                           "SetCommTimeouts failed",
                                           "SetupComm function failed",
                                           "ClearCommError function failed",
                                           "GetCommModemStatus function failed",
                                           "EscapeCommFunction function failed",
                                           "TransmitCommChar function failed",
                                           "Cannot set property while connected",
                                           "EnumPorts function failed",
                                           "Failed to store settings",
                                           "Failed to load settings",
                                           "Link (un)registration failed",
                                           "Cannot change led state if ComPort is selected",
                                           "Cannot wait for event if event thread is created",
                                           "WaitForEvent method failed",
                                           "A component is linked to OnRxBuf event",
                                           "Registry error",
                                           "Port Not Open"};

const int BaudRateValues[16] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

const char* PortErrorMessage(int code) {
    if (code < 1 || code > 24)
        return "";
    return PortErrorMessages[code];
}

namespace {

std::string MessageFor(int code, int64_t osError, const std::string& devicePath) {
    std::string text = PortErrorMessage(code);
    if (osError > 0)
        text += Format(" (Error: %d)", static_cast<int32_t>(static_cast<uint32_t>(osError)));
    if (!devicePath.empty()) {
        text += ": " + devicePath;
        if (osError > 0)
            text += std::string(": ") + std::strerror(static_cast<int>(osError));
    }
    return text;
}

} // namespace

EComPort::EComPort(int code, int64_t osError, const std::string& devicePath)
    : Exception(MessageFor(code, osError, devicePath)),
      OsError(osError > 0 ? static_cast<int32_t>(static_cast<uint32_t>(osError)) : -1), PortErrorCode(code),
      DevicePath(devicePath) {}
