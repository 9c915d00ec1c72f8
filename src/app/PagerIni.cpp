#include "app/PagerIni.h"

#include "toolkit/StringUtils.h"
#include "toolkit/TextFile.h"

namespace {

// The lines that hold integers, by number.
constexpr int IntegerLines[] = {1, 6, 7};

} // namespace

void TPagerSettings::Write(const std::string& fileName) const {
    TTextFile file;
    file.Rewrite(fileName);
    file.WriteLn(TimeLimit);
    file.WriteLn(InitString);
    file.WriteLn(AnswerString);
    file.WriteLn(HangupString);
    file.WriteLn(Autosave ? "1" : "0");
    file.WriteLn(IntToStr(RecorderDevice));
    file.WriteLn(IntToStr(RecorderFormat));
    file.Close();
}

std::vector<TPagerProblem> TPagerSettings::Read(const std::string& fileName) {
    TTextFile file;
    file.Reset(fileName);
    std::string lines[LineCount];
    for (std::string& line : lines)
        line = file.ReadLn();
    file.Close();

    std::vector<TPagerProblem> problems;
    auto problem = [&](int line, const std::string& what, bool warning = false) {
        problems.push_back({Format("%s:%d: %s", fileName.c_str(), line, what.c_str()), warning});
    };
    // An integer line keeps its default when it is not one.
    auto integer = [&](int line, int& value) {
        const std::string& text = lines[line - 1];
        int read = 0;
        if (TryStrToInt(text, read))
            value = read;
        else
            problem(line, Format("'%s' is not a valid integer value, %d used", text.c_str(), value));
    };
    int timeLimit = StrToIntDef(TimeLimit, DefaultTimeLimit);
    integer(1, timeLimit);
    if (timeLimit > MaxTimeLimit || timeLimit < 0) {
        problem(1,
                Format("time limit %d is outside 1..%d, %d used", timeLimit, MaxTimeLimit, DefaultTimeLimit));
        timeLimit = DefaultTimeLimit;
    } else if (timeLimit == 0) {
        problem(1, "time limit 0: a call then ends only when the caller leaves", true);
    }
    TimeLimit = IntToStr(timeLimit);
    InitString = lines[1];
    AnswerString = lines[2];
    HangupString = lines[3];
    Autosave = lines[4] == "1";
    integer(6, RecorderDevice);
    integer(7, RecorderFormat);
    return problems;
}

std::vector<TPagerProblem> TPagerSettings::Problems(const std::string& fileName) {
    TPagerSettings scratch;
    return scratch.Read(fileName);
}
