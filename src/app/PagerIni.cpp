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

void TPagerSettings::Read(const std::string& fileName) {
    TTextFile file;
    file.Reset(fileName);
    TimeLimit = file.ReadLn();
    InitString = file.ReadLn();
    AnswerString = file.ReadLn();
    HangupString = file.ReadLn();
    Autosave = file.ReadLn() == "1";
    RecorderDevice = StrToInt(file.ReadLn());
    RecorderFormat = StrToInt(file.ReadLn());
    file.Close();
    StrToInt(TimeLimit); // the time limit must be a number too
}

std::vector<std::string> TPagerSettings::Problems(const std::string& fileName) {
    TTextFile file;
    file.Reset(fileName);
    std::vector<std::string> lines;
    for (int i = 0; i < LineCount; ++i)
        lines.push_back(file.ReadLn());
    file.Close();
    std::vector<std::string> problems;
    for (int line : IntegerLines) {
        int value = 0;
        const std::string& text = lines[static_cast<size_t>(line - 1)];
        if (!TryStrToInt(text, value))
            problems.push_back(Format("line %d: '%s' is not a valid integer value", line, text.c_str()));
    }
    return problems;
}
