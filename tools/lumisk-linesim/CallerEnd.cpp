#include "CallerEnd.h"

#include "LiveLine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Gaps in the box's playback shorter than this are not kept on the time line: a late wake-up
// of the box's playback thread must never split a prompt.
constexpr int64_t HeardGapSamples = LineRate / 4;
// At most this much of a sound before the answer line is kept for the call.
constexpr int64_t PrerollLimit = LineRate * 5;

int OpenFifo(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (mkfifo(path.c_str(), 0600) != 0)
            throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    } else if (!S_ISFIFO(info.st_mode)) {
        throw std::runtime_error(path + " exists and is not a FIFO");
    }
    // Reading and writing: never blocks on open, never sees an end or a broken pipe.
    const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    return fd;
}

int IntOption(const std::string& name, const std::string& value, int low, int high) {
    size_t used = 0;
    int n = 0;
    try {
        n = std::stoi(value, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != value.size() || value.empty() || n < low || n > high)
        throw std::runtime_error(name + " wants a number from " + std::to_string(low) + " to " +
                                 std::to_string(high));
    return n;
}

} // namespace

TCallScript ParseCallScript(const std::string& text) {
    TCallScript script;
    std::istringstream in(text);
    if (!(in >> script.Keys))
        throw std::runtime_error("call wants the keys first (\"-\" for none)");
    if (script.Keys == "-")
        script.Keys.clear();
    TSamples probe;
    for (char key : script.Keys)
        AppendKey(probe, key, 0); // throws for a character that is not a key
    std::string word;
    while (in >> word) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos) {
            const std::string name = word.substr(0, eq), value = word.substr(eq + 1);
            if (name == "key")
                script.KeyMs = IntOption(name, value, 10, 5000);
            else if (name == "gap")
                script.GapMs = IntOption(name, value, 0, 20000);
            else if (name == "quiet")
                script.QuietMs = IntOption(name, value, 50, 20000);
            else if (name == "ahead")
                script.AheadMs = IntOption(name, value, 0, 60000);
            else if (name == "into")
                script.IntoMs = IntOption(name, value, 0, 60000);
            else if (name == "again") {
                script.Again = value;
                for (char key : script.Again)
                    AppendKey(probe, key, 0);
            } else if (name == "limit")
                script.StepSeconds = IntOption(name, value, 1, 3600);
            else if (name == "answer")
                script.AnswerLine = value;
            else if (name == "hangup")
                script.HangupLine = value;
            else if (name == "heard")
                script.HeardFile = value;
            else if (name == "cid" && (value == "before" || value == "between"))
                script.CallerIdWhen = value == "before" ? TCallScript::TCallerIdWhen::Before
                                                        : TCallScript::TCallerIdWhen::Between;
            else if (name == "cidform" && value == "spaced")
                script.CallerIdForm = TCallScript::TCallerIdForm::Spaced;
            else if (name == "cidform" && value == "tight")
                script.CallerIdForm = TCallScript::TCallerIdForm::Tight;
            else if (name == "cidform" && value == "partial")
                script.CallerIdForm = TCallScript::TCallerIdForm::Partial;
            else if (name == "cidform" && value == "private")
                script.CallerIdForm = TCallScript::TCallerIdForm::Private;
            else if (name == "cidform" && value == "outofarea")
                script.CallerIdForm = TCallScript::TCallerIdForm::OutOfArea;
            else if (name == "cid" || name == "cidform")
                throw std::runtime_error(name == "cid"
                                             ? "cid is before or between"
                                             : "cidform is spaced, tight, partial, private or outofarea");
            else if (name == "nmbr")
                script.CallerNumber = value;
            else if (name == "name") {
                // A script word has no spaces: "_" stands for one.
                script.CallerName = value;
                std::replace(script.CallerName.begin(), script.CallerName.end(), '_', ' ');
            } else if (name == "rings")
                script.Rings = IntOption(name, value, 1, 20);
            else if (name == "ringgap")
                script.RingGapMs = IntOption(name, value, 100, 20000);
            else if (name == "tail") {
                if (!HangupTailFromName(value, script.Tail))
                    throw std::runtime_error("tail is busy, reorder, busy425, busy400, dial or silence");
            } else
                throw std::runtime_error("unknown call option " + name);
            continue;
        }
        if (word == "hash") {
            script.HashAfter = true;
            continue;
        }
        std::string rest;
        std::getline(in, rest);
        const size_t first = rest.find_first_not_of(' ');
        rest = first == std::string::npos ? "" : rest.substr(first);
        if (word == "none") {
            script.MessageKind = TCallScript::None;
        } else if (word == "wav" && !rest.empty()) {
            script.MessageKind = TCallScript::Wave;
        } else if (word == "say" && !rest.empty()) {
            script.MessageKind = TCallScript::Say;
        } else if (word == "tone") {
            script.MessageKind = TCallScript::Tone;
            IntOption("tone", rest, 1, 600);
        } else {
            throw std::runtime_error(
                "the message is \"wav FILE\", \"say TEXT\", \"tone SECONDS\" or \"none\"");
        }
        script.MessageArg = rest;
        break;
    }
    return script;
}

