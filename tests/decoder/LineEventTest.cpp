// The caller's leaving as the box hears it: speech, then the exchange's tone or silence, through
// a line with loss, mu-law coding and noise, handed to the decoder in the window's blocks.
#include "CallerAudio.h"
#include "LineModel.h"
#include "decoder/DtmfCorpus.h"
#include "decoder/DtmfSignal.h"
#include "decoder/PhoneToneDecoder.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

constexpr std::int64_t Rate = 8000;

std::vector<std::int16_t> ThroughLine(std::vector<std::int16_t> pcm, unsigned seed) {
    TLineModel line(TLineModelSettings::Parse("loss=9,law=ulaw,noise=-60,seed=" + std::to_string(seed)));
    line.Process(pcm, {});
    return pcm;
}

struct THeard {
    std::string Keys;
    std::vector<std::int64_t> KeyPositions;
    std::vector<TLineEvent> Events;
};

// Feeds the audio in 1024-byte blocks. before(decoder, sample) runs ahead of each block.
THeard Decode(const std::vector<std::int16_t>& pcm, int silenceLimitMs = 8000,
              const std::function<void(TPhoneToneDecoder&, std::int64_t)>& before = {}) {
    TPhoneToneDecoder decoder;
    THeard heard;
    decoder.OnDTMF = [&heard](TComponent*, int key, std::int64_t position) {
        heard.Keys += static_cast<char>(key);
        heard.KeyPositions.push_back(position);
    };
    decoder.OnLineEvent = [&heard](TComponent* sender, const TLineEvent& event) {
        EXPECT_NE(sender, nullptr);
        heard.Events.push_back(event);
    };
    decoder.SetSilenceLimit(silenceLimitMs);
    decoder.StartDecoding();
    TDtmfSignal s;
    s.AppendPcm(pcm);
    const std::vector<std::uint8_t> bytes = s.ToBytes();
    for (std::size_t i = 0; i < bytes.size(); i += 1024) {
        if (before)
            before(decoder, static_cast<std::int64_t>(i / 2));
        decoder.DecodeSamples(
            std::span<const std::uint8_t>(bytes.data() + i, std::min<std::size_t>(1024, bytes.size() - i)));
    }
    return heard;
}

// Spoken words with the quiet after them cut off; the caller's last sound ends at the end.
std::vector<std::int16_t> Speech() {
    TSamples speech;
    if (!SpeakText("Hello, this is Jane from the garden centre. Please call me back about the delivery "
                   "tomorrow morning.",
                   speech))
        return {};
    std::size_t end = speech.size();
    while (end > 0 && std::abs(speech[end - 1]) < 300)
        --end;
    speech.resize(end);
    return speech;
}

struct TTone {
    const char* Name;
    double Hz1, Hz2; // Hz2 0: a single tone
    int OnMs, OffMs; // OffMs 0: continuous
    TLineEventKind Kind;
};

void AppendTone(TDtmfSignal& s, const TTone& tone, int totalMs) {
    const double db2 = tone.Hz2 > 0 ? -20 : -300;
    for (int at = 0; at < totalMs;) {
        const int on = tone.OffMs == 0 ? totalMs : std::min(tone.OnMs, totalMs - at);
        s.AppendTones(tone.Hz1, -20, tone.Hz2, db2, on);
        at += on;
        if (tone.OffMs > 0 && at < totalMs) {
            s.AppendSilence(std::min(tone.OffMs, totalMs - at));
            at += tone.OffMs;
        }
    }
}

} // namespace

