// The voice-modem path: DLE shielding and events, the format choice, and whole calls through a
// real serial port on the line simulator's voice-modem end.
#include "VoiceModemEnd.h"
#include "app/ComPortVoiceLink.h"
#include "audio/CaptureDrivers.h"
#include "audio/CaptureFormats.h"
#include "audio/VoiceDle.h"
#include "audio/VoiceFormat.h"
#include "audio/VoiceModemSession.h"
#include "audio/VoiceModemSound.h"
#include "toolkit/Thread.h"

#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(VoiceDle, UnshieldsAudioAndEventsInAnyChunking) {
    // Audio full of DLE bytes, events between, and command text after the end.
    std::vector<uint8_t> audio;
    for (int i = 0; i < 300; ++i)
        audio.push_back(static_cast<uint8_t>(i % 3 == 0 ? DLE : i));
    std::string stream;
    ShieldVoiceData(audio.data(), 100, stream);
    stream += "\x10"
              "b";
    ShieldVoiceData(audio.data() + 100, 100, stream);
    stream += "\x10/\x10#\x10~\x10"
              "5";
    ShieldVoiceData(audio.data() + 200, 100, stream);
    stream += std::string(DleEnd(), 2) + "\r\nOK\r\n";
    for (size_t chunk = 1; chunk <= 7; ++chunk) {
        TDleReceiver receiver;
        TDleReceiver::TResult result;
        for (size_t at = 0; at < stream.size(); at += chunk)
            receiver.Feed(reinterpret_cast<const uint8_t*>(stream.data()) + at,
                          std::min(chunk, stream.size() - at), result);
        EXPECT_EQ(result.Audio, audio) << "chunk " << chunk;
        ASSERT_EQ(result.Events.size(), 4u);
        EXPECT_EQ(result.Events[0].Kind, TVoiceEventKind::Busy);
        EXPECT_EQ(result.Events[1].Code, '#');
        EXPECT_EQ(result.Events[2].Code, '5');
        EXPECT_EQ(result.Events[3].Kind, TVoiceEventKind::End);
        EXPECT_EQ(result.Text, "\r\nOK\r\n");
    }
}

TEST(VoiceFormat, ChoosesTheBestOfferTheLineCarries) {
    const std::string answer = "AT+VSM=?\r\n"
                               "+VSM: 128,\"8-BIT LINEAR\",8,0,(7200,8000,11025),0,0\r\n"
                               "+VSM: 129,\"16-BIT LINEAR\",16,0,7200-11025,0,0\r\n"
                               "+VSM: 131,\"8-BIT ULAW\",8,0,8000,0,0\r\n"
                               "+VSM: 132,\"IMA ADPCM\",4,0,8000,0,0\r\n"
                               "+VSM: 1,\"UNSIGNED PCM\",8,0,11025,0,0\r\n\r\nOK\r\n";
    const auto offers = ParseVoiceFormats(answer);
    ASSERT_EQ(offers.size(), 5u);
    EXPECT_EQ(ChooseVoiceFormat(offers, 0).Code, 129); // USB: the best
    EXPECT_EQ(ChooseVoiceFormat(offers, 230400).Code, 129);
    EXPECT_EQ(ChooseVoiceFormat(offers, 115200).Code, 128); // 16-bit needs more than 160000
    EXPECT_EQ(ChooseVoiceFormat(ParseVoiceFormats(answer.substr(answer.find("+VSM: 131"))), 115200).Code,
              131);
    try {
        ChooseVoiceFormat(offers, 57600);
        FAIL() << "a 57600 baud line carries no 8 kHz audio";
    } catch (const EVoiceModemError& e) {
        EXPECT_NE(std::string(e.Message()).find("57600 baud"), std::string::npos) << e.Message();
    }
    EXPECT_THROW(ChooseVoiceFormat(ParseVoiceFormats("+VSM: 132,\"IMA ADPCM\",4,0,8000,0,0\r\n"), 0),
                 EVoiceModemError);
}

WAVEFORMATEX TestPcm16() {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 1;
    f.nSamplesPerSec = 8000;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 2;
    return f;
}

