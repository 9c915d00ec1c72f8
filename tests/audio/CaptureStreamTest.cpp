// The capture stream's arithmetic and failure paths, over a fake capture service.
#include "audio/AudioTestUtil.h"
#include "audio/CaptureDrivers.h"
#include "audio/DynamicLibrary.h"
#include "audio/FakeSoundBackend.h"
#include "audio/SoundCaptureStream.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

using namespace audiotest;

namespace {

uint8_t RingByte(uint32_t i) {
    return static_cast<uint8_t>(i * 13 + 1);
}

} // namespace

TEST(CaptureFormats, ProbeKeepsOrderAndOnlyExactSuccess) {
    FakeBackend backend;
    ScopedBackend scoped(&backend);
    {
        TSoundCaptureStream all;
        ASSERT_EQ(all.Formats().Count(), 56);
        EXPECT_EQ(all.Formats()[0].DisplayText(), "8000Hz 8bit Mono");
        EXPECT_EQ(all.Formats()[1].DisplayText(), "8000Hz 8bit Stereo");
        EXPECT_EQ(all.Formats()[2].DisplayText(), "8000Hz 16bit Mono");
        EXPECT_EQ(all.Formats()[55].DisplayText(), "96000Hz 32bit Stereo");
    }
    // Only 16-bit mono at 8000 and 11025 Hz; a success code other than 0 is not acceptance.
    backend.Device.Accept = [](const WAVEFORMATEX& f) -> int32_t {
        if (f.wBitsPerSample == 16 && f.nChannels == 1 && f.nSamplesPerSec <= 11025)
            return DS_OK;
        return f.nSamplesPerSec == 22050 ? 1 : DSERR_BADFORMAT;
    };
    backend.Device.BuffersCreated = 0;
    TSoundCaptureStream some;
    ASSERT_EQ(some.Formats().Count(), 2);
    EXPECT_EQ(some.Formats()[0].SampleRate, 8000);
    EXPECT_EQ(some.Formats()[1].SampleRate, 11025);
    // The probe asks for one second of audio per candidate.
    EXPECT_EQ(backend.Device.LastBufferBytes, 22050u);
}

TEST(CaptureDriversList, DefaultFirstAndFailuresLeaveNoList) {
    FakeBackend backend;
    ScopedBackend scoped(&backend);
    ResetCaptureDrivers();
    backend.Device.ThrowOnUse = true;
    EXPECT_EQ(ErrorOf([] { TSoundCaptureStream::CaptureDrivers(); }), "Necessary since DirectX 5");
    EXPECT_THROW(TSoundCaptureStream::CaptureDrivers(), EDirectXError);
    EXPECT_EQ(ErrorOf([] { TSoundCaptureStream s; }), "Necessary since DirectX 5");
    backend.Device.ThrowOnUse = false;
    TDirectXDrivers& list = TSoundCaptureStream::CaptureDrivers();
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Items(0).GuidPtr, nullptr);
    ASSERT_NE(list.Items(1).GuidPtr, nullptr);
    EXPECT_EQ(*list.Items(1).GuidPtr, "fake:1");
    EXPECT_EQ(list.Items(1).GuidPtr, &list.Items(1).GuidValue);
    EXPECT_EQ(&TSoundCaptureStream::CaptureDrivers(), &list); // built once
    EXPECT_EQ(ErrorOf([&] { list.Items(2); }), "List index out of bounds (2)");
    ResetCaptureDrivers();

    backend.Device.CreateResult = DSERR_NODRIVER;
    EXPECT_EQ(ErrorOf([] { TSoundCaptureStream s; }), "DirectSoundCapture cannot be initialized");
}

TEST(CaptureStream, StartFailuresLeaveItStopped) {
    FakeBackend backend;
    ScopedBackend scoped(&backend);
    TSoundCaptureStream s;
    s.FormatIndex = 56;
    EXPECT_EQ(ErrorOf([&] { s.StartCapture(); }), "List index out of bounds (56)");
    EXPECT_FALSE(s.IsCapturing());
    s.FormatIndex = 0;
    backend.Device.Accept = [](const WAVEFORMATEX&) { return DSERR_BADFORMAT; };
    EXPECT_EQ(ErrorOf([&] { s.StartCapture(); }), "Sound Capture Buffer cannot be made");
    EXPECT_FALSE(s.IsCapturing());
    // A buffer made but not started would read as endless silence: the same failure.
    backend.Device.Accept = [](const WAVEFORMATEX&) { return DS_OK; };
    backend.Device.StartResult = DSERR_GENERIC;
    EXPECT_EQ(ErrorOf([&] { s.StartCapture(); }), "Sound Capture Buffer cannot be made");
    EXPECT_FALSE(s.IsCapturing());
    s.StopCapture(); // stopped already: nothing happens
    EXPECT_FALSE(s.IsCapturing());
}

