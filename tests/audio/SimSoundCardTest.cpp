// Capture on the simulated sound card: real time, real files and FIFOs.
#include "audio/SimSoundCard.h"

#include "audio/AudioTestUtil.h"
#include "audio/SoundCaptureStream.h"
#include "support/SoundSettings.h"
#include "toolkit/ExceptionReporter.h"

#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace audiotest;
using Clock = std::chrono::steady_clock;

namespace {

class SimCard : public ::testing::Test {
protected:
    void SetUp() override {
        SetSoundDriver("sim");
        SetSimCapture("");
        ResetCaptureDrivers();
    }
    void TearDown() override {
        SetSimCapture("");
        for (const auto& path : FCleanup)
            std::filesystem::remove(path);
    }
    std::filesystem::path Temp(const std::string& name) {
        FCleanup.push_back(TempPath(name));
        return FCleanup.back();
    }
    // A WAV file of 8 kHz 16-bit mono pattern samples.
    std::filesystem::path PatternWave(size_t samples) {
        const auto path = Temp("source.wav");
        TWaveFileStream wave(path, fmCreate);
        wave.AssignPcmFormat(8000, 16, 1);
        wave.OpenWave(true);
        const auto pcm = Pcm16Pattern(samples);
        wave.WriteBuffer(pcm.data(), static_cast<int32_t>(pcm.size()));
        return path;
    }
    std::vector<std::filesystem::path> FCleanup;
};

// Expects the pattern, possibly after leading silence, followed only by silence.
void ExpectPatternAfterSilence(const std::vector<char>& got, const std::vector<char>& pattern) {
    size_t start = 0;
    while (start + 1 < got.size() && got[start] == 0 && got[start + 1] == 0)
        start += 2;
    ASSERT_GE(got.size(), start + pattern.size()) << "pattern incomplete; starts at " << start;
    EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), got.begin() + static_cast<ptrdiff_t>(start)));
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<ptrdiff_t>(start + pattern.size()), got.end(),
                            [](char c) { return c == 0; }));
}

std::vector<char> ReadBytes(TSoundCaptureStream& s, size_t count) {
    std::vector<char> out(count);
    for (size_t done = 0; done < count; done += 1024)
        s.ReadBuffer(out.data() + done, static_cast<int32_t>(std::min<size_t>(1024, count - done)));
    return out;
}

} // namespace

TEST_F(SimCard, OffersTheClassicFormatsInProbeOrder) {
    TSoundCaptureStream s;
    ASSERT_EQ(s.Formats().Count(), 28);
    EXPECT_EQ(s.Formats()[0].DisplayText(), "8000Hz 8bit Mono");
    EXPECT_EQ(s.Formats()[1].DisplayText(), "8000Hz 8bit Stereo");
    EXPECT_EQ(s.Formats()[2].DisplayText(), "8000Hz 16bit Mono");
    int upTo22050 = 0;
    for (int i = 0; i < s.Formats().Count(); ++i) {
        EXPECT_LE(s.Formats()[i].BitsPerSample, 16);
        upTo22050 += s.Formats()[i].SampleRate <= 22050;
    }
    EXPECT_EQ(upTo22050, 12);
    TDirectXDrivers& drivers = TSoundCaptureStream::CaptureDrivers();
    ASSERT_GE(drivers.Count(), 1);
    EXPECT_EQ(drivers.Items(0).GuidPtr, nullptr);
    for (int i = 0; i < drivers.Count(); ++i)
        EXPECT_NO_THROW(TSoundCaptureStream{drivers.Items(i).GuidPtr});
}

TEST_F(SimCard, HandlerReadsDeliverTheSourceOnTheMainThread) {
    const auto pattern = Pcm16Pattern(4000);
    SetSimCapture(PatternWave(4000).c_str());
    TSoundCaptureStream s;
    s.FormatIndex = IndexOf(s, 8000, 16, 1);
    s.SetBufferMilliseconds(2048);
    std::vector<char> got;
    int calls = 0, offThread = 0, calledEmpty = 0;
    s.SetOnDataReady([&](TSoundCaptureStream* sender) {
        ++calls;
        offThread += !TThread::IsMainThread();
        calledEmpty += sender->GetReadyBytes() <= 0;
        while (sender->GetReadyBytes() >= 1024) {
            char block[1024];
            sender->ReadBuffer(block, 1024);
            got.insert(got.end(), block, block + 1024);
        }
    });
    s.StartCapture();
    const auto start = Clock::now();
    while (got.size() < 16384 && Clock::now() - start < std::chrono::seconds(30))
        CheckSynchronize(20);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    s.StopCapture();
    ExpectPatternAfterSilence(got, pattern);
    EXPECT_EQ(offThread, 0);
    EXPECT_EQ(calledEmpty, 0);
    // Paced like a real card: a second of audio takes about a second, and checks come about
    // every 50 ms (loose bounds: the machine is shared).
    EXPECT_GE(seconds, 0.9);
    EXPECT_GE(calls, 5);
    EXPECT_LE(calls, static_cast<int>(seconds * 1000 / 50) + 5);
}

