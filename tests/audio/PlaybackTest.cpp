// Prompt playback and the media player on the simulated sound card, whose playback output is a
// file the test reads back.
#include "audio/AudioTestUtil.h"
#include "audio/MciDevice.h"
#include "audio/MediaPlayer.h"
#include "audio/PromptReader.h"
#include "audio/PromptSound.h"
#include "audio/WaveSound.h"
#include "support/SoundSettings.h"
#include "toolkit/Thread.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace audiotest;
using Clock = std::chrono::steady_clock;

namespace {

class SimPlayback : public ::testing::Test {
protected:
    void SetUp() override {
        FDir = TempPath("prompts");
        std::filesystem::create_directories(FDir);
        FOldDir = std::filesystem::current_path();
        std::filesystem::current_path(FDir);
        FOutput = FDir / "heard.raw";
        SetSoundDriver("sim");
        SetSimPlayback(FOutput.c_str());
    }
    void TearDown() override {
        SetSimPlayback("");
        std::filesystem::current_path(FOldDir);
        std::filesystem::remove_all(FDir);
    }
    // A prompt file in the current directory.
    void MakePrompt(const std::string& name, const std::vector<char>& samples, int rate = 8000, int bits = 16,
                    int channels = 1) {
        TWaveFileStream wave(name, fmCreate);
        wave.AssignPcmFormat(rate, bits, channels);
        wave.OpenWave(true);
        wave.WriteBuffer(samples.data(), static_cast<int32_t>(samples.size()));
    }
    // A RIFF WAVE in an encoding playback does not decode (MS ADPCM).
    void MakeAdpcmPrompt(const std::string& name) {
        std::vector<char> d = {'R',  'I',  'F', 'F', 0,  0,    0, 0, 'W', 'A', 'V', 'E',
                               'f',  'm',  't', ' ', 16, 0,    0, 0, 2,   0,   1,   0,
                               0x40, 0x1F, 0,   0,   0,  0x10, 0, 0, 0,   1,   4,   0,
                               'd',  'a',  't', 'a', 4,  0,    0, 0, 1,   2,   3,   4};
        WriteFile(name, d);
    }
    std::vector<char> Heard() { return ReadFile(FOutput); }
    static double Seconds(Clock::time_point since) {
        return std::chrono::duration<double>(Clock::now() - since).count();
    }

