// The whole box on real parts for end-to-end checks: a real FTP server on 127.0.0.1 (the
// network tests' server script, pyftpdlib or pure-ftpd), the line simulator (pseudo-terminal
// modem and caller), and "lumisk --headless" on the simulated sound card, each a child process
// ended by its PID. Everything lives in a fresh folder of its own:
//
//   <folder>/box/      the box's executable folder and working folder: lumisk (a copy, so
//                      pager.ini and recordings land here), lumisk.conf, pager.ini, prompts
//   <folder>/ftp/      the server's account homes: ftp/<account>/<mailbox>/...
//   <folder>/capture, <folder>/playback   the simulated card's FIFOs
#pragma once

#include "CallerAudio.h"
#include "ChildProcess.h"
#include "support/TestFiles.h"

#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>

namespace e2e {

inline bool Accepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Polls ready() until it holds or the bound passes; whether it held.
template <class TReady> bool WaitUntil(TReady ready, std::chrono::seconds bound = std::chrono::seconds(60)) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Whether some socket of this machine has an established connection to port on 127.0.0.1.
inline bool ConnectedTo(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (remote == wanted && state == "01")
            return true;
    }
    return false;
}

// tests/net/ftpserver.py on a given or free port; may be stopped and started again on the same
// port, keeping its files.
class TFtpServer {
public:
    enum TKind { PyFtpdLib, PureFtpd };

    // extra: more arguments of the server script ("--cut-first", "20000").
    TFtpServer(TKind kind, const std::string& root, const std::string& folders, int port = 0,
               std::vector<std::string> extra = {})
        : FKind(kind), FRoot(root), FFolders(folders), FPort(port), FExtra(std::move(extra)) {
        Start();
    }
    int Port() const { return FPort; }
    bool Running() const { return FProcess != nullptr; }
    pid_t Pid() const { return FProcess ? FProcess->Pid() : -1; }

    void Start() {
        std::vector<std::string> args{
            "/usr/bin/python3", std::string(LUMISK_SOURCE_DIR) + "/tests/net/ftpserver.py",
            "--kind",           FKind == PyFtpdLib ? "pyftpdlib" : "pure-ftpd",
            "--root",           FRoot,
            "--folders",        FFolders,
            "--port",           std::to_string(FPort)};
        args.insert(args.end(), FExtra.begin(), FExtra.end());
        FProcess = std::make_unique<TChildProcess>(args);
        const int line = FProcess->WaitLine(TChildProcess::Out, "^PORT [0-9]+");
        if (line < 0)
            throw std::runtime_error("FTP server did not start: " + FProcess->AllText(TChildProcess::Err));
        FPort = std::stoi(FProcess->Line(TChildProcess::Out, line).substr(5));
        // pure-ftpd listens a moment after it has named its port.
        if (!WaitUntil([this] { return Accepts(FPort); }))
            throw std::runtime_error("FTP server does not accept connections");
    }
    void Stop() { FProcess.reset(); }
    // A server that hangs: stopped by the kernel, its sockets still open; the kernel still
    // completes connections into its queue.
    void Freeze() { kill(Pid(), SIGSTOP); }
    void Thaw() { kill(Pid(), SIGCONT); }
    // Ends at once, as a crash does: queued connections are reset.
    void Kill() {
        if (FProcess)
            FProcess->Stop(SIGKILL);
        FProcess.reset();
    }
    // Where an upload of account lands.
    std::string FilePath(const std::string& account, const std::string& remoteName) const {
        return FRoot + "/" + account + "/" + remoteName;
    }

private:
    TKind FKind;
    std::string FRoot, FFolders;
    int FPort;
    std::vector<std::string> FExtra;
    std::unique_ptr<TChildProcess> FProcess;
};

