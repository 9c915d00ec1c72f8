// The voice modem as the box's sound device ([sound] driver = modem): capture buffers fed with
// the caller's audio the session receives, and prompts played over the session. Installed with
// SetSoundBackend, it takes the place of the sound card without the call flow knowing.
#pragma once

#include "audio/LoopBuffer.h"
#include "audio/PcmConverter.h"
#include "audio/SoundService.h"
#include "audio/VoiceModemSession.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TVoiceModemSound : public ISoundBackend {
public:
    static constexpr const char* DeviceId = "modem";

    explicit TVoiceModemSound(TVoiceModemSession& session) : FSession(session) {}

    std::string Name() const override { return "modem"; }
    int32_t EnumerateCapture(TCaptureEnumCallback callback, void* context) override;
    int32_t CreateCapture(const TDeviceGuid* guid, std::unique_ptr<ISoundCapture>& capture) override;
    int32_t CheckPlayback(const WAVEFORMATEX& format) override;
    int32_t Play(const WAVEFORMATEX& format, const void* data, uint32_t bytes,
                 const std::atomic<bool>& cancel) override;

    // What the last failed Play met, for the box's event line.
    std::string LastError();

    // The capture formats the modem gives: 8000 Hz mono, 8 or 16 bit (every offered coding is
    // turned into either).
    static bool AcceptsCapture(const WAVEFORMATEX& format);

    TVoiceModemSession& Session() { return FSession; }

private:
    TVoiceModemSession& FSession;
    std::mutex FErrorLock;
    std::string FLastError;
};

// A looping capture buffer the session feeds while it is started.
class TVoiceModemCaptureBuffer : public TLoopBuffer, public IVoiceSink {
public:
    TVoiceModemCaptureBuffer(TVoiceModemSession& session, const WAVEFORMATEX& format, uint32_t bytes);
    ~TVoiceModemCaptureBuffer() override;
    int32_t Start(uint32_t flags) override;
    int32_t Stop() override;
    void VoiceSamples(const int16_t* samples, size_t count) override;

private:
    TVoiceModemSession& FSession;
    TPcmConverter FConverter;
    std::vector<uint8_t> FScratch;
    bool FStarted = false;
};
