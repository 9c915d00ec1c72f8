// The outbox: recordings whose upload failed, kept on disk with what a later store needs, until
// the server has taken them. Each message is two or three files in the folder: ID.wav, a copy of
// the recording, ID.txt, the note that goes beside it, and ID.msg, a few "key=value" lines
// (mailbox, remote name, account index, the original recording's path, tries so far, whether the
// recording is stored already and only its note is due). All are written to temporary names,
// flushed to the disk and renamed, .wav first, .msg last; the folder is flushed after each change. A crash at
// any moment leaves either the old state or the new one: a message counts once its .msg exists, and a
// .msg.tmp whose .wav is in place is taken over at the next listing.
#pragma once

#include <mutex>
#include <string>
#include <vector>

struct TOutboxMessage {
    std::string Id;
    std::string Mailbox;
    std::string RemoteName;
    int AccountIndex = 0;
    std::string OriginalFile; // the recording as the call left it
    int Tries = 0;            // stores tried so far, the call's own included
    std::string Reason;       // why it is here (the last failure)
    std::string WavePath;     // the outbox's own copy
    std::string NotePath;     // the note's copy; empty when the message has none
    std::string MetaPath;
    bool WaveStored = false; // the server has the recording; only the note is due
};

class TOutbox {
public:
    explicit TOutbox(std::string folder);
    const std::string& Folder() const { return FFolder; }

    // Copies the recording into the folder (created when missing) and records it. Raises
    // Exception with the file and the system's reason when anything cannot be written; nothing
    // is left behind then.
    // note: the text stored beside the recording (empty: none).
    TOutboxMessage Add(const std::string& localFile, const std::string& mailbox,
                       const std::string& remoteName, int accountIndex, int tries, const std::string& reason,
                       const std::string& note = {});
    // The messages waiting, oldest first.
    std::vector<TOutboxMessage> Pending();
    // Records the tries and the reason of a message in place.
    void Update(const TOutboxMessage& message);
    // Drops a delivered message.
    void Remove(const TOutboxMessage& message);
    // Moves a message into another outbox (the undeliverable folder); returns its new record.
    TOutboxMessage MoveTo(TOutbox& other, const TOutboxMessage& message);

private:
    void MakeFolder();
    void WriteMeta(const std::string& path, const TOutboxMessage& message);
    bool ReadMeta(const std::string& path, TOutboxMessage& message);
    std::string NewId();

    std::string FFolder;
    std::mutex FLock; // the main thread adds while the delivery thread lists and removes
    int FCounter = 0;
};

// The outbox folder of a box: the [upload] outbox setting, relative to the box's own folder
// unless it is absolute.
std::string OutboxFolderPath(const std::string& setting, const std::string& boxFolder);