struct TBoxSettings {
    int UploadPort = 0; // 0: the rig's own server
    std::string Password = "mira318";
    int TimeoutSeconds = 20;
    bool Passive = false;
    int TimeLimitSeconds = 2; // Edit1
    // Short distinct tones as prompts, so a call takes seconds; false: the spoken build prompts.
    bool ShortPrompts = true;
    // Prompts of a millisecond each, so measurements see the box and not its prompts.
    bool TinyPrompts = false;
    std::vector<std::string> Env; // extra environment of the box, "NAME=value"
    // The outbox's back-off, seconds: short, so that a test sees retries within seconds.
    int RetryFirst = 1;
    int RetryMax = 2;
    std::string OnDelivered; // [upload] on_delivered; empty: none
    // Spoken-length greeting and request (ms, 0: as the prompts above): tones of the short
    // prompts' pitch, as long as a real greeting holds the box.
    int WelcomeMs = 0;
    int EnterMs = 0;
    int NumberWaitSeconds = -1; // [call] number_wait; -1: not written
    // [call] check_mailbox. Off here unless a test asks for it: most checks follow the upload
    // made during the call, which a checked number leaves to the outbox after the hang-up.
    bool CheckMailbox = false;
    int CheckWaitSeconds = 0; // [call] check_wait; 0: not written
    std::string CallerId;     // [modem] caller_id; empty: none, so the modem's lines stay the call's
    int Rings = 0;            // [call] rings; 0: not written
    int MaxSilence = -1;      // [call] max_silence; -1: not written
    // The modem carries the call's audio ([sound] driver = modem): the simulator's
    // "--voice-modem" formats and further options of its voice mode; empty: the sound card.
    std::string VoiceModem;
    std::vector<std::string> VoiceOptions;
    int ModemCheckEvery = -1;  // [modem] check_every; -1: not written
    std::string TimeLimitText; // pager.ini's first line as written; empty: TimeLimitSeconds
};

// The prompt files the box plays. Short ones are tones of their own pitch each, so a test can
// find each of them in what the box played.
inline const char* const PromptNames[] = {"welcome", "enter", "message", "beep", "notfound", "thank"};

inline TSamples ShortPrompt(int index) {
    TSamples s;
    AppendTone(s, 450 + 110 * index, index == 3 ? 150 : 250);
    return s;
}

class TBoxRig {
public:
    explicit TBoxRig(const std::string& tag) : Temp(tag), Folder(Temp.Path) {
        Temp.Keep = getenv("LUMISK_KEEP_E2E") != nullptr;
        std::filesystem::create_directories(Box());
        std::filesystem::create_directories(Folder + "/ftp");
    }
    ~TBoxRig() {
        BoxProcess.reset();
        Line.reset();
        Server.reset();
    }

    std::string Box() const { return Folder + "/box"; }
    std::string OutboxFolder() const { return Box() + "/outbox"; }
    std::string FtpRoot() const { return Folder + "/ftp"; }

    void StartServer(TFtpServer::TKind kind, const std::string& folders) {
        Server = std::make_unique<TFtpServer>(kind, FtpRoot(), folders);
    }

    // The line simulator; its first line names the modem's device. voiceArguments: its voice
    // mode ("--voice-modem", FORMATS, ...) in place of the sound card's FIFOs. linked: the box
    // opens the modem through a link that stays put, so the simulator's "drop" and "plug" take
    // the modem away and bring it back at the same path. LineModel, when set, is its --line: the
    // caller is heard through a telephone line.
    void StartLine(const std::vector<std::string>& voiceArguments = {}, bool linked = false) {
        std::vector<std::string> args = {std::string(LUMISK_BINARY_DIR) +
                                         "/tools/lumisk-linesim/lumisk-linesim"};
        if (voiceArguments.empty())
            args.insert(args.end(), {"--capture", Folder + "/capture", "--playback", Folder + "/playback"});
        else
            args.insert(args.end(), voiceArguments.begin(), voiceArguments.end());
        if (!LineModel.empty())
            args.insert(args.end(), {"--line", LineModel});
        if (linked) {
            args.push_back("--link");
            args.push_back(Folder + "/modem");
        }
        Line = std::make_unique<TChildProcess>(args);
        const int first = Line->WaitLine(TChildProcess::Out, "^pty ");
        if (first < 0)
            throw std::runtime_error("line simulator did not start: " + Line->AllText(TChildProcess::Err));
        ModemDevice = linked ? Folder + "/modem" : Line->Line(TChildProcess::Out, first).substr(4);
    }

