#include "audio/SimSoundCard.h"

#include "audio/CaptureFormats.h"
#include "audio/PlaybackReference.h"
#include "toolkit/Exception.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto TickLength = std::chrono::milliseconds(10);

std::string EnvText(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool IsPcmWave(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.nChannels == 1 || f.nChannels == 2) &&
           (f.wBitsPerSample == 8 || f.wBitsPerSample == 16 || f.wBitsPerSample == 24 ||
            f.wBitsPerSample == 32) &&
           f.nSamplesPerSec > 0 && f.nSamplesPerSec <= 1000000 &&
           f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
}

// Writes all bytes; a reader that went away (EPIPE) ends the output without killing the
// process with SIGPIPE. Returns false when the output is gone.
bool WriteAll(int handle, const uint8_t* data, size_t count) {
    sigset_t pipeSignal, old;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
    bool ok = true;
    while (count > 0) {
        const ssize_t n = ::write(handle, data, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            if (errno == EPIPE) {
                const timespec zero{0, 0};
                sigtimedwait(&pipeSignal, nullptr, &zero);
            }
            break;
        }
        data += n;
        count -= static_cast<size_t>(n);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

// Opens the playback output: a FIFO only when a reader is there (else nothing is written), any
// other path is created or appended to.
int OpenPlaybackOutput(const std::string& path) {
    if (path.empty())
        return -1;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) {
        const int handle = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (handle >= 0)
            ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) & ~O_NONBLOCK);
        return handle;
    }
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
}

} // namespace

// ---- TSimCaptureSource