// The box's side of a call: a real port on the simulator's pty, the session over it and the
// modem as the sound backend.
class VoiceCall : public ::testing::Test {
protected:
    void Open(TVoiceModemOptions options) {
        Modem = std::make_unique<TVoiceModemEnd>(options);
        Connect(Modem->SlavePath());
    }
    void Connect(const std::string& path) {
        TThread::SetMainThread();
        Port.SetPort(path);
        Port.SetDiscardNull(true); // as the window sets it; voice mode must undo it
        Link = std::make_unique<TComPortVoiceLink>(Port, SessionRef);
        Session = std::make_unique<TVoiceModemSession>(*Link);
        Session->OnKey = [this](char key) {
            std::lock_guard<std::mutex> guard(Lock);
            Keys += key;
            Changed.notify_all();
        };
        Session->OnLineEvent = [this](const TVoiceEvent& event) {
            std::lock_guard<std::mutex> guard(Lock);
            Events.push_back(event.Kind);
            Changed.notify_all();
        };
        Session->OnText = [this](const std::string& line) {
            std::lock_guard<std::mutex> guard(Lock);
            Text.push_back(line);
            Changed.notify_all();
        };
        SessionRef = Session.get();
        Port.OpenPort();
        Sound = std::make_unique<TVoiceModemSound>(*Session);
    }
    void TearDown() override {
        Port.ClosePort();
        SessionRef = nullptr;
    }

    // A capture buffer of the backend, as a capture stream makes it.
    std::unique_ptr<ISoundCaptureBuffer> Capture(int bits, uint32_t bytes) {
        WAVEFORMATEX f{};
        f.wFormatTag = WAVE_FORMAT_PCM;
        f.nChannels = 1;
        f.nSamplesPerSec = 8000;
        f.wBitsPerSample = static_cast<uint16_t>(bits);
        f.nBlockAlign = static_cast<uint16_t>(bits / 8);
        f.nAvgBytesPerSec = 8000 * f.nBlockAlign;
        std::unique_ptr<ISoundCapture> capture;
        const TDeviceGuid id = "modem";
        EXPECT_EQ(Sound->CreateCapture(&id, capture), DS_OK);
        DSCBUFFERDESC d;
        d.dwBufferBytes = bytes;
        d.lpwfxFormat = &f;
        std::unique_ptr<ISoundCaptureBuffer> buffer;
        EXPECT_EQ(capture->CreateCaptureBuffer(d, buffer), DS_OK);
        return buffer;
    }
    static std::vector<uint8_t> Contents(ISoundCaptureBuffer& buffer) {
        uint64_t total = 0;
        buffer.CapturedTotal(total);
        void *r1, *r2;
        uint32_t b1, b2;
        buffer.Lock(0, static_cast<uint32_t>(total), &r1, &b1, &r2, &b2, 0);
        const auto* p = static_cast<const uint8_t*>(r1);
        return std::vector<uint8_t>(p, p + b1);
    }
    int32_t PlayPcm(const std::vector<uint8_t>& data, int bits) {
        WAVEFORMATEX f{};
        f.wFormatTag = WAVE_FORMAT_PCM;
        f.nChannels = 1;
        f.nSamplesPerSec = 8000;
        f.wBitsPerSample = static_cast<uint16_t>(bits);
        f.nBlockAlign = static_cast<uint16_t>(bits / 8);
        const std::atomic<bool> never{false};
        return Sound->Play(f, data.data(), static_cast<uint32_t>(data.size()), never);
    }

    std::unique_ptr<TVoiceModemEnd> Modem;
    TComPort Port;
    TVoiceModemSession* SessionRef = nullptr;
    std::unique_ptr<TComPortVoiceLink> Link;
    std::unique_ptr<TVoiceModemSession> Session;
    std::unique_ptr<TVoiceModemSound> Sound;
    // Waits until done() holds under Lock, at most timeoutMs.
    bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
        std::unique_lock<std::mutex> lock(Lock);
        return Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }

    std::mutex Lock;
    std::condition_variable Changed;
    std::string Keys;
    std::vector<TVoiceEventKind> Events;
    std::vector<std::string> Text;
    size_t Sent0 = 0;
};

class VoiceRoundTrip : public VoiceCall, public ::testing::WithParamInterface<const char*> {};

