#include "app/RecordingRecovery.h"

#include "app/MessageNote.h"
#include "audio/WaveRepair.h"
#include "toolkit/Exception.h"
#include "toolkit/StringUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const PendingSuffix = ".pending";

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw Exception("Cannot " + what + " " + path + ": " + std::strerror(error));
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

uint32_t Le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Whether a RIFF WAVE file's size fields disagree with its length: a writer that never
// completed it. Files that are not RIFF WAVE are none of ours: false.
bool HeaderIncomplete(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char head[12];
    if (!in.read(reinterpret_cast<char*>(head), sizeof head) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0)
        return false;
    in.seekg(0, std::ios::end);
    const int64_t length = in.tellg();
    if (Le32(head + 4) != static_cast<uint64_t>(length - 8))
        return true;
    int64_t at = 12;
    while (at + 8 <= length) {
        unsigned char chunk[8];
        in.seekg(at);
        if (!in.read(reinterpret_cast<char*>(chunk), sizeof chunk))
            return false;
        const uint32_t size = Le32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0)
            return size != static_cast<uint64_t>(length - at - 8);
        at += 8 + size + (size & 1);
    }
    return true; // no data chunk where the file says there is one
}

} // namespace

std::string PendingRecordName(const std::string& recording) {
    return recording + PendingSuffix;
}

void WritePendingRecord(const std::string& recording, const TPendingRecord& record) {
    const std::string path = PendingRecordName(recording);
    const std::string temp = path + ".tmp";
    std::ostringstream text;
    // Key lines, an empty line, then the note as it will travel.
    text << "mailbox=" << record.Mailbox << "\nremote=" << record.RemoteName
         << "\naccount=" << record.AccountIndex << "\n\n"
         << record.Note;
    const std::string bytes = text.str();
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        Fail("create", temp, errno);
    size_t done = 0;
    int error = 0;
    while (done < bytes.size() && !error) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? ENOSPC : errno;
    }
    if (!error && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && !error)
        error = errno;
    if (!error && rename(temp.c_str(), path.c_str()) != 0)
        error = errno;
    if (error) {
        unlink(temp.c_str());
        Fail("write", path, error);
    }
    const int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0 || fsync(folder) != 0) {
        error = errno;
        if (folder >= 0)
            close(folder);
        Fail("flush the folder of", path, error);
    }
    close(folder);
}

void RemovePendingRecord(const std::string& recording) {
    unlink(PendingRecordName(recording).c_str());
}

TPendingRecord ReadPendingRecord(const std::string& recording) {
    const std::string path = PendingRecordName(recording);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Fail("read", path, errno ? errno : ENOENT);
    TPendingRecord record;
    std::string line;
    bool haveMailbox = false;
    while (std::getline(in, line) && !line.empty()) {
        const size_t eq = line.find('=');
        const std::string key = line.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
        if (key == "mailbox") {
            record.Mailbox = value;
            haveMailbox = !value.empty();
        } else if (key == "remote") {
            record.RemoteName = value;
        } else if (key == "account") {
            record.AccountIndex = StrToIntDef(value, 0);
        }
    }
    std::ostringstream note;
    note << in.rdbuf();
    record.Note = note.str();
    if (!haveMailbox || record.RemoteName.empty())
        throw Exception("Cannot read " + path + ": not a recording's record");
    return record;
}

std::vector<TRecoveredRecording> RecoverRecordings(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir))
            names.emplace_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<TRecoveredRecording> found;
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        if (EndsWith(name, PendingSuffix)) {
            const std::string recording = path.substr(0, path.size() - std::strlen(PendingSuffix));
            if (!IsFile(recording)) {
                RemovePendingRecord(recording); // its message went, only the record stayed
                continue;
            }
            TRecoveredRecording item;
            item.Path = recording;
            item.HasRecord = true;
            try {
                item.Record = ReadPendingRecord(recording);
                item.Seconds = RepairWaveFile(recording);
                TMessageNote note;
                try {
                    note = ParseMessageNote(item.Record.Note);
                } catch (const std::exception&) {
                    note.Mailbox = item.Record.Mailbox; // a torn note: what the record knows
                }
                note.DurationSeconds = item.Seconds;
                note.Ended = MessageEndText(TMessageEnd::Interrupted);
                item.Record.Note = FormatMessageNote(note);
            } catch (const std::exception& e) {
                item.Error = OneLine(e.what());
            }
            found.push_back(item);
        } else if (EndsWith(name, ".wav") && IsFile(path) && !IsFile(PendingRecordName(path)) &&
                   HeaderIncomplete(path)) {
            TRecoveredRecording item;
            item.Path = path;
            try {
                item.Seconds = RepairWaveFile(path);
            } catch (const std::exception& e) {
                item.Error = OneLine(e.what());
            }
            found.push_back(item);
        }
    }
    return found;
}
