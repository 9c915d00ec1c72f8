// Where a recording goes on the upload server, and the one attempt to put it there: the account
// by the mailbox number's range, the remote name inside the account's starting folder, and what
// an attempt's outcome means. The call's own upload, the outbox's deliveries and the self-check
// all decide with these.
#pragma once

#include "app/LumiskConf.h"

#include <exception>
#include <string>

class TIdFTP;

// The upload accounts by mailbox range: account i takes the numbers from i * 10000 to
// i * 10000 + 9999, the first everything below and the last everything above.
inline constexpr int UploadAccountCount = 6;
inline constexpr int MailboxesPerAccount = 10000;

// 0 for mailbox numbers 9999 or less, 1 for 10000-19999, ... 4 for 40000-49999, 5 for 50000
// or more: the index into the six upload accounts.
int UploadAccountIndex(int mailbox);
// The mailbox numbers of an account, as the operator reads them ("10000-19999").
std::string AccountMailboxes(int accountIndex);
// The account of a mailbox number as keyed; false when the keys are not a number (then reason
// is "'%s' is not a valid integer value").
bool MailboxAccount(const std::string& mailbox, int& accountIndex, std::string& reason);

// The mailbox number as keyed (it names the folder), "/", the call's time stamp and ".wav".
// Every "/" and "\" inside the time stamp becomes "-": a short date such as 12/09/26 must not
// name folders that do not exist on the server. A stamp without them (08.12.2026_14:05:09) is
// kept as it is, so mailboxes keep the names they have.
std::string RemoteFileName(const std::string& mailbox, const std::string& callStamp);

// The server says the mailbox's folder is not there (550 or 553 to the store): the caller hears
// so, and no retry can help.
bool FolderMissing(const std::exception& error);

enum class TUploadResult {
    Stored,         // the server's completion reply came
    MailboxMissing, // no such folder on the server: no retry can help
    NoRecording,    // the local file is not there: nothing to keep
    Failed          // anything else (server, network, log-in): worth another try
};

struct TUploadOutcome {
    TUploadResult Result = TUploadResult::Failed;
    std::string Reason;       // the error in one line; empty when stored
    std::exception_ptr Error; // the error itself, for the operator's display
    std::string Account;      // "user@host" it went to
    bool WaveStored = false;  // the recording is on the server (its note may still be due)
};

// One delivery attempt: log in on the account, store localFile as remoteName (unless
// waveStored: an earlier attempt did), then the note beside it (noteFile, when given, as the
// remote name with ".txt"): after the recording, so whoever sees the note knows the recording is
// whole. Say goodbye. Never throws; once stored, a failing goodbye changes nothing.
TUploadOutcome UploadMessage(TIdFTP& ftp, const TLumiskConf& conf, int accountIndex,
                             const std::string& localFile, const std::string& remoteName,
                             const std::string& noteFile = {}, bool waveStored = false);
