// "lumisk --check": the box's parts checked one by one before it is left alone with a line, each
// on one line with what to do when it fails. Needs no window and no display.
#pragma once

#include "app/LumiskConf.h"

#include <iosfwd>
#include <string>

class TIdFTP;
class TSoundCaptureFormat;

struct TSelfCheckSetup {
    TLumiskConf Conf;         // as read from ConfigPath, with its Problems
    std::string ConfigPath;   // for the report
    std::string WorkFolder;   // pager.ini and the recordings
    std::string PromptFolder; // empty: the current folder
    std::string OutboxFolder; // empty: the box keeps no outbox
    bool CheckModem = true;
    int ModemWaitMs = 2000; // for the answer to "AT"
};

// Runs every check and writes one line each to out: "ok   WHAT", "skip WHAT (why)" or
// "FAIL WHAT: PROBLEM; WHAT TO DO". True when no check failed.
bool RunSelfCheck(const TSelfCheckSetup& setup, std::ostream& out);

// The pieces the checks are built from, one place each for what other parts of the box may come
// to decide differently.

// Whether the prompt file at path plays as it stands (not the built-in tone); else why not.
bool PromptPlayable(const std::string& path, std::string& reason);
// Whether the tone decoder takes the capture format it is given.
bool DecoderTakesFormat(const TSoundCaptureFormat& format);
