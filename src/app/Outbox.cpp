#include "app/Outbox.h"

#include "toolkit/Exception.h"
#include "toolkit/StringUtils.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw Exception("Outbox: cannot " + what + " " + path + ": " + std::strerror(error));
}

void SyncFolder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        Fail("open folder", folder, errno);
    const int result = fsync(fd);
    const int error = errno;
    close(fd);
    if (result != 0)
        Fail("flush folder", folder, error);
}

void WriteAll(int fd, const char* data, size_t size, const std::string& path) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail("write", path, n < 0 ? errno : ENOSPC);
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Writes the bytes (or, when source is given, the source file's bytes) to path and flushes them
// to the disk; a failure removes what was written and raises.
void WriteDurably(const std::string& path, const std::string& bytes, const std::string* source = nullptr) {
    const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        Fail("create", path, errno);
    try {
        if (source) {
            const int in = open(source->c_str(), O_RDONLY | O_CLOEXEC);
            if (in < 0)
                Fail("read", *source, errno);
            char buffer[65536];
            for (;;) {
                const ssize_t n = read(in, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0) {
                    const int error = errno;
                    close(in);
                    Fail("read", *source, error);
                }
                if (n == 0)
                    break;
                try {
                    WriteAll(out, buffer, static_cast<size_t>(n), path);
                } catch (...) {
                    close(in);
                    throw;
                }
            }
            close(in);
        } else {
            WriteAll(out, bytes.data(), bytes.size(), path);
        }
        if (fsync(out) != 0)
            Fail("flush", path, errno);
    } catch (...) {
        close(out);
        unlink(path.c_str());
        throw;
    }
    if (close(out) != 0) {
        const int error = errno;
        unlink(path.c_str());
        Fail("close", path, error);
    }
}

void Rename(const std::string& from, const std::string& to) {
    if (rename(from.c_str(), to.c_str()) != 0)
        Fail("rename", from, errno);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return names;
    while (dirent* entry = readdir(dir))
        names.emplace_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TOutbox::TOutbox(std::string folder) : FFolder(std::move(folder)) {}

void TOutbox::MakeFolder() {
    // The parents too: the undeliverable folder lives inside the outbox.
    for (size_t slash = FFolder.find('/', 1);; slash = FFolder.find('/', slash + 1)) {
        const std::string part = FFolder.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            Fail("create folder", part, errno);
        if (slash == std::string::npos)
            break;
    }
}

std::string TOutbox::NewId() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    for (;;) {
        std::string id = Format("%013lld-%04d", static_cast<long long>(ms), ++FCounter % 10000);
        if (!Exists(FFolder + "/" + id + ".msg") && !Exists(FFolder + "/" + id + ".wav"))
            return id;
    }
}

void TOutbox::WriteMeta(const std::string& path, const TOutboxMessage& m) {
    std::ostringstream text;
    text << "mailbox=" << OneLine(m.Mailbox) << "\nremote=" << OneLine(m.RemoteName)
         << "\naccount=" << m.AccountIndex << "\nlocal=" << OneLine(m.OriginalFile) << "\ntries=" << m.Tries
         << "\nreason=" << OneLine(m.Reason) << "\nnote=" << (m.NotePath.empty() ? 0 : 1)
         << "\nstored=" << (m.WaveStored ? 1 : 0) << "\nend\n";
    WriteDurably(path, text.str());
}

bool TOutbox::ReadMeta(const std::string& path, TOutboxMessage& m) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    if (!EndsWith(text, "\nend\n"))
        return false; // cut short: never taken as a message
    std::istringstream lines(text);
    std::string line;
    bool haveRemote = false, haveAccount = false;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "mailbox")
            m.Mailbox = value;
        else if (key == "remote")
            m.RemoteName = value, haveRemote = !value.empty();
        else if (key == "account")
            haveAccount = TryStrToInt(value, m.AccountIndex) && m.AccountIndex >= 0 && m.AccountIndex < 6;
        else if (key == "local")
            m.OriginalFile = value;
        else if (key == "tries")
            TryStrToInt(value, m.Tries);
        else if (key == "reason")
            m.Reason = value;
        else if (key == "note")
            m.NotePath = value == "1" ? path.substr(0, path.size() - 4) + ".txt" : "";
        else if (key == "stored")
            m.WaveStored = value == "1";
    }
    return haveRemote && haveAccount;
}