// Audio in which many bytes are DLE, in both directions, through two calls of a modem that
// forgets voice mode at every hang-up.
TEST_P(VoiceRoundTrip, PromptAndRecordingWithDleBytesArriveExactly) {
    const std::string coding = GetParam();
    TVoiceModemOptions options;
    options.Formats = coding + ",ulaw";
    options.ForgetOnHangup = true;
    Open(options);
    Session->Start();
    const int bits = coding == "16bit" ? 16 : 8;
    EXPECT_EQ(Session->Format().Bits, bits) << Session->Description();
    EXPECT_EQ(Modem->Snapshot().FormatCode, Session->Format().Code);

    // 0x10 in the low byte, the high byte and both; for 8-bit data, the unsigned byte 0x10.
    TSamples speech;
    for (int i = 0; i < 4000; ++i)
        speech.push_back(static_cast<int16_t>(bits == 16 ? (i % 2 ? 0x1010 : 0x0010 + (i << 8))
                                                         : ((i % 2 ? 0x10 : i % 256) - 128) * 256));
    std::vector<uint8_t> prompt;
    for (int i = 0; i < 6000; ++i) {
        if (bits == 16) {
            prompt.push_back(static_cast<uint8_t>(i % 3 ? 0x10 : i));
            prompt.push_back(static_cast<uint8_t>(i % 5 ? 0x10 : i >> 3));
        } else {
            prompt.push_back(static_cast<uint8_t>(i % 2 ? 0x10 : i));
        }
    }
    for (int call = 0; call < 2; ++call) {
        SCOPED_TRACE(call);
        auto buffer = Capture(bits, 8000 * 2 * 10);
        ASSERT_EQ(buffer->Start(DSCBSTART_LOOPING), DS_OK);
        Modem->Ring();
        ASSERT_TRUE(Modem->WaitUntil(
            [&] {
                std::lock_guard<std::mutex> guard(Lock);
                return std::count(Text.begin(), Text.end(), "RING") == call + 1;
            },
            10000));
        Session->Answer();
        EXPECT_TRUE(Modem->Snapshot().Receiving);
        Modem->Say(speech);
        ASSERT_TRUE(Modem->WaitUntil(
            [&] {
                const auto r = Modem->Snapshot();
                return r.QueuedCallerSamples == 0;
            },
            10000));
        const size_t before = Modem->Snapshot().Played.size();
        ASSERT_EQ(PlayPcm(prompt, bits), MCIERR_NONE) << Sound->LastError();
        const auto record = Modem->Snapshot();
        EXPECT_EQ(
            std::vector<uint8_t>(record.Played.begin() + static_cast<ptrdiff_t>(before), record.Played.end()),
            prompt);
        // Everything the modem sent while the box listened (silence around the speech) and
        // nothing else reached the buffer, byte for byte.
        buffer->Stop();
        EXPECT_EQ(Contents(*buffer),
                  std::vector<uint8_t>(record.Sent.begin() + static_cast<ptrdiff_t>(call ? Sent0 : 0),
                                       record.Sent.end()));
        Sent0 = record.Sent.size();
        Session->Hangup();
        EXPECT_FALSE(Modem->Snapshot().OffHook);
    }
    std::lock_guard<std::mutex> guard(Lock);
    EXPECT_EQ(std::count(Text.begin(), Text.end(), "RING"), 2);
}

INSTANTIATE_TEST_SUITE_P(Formats, VoiceRoundTrip, ::testing::Values("16bit", "8bit"));

// Half duplex: keys the caller presses during a prompt come from the modem's reports, the
// modem's XOFF holds the box back without a byte lost, and a busy tone is a line event.
TEST_F(VoiceCall, KeysDuringAPromptAndABusyTone) {
    TVoiceModemOptions options;
    options.Formats = "ulaw";
    options.ShieldedKeys = true;
    options.BufferMs = 150; // half of it is less than the box runs ahead: XOFF must hold it back
    Open(options);
    Session->Start();
    auto buffer = Capture(16, 8000 * 2 * 4);
    buffer->Start(DSCBSTART_LOOPING);
    Session->Answer();
    std::vector<uint8_t> prompt(8000 * 2 * 3 / 2, 0); // 1.5 s of 16-bit silence
    std::thread playing([&] { EXPECT_EQ(PlayPcm(prompt, 16), MCIERR_NONE) << Sound->LastError(); });
    ASSERT_TRUE(Modem->WaitUntil([&] { return !Modem->Snapshot().Played.empty(); }, 10000));
    Modem->PressKeys("12#");
    playing.join();
    auto record = Modem->Snapshot();
    EXPECT_EQ(record.Played.size(), prompt.size() / 2);
    EXPECT_EQ(record.OverrunBytes, 0u);
    EXPECT_GT(record.XoffSent, 0);
    EXPECT_TRUE(record.Receiving); // listening again after the prompt
    for (char code : std::string("bdqlH"))
        Modem->Event(code);
    ASSERT_TRUE(Modem->WaitUntil(
        [&] {
            std::lock_guard<std::mutex> guard(Lock);
            return Events.size() >= 5;
        },
        10000));
    std::lock_guard<std::mutex> guard(Lock);
    EXPECT_EQ(Keys, "12#");
    EXPECT_EQ(Events, (std::vector<TVoiceEventKind>{TVoiceEventKind::Busy, TVoiceEventKind::DialTone,
                                                    TVoiceEventKind::Silence, TVoiceEventKind::LoopBreak,
                                                    TVoiceEventKind::Handset}));
}

