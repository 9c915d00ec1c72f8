// Recordings that outlive their writer: the header kept current while recording, the repair of
// what a killed recorder left, the cut of a finished recording's tail, and write errors that say
// which file and why.
#include "audio/WaveRepair.h"

#include "audio/AudioTestUtil.h"
#include "audio/Wave.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace audiotest;

namespace {

// 8 kHz, 16 bit, mono: 16000 bytes a second; our header is 46 bytes long.
constexpr int64_t BytesPerSecond = 16000;
constexpr size_t HeaderBytes = 46;

uint32_t DataSizeField(const std::filesystem::path& path) {
    return U32(ReadFile(path), HeaderBytes - 4);
}

// What an independent reader makes of the file: frames, and whether they are our samples.
std::string PythonFrames(const std::filesystem::path& path) {
    return RunCommand("/usr/bin/python3 -c \"import wave,sys; w=wave.open(sys.argv[1]); "
                      "print(w.getnframes())\" '" +
                      path.string() + "' 2>&1");
}

} // namespace

TEST(WaveCrash, HeaderFollowsTheRecordingSoAKilledRecorderLeavesAPlayableFileAndRepairTakesAll) {
    const auto path = TempPath("killed.wav");
    const auto samples = Pcm16Pattern(42400); // 5.3 s
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TWaveFileStream wave(path, fmCreate);
        wave.AssignPcmFormat(8000, 16, 1);
        wave.OpenWave(true);
        for (size_t at = 0; at < samples.size(); at += 1600)
            wave.WriteBuffer(samples.data() + at, 1600);
        wave.WriteBuffer("x", 1); // half a frame
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    // The last refresh came at 4 s of audio: a player gets that much.
    EXPECT_EQ(ReadFile(path).size(), HeaderBytes + samples.size() + 1);
    EXPECT_EQ(DataSizeField(path), 4 * BytesPerSecond);
    EXPECT_EQ(PythonFrames(path), "32000\n");

    EXPECT_DOUBLE_EQ(RepairWaveFile(path), 5.3);
    const auto repaired = ReadFile(path);
    ASSERT_EQ(repaired.size(), HeaderBytes + samples.size());
    EXPECT_EQ(U32(repaired, 4), repaired.size() - 8);
    EXPECT_EQ(DataSizeField(path), samples.size());
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), repaired.begin() + HeaderBytes));
    EXPECT_EQ(PythonFrames(path), "42400\n");

    // The caller-leaving trim: 1.5 s and a stray byte keep 1.5 s; asking beyond keeps what is there.
    EXPECT_EQ(TruncateWaveFile(path, 24001), 24000);
    TWaveFileStream reader(path, fmOpenRead);
    reader.OpenWave(false);
    EXPECT_EQ(reader.GetDataSize(), 24000);
    EXPECT_EQ(ReadFile(path).size(), HeaderBytes + 24000);
    EXPECT_EQ(TruncateWaveFile(path, 1 << 30), 24000);
    std::filesystem::remove(path);
}

TEST(WaveCrash, SlowAudioStillRefreshesTheHeaderWithinTwoSecondsOfTime) {
    const auto path = TempPath("slow.wav");
    auto now = std::chrono::steady_clock::now();
    {
        TWaveFileStream wave(path, fmCreate);
        wave.Now = [&] { return now; };
        wave.AssignPcmFormat(8000, 16, 1);
        wave.OpenWave(true);
        const auto samples = Pcm16Pattern(100);
        wave.WriteBuffer(samples.data(), 200);
        EXPECT_EQ(DataSizeField(path), 0u); // no header write for every block
        now += std::chrono::seconds(2);
        wave.WriteBuffer(samples.data(), 200);
        EXPECT_EQ(DataSizeField(path), 400u);
        EXPECT_EQ(wave.Position(), 400); // the refresh leaves the stream where it was
        wave.WriteBuffer(samples.data(), 2);
    }
    EXPECT_EQ(DataSizeField(path), 402u);
    std::filesystem::remove(path);
}

TEST(WaveRepair, RefusesWhatIsNotOneOfOurRecordingsAndLeavesItAlone) {
    const auto path = TempPath("bad.wav");
    auto header = [](uint16_t tag, uint16_t channels, uint16_t align) {
        std::vector<char> d = {'R', 'I', 'F', 'F', 0,   0,   0,  0, 'W', 'A',
                               'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0,   0};
        WAVEFORMATEX f;
        FillPcmFormat(f, 8000, 16, channels);
        f.wFormatTag = tag;
        f.nBlockAlign = align;
        d.insert(d.end(), reinterpret_cast<char*>(&f), reinterpret_cast<char*>(&f) + 16);
        for (char c : std::string("data\0\0\0\0abcd", 12))
            d.push_back(c);
        return d;
    };
    const auto good = header(1, 1, 2);
    const struct {
        std::vector<char> file;
        const char* reason;
    } cases[] = {
        {{'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "not a RIFF WAVE file"},
        {{'R', 'I', 'F', 'F', 0, 0}, "not a RIFF WAVE file"},
        {header(3, 1, 4), "format 3 is not PCM"},
        {header(1, 2, 2), "PCM format fields do not agree"},
        {std::vector<char>(good.begin(), good.begin() + 30), "format chunk cut short"},
        {std::vector<char>(good.begin(), good.begin() + 38), "no data chunk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        WriteFile(path, c.file);
        EXPECT_EQ(ErrorOf([&] { RepairWaveFile(path); }), "Cannot repair " + path.string() + ": " + c.reason);
        EXPECT_EQ(ReadFile(path), c.file);
    }
    EXPECT_EQ(ErrorOf([&] { TruncateWaveFile(path.string() + ".none", 0); }),
              "Cannot truncate " + path.string() + ".none: No such file or directory");
    std::filesystem::remove(path);
}

TEST(WaveWrite, AFullDiskNamesTheFileAndTheReason) {
    TWaveFileStream wave("/dev/full", fmCreate);
    wave.AssignPcmFormat(8000, 16, 1);
    try {
        wave.OpenWave(true);
        FAIL() << "wrote to a full device";
    } catch (const EWriteError& e) {
        EXPECT_EQ(e.Message(), "Cannot write /dev/full: No space left on device");
    }
}
