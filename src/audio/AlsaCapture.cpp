#include "audio/AlsaCapture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>

namespace {

TPcmFormat PcmOf(const WAVEFORMATEX& f) {
    return {static_cast<int>(f.nSamplesPerSec), f.wBitsPerSample, f.nChannels};
}

// What the fan-out can convert running audio into.
bool Convertible(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.nChannels == 1 || f.nChannels == 2) &&
           (f.wBitsPerSample == 8 || f.wBitsPerSample == 16 || f.wBitsPerSample == 24 ||
            f.wBitsPerSample == 32) &&
           f.nSamplesPerSec >= 1000 && f.nSamplesPerSec <= 384000;
}

} // namespace

TAlsaCaptureDevice& AlsaCaptureDevice(const std::string& name) {
    static std::mutex lock;
    // Never destroyed: a buffer may still be started when the program ends.
    static auto* devices = new std::map<std::string, std::unique_ptr<TAlsaCaptureDevice>>;
    std::lock_guard<std::mutex> guard(lock);
    auto& device = (*devices)[name];
    if (!device)
        device = std::make_unique<TAlsaCaptureDevice>(name);
    return *device;
}

TAlsaCaptureDevice::~TAlsaCaptureDevice() {
    std::lock_guard<std::mutex> guard(FControl);
    if (FThread.joinable()) {
        FStop = true;
        FThread.join();
    }
    if (FPcm)
        Alsa().snd_pcm_close(FPcm);
}

bool TAlsaCaptureDevice::IsOpen() {
    std::lock_guard<std::mutex> guard(FControl);
    return FPcm != nullptr;
}

bool TAlsaCaptureDevice::Accepts(const WAVEFORMATEX& format) {
    std::lock_guard<std::mutex> guard(FControl);
    if (FPcm)
        return Convertible(format);
    WAVEFORMATEX actual{};
    snd_pcm_uframes_t period = 0;
    int error = 0;
    snd_pcm_t* pcm = OpenAlsaPcm(FName.c_str(), SND_PCM_STREAM_CAPTURE, format, true, actual, period, error);
    if (!pcm)
        return false;
    Alsa().snd_pcm_close(pcm);
    return true;
}

int32_t TAlsaCaptureDevice::Attach(TAlsaCaptureBuffer* buffer) {
    std::lock_guard<std::mutex> control(FControl);
    if (!FPcm) {
        // The first buffer chooses the device's format; the device's nearest will do, the
        // fan-out converts.
        const TAlsaApi& api = Alsa();
        int error = 0;
        FPcm = OpenAlsaPcm(FName.c_str(), SND_PCM_STREAM_CAPTURE, buffer->Format(), true, FFormat, FPeriod,
                           error);
        if (!FPcm)
            return error == -EBUSY ? DSERR_ALLOCATED : DSERR_BADFORMAT;
        // A device that will not start would look like a silent line: that is a failure.
        if (api.snd_pcm_start(FPcm) < 0) {
            api.snd_pcm_close(FPcm);
            FPcm = nullptr;
            return DSERR_GENERIC;
        }
    }
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (std::find(FBuffers.begin(), FBuffers.end(), buffer) == FBuffers.end())
            FBuffers.push_back(buffer);
    }
    // The device thread starts only now: the first audio must not go to nobody.
    if (!FThread.joinable()) {
        FStop = false;
        FThread = std::thread(&TAlsaCaptureDevice::Run, this);
    }
    return DS_OK;
}

void TAlsaCaptureDevice::Detach(TAlsaCaptureBuffer* buffer) {
    std::lock_guard<std::mutex> control(FControl);
    bool last;
    {
        std::lock_guard<std::mutex> guard(FLock);
        FBuffers.erase(std::remove(FBuffers.begin(), FBuffers.end(), buffer), FBuffers.end());
        last = FBuffers.empty();
    }
    if (!last || !FPcm)
        return;
    FStop = true;
    if (FThread.joinable())
        FThread.join();
    Alsa().snd_pcm_drop(FPcm);
    Alsa().snd_pcm_close(FPcm);
    FPcm = nullptr;
}

void TAlsaCaptureDevice::Run() {
    const TAlsaApi& api = Alsa();
    const auto start = std::chrono::steady_clock::now();
    const int64_t rate = FFormat.nSamplesPerSec;
    const TPcmFormat format = PcmOf(FFormat);
    int64_t frames = 0;
    std::vector<uint8_t> chunk(FPeriod * FFormat.nBlockAlign);
    while (!FStop) {
        // A device that delivers faster than real time (ALSA's null and file plugins) would
        // lap the readers at once; hold it to the wall clock, with room for a fast card.
        const int64_t elapsedUs =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
                .count();
        const int64_t allowed = rate + elapsedUs * rate / 1000000 * 101 / 100;
        if (frames >= allowed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const int ready = api.snd_pcm_wait(FPcm, 50);
        if (ready == 0)
            continue;
        const snd_pcm_sframes_t n = ready < 0 ? ready : api.snd_pcm_readi(FPcm, chunk.data(), FPeriod);
        if (n == -EAGAIN)
            continue;
        if (n < 0) {
            // Overrun or suspend: recover; a device that is gone is waited on, not spun on.
            if (api.snd_pcm_recover(FPcm, static_cast<int>(n), 1) < 0 || api.snd_pcm_start(FPcm) < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        // The last frame read was captured as long ago as the device still holds frames.
        snd_pcm_sframes_t held = 0;
        if (api.snd_pcm_delay(FPcm, &held) < 0 || held < 0)
            held = 0;
        const auto at = std::chrono::steady_clock::now() - std::chrono::microseconds(held * 1000000 / rate);
        {
            std::lock_guard<std::mutex> guard(FLock);
            for (TAlsaCaptureBuffer* buffer : FBuffers)
                buffer->Feed(chunk.data(), static_cast<size_t>(n), format, at);
        }
        frames += n;
    }
}

// ---- TAlsaCaptureBuffer

TAlsaCaptureBuffer::TAlsaCaptureBuffer(TAlsaCaptureDevice& device, const WAVEFORMATEX& format, uint32_t bytes)
    : TLoopBuffer(bytes), FDevice(device), FWave(format), FFormat(PcmOf(format)) {}

TAlsaCaptureBuffer::~TAlsaCaptureBuffer() {
    Stop();
}

int32_t TAlsaCaptureBuffer::Start(uint32_t) {
    if (FStarted)
        return DS_OK;
    const int32_t result = FDevice.Attach(this);
    FStarted = result == DS_OK;
    return result;
}

int32_t TAlsaCaptureBuffer::Stop() {
    if (FStarted) {
        FStarted = false;
        FDevice.Detach(this);
    }
    return DS_OK;
}

void TAlsaCaptureBuffer::Feed(const uint8_t* frames, size_t count, const TPcmFormat& deviceFormat,
                              std::chrono::steady_clock::time_point at) {
    if (deviceFormat == FFormat) {
        Append(frames, count * static_cast<size_t>(FFormat.FrameBytes()), at);
        return;
    }
    if (!FConverter || !(FConverter->Source() == deviceFormat))
        FConverter = std::make_unique<TPcmConverter>(deviceFormat, FFormat);
    FScratch.clear();
    FConverter->Convert(frames, count, FScratch);
    Append(FScratch.data(), FScratch.size(), at);
}
