// The caller's half of the line simulator on its own: call scripts, the keys' sound as the box's
// decoder hears it, and message files of any PCM format.
#include "CallerAudio.h"
#include "CallerEnd.h"
#include "app/CallerId.h"
#include "decoder/PhoneToneDecoder.h"

#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace {

std::string Decode(const TSamples& samples) {
    TPhoneToneDecoder decoder;
    std::string keys;
    decoder.OnDTMF = [&](TComponent*, int key, int64_t) { keys += static_cast<char>(key); };
    decoder.StartDecoding();
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    for (size_t at = 0; at < samples.size() * 2; at += 1024)
        decoder.DecodeSamples({bytes + at, std::min<size_t>(1024, samples.size() * 2 - at)});
    TSamples tail;
    AppendSilence(tail, 300); // a key is reported at its release
    decoder.DecodeSamples({reinterpret_cast<const uint8_t*>(tail.data()), tail.size() * 2});
    return keys;
}

TEST(CallerScript, ReadsKeysOptionsAndTheMessage) {
    TCallScript s =
        ParseCallScript("12345 key=80 gap=120 quiet=500 limit=30 heard=/tmp/h.wav say Hello there, box");
    EXPECT_EQ(s.Keys, "12345");
    EXPECT_EQ(s.KeyMs, 80);
    EXPECT_EQ(s.GapMs, 120);
    EXPECT_EQ(s.QuietMs, 500);
    EXPECT_EQ(s.StepSeconds, 30);
    EXPECT_EQ(s.HeardFile, "/tmp/h.wav");
    EXPECT_EQ(s.MessageKind, TCallScript::Say);
    EXPECT_EQ(s.MessageArg, "Hello there, box"); // the rest of the line, blanks and all

    s = ParseCallScript("-");
    EXPECT_EQ(s.Keys, "");
    EXPECT_EQ(s.MessageKind, TCallScript::Tone);
    EXPECT_EQ(ParseCallScript("0*#ABCD none").MessageKind, TCallScript::None);
    EXPECT_EQ(ParseCallScript("1 wav /x y.wav").MessageArg, "/x y.wav");

    for (const char* bad :
         {"", "12E4", "1 key=0", "1 key=abc", "1 gap=-1", "1 volume=3", "1 tone x", "1 wav", "1 sing la"})
        EXPECT_THROW(ParseCallScript(bad), std::runtime_error) << bad;
}

TEST(CallerScript, EveryKeyIsHeardByTheBoxsDecoderDownToShortPresses) {
    for (int ms : {40, 60, 100, 250}) {
        TSamples s;
        AppendSilence(s, 200);
        for (char key : std::string("1234567890*#ABCD")) {
            AppendKey(s, key, ms);
            AppendSilence(s, ms);
        }
        EXPECT_EQ(Decode(s), "1234567890*#ABCD") << ms << " ms";
    }
    // A message tone is no key.
    TSamples tone;
    AppendTone(tone, 440, 2000);
    EXPECT_EQ(Decode(tone), "");
}

