// What the end-to-end checks look at: a finished WAV file, the prompts in what the box played,
// and the box's event lines.
#pragma once

#include "BoxRig.h"

#include <gtest/gtest.h>

namespace e2e {

// A completed recording: RIFF size and data size match the file, PCM format. Its samples as
// line audio when it is 8 kHz 16-bit mono.
inline ::testing::AssertionResult IsCompleteWave(const std::string& fileName, TSamples* samples = nullptr) {
    const std::string raw = ReadFile(fileName);
    auto u32 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(raw[at])) |
               static_cast<uint32_t>(static_cast<uint8_t>(raw[at + 1])) << 8 |
               static_cast<uint32_t>(static_cast<uint8_t>(raw[at + 2])) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(raw[at + 3])) << 24;
    };
    if (raw.size() < 44 || raw.compare(0, 4, "RIFF") != 0 || raw.compare(8, 4, "WAVE") != 0)
        return ::testing::AssertionFailure()
               << fileName << " is no RIFF WAVE file (" << raw.size() << " bytes)";
    if (u32(4) != raw.size() - 8)
        return ::testing::AssertionFailure()
               << fileName << ": RIFF size " << u32(4) << " for " << raw.size() << " bytes";
    const size_t data = raw.find("data", 12);
    if (data == std::string::npos || data + 8 + u32(data + 4) != raw.size())
        return ::testing::AssertionFailure() << fileName << ": the data chunk does not end the file";
    if (samples) {
        try {
            *samples = ReadWaveAsLine(fileName);
        } catch (const std::exception& e) {
            return ::testing::AssertionFailure() << e.what();
        }
    }
    return ::testing::AssertionSuccess();
}

// The prompts found in heard, in order of their first appearance, as "welcome enter ...".
inline std::string PromptsHeard(const TSamples& heard) {
    std::vector<std::pair<long, std::string>> found;
    for (int i = 0; i < 6; ++i) {
        const TSamples prompt = ShortPrompt(i);
        for (long at = FindSamples(heard, prompt); at >= 0;
             at = FindSamples(heard, prompt, static_cast<size_t>(at) + prompt.size()))
            found.emplace_back(at, PromptNames[i]);
    }
    std::sort(found.begin(), found.end());
    std::string text;
    for (const auto& f : found)
        text += (text.empty() ? "" : " ") + f.second;
    return text;
}

// The text after the time stamp of a box event line ("2026-12-09 07:36:11 answered").
inline std::string EventText(const std::string& line) {
    return line.size() > 20 ? line.substr(20) : line;
}

// The modem lines of one call, from its answer on, joined by blanks.
inline std::string Joined(const std::vector<std::string>& lines, size_t from = 0) {
    std::string text;
    for (size_t i = from; i < lines.size(); ++i)
        text += (text.empty() ? "" : " ") + lines[i];
    return text;
}

// The box's event lines from line from on, without their time stamps.
inline std::vector<std::string> Events(TBoxRig& rig, int from = 0) {
    std::vector<std::string> events;
    const std::vector<std::string> lines = rig.BoxProcess->Lines(TChildProcess::Out);
    for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i)
        events.push_back(EventText(lines[i]));
    return events;
}

} // namespace e2e
