#include "audio/VoiceModemSession.h"

#include <algorithm>

namespace {

constexpr size_t LongestLine = 4096; // a modem line longer than this is noise, not an answer
constexpr int ChunkMs = 20;          // audio goes out in pieces of this length

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool IsFailure(const std::string& line) {
    return line == "ERROR" || line == "NO CARRIER" || line == "BUSY" || line == "NO DIALTONE" ||
           line == "NO DIAL TONE" || line == "NO ANSWER" || StartsWith(line, "+CME ERROR");
}

bool IsSuccess(const std::string& line) {
    return line == "OK" || line == "VCON" || StartsWith(line, "CONNECT");
}

std::string Trimmed(const std::string& line) {
    size_t start = 0, end = line.size();
    while (start < end && (line[start] == ' ' || line[start] == '\t'))
        ++start;
    while (end > start && (line[end - 1] == ' ' || line[end - 1] == '\t'))
        --end;
    return line.substr(start, end - start);
}

TVoiceFlow FlowOf(const std::string& answer) {
    const size_t tag = answer.find("+IFC:");
    if (tag == std::string::npos)
        return TVoiceFlow::XonXoff;
    const size_t comma = answer.find(',', tag);
    const char mode = comma == std::string::npos ? '1' : answer[comma + 1];
    return mode == '2' ? TVoiceFlow::RtsCts : mode == '0' ? TVoiceFlow::None : TVoiceFlow::XonXoff;
}

} // namespace

TVoiceModemSession::TVoiceModemSession(IVoiceModemLink& link, TVoiceModemSettings settings)
    : FLink(link), FSettings(settings) {}

TVoiceModemSession::~TVoiceModemSession() = default;

std::string TVoiceModemSession::Description() const {
    if (!FStarted)
        return "voice modem not set up";
    const char* flow = FFlow == TVoiceFlow::RtsCts    ? "RTS/CTS"
                       : FFlow == TVoiceFlow::XonXoff ? "XON/XOFF"
                                                      : "no";
    return FFormat.Name + " (AT+VSM=" + std::to_string(FFormat.Code) + ",8000), " + flow + " flow control";
}

// ---- Link side

void TVoiceModemSession::Receive(const uint8_t* data, size_t count) {
    TDeliveries out;
    {
        std::lock_guard<std::mutex> guard(FLock);
        std::string rest; // command text that followed the end of the data
        while (count > 0) {
            if (FMode == TMode::Command) {
                ParseCommandBytes(data, count, out);
                continue;
            }
            if (FSkipLf) {
                // CONNECT ends with CR LF; the switch came at the CR.
                FSkipLf = false;
                if (*data == '\n') {
                    ++data;
                    --count;
                    continue;
                }
            }
            TDleReceiver::TResult result;
            FReceiver.Feed(data, count, result);
            count = 0;
            if (FMode == TMode::Transmitting && result.FlowChanges > 0) {
                FXoff = result.XoffNow;
                FChanged.notify_all();
            }
            for (const TVoiceEvent& event : result.Events) {
                if (event.Kind == TVoiceEventKind::End)
                    continue;
                // While listening the box's own receiver hears the keys in the audio.
                if (event.Kind == TVoiceEventKind::Key && FMode == TMode::Receiving)
                    continue;
                out.Events.push_back(event);
            }
            if (FMode == TMode::Receiving && !result.Audio.empty()) {
                FReceivedBytes += result.Audio.size();
                FCodec.Decode(result.Audio.data(), result.Audio.size(), out.Samples);
            }
            if (FReceiver.Ended()) {
                FMode = TMode::Command;
                FDataEnded = true;
                FChanged.notify_all();
                rest = std::move(result.Text);
                data = reinterpret_cast<const uint8_t*>(rest.data());
                count = rest.size();
            }
        }
    }
    Deliver(out);
}

void TVoiceModemSession::ParseCommandBytes(const uint8_t*& data, size_t& count, TDeliveries& out) {
    while (count > 0) {
        const uint8_t byte = *data++;
        --count;
        if (FCommandDle) {
            FCommandDle = false;
            const TVoiceEvent event{VoiceEventKind(static_cast<char>(byte)), static_cast<char>(byte)};
            if (byte != '/' && byte != '~' && event.Kind != TVoiceEventKind::End &&
                event.Kind != TVoiceEventKind::Other)
                out.Events.push_back(event);
            continue;
        }
        if (byte == DLE) {
            FCommandDle = true;
            continue;
        }
        if (byte == XON || byte == XOFF)
            continue;
        if (byte == '\r' || byte == '\n') {
            const std::string line = Trimmed(FLine);
            FLine.clear();
            if (!line.empty())
                CommandLine(line, out);
            if (FMode != TMode::Command) {
                FSkipLf = byte == '\r';
                return; // CONNECT: what follows is data
            }
            continue;
        }
        if (FLine.size() < LongestLine)
            FLine += static_cast<char>(byte);
    }
}

