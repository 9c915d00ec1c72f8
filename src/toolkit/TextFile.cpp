#include "toolkit/TextFile.h"

#include "toolkit/Exception.h"

#include <cerrno>

TTextFile::~TTextFile() {
    if (FFile)
        std::fclose(FFile);
}

void TTextFile::Reset(const std::string& fileName) {
    Close();
    FFile = std::fopen(fileName.c_str(), "rbe");
    if (!FFile)
        throw EInOutError(errno);
    FWriting = false;
}

void TTextFile::Rewrite(const std::string& fileName) {
    Close();
    FFile = std::fopen(fileName.c_str(), "wbe");
    if (!FFile)
        throw EInOutError(errno);
    FWriting = true;
}

std::string TTextFile::ReadLn() {
    if (!FFile || FWriting)
        throw EInOutError(EBADF);
    std::string line;
    for (;;) {
        const int c = std::fgetc(FFile);
        if (c == EOF) {
            if (std::ferror(FFile))
                throw EInOutError(errno ? errno : EIO);
            break;
        }
        if (c == '\n')
            break;
        if (c == '\r') {
            const int next = std::fgetc(FFile);
            if (next != '\n' && next != EOF)
                std::ungetc(next, FFile);
            break;
        }
        line.push_back(static_cast<char>(c));
    }
    return line;
}

bool TTextFile::Eof() {
    if (!FFile || FWriting)
        return true;
    const int c = std::fgetc(FFile);
    if (c == EOF)
        return true;
    std::ungetc(c, FFile);
    return false;
}

void TTextFile::WriteLn(const std::string& line) {
    if (!FFile || !FWriting)
        throw EInOutError(EBADF);
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), FFile) != line.size() || std::fputs("\r\n", FFile) == EOF)
        throw EInOutError(errno ? errno : EIO);
}

void TTextFile::Close() {
    if (!FFile)
        return;
    std::FILE* f = FFile;
    FFile = nullptr;
    errno = 0;
    const bool failed = std::fclose(f) != 0;
    if (failed && FWriting)
        throw EInOutError(errno ? errno : EIO);
}