TEST(CaptureStream, BufferSizeAndPollInterval) {
    FakeBackend backend;
    ScopedBackend scoped(&backend);
    TSoundCaptureStream s;
    s.FormatIndex = IndexOf(s, 8000, 16, 1);
    EXPECT_EQ(s.BufferMilliseconds(), 1000);
    s.SetBufferMilliseconds(2048);
    s.StartCapture();
    EXPECT_EQ(s.BufferBytes(), 32768u);
    EXPECT_EQ(s.NotifyThread(), nullptr); // no handler, no thread
    s.SetBufferMilliseconds(-5);
    EXPECT_EQ(s.BufferMilliseconds(), 0);
    s.SetOnDataReady([](TSoundCaptureStream*) {});
    s.StartCapture();
    EXPECT_EQ(s.BufferBytes(), 8000u);
    ASSERT_NE(s.NotifyThread(), nullptr);
    EXPECT_EQ(s.NotifyThread()->PollInterval(), 0);
    for (auto [ms, poll] : {std::pair{100, 25}, {1000, 50}, {2048, 50}}) {
        s.SetBufferMilliseconds(ms);
        s.StartCapture();
        EXPECT_EQ(s.NotifyThread()->PollInterval(), poll);
    }
    // 44100 Hz 16-bit stereo for 1000 ms: one second of audio, 176400 bytes.
    s.FormatIndex = IndexOf(s, 44100, 16, 2);
    s.SetBufferMilliseconds(1000);
    s.StartCapture();
    EXPECT_EQ(s.BufferBytes(), 176400u);
    EXPECT_EQ(+backend.Device.LastFormat.nBlockAlign, 4);
    s.StopCapture();
    EXPECT_EQ(s.NotifyThread(), nullptr);
    EXPECT_FALSE(backend.Device.Started);
    // Unbounded stream: its size is 0, so a whole-stream copy copies nothing.
    TMemoryStream sink;
    EXPECT_EQ(s.Size(), 0);
    EXPECT_EQ(sink.CopyFrom(s, 0), 0);
}

TEST(CaptureStream, ReadyBytesAndWrappedReads) {
    FakeBackend backend;
    ScopedBackend scoped(&backend);
    TSoundCaptureStream s;
    s.FormatIndex = IndexOf(s, 8000, 16, 1);
    s.SetBufferMilliseconds(2048);
    EXPECT_EQ(s.GetReadyBytes(), 0); // no buffer yet
    backend.Device.Positions = {30000};
    std::vector<uint8_t> buf(40000);
    // Reading a stopped stream starts it with the current format.
    EXPECT_EQ(s.Read(buf.data(), 30000), 30000);
    EXPECT_TRUE(s.IsCapturing());
    EXPECT_EQ(+backend.Device.LastFormat.nSamplesPerSec, 8000u);
    EXPECT_EQ(s.ReadCursor(), 30000u);
    backend.Device.Positions = {1000};
    EXPECT_EQ(s.GetReadyBytes(), 3768);
    // The read wraps: the end of the ring, then its start, in order.
    EXPECT_EQ(s.Read(buf.data(), 3768), 3768);
    for (uint32_t i = 0; i < 3768; ++i)
        ASSERT_EQ(buf[i], RingByte((30000 + i) % 32768)) << i;
    EXPECT_EQ(s.ReadCursor(), 1000u);
    EXPECT_EQ(s.GetReadyBytes(), 0);
    EXPECT_EQ(s.Position(), 33768);
}

TEST(CaptureStream, ReadsWaitForDataAndFillSilence) {
    FakeBackend backend;
    ScopedBackend scoped(&backend);
    TSoundCaptureStream s;
    s.FormatIndex = IndexOf(s, 8000, 16, 1);
    std::vector<uint8_t> buf(1024);
    // 800 ready, then the rest after one wait.
    backend.Device.Positions = {0, 800, 800, 1024};
    s.StartCapture();
    EXPECT_EQ(s.Read(buf.data(), 1024), 1024);
    for (uint32_t i = 0; i < 1024; ++i)
        ASSERT_EQ(buf[i], RingByte(i));

    for (int bits : {8, 16}) {
        SCOPED_TRACE(bits);
        s.FormatIndex = IndexOf(s, 8000, bits, 1);
        backend.Device.Positions = {0, 100, 1024};
        backend.Device.Locks = 0;
        backend.Device.LocksBeforeFailure = 1;
        s.StartCapture();
        std::fill(buf.begin(), buf.end(), 0x55);
        EXPECT_EQ(s.Read(buf.data(), 1024), 1024);
        EXPECT_EQ(buf[99], RingByte(99));
        EXPECT_EQ(std::count(buf.begin() + 100, buf.end(), bits == 8 ? 0x80 : 0), 924);
    }

    // A device that delivers nothing: the read gives up after its bound with silence, instead
    // of holding the caller for good.
    backend.Device.LocksBeforeFailure = -1;
    backend.Device.Positions = {0};
    s.FormatIndex = IndexOf(s, 8000, 8, 1);
    s.SetBufferMilliseconds(0);
    s.StartCapture();
    std::fill(buf.begin(), buf.end(), 0x55);
    EXPECT_EQ(s.Read(buf.data(), 1024), 1024);
    EXPECT_EQ(std::count(buf.begin(), buf.end(), 0x80), 1024);
}