    // Writes the box's folder and starts it headless (and the line simulator, when it is not
    // running yet); returns once it waits for calls.
    void StartBox(const TBoxSettings& s) {
        const bool voice = !s.VoiceModem.empty();
        if (!Line && voice) {
            std::vector<std::string> args = {"--voice-modem", s.VoiceModem};
            args.insert(args.end(), s.VoiceOptions.begin(), s.VoiceOptions.end());
            StartLine(args);
        } else if (!Line) {
            StartLine();
        }
        const int uploadPort = s.UploadPort ? s.UploadPort : Server ? Server->Port() : 21;
        namespace fs = std::filesystem;
        fs::copy_file(std::string(LUMISK_BINARY_DIR) + "/src/app/lumisk", Box() + "/lumisk",
                      fs::copy_options::overwrite_existing);
        for (int i = 0; i < 6; ++i) {
            const std::string name = std::string(PromptNames[i]) + ".wav";
            const int longMs = i == 0 ? s.WelcomeMs : i == 1 ? s.EnterMs : 0;
            if (longMs > 0) {
                TSamples tone;
                AppendTone(tone, 450 + 110 * i, longMs);
                WriteLineWave(Box() + "/" + name, tone);
            } else if (s.TinyPrompts)
                WriteLineWave(Box() + "/" + name, TSamples(8, 0));
            else if (s.ShortPrompts)
                WriteLineWave(Box() + "/" + name, ShortPrompt(i));
            else
                fs::copy_file(std::string(LUMISK_BINARY_DIR) + "/prompts/" + name, Box() + "/" + name,
                              fs::copy_options::overwrite_existing);
        }
        std::ostringstream conf;
        conf << "[modem]\nport = " << ModemDevice << "\ncaller_id = " << s.CallerId << "\n";
        if (s.ModemCheckEvery >= 0)
            conf << "check_every = " << s.ModemCheckEvery << "\n";
        conf << "[call]\ncheck_mailbox = " << (s.CheckMailbox ? "yes" : "no") << "\n";
        if (s.NumberWaitSeconds >= 0)
            conf << "number_wait = " << s.NumberWaitSeconds << "\n";
        if (s.Rings > 0)
            conf << "rings = " << s.Rings << "\n";
        if (s.MaxSilence >= 0)
            conf << "max_silence = " << s.MaxSilence << "\n";
        if (s.CheckWaitSeconds > 0)
            conf << "check_wait = " << s.CheckWaitSeconds << "\n";
        conf << "[upload]\nhost = 127.0.0.1\nport = " << uploadPort << "\npassive = " << (s.Passive ? 1 : 0)
             << "\npassword = " << s.Password << "\n";
        for (int i = 1; i <= 6; ++i)
            conf << "account" << i << " = mbox" << i << "\n";
        conf << "timeout = " << s.TimeoutSeconds << "\nretry_first = " << s.RetryFirst
             << "\nretry_max = " << s.RetryMax << "\n";
        if (!s.OnDelivered.empty())
            conf << "on_delivered = " << s.OnDelivered << "\n";
        if (voice)
            conf << "[sound]\ndriver = modem\n";
        else
            conf << "[sound]\ndriver = sim\ncapture = " << Folder << "/capture\nplayback = " << Folder
                 << "/playback\n";
        WriteFile(Box() + "/lumisk.conf", conf.str());
        // As an installation keeps it: the password is for the box's user alone.
        fs::permissions(Box() + "/lumisk.conf", fs::perms::owner_read | fs::perms::owner_write);
        // Time limit, modem strings, "Autosave wave" on, recorder device 0, 8 kHz 16-bit mono.
        WriteFile(Box() + "/pager.ini",
                  (s.TimeLimitText.empty() ? std::to_string(s.TimeLimitSeconds) : s.TimeLimitText) +
                      "\r\nATM1\r\nATH1\r\nATH0\r\n1\r\n0\r\n" +
                      std::to_string(voice ? VoiceRecorderFormat8k16Mono : RecorderFormat8k16Mono) + "\r\n");
        // A service has no display: the box must start without one and without a platform plugin.
        std::vector<std::string> env = {"-QT_QPA_PLATFORM", "-DISPLAY", "-WAYLAND_DISPLAY", "TZ=UTC",
                                        "LC_ALL=C"};
        env.insert(env.end(), s.Env.begin(), s.Env.end());
        const int from = Line->LineCount(TChildProcess::Out);
        BoxProcess = std::make_unique<TChildProcess>(
            std::vector<std::string>{Box() + "/lumisk", "--headless"}, Box(), env);
        // The box sends its initialisation string once its port is open.
        if (Line->WaitLine(TChildProcess::Out, "^rx .* ATM1$", from) < 0)
            throw std::runtime_error("the box did not start: " + BoxProcess->AllText(TChildProcess::Err));
    }