void TVoiceModemSession::CommandLine(const std::string& line, TDeliveries& out) {
    // RING answers no command even when it crosses one: the box must still see it.
    if (!FPending.Active || FPending.Final || line == "RING") {
        out.TextLines.push_back(line);
        return;
    }
    if (StartsWith(line, "AT") || StartsWith(line, "at"))
        return; // the modem's echo of the command
    FPending.Lines.push_back(line);
    if (!IsSuccess(line) && !IsFailure(line))
        return;
    FPending.Final = true;
    FPending.Success = IsSuccess(line);
    if (StartsWith(line, "CONNECT") && FPending.OnConnect != TMode::Command) {
        FMode = FPending.OnConnect;
        FReceiver = TDleReceiver(FMode == TMode::Transmitting);
        FCodec =
            TVoiceCodec(FCodec.Coding()); // a half sample left from the last data must not shift this one
        FXoff = false;
        FDataEnded = false;
    }
    FChanged.notify_all();
}

void TVoiceModemSession::Deliver(TDeliveries& out) {
    if (!out.Samples.empty()) {
        std::lock_guard<std::mutex> guard(FSinkLock);
        for (IVoiceSink* sink : FSinks)
            sink->VoiceSamples(out.Samples.data(), out.Samples.size());
    }
    for (const TVoiceEvent& event : out.Events) {
        if (event.Kind == TVoiceEventKind::Key) {
            if (OnKey)
                OnKey(event.Code);
        } else if (OnLineEvent) {
            OnLineEvent(event);
        }
    }
    for (const std::string& line : out.TextLines)
        if (OnText)
            OnText(line);
}

// ---- Box side

