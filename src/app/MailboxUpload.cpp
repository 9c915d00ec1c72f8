#include "app/MailboxUpload.h"

#include "app/MessageNote.h"
#include "app/UploadClient.h"
#include "net/IdException.h"
#include "net/IdFTP.h"
#include "toolkit/Exception.h"
#include "toolkit/StringUtils.h"

#include <algorithm>

int UploadAccountIndex(int mailbox) {
    return std::clamp(mailbox / MailboxesPerAccount, 0, UploadAccountCount - 1);
}

std::string AccountMailboxes(int accountIndex) {
    const int first = accountIndex * MailboxesPerAccount, last = first + MailboxesPerAccount - 1;
    if (accountIndex == 0)
        return IntToStr(last) + " or less";
    if (accountIndex == UploadAccountCount - 1)
        return IntToStr(first) + " or more";
    return IntToStr(first) + "-" + IntToStr(last);
}

bool MailboxAccount(const std::string& mailbox, int& accountIndex, std::string& reason) {
    int number = 0;
    if (!TryStrToInt(mailbox, number)) {
        reason = Format("'%s' is not a valid integer value", mailbox.c_str());
        return false;
    }
    accountIndex = UploadAccountIndex(number);
    return true;
}

std::string RemoteFileName(const std::string& mailbox, const std::string& callStamp) {
    std::string stamp = callStamp;
    std::replace(stamp.begin(), stamp.end(), '/', '-');
    std::replace(stamp.begin(), stamp.end(), '\\', '-');
    return mailbox + "/" + stamp + ".wav";
}

bool FolderMissing(const std::exception& error) {
    const auto* reply = dynamic_cast<const EIdProtocolReplyError*>(&error);
    return reply && (reply->ErrorReplyCode == 550 || reply->ErrorReplyCode == 553);
}

TUploadOutcome UploadMessage(TIdFTP& ftp, const TLumiskConf& conf, int accountIndex,
                             const std::string& localFile, const std::string& remoteName,
                             const std::string& noteFile, bool waveStored) {
    TUploadOutcome outcome;
    outcome.WaveStored = waveStored;
    try {
        ConfigureUploadClient(ftp, conf, accountIndex);
        outcome.Account = ftp.User + "@" + ftp.Host;
        ftp.OpenSession(true);
        if (!outcome.WaveStored) {
            ftp.StoreFile(localFile, remoteName, false);
            outcome.WaveStored = true;
        }
        if (!noteFile.empty())
            ftp.StoreFile(noteFile, NoteFileName(remoteName), false);
    } catch (const std::exception& e) {
        outcome.Reason = OneLine(e.what());
        outcome.Error = std::current_exception();
        if (dynamic_cast<const EFOpenError*>(&e) && !outcome.WaveStored)
            outcome.Result = TUploadResult::NoRecording;
        else if (FolderMissing(e))
            outcome.Result = TUploadResult::MailboxMissing;
        else
            outcome.Result = TUploadResult::Failed;
        try {
            ftp.CloseConnection();
        } catch (const std::exception&) {
            // The failure above is the one that counts; a broken connection may fail to close too.
        }
        return outcome;
    }
    outcome.Result = TUploadResult::Stored;
    try {
        ftp.SendQuit();
        ftp.CloseConnection();
    } catch (const std::exception&) {
        // Stored: the completion reply came, and the end of the dialogue no longer matters.
    }
    return outcome;
}