TEST(LineEvents, EachToneAfterAMessageIsKnownWithin4SecondsAndPointsAtTheCallersLastWord) {
    const std::vector<std::int16_t> speech = Speech();
    if (speech.empty())
        GTEST_SKIP() << "espeak-ng is not installed";
    const TTone tones[] = {
        {"busy 480+620 Hz", 480, 620, 500, 500, TLineEventKind::BusyTone},
        {"reorder 480+620 Hz", 480, 620, 250, 250, TLineEventKind::ReorderTone},
        {"busy 425 Hz", 425, 0, 500, 500, TLineEventKind::BusyTone},
        {"busy 400 Hz", 400, 0, 375, 375, TLineEventKind::BusyTone},
        {"dial 350+440 Hz", 350, 440, 0, 0, TLineEventKind::DialTone},
        {"dial 425 Hz", 425, 0, 0, 0, TLineEventKind::DialTone},
        {"dial 400+450 Hz", 400, 450, 0, 0, TLineEventKind::DialTone},
    };
    unsigned seed = 1;
    for (const TTone& tone : tones) {
        SCOPED_TRACE(tone.Name);
        // The mailbox keyed, the message, a short pause while the caller hangs up, the tone.
        TDtmfSignal s;
        s.AppendSilence(300);
        for (char key : std::string("62345")) {
            s.AppendKey(key, 80, -12, -12);
            s.AppendSilence(80);
        }
        s.AppendSilence(500);
        s.AppendPcm(speech);
        const std::int64_t speechEnd = static_cast<std::int64_t>(s.Length());
        s.AppendSilence(400);
        const std::int64_t toneStart = static_cast<std::int64_t>(s.Length());
        AppendTone(s, tone, 6000);

        const THeard heard = Decode(ThroughLine(s.ToPcm(), seed++));
        EXPECT_EQ(heard.Keys, "62345");
        ASSERT_EQ(heard.Events.size(), 1u);
        const TLineEvent& event = heard.Events[0];
        EXPECT_STREQ(LineEventName(event.Kind), LineEventName(tone.Kind));
        EXPECT_GT(event.Position, toneStart);
        EXPECT_LE(event.Position - toneStart, 4 * Rate);
        EXPECT_GE(event.LastSoundPosition, speechEnd - Rate / 10);
        EXPECT_LE(event.LastSoundPosition, speechEnd + Rate / 20);
    }
}

TEST(LineEvents, SilenceAfterSpeechIsKnownOnceAtItsLimitCountedFromARestartAndNeverWhenOff) {
    const std::vector<std::int16_t> speech = Speech();
    if (speech.empty())
        GTEST_SKIP() << "espeak-ng is not installed";
    TDtmfSignal s;
    s.AppendSilence(500);
    s.AppendPcm(speech);
    const std::int64_t speechEnd = static_cast<std::int64_t>(s.Length());
    s.AppendSilence(20000);
    const std::vector<std::int16_t> line = ThroughLine(s.ToPcm(), 7);

    for (int limit : {8000, 3000}) {
        SCOPED_TRACE(limit);
        const THeard heard = Decode(line, limit);
        ASSERT_EQ(heard.Events.size(), 1u); // once per silent stretch
        EXPECT_EQ(heard.Events[0].Kind, TLineEventKind::Silence);
        EXPECT_GE(heard.Events[0].Position - speechEnd, limit * Rate / 1000);
        EXPECT_LE(heard.Events[0].Position - speechEnd, (limit + 1000) * Rate / 1000);
        EXPECT_NEAR(static_cast<double>(heard.Events[0].LastSoundPosition), static_cast<double>(speechEnd),
                    Rate / 10.0);
    }
    EXPECT_TRUE(Decode(line, 0).Events.empty());

    // A recording that starts 5 s into the silence counts its silence from there.
    const std::int64_t restartAt = speechEnd + 5 * Rate;
    bool restarted = false;
    const THeard heard = Decode(line, 8000, [&](TPhoneToneDecoder& decoder, std::int64_t sample) {
        if (!restarted && sample >= restartAt) {
            // Where the decoder is: what a recording starting now maps its positions against.
            EXPECT_EQ(decoder.SamplesDecoded(), sample);
            decoder.RestartSilence();
            restarted = true;
        }
    });
    ASSERT_EQ(heard.Events.size(), 1u);
    EXPECT_GE(heard.Events[0].Position - restartAt, 8 * Rate);
    EXPECT_LE(heard.Events[0].Position - restartAt, 9 * Rate);
}

TEST(LineEvents, SpeechMusicNoiseAndKeysGiveNoEvent) {
    char folder[] = "/tmp/lumisk_lineevents_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::vector<TDtmfCase> cases;
    std::string reason;
    const bool made = BuildTalkOffCorpus(folder, 2, 11, cases, reason);
    std::filesystem::remove_all(folder);
    if (!made)
        GTEST_SKIP() << reason;
    std::vector<std::int16_t> all;
    for (const TDtmfCase& c : cases)
        all.insert(all.end(), c.Pcm.begin(), c.Pcm.end());
    const THeard heard = Decode(ThroughLine(all, 3));
    for (const TLineEvent& event : heard.Events)
        ADD_FAILURE() << LineEventName(event.Kind) << " at " << static_cast<double>(event.Position) / Rate
                      << " s of " << static_cast<double>(all.size()) / Rate << " s";
}