void TVoiceModemSession::SendRaw(const std::string& bytes) {
    FLink.Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void TVoiceModemSession::WaitPending(std::unique_lock<std::mutex>& lock, const std::string& what) {
    const bool answered = FChanged.wait_for(lock, std::chrono::milliseconds(FSettings.ReplyTimeoutMs),
                                            [this] { return FPending.Final; });
    FPending.Active = false;
    if (!answered)
        throw EVoiceModemError("voice modem: no answer to " + what + " within " +
                               std::to_string(FSettings.ReplyTimeoutMs) + " ms");
    if (!FPending.Success)
        throw EVoiceModemError("voice modem: " + what + " answered " + FPending.Lines.back());
}

std::string TVoiceModemSession::CommandLocked(const std::string& line, TMode onConnect,
                                              bool connectExpected) {
    std::unique_lock<std::mutex> lock(FLock);
    FPending = TPending{};
    FPending.Active = true;
    FPending.OnConnect = onConnect;
    lock.unlock();
    SendRaw(line + "\r");
    lock.lock();
    WaitPending(lock, line);
    if (connectExpected && !StartsWith(FPending.Lines.back(), "CONNECT"))
        throw EVoiceModemError("voice modem: " + line + " answered " + FPending.Lines.back() +
                               " instead of CONNECT");
    std::string answer;
    for (const std::string& l : FPending.Lines)
        answer += l + "\r\n";
    return answer;
}

void TVoiceModemSession::SetUp() {
    CommandLocked("AT+FCLASS=8", TMode::Command, false);
    if (!FStarted) {
        FOffers = ParseVoiceFormats(CommandLocked("AT+VSM=?", TMode::Command, false));
        FFormat = ChooseVoiceFormat(FOffers, FSettings.LineBaud);
        std::lock_guard<std::mutex> guard(FLock);
        FCodec = TVoiceCodec(FFormat.Coding);
    }
    CommandLocked("AT+VSM=" + std::to_string(FFormat.Code) + ",8000", TMode::Command, false);
    try {
        FFlow = FlowOf(CommandLocked("AT+IFC?", TMode::Command, false));
    } catch (const EVoiceModemError&) {
        FFlow = TVoiceFlow::XonXoff; // no answer to the query: watch for XON/XOFF anyway
    }
    FLink.SetHardwareFlow(FFlow == TVoiceFlow::RtsCts);
}

void TVoiceModemSession::Start() {
    std::lock_guard<std::mutex> op(FOpLock);
    SetUp();
    FStarted = true;
}

void TVoiceModemSession::Answer() {
    std::lock_guard<std::mutex> op(FOpLock);
    if (!FStarted)
        throw EVoiceModemError("voice modem: answer before the modem was set up");
    CommandLocked("AT+VLS=1", TMode::Command, false);
    FInCall = true;
    ResumeListening();
}

void TVoiceModemSession::StartListening() {
    CommandLocked("AT+VRX", TMode::Receiving, true);
    FListening = true;
}

void TVoiceModemSession::ResumeListening() {
    bool wanted;
    {
        std::lock_guard<std::mutex> guard(FSinkLock);
        wanted = !FSinks.empty();
    }
    if (FInCall && !FListening && wanted)
        StartListening();
}

void TVoiceModemSession::StopListening() {
    if (!FListening)
        return;
    FListening = false;
    std::unique_lock<std::mutex> lock(FLock);
    if (FMode != TMode::Receiving)
        return; // the modem ended the data itself; its OK came as text
    FPending = TPending{};
    FPending.Active = true;
    lock.unlock();
    SendRaw("\x10!");
    lock.lock();
    WaitPending(lock, "<DLE>! (end of listening)");
}

void TVoiceModemSession::Play(const int16_t* samples, size_t count, const std::atomic<bool>& cancel) {
    std::lock_guard<std::mutex> op(FOpLock);
    if (!FStarted)
        throw EVoiceModemError("voice modem: playback before the modem was set up");
    StopListening();
    CommandLocked("AT+VTX", TMode::Transmitting, true);

    std::vector<uint8_t> coded;
    TVoiceCodec(FFormat.Coding).Encode(samples, count, coded);
    const int64_t bytesPerSecond = 8000LL * FFormat.BytesPerSample();
    const size_t chunkBytes = static_cast<size_t>(bytesPerSecond * ChunkMs / 1000);
    const auto holdLimit = std::chrono::milliseconds(FSettings.ReplyTimeoutMs);
    const auto start = TClock::now();
    size_t sent = 0;
    std::string shielded;
    bool stuck = false;
    std::unique_lock<std::mutex> lock(FLock);
    auto heldSince = TClock::time_point::max();
    while (sent < coded.size() && !cancel) {
        const auto now = TClock::now();
        if (FXoff) {
            // The modem's buffer is full: wait for its XON, never without bound.
            if (heldSince == TClock::time_point::max())
                heldSince = now;
            if (now - heldSince > holdLimit) {
                stuck = true;
                break;
            }
            FChanged.wait_for(lock, std::chrono::milliseconds(ChunkMs), [this] { return !FXoff; });
            continue;
        }
        heldSince = TClock::time_point::max();
        // Run at most LeadMs ahead of what the modem has played at its own rate.
        const auto due = start +
                         std::chrono::microseconds(static_cast<int64_t>(sent) * 1000000 / bytesPerSecond) -
                         std::chrono::milliseconds(FSettings.LeadMs);
        if (now < due) {
            FChanged.wait_until(lock, due, [this] { return FXoff; });
            continue;
        }
        const size_t n = std::min(chunkBytes, coded.size() - sent);
        shielded.clear();
        ShieldVoiceData(coded.data() + sent, n, shielded);
        lock.unlock();
        SendRaw(shielded);
        lock.lock();
        sent += n;
    }
    // The modem answers the end of the data with OK once it has played what it holds.
    FMode = TMode::Command;
    FPending = TPending{};
    FPending.Active = true;
    lock.unlock();
    SendRaw(cancel || stuck ? std::string("\x10\x18\x10\x03", 4) : std::string(DleEnd(), 2));
    lock.lock();
    WaitPending(lock, "<DLE><ETX> (end of playback)");
    lock.unlock();
    if (stuck)
        throw EVoiceModemError("voice modem: held by XOFF for more than " +
                               std::to_string(FSettings.ReplyTimeoutMs) + " ms during playback");
    ResumeListening();
}

std::string TVoiceModemSession::Command(const std::string& line) {
    std::lock_guard<std::mutex> op(FOpLock);
    StopListening();
    const std::string answer = CommandLocked(line, TMode::Command, false);
    ResumeListening();
    return answer;
}

void TVoiceModemSession::Hangup() {
    std::lock_guard<std::mutex> op(FOpLock);
    std::string firstFailure;
    auto step = [&firstFailure](const std::function<void()>& action) {
        try {
            action();
        } catch (const Exception& e) {
            if (firstFailure.empty())
                firstFailure = e.Message();
        }
    };
    step([this] { StopListening(); });
    FInCall = false;
    step([this] { CommandLocked("AT+VLS=0", TMode::Command, false); });
    step([this] { CommandLocked("ATH0", TMode::Command, false); });
    step([this] { SetUp(); });
    if (!firstFailure.empty())
        throw EVoiceModemError(firstFailure);
}

void TVoiceModemSession::AddSink(IVoiceSink* sink) {
    std::lock_guard<std::mutex> op(FOpLock);
    {
        std::lock_guard<std::mutex> guard(FSinkLock);
        if (std::find(FSinks.begin(), FSinks.end(), sink) == FSinks.end())
            FSinks.push_back(sink);
    }
    ResumeListening();
}

void TVoiceModemSession::RemoveSink(IVoiceSink* sink) {
    std::lock_guard<std::mutex> guard(FSinkLock);
    FSinks.erase(std::remove(FSinks.begin(), FSinks.end(), sink), FSinks.end());
}
