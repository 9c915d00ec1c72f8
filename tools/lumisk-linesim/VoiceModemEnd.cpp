#include "VoiceModemEnd.h"

#include "audio/VoiceDle.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr int TickMs = 5;

struct TOfferName {
    const char* Option;
    int Code;
    const char* Name;
    int Bits;
};
// Numbers and names as the common USB voice modems give them.
constexpr TOfferName OfferNames[] = {{"8bit", 128, "8-BIT LINEAR", 8},
                                     {"16bit", 129, "16-BIT LINEAR", 16},
                                     {"alaw", 130, "8-BIT ALAW", 8},
                                     {"ulaw", 131, "8-BIT ULAW", 8}};

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string OfferLine(const TVoiceFormat& f) {
    return "+VSM: " + std::to_string(f.Code) + ",\"" + f.Name + "\"," + std::to_string(f.Bits) +
           ",0,(7200,8000,11025),0,0\r\n";
}

} // namespace

std::vector<TVoiceFormat> VoiceOffers(const std::string& names) {
    std::string text;
    size_t at = 0;
    while (at <= names.size()) {
        const size_t end = std::min(names.find(',', at), names.size());
        const std::string name = names.substr(at, end - at);
        at = end + 1;
        if (name.empty())
            continue;
        const auto* found = std::find_if(std::begin(OfferNames), std::end(OfferNames),
                                         [&name](const TOfferName& o) { return name == o.Option; });
        if (found == std::end(OfferNames))
            throw std::runtime_error("unknown voice format \"" + name + "\" (16bit, 8bit, ulaw, alaw)");
        text += "+VSM: " + std::to_string(found->Code) + ",\"" + found->Name + "\"," +
                std::to_string(found->Bits) + ",0,8000,0,0\r\n";
    }
    // A coding the box cannot use is always among the offers, as on real modems.
    text += "+VSM: 132,\"IMA ADPCM\",4,0,8000,0,0\r\n";
    return ParseVoiceFormats(text);
}

TVoiceModemEnd::TVoiceModemEnd(TVoiceModemOptions options)
    : FOptions(std::move(options)), FOffers(VoiceOffers(FOptions.Formats)) {
    FWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWake < 0)
        throw std::runtime_error("cannot make an eventfd");
    FThread = std::thread(&TVoiceModemEnd::Run, this);
}

TVoiceModemEnd::~TVoiceModemEnd() {
    FStop = true;
    const uint64_t one = 1;
    (void)!write(FWake, &one, sizeof one);
    if (FThread.joinable())
        FThread.join();
    close(FWake);
}

const TVoiceFormat* TVoiceModemEnd::Chosen() const {
    for (const TVoiceFormat& f : FOffers)
        if (f.Code == FRecord.FormatCode && f.Coding != TVoiceCoding::Unusable)
            return &f;
    return nullptr;
}

void TVoiceModemEnd::PutUnlocked(const std::string& bytes) {
    FOut += bytes;
    const uint64_t one = 1;
    (void)!write(FWake, &one, sizeof one);
}

void TVoiceModemEnd::Ring() {
    std::lock_guard<std::mutex> guard(FLock);
    PutUnlocked("\r\nRING\r\n");
}

void TVoiceModemEnd::PressKeys(const std::string& keys, int keyMs, int gapMs) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FMode == TMode::Transmit) {
        auto at = TClock::now();
        for (char key : keys) {
            FKeyReports.emplace_back(at, key);
            at += std::chrono::milliseconds(keyMs + gapMs);
        }
        return;
    }
    TSamples tones;
    for (char key : keys) {
        AppendKey(tones, key, keyMs);
        AppendSilence(tones, gapMs);
    }
    FCaller.insert(FCaller.end(), tones.begin(), tones.end());
}

void TVoiceModemEnd::Say(const TSamples& samples) {
    std::lock_guard<std::mutex> guard(FLock);
    FCaller.insert(FCaller.end(), samples.begin(), samples.end());
}

void TVoiceModemEnd::Event(char code) {
    std::lock_guard<std::mutex> guard(FLock);
    FEvents.push_back(code);
}

void TVoiceModemEnd::Drop() {
    std::lock_guard<std::mutex> guard(FLock);
    FPty.Drop();
}

bool TVoiceModemEnd::WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    // done() may take a snapshot: it runs without the lock, after each turn of the thread.
    const auto until = TClock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        std::unique_lock<std::mutex> lock(FLock);
        const bool late = FChanged.wait_until(lock, until) == std::cv_status::timeout;
        lock.unlock();
        if (late)
            return done();
    }
    return true;
}

