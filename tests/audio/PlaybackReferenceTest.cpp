// The played-audio record against what the capture really hears: the simulated card's playback
// looped back into its capture through the line simulator's line (echo at 0 dB, nothing else),
// so the capture hears exactly what was played, after the loop's latency.
#include "audio/PlaybackReference.h"

#include "CallerEnd.h"
#include "LiveLine.h"
#include "audio/AudioTestUtil.h"
#include "audio/SimSoundCard.h"
#include "audio/SoundCaptureStream.h"
#include "support/SoundSettings.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>

using namespace audiotest;

TEST(PlaybackReference, TheSimulatedCardsRecordLinesUpSampleBySampleWithWhatItsCaptureHears) {
    const auto captureFifo = TempPath("loop-capture.fifo"), playbackFifo = TempPath("loop-playback.fifo");
    SetSoundDriver("sim");
    SetSimCapture(captureFifo.c_str());
    SetSimPlayback(playbackFifo.c_str());
    ResetCaptureDrivers();
    {
        TCallerEnd line(captureFifo, playbackFifo);
        line.SetLine(TLineModelSettings::Parse("erl=0"));
        std::atomic<bool> stop{false};
        std::thread loop([&] {
            while (!stop) {
                pollfd fd{line.PlaybackFd(), POLLIN, 0};
                if (poll(&fd, 1, 20) > 0)
                    line.HandlePlayback();
            }
        });

        TPlaybackReference record;
        SoundBackend().SetPlaybackReference(&record);
        TSoundCaptureStream capture;
        capture.FormatIndex = IndexOf(capture, 8000, 16, 1);
        capture.SetBufferMilliseconds(4000);
        capture.StartCapture();
        // The box captures long before a call: the line has learnt the card's pace by then.
        std::vector<char> before(8000);
        capture.ReadBuffer(before.data(), static_cast<int32_t>(before.size()));

        // Two sounds with a pause between them, as prompts come.
        const std::vector<char> first = Pcm16Pattern(6000, 1), second = Pcm16Pattern(4000, 3);
        WAVEFORMATEX format{};
        FillPcmFormat(format, 8000, 16, 1);
        const std::atomic<bool> cancel{false};
        for (const auto* sound : {&first, &second}) {
            ASSERT_EQ(
                SoundBackend().Play(format, sound->data(), static_cast<uint32_t>(sound->size()), cancel),
                MCIERR_NONE);
            std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the pause between prompts
        }

        // Read what the capture heard, each block with the played audio the record gives for it.
        TPlaybackReferenceReader reader(record);
        std::vector<int16_t> heard, played, block;
        while (heard.size() < 8000 * 2.6) {
            std::vector<char> bytes(1024);
            reader.ReadBlock(capture, bytes.data(), 1024, block);
            ASSERT_EQ(block.size(), 512u);
            for (size_t i = 0; i < bytes.size(); i += 2)
                heard.push_back(static_cast<int16_t>((bytes[i] & 0xFF) | (bytes[i + 1] << 8)));
            played.insert(played.end(), block.begin(), block.end());
        }
        SoundBackend().SetPlaybackReference(nullptr);
        stop = true;
        loop.join();
        capture.StopCapture();

        // Each sound comes back whole, every sample of it, at one lag behind the record; the
        // lag is the loop's latency (the line's, and the card's ticks), the same for both sounds
        // to within a millisecond: the line places a sound after a pause by when its first parts
        // arrive, which a loaded machine delays a little.
        ASSERT_EQ(heard.size(), played.size());
        const size_t pause =
            static_cast<size_t>(std::find_if(played.begin(), played.end(), [](int16_t v) { return v != 0; }) -
                                played.begin()) +
            first.size() / 2; // the first sound ends here
        auto matches = [&](int lag, size_t from, size_t to) {
            int same = 0;
            for (size_t n = from + static_cast<size_t>(lag);
                 n < to + static_cast<size_t>(lag) && n < heard.size(); ++n)
                same += played[n - static_cast<size_t>(lag)] != 0 &&
                        heard[n] == played[n - static_cast<size_t>(lag)];
            return same;
        };
        int lags[2] = {0, 0};
        const size_t ranges[2][2] = {{0, pause}, {pause, played.size()}};
        for (int k = 0; k < 2; ++k) {
            for (int lag = 0; lag < 2000; ++lag)
                if (matches(lag, ranges[k][0], ranges[k][1]) > matches(lags[k], ranges[k][0], ranges[k][1]))
                    lags[k] = lag;
            EXPECT_EQ(matches(lags[k], ranges[k][0], ranges[k][1]), k == 0 ? 6000 : 4000) << "sound " << k;
            EXPECT_NEAR(lags[k], TLiveLine::Latency, 80) << "sound " << k;
        }
        EXPECT_NEAR(lags[0], lags[1], 8);
    }
    SetSimCapture("");
    SetSimPlayback("");
    std::filesystem::remove(captureFifo);
    std::filesystem::remove(playbackFifo);
}
