// The serial port's error class and its fixed messages.
#pragma once

#include "serial/ComTypes.h"
#include "toolkit/Exception.h"

#include <cstdint>

// Messages by error code; PortErrorMessages[code] for codes 1..24 (entry 0 is empty so that the
// codes keep their numbers).
extern const char* const PortErrorMessages[25];

// Message of a code, or "" for a code outside 1..24.
const char* PortErrorMessage(int code);

class EComPort : public Exception {
public:
    // osError > 0: "<message> (Error: <osError>)" and OsError = its low 32 bits; otherwise the
    // bare message and OsError -1. With a device path, ": <path>" follows, and with osError > 0
    // the system's reason: "Unable to open com port (Error: 2): /dev/ttyACM0: No such file or
    // directory".
    EComPort(int code, int64_t osError, const std::string& devicePath = std::string());
    int OsError;
    int PortErrorCode;
    // The device the failure concerns; empty when the message names none.
    std::string DevicePath;
};
