#include "decoder/DtmfCorpus.h"

#include "decoder/DtmfSignal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace {

const std::string AllKeys = "123A456B789C*0#D";
constexpr double Quiet = 100; // ms of silence around every tone case

TDtmfCase OneKey(const std::string& category, const std::string& name, char key, double ms, double lowDb,
                 double highDb, double lowScale, double highScale, bool accept) {
    TDtmfSignal s;
    s.AppendSilence(Quiet);
    s.AppendKey(key, ms, lowDb, highDb, lowScale, highScale);
    s.AppendSilence(Quiet);
    return {category, name + " " + key, s.ToPcm(), accept ? std::string(1, key) : std::string()};
}

std::string Fmt(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool HaveProgram(const std::string& name) {
    return RunCommand("command -v " + name + " >/dev/null 2>&1");
}

// Plain sentences from a fixed word list, the same for a given seed.
std::string Sentences(std::mt19937& random, int count) {
    static const char* const words[] = {
        "please",    "leave",   "your",     "message",  "after",  "the",     "tone",    "hello",
        "this",      "is",      "calling",  "about",    "order",  "number",  "seven",   "thank",
        "you",       "very",    "much",     "we",       "will",   "call",    "back",    "tomorrow",
        "morning",   "evening", "delivery", "arrived",  "broken", "window",  "kitchen", "garden",
        "meeting",   "office",  "friday",   "monday",   "doctor", "appoint", "weather", "summer",
        "music",     "station", "train",    "ticket",   "price",  "twenty",  "hundred", "pounds",
        "should",    "could",   "maybe",    "really",   "sorry",  "around",  "quarter", "half",
        "past",      "three",   "nine",     "eleven",   "oh",     "yes",     "no",      "right",
        "wonderful", "anyway",  "listen",   "remember", "bring",  "coffee",  "sugar",   "milk"};
    constexpr int wordCount = sizeof words / sizeof words[0];
    std::string text;
    for (int s = 0; s < count; ++s) {
        const int length = 4 + static_cast<int>(random() % 10);
        for (int w = 0; w < length; ++w) {
            text += words[random() % wordCount];
            text += w + 1 < length ? " " : (random() % 4 == 0 ? "? " : ". ");
        }
    }
    return text;
}

double Rms(const std::vector<std::int16_t>& pcm) {
    double sum = 0;
    for (auto v : pcm)
        sum += static_cast<double>(v) * v;
    return pcm.empty() ? 0 : std::sqrt(sum / static_cast<double>(pcm.size()));
}

} // namespace

bool RunCommand(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::vector<std::int16_t> ReadRawPcm(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> pcm(bytes.size() / 2);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                           (static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8));
    return pcm;
}

std::vector<TDtmfCase> BuildToneCorpus(std::uint32_t seed) {
    std::vector<TDtmfCase> cases;
    for (double level : {-7.0, -12.0, -18.0, -24.0, -30.0})
        for (char key : AllKeys)
            cases.push_back(OneKey("level", Fmt("%g dBFS", level), key, 60, level, level, 1, 1, true));

    for (char key : AllKeys) {
        cases.push_back(OneKey("40 ms", "40 ms -10 dBFS", key, 40, -10, -10, 1, 1, true));
        cases.push_back(OneKey("40 ms", "40 ms -28 dBFS", key, 40, -28, -28, 1, 1, true));
        cases.push_back(OneKey("23 ms (reject)", "23 ms -7 dBFS", key, 23, -7, -7, 1, 1, false));
        cases.push_back(OneKey("23 ms (reject)", "23 ms -20 dBFS", key, 23, -20, -20, 1, 1, false));
    }

    for (char key : AllKeys)
        for (double low : {0.985, 1.015})
            for (double high : {0.985, 1.015})
                cases.push_back(OneKey(
                    "+-1.5%", Fmt("low %+.1f%%", (low - 1) * 100) + Fmt(" high %+.1f%%", (high - 1) * 100),
                    key, 50, -12, -12, low, high, true));
    for (char key : AllKeys)
        for (double off : {0.965, 1.035}) {
            const std::string pct = Fmt("%+.1f%%", (off - 1) * 100);
            cases.push_back(OneKey("+-3.5% (reject)", "low " + pct, key, 50, -12, -12, off, 1, false));
            cases.push_back(OneKey("+-3.5% (reject)", "high " + pct, key, 50, -12, -12, 1, off, false));
        }

    for (char key : AllKeys) {
        cases.push_back(OneKey("twist", "high +4 dB", key, 50, -14, -10, 1, 1, true));
        cases.push_back(OneKey("twist", "low +8 dB", key, 50, -8, -16, 1, 1, true));
        cases.push_back(OneKey("twist", "high +4 dB quiet", key, 50, -30, -26, 1, 1, true));
        cases.push_back(OneKey("twist", "low +8 dB quiet", key, 50, -22, -30, 1, 1, true));
    }

    // Noise over the whole case at 12 dB below the two tones' power.
    std::mt19937 random(seed);
    for (int round = 0; round < 3; ++round)
        for (char key : AllKeys) {
            const double level = round == 2 ? -24 : -12;
            TDtmfSignal s;
            s.AppendSilence(Quiet);
            s.AppendKey(key, 50, level, level);
            s.AppendSilence(Quiet);
            const double a = TDtmfSignal::DbfsToAmplitude(level);
            s.AddNoise(std::sqrt(a * a / std::pow(10.0, 12.0 / 10)), random());
            cases.push_back(
                {"noise 12 dB", Fmt("%g dBFS", level) + " " + key, s.ToPcm(), std::string(1, key)});
        }

    for (char key : AllKeys) {
        TDtmfSignal s;
        s.AppendSilence(Quiet);
        for (int i = 0; i < 5; ++i) {
            s.AppendKey(key, 40, -12, -12);
            s.AppendSilence(40);
        }
        s.AppendSilence(Quiet);
        cases.push_back({"repeat 40 ms gap", std::string("5x ") + key, s.ToPcm(), std::string(5, key)});
    }
    return cases;
}