    std::filesystem::path FDir, FOldDir, FOutput;
};

std::vector<char> DefaultSoundBytes() {
    const auto& data = DefaultSound().Data;
    return std::vector<char>(data.begin(), data.end());
}

std::vector<char> Join(std::vector<char> a, const std::vector<char>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST_F(SimPlayback, PromptsPlayToTheirEndInOrder) {
    const auto welcome = Pcm16Pattern(2400, 1); // 300 ms
    const auto enter = Pcm16Pattern(800, 3);    // 100 ms
    MakePrompt("welcome.wav", welcome);
    MakePrompt("enter.wav", enter);
    const auto start = Clock::now();
    EXPECT_TRUE(sndPlaySoundA("welcome.wav", 0));
    EXPECT_GE(Seconds(start), 0.3);
    EXPECT_EQ(Heard(), welcome);
    EXPECT_TRUE(sndPlaySoundA("enter.wav", 0));
    EXPECT_GE(Seconds(start), 0.4);
    EXPECT_EQ(Heard(), Join(welcome, enter));
}

TEST_F(SimPlayback, UnplayablePromptsGiveTheDefaultSoundAndSaySoOncePerFile) {
    std::vector<std::string> told;
    SetPromptProblemHook(
        [&](const std::string& file, const std::string& reason) { told.push_back(file + ": " + reason); });
    const auto tone = DefaultSoundBytes();
    EXPECT_GE(DefaultSound().Milliseconds(), 200);
    EXPECT_LE(DefaultSound().Milliseconds(), 600);
    WriteFile("notwave.wav", {'h', 'e', 'l', 'l', 'o'});
    MakeAdpcmPrompt("adpcm.wav");
    EXPECT_FALSE(sndPlaySoundA("thank.wav", 0));
    EXPECT_FALSE(sndPlaySoundA("notwave.wav", 0));
    EXPECT_FALSE(sndPlaySoundA("adpcm.wav", 0));
    EXPECT_FALSE(sndPlaySoundA("thank.wav", 0)); // still missing: not told again
    EXPECT_EQ(Heard(), Join(Join(tone, tone), Join(tone, tone)));
    EXPECT_EQ(told,
              (std::vector<std::string>{"thank.wav: file not found", "notwave.wav: not a RIFF WAVE file",
                                        "adpcm.wav: encoding 2 (MS ADPCM) is not supported"}));
    // Mended and broken again: told again.
    MakePrompt("thank.wav", Pcm16Pattern(80));
    EXPECT_TRUE(sndPlaySoundA("thank.wav", 0));
    std::filesystem::remove("thank.wav");
    EXPECT_FALSE(sndPlaySoundA("thank.wav", 0));
    EXPECT_EQ(told.size(), 4u);
    SetPromptProblemHook(nullptr);

    // A data chunk that claims more than the file holds plays what is there.
    std::filesystem::remove(FOutput);
    MakePrompt("cut.wav", Pcm16Pattern(2400));
    std::filesystem::resize_file("cut.wav", 46 + 1001); // the data chunk claims 4800 bytes
    EXPECT_TRUE(sndPlaySoundA("cut.wav", 0));
    auto whole = Pcm16Pattern(2400);
    whole.resize(1000);
    EXPECT_EQ(Heard(), whole);
}

TEST_F(SimPlayback, OtherFormatsAreHeardAsEightKilohertzMono) {
    // 300 ms at 22050 Hz, 8-bit stereo, both channels alike.
    std::vector<char> samples;
    for (int i = 0; i < 6615; ++i) {
        const char v = static_cast<char>(128 + ((i * 7) % 100) - 50);
        samples.insert(samples.end(), {v, v});
    }
    MakePrompt("stereo.wav", samples, 22050, 8, 2);
    const auto start = Clock::now();
    EXPECT_TRUE(sndPlaySoundA("stereo.wav", 0));
    EXPECT_GE(Seconds(start), 0.3);
    const auto heard = Heard();
    EXPECT_NEAR(static_cast<double>(heard.size()), 2 * 2400.0, 4.0);
    // 8-bit 0x80 is 16-bit 0: the waveform keeps its level.
    int16_t lowest = 0, highest = 0;
    for (size_t i = 0; i + 1 < heard.size(); i += 2) {
        const auto v = static_cast<int16_t>(static_cast<uint8_t>(heard[i]) | heard[i + 1] << 8);
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
    }
    // Interpolation between samples never leaves the source's range.
    EXPECT_GE(lowest, -50 * 256);
    EXPECT_LT(lowest, -40 * 256);
    EXPECT_LE(highest, 49 * 256);
    EXPECT_GT(highest, 40 * 256);
}

TEST_F(SimPlayback, MediaPlayerPlaysWithTheOneShotWaitAndCloses) {
    const auto welcome = Pcm16Pattern(2400);
    MakePrompt("welcome.wav", welcome);
    TMediaPlayer player;
    int notifications = 0;
    player.OnNotify = [&](TMediaPlayer* sender) {
        ++notifications;
        EXPECT_EQ(sender->NotifyValue(), MCI_NOTIFY_SUCCESSFUL);
    };
    player.FileName = "welcome.wav";
    player.OpenMedia();
    EXPECT_NE(player.DeviceId(), 0u);
    EXPECT_TRUE(player.ButtonEnabled(btPlay));
    EXPECT_EQ(player.Length(), 300u);
    auto start = Clock::now();
    player.SetWaitOnce(true);
    player.PlayMedia();
    EXPECT_GE(Seconds(start), 0.3);
    EXPECT_EQ(player.LastError(), 0);
    EXPECT_EQ(player.Position(), 300u);
    EXPECT_EQ(Heard(), welcome);

    // Again without closing: rewinds first. The wait was used up, so this play returns while
    // the sound is still playing and its completion arrives later.
    player.PlayMedia();
    MCI_STATUS_PARMS status;
    status.dwItem = MCI_STATUS_MODE;
    EXPECT_EQ(mciSendCommand(player.DeviceId(), MCI_STATUS, MCI_STATUS_ITEM, &status), 0);
    EXPECT_EQ(status.dwReturn, MCI_MODE_PLAY);
    start = Clock::now();
    while (notifications < 2 && Seconds(start) < 30)
        CheckSynchronize(20);
    EXPECT_EQ(notifications, 2);
    EXPECT_EQ(Heard(), Join(welcome, welcome));

    player.CloseMedia();
    EXPECT_EQ(player.DeviceId(), 0u);
    EXPECT_FALSE(player.IsOpen());
    EXPECT_FALSE(player.ButtonEnabled(btPlay));
    EXPECT_THROW(player.PlayMedia(), EMCIDeviceError);
    try {
        player.PlayMedia();
    } catch (const EMCIDeviceError& e) {
        EXPECT_EQ(e.Message(), "No MCI device open");
    }
    player.CloseMedia(); // closed already: nothing happens
    EXPECT_EQ(player.LastError(), 0);
}

TEST_F(SimPlayback, MediaPlayerOpenFailuresLeaveItClosed) {
    WriteFile("notwave.wav", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'});
    MakeAdpcmPrompt("adpcm.wav");
    MakePrompt("ok.wav", Pcm16Pattern(80));
    TMediaPlayer player;
    struct Case {
        const char* file;
        TMPDeviceTypes type;
        int32_t error;
    };
    for (const Case& c : {Case{"missing.wav", dtAutoSelect, MCIERR_FILE_NOT_FOUND},
                          Case{"notwave.wav", dtAutoSelect, MCIERR_INVALID_FILE},
                          Case{"adpcm.wav", dtWaveAudio, MCIERR_INVALID_FILE},
                          Case{"ok.wav", dtCDAudio, MCIERR_UNSUPPORTED_DEVICE}}) {
        SCOPED_TRACE(c.file);
        player.FileName = c.file;
        player.DeviceType = c.type;
        std::string expected;
        ASSERT_TRUE(mciGetErrorString(c.error, expected));
        try {
            player.OpenMedia();
            ADD_FAILURE() << "opened";
        } catch (const EMCIDeviceError& e) {
            EXPECT_EQ(e.Message(), expected);
        }
        EXPECT_EQ(player.LastError(), c.error);
        EXPECT_EQ(player.ErrorText(), expected);
        EXPECT_FALSE(player.IsOpen());
        EXPECT_EQ(player.DeviceId(), 0u);
    }
    std::string text;
    EXPECT_FALSE(mciGetErrorString(12345, text));

    // An open player whose next open fails ends closed; destruction closes an open device.
    player.DeviceType = dtAutoSelect;
    player.FileName = "ok.wav";
    player.OpenMedia();
    const uint32_t first = player.DeviceId();
    player.FileName = "missing.wav";
    EXPECT_THROW(player.OpenMedia(), EMCIDeviceError);
    EXPECT_FALSE(player.IsOpen());
    MCI_STATUS_PARMS status;
    status.dwItem = MCI_STATUS_LENGTH;
    EXPECT_EQ(mciSendCommand(first, MCI_STATUS, MCI_STATUS_ITEM, &status), MCIERR_INVALID_DEVICE_ID);
    uint32_t open;
    {
        TMediaPlayer other;
        other.FileName = "ok.wav";
        other.OpenMedia();
        open = other.DeviceId();
        other.SetWaitOnce(false);
        other.PlayMedia(); // still playing when destroyed
    }
    EXPECT_EQ(mciSendCommand(open, MCI_STATUS, MCI_STATUS_ITEM, &status), MCIERR_INVALID_DEVICE_ID);
    for (int i = 0; i < 3; ++i)
        CheckSynchronize(10); // a completion for the freed player must not arrive
}

TEST_F(SimPlayback, PlaybackIntoAFifoReachesItsReader) {
    const auto fifo = FDir / "heard.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    SetSimPlayback(fifo.c_str());
    // Without a reader the sound is not written anywhere, and the call still keeps time.
    MakePrompt("beep.wav", Pcm16Pattern(800));
    auto start = Clock::now();
    EXPECT_TRUE(sndPlaySoundA("beep.wav", 0));
    EXPECT_GE(Seconds(start), 0.1);
    // Opened for reading and writing, the reader's end never sees end-of-file between sounds.
    const int reader = ::open(fifo.c_str(), O_RDWR);
    ASSERT_GE(reader, 0);
    std::vector<char> heard(1600);
    std::thread listen([&] {
        for (size_t got = 0; got < heard.size();) {
            const ssize_t n = ::read(reader, heard.data() + got, heard.size() - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
    });
    EXPECT_TRUE(sndPlaySoundA("beep.wav", 0));
    listen.join();
    ::close(reader);
    EXPECT_EQ(heard, Pcm16Pattern(800));
}

// Prompts as other tools write them, made by sox from one 8 kHz reference: what reaches the card
// is the reference, within what each encoding loses.
TEST_F(SimPlayback, PromptsInTelephonyAndOtherFormatsAreHeardAsTheReference) {
    ASSERT_EQ(std::system("sox -D -n -r 8000 -b 16 -c 1 ref.wav synth 0.25 sine 440 vol 0.5"), 0);
    TWaveSound reference;
    ASSERT_EQ(LoadWaveSound("ref.wav", reference), MCIERR_NONE);
    const auto& ref = reference.Data;
    ASSERT_EQ(ref.size(), 4000u);
    struct Case {
        const char* name;
        const char* options; // sox output options
        uint16_t tag;        // format tag in the file
        int tolerance;       // largest difference from the reference, in 16-bit steps
    };
    const Case cases[] = {
        {"ulaw.wav", "-e u-law", 7, 520},
        {"alaw.wav", "-e a-law", 6, 520},
        {"u8.wav", "-b 8 -e unsigned", 1, 256},
        {"s24.wav", "-b 24", 0xFFFE, 0},
        {"s32.wav", "-b 32 -e signed", 0xFFFE, 0},
        {"float.wav", "-e floating-point -b 32", 3, 1},
        {"stereo.wav", "-c 2", 1, 0},
        {"six.wav", "-c 6", 0xFFFE, 0},
        {"ulaw16k.wav", "-r 16000 -e u-law", 7, 700},
        {"u8_11025.wav", "-r 11025 -b 8 -e unsigned", 1, 700},
        {"cd.wav", "-r 44100 -c 2", 1, 300},
        {"ext48k.wav", "-r 48000 -c 2 -b 24", 0xFFFE, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(std::system(("sox -D ref.wav " + std::string(c.options) + " " + c.name).c_str()), 0);
        const auto file = ReadFile(c.name);
        ASSERT_GT(file.size(), 40u);
        EXPECT_EQ(U16(file, 20), c.tag);
        std::filesystem::remove(FOutput);
        EXPECT_TRUE(sndPlaySoundA(c.name, 0));
        const auto heard = Heard();
        EXPECT_NEAR(static_cast<double>(heard.size()), 4000.0, 6.0);
        int worst = 0;
        for (size_t i = 0; i + 1 < std::min(heard.size(), ref.size()); i += 2) {
            const int a = static_cast<int16_t>(static_cast<uint8_t>(heard[i]) | heard[i + 1] << 8);
            const int b = static_cast<int16_t>(ref[i] | ref[i + 1] << 8);
            worst = std::max(worst, std::abs(a - b));
        }
        EXPECT_LE(worst, c.tolerance);
    }

    // A file cut short in the middle of its data (sox wrote the full size) plays what is left.
    std::filesystem::resize_file("ulaw.wav", std::filesystem::file_size("ulaw.wav") - 1000);
    std::filesystem::remove(FOutput);
    EXPECT_TRUE(sndPlaySoundA("ulaw.wav", 0));
    EXPECT_EQ(Heard().size(), 2u * (2000 - 1000));
    // The self-check's question: playable, and why not.
    EXPECT_EQ(PromptProblem("ulaw.wav", true), "");
    EXPECT_EQ(PromptProblem("nothere.wav", false), "file not found");
}
