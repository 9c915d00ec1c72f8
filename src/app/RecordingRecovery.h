// A call's recording outlives a crash. While it is written, a small record beside it
// (RECORDING.wav.pending) says what the message is for; it goes once the message has been
// delivered or handed to the outbox. At the next start every recording that still has its
// record is one a crash cut short: its header is mended to the audio on disk and it is
// delivered like any other message. A recording of the work folder whose header does not match
// its size but that has no record (the operator's own) is mended and reported only.
#pragma once

#include <string>
#include <vector>

// What a call's recording is for, written when it starts.
struct TPendingRecord {
    std::string Mailbox;
    std::string RemoteName;
    int AccountIndex = 0;
    std::string Note; // FormatMessageNote's text
};

// "RECORDING.pending" beside the recording.
std::string PendingRecordName(const std::string& recording);

// Writes the record durably: a temporary file flushed to the disk, renamed, the folder flushed.
// Raises Exception naming the file and the system's reason; nothing is left behind then.
void WritePendingRecord(const std::string& recording, const TPendingRecord& record);
// The record goes (the message is on its way); no record is no error.
void RemovePendingRecord(const std::string& recording);
// Reads a record back; raises Exception naming the file when it is not one.
TPendingRecord ReadPendingRecord(const std::string& recording);

struct TRecoveredRecording {
    std::string Path;
    double Seconds = 0;
    bool HasRecord = false; // a call's message: to be delivered
    TPendingRecord Record;  // with HasRecord; its note says "ended=interrupted"
    std::string Error;      // not mended: why (the file is left as it was)
};

// The recordings of folder a crash left behind, mended, oldest name first.
std::vector<TRecoveredRecording> RecoverRecordings(const std::string& folder);
