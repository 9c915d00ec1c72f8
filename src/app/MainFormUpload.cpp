// The end of a call: stop the recording, store it in the caller's mailbox, say goodbye, hang up.
#include "app/MailboxUpload.h"
#include "app/MainForm.h"
#include "app/UploadClient.h"
#include "toolkit/StringUtils.h"

#include <QLineEdit>

void TMainForm::Timer2Timer() {
    Timer2.SetEnabled(false);
    StopButtonClick();
    try {
        ConfigureUploadClient(*ftp, FConf, UploadAccountIndex(StrToInt(MailboxNumber)));
        ftp->OpenSession(true);
        const std::string remote = RemoteFileName(MailboxNumber, CallStamp);
        try {
            ftp->StoreFile(FileNameEdit->text().toLocal8Bit().toStdString(), remote, false);
            ReportEvent("upload done " + remote + " as " + ftp->User + "@" + ftp->Host);
        } catch (const std::exception& e) {
            // Only the store is guarded: the caller hears that the mailbox was not found and the
            // call ends as usual.
            ReportEvent(std::string("upload failed ") + e.what());
            PlayPrompt("notfound.wav");
        }
        ftp->SendQuit();
        ftp->CloseConnection();
    } catch (const std::exception& e) {
        // Shown by the standard error display; the line stays off hook for the operator.
        ReportEvent(std::string("upload failed ") + e.what());
        throw;
    }
    PlayPrompt("thank.wav");
    RxText.clear();
    SendLine(Edit4->text().toLocal8Bit().toStdString());
    ReportEvent("hangup");
}
