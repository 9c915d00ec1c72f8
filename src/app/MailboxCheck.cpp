#include "app/MailboxCheck.h"

#include "app/MailboxUpload.h"
#include "app/UploadClient.h"
#include "net/IdFTP.h"
#include "toolkit/StringUtils.h"
#include "toolkit/Thread.h"

#include <atomic>
#include <thread>

TMailboxAnswer CheckMailboxFolder(TIdFTP& ftp, const TLumiskConf& conf, const std::string& mailbox,
                                  int waitMilliseconds, std::string& reason) {
    int account = 0;
    if (!MailboxAccount(mailbox, account, reason))
        return TMailboxAnswer::Unknown;
    TMailboxAnswer answer = TMailboxAnswer::Unknown;
    try {
        ConfigureUploadClient(ftp, conf, account);
        ftp.ReadTimeout = waitMilliseconds;
        ftp.OpenSession(true);
        answer = ftp.ChangeDirIfExists(mailbox) ? TMailboxAnswer::Exists : TMailboxAnswer::Missing;
        reason.clear();
    } catch (const std::exception& e) {
        reason = OneLine(e.what());
    }
    try {
        if (answer == TMailboxAnswer::Unknown)
            ftp.CloseConnection();
        else
            ftp.SendQuit();
    } catch (const std::exception&) {
        // The answer is in; how the dialogue ends does not change it.
    }
    return answer;
}

struct TMailboxCheck::TRun {
    std::thread Thread;
    std::atomic<bool> Done{false};
};

TMailboxCheck::TMailboxCheck(const TLumiskConf& conf, std::function<void()> onAnswered)
    : FConf(conf), FOnAnswered(std::move(onAnswered)) {}

TMailboxCheck::~TMailboxCheck() {
    Forget();
    for (auto& run : FRuns)
        run->Thread.join();
    TThread::RemoveQueuedEvents(this);
}

void TMailboxCheck::Reap() {
    for (auto it = FRuns.begin(); it != FRuns.end();) {
        if ((*it)->Done) {
            (*it)->Thread.join();
            it = FRuns.erase(it);
        } else {
            ++it;
        }
    }
}

void TMailboxCheck::Start(const std::string& mailbox) {
    Reap();
    unsigned serial = 0;
    {
        std::lock_guard<std::mutex> hold(FLock);
        serial = ++FSerial;
        FAnswer = TMailboxAnswer::Pending;
        FReason.clear();
    }
    int account = 0;
    std::string notANumber;
    if (!MailboxAccount(mailbox, account, notANumber)) {
        Answered(serial, TMailboxAnswer::Unknown, notANumber);
        return;
    }
    auto run = std::make_unique<TRun>();
    TRun* self = run.get();
    const int wait = FConf.CallCheckWait * 1000;
    run->Thread = std::thread([this, self, serial, mailbox, wait] {
        TIdFTP ftp;
        std::string reason;
        const TMailboxAnswer answer = CheckMailboxFolder(ftp, FConf, mailbox, wait, reason);
        Answered(serial, answer, reason);
        self->Done = true;
    });
    FRuns.push_back(std::move(run));
}

void TMailboxCheck::Answered(unsigned serial, TMailboxAnswer answer, const std::string& reason) {
    {
        std::lock_guard<std::mutex> hold(FLock);
        if (serial != FSerial)
            return;
        FAnswer = answer;
        FReason = reason;
    }
    TThread::Queue(
        [this] {
            if (FOnAnswered)
                FOnAnswered();
        },
        this);
}

TMailboxAnswer TMailboxCheck::Answer(std::string& reason) const {
    std::lock_guard<std::mutex> hold(FLock);
    reason = FReason;
    return FAnswer;
}

void TMailboxCheck::Forget() {
    std::lock_guard<std::mutex> hold(FLock);
    ++FSerial;
    FAnswer = TMailboxAnswer::Unknown;
    FReason = "no check";
}