std::string CallerIdLines(const TCallScript& script, std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    char date[8], time[8];
    std::strftime(date, sizeof date, "%m%d", &local);
    std::strftime(time, sizeof time, "%H%M", &local);
    using TForm = TCallScript::TCallerIdForm;
    const TForm form = script.CallerIdForm;
    const std::string eq = form == TForm::Tight ? "=" : " = ";
    const std::string number = form == TForm::Private     ? "P"
                               : form == TForm::OutOfArea ? "O"
                                                          : script.CallerNumber;
    // Modems set the lines apart with an empty one.
    std::string text = "\r\n";
    if (form == TForm::Partial)
        return text + "TIME=" + time + "\r\nNMBR = " + number + "\r\n\r\n";
    text += "DATE" + eq + date + "\r\nTIME" + eq + time + "\r\nNMBR" + eq + number + "\r\n";
    if (form != TForm::Private && form != TForm::OutOfArea)
        text += "NAME" + eq + script.CallerName + "\r\n";
    return text + "\r\n";
}

TCallerEnd::TCallerEnd(const std::string& capturePath, const std::string& playbackPath) {
    FWakeWriter = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWakeWriter < 0)
        throw std::runtime_error("cannot make an eventfd");
    if (!capturePath.empty())
        FCapture = OpenFifo(capturePath);
    if (!playbackPath.empty())
        FPlayback = OpenFifo(playbackPath);
}

TCallerEnd::~TCallerEnd() {
    Abort();
    if (FThread.joinable())
        FThread.join();
    FLine.reset();
    for (int fd : {FCapture, FPlayback, FWakeWriter})
        if (fd >= 0)
            close(fd);
}

void TCallerEnd::SetLine(const TLineModelSettings& settings) {
    if (FCapture < 0)
        throw std::runtime_error("the line model needs the capture FIFO (--capture)");
    FLine.reset();
    FLine = std::make_unique<TLiveLine>(settings, FCapture);
}

void TCallerEnd::SetEchoReturnLoss(double db) {
    if (!FLine)
        throw std::runtime_error("erl needs the line model (--line)");
    FLine->SetEchoReturnLoss(db);
}

void TCallerEnd::Report(const std::string& line) {
    if (OnReport)
        OnReport(line);
}

bool TCallerEnd::Busy() {
    std::lock_guard<std::mutex> guard(FLock);
    return FBusy;
}

void TCallerEnd::Abort() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FBusy)
            return;
        FAbort = true;
    }
    FChanged.notify_all();
    if (FLine)
        FLine->Interrupt();
    const uint64_t one = 1;
    (void)!write(FWakeWriter, &one, sizeof one);
}

void TCallerEnd::HandlePlayback() {
    uint8_t buf[8192];
    TSamples fresh; // for the line's echo
    for (;;) {
        const ssize_t n = read(FPlayback, buf, sizeof buf);
        if (n <= 0)
            break;
        const auto now = TClock::now();
        std::lock_guard<std::mutex> guard(FLock);
        // The sound going on when the answer line arrives belongs to the call: the answer may
        // reach us through the pseudo-terminal a little later than the first prompt's bytes.
        if (!FSoundSeen || now - FLastSound > std::chrono::milliseconds(250)) {
            FSoundStart = now;
            if (!FRecording)
                FPreroll.clear();
        }
        FLastSound = now;
        FSoundSeen = true;
        if (FRecording) {
            const int64_t due =
                std::chrono::duration_cast<std::chrono::microseconds>(now - FHeardStart).count() * LineRate /
                1000000;
            if (due - static_cast<int64_t>(FHeard.size()) > HeardGapSamples)
                FHeard.resize(static_cast<size_t>(due), 0);
        }
        // A read may end inside a sample: its first byte waits for the next read.
        for (ssize_t i = 0; i < n; ++i) {
            if (!FHaveOddByte) {
                FOddByte = buf[i];
                FHaveOddByte = true;
                continue;
            }
            FHaveOddByte = false;
            const int16_t sample = static_cast<int16_t>(FOddByte | (buf[i] << 8));
            if (FLine)
                fresh.push_back(sample);
            if (FRecording) {
                FHeard.push_back(sample);
                ++FHeardSoundSamples;
            } else if (FPreroll.size() < static_cast<size_t>(PrerollLimit)) {
                FPreroll.push_back(sample);
            }
        }
    }
    if (FLine && !fresh.empty())
        FLine->Played(fresh);
    FChanged.notify_all();
}

