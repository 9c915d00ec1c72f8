// The port's line settings as one record for the tty driver, built by a pure function so that
// the mapping can be checked without a device, and applied to an open tty in one step.
#pragma once

#include <cstdint>

class TCustomComPort;

struct TComLineSettings {
    // termios in raw mode; CFlag carries no speed bits.
    uint32_t IFlag = 0;
    uint32_t OFlag = 0;
    uint32_t CFlag = 0;
    uint32_t LFlag = 0;
    uint8_t StartChar = 17; // VSTART
    uint8_t StopChar = 19;  // VSTOP
    int32_t BaudRate = 9600;
    // The termios speed code of a standard rate; 0 when the rate needs the arbitrary-rate call.
    uint32_t SpeedCode = 0;
    bool DTR = false; // raise (true) or lower the line
    bool RTS = false;
    // Done by the port's receive path.
    bool DiscardNull = false;
    uint8_t EventChar = 0;
    // Kept for drivers that know them; termios has no equivalent.
    bool OutDSRFlow = false;
    bool DSRSensitivity = false;
    bool TxContinueOnXoff = false;
    bool ReplaceErrors = false;
    uint8_t ErrorChar = 0;
    int32_t XonLim = 0;
    int32_t XoffLim = 0;
};

TComLineSettings MakeLineSettings(const TCustomComPort& port);

// Applies the record to an open tty: termios (standard or arbitrary rate), then DTR and RTS
// where the device has modem lines. Returns 0 or the errno of the failed call.
int ApplyLineSettingsToDevice(int fd, const TComLineSettings& settings);

// The output rate the tty driver keeps for fd in bit/s, or -1 with errno set.
int DeviceBaudRate(int fd);
