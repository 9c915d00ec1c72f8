// The capture device list and the two entry points of the capture service that may fail for
// want of the sound library.
#pragma once

#include "audio/SoundService.h"
#include "toolkit/Exception.h"
#include "toolkit/OwnedList.h"

#include <memory>
#include <string>

// "Necessary since DirectX 5": the capture service cannot be reached.
class EDirectXError : public Exception {
public:
    using Exception::Exception;
};

// One capture device. GuidPtr is null for the default device, else it points at GuidValue.
class TDirectXDriver {
public:
    const TDeviceGuid* GuidPtr = nullptr;
    TDeviceGuid GuidValue;
    std::string Description;
    std::string ModuleName;
};

class TDirectXDrivers {
public:
    int Count() const { return FItems.Count(); }
    TDirectXDriver& Items(int index) const { return FItems.Items(index); }
    TDirectXDriver& Add() { return FItems.Emplace(); }

private:
    TOwnedList<TDirectXDriver> FItems;
};

// Result of the backend's capture-object creation; the library failing raises EDirectXError.
int32_t CreateSoundCapture(const TDeviceGuid* guid, std::unique_ptr<ISoundCapture>& capture);
int32_t EnumerateCaptureDrivers(TCaptureEnumCallback callback, void* context);
// Enumeration callback: appends a driver to the TDirectXDrivers passed as context.
bool AddCaptureDriver(const TDeviceGuid* guid, const char* description, const char* moduleName,
                      void* context);

// The shared device list, built on first request; a failed build leaves none and raises.
TDirectXDrivers& SharedCaptureDrivers();
// Drops the shared list so the next request enumerates again (for tests that switch backends).
void ResetCaptureDrivers();
