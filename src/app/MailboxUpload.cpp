#include "app/MailboxUpload.h"

#include "net/IdException.h"

#include <algorithm>

int UploadAccountIndex(int mailbox) {
    if (mailbox <= 9999)
        return 0;
    if (mailbox >= 50000)
        return 5;
    return mailbox / 10000;
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
