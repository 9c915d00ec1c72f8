// The media device layer under TMediaPlayer: numbered devices opened for a wave file, with the
// command interface the player speaks (open, play, seek, status, close) and its own error codes
// (the MCIERR_ values of SoundService.h) with texts.
#pragma once

#include "audio/SoundService.h" // the MCIERR_ codes

#include <cstdint>
#include <functional>
#include <string>

constexpr uint32_t MCI_OPEN = 0x803;
constexpr uint32_t MCI_CLOSE = 0x804;
constexpr uint32_t MCI_PLAY = 0x806;
constexpr uint32_t MCI_SEEK = 0x807;
constexpr uint32_t MCI_STATUS = 0x814;

constexpr uint32_t MCI_NOTIFY = 0x1;
constexpr uint32_t MCI_WAIT = 0x2;
constexpr uint32_t MCI_FROM = 0x4;
constexpr uint32_t MCI_TO = 0x8;
constexpr uint32_t MCI_OPEN_SHAREABLE = 0x100;
constexpr uint32_t MCI_OPEN_ELEMENT = 0x200;
constexpr uint32_t MCI_OPEN_TYPE = 0x2000;
constexpr uint32_t MCI_SEEK_TO_START = 0x100;
constexpr uint32_t MCI_STATUS_ITEM = 0x100;

constexpr uint32_t MCI_STATUS_LENGTH = 1;
constexpr uint32_t MCI_STATUS_POSITION = 2;
constexpr uint32_t MCI_STATUS_MODE = 4;
constexpr uint32_t MCI_MODE_STOP = 525;
constexpr uint32_t MCI_MODE_PLAY = 526;

// Completion values passed to a notify callback.
constexpr uint32_t MCI_NOTIFY_SUCCESSFUL = 1;
constexpr uint32_t MCI_NOTIFY_SUPERSEDED = 2;
constexpr uint32_t MCI_NOTIFY_ABORTED = 4;
constexpr uint32_t MCI_NOTIFY_FAILURE = 8;

// Called when a command sent with MCI_NOTIFY completes, on the thread where it completed.
using TMciCallback = std::function<void(uint32_t deviceId, uint32_t notifyValue)>;

struct MCI_GENERIC_PARMS {
    TMciCallback Callback;
};

struct MCI_OPEN_PARMS {
    TMciCallback Callback;
    uint32_t wDeviceID = 0; // filled in by MCI_OPEN
    std::string lpstrDeviceType;
    std::string lpstrElementName;
    std::string lpstrAlias;
};

// Positions are milliseconds.
struct MCI_PLAY_PARMS {
    TMciCallback Callback;
    uint32_t dwFrom = 0;
    uint32_t dwTo = 0;
};

struct MCI_SEEK_PARMS {
    TMciCallback Callback;
    uint32_t dwTo = 0;
};

struct MCI_STATUS_PARMS {
    TMciCallback Callback;
    uint32_t dwReturn = 0;
    uint32_t dwItem = 0;
};

// Returns 0 or an MCIERR_ code. MCI_PLAY without MCI_WAIT returns at once and plays on.
int32_t mciSendCommand(uint32_t deviceId, uint32_t command, uint32_t flags, void* params);

// False when the code has no text.
bool mciGetErrorString(int32_t error, std::string& text);