// A reader that falls a lap behind (the main thread held for longer than the buffer) must not
// hand out what the device wrote over; it says how much it lost and goes on with new audio. A
// handler set to run on the notification thread reads on time without the main thread.
TEST(CaptureStream, ALappedReaderSkipsOverwrittenAudioAndAHandlerMayReadOffTheMainThread) {
    FakeBackend backend;
    backend.Device.PlainRing = true;
    ScopedBackend scoped(&backend);
    TSoundCaptureStream s;
    s.FormatIndex = IndexOf(s, 8000, 16, 1);
    s.SetBufferMilliseconds(1000); // 16000 bytes
    s.StartCapture();
    ASSERT_NE(backend.Device.Ring, nullptr);
    auto bytes = [](uint8_t value, size_t count) { return std::vector<uint8_t>(count, value); };
    std::vector<uint8_t> buf(16000);

    backend.Device.Ring->Append(bytes(1, 4000).data(), 4000);
    EXPECT_EQ(s.Read(buf.data(), 4000), 4000);
    EXPECT_EQ(buf[3999], 1);
    // 1.25 laps arrive unread: the reader skips to the newest byte (what is still in the ring
    // is a second old, and the cursor's place in it means nothing any more).
    backend.Device.Ring->Append(bytes(2, 8000).data(), 8000);
    backend.Device.Ring->Append(bytes(3, 12000).data(), 12000);
    EXPECT_EQ(s.GetReadyBytes(), 0);
    EXPECT_EQ(s.LostBytes(), 20000u);
    backend.Device.Ring->Append(bytes(4, 1000).data(), 1000);
    ASSERT_EQ(s.GetReadyBytes(), 1000);
    EXPECT_EQ(s.Read(buf.data(), 1000), 1000);
    EXPECT_EQ(std::count(buf.begin(), buf.begin() + 1000, 4), 1000);
    // A whole lap behind already counts as lost: its bytes are overwritten by the next write.
    backend.Device.Ring->Append(bytes(5, 16000).data(), 16000);
    EXPECT_EQ(s.GetReadyBytes(), 0);
    EXPECT_EQ(s.LostBytes(), 36000u);
    s.StopCapture();

    // Off the main thread: nobody pumps the main thread's calls here.
    std::mutex lock;
    std::condition_variable changed;
    std::vector<uint8_t> seen;
    bool onMain = false;
    s.SetOnDataReady([&](TSoundCaptureStream* sender) {
        uint8_t block[500];
        while (sender->GetReadyBytes() >= 500) {
            sender->ReadBuffer(block, sizeof block);
            std::lock_guard<std::mutex> guard(lock);
            onMain = onMain || TThread::IsMainThread();
            seen.insert(seen.end(), block, block + sizeof block);
        }
        changed.notify_all();
    });
    s.SetDataReadyThread(TDataReadyThread::NotifyThread);
    s.StartCapture();
    backend.Device.Ring->Append(bytes(6, 1500).data(), 1500);
    {
        std::unique_lock<std::mutex> guard(lock);
        EXPECT_TRUE(changed.wait_for(guard, std::chrono::seconds(30), [&] { return seen.size() == 1500; }));
        EXPECT_FALSE(onMain);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 6), 1500);
    }
    s.StopCapture();
    EXPECT_EQ(s.LostBytes(), 36000u);
}

TEST(DynamicLibrary, LoadedOnceWhateverTheCase) {
    void* first = LoadDllFunction("libasound.so.2", "snd_pcm_open");
    const int count = LoadedModules().Count();
    EXPECT_EQ(LoadDllFunction("LibAsound.SO.2", "snd_pcm_open"), first);
    EXPECT_EQ(LoadedModules().Count(), count);
    EXPECT_EQ(ErrorOf([] { LoadDllFunction("libasound.so.2", "no_such_function"); }),
              "libasound.so.2 not loaded");
    EXPECT_EQ(ErrorOf([] { LoadDllFunction("liblumisk-missing.so.9", "f"); }),
              "liblumisk-missing.so.9 not loaded");
    EXPECT_EQ(LoadedModules().Count(), count);
}
