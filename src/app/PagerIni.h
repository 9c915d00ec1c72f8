// "pager.ini": the window's seven settings, one per line, in this order. The one description of
// the file: the box writes and reads it with it, and the self-check checks it with it.
#pragma once

#include <string>
#include <vector>

struct TPagerSettings {
    std::string TimeLimit = "10";    // line 1: seconds, as typed into the "Timeout" field
    std::string InitString = "ATM1"; // line 2
    std::string AnswerString = "ATH1";
    std::string HangupString = "ATH0";
    bool Autosave = false;   // line 5: "1" or "0"
    int RecorderDevice = 0;  // line 6: index into the recorder's device list
    int RecorderFormat = 11; // line 7: index into the recorder's format list

    static constexpr int LineCount = 7;

    void Write(const std::string& fileName) const;
    // Reads the lines in order; a line that is not the integer it must be raises EConvertError
    // ("'%s' is not a valid integer value") after the lines before it were taken.
    void Read(const std::string& fileName);
    // The lines that Read would refuse, as "line N: 'TEXT' is not a valid integer value".
    static std::vector<std::string> Problems(const std::string& fileName);
};
