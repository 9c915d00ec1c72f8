#include "app/UploadClient.h"

void ConfigureUploadClient(TIdFTP& ftp, const TLumiskConf& conf, int accountIndex) {
    ftp.Host = conf.UploadHost;
    ftp.Port = conf.UploadPort;
    ftp.Passive = conf.UploadPassive;
    ftp.ReadTimeout = conf.UploadTimeout * 1000;
    ftp.User = conf.UploadAccounts.at(static_cast<size_t>(accountIndex));
    ftp.Password = conf.UploadPassword;
    switch (conf.UploadTls) {
    case TUploadTls::Off:
        ftp.Tls = TIdFTPTls::Off;
        break;
    case TUploadTls::Try:
        ftp.Tls = TIdFTPTls::Try;
        break;
    case TUploadTls::Require:
        ftp.Tls = TIdFTPTls::Require;
        break;
    }
    ftp.TlsCaFile = conf.UploadCaFile;
    ftp.TlsServerName = conf.UploadServerName;
    ftp.PassiveUseReplyAddress = conf.UploadPasvFromReply;
}