    // Places a call; returns the index of the simulator's line that ends it ("call hangup" or
    // "call failed"), or -1.
    int Call(const std::string& script, std::chrono::seconds bound = std::chrono::seconds(120)) {
        const int from = Line->LineCount(TChildProcess::Out);
        Line->Write("call " + script);
        return Line->WaitLine(TChildProcess::Out, "^call (hangup|failed)", from, bound);
    }
    // Starts a call without waiting for its end; returns the line index to wait from.
    int StartCall(const std::string& script) {
        const int from = Line->LineCount(TChildProcess::Out);
        Line->Write("call " + script);
        return from;
    }
    int BoxEvent(const std::string& pattern, int from = 0,
                 std::chrono::milliseconds bound = std::chrono::seconds(60)) {
        return BoxProcess->WaitLine(TChildProcess::Out, pattern, from, bound);
    }
    int BoxError(const std::string& pattern, int from = 0,
                 std::chrono::milliseconds bound = std::chrono::seconds(60)) {
        return BoxProcess->WaitLine(TChildProcess::Err, pattern, from, bound);
    }
    // Lines the box sent to the modem, in order ("ATH1", "ATDD;", ...).
    std::vector<std::string> ModemLines() {
        std::vector<std::string> lines;
        for (const std::string& l : Line->Lines(TChildProcess::Out))
            if (l.rfind("rx ", 0) == 0)
                lines.push_back(l.substr(l.find(' ', l.find(' ', 3) + 1) + 1));
        return lines;
    }

    // Index of the recorder's format list entry for 8000 Hz 16-bit mono: the sim card offers
    // rates ascending, each as 8-bit mono, 8-bit stereo, 16-bit mono, 16-bit stereo.
    static constexpr int RecorderFormat8k16Mono = 2;
    // The voice modem offers 8000 Hz mono only: 8-bit, then 16-bit.
    static constexpr int VoiceRecorderFormat8k16Mono = 1;

private:
    TTempFolder Temp;

public:
    std::string Folder;
    std::string LineModel; // lumisk-linesim --line SETTINGS; empty: a clean line
    std::string ModemDevice;
    std::unique_ptr<TFtpServer> Server;
    std::unique_ptr<TChildProcess> Line;
    std::unique_ptr<TChildProcess> BoxProcess;
};

// Whether needle occurs in hay as one unbroken run of samples; the position or -1.
inline long FindSamples(const TSamples& hay, const TSamples& needle, size_t from = 0) {
    if (needle.empty() || hay.size() < needle.size())
        return -1;
    for (size_t i = from; i + needle.size() <= hay.size(); ++i)
        if (std::equal(needle.begin(), needle.end(), hay.begin() + static_cast<long>(i)))
            return static_cast<long>(i);
    return -1;
}

} // namespace e2e
