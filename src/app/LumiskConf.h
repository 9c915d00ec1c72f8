// The deployment settings of one machine: "lumisk.conf", a small INI file written by the
// installer and never changed by the program. A missing file or key keeps the built-in default;
// a malformed value keeps the default too and is collected in Problems with file, line and key,
// so that the program reports it once at start.
#pragma once

#include "audio/SoundService.h"

#include <array>
#include <string>
#include <vector>

// [upload] tls: off (clear text), try (TLS unless the server refuses AUTH TLS), require.
enum class TUploadTls { Off, Try, Require };

struct TLumiskConf {
    // [modem]
    std::string ModemPort = "ttyS2"; // the third serial port; a name under /dev or an absolute path
    // Turns the modem's caller ID on: sent after the initialisation string and after every
    // hang-up (some modems forget it). Empty: none.
    std::string ModemCallerId = "AT+VCID=1";
    // The port's speed when the modem carries the call's audio ([sound] driver = modem): 16-bit
    // audio needs more than 160,000 baud on a real serial line; a USB modem ignores it.
    int ModemVoiceBaud = 230400;
    // Seconds between the idle box's "AT" to the modem, which must answer "OK" within 2 s; 0:
    // never asked.
    int ModemCheckEvery = 300;

    // [call]
    // Seconds the box waits for a first key after the prompts before it asks again ("enter.wav");
    // after the third silent wait it hangs up. 0: it waits for good.
    int CallNumberWait = 10;
    // The RING that is answered: 2 lets caller ID, sent between the first and second, arrive first.
    int CallRings = 1;
    // Seconds of silence from the caller that end a message (the caller has gone); 0: never.
    int CallMaxSilence = 8;
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
    std::string SoundDriver = "alsa"; // "alsa", "sim" or "modem" (the voice modem on [modem] port)
    std::string SoundCapture = "default";
    std::string SoundPlayback = "default";
    // [sound] driver = modem: the voice modem on [modem] port is the sound device too.
    bool ModemCarriesAudio() const { return SoundDriver == "modem"; }

    // "<file>:<line>: [<section>] <key>: <what is wrong>", one entry per bad line.
    std::vector<std::string> Problems;

    // Reads the file. A missing file is no problem unless mustExist (an explicit --config).
    void LoadFromFile(const std::string& fileName, bool mustExist);
    // The [sound] settings as the sound layer takes them ("default" is ALSA's default device; the
    // simulated card's default is no file at all).
    TSoundSettings Sound() const;
    // Parses text as the contents of fileName.
    void LoadFromText(const std::string& text, const std::string& fileName);
};