void TCallerEnd::ModemLine(const std::string& line) {
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FBusy)
            return;
        if (line == FAnswerLine && !FAnswered) {
            FAnswered = true;
            // What the box plays is kept from here on (with what it has just begun to play).
            const auto now = TClock::now();
            FHeard.clear();
            FHeardSoundSamples = 0;
            if (FSoundSeen && now - FLastSound <= std::chrono::milliseconds(250)) {
                FHeard.swap(FPreroll);
                FHeardSoundSamples = static_cast<int64_t>(FHeard.size());
            }
            FPreroll.clear();
            FHeardStart = now - std::chrono::microseconds(FHeardSoundSamples * 1000000 / LineRate);
            FRecording = true;
        } else if (line == FHangupLine && FAnswered)
            FHungUp = true;
        else if (line == "ATDD;" && FAnswered)
            FRecordStarted = true;
        else
            return;
    }
    // On hook, the box hears nothing more of this caller: what was still to be said is gone, and
    // must not sound into the next call.
    if (FLine && line == FHangupLine)
        FLine->DropCaller();
    FChanged.notify_all();
}

std::string TCallerEnd::StartCall(const TCallScript& script) {
    if (FCapture < 0)
        throw std::runtime_error("no capture FIFO (--capture) for the caller's audio");
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (FBusy)
            throw std::runtime_error("a call is already going on");
    }
    TSamples message;
    std::string kind;
    switch (script.MessageKind) {
    case TCallScript::None:
        kind = "no message";
        break;
    case TCallScript::Wave:
        message = ReadWaveAsLine(script.MessageArg);
        kind = "wav";
        break;
    case TCallScript::Say:
        if (SpeakText(script.MessageArg, message)) {
            kind = "spoken";
            break;
        }
        // No speech here: a tone as long as the text would take to say.
        AppendTone(message, 440, std::clamp(static_cast<int>(script.MessageArg.size()) * 70, 1000, 30000));
        kind = "tone (espeak-ng unavailable)";
        break;
    case TCallScript::Tone:
        AppendTone(message, 440, std::stoi(script.MessageArg) * 1000);
        kind = "tone";
        break;
    }
    if (FThread.joinable())
        FThread.join();
    {
        std::lock_guard<std::mutex> guard(FLock);
        FBusy = true;
        FAbort = false;
        FAnswered = FHungUp = FRecordStarted = false;
        FAnswerLine = script.AnswerLine;
        FHangupLine = script.HangupLine;
    }
    uint64_t drained;
    (void)!read(FWakeWriter, &drained, sizeof drained);
    if (FLine)
        FLine->Resume();
    const int ms = MillisecondsOf(message);
    FThread = std::thread(&TCallerEnd::RunCall, this, script, std::move(message));
    return (script.Keys.empty() ? "-" : script.Keys) + " message " + std::to_string(ms) + " ms " + kind;
}

bool TCallerEnd::WaitFor(const std::function<bool()>& done, TClock::time_point until) {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait_until(lock, until, [&] { return FAbort || done(); });
    return !FAbort && done();
}

bool TCallerEnd::WaitPromptsOver(TClock::time_point since, int quietMs, TClock::time_point until,
                                 bool endOnHangup) {
    const auto quiet = std::chrono::milliseconds(quietMs);
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
        if (FAbort || (endOnHangup && FHungUp))
            return false;
        const auto now = TClock::now();
        if (FSoundSeen && FLastSound > since && now - FLastSound >= quiet)
            return true;
        if (now >= until)
            return false;
        const auto next = FSoundSeen && FLastSound > since ? std::min(until, FLastSound + quiet) : until;
        FChanged.wait_until(lock, next);
    }
}