TOutboxMessage TOutbox::Add(const std::string& localFile, const std::string& mailbox,
                            const std::string& remoteName, int accountIndex, int tries,
                            const std::string& reason, const std::string& note) {
    std::lock_guard<std::mutex> hold(FLock);
    MakeFolder();
    TOutboxMessage m;
    m.Id = NewId();
    m.Mailbox = mailbox;
    m.RemoteName = remoteName;
    m.AccountIndex = accountIndex;
    m.OriginalFile = localFile;
    m.Tries = tries;
    m.Reason = reason;
    m.WavePath = FFolder + "/" + m.Id + ".wav";
    m.MetaPath = FFolder + "/" + m.Id + ".msg";
    if (!note.empty())
        m.NotePath = FFolder + "/" + m.Id + ".txt";
    WriteDurably(m.WavePath + ".tmp", "", &localFile);
    try {
        if (!note.empty())
            WriteDurably(m.NotePath + ".tmp", note);
        WriteMeta(m.MetaPath + ".tmp", m);
    } catch (...) {
        unlink((m.WavePath + ".tmp").c_str());
        if (!note.empty())
            unlink((m.NotePath + ".tmp").c_str());
        throw;
    }
    Rename(m.WavePath + ".tmp", m.WavePath);
    if (!note.empty())
        Rename(m.NotePath + ".tmp", m.NotePath);
    Rename(m.MetaPath + ".tmp", m.MetaPath);
    SyncFolder(FFolder);
    return m;
}

std::vector<TOutboxMessage> TOutbox::Pending() {
    std::lock_guard<std::mutex> hold(FLock);
    std::vector<TOutboxMessage> messages;
    const std::vector<std::string> names = Names(FFolder);
    bool changed = false;
    for (const std::string& name : names) {
        const std::string path = FFolder + "/" + name;
        if (EndsWith(name, ".msg.tmp")) {
            // A crash between the two renames of Add: the copy is whole once it has its name.
            const std::string id = name.substr(0, name.size() - 8);
            TOutboxMessage m;
            if (Exists(FFolder + "/" + id + ".wav") && ReadMeta(path, m))
                Rename(path, FFolder + "/" + id + ".msg");
            else
                unlink(path.c_str());
            changed = true;
        } else if (EndsWith(name, ".wav.tmp") || EndsWith(name, ".txt.tmp")) {
            unlink(path.c_str()); // a copy cut short; the recording itself is untouched
            changed = true;
        }
    }
    if (changed)
        SyncFolder(FFolder);
    for (const std::string& name : Names(FFolder)) {
        if (!EndsWith(name, ".msg"))
            continue;
        TOutboxMessage m;
        m.Id = name.substr(0, name.size() - 4);
        m.WavePath = FFolder + "/" + m.Id + ".wav";
        m.MetaPath = FFolder + "/" + name;
        if (ReadMeta(m.MetaPath, m) && Exists(m.WavePath))
            messages.push_back(m);
    }
    return messages;
}

void TOutbox::Update(const TOutboxMessage& message) {
    std::lock_guard<std::mutex> hold(FLock);
    WriteMeta(message.MetaPath + ".tmp", message);
    Rename(message.MetaPath + ".tmp", message.MetaPath);
    SyncFolder(FFolder);
}

void TOutbox::Remove(const TOutboxMessage& message) {
    std::lock_guard<std::mutex> hold(FLock);
    // The record first: a crash after it leaves a stray copy, never a message stored twice.
    if (unlink(message.MetaPath.c_str()) != 0 && errno != ENOENT)
        Fail("remove", message.MetaPath, errno);
    unlink(message.WavePath.c_str());
    if (!message.NotePath.empty())
        unlink(message.NotePath.c_str());
    SyncFolder(FFolder);
}

TOutboxMessage TOutbox::MoveTo(TOutbox& other, const TOutboxMessage& message) {
    std::lock_guard<std::mutex> hold(FLock);
    std::lock_guard<std::mutex> holdOther(other.FLock);
    other.MakeFolder();
    TOutboxMessage moved = message;
    moved.Id = other.NewId();
    moved.WavePath = other.FFolder + "/" + moved.Id + ".wav";
    moved.MetaPath = other.FFolder + "/" + moved.Id + ".msg";
    if (!message.NotePath.empty())
        moved.NotePath = other.FFolder + "/" + moved.Id + ".txt";
    other.WriteMeta(moved.MetaPath + ".tmp", moved);
    Rename(message.WavePath, moved.WavePath);
    if (!message.NotePath.empty())
        Rename(message.NotePath, moved.NotePath);
    Rename(moved.MetaPath + ".tmp", moved.MetaPath);
    SyncFolder(other.FFolder);
    unlink(message.MetaPath.c_str());
    SyncFolder(FFolder);
    return moved;
}

std::string OutboxFolderPath(const std::string& setting, const std::string& boxFolder) {
    return !setting.empty() && setting.front() == '/' ? setting : boxFolder + "/" + setting;
}
