#include "audio/WaveRepair.h"

#include "toolkit/StringUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutU32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// One recording opened for mending; every failure names the file and what was being done.
class TWaveFixer {
public:
    TWaveFixer(const std::string& path, const char* action) : FPath(path), FAction(action) {
        FHandle = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (FHandle < 0)
            Fail(std::strerror(errno));
        ReadLayout();
    }
    ~TWaveFixer() {
        if (FHandle >= 0)
            ::close(FHandle);
    }
    TWaveFixer(const TWaveFixer&) = delete;
    TWaveFixer& operator=(const TWaveFixer&) = delete;

    int64_t FrameBytes() const { return FFormat.nBlockAlign; }
    int64_t AudioOnDisk() const { return (FFileSize - FDataStart) / FrameBytes() * FrameBytes(); }
    double Seconds(int64_t audio) const {
        return static_cast<double>(audio / FrameBytes()) / static_cast<double>(FFormat.nSamplesPerSec);
    }

    // The file ends after audio bytes of sample data, and the header says so, on disk.
    void SetAudio(int64_t audio) {
        if (FDataStart + audio > 0xFFFFFFFFll)
            Fail("too long for a WAVE file");
        if (FDataStart + audio != FFileSize && ::ftruncate(FHandle, FDataStart + audio) != 0)
            Fail(std::strerror(errno));
        uint8_t riff[4], data[4];
        PutU32(riff, static_cast<uint32_t>(FDataStart + audio - 8));
        PutU32(data, static_cast<uint32_t>(audio));
        if (::pwrite(FHandle, riff, 4, 4) != 4 || ::pwrite(FHandle, data, 4, FDataStart - 4) != 4)
            Fail(std::strerror(errno));
        if (::fsync(FHandle) != 0)
            Fail(std::strerror(errno));
    }

private:
    [[noreturn]] void Fail(const std::string& reason) const {
        throw EWaveStreamError(Format("Cannot %s %s: %s", FAction, FPath.c_str(), reason.c_str()));
    }

    void ReadExactly(void* buffer, size_t count, int64_t offset, const char* missing) const {
        const ssize_t n = ::pread(FHandle, buffer, count, offset);
        if (n < 0)
            Fail(std::strerror(errno));
        if (static_cast<size_t>(n) != count)
            Fail(missing);
    }

    void ReadLayout() {
        struct stat info {};
        if (::fstat(FHandle, &info) != 0)
            Fail(std::strerror(errno));
        if (!S_ISREG(info.st_mode))
            Fail("not a regular file");
        FFileSize = info.st_size;
        uint8_t head[12];
        ReadExactly(head, sizeof head, 0, "not a RIFF WAVE file");
        if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
            Fail("not a RIFF WAVE file");
        // The data chunk is the last one in our recordings: everything after its header is
        // audio, whatever its size field says. Chunks before it are skipped by their sizes.
        bool haveFormat = false;
        for (int64_t at = 12;;) {
            uint8_t chunk[8];
            ReadExactly(chunk, sizeof chunk, at, "no data chunk");
            const int64_t size = GetU32(chunk + 4);
            if (std::memcmp(chunk, "data", 4) == 0) {
                if (!haveFormat)
                    Fail("no format chunk before the data");
                FDataStart = at + 8;
                return;
            }
            if (std::memcmp(chunk, "fmt ", 4) == 0) {
                if (size < 16)
                    Fail("format chunk too short");
                uint8_t format[sizeof(WAVEFORMATEX)] = {};
                ReadExactly(format, 16, at + 8, "format chunk cut short");
                std::memcpy(&FFormat, format, sizeof FFormat);
                CheckPcm();
                haveFormat = true;
            }
            at += 8 + size + (size & 1);
        }
    }

    void CheckPcm() const {
        const WAVEFORMATEX& f = FFormat;
        if (f.wFormatTag != WAVE_FORMAT_PCM)
            Fail(Format("format %u is not PCM", f.wFormatTag));
        if (f.nChannels == 0 || f.nSamplesPerSec == 0 || f.wBitsPerSample == 0 || f.wBitsPerSample % 8 != 0 ||
            f.nBlockAlign != f.nChannels * (f.wBitsPerSample / 8))
            Fail("PCM format fields do not agree");
    }

    std::string FPath;
    const char* FAction;
    int FHandle = -1;
    int64_t FFileSize = 0;
    int64_t FDataStart = 0;
    WAVEFORMATEX FFormat{};
};

} // namespace

double RepairWaveFile(const std::string& path) {
    TWaveFixer wave(path, "repair");
    const int64_t audio = wave.AudioOnDisk();
    wave.SetAudio(audio);
    return wave.Seconds(audio);
}

int64_t TruncateWaveFile(const std::string& path, int64_t dataBytes) {
    TWaveFixer wave(path, "truncate");
    const int64_t wanted = std::max<int64_t>(dataBytes, 0) / wave.FrameBytes() * wave.FrameBytes();
    const int64_t audio = std::min(wanted, wave.AudioOnDisk());
    wave.SetAudio(audio);
    return audio;
}