bool TCallerEnd::WriteCapture(const TSamples& samples, TClock::time_point until) {
    if (FLine)
        return FLine->Say(samples, until);
    std::vector<uint8_t> bytes;
    bytes.reserve(samples.size() * 2);
    for (int16_t s : samples) {
        bytes.push_back(static_cast<uint8_t>(s & 0xFF));
        bytes.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
    }
    size_t done = 0;
    while (done < bytes.size()) {
        {
            std::lock_guard<std::mutex> guard(FLock);
            if (FAbort)
                return false;
        }
        const ssize_t n = write(FCapture, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - TClock::now()).count();
        if (left <= 0)
            return false;
        // The card reads at wall-clock pace: wait for room, or for an abort.
        pollfd fds[2] = {{FCapture, POLLOUT, 0}, {FWakeWriter, POLLIN, 0}};
        poll(fds, 2, static_cast<int>(std::min<int64_t>(left, 1000)));
    }
    return true;
}

void TCallerEnd::RunCall(TCallScript script, TSamples message) {
    const auto bound = [&] { return TClock::now() + std::chrono::seconds(script.StepSeconds); };
    const auto ms = [](TClock::time_point from) {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - from).count());
    };
    std::string failure;
    const auto ringAt = TClock::now();
    TClock::time_point answeredAt = ringAt;
    if (!Ring(script))
        failure = "line dropped";
    else if (!WaitFor([this] { return FAnswered; }, bound()))
        failure = "no answer";
    if (failure.empty()) {
        answeredAt = TClock::now();
        Report("call answered " + ms(ringAt) + " ms");
        if (script.KeysAhead()) {
            // A caller who knows the service keys while the greeting still plays: a while after
            // the answer, or a while into the greeting as heard.
            TClock::time_point from = answeredAt;
            if (script.IntoMs >= 0 &&
                WaitFor([this, ringAt] { return FSoundSeen && FSoundStart >= ringAt; }, bound())) {
                std::lock_guard<std::mutex> guard(FLock);
                from = FSoundStart;
            }
            const int wait = script.IntoMs >= 0 ? script.IntoMs : script.AheadMs;
            WaitFor([] { return false; }, from + std::chrono::milliseconds(wait));
            std::lock_guard<std::mutex> guard(FLock);
            if (FAbort)
                failure = "aborted";
        } else if (!WaitPromptsOver(answeredAt, script.QuietMs, bound())) {
            // A caller keys after the greeting; if the box stays silent, key anyway.
            Report("call no greeting heard");
        }
    }
    if (failure.empty() && !script.Keys.empty()) {
        TSamples keys;
        for (char key : script.Keys) {
            AppendKey(keys, key, script.KeyMs);
            AppendSilence(keys, script.GapMs);
        }
        const auto keyedAt = TClock::now();
        if (!WriteCapture(keys, bound()))
            failure = "keys not taken by the sound card";
        else
            Report("call keys " + script.Keys);
        // The box accepts the number a while after the last key, then asks for the message
        // and beeps: speak after that. Keyed during the greeting, the rest of the prompts comes
        // first: the box's "ATDD;" says the request for the message has been played.
        if (failure.empty() && script.KeysAhead()) {
            if (!WaitFor([this] { return FRecordStarted || FHungUp; }, bound()))
                failure = "no request for the message";
            else if (!WaitPromptsOver(TClock::now(), script.QuietMs, bound()))
                Report("call no beep after the request");
        } else if (failure.empty() && !WaitPromptsOver(keyedAt, script.QuietMs, bound()))
            Report("call no prompt after the keys");
    }
    if (failure.empty() && !script.Again.empty()) {
        // Told that the mailbox is unknown and asked again: the number once more.
        TSamples keys;
        for (char key : script.Again) {
            AppendKey(keys, key, script.KeyMs);
            AppendSilence(keys, script.GapMs);
        }
        const auto keyedAt = TClock::now();
        if (!WriteCapture(keys, bound()))
            failure = "keys not taken by the sound card";
        else
            Report("call keys " + script.Again);
        if (failure.empty() && !WaitPromptsOver(keyedAt, script.QuietMs, bound()))
            Report("call no prompt after the keys");
    }
    // The card reads at wall-clock pace from the moment audio is there: what is written now ends
    // its length from now.
    auto tailStart = TClock::now();
    if (failure.empty() && !message.empty()) {
        tailStart += std::chrono::milliseconds(MillisecondsOf(message));
        if (!WriteCapture(message, bound()))
            failure = "message not taken by the sound card";
        else
            Report("call message " + std::to_string(MillisecondsOf(message)) + " ms");
    }
    if (failure.empty() && script.HashAfter) {
        TSamples hash;
        AppendKey(hash, '#', script.KeyMs);
        AppendSilence(hash, script.GapMs);
        tailStart = std::max(tailStart, TClock::now()) + std::chrono::milliseconds(MillisecondsOf(hash));
        if (!WriteCapture(hash, bound()))
            failure = "# not taken by the sound card";
        else
            Report("call keys #");
    }
    std::string tailText;
    if (failure.empty() && script.Tail != THangupTail::None) {
        // The caller has hung up: the exchange's tail plays until the box hangs up, and nobody
        // waits for a closing prompt.
        tailStart = PlayTail(script, std::max(tailStart, TClock::now()), bound());
        std::lock_guard<std::mutex> guard(FLock);
        if (FHungUp)
            tailText = ", " + ms(tailStart) + " ms after the tail began";
    }
    if (failure.empty() && !WaitFor([this] { return FHungUp; }, bound()))
        failure = "no hang-up";
    if (failure.empty() && script.Tail == THangupTail::None) {
        // The closing prompt has ended when the hang-up arrives; take in its last bytes.
        WaitPromptsOver(TClock::time_point(), 300, TClock::now() + std::chrono::seconds(5), false);
    }
    TSamples heard;
    int64_t soundSamples = 0;
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (FAbort)
            failure = "aborted"; // whatever wait it ended
        FRecording = false;
        heard.swap(FHeard);
        soundSamples = FHeardSoundSamples;
    }
    if (!script.HeardFile.empty()) {
        try {
            WriteLineWave(script.HeardFile, heard);
        } catch (const std::exception& e) {
            Report(std::string("call heard-file-error ") + e.what());
        }
    }
    const std::string heardText = "heard " + std::to_string(soundSamples * 1000 / LineRate) + " ms";
    {
        // Free before the last report: whoever reads it may place the next call at once.
        std::lock_guard<std::mutex> guard(FLock);
        FBusy = false;
    }
    if (failure.empty())
        Report("call hangup " + ms(answeredAt) + " ms after the answer" + tailText + ", " + heardText);
    else
        Report("call failed " + failure + ", " + heardText);
    if (OnCallEnded)
        OnCallEnded(failure.empty());
}