bool BuildTalkOffCorpus(const std::string& folder, double speechMinutes, std::uint32_t seed,
                        std::vector<TDtmfCase>& cases, std::string& reason) {
    for (const char* program : {"espeak-ng", "sox"})
        if (!HaveProgram(program)) {
            reason = std::string(program) + " is not installed (scripts/setup.sh installs it)";
            return false;
        }
    std::mt19937 random(seed);
    const std::string raw = " -R -D -c 1 -r 8000 -b 16 -e signed-integer -t raw ";

    // Speech: several voices and pitches, about 150 words a minute.
    static const char* const voices[] = {"en-gb", "en-us+f3", "en-us+m3", "de+f2",    "fr+m1",
                                         "es+f4", "it+m7",    "nl+f1",    "en+klatt", "en-gb+f5"};
    const int voiceCount = sizeof voices / sizeof voices[0];
    const int sentencesPerVoice = std::max(1, static_cast<int>(speechMinutes * 60 / voiceCount / 3.5));
    for (int v = 0; v < voiceCount; ++v) {
        const std::string wav = folder + "/speech" + std::to_string(v) + ".wav";
        const std::string out = folder + "/speech" + std::to_string(v) + ".raw";
        const int pitch = 20 + static_cast<int>(random() % 70);
        const std::string text = Sentences(random, sentencesPerVoice);
        if (!RunCommand("espeak-ng -v " + std::string(voices[v]) + " -p " + std::to_string(pitch) + " -w " +
                        wav + " " + Quote(text) + " >/dev/null 2>&1") ||
            !RunCommand("sox -R -D " + wav + raw + out + " >/dev/null 2>&1")) {
            reason = "espeak-ng or sox failed making speech";
            return false;
        }
        const std::vector<std::int16_t> speech = ReadRawPcm(out);
        cases.push_back({"speech", voices[v], speech, ""});
        // The same speech with line noise 20 dB below it.
        TDtmfSignal noisy;
        noisy.AppendPcm(speech);
        noisy.AddNoise(Rms(speech) / 10, random());
        cases.push_back({"speech + noise", voices[v], noisy.ToPcm(), ""});
        // Keys pressed straight into the speech every 1.5 s, with no pause around them.
        if (v < 4) {
            TDtmfSignal spliced;
            std::string expected;
            const std::size_t chunk = 12000;
            for (std::size_t at = 0; at < speech.size(); at += chunk) {
                const auto from = speech.begin() + static_cast<std::ptrdiff_t>(at);
                spliced.AppendPcm(std::vector<std::int16_t>(
                    from, from + static_cast<std::ptrdiff_t>(std::min(chunk, speech.size() - at))));
                const char key = AllKeys[random() % AllKeys.size()];
                spliced.AppendKey(key, 50, -16, -14);
                expected += key;
            }
            cases.push_back({"keys amid speech", voices[v], spliced.ToPcm(), expected});
        }
    }

    // Chords of three and four notes in several timbres, roots over two octaves.
    static const char* const chordTypes[][4] = {{"0", "4", "7", nullptr},
                                                {"0", "3", "7", nullptr},
                                                {"0", "4", "7", "10"},
                                                {"0", "4", "7", "11"},
                                                {"0", "3", "6", "9"}};
    static const char* const timbres[] = {"sine", "triangle", "square", "pluck", "sawtooth"};
    int chordCount = 0;
    for (int root = 0; root < 24; ++root)
        for (const auto& type : chordTypes) {
            const char* timbre = timbres[random() % 5];
            std::string synth;
            int notes = 0;
            for (const char* step : type)
                if (step) {
                    // Notes from C4 up, by semitones, as sox names them: %n from A4.
                    synth += std::string(" ") + timbre + " %" + std::to_string(root + std::atoi(step) - 9);
                    ++notes;
                }
            const std::string out = folder + "/chord" + std::to_string(chordCount++) + ".raw";
            if (!RunCommand("sox -R -D -r 48000 -c " + std::to_string(notes) + " -n" + raw + out +
                            " synth 0.6" + synth + " gain -6 >/dev/null 2>&1")) {
                reason = "sox failed making chords";
                return false;
            }
        }
    {
        TDtmfSignal chords;
        for (int i = 0; i < chordCount; ++i)
            chords.AppendPcm(ReadRawPcm(folder + "/chord" + std::to_string(i) + ".raw"));
        cases.push_back({"chords", std::to_string(chordCount) + " chords", chords.ToPcm(), ""});
    }

    // Single sweeps through the telephone band, slow and fast, in several wave shapes; and noise.
    static const char* const sweeps[] = {"sine 200:3500",     "sine 3500:200",     "square 100:1800",
                                         "triangle 300:3000", "sawtooth 150:2000", "sine 200-3500",
                                         "whitenoise",        "pinknoise",         "brownnoise"};
    for (const char* sweep : sweeps)
        for (double seconds : {1.0, 4.0}) {
            const std::string out = folder + "/sweep.raw";
            if (!RunCommand("sox -R -D -r 8000 -n" + raw + out + " synth " + Fmt("%g", seconds) + " " +
                            sweep + " gain -8 >/dev/null 2>&1")) {
                reason = "sox failed making sweeps";
                return false;
            }
            cases.push_back(
                {"sweeps + noise", std::string(sweep) + Fmt(" %g s", seconds), ReadRawPcm(out), ""});
        }
    return true;
}
