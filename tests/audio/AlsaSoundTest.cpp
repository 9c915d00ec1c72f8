// The ALSA backend on a machine without sound hardware, and its data path through ALSA's own
// file plugin (a plug -> file -> null PCM named "default").
#include "audio/AlsaSound.h"

#include "audio/AudioTestUtil.h"
#include "audio/MediaPlayer.h"
#include "audio/PlaybackReference.h"
#include "audio/PromptSound.h"
#include "audio/SoundCaptureStream.h"
#include "audio/WaveSound.h"
#include "support/SoundSettings.h"

#include <cstring>
#include <fstream>
#include <gtest/gtest.h>

using namespace audiotest;

namespace {

// Points ALSA at a configuration whose "default" PCM captures from inFile and records playback
// into outFile.
class AlsaFilePlugin {
public:
    AlsaFilePlugin(const std::filesystem::path& inFile, const std::filesystem::path& outFile)
        : FConfig(TempPath("alsa" + std::to_string(++Instances) + ".conf")) {
        std::ofstream(FConfig) << "pcm.!default {\n  type plug\n  slave.pcm {\n    type file\n"
                               << "    slave.pcm \"null\"\n    file \"" << outFile.string() << "\"\n"
                               << "    infile \"" << inFile.string() << "\"\n    format \"raw\"\n  }\n}\n";
        setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + FConfig.string()).c_str(), 1);
    }
    ~AlsaFilePlugin() {
        unsetenv("ALSA_CONFIG_PATH");
        std::filesystem::remove(FConfig);
    }

private:
    // ALSA reloads its configuration only when the list of files or their times change: every
    // instance gets a file name of its own.
    static inline int Instances = 0;
    std::filesystem::path FConfig;
};

} // namespace

TEST(AlsaSound, WithoutSoundHardwareFailsWithTheUsualTexts) {
    SetSoundDriver("alsa");
    unsetenv("ALSA_CONFIG_PATH");
    ResetCaptureDrivers();
    ASSERT_EQ(SoundBackend().Name(), "alsa");
    TDirectXDrivers& drivers = TSoundCaptureStream::CaptureDrivers();
    ASSERT_GE(drivers.Count(), 1);
    EXPECT_EQ(drivers.Items(0).GuidPtr, nullptr);
    // The default device does not exist here; a listed device (ALSA's "null") does.
    try {
        TSoundCaptureStream s;
        SUCCEED() << "this machine has a default capture device";
    } catch (const ESoundCaptureStreamError& e) {
        EXPECT_EQ(e.Message(), "DirectSoundCapture cannot be initialized");
    }
    for (int i = 1; i < drivers.Count(); ++i) {
        if (*drivers.Items(i).GuidPtr != "null")
            continue;
        TSoundCaptureStream s(drivers.Items(i).GuidPtr);
        ASSERT_GT(s.Formats().Count(), 0);
        s.FormatIndex = IndexOf(s, 8000, 16, 1);
        std::vector<char> block(1024, 'x');
        s.ReadBuffer(block.data(), 1024);
        EXPECT_EQ(std::count(block.begin(), block.end(), 0), 1024);
    }
    const TDeviceGuid missing = "hw:9,9";
    EXPECT_THROW(TSoundCaptureStream{&missing}, ESoundCaptureStreamError);
    WAVEFORMATEX format;
    FillPcmFormat(format, 8000, 16, 1);
    EXPECT_EQ(AlsaSound().CheckPlayback(format), MCIERR_NO_PLAYBACK_DEVICE);
    std::atomic<bool> cancel{false};
    const char samples[4] = {};
    EXPECT_EQ(AlsaSound().Play(format, samples, 4, cancel), MCIERR_NO_PLAYBACK_DEVICE);
    ResetCaptureDrivers();

    // Prompts and the player: nothing to hear, a clear error, no crash.
    const auto prompt = TempPath("alsa_prompt.wav");
    {
        TWaveFileStream wave(prompt, fmCreate);
        wave.AssignPcmFormat(8000, 16, 1);
        wave.OpenWave(true);
        wave.WriteBuffer(samples, 4);
    }
    EXPECT_FALSE(sndPlaySoundA(prompt.c_str(), 0));
    EXPECT_FALSE(sndPlaySoundA("no-such-prompt.wav", 0));
    TMediaPlayer player;
    player.FileName = prompt;
    try {
        player.OpenMedia();
        ADD_FAILURE() << "opened without a playback device";
    } catch (const EMCIDeviceError& e) {
        EXPECT_EQ(e.Message(), "No sound playback device is available for this sound.");
    }
    EXPECT_EQ(player.DeviceId(), 0u);
    std::filesystem::remove(prompt);
}

