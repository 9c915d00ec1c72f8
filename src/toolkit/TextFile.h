// Text files of CR LF lines, read and written line by line. Reading accepts CR LF, LF or a lone
// CR as the end of a line; a line read past the end of the file is empty. Failures raise
// EInOutError with the errno value.
#pragma once

#include <cstdio>
#include <string>

class TTextFile {
public:
    TTextFile() = default;
    ~TTextFile();
    TTextFile(const TTextFile&) = delete;
    TTextFile& operator=(const TTextFile&) = delete;

    void Reset(const std::string& fileName);   // open for reading
    void Rewrite(const std::string& fileName); // create or truncate for writing
    std::string ReadLn();
    bool Eof();
    void WriteLn(const std::string& line); // line + CR LF
    void Close();                          // flushes; raises on a failed write

private:
    std::FILE* FFile = nullptr;
    bool FWriting = false;
};