TSimCaptureSource::TSimCaptureSource(const std::string& path) {
    if (path.empty())
        return;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return;
    if (S_ISFIFO(info.st_mode)) {
        // Non-blocking: no writer yet, or a writer gone, reads as "nothing now".
        FHandle = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        FIsFifo = FHandle >= 0;
        return;
    }
    try {
        TFileStream file(path, fmOpenRead | fmShareDenyNone);
        FEnd = file.Size();
        try {
            TWaveStream wave(&file);
            wave.OpenWave(false);
            const WAVEFORMATEX* f = wave.GetWaveFormat();
            if (f && wave.GetWaveFormatSize() >= 16 && IsPcmWave(*f)) {
                FFormat = {static_cast<int>(f->nSamplesPerSec), f->wBitsPerSample, f->nChannels};
                FOffset = wave.DataStart();
                FEnd = FOffset + wave.GetDataSize();
            }
        } catch (const Exception&) {
            // Not a wave file: raw 8 kHz 16-bit mono samples.
        }
    } catch (const Exception&) {
        return;
    }
    FHandle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

TSimCaptureSource::~TSimCaptureSource() {
    if (FHandle >= 0)
        ::close(FHandle);
}

size_t TSimCaptureSource::ReadFrames(size_t frames, std::vector<uint8_t>& out) {
    if (FHandle < 0 || frames == 0)
        return 0;
    const size_t frameBytes = static_cast<size_t>(FFormat.FrameBytes());
    if (!FIsFifo) {
        const int64_t left = (FEnd - FOffset) / static_cast<int64_t>(frameBytes);
        const size_t n = std::min<size_t>(frames, static_cast<size_t>(std::max<int64_t>(left, 0)));
        if (n == 0)
            return 0;
        const size_t start = out.size();
        out.resize(start + n * frameBytes);
        const ssize_t got = ::pread(FHandle, out.data() + start, n * frameBytes, FOffset);
        const size_t whole = got > 0 ? static_cast<size_t>(got) / frameBytes : 0;
        out.resize(start + whole * frameBytes);
        FOffset += static_cast<int64_t>(whole * frameBytes);
        if (whole == 0)
            FOffset = FEnd; // the file shrank: nothing more to come
        return whole;
    }
    // FIFO: take what has arrived, never more than is due, keeping a split frame for later.
    const size_t wanted = frames * frameBytes - FPartial.size();
    std::vector<uint8_t> chunk(wanted);
    ssize_t got;
    do
        got = ::read(FHandle, chunk.data(), wanted);
    while (got < 0 && errno == EINTR);
    if (got > 0)
        FPartial.insert(FPartial.end(), chunk.begin(), chunk.begin() + got);
    const size_t whole = FPartial.size() / frameBytes;
    out.insert(out.end(), FPartial.begin(), FPartial.begin() + static_cast<ptrdiff_t>(whole * frameBytes));
    FPartial.erase(FPartial.begin(), FPartial.begin() + static_cast<ptrdiff_t>(whole * frameBytes));
    return whole;
}

// ---- TSimCaptureBuffer

namespace {
class TSimCapture : public ISoundCapture {
public:
    explicit TSimCapture(TSimSoundCard& card) : FCard(card) {}
    int32_t CreateCaptureBuffer(const DSCBUFFERDESC& description,
                                std::unique_ptr<ISoundCaptureBuffer>& buffer) override {
        buffer.reset();
        if (!description.lpwfxFormat || description.dwBufferBytes == 0)
            return DSERR_INVALIDPARAM;
        if (!TSimSoundCard::AcceptsCapture(*description.lpwfxFormat))
            return DSERR_BADFORMAT;
        buffer =
            std::make_unique<TSimCaptureBuffer>(FCard, *description.lpwfxFormat, description.dwBufferBytes);
        return DS_OK;
    }

private:
    TSimSoundCard& FCard;
};
} // namespace

TSimCaptureBuffer::TSimCaptureBuffer(TSimSoundCard& card, const WAVEFORMATEX& format, uint32_t bytes)
    : TLoopBuffer(bytes),
      FCard(card), FFormat{static_cast<int>(format.nSamplesPerSec), format.wBitsPerSample, format.nChannels} {
}

TSimCaptureBuffer::~TSimCaptureBuffer() {
    Stop();
}

int32_t TSimCaptureBuffer::Start(uint32_t) {
    if (!FStarted) {
        FStarted = true;
        FCard.Attach(this);
    }
    return DS_OK;
}

int32_t TSimCaptureBuffer::Stop() {
    if (FStarted) {
        FStarted = false;
        FCard.Detach(this);
    }
    return DS_OK;
}

void TSimCaptureBuffer::Feed(const std::vector<uint8_t>& sourceFrames, const TPcmFormat& sourceFormat,
                             std::chrono::steady_clock::time_point at) {
    if (!FConverter || !(FConverter->Source() == sourceFormat))
        FConverter = std::make_unique<TPcmConverter>(sourceFormat, FFormat);
    FScratch.clear();
    FConverter->Convert(sourceFrames.data(),
                        sourceFrames.size() / static_cast<size_t>(sourceFormat.FrameBytes()), FScratch);
    Append(FScratch.data(), FScratch.size(), at);
}

// ---- TSimSoundCard

TSimSoundCard::~TSimSoundCard() {
    std::unique_lock<std::mutex> lock(FLock);
    FStopping = true;
    FWake.notify_all();
    lock.unlock();
    if (FThread.joinable())
        FThread.join();
}

bool TSimSoundCard::AcceptsCapture(const WAVEFORMATEX& f) {
    if (f.wFormatTag != WAVE_FORMAT_PCM || (f.nChannels != 1 && f.nChannels != 2) ||
        (f.wBitsPerSample != 8 && f.wBitsPerSample != 16) ||
        f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8)
        return false;
    if (std::find(std::begin(ProbeRates), std::end(ProbeRates), static_cast<int>(f.nSamplesPerSec)) ==
        std::end(ProbeRates))
        return false;
    // LUMISK_SIM_RATES (say "44100,48000") plays a card that offers only those rates.
    const std::string rates = EnvText("LUMISK_SIM_RATES");
    if (rates.empty())
        return true;
    const std::string wanted = std::to_string(f.nSamplesPerSec);
    for (std::size_t at = 0; at <= rates.size();) {
        const std::size_t end = std::min(rates.find(',', at), rates.size());
        if (rates.compare(at, end - at, wanted) == 0)
            return true;
        at = end + 1;
    }
    return false;
}

int32_t TSimSoundCard::EnumerateCapture(TCaptureEnumCallback callback, void* context) {
    if (!callback(nullptr, "Primary Sound Capture Driver", "", context))
        return DS_OK;
    const TDeviceGuid id = "sim";
    callback(&id, "Lumisk simulated sound card", "sim", context);
    return DS_OK;
}

int32_t TSimSoundCard::CreateCapture(const TDeviceGuid* guid, std::unique_ptr<ISoundCapture>& capture) {
    capture.reset();
    if (guid && *guid != "sim")
        return DSERR_NODRIVER;
    capture = std::make_unique<TSimCapture>(*this);
    return DS_OK;
}

void TSimSoundCard::Attach(TSimCaptureBuffer* buffer) {
    std::unique_lock<std::mutex> lock(FLock);
    FBuffers.push_back(buffer);
    if (FBuffers.size() == 1) {
        // First buffer: (re)start the device. An earlier run may still be finishing.
        if (FThread.joinable()) {
            FStopping = true;
            FWake.notify_all();
            lock.unlock();
            FThread.join();
            lock.lock();
        }
        FStopping = false;
        FThread = std::thread(&TSimSoundCard::Run, this);
    }
}

void TSimSoundCard::Detach(TSimCaptureBuffer* buffer) {
    std::thread finished;
    {
        std::lock_guard<std::mutex> guard(FLock);
        FBuffers.erase(std::remove(FBuffers.begin(), FBuffers.end(), buffer), FBuffers.end());
        if (FBuffers.empty() && FThread.joinable()) {
            FStopping = true;
            FWake.notify_all();
            finished = std::move(FThread);
        }
    }
    if (finished.joinable())
        finished.join();
}

int TSimSoundCard::AttachedCount() {
    std::lock_guard<std::mutex> guard(FLock);
    return static_cast<int>(FBuffers.size());
}

void TSimSoundCard::Run() {
    TSimCaptureSource source(SoundSettings().Capture);
    const TPcmFormat format = source.Format();
    const size_t frameBytes = static_cast<size_t>(format.FrameBytes());
    const uint8_t silence = SilenceByte(format.Bits);
    const auto start = Clock::now();
    int64_t produced = 0;
    std::vector<uint8_t> frames;
    std::unique_lock<std::mutex> lock(FLock);
    while (!FStopping) {
        FWake.wait_for(lock, TickLength, [this] { return FStopping; });
        if (FStopping)
            break;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        const int64_t due = elapsed * format.Rate / 1000000 - produced;
        if (due <= 0)
            continue;
        lock.unlock();
        frames.clear();
        const size_t got = source.ReadFrames(static_cast<size_t>(due), frames);
        frames.resize(static_cast<size_t>(due) * frameBytes, silence);
        (void)got;
        lock.lock();
        produced += due;
        // These frames are the card's input up to this instant of its own time line.
        const auto at = start + std::chrono::microseconds(produced * 1000000 / format.Rate);
        for (TSimCaptureBuffer* buffer : FBuffers)
            buffer->Feed(frames, format, at);
    }
}

int32_t TSimSoundCard::CheckPlayback(const WAVEFORMATEX& format) {
    return IsPcmWave(format) ? MCIERR_NONE : MCIERR_INVALID_FILE;
}

int32_t TSimSoundCard::Play(const WAVEFORMATEX& format, const void* data, uint32_t bytes,
                            const std::atomic<bool>& cancel) {
    if (!IsPcmWave(format))
        return MCIERR_INVALID_FILE;
    std::lock_guard<std::mutex> guard(FPlaybackLock);
    const TPcmFormat source{static_cast<int>(format.nSamplesPerSec), format.wBitsPerSample, format.nChannels};
    const TPcmFormat heard{8000, 16, 1};
    TPcmConverter converter(source, heard);
    std::vector<uint8_t> out;
    const size_t frames = bytes / format.nBlockAlign;
    converter.Convert(static_cast<const uint8_t*>(data), frames, out);
    converter.Flush(out);

    int handle = OpenPlaybackOutput(SoundSettings().Playback);
    const size_t chunkBytes = 8000 * 2 * PlaybackPartMs / 1000;
    auto start = Clock::now();
    const auto length =
        std::chrono::microseconds(static_cast<int64_t>(frames) * 1000000 / format.nSamplesPerSec);
    TPlaybackReference* reference = PlaybackReference();
    std::vector<int16_t> chunk;
    for (size_t offset = 0, k = 0; offset < out.size() && !cancel; offset += chunkBytes, ++k) {
        auto due = start + std::chrono::milliseconds(PlaybackPartMs) * k;
        std::this_thread::sleep_until(due);
        bool follows = k > 0;
        const auto late = Clock::now() - due;
        if (follows && late > std::chrono::milliseconds(UnderrunMs)) {
            // This thread was held up past what the output holds: the rest is heard later.
            start += late;
            due += late;
            follows = false;
        }
        if (reference) {
            // Heard from its due instant on: the parts of a sound follow one another exactly.
            const size_t count = std::min(chunkBytes, out.size() - offset) / 2;
            chunk.resize(count);
            for (size_t i = 0; i < count; ++i)
                chunk[i] = TPcmConverter::DecodeSample(&out[offset + 2 * i], 16);
            reference->Played(due, chunk, follows);
        }
        if (handle >= 0 &&
            !WriteAll(handle, out.data() + offset, std::min(chunkBytes, out.size() - offset))) {
            ::close(handle);
            handle = -1;
        }
    }
    // The last chunk is heard to its end before the call returns.
    while (!cancel && Clock::now() < start + length)
        std::this_thread::sleep_until(std::min(start + length, Clock::now() + std::chrono::milliseconds(20)));
    if (handle >= 0)
        ::close(handle);
    return MCIERR_NONE;
}

TSimSoundCard& SimSoundCard() {
    static TSimSoundCard card;
    return card;
}
