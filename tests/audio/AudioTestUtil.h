// Helpers shared by the audio tests: temporary paths, byte access, running peer programs.
#pragma once

#include "audio/SoundCaptureStream.h"
#include "toolkit/Exception.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace audiotest {

// The text of the error fn raises, or "" when it raises none.
inline std::string ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

// Index of a format in a stream's list, or -1.
inline int IndexOf(TSoundCaptureStream& s, int rate, int bits, int channels) {
    for (int i = 0; i < s.Formats().Count(); ++i) {
        const auto& f = s.Formats()[i];
        if (f.SampleRate == rate && f.BitsPerSample == bits && f.Channels == channels)
            return i;
    }
    return -1;
}

inline std::filesystem::path TempPath(const std::string& name) {
    return std::filesystem::temp_directory_path() / ("lumisk_audio_" + std::to_string(getpid()) + "_" + name);
}

inline uint32_t U32(const std::vector<char>& d, size_t at) {
    return static_cast<uint8_t>(d[at]) | static_cast<uint8_t>(d[at + 1]) << 8 |
           static_cast<uint8_t>(d[at + 2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d[at + 3])) << 24;
}
inline uint16_t U16(const std::vector<char>& d, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(d[at]) | static_cast<uint8_t>(d[at + 1]) << 8);
}

inline std::vector<char> ReadFile(const std::filesystem::path& path) {
    std::vector<char> data;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            data.insert(data.end(), buf, buf + n);
        std::fclose(f);
    }
    return data;
}

inline void WriteFile(const std::filesystem::path& path, const std::vector<char>& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

// Runs a shell command, returns its standard output.
inline std::string RunCommand(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

// 16-bit little-endian samples of a pattern that never repeats within 20000 samples and has no
// zero at its start.
inline std::vector<char> Pcm16Pattern(size_t samples, int seed = 1) {
    std::vector<char> d(samples * 2);
    for (size_t i = 0; i < samples; ++i) {
        const int16_t v = static_cast<int16_t>(((i + 1) * 7919 * seed) % 60001 - 30000);
        d[2 * i] = static_cast<char>(v & 0xFF);
        d[2 * i + 1] = static_cast<char>((v >> 8) & 0xFF);
    }
    return d;
}

} // namespace audiotest