// The modem shows as a capture device with its formats; a prompt the modem refuses is a failed
// playback with the modem's answer, not a silent success.
TEST_F(VoiceCall, TheModemAsADeviceAndItsRefusals) {
    TVoiceModemOptions options;
    options.Formats = "alaw";
    Open(options);
    EXPECT_EQ(Sound->CheckPlayback(TestPcm16()), MCIERR_NO_PLAYBACK_DEVICE); // not set up yet
    Session->Start();
    TDirectXDrivers drivers;
    Sound->EnumerateCapture(AddCaptureDriver, &drivers);
    ASSERT_EQ(drivers.Count(), 2);
    EXPECT_EQ(drivers.Items(1).Description, "Voice modem (8-BIT ALAW)");
    std::unique_ptr<ISoundCapture> capture;
    ASSERT_EQ(Sound->CreateCapture(drivers.Items(1).GuidPtr, capture), DS_OK);
    TSoundCaptureFormats formats;
    ProbeCaptureFormats(*capture, formats);
    ASSERT_EQ(formats.Count(), 2);
    EXPECT_EQ(formats[0].DisplayText(), "8000Hz 8bit Mono");
    EXPECT_EQ(formats[1].DisplayText(), "8000Hz 16bit Mono");

    // On hook, the modem refuses AT+VTX.
    std::vector<uint8_t> prompt(1600, 0x10);
    EXPECT_EQ(PlayPcm(prompt, 16), MCIERR_PLAYBACK_FAILED);
    EXPECT_EQ(Sound->LastError(), "voice modem: AT+VTX answered ERROR");
    // Off hook it plays, and a cancelled prompt ends at once with <DLE><CAN>.
    Session->Answer();
    std::atomic<bool> cancel{true};
    std::vector<int16_t> samples(80000, 0x1010);
    Session->Play(samples.data(), samples.size(), cancel);
    EXPECT_EQ(Modem->Snapshot().Prompts, 1);
    EXPECT_LT(Modem->Snapshot().Played.size(), samples.size());
}

// The simulator program's scripted caller against the box's side: rings, keys during the
// greeting (the modem's reports), a spoken message, then a busy tone that ends the call.
TEST_F(VoiceCall, TheSimulatorsScriptedCaller) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        const char* path = LUMISK_BINARY_DIR "/tools/lumisk-linesim/lumisk-linesim";
        execl(path, path, "--voice-modem", "8bit", "--shielded-keys", "--call",
              "47 ahead=300 tone 1 tail=b limit=20", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    // A failed assertion must not leave the simulator running.
    struct TReap {
        pid_t Pid;
        int Status = -1;
        ~TReap() {
            if (Pid > 0) {
                kill(Pid, SIGTERM);
                waitpid(Pid, nullptr, 0);
            }
        }
    } reap{child};
    std::string report;
    auto readUntil = [&](const std::string& wanted) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (report.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < until) {
            pollfd p{out[0], POLLIN, 0};
            char buf[4096];
            if (poll(&p, 1, 100) > 0) {
                const ssize_t n = read(out[0], buf, sizeof buf);
                if (n <= 0)
                    break;
                report.append(buf, static_cast<size_t>(n));
            }
        }
        return report.find(wanted) != std::string::npos;
    };
    ASSERT_TRUE(readUntil("\n"));
    ASSERT_EQ(report.rfind("pty ", 0), 0u) << report;
    Connect(report.substr(4, report.find('\n') - 4));
    Session->Start();
    auto buffer = Capture(8, 8000 * 10);
    buffer->Start(DSCBSTART_LOOPING);
    ASSERT_TRUE(WaitFor([&] { return !Text.empty() && Text.back() == "RING"; }, 10000));
    Session->Answer();
    std::vector<uint8_t> greeting(8000 * 3 / 2, 0x80);
    ASSERT_EQ(PlayPcm(greeting, 8), MCIERR_NONE) << Sound->LastError();
    EXPECT_TRUE(WaitFor([&] { return Keys == "47"; }, 1000)) << Keys;
    ASSERT_TRUE(WaitFor([&] { return !Events.empty(); }, 20000));
    EXPECT_EQ(Events.front(), TVoiceEventKind::Busy);
    Session->Hangup();
    EXPECT_TRUE(readUntil("call hangup")) << report;
    int status = -1;
    waitpid(child, &status, 0);
    reap.Pid = 0;
    close(out[0]);
    EXPECT_EQ(status, 0) << report;
    // The message came before the busy tone: a second of 440 Hz in the 8-bit buffer.
    const std::vector<uint8_t> heard = Contents(*buffer);
    EXPECT_GT(std::count_if(heard.begin(), heard.end(), [](uint8_t b) { return b < 0x70 || b > 0x90; }),
              2000);
}

} // namespace