bool TCallerEnd::Ring(const TCallScript& script) {
    using TWhen = TCallScript::TCallerIdWhen;
    const auto answered = [this] { return FAnswered; };
    const auto sendCallerId = [&] {
        if (!OnModemText || !OnModemText(CallerIdLines(script, std::time(nullptr))))
            return false;
        Report(std::string("call caller-id ") + (script.CallerIdWhen == TWhen::Before ? "before" : "after") +
               " the first ring");
        return true;
    };
    if (script.CallerIdWhen == TWhen::Before) {
        if (!sendCallerId())
            return false;
        WaitFor(answered, TClock::now() + std::chrono::milliseconds(200));
    }
    for (int ring = 0; ring < script.Rings; ++ring) {
        {
            std::lock_guard<std::mutex> guard(FLock);
            if (FAnswered || FAbort)
                break;
        }
        if (!OnRing || !OnRing())
            return false;
        Report("call ring");
        if (ring == 0 && script.CallerIdWhen == TWhen::Between) {
            // The ID follows the first ring's burst, unless the box has answered it already.
            if (WaitFor(answered, TClock::now() + std::chrono::milliseconds(300)))
                break;
            if (!sendCallerId())
                return false;
        }
        if (ring + 1 < script.Rings)
            WaitFor(answered, TClock::now() + std::chrono::milliseconds(script.RingGapMs));
    }
    return true;
}

TCallerEnd::TClock::time_point TCallerEnd::PlayTail(const TCallScript& script, TClock::time_point tailStart,
                                                    TClock::time_point until) {
    // Written in pieces at most a second ahead of the card, so little of it is left over in the
    // FIFO once the box has hung up.
    constexpr int PieceMs = 250, AheadMs = 1000;
    Report(std::string("call tail ") + HangupTailName(script.Tail));
    for (int at = 0;; at += PieceMs) {
        const auto due = tailStart + std::chrono::milliseconds(at - AheadMs);
        if (WaitFor([this] { return FHungUp; }, std::min(due, until)) || TClock::now() >= until)
            break;
        {
            std::lock_guard<std::mutex> guard(FLock);
            if (FAbort)
                break;
        }
        TSamples piece;
        AppendHangupTail(piece, script.Tail, at, PieceMs);
        if (!WriteCapture(piece, until))
            break;
    }
    return tailStart;
}
