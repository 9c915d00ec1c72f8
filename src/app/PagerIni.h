// "pager.ini": the window's seven settings, one per line, in this order. The one description of
// the file: the box writes and reads it with it, and the self-check checks it with it.
#pragma once

#include <string>
#include <vector>

// One line of "pager.ini" that was not taken as written.
struct TPagerProblem {
    std::string Text;     // "FILE:N: 'abc' is not a valid integer value, 10 used"
    bool Warning = false; // taken as written, but the operator should know
};

struct TPagerSettings {
    std::string TimeLimit = "10";    // line 1: seconds, as typed into the "Timeout" field
    std::string InitString = "ATM1"; // line 2
    std::string AnswerString = "ATH1";
    std::string HangupString = "ATH0";
    bool Autosave = false;   // line 5: "1" or "0"
    int RecorderDevice = 0;  // line 6: index into the recorder's device list
    int RecorderFormat = 11; // line 7: index into the recorder's format list

    static constexpr int LineCount = 7;
    // The "Timeout" field's range: a longer limit becomes the default.
    static constexpr int MaxTimeLimit = 38;
    static constexpr int DefaultTimeLimit = 10;

    void Write(const std::string& fileName) const;
    // Reads the lines in order. A line that is not the integer it must be keeps its default, and
    // a time limit outside 1..38 is replaced as the window's field replaces it (above 38 and
    // below 0: "10"); 0 is taken but warned of, since calls then only end when the caller leaves.
    // Returns one text per such line, "FILE:N: WHAT"; a file that cannot be read raises
    // EInOutError.
    std::vector<TPagerProblem> Read(const std::string& fileName);
    // What Read would report for the file, without taking anything.
    static std::vector<TPagerProblem> Problems(const std::string& fileName);
};
