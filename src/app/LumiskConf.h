// The deployment settings of one machine: "lumisk.conf", a small INI file written by the
// installer and never changed by the program. A missing file or key keeps the built-in default;
// a malformed value keeps the default too and is collected in Problems with file, line and key,
// so that the program reports it once at start.
#pragma once

#include <array>
#include <string>
#include <vector>

// [upload] tls: off (clear text), try (TLS unless the server refuses AUTH TLS), require.
enum class TUploadTls { Off, Try, Require };

struct TLumiskConf {
    // [modem]
    std::string ModemPort = "ttyS2"; // the third serial port; a name under /dev or an absolute path

    // [call]
    // Seconds the box waits for a first key after the prompts before it asks again ("enter.wav");
    // after the third silent wait it hangs up. 0: it waits for good.
    int CallNumberWait = 10;
    // Whether an accepted number's mailbox folder is looked for on the server while the caller
    // is still on the line, and how long the answer may take (seconds) before the number is
    // taken unchecked.
    bool CallCheckMailbox = true;
    int CallCheckWait = 2;

    // [upload]
    std::string UploadHost;
    int UploadPort = 21;
    bool UploadPassive = false;
    std::string UploadPassword = "mira318";
    std::array<std::string, 6> UploadAccounts; // by mailbox range: <=9999, 10000-19999, ... >=50000
    int UploadTimeout = 60;                    // seconds
    TUploadTls UploadTls = TUploadTls::Off;
    std::string UploadCaFile;         // PEM certificate authorities; empty: the system store
    std::string UploadServerName;     // the name the server's certificate must carry; empty: host
    bool UploadPasvFromReply = false; // pasv_address: peer (false) or reply (true)
    // Failed uploads wait here for the next try; a relative path is beside the executable.
    std::string UploadOutbox = "outbox";
    int UploadRetryFirst = 30; // seconds to the first retry; each failed retry doubles it
    int UploadRetryMax = 900;  // the longest wait between retries, seconds
    // Run after each delivered message with the mailbox, the remote path and the local file;
    // empty: nothing runs.
    std::string UploadOnDelivered;

    // [box]
    std::string BoxPrompts; // folder of the six prompts; empty: see ResolveBoxFolders (InstallLayout.h)

    // [sound]
    std::string SoundDriver = "alsa"; // "alsa" or "sim"
    std::string SoundCapture = "default";
    std::string SoundPlayback = "default";

    // "<file>:<line>: [<section>] <key>: <what is wrong>", one entry per bad line.
    std::vector<std::string> Problems;

    // Reads the file. A missing file is no problem unless mustExist (an explicit --config).
    void LoadFromFile(const std::string& fileName, bool mustExist);
    // Hands the [sound] settings to the sound layer through its environment variables
    // (LUMISK_SOUND and the device names of the chosen driver); a variable already set in the
    // environment wins, so a test or a one-off run can override the file.
    void ExportSoundSettings() const;
    // Parses text as the contents of fileName.
    void LoadFromText(const std::string& text, const std::string& fileName);
};
