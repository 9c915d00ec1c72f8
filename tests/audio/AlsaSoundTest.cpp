// The ALSA backend on a machine without sound hardware, and its data path through ALSA's own
// file plugin (a plug -> file -> null PCM named "default").
#include "audio/AlsaSound.h"

#include "audio/AudioTestUtil.h"
#include "audio/SoundCaptureStream.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace audiotest;

namespace {

int IndexOf(TSoundCaptureStream& s, int rate, int bits, int channels) {
    for (int i = 0; i < s.Formats().Count(); ++i) {
        const auto& f = s.Formats()[i];
        if (f.SampleRate == rate && f.BitsPerSample == bits && f.Channels == channels)
            return i;
    }
    return -1;
}

// Points ALSA at a configuration whose "default" PCM captures from inFile and records playback
// into outFile.
class AlsaFilePlugin {
public:
    AlsaFilePlugin(const std::filesystem::path& inFile, const std::filesystem::path& outFile)
        : FConfig(TempPath("alsa.conf")) {
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
    std::filesystem::path FConfig;
};

} // namespace

TEST(AlsaSound, WithoutSoundHardwareFailsWithTheUsualTexts) {
    unsetenv("LUMISK_SOUND");
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
}

TEST(AlsaSound, CaptureThroughTheFilePluginIsSampleExact) {
    unsetenv("LUMISK_SOUND");
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
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
        s.StopCapture();
    }
    std::filesystem::remove(in);
}