TVoiceModemEnd::TRecord TVoiceModemEnd::Snapshot() {
    std::lock_guard<std::mutex> guard(FLock);
    TRecord copy = FRecord;
    copy.QueuedCallerSamples = FCaller.size();
    copy.Receiving = FMode == TMode::Receive;
    copy.Transmitting = FMode == TMode::Transmit;
    return copy;
}

void TVoiceModemEnd::Run() {
    std::string pending; // taken from FOut, not yet written
    std::vector<uint8_t> buffer(8192);
    while (!FStop) {
        const int fd = FPty.Fd();
        pollfd fds[2] = {{FWake, POLLIN, 0},
                         {fd, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0}};
        if (poll(fds, fd >= 0 ? 2 : 1, TickMs) < 0 && errno != EINTR)
            break;
        uint64_t drained;
        (void)!read(FWake, &drained, sizeof drained);
        if (fd >= 0 && (fds[1].revents & POLLIN)) {
            const ssize_t n = read(fd, buffer.data(), buffer.size());
            if (n > 0) {
                std::lock_guard<std::mutex> guard(FLock);
                HandleBytes(buffer.data(), static_cast<size_t>(n));
            }
        }
        {
            std::lock_guard<std::mutex> guard(FLock);
            Tick(TClock::now());
            pending += FOut;
            FOut.clear();
            FChanged.notify_all();
        }
        if (!pending.empty() && FPty.Fd() >= 0) {
            const ssize_t n = write(FPty.Fd(), pending.data(), pending.size());
            if (n > 0)
                pending.erase(0, static_cast<size_t>(n));
        }
    }
}

void TVoiceModemEnd::HandleBytes(const uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = data[i];
        if (FMode == TMode::Command) {
            if (byte == '\r' || byte == '\n') {
                if (!FLine.empty())
                    HandleLine(FLine);
                FLine.clear();
            } else if (FLine.size() < 1024) {
                FLine += static_cast<char>(byte);
            }
            continue;
        }
        if (!FDle && byte == DLE) {
            FDle = true;
            continue;
        }
        const bool shielded = FDle;
        FDle = false;
        if (FMode == TMode::Receive) {
            if (shielded && byte == '!') {
                // The box stops listening: end the data, then the result.
                PutUnlocked(std::string(DleEnd(), 2) + "\r\nOK\r\n");
                FMode = TMode::Command;
            }
            continue;
        }
        // Transmit: the box's audio.
        if (shielded && byte == ETX) {
            FEndSeen = true;
            continue;
        }
        if (shielded && byte == 0x18) { // <DLE><CAN>: drop what is buffered
            FBuffer.clear();
            continue;
        }
        if (shielded && byte != DLE)
            continue;
        if (FEndSeen)
            continue;
        const size_t capacity =
            static_cast<size_t>(FOptions.BufferMs) * 8 * (Chosen() ? Chosen()->BytesPerSample() : 1);
        if (FBuffer.size() >= capacity) {
            ++FRecord.OverrunBytes;
            continue;
        }
        FBuffer.push_back(byte);
        FRecord.Played.push_back(byte);
        if (!FPlaying) {
            FPlaying = true;
            FPlayStart = TClock::now();
            FPlayedSamples = 0;
            FInGap = false;
        }
        if (!FXoff && FBuffer.size() > capacity / 2) {
            FXoff = true;
            ++FRecord.XoffSent;
            PutUnlocked(std::string(1, static_cast<char>(XOFF)));
        }
    }
}

