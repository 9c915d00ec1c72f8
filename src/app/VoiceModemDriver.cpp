#include "app/VoiceModemDriver.h"

#include "app/ModemPort.h"
#include "audio/CaptureDrivers.h"
#include "serial/ComPort.h"
#include "toolkit/Thread.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

// Device numbers of the kernel's pseudo-terminal slaves and of USB ACM modems.
constexpr unsigned PtySlaveMajorFirst = 136;
constexpr unsigned PtySlaveMajorLast = 143;
constexpr unsigned UsbAcmMajor = 166;

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::string CallerLeftWords(const TVoiceEvent& event) {
    switch (event.Kind) {
    case TVoiceEventKind::Busy:
        return "busy tone";
    case TVoiceEventKind::DialTone:
        return "dial tone";
    case TVoiceEventKind::Silence:
        return "silence";
    case TVoiceEventKind::LoopBreak:
        return "loop break";
    case TVoiceEventKind::Handset:
        return "handset";
    default:
        return "";
    }
}

int VoiceLineBaud(const std::string& devicePath, int portBaud) {
    struct stat info {};
    // A udev link (/dev/serial/by-id/...) names the device it points to.
    if (::stat(devicePath.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
        const unsigned kind = major(info.st_rdev);
        if ((kind >= PtySlaveMajorFirst && kind <= PtySlaveMajorLast) || kind == UsbAcmMajor)
            return 0;
        return portBaud;
    }
    // Not plugged in yet: the name is all there is to go by.
    return BaseName(devicePath).rfind("ttyACM", 0) == 0 ? 0 : portBaud;
}

TVoiceModemDriver::TVoiceModemDriver(TComPort& port, int baud) {
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(baud);
    FLink = std::make_unique<TComPortVoiceLink>(port, FReceiver);
    TVoiceModemSettings settings;
    settings.LineBaud = VoiceLineBaud(port.DevicePath(), baud);
    FSession = std::make_unique<TVoiceModemSession>(*FLink, settings);
    // On the port's thread: handed over, never acted on there (the main thread may be inside the
    // session, waiting for the modem's answer that this very thread delivers).
    FSession->OnText = [this](const std::string& line) {
        Post([this, line] {
            if (OnText)
                OnText(line + "\r\n");
        });
    };
    FSession->OnKey = [this](char key) {
        Post([this, key] {
            if (OnKey)
                OnKey(static_cast<unsigned char>(key));
        });
    };
    FSession->OnLineEvent = [this](const TVoiceEvent& event) {
        const std::string how = CallerLeftWords(event);
        if (how.empty())
            return;
        Post([this, how] {
            if (OnCallerLeft)
                OnCallerLeft(how);
        });
    };
    FReceiver = FSession.get();
    FSound = std::make_unique<TVoiceModemSound>(*FSession);
    // The capture streams, the prompts and the device and format lists use the modem from now.
    SetSoundBackend(FSound.get());
    ResetCaptureDrivers();
}

TVoiceModemDriver::~TVoiceModemDriver() {
    Detach();
    SetSoundBackend(nullptr);
    ResetCaptureDrivers();
    TThread::RemoveQueuedEvents(this);
}

void TVoiceModemDriver::Post(std::function<void()> call) {
    if (FDetached)
        return;
    TThread::Queue(
        [this, call = std::move(call)] {
            if (!FDetached)
                call();
        },
        this);
}

void TVoiceModemDriver::Detach() {
    FDetached = true;
    TThread::RemoveQueuedEvents(this);
}

void TVoiceModemDriver::Initialise(const std::string& initString) {
    std::exception_ptr failure;
    if (!initString.empty()) {
        try {
            FSession->Command(initString);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    // An init string such as ATZ drops voice mode: set it up after it, every time (but not
    // under a call: the modem listens to the caller then).
    try {
        if (!FSession->InCall())
            FSession->Start();
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    // The device list names the format now.
    ResetCaptureDrivers();
    if (failure)
        std::rethrow_exception(failure);
}

void TVoiceModemDriver::OffHook() {
    FSession->Answer();
}

void TVoiceModemDriver::OnHook() {
    FSession->Hangup();
}

std::string TVoiceModemDriver::NewPlayFailure() {
    const std::string failure = FSound->LastError();
    if (failure == FReportedPlayFailure)
        return "";
    FReportedPlayFailure = failure;
    return failure;
}

void TVoiceModemDriver::Command(const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    if (!line.empty())
        FSession->Command(line);
}

std::string ProbeVoiceModem(const std::string& portName, int baud) {
    TComPort port;
    SetUpModemPort(port, portName);
    TVoiceModemDriver voice(port, baud);
    struct TClose {
        TComPort& Port;
        TVoiceModemDriver& Voice;
        ~TClose() {
            Voice.Detach();
            Port.ClosePort();
        }
    } close{port, voice};
    port.OpenPort();
    voice.Session().Start();
    return voice.Description();
}
