#include "app/SelfCheck.h"

#include "app/DecoderFeed.h"
#include "app/InstallLayout.h"
#include "app/MailboxUpload.h"
#include "app/ModemPort.h"
#include "app/PagerIni.h"
#include "app/Prompts.h"
#include "app/UploadClient.h"
#include "app/VoiceModemDriver.h"
#include "audio/PromptReader.h"
#include "audio/SoundCaptureStream.h"
#include "audio/SoundService.h"
#include "decoder/PhoneToneDecoder.h"
#include "net/IdFTP.h"
#include "serial/ComPort.h"
#include "toolkit/Exception.h"
#include "toolkit/StringUtils.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

// Creates and removes a file in folder: the only sure test of the right to write there (the
// mode bits say nothing of read-only mounts or a service's sandbox).
bool FolderWritable(const std::string& folder, std::string& reason) {
    std::string probe = folder + "/.lumisk-check-XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

std::string ParentFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

class TSelfCheck {
public:
    TSelfCheck(const TSelfCheckSetup& setup, std::ostream& out) : S(setup), Out(out) {}

    bool Run() {
        CheckSettings();
        CheckWorkFolder();
        CheckModem();
        CheckPrompts();
        CheckCapture();
        CheckOutbox();
        CheckUpload();
        return Failures == 0;
    }

private:
    // Each line at once: a check may wait up to the upload timeout.
    void Ok(const std::string& what) { Out << "ok   " << what << "\n" << std::flush; }
    void Skip(const std::string& what) { Out << "skip " << what << "\n" << std::flush; }
    void Fail(const std::string& what, const std::string& problem, const std::string& todo) {
        // One line each, whatever line ends an error text carries.
        std::string text = problem;
        for (char& c : text)
            if (c == '\n' || c == '\r')
                c = ' ';
        Out << "FAIL " << what << ": " << Trim(text) << "; " << todo << "\n" << std::flush;
        ++Failures;
    }

    void CheckSettings() {
        for (const std::string& problem : S.Conf.Problems)
            Fail("settings", problem, "correct that line of " + S.ConfigPath);
        if (!S.Conf.Problems.empty())
            return;
        if (IsFile(S.ConfigPath))
            Ok("settings " + S.ConfigPath);
        else
            Ok("settings: no " + S.ConfigPath + ", the built-in defaults hold");
    }

    // pager.ini read as the window reads it at start: lines 1, 6 and 7 must be integers.
    void CheckWorkFolder() {
        const std::string pager = S.WorkFolder + "/pager.ini";
        if (!IsFolder(S.WorkFolder)) {
            Fail("working folder " + S.WorkFolder, "not there", "create it (or name another with --workdir)");
            return;
        }
        if (IsFile(pager)) {
            try {
                const std::vector<std::string> problems = TPagerSettings::Problems(pager);
                if (!problems.empty()) {
                    Fail("pager.ini " + pager, problems.front(),
                         "correct the line, or delete the file to start from the window's defaults");
                    return;
                }
                Ok("pager.ini " + pager);
            } catch (const std::exception& e) {
                Fail("pager.ini " + pager, e.what(), "make it readable, or delete it");
                return;
            }
        } else {
            Ok("pager.ini: none in " + S.WorkFolder + " yet, the window's defaults hold");
        }
        std::string reason;
        if (FolderWritable(S.WorkFolder, reason))
            Ok("working folder " + S.WorkFolder + " is writable (pager.ini, recordings)");
        else
            Fail("working folder " + S.WorkFolder, "cannot be written (" + reason + ")",
                 "make it writable for the user the box runs as");
    }

    void CheckModem() {
        const std::string what = "modem " + S.Conf.ModemPort;
        if (!S.CheckModem) {
            Skip(what + " (--no-modem)");
            return;
        }
        if (S.Conf.ModemCarriesAudio()) {
            CheckVoiceModem(what);
            return;
        }
        TComPort port;
        SetUpModemPort(port, S.Conf.ModemPort);
        // Read synchronously: no event thread, no handlers.
        port.SetEvents(TComEvents{});
        try {
            port.OpenPort();
        } catch (const std::exception& e) {
            Fail(what, e.what(),
                 "set [modem] port to the modem's device and put the box's user in group dialout");
            return;
        }
        std::string answer;
        bool ok = false;
        try {
            port.ClearBuffer(true, true);
            port.WriteText("AT\r");
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(S.ModemWaitMs);
            // Return on the first byte, or when the time left has passed.
            port.Timeouts().SetReadInterval(-1);
            port.Timeouts().SetReadTotalMultiplier(-1);
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count();
                if (left <= 0)
                    break;
                port.Timeouts().SetReadTotalConstant(static_cast<int32_t>(left));
                std::string text;
                port.ReadText(text, 256);
                answer += text;
                if (answer.find("OK") != std::string::npos) {
                    ok = true;
                    break;
                }
                if (answer.size() > 4096)
                    answer.erase(0, answer.size() - 4096);
            }
        } catch (const std::exception& e) {
            port.ClosePort();
            Fail(what, e.what(), "check the modem's cable and power");
            return;
        }
        port.ClosePort();
        if (ok)
            Ok(what + " answers AT with OK");
        else
            Fail(what,
                 answer.empty() ? Format("no answer to AT within %d ms", S.ModemWaitMs)
                                : "answered '" + Trim(answer) + "' to AT, not OK",
                 "check that this is the modem's port, that it is switched on, and that no other program "
                 "uses it (stop the box's service first)");
    }

    // The modem is the sound device too: voice mode and a format the line carries.
    void CheckVoiceModem(const std::string& what) {
        try {
            Ok(what + " in voice mode: " + ProbeVoiceModem(S.Conf.ModemPort, S.Conf.ModemVoiceBaud));
        } catch (const EVoiceModemError& e) {
            Fail(
                what, e.what(),
                "use a voice modem (one that takes AT+FCLASS=8 and offers 8-bit or 16-bit linear, mu-law or "
                "A-law audio at 8000 Hz), a faster [modem] voice_baud, or [sound] driver = alsa with a sound "
                "card");
        } catch (const std::exception& e) {
            Fail(what, e.what(),
                 "set [modem] port to the modem's device and put the box's user in group dialout");
        }
    }

    void CheckPrompts() {
        const std::string folder =
            S.PromptFolder.empty() ? std::string("the current folder") : S.PromptFolder;
        int bad = 0;
        for (const char* name : Prompt::All) {
            std::string reason;
            if (!PromptPlayable(PromptPath(S.PromptFolder, name), reason)) {
                Fail(std::string("prompt ") + name, reason + " in " + folder,
                     "put a WAV file there (8 kHz 16-bit mono plays best) or set [box] prompts; without it "
                     "the "
                     "caller hears a short tone");
                ++bad;
            }
        }
        if (bad == 0)
            Ok("prompts: all six playable in " + folder);
    }

    void CheckCapture() {
        if (S.Conf.ModemCarriesAudio()) {
            Skip("sound capture (the voice modem carries the audio)");
            return;
        }
        const std::string todo = "set [sound] capture to a device the box may open (its user in group audio)";
        try {
            TSoundCaptureStream stream(nullptr);
            TDirectXDrivers& drivers = TSoundCaptureStream::CaptureDrivers();
            const std::string device =
                drivers.Count() > 0 ? drivers.Items(0).Description : std::string("capture device");
            TSoundCaptureFormats& formats = stream.Formats();
            if (formats.Count() == 0) {
                Fail("sound capture " + device, "offers no format", todo);
                return;
            }
            const int chosen = ChooseDecoderFormat(formats);
            if (DecoderTakesFormat(formats[chosen]))
                Ok("sound capture " + device + " gives the decoder " + formats[chosen].DisplayText());
            else
                Fail("sound capture " + device,
                     "offers the decoder only " + formats[chosen].DisplayText() + ", which it cannot take",
                     "use a plughw: device, which converts to a PCM format the decoder takes");
        } catch (const std::exception& e) {
            Fail("sound capture", e.what(), todo);
        }
    }

    void CheckOutbox() {
        if (S.OutboxFolder.empty())
            return;
        const std::string what = "outbox " + S.OutboxFolder;
        // Made on first use: then its parent must take it.
        const bool present = IsFolder(S.OutboxFolder);
        const std::string folder = present ? S.OutboxFolder : ParentFolder(S.OutboxFolder);
        std::string reason;
        if (!IsFolder(folder))
            Fail(what, "neither it nor " + folder + " is there", "create it");
        else if (!FolderWritable(folder, reason))
            Fail(what,
                 (present ? "cannot be written (" : "cannot be made in " + folder + " (") + reason + ")",
                 "make it writable for the user the box runs as");
        else
            Ok(what + (present ? " is writable" : " can be made"));
    }

    void CheckUpload() {
        const TLumiskConf& conf = S.Conf;
        if (conf.UploadHost.empty()) {
            Fail("upload", "[upload] host is not set", "name the upload server");
            return;
        }
        const std::string server = conf.UploadHost + ":" + IntToStr(conf.UploadPort);
        {
            TIdFTP ftp;
            ConfigureUploadClient(ftp, conf, 0);
            try {
                ftp.OpenSession(false);
                ftp.SendQuit();
            } catch (const std::exception& e) {
                Fail("upload server " + server, e.what(),
                     "check [upload] host and port, the network, and that the server runs");
                return;
            }
            Ok("upload server " + server + " answers");
        }
        for (int i = 0; i < UploadAccountCount; ++i) {
            const std::string& user = conf.UploadAccounts[static_cast<size_t>(i)];
            const std::string what = "upload account" + IntToStr(i + 1) + " " + user;
            if (user.empty()) {
                Skip("upload account" + IntToStr(i + 1) + " (not set: mailboxes " + AccountMailboxes(i) +
                     " cannot be delivered)");
                continue;
            }
            TIdFTP ftp;
            ConfigureUploadClient(ftp, conf, i);
            try {
                ftp.OpenSession(true);
            } catch (const std::exception& e) {
                Fail(what, "cannot log in (" + Trim(e.what()) + ")",
                     "check the account name and [upload] password against the server");
                continue;
            }
            try {
                std::vector<std::string> names;
                ftp.ListNames(names);
                ftp.SendQuit();
                Ok(what + " logs in and lists its home (" + IntToStr(static_cast<int>(names.size())) +
                   " entries)");
            } catch (const std::exception& e) {
                ftp.CloseConnection();
                Fail(what, "logs in, but its home cannot be listed (" + Trim(e.what()) + ")",
                     std::string("let the account read its home folder") +
                         (conf.UploadPassive ? "" : ", or try [upload] passive = 1 behind a firewall"));
            }
        }
    }

    const TSelfCheckSetup& S;
    std::ostream& Out;
    int Failures = 0;
};

} // namespace

bool PromptPlayable(const std::string& path, std::string& reason) {
    // The file alone: the box's own playback may hold the device while the check runs.
    reason = PromptProblem(path, false);
    return reason.empty();
}

bool DecoderTakesFormat(const TSoundCaptureFormat& format) {
    // The decoder converts any format its input path takes to 8 kHz 16-bit mono.
    TPhoneToneDecoder decoder;
    try {
        decoder.SetInputFormat(format.SampleRate, format.BitsPerSample, format.Channels);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

bool RunSelfCheck(const TSelfCheckSetup& setup, std::ostream& out) {
    return TSelfCheck(setup, out).Run();
}
