// Whether the mailbox a caller keyed exists, asked of the upload server while the caller is still
// on the line: a wrong number can then be keyed again instead of the message landing in someone
// else's mailbox, or nowhere. Each check runs on a thread of its own with its own FTP client (log
// in on the number's account, CWD into the folder the number names, quit), so the call goes on
// while the server answers; the answer is handed to the main thread.
#pragma once

#include "app/LumiskConf.h"

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

class TIdFTP;

enum class TMailboxAnswer {
    Pending, // no answer yet
    Exists,  // the folder is there
    Missing, // the server says there is no such folder
    Unknown  // the server could not be asked (see the reason): the number is taken unchecked
};

// One check with the given client; never throws. Each of the client's waits is bounded by
// waitMilliseconds: a later answer is of no use to the caller.
TMailboxAnswer CheckMailboxFolder(TIdFTP& ftp, const TLumiskConf& conf, const std::string& mailbox,
                                  int waitMilliseconds, std::string& reason);

class TMailboxCheck {
public:
    // onAnswered runs on the main thread when the latest check has answered.
    TMailboxCheck(const TLumiskConf& conf, std::function<void()> onAnswered);
    // Waits for the checks under way; each of their waits is bounded by [call] check_wait.
    ~TMailboxCheck();
    TMailboxCheck(const TMailboxCheck&) = delete;
    TMailboxCheck& operator=(const TMailboxCheck&) = delete;

    // A new check for mailbox; the answer of any earlier one is no longer wanted. A number that
    // is not a number is answered at once (Unknown).
    void Start(const std::string& mailbox);
    // The latest check's answer; reason: why it is Unknown.
    TMailboxAnswer Answer(std::string& reason) const;
    // The call has moved on: a late answer is dropped.
    void Forget();

private:
    struct TRun;
    void Reap();
    void Answered(unsigned serial, TMailboxAnswer answer, const std::string& reason);

    const TLumiskConf FConf;
    std::function<void()> FOnAnswered;
    mutable std::mutex FLock;
    unsigned FSerial = 0;
    TMailboxAnswer FAnswer = TMailboxAnswer::Unknown;
    std::string FReason = "no check";
    std::list<std::unique_ptr<TRun>> FRuns;
};
