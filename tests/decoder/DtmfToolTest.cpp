// lumisk-dtmf and the file reading under it, on real WAV files of several formats.
#include "WaveKeys.h"
#include "audio/Wave.h"
#include "decoder/DtmfDetector.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct TTone {
    double Ms;
    double Hz1, Hz2;
    double Dbfs;
};

// Writes tones (silence where both frequencies are 0) as a PCM WAV of the given format; the
// second channel of a stereo file gets the same signal.
void WriteWave(const std::string& path, int rate, int bits, int channels, const std::vector<TTone>& tones) {
    TWaveFileStream wave(path, fmCreate);
    wave.AssignPcmFormat(rate, bits, channels);
    wave.OpenWave(true);
    std::vector<std::uint8_t> bytes;
    for (const TTone& tone : tones) {
        const double a = 32767 * std::pow(10.0, tone.Dbfs / 20);
        const auto n = static_cast<long>(tone.Ms * rate / 1000);
        for (long i = 0; i < n; ++i) {
            const double t = static_cast<double>(i) / rate;
            const double v = (tone.Hz1 > 0 ? a * std::sin(2 * M_PI * tone.Hz1 * t) : 0) +
                             (tone.Hz2 > 0 ? a * std::sin(2 * M_PI * tone.Hz2 * t) : 0);
            const auto s = static_cast<std::int16_t>(std::lround(v));
            for (int c = 0; c < channels; ++c) {
                if (bits == 8) {
                    bytes.push_back(static_cast<std::uint8_t>((s >> 8) + 128));
                } else {
                    bytes.push_back(static_cast<std::uint8_t>(s & 0xFF));
                    bytes.push_back(static_cast<std::uint8_t>((s >> 8) & 0xFF));
                }
            }
        }
    }
    wave.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

std::vector<TTone> KeyTones(const std::string& keys) {
    std::vector<TTone> tones{{100, 0, 0, 0}};
    for (char key : keys) {
        double low = 0, high = 0;
        TDtmfDetector::KeyFrequencies(key, low, high);
        tones.push_back({70, low, high, -12});
        tones.push_back({80, 0, 0, 0});
    }
    return tones;
}

std::string Heard(const std::string& path) {
    std::string keys;
    for (const TDtmfKey& key : TWaveKeys(path).Decode())
        keys += key.Key;
    return keys;
}

// Runs the tool; returns its exit code and puts its standard output into out.
int RunTool(const std::string& arguments, std::string& out) {
    const std::string command =
        std::string(LUMISK_BINARY_DIR) + "/tools/lumisk-dtmf/lumisk-dtmf " + arguments + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[256];
    out.clear();
    while (std::fgets(buffer, sizeof buffer, pipe))
        out += buffer;
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class DtmfTool : public ::testing::Test {
protected:
    void SetUp() override {
        FFolder =
            fs::temp_directory_path() / ("lumisk_dtmf_tool_" + std::to_string(getpid()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(FFolder);
    }
    void TearDown() override { fs::remove_all(FFolder); }
    std::string Path(const std::string& name) const { return (FFolder / name).string(); }
    fs::path FFolder;
};

} // namespace

TEST_F(DtmfTool, HearsTheKeysInEveryFormatTheWaveReaderOpens) {
    const std::string keys = "0#9D*1";
    struct TFormat {
        int Rate, Bits, Channels;
    };
    for (const TFormat f :
         {TFormat{8000, 16, 1}, TFormat{8000, 8, 1}, TFormat{11025, 8, 2}, TFormat{16000, 16, 1},
          TFormat{22050, 16, 2}, TFormat{44100, 16, 2}, TFormat{48000, 8, 1}, TFormat{6000, 16, 1}}) {
        const std::string path = Path("keys.wav");
        WriteWave(path, f.Rate, f.Bits, f.Channels, KeyTones(keys));
        EXPECT_EQ(Heard(path), keys) << f.Rate << " Hz " << f.Bits << " bit " << f.Channels << " ch";
    }
}

TEST_F(DtmfTool, SoundAboveTheNewBandDoesNotFoldIntoAKey) {
    // At 16 kHz, 6791 Hz folds onto 1209 Hz when the rate is halved without a low-pass: with the
    // row tone of '1' that would make a key out of nothing.
    const std::string path = Path("fold.wav");
    WriteWave(path, 16000, 16, 1, {{100, 0, 0, 0}, {300, 697, 6791, -10}, {100, 0, 0, 0}});
    EXPECT_EQ(Heard(path), "");
}

TEST_F(DtmfTool, PrintsTheKeysOnOneLineAndRejectsWhatIsNoWave) {
    const std::string wave = Path("call.wav");
    WriteWave(wave, 22050, 16, 1, KeyTones("4711"));
    std::string out;
    ASSERT_EQ(RunTool(wave, out), 0);
    EXPECT_EQ(out, "4711\n");

    const std::string text = Path("notes.wav");
    std::ofstream(text) << "this is a text file, long enough to hold a RIFF header\n";
    EXPECT_EQ(RunTool(text, out), 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(RunTool(Path("missing.wav"), out), 2);
    const std::string empty = Path("empty.wav");
    std::ofstream(empty).close();
    EXPECT_EQ(RunTool(empty, out), 2);
    EXPECT_EQ(RunTool("", out), 2);
}