TEST(CallerScript, MessageFilesOfAnyPcmFormatBecomeLineAudio) {
    const std::string folder =
        std::filesystem::temp_directory_path() / ("caller-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    // A second of 8 kHz line audio survives a round trip bit for bit.
    TSamples line;
    AppendTone(line, 1000, 1000);
    WriteLineWave(folder + "/line.wav", line);
    EXPECT_EQ(ReadWaveAsLine(folder + "/line.wav"), line);
    // 22050 Hz stereo, as a speech synthesiser or a recorder may give it: rate and channels
    // converted, length kept.
    const std::string wide = folder + "/wide.wav";
    ASSERT_EQ(std::system(("sox -q -n -r 22050 -b 16 -c 2 " + wide + " synth 1.5 sine 300").c_str()), 0);
    EXPECT_NEAR(MillisecondsOf(ReadWaveAsLine(wide)), 1500, 2);
    EXPECT_THROW(ReadWaveAsLine(folder + "/missing.wav"), std::runtime_error);
    std::filesystem::remove_all(folder);
}

TEST(CallerScript, CallerIdInEveryFormAndTheHangupTailsAsTheBoxHearsThem) {
    TCallScript s = ParseCallScript("5 cid=between cidform=tight nmbr=01632960123 name=SMITH_J rings=3 "
                                    "ringgap=400 tail=busy400 hash tone 2");
    EXPECT_EQ(s.CallerIdWhen, TCallScript::TCallerIdWhen::Between);
    EXPECT_EQ(s.Rings, 3);
    EXPECT_EQ(s.RingGapMs, 400);
    EXPECT_EQ(s.Tail, THangupTail::Busy400);
    EXPECT_TRUE(s.HashAfter);
    EXPECT_EQ(s.MessageKind, TCallScript::Tone);
    for (const char* bad : {"1 cid=after", "1 cidform=fancy", "1 tail=music", "1 rings=0"})
        EXPECT_THROW(ParseCallScript(bad), std::runtime_error) << bad;

    // Each form, read by the box's caller-ID parser.
    const std::pair<const char*, const char*> forms[] = {{"spaced", "answered from 01632960123 (SMITH J)"},
                                                         {"tight", "answered from 01632960123 (SMITH J)"},
                                                         {"partial", "answered from 01632960123"},
                                                         {"private", "answered from a private number"},
                                                         {"outofarea", "answered from out of area"}};
    for (const auto& [form, answered] : forms) {
        s = ParseCallScript(std::string("5 cid=before nmbr=01632960123 name=SMITH_J cidform=") + form);
        TCallerIdParser parser;
        parser.Feed(CallerIdLines(s, 0) + "RING\r\n");
        EXPECT_EQ(parser.Id().AnsweredText(), answered) << form;
    }

    // Each tail as the caller's end writes it, in quarter-second pieces, after a message.
    const std::pair<THangupTail, TLineEventKind> tails[] = {
        {THangupTail::Busy, TLineEventKind::BusyTone},    {THangupTail::Reorder, TLineEventKind::ReorderTone},
        {THangupTail::Busy425, TLineEventKind::BusyTone}, {THangupTail::Busy400, TLineEventKind::BusyTone},
        {THangupTail::Dial, TLineEventKind::DialTone},    {THangupTail::Silence, TLineEventKind::Silence}};
    for (const auto& [tail, kind] : tails) {
        TSamples line;
        AppendTone(line, 300, 1000);
        const int64_t messageEnd = static_cast<int64_t>(line.size());
        for (int at = 0; at < 10000; at += 250)
            AppendHangupTail(line, tail, at, 250);
        TPhoneToneDecoder decoder;
        std::vector<TLineEvent> events;
        decoder.OnLineEvent = [&events](TComponent*, const TLineEvent& e) { events.push_back(e); };
        decoder.StartDecoding();
        decoder.DecodeSamples({reinterpret_cast<const uint8_t*>(line.data()), line.size() * 2});
        ASSERT_EQ(events.size(), 1u) << HangupTailName(tail);
        EXPECT_EQ(events[0].Kind, kind) << HangupTailName(tail);
        EXPECT_NEAR(static_cast<double>(events[0].LastSoundPosition), static_cast<double>(messageEnd), 200)
            << HangupTailName(tail);
    }
}

// A whole call against a stand-in for the box that listens on the capture FIFO with the real
// decoder: caller ID between the rings, the number, the message, "#", and the busy tail, which
// the stand-in hears and hangs up on.
TEST(CallerScript, TheCallerWhoHangsUpLeavesABusyTailUntilTheBoxHangsUp) {
    const std::string fifo =
        std::filesystem::temp_directory_path() / ("caller-tail-" + std::to_string(getpid()) + ".fifo");
    TCallerEnd caller(fifo, "");
    std::mutex lock;
    std::condition_variable changed;
    std::string modemText;
    std::vector<std::string> reports;
    bool ended = false, completed = false;
    caller.OnRing = [&] {
        std::lock_guard<std::mutex> g(lock);
        modemText += "RING\r\n";
        changed.notify_all();
        return true;
    };
    caller.OnModemText = [&](const std::string& text) {
        std::lock_guard<std::mutex> g(lock);
        modemText += text;
        changed.notify_all();
        return true;
    };
    caller.OnReport = [&](const std::string& line) {
        std::lock_guard<std::mutex> g(lock);
        reports.push_back(line);
    };
    caller.OnCallEnded = [&](bool ok) {
        std::lock_guard<std::mutex> g(lock);
        ended = true;
        completed = ok;
        changed.notify_all();
    };
    const int capture = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(capture, 0);
    caller.StartCall(
        ParseCallScript("62345 ahead=0 limit=5 cid=between rings=2 ringgap=300 hash tail=busy tone 1"));

    // Answer on the second ring, with the ID that came between.
    TCallerIdParser callerId;
    {
        std::unique_lock<std::mutex> g(lock);
        ASSERT_TRUE(changed.wait_for(g, std::chrono::seconds(20), [&] {
            const size_t first = modemText.find("RING");
            return first != std::string::npos && modemText.find("RING", first + 1) != std::string::npos;
        }));
        callerId.Feed(modemText);
    }
    EXPECT_EQ(callerId.Id().AnsweredText(), "answered from 5551234 (DOE JANE)");
    caller.ModemLine("ATH1");

    TPhoneToneDecoder decoder;
    std::string keys;
    std::vector<TLineEvent> events;
    int64_t hashAt = -1;
    decoder.OnDTMF = [&](TComponent*, int key, int64_t position) {
        keys += static_cast<char>(key);
        if (keys == "62345")
            caller.ModemLine("ATDD;"); // the number taken: the message may come
        if (key == '#')
            hashAt = position;
    };
    decoder.OnLineEvent = [&](TComponent*, const TLineEvent& e) {
        events.push_back(e);
        caller.ModemLine("ATH0");
    };
    decoder.StartDecoding();
    for (;;) {
        {
            std::lock_guard<std::mutex> g(lock);
            if (ended)
                break;
        }
        pollfd p{capture, POLLIN, 0};
        poll(&p, 1, 100);
        uint8_t bytes[1024];
        const ssize_t n = read(capture, bytes, sizeof bytes);
        if (n > 0)
            decoder.DecodeSamples({bytes, static_cast<size_t>(n)});
    }
    close(capture);
    std::filesystem::remove(fifo);

    std::string all;
    for (const std::string& r : reports)
        all += r + "\n";
    EXPECT_TRUE(completed) << all;
    EXPECT_EQ(keys, "62345#");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, TLineEventKind::BusyTone);
    EXPECT_GT(events[0].LastSoundPosition, hashAt); // the "#" was the caller's last sound
    EXPECT_LT(events[0].LastSoundPosition, hashAt + 8000 / 2);
    EXPECT_NE(all.find("call caller-id after the first ring\ncall ring\n"), std::string::npos) << all;
    EXPECT_NE(all.find("call keys #\ncall tail busy\ncall hangup "), std::string::npos) << all;
    EXPECT_NE(all.find("ms after the tail began"), std::string::npos) << all;
}

} // namespace
