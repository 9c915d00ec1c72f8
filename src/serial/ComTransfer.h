// One transfer of the serial port: what a started read or write has done so far and what ends
// it (count, time, abort). The port's BeginWrite/BeginRead start one, WaitForRequest finishes it.
#pragma once

#include <chrono>
#include <cstdint>

enum : uint8_t { opWrite = 0, opRead = 1 };

// One transfer: started by BeginWrite/BeginRead, finished by WaitForRequest.
struct TPortRequest {
    int Event = -1; // eventfd, signalled when the transfer is aborted
    uint8_t Operation = opWrite;

    // Progress of the started transfer.
    bool Started = false;
    bool Complete = true;
    int Error = 0; // errno that ended it, 0 on success
    uint8_t* ReadInto = nullptr;
    const uint8_t* WriteFrom = nullptr;
    int Count = 0;
    int Done = 0;
    bool ReturnAtOnce = false;   // read: return what is queued, never wait
    bool EndOnFirstByte = false; // read: return as soon as anything arrived
    bool HasDeadline = false;
    std::chrono::steady_clock::time_point Deadline;
    uint32_t Interval = 0; // read: longest gap between two bytes, 0 for none
    std::chrono::steady_clock::time_point LastByte;
};