TEST_F(SimCard, EveryOpenBufferGetsTheSameAudioInItsFormat) {
    const auto pattern = Pcm16Pattern(4000);
    SetSimCapture(PatternWave(4000).c_str());
    TSoundCaptureStream wide;
    TSoundCaptureStream narrow;
    wide.FormatIndex = IndexOf(wide, 22050, 8, 2);
    narrow.FormatIndex = IndexOf(narrow, 8000, 16, 1);
    wide.SetBufferMilliseconds(4000); // keeps its audio while the other is read first
    wide.StartCapture();
    narrow.StartCapture();
    EXPECT_EQ(SimSoundCard().AttachedCount(), 2);
    const auto narrowBytes = ReadBytes(narrow, 16000);
    const auto wideBytes = ReadBytes(wide, 2 * 22050);
    ExpectPatternAfterSilence(narrowBytes, pattern);
    size_t sounding = 0;
    for (size_t i = 0; i + 1 < wideBytes.size(); i += 2) {
        ASSERT_EQ(wideBytes[i], wideBytes[i + 1]) << "left and right differ at frame " << i / 2;
        sounding += static_cast<uint8_t>(wideBytes[i]) != 0x80;
    }
    // 0.5 s at 22050 Hz, less whatever passed between the two starts.
    EXPECT_GT(sounding, 10000u);
    EXPECT_LE(sounding, 11030u);
    wide.StopCapture();
    EXPECT_EQ(SimSoundCard().AttachedCount(), 1);
}

TEST_F(SimCard, FifoWriterFeedsCaptureAndGapsAreSilence) {
    const auto fifo = Temp("capture.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    SetSimCapture(fifo.c_str());
    const auto pattern = Pcm16Pattern(2400);
    TSoundCaptureStream s;
    s.FormatIndex = IndexOf(s, 8000, 16, 1);
    s.SetBufferMilliseconds(2048);
    s.StartCapture();
    // The writer's open waits until the card has opened its end; it writes faster than real
    // time and in odd-sized pieces, which the card takes at its own pace.
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        for (size_t at = 0; at < pattern.size(); at += 999)
            (void)!::write(fd, pattern.data() + at, std::min<size_t>(999, pattern.size() - at));
        ::close(fd);
    });
    const auto got = ReadBytes(s, 16000);
    writer.join();
    ExpectPatternAfterSilence(got, pattern);
}

TEST_F(SimCard, RawFileSourceAndHandlerErrorStopsCaptureOnce) {
    const auto raw = Temp("source.raw");
    const auto pattern = Pcm16Pattern(800);
    WriteFile(raw, pattern);
    SetSimCapture(raw.c_str());
    std::vector<std::string> reported;
    const ExceptionSink previous =
        SetExceptionSink([&](const std::string& text) { reported.push_back(text); });
    {
        TSoundCaptureStream s;
        s.FormatIndex = IndexOf(s, 8000, 16, 1);
        std::vector<char> got;
        s.SetOnDataReady([&](TSoundCaptureStream* sender) {
            const auto n = static_cast<size_t>(sender->GetReadyBytes());
            const size_t at = got.size();
            got.resize(at + n);
            sender->ReadBuffer(got.data() + at, static_cast<int32_t>(n));
            if (got.size() >= 4000)
                throw Exception("handler failed");
        });
        s.StartCapture();
        const auto start = Clock::now();
        while (s.IsCapturing() && Clock::now() - start < std::chrono::seconds(30))
            CheckSynchronize(20);
        EXPECT_FALSE(s.IsCapturing());
        EXPECT_EQ(s.NotifyThread(), nullptr);
        ExpectPatternAfterSilence(got, pattern);
        // Nothing more is reported afterwards.
        for (int i = 0; i < 5; ++i)
            CheckSynchronize(20);
        EXPECT_EQ(reported, std::vector<std::string>{"handler failed"});
        EXPECT_EQ(SimSoundCard().AttachedCount(), 0);

        // Destroying a capturing stream with a handler stops it and its thread.
        s.SetOnDataReady([](TSoundCaptureStream*) {});
        s.StartCapture();
        EXPECT_EQ(SimSoundCard().AttachedCount(), 1);
    }
    EXPECT_EQ(SimSoundCard().AttachedCount(), 0);
    SetExceptionSink(previous);
}
