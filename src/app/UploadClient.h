// The one place that sets an FTP client up for an upload: the call's own store and every
// delivery from the outbox use the same server settings.
#pragma once

#include "app/LumiskConf.h"
#include "net/IdFTP.h"

// Host, port, passive mode, time-out, the account for accountIndex (0..5, see
// UploadAccountIndex) and the password, and the TLS and passive-address settings.
void ConfigureUploadClient(TIdFTP& ftp, const TLumiskConf& conf, int accountIndex);
