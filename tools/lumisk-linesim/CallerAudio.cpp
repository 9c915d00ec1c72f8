#include "CallerAudio.h"

#include "audio/PcmConverter.h"
#include "audio/Wave.h"
#include "toolkit/Exception.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr int RampMs = 5;

// Each of a key's two tones at about -10 dBFS: loud enough for any detector, no clipping.
constexpr double KeyToneLevel = 0.3 * 32767;

bool KeyFrequencies(char key, double& low, double& high) {
    static const char layout[4][5] = {"123A", "456B", "789C", "*0#D"};
    static const double rows[4] = {697, 770, 852, 941};
    static const double columns[4] = {1209, 1336, 1477, 1633};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (layout[r][c] == key) {
                low = rows[r];
                high = columns[c];
                return true;
            }
    return false;
}

void AppendTones(TSamples& out, double f1, double f2, double level, int ms) {
    const int count = LineRate * std::max(ms, 0) / 1000;
    const int ramp = std::min(LineRate * RampMs / 1000, count / 2);
    for (int i = 0; i < count; ++i) {
        double gain = 1.0;
        if (i < ramp)
            gain = static_cast<double>(i) / ramp;
        else if (i >= count - ramp)
            gain = static_cast<double>(count - 1 - i) / ramp;
        const double t = static_cast<double>(i) / LineRate;
        double v = std::sin(2 * Pi * f1 * t);
        if (f2 > 0)
            v += std::sin(2 * Pi * f2 * t);
        out.push_back(static_cast<int16_t>(std::lround(v * level * gain)));
    }
}

} // namespace

void AppendKey(TSamples& out, char key, int ms) {
    double low = 0, high = 0;
    if (!KeyFrequencies(key, low, high))
        throw std::runtime_error(std::string("not a telephone key: '") + key + "'");
    AppendTones(out, low, high, KeyToneLevel, ms);
}

void AppendSilence(TSamples& out, int ms) {
    out.insert(out.end(), static_cast<size_t>(LineRate * std::max(ms, 0) / 1000), 0);
}

void AppendTone(TSamples& out, double hz, int ms) {
    AppendTones(out, hz, 0, 0.4 * 32767, ms);
}

namespace {
const std::pair<const char*, THangupTail> TailNames[] = {
    {"busy", THangupTail::Busy},       {"reorder", THangupTail::Reorder}, {"busy425", THangupTail::Busy425},
    {"busy400", THangupTail::Busy400}, {"dial", THangupTail::Dial},       {"silence", THangupTail::Silence}};
}

bool HangupTailFromName(const std::string& name, THangupTail& tail) {
    for (const auto& [text, value] : TailNames)
        if (name == text) {
            tail = value;
            return true;
        }
    return false;
}

const char* HangupTailName(THangupTail tail) {
    for (const auto& [text, value] : TailNames)
        if (tail == value)
            return text;
    return "none";
}

void AppendHangupTail(TSamples& out, THangupTail tail, int fromMs, int ms) {
    double f1 = 0, f2 = 0;
    int period = 0; // on and off, each this long; 0: continuous
    switch (tail) {
    case THangupTail::None:
    case THangupTail::Silence:
        AppendSilence(out, ms);
        return;
    case THangupTail::Busy:
        f1 = 480, f2 = 620, period = 500;
        break;
    case THangupTail::Reorder:
        f1 = 480, f2 = 620, period = 250;
        break;
    case THangupTail::Busy425:
        f1 = 425, period = 500;
        break;
    case THangupTail::Busy400:
        f1 = 400, period = 375;
        break;
    case THangupTail::Dial:
        f1 = 350, f2 = 440;
        break;
    }
    // Sample by sample on the tail's own time line: pieces join without a break or a phase jump,
    // and only the cadence's own edges are ramped.
    const double level = 0.1 * 32767; // -20 dBFS
    const int64_t first = int64_t{LineRate} * fromMs / 1000, count = int64_t{LineRate} * ms / 1000;
    const int64_t on = int64_t{LineRate} * period / 1000, ramp = LineRate * RampMs / 1000;
    for (int64_t i = first; i < first + count; ++i) {
        double gain = 1.0;
        if (on > 0) {
            const int64_t inPeriod = i % (2 * on);
            gain = inPeriod >= on ? 0.0
                                  : std::min({1.0, static_cast<double>(inPeriod) / ramp,
                                              static_cast<double>(on - 1 - inPeriod) / ramp});
        }
        const double t = static_cast<double>(i) / LineRate;
        const double v = std::sin(2 * Pi * f1 * t) + (f2 > 0 ? std::sin(2 * Pi * f2 * t) : 0.0);
        out.push_back(static_cast<int16_t>(std::lround(level * gain * v)));
    }
}

TSamples ReadWaveAsLine(const std::string& fileName) {
    try {
        TWaveFileStream wave(fileName, fmOpenRead | fmShareDenyNone);
        wave.OpenWave(false);
        const WAVEFORMATEX* f = wave.GetWaveFormat();
        if (!f || f->wFormatTag != WAVE_FORMAT_PCM || (f->nChannels != 1 && f->nChannels != 2) ||
            (f->wBitsPerSample != 8 && f->wBitsPerSample != 16) || f->nSamplesPerSec == 0)
            throw std::runtime_error(fileName + ": not 8 or 16-bit PCM");
        const TPcmFormat source{static_cast<int>(f->nSamplesPerSec), f->wBitsPerSample, f->nChannels};
        std::vector<uint8_t> bytes(static_cast<size_t>(std::max(wave.GetDataSize(), 0)));
        bytes.resize(static_cast<size_t>(wave.Read(bytes.data(), static_cast<int32_t>(bytes.size()))));
        TPcmConverter converter(source, TPcmFormat{LineRate, 16, 1});
        std::vector<uint8_t> line;
        converter.Convert(bytes.data(), bytes.size() / static_cast<size_t>(source.FrameBytes()), line);
        converter.Flush(line);
        TSamples samples(line.size() / 2);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = TPcmConverter::DecodeSample(&line[2 * i], 16);
        return samples;
    } catch (const Exception& e) {
        throw std::runtime_error(fileName + ": " + e.what());
    }
}

void WriteLineWave(const std::string& fileName, const TSamples& samples) {
    try {
        TWaveFileStream wave(fileName, fmCreate);
        wave.AssignPcmFormat(LineRate, 16, 1);
        wave.OpenWave(true);
        std::vector<uint8_t> bytes;
        bytes.reserve(samples.size() * 2);
        for (int16_t s : samples)
            TPcmConverter::EncodeSample(s, 16, bytes);
        if (!bytes.empty())
            wave.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    } catch (const Exception& e) {
        throw std::runtime_error(fileName + ": " + e.what());
    }
}

bool SpeakText(const std::string& text, TSamples& out) {
    char dir[] = "/tmp/lumisk-say-XXXXXX";
    if (!mkdtemp(dir))
        return false;
    const std::string file = std::string(dir) + "/say.wav";
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execlp("espeak-ng", "espeak-ng", "-s", "150", "-w", file.c_str(), "--", text.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    if (pid > 0)
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    bool ok = false;
    if (pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        try {
            out = ReadWaveAsLine(file);
            ok = !out.empty();
        } catch (const std::exception&) {
        }
    }
    unlink(file.c_str());
    rmdir(dir);
    return ok;
}
