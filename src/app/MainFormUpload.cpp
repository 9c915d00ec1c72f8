// The end of a call: stop the recording, store it in the caller's mailbox, say goodbye, hang up.
// Whatever goes wrong with the server, the call ends as a call ends and the message is kept in
// the outbox for a later try; the operator is shown the error once the line is on hook.
#include "app/MailboxUpload.h"
#include "app/MainForm.h"
#include "app/UploadClient.h"
#include "net/IdException.h"
#include "toolkit/Exception.h"
#include "toolkit/ExceptionReporter.h"
#include "toolkit/StringUtils.h"
#include "toolkit/Thread.h"

#include <QLineEdit>

std::string TMainForm::OutboxFolder() const {
    return OutboxFolderPath(FConf.UploadOutbox, FExeFolder);
}

void TMainForm::StartOutbox() {
    Outbox = std::make_unique<TOutbox>(OutboxFolder());
    Undeliverable = std::make_unique<TOutbox>(OutboxFolder() + "/undeliverable");
    // Both threads report through the main thread, where every event line is written.
    auto post = [this](const std::string& event) {
        TThread::Queue([this, event] { ReportEvent(event); }, this);
    };
    DeliveredCommand =
        std::make_unique<TDeliveredCommand>(FConf.UploadOnDelivered, DeliveredCommandTimeout, post);
    OutboxDelivery = std::make_unique<TOutboxDelivery>(
        *Outbox, *Undeliverable, FConf, post, [this](const TOutboxMessage& message) {
            DeliveredCommand->Run(message.Mailbox, message.RemoteName, message.OriginalFile);
        });
}

void TMainForm::StopOutbox() {
    OutboxDelivery.reset();
    DeliveredCommand.reset();
    TThread::RemoveQueuedEvents(this);
}

void TMainForm::QueueMessage(const std::string& localFile, int accountIndex, const std::string& remote,
                             const std::string& reason, bool tried) {
    try {
        Outbox->Add(localFile, MailboxNumber, remote, accountIndex, tried ? 1 : 0, reason);
        ReportEvent("queued " + remote + " (" + reason + ")");
        if (tried)
            OutboxDelivery->Queued();
        else
            OutboxDelivery->DeliverNow();
    } catch (const std::exception& e) {
        // Nothing left to keep, or no room to keep it: the recording itself stays where it is.
        ReportEvent(std::string("not queued ") + remote + " (" + OneLine(e.what()) + ")");
        // Shown once the call's handler is over, never in the middle of the call.
        const std::string text = e.what();
        TThread::Queue([text] { ShowMessageText(text); }, this);
    }
}

void TMainForm::PutUndeliverable(const std::string& localFile, int accountIndex, const std::string& remote,
                                 const std::string& reason) {
    try {
        Undeliverable->Add(localFile, MailboxNumber, remote, accountIndex, 1, reason);
        ReportEvent("undeliverable " + remote + " (" + reason + ")");
    } catch (const std::exception& e) {
        ReportEvent(std::string("not kept ") + remote + " (" + OneLine(e.what()) + ")");
    }
}

void TMainForm::PrepareForCall() {
    if (OutboxDelivery)
        OutboxDelivery->CallStarted();
    // Only a call's recording (its time limit runs); the operator's own recording goes on.
    if (!Recording() || !Timer2.Enabled())
        return;
    // A new call while a message is being recorded: its caller has gone. The message is
    // completed and sent on its way by the outbox while this call is answered.
    Timer2.SetEnabled(false);
    StopButtonClick();
    const std::string local = FileNameEdit->text().toLocal8Bit().toStdString();
    const std::string remote = RemoteFileName(MailboxNumber, CallStamp);
    int account = 0;
    if (!TryStrToInt(MailboxNumber, account)) {
        PutUndeliverable(local, 0, remote,
                         Format("'%s' is not a valid integer value", MailboxNumber.c_str()));
        return;
    }
    QueueMessage(local, UploadAccountIndex(account), remote, "ring during the recording", false);
}

void TMainForm::Timer2Timer() {
    Timer2.SetEnabled(false);
    StopButtonClick();
    const std::string local = FileNameEdit->text().toLocal8Bit().toStdString();
    const std::string remote = RemoteFileName(MailboxNumber, CallStamp);
    bool notFound = false;
    std::exception_ptr shown; // for the operator, once the line is on hook
    int account = -1;
    bool stored = false;
    try {
        account = UploadAccountIndex(StrToInt(MailboxNumber));
        ConfigureUploadClient(*ftp, FConf, account);
        ftp->OpenSession(true);
        try {
            ftp->StoreFile(local, remote, false);
            stored = true;
            ReportEvent("upload done " + remote + " as " + ftp->User + "@" + ftp->Host);
            if (DeliveredCommand)
                DeliveredCommand->Run(MailboxNumber, remote, local);
        } catch (const EFOpenError& e) {
            // No recording to store (nothing was recorded under that name): nothing to keep.
            ReportEvent(std::string("upload failed ") + e.what());
            notFound = true;
        } catch (const std::exception& e) {
            ReportEvent(std::string("upload failed ") + e.what());
            if (FolderMissing(e)) {
                // The caller hears that the mailbox was not found, as always; the message is
                // kept aside for the operator.
                notFound = true;
                PutUndeliverable(local, account, remote, OneLine(e.what()));
            } else {
                QueueMessage(local, account, remote, OneLine(e.what()), true);
                shown = std::current_exception();
            }
        }
        ftp->SendQuit();
        ftp->CloseConnection();
    } catch (const std::exception& e) {
        // Name lookup, connect, greeting, log-in, or the end of the dialogue.
        if (!shown) {
            ReportEvent(std::string("upload failed ") + e.what());
            // Once stored, the server has the message: only the goodbye went wrong.
            if (!stored && account < 0)
                PutUndeliverable(local, 0, remote, OneLine(e.what()));
            else if (!stored)
                QueueMessage(local, account, remote, OneLine(e.what()), true);
            shown = std::current_exception();
        }
        try {
            ftp->CloseConnection();
        } catch (const std::exception&) {
            // The failure above is the one the operator is shown; a broken connection may fail
            // to close as well.
        }
    }
    if (OutboxDelivery)
        OutboxDelivery->CallEnded();
    if (notFound)
        PlayPrompt("notfound.wav");
    PlayPrompt("thank.wav");
    RxText.clear();
    SendLine(Edit4->text().toLocal8Bit().toStdString());
    ReportEvent("hangup");
    if (shown)
        std::rethrow_exception(shown);
}
