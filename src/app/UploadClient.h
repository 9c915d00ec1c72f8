// The one place that sets an FTP client up for an upload: the call's own store and every
// delivery from the outbox use the same server settings.
#pragma once

#include "app/LumiskConf.h"
#include "net/IdFTP.h"

// Host, port, passive mode, reply timeout, the user for the account index (0..5, see
// UploadAccountIndex) and the password.
void ConfigureUploadClient(TIdFTP& ftp, const TLumiskConf& conf, int accountIndex);
