#include "audio/VoiceModemSound.h"

namespace {

constexpr TPcmFormat ModemAudio{8000, 16, 1};

bool IsPcm(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.nChannels == 1 || f.nChannels == 2) &&
           (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) && f.nSamplesPerSec >= 1000 &&
           f.nSamplesPerSec <= 384000 && f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
}

class TVoiceModemCapture : public ISoundCapture {
public:
    explicit TVoiceModemCapture(TVoiceModemSession& session) : FSession(session) {}
    int32_t CreateCaptureBuffer(const DSCBUFFERDESC& description,
                                std::unique_ptr<ISoundCaptureBuffer>& buffer) override {
        buffer.reset();
        if (!description.lpwfxFormat || description.dwBufferBytes == 0)
            return DSERR_INVALIDPARAM;
        if (!TVoiceModemSound::AcceptsCapture(*description.lpwfxFormat))
            return DSERR_BADFORMAT;
        buffer = std::make_unique<TVoiceModemCaptureBuffer>(FSession, *description.lpwfxFormat,
                                                            description.dwBufferBytes);
        return DS_OK;
    }

private:
    TVoiceModemSession& FSession;
};

} // namespace

bool TVoiceModemSound::AcceptsCapture(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && f.nChannels == 1 && f.nSamplesPerSec == 8000 &&
           (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) && f.nBlockAlign == f.wBitsPerSample / 8;
}

int32_t TVoiceModemSound::EnumerateCapture(TCaptureEnumCallback callback, void* context) {
    if (!callback(nullptr, "Primary Sound Capture Driver", "", context))
        return DS_OK;
    const TDeviceGuid id = DeviceId;
    const std::string description =
        "Voice modem" + (FSession.Started() ? " (" + FSession.Format().Name + ")" : std::string());
    callback(&id, description.c_str(), DeviceId, context);
    return DS_OK;
}

int32_t TVoiceModemSound::CreateCapture(const TDeviceGuid* guid, std::unique_ptr<ISoundCapture>& capture) {
    capture.reset();
    if (guid && *guid != DeviceId)
        return DSERR_NODRIVER;
    capture = std::make_unique<TVoiceModemCapture>(FSession);
    return DS_OK;
}

int32_t TVoiceModemSound::CheckPlayback(const WAVEFORMATEX& format) {
    if (!IsPcm(format))
        return MCIERR_INVALID_FILE;
    return FSession.Started() ? MCIERR_NONE : MCIERR_NO_PLAYBACK_DEVICE;
}

int32_t TVoiceModemSound::Play(const WAVEFORMATEX& format, const void* data, uint32_t bytes,
                               const std::atomic<bool>& cancel) {
    if (!IsPcm(format))
        return MCIERR_INVALID_FILE;
    const TPcmFormat source{static_cast<int>(format.nSamplesPerSec), format.wBitsPerSample, format.nChannels};
    TPcmConverter converter(source, ModemAudio);
    std::vector<uint8_t> line;
    converter.Convert(static_cast<const uint8_t*>(data), bytes / format.nBlockAlign, line);
    converter.Flush(line);
    std::vector<int16_t> samples(line.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(line[2 * i] | (line[2 * i + 1] << 8));
    try {
        FSession.Play(samples.data(), samples.size(), cancel);
    } catch (const Exception& e) {
        std::lock_guard<std::mutex> guard(FErrorLock);
        FLastError = e.Message();
        return MCIERR_PLAYBACK_FAILED;
    }
    return MCIERR_NONE;
}

std::string TVoiceModemSound::LastError() {
    std::lock_guard<std::mutex> guard(FErrorLock);
    return FLastError;
}

TVoiceModemCaptureBuffer::TVoiceModemCaptureBuffer(TVoiceModemSession& session, const WAVEFORMATEX& format,
                                                   uint32_t bytes)
    : TLoopBuffer(bytes), FSession(session),
      FConverter(ModemAudio, TPcmFormat{static_cast<int>(format.nSamplesPerSec), format.wBitsPerSample,
                                        format.nChannels}) {}

TVoiceModemCaptureBuffer::~TVoiceModemCaptureBuffer() {
    Stop();
}

int32_t TVoiceModemCaptureBuffer::Start(uint32_t) {
    if (FStarted)
        return DS_OK;
    try {
        FSession.AddSink(this);
    } catch (const Exception&) {
        // Added, but the modem would not listen: the buffer stays silent until the next call.
    }
    FStarted = true;
    return DS_OK;
}

int32_t TVoiceModemCaptureBuffer::Stop() {
    if (FStarted) {
        FStarted = false;
        FSession.RemoveSink(this);
    }
    return DS_OK;
}

void TVoiceModemCaptureBuffer::VoiceSamples(const int16_t* samples, size_t count) {
    FScratch.clear();
    FConverter.Convert(reinterpret_cast<const uint8_t*>(samples), count, FScratch);
    Append(FScratch.data(), FScratch.size());
}
