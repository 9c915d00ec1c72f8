#include "audio/CaptureDrivers.h"

namespace {

const char* const SDirectXNeeded = "Necessary since DirectX 5";

std::unique_ptr<TDirectXDrivers>& SharedList() {
    static std::unique_ptr<TDirectXDrivers> list;
    return list;
}

} // namespace

int32_t CreateSoundCapture(const TDeviceGuid* guid, std::unique_ptr<ISoundCapture>& capture) {
    capture.reset();
    try {
        return SoundBackend().CreateCapture(guid, capture);
    } catch (const Exception&) {
        throw EDirectXError(SDirectXNeeded);
    }
}

int32_t EnumerateCaptureDrivers(TCaptureEnumCallback callback, void* context) {
    try {
        return SoundBackend().EnumerateCapture(callback, context);
    } catch (const Exception&) {
        throw EDirectXError(SDirectXNeeded);
    }
}

bool AddCaptureDriver(const TDeviceGuid* guid, const char* description, const char* moduleName,
                      void* context) {
    TDirectXDriver& driver = static_cast<TDirectXDrivers*>(context)->Add();
    if (guid) {
        driver.GuidValue = *guid;
        driver.GuidPtr = &driver.GuidValue;
    }
    driver.Description = description ? description : "";
    driver.ModuleName = moduleName ? moduleName : "";
    return true;
}

TDirectXDrivers& SharedCaptureDrivers() {
    auto& shared = SharedList();
    if (!shared) {
        auto list = std::make_unique<TDirectXDrivers>();
        EnumerateCaptureDrivers(AddCaptureDriver, list.get());
        shared = std::move(list);
    }
    return *shared;
}

void ResetCaptureDrivers() {
    SharedList().reset();
}
