// Where a recording goes on the upload server: the account by the mailbox number's range, and
// the remote name inside the account's starting folder.
#pragma once

#include <exception>
#include <string>

// 0 for mailbox numbers 9999 or less, 1 for 10000-19999, ... 4 for 40000-49999, 5 for 50000
// or more: the index into the six upload accounts.
int UploadAccountIndex(int mailbox);

// The mailbox number as keyed (it names the folder), "/", the call's time stamp and ".wav".
// Every "/" and "\" inside the time stamp becomes "-": a short date such as 12/09/26 must not
// name folders that do not exist on the server. A stamp without them (08.12.2026_14:05:09) is
// kept as it is, so mailboxes keep the names they have.
std::string RemoteFileName(const std::string& mailbox, const std::string& callStamp);

// The server says the mailbox's folder is not there (550 or 553 to the store): the caller hears
// so, and no retry can help.
bool FolderMissing(const std::exception& error);
