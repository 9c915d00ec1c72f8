// The one place that sets the FTP client up for an upload from lumisk.conf.
#pragma once

#include "app/LumiskConf.h"
#include "net/IdFTP.h"

// Host, port, passive mode, time-out, the account for accountIndex (0..5, see
// UploadAccountIndex) and the password, and the TLS and passive-address settings.
void ConfigureUploadClient(TIdFTP& ftp, const TLumiskConf& conf, int accountIndex);
