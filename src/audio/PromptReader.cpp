#include "audio/PromptReader.h"

#include "audio/MciDevice.h"
#include "audio/SoundService.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A prompt is seconds long; anything far larger is not a prompt and is not read into memory.
constexpr int64_t MaxPromptBytes = 256LL * 1024 * 1024;

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
bool IsId(const uint8_t* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}
bool LooksLikeId(const uint8_t* p) {
    for (int i = 0; i < 4; ++i)
        if (p[i] < 0x20 || p[i] > 0x7E)
            return false;
    return true;
}

// The tail shared by the sub-format GUIDs of WAVE_FORMAT_EXTENSIBLE; the first two bytes are
// the plain format tag.
const uint8_t ExtensibleGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct TFormatChunk {
    uint16_t Tag = 0;
    uint16_t Channels = 0;
    uint32_t Rate = 0;
    uint16_t BlockAlign = 0;
    uint16_t Bits = 0;
};

bool ReadWholeFile(const std::string& fileName, std::vector<uint8_t>& data, std::string& reason) {
    const int handle = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0) {
        reason = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    struct stat info {};
    bool ok = ::fstat(handle, &info) == 0;
    if (ok && info.st_size > MaxPromptBytes) {
        reason = "file too large for a prompt";
        ok = false;
    }
    if (ok) {
        data.resize(static_cast<size_t>(info.st_size));
        size_t got = 0;
        while (got < data.size()) {
            const ssize_t n = ::read(handle, data.data() + got, data.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        data.resize(got); // a file that shrank meanwhile gives what was there
    } else if (reason.empty()) {
        reason = std::string("cannot be read: ") + std::strerror(errno);
    }
    ::close(handle);
    return ok;
}

// The next chunk after one of size bytes at offset. RIFF pads odd chunks to an even length;
// some writers do not, so an unpadded position that holds a chunk id where the padded one does
// not is taken instead.
size_t NextChunk(const std::vector<uint8_t>& file, size_t offset, uint32_t size) {
    const size_t unpadded = offset + 8 + size;
    if ((size & 1) == 0)
        return unpadded;
    const size_t padded = unpadded + 1;
    if (unpadded + 4 <= file.size() && LooksLikeId(&file[unpadded]) &&
        !(padded + 4 <= file.size() && LooksLikeId(&file[padded])))
        return unpadded;
    return padded;
}

std::string EncodingName(uint16_t tag) {
    switch (tag) {
    case 2:
        return "2 (MS ADPCM)";
    case 0x11:
        return "17 (IMA ADPCM)";
    case 0x31:
        return "49 (GSM 6.10)";
    case 0x55:
        return "85 (MP3)";
    default:
        return std::to_string(tag);
    }
}

// One sample of the given encoding and container width as 16-bit linear.
int16_t DecodeSample(const uint8_t* p, uint16_t tag, int bytes) {
    switch (tag) {
    case WAVE_FORMAT_ALAW:
        return DecodeALaw(p[0]);
    case WAVE_FORMAT_MULAW:
        return DecodeMuLaw(p[0]);
    case WAVE_FORMAT_IEEE_FLOAT: {
        double v;
        if (bytes == 4) {
            float f;
            std::memcpy(&f, p, 4);
            v = f;
        } else {
            std::memcpy(&v, p, 8);
        }
        if (!std::isfinite(v))
            return 0;
        return static_cast<int16_t>(std::lround(std::clamp(v, -1.0, 1.0) * 32767.0));
    }
    default: // PCM: 8-bit is unsigned, wider is signed; the top 16 bits are kept
        if (bytes == 1)
            return static_cast<int16_t>((p[0] - 128) * 256);
        return static_cast<int16_t>(p[bytes - 2] | p[bytes - 1] << 8);
    }
}

} // namespace

int32_t ReadPromptFile(const std::string& fileName, TWaveSound& sound, std::string& reason) {
    reason.clear();
    struct stat info {};
    if (fileName.empty() || ::stat(fileName.c_str(), &info) != 0) {
        reason = "file not found";
        return MCIERR_FILE_NOT_FOUND;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = "not a regular file";
        return MCIERR_FILE_NOT_FOUND;
    }
    std::vector<uint8_t> file;
    if (!ReadWholeFile(fileName, file, reason))
        return MCIERR_INVALID_FILE;
    if (file.size() < 12 || !IsId(&file[0], "RIFF") || !IsId(&file[8], "WAVE")) {
        reason = "not a RIFF WAVE file";
        return MCIERR_INVALID_FILE;
    }

    TFormatChunk format;
    bool haveFormat = false, haveData = false;
    size_t dataStart = 0, dataBytes = 0;
    for (size_t offset = 12; offset + 8 <= file.size();) {
        const uint8_t* header = &file[offset];
        const uint32_t size = U32(header + 4);
        const size_t body = offset + 8;
        const size_t available = file.size() - body;
        if (IsId(header, "data")) {
            haveData = true;
            dataStart = body;
            // A size of 0 or all ones is what writers leave when they could not come back to
            // patch it; a size past the end is a file cut short. Either way: what is there.
            // An empty chunk followed by another chunk is just empty.
            const bool emptyThenMore = size == 0 && available >= 8 && LooksLikeId(&file[body]);
            const bool unknown = (size == 0 && !emptyThenMore) || size == 0xFFFFFFFFu;
            dataBytes = unknown ? available : std::min<size_t>(size, available);
            if (unknown || size >= available)
                break;
        } else if (IsId(header, "fmt ")) {
            if (size < 16 || size > available) {
                reason = "format chunk cut short";
                return MCIERR_INVALID_FILE;
            }
            format.Tag = U16(header + 8);
            format.Channels = U16(header + 10);
            format.Rate = U32(header + 12);
            format.BlockAlign = U16(header + 20);
            format.Bits = U16(header + 22);
            if (format.Tag == WAVE_FORMAT_EXTENSIBLE) {
                if (size < 40 || std::memcmp(header + 8 + 26, ExtensibleGuidTail, 14) != 0) {
                    reason = "extensible format with an unknown sub-format";
                    return MCIERR_INVALID_FILE;
                }
                format.Tag = U16(header + 8 + 24);
            }
            haveFormat = true;
        } else if (size > available) {
            break; // a trailing chunk cut short: nothing more to find
        }
        offset = NextChunk(file, offset, size);
    }
    if (!haveFormat) {
        reason = "no format chunk";
        return MCIERR_INVALID_FILE;
    }
    if (!haveData) {
        reason = "no data chunk";
        return MCIERR_INVALID_FILE;
    }

    const bool pcm = format.Tag == WAVE_FORMAT_PCM;
    const bool flt = format.Tag == WAVE_FORMAT_IEEE_FLOAT;
    const bool g711 = format.Tag == WAVE_FORMAT_ALAW || format.Tag == WAVE_FORMAT_MULAW;
    if (!pcm && !flt && !g711) {
        reason = "encoding " + EncodingName(format.Tag) + " is not supported";
        return MCIERR_INVALID_FILE;
    }
    if (format.Channels < 1 || format.Channels > 8) {
        reason = std::to_string(format.Channels) + " channels";
        return MCIERR_INVALID_FILE;
    }
    if (format.Rate < 1000 || format.Rate > 384000) {
        reason = "sample rate " + std::to_string(format.Rate) + " Hz";
        return MCIERR_INVALID_FILE;
    }
    // The container of one sample: from the block alignment, which some writers get right when
    // the bits field holds the valid bits (20 in 24, 24 in 32).
    const int container = format.BlockAlign / format.Channels;
    const bool widthOk = g711  ? container == 1
                         : flt ? container == 4 || container == 8
                               : container >= 1 && container <= 4 && format.Bits <= container * 8;
    if (!widthOk || container * format.Channels != format.BlockAlign) {
        reason = std::to_string(format.Bits) + "-bit samples in blocks of " +
                 std::to_string(format.BlockAlign) + " bytes";
        return MCIERR_INVALID_FILE;
    }

    // Mono and stereo stay as they are; more channels are mixed down to mono.
    const int outChannels = format.Channels <= 2 ? format.Channels : 1;
    const size_t frames = dataBytes / format.BlockAlign;
    FillPcmFormat(sound.Format, static_cast<int>(format.Rate), 16, outChannels);
    sound.Data.clear();
    sound.Data.reserve(frames * outChannels * 2);
    for (size_t i = 0; i < frames; ++i) {
        const uint8_t* frame = &file[dataStart + i * format.BlockAlign];
        int values[2] = {0, 0};
        if (format.Channels <= 2) {
            for (int c = 0; c < format.Channels; ++c)
                values[c] = DecodeSample(frame + c * container, format.Tag, container);
        } else {
            int sum = 0;
            for (int c = 0; c < format.Channels; ++c)
                sum += DecodeSample(frame + c * container, format.Tag, container);
            values[0] = sum / format.Channels;
        }
        for (int c = 0; c < outChannels; ++c) {
            sound.Data.push_back(static_cast<uint8_t>(values[c] & 0xFF));
            sound.Data.push_back(static_cast<uint8_t>((values[c] >> 8) & 0xFF));
        }
    }
    return MCIERR_NONE;
}

std::string PromptProblem(const std::string& fileName, bool checkDevice) {
    TWaveSound sound;
    std::string reason;
    if (ReadPromptFile(fileName, sound, reason) != MCIERR_NONE)
        return reason;
    if (!checkDevice)
        return "";
    const int32_t device = SoundBackend().CheckPlayback(sound.Format);
    if (device == MCIERR_NONE)
        return "";
    std::string text;
    return mciGetErrorString(device, text) ? text : "sound device error " + std::to_string(device);
}

namespace {
struct TProblemState {
    std::mutex Lock;
    TPromptProblemHook Hook;
    std::set<std::string> Reported;
};
TProblemState& Problems() {
    static TProblemState state;
    return state;
}
} // namespace

void SetPromptProblemHook(TPromptProblemHook hook) {
    std::lock_guard<std::mutex> guard(Problems().Lock);
    Problems().Hook = std::move(hook);
    Problems().Reported.clear(); // a new listener hears of every file afresh
}

void ReportPromptProblem(const std::string& fileName, const std::string& reason) {
    TPromptProblemHook hook;
    {
        std::lock_guard<std::mutex> guard(Problems().Lock);
        if (!Problems().Reported.insert(fileName).second)
            return;
        hook = Problems().Hook;
    }
    if (hook)
        hook(fileName, reason);
}

void ForgetPromptProblem(const std::string& fileName) {
    std::lock_guard<std::mutex> guard(Problems().Lock);
    Problems().Reported.erase(fileName);
}