void TVoiceModemEnd::HandleLine(const std::string& line) {
    FRecord.Lines.push_back(line);
    if (OnLine)
        OnLine(line);
    const std::string u = Upper(line);
    if (u.rfind("AT", 0) != 0)
        return;
    std::string reply = "\r\nOK\r\n";
    if (u == "AT+FCLASS=8") {
        FVoiceClass = true;
    } else if (u == "AT+FCLASS=0") {
        FVoiceClass = false;
    } else if (u == "AT+VSM=?") {
        reply.clear();
        for (const TVoiceFormat& f : FOffers)
            reply += OfferLine(f);
        reply = "\r\n" + reply + "\r\nOK\r\n";
    } else if (u.rfind("AT+VSM=", 0) == 0) {
        const int code = std::atoi(u.c_str() + 7);
        const bool offered = std::any_of(FOffers.begin(), FOffers.end(),
                                         [code](const TVoiceFormat& f) { return f.Code == code; });
        if (offered && FVoiceClass && u.find(",8000") != std::string::npos)
            FRecord.FormatCode = code;
        else
            reply = "\r\nERROR\r\n";
        FRecord.Coding = Chosen() ? Chosen()->Name : "";
    } else if (u == "AT+IFC?") {
        reply = "\r\n+IFC: 1,1\r\n\r\nOK\r\n";
    } else if (u == "AT+VLS=1") {
        FRecord.OffHook = FVoiceClass;
        if (!FVoiceClass)
            reply = "\r\nERROR\r\n";
        else if (FOptions.AnswerVcon)
            reply = "\r\nVCON\r\n";
    } else if (u == "AT+VLS=0") {
        FRecord.OffHook = false;
    } else if (u == "AT+VTX" || u == "AT+VRX") {
        if (!FVoiceClass || !Chosen() || !FRecord.OffHook) {
            reply = "\r\nERROR\r\n";
        } else {
            reply = "\r\nCONNECT\r\n";
            FDle = false;
            if (u == "AT+VTX") {
                FMode = TMode::Transmit;
                FBuffer.clear();
                FEndSeen = FXoff = FPlaying = FInGap = false;
            } else {
                FMode = TMode::Receive;
                FSendStart = TClock::now();
                FSentSamples = 0;
            }
        }
    } else if (u.rfind("AT+VTR", 0) == 0) {
        reply = "\r\nERROR\r\n"; // half duplex only
    } else if (u == "ATH0" || u == "ATH") {
        FRecord.OffHook = false;
        if (FOptions.ForgetOnHangup) {
            FVoiceClass = false;
            FRecord.FormatCode = -1;
        }
    }
    PutUnlocked(reply);
}

void TVoiceModemEnd::Tick(TClock::time_point now) {
    for (char code : FEvents)
        PutUnlocked(std::string{static_cast<char>(DLE), code});
    FEvents.clear();
    while (!FKeyReports.empty() && FKeyReports.front().first <= now) {
        const char key = FKeyReports.front().second;
        FKeyReports.pop_front();
        if (FOptions.ShieldedKeys)
            PutUnlocked(std::string{static_cast<char>(DLE), '/', static_cast<char>(DLE), key,
                                    static_cast<char>(DLE), '~'});
        else
            PutUnlocked(std::string{static_cast<char>(DLE), key});
    }
    const TVoiceFormat* format = Chosen();
    if (!format)
        return;
    const size_t bytesPerSample = static_cast<size_t>(format->BytesPerSample());
    if (FMode == TMode::Transmit && FPlaying) {
        const int64_t due =
            std::chrono::duration_cast<std::chrono::microseconds>(now - FPlayStart).count() * 8 / 1000 -
            FPlayedSamples;
        if (due > 0) {
            const int64_t available = static_cast<int64_t>(FBuffer.size() / bytesPerSample);
            const int64_t take = std::min(due, available);
            FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<ptrdiff_t>(take * bytesPerSample));
            FPlayedSamples += due;
            if (take < due && !FEndSeen) {
                if (!FInGap) {
                    FInGap = true;
                    FGapStart = now - std::chrono::microseconds((due - take) * 125);
                }
                const double gap = std::chrono::duration<double, std::milli>(now - FGapStart).count();
                FRecord.LongestGapMs = std::max(FRecord.LongestGapMs, gap);
            } else {
                FInGap = false;
            }
        }
        if (FXoff && FBuffer.size() < static_cast<size_t>(FOptions.BufferMs) * 8 * bytesPerSample / 4) {
            FXoff = false;
            PutUnlocked(std::string(1, static_cast<char>(XON)));
        }
        if (FEndSeen && FBuffer.size() < bytesPerSample) {
            // Played to the end: the result follows.
            FMode = TMode::Command;
            FPlaying = false;
            ++FRecord.Prompts;
            PutUnlocked("\r\nOK\r\n");
        }
    } else if (FMode == TMode::Transmit && FEndSeen) {
        FMode = TMode::Command; // an empty prompt
        ++FRecord.Prompts;
        PutUnlocked("\r\nOK\r\n");
    }
    if (FMode == TMode::Receive) {
        const int64_t due =
            std::chrono::duration_cast<std::chrono::microseconds>(now - FSendStart).count() * 8 / 1000 -
            FSentSamples;
        if (due <= 0)
            return;
        std::vector<int16_t> samples(static_cast<size_t>(due), 0);
        for (int16_t& s : samples) {
            if (FCaller.empty())
                break;
            s = FCaller.front();
            FCaller.pop_front();
        }
        FSentSamples += due;
        std::vector<uint8_t> coded;
        TVoiceCodec(format->Coding).Encode(samples.data(), samples.size(), coded);
        FRecord.Sent.insert(FRecord.Sent.end(), coded.begin(), coded.end());
        std::string shielded;
        ShieldVoiceData(coded.data(), coded.size(), shielded);
        PutUnlocked(shielded);
    }
}