TEST(AlsaSound, PlaybackThroughTheFilePluginIsSampleExactAndDrained) {
    SetSoundDriver("alsa");
    const auto out = TempPath("alsa_out.raw");
    const auto prompt = TempPath("alsa_welcome.wav");
    const auto samples = Pcm16Pattern(2400);
    {
        TWaveFileStream wave(prompt, fmCreate);
        wave.AssignPcmFormat(8000, 16, 1);
        wave.OpenWave(true);
        wave.WriteBuffer(samples.data(), static_cast<int32_t>(samples.size()));
    }
    {
        AlsaFilePlugin plugin("/dev/zero", out);
        // What is played is handed over whole, in one piece, for the decoder's echo canceller.
        TPlaybackReference record;
        SoundBackend().SetPlaybackReference(&record);
        EXPECT_TRUE(sndPlaySoundA(prompt.c_str(), 0));
        SoundBackend().SetPlaybackReference(nullptr);
        EXPECT_EQ(ReadFile(out), samples);
        std::vector<int16_t> handed(samples.size() / 2);
        record.Fetch(record.End() - static_cast<int64_t>(handed.size()), handed);
        EXPECT_EQ(std::memcmp(handed.data(), samples.data(), samples.size()), 0);
        TMediaPlayer player;
        player.FileName = prompt;
        player.OpenMedia();
        player.SetWaitOnce(true);
        player.PlayMedia();
        EXPECT_EQ(player.LastError(), 0);
        player.CloseMedia();
        EXPECT_EQ(ReadFile(out), samples); // the plugin rewrites its file at each open
    }
    std::filesystem::remove(out);
    std::filesystem::remove(prompt);
}

TEST(AlsaSound, CaptureThroughTheFilePluginIsSampleExact) {
    SetSoundDriver("alsa");
    const auto in = TempPath("alsa_in.raw");
    // 0.3 s of pattern, then silence: the plugin is not paced and repeats stale data at its end.
    auto data = Pcm16Pattern(2400);
    data.resize(2 * 8000 * 3, 0);
    WriteFile(in, data);
    {
        AlsaFilePlugin plugin(in, "/dev/null");
        TSoundCaptureStream s;
        EXPECT_EQ(s.Formats().Count(), 56); // "plug" converts anything
        s.FormatIndex = IndexOf(s, 8000, 16, 1);
        s.SetBufferMilliseconds(4000);
        std::vector<char> got(16000);
        s.ReadBuffer(got.data(), 16000);
        const auto diff = std::mismatch(got.begin(), got.end(), data.begin());
        EXPECT_EQ(diff.first, got.end())
            << "first difference at byte " << (diff.first - got.begin()) << " got " << int(got[0]) << ","
            << int(got[1]) << " zeros " << std::count(got.begin(), got.end(), 0);
        s.StopCapture();
    }
    std::filesystem::remove(in);
}

TEST(AlsaSound, TwoCaptureStreamsOnOneDeviceShareOneOpenOfIt) {
    // A hw: device can be opened for capture once. Both streams must therefore get their audio
    // from one open: the second stream joins the running device where it is, each in its own
    // format, and the first runs on undisturbed. (The file plugin would restart its input at a
    // second open, which is how a second open shows here.)
    SetSoundDriver("alsa");
    const auto in = TempPath("alsa_shared.raw");
    const auto data = Pcm16Pattern(20000, 3); // 2.5 s, no repeats
    WriteFile(in, data);
    AlsaFilePlugin plugin(in, "/dev/null");
    TSoundCaptureStream first;
    first.FormatIndex = IndexOf(first, 8000, 16, 1);
    first.SetBufferMilliseconds(4000);
    std::vector<char> got(4000);
    first.ReadBuffer(got.data(), 4000);
    ASSERT_TRUE(std::equal(got.begin(), got.end(), data.begin()));

    TSoundCaptureStream second; // made while the device runs: its formats are still offered
    EXPECT_EQ(second.Formats().Count(), 56);
    second.FormatIndex = IndexOf(second, 8000, 8, 1);
    std::vector<char> eight(1000);
    second.ReadBuffer(eight.data(), 1000);
    // The same samples as 8-bit: the high byte, offset by 128.
    std::vector<char> asEight(data.size() / 2);
    for (size_t i = 0; i < asEight.size(); ++i)
        asEight[i] = static_cast<char>(static_cast<uint8_t>(data[2 * i + 1]) ^ 0x80);
    const auto at = std::search(asEight.begin(), asEight.end(), eight.begin(), eight.end());
    ASSERT_NE(at, asEight.end()) << "the second stream's audio is not the device's";
    EXPECT_GE(at - asEight.begin(), 2000) << "the second stream started the device anew";

    got.resize(8000);
    first.ReadBuffer(got.data(), 8000);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + 4000));
    second.StopCapture();
    first.ReadBuffer(got.data(), 8000); // the device runs on for the stream still started
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + 12000));
    first.StopCapture();
    std::filesystem::remove(in);
}
