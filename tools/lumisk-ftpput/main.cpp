// lumisk-ftpput: stores one file with the box's own FTP client, so an operator can check the
// upload server, the account and the folder before the first call comes in.
#include "net/IdException.h"
#include "net/IdFTP.h"
#include "net/IdTlsSession.h"
#include "toolkit/StringUtils.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: lumisk-ftpput [-v] [--passive] [--pasv-reply-address] [--timeout S]\n"
                 "                     [--tls | --tls-try] [--cafile FILE] [--servername NAME]\n"
                 "                     HOST[:PORT] USER PASSWORD LOCALFILE REMOTENAME\n"
                 "  --tls       explicit TLS (AUTH TLS) or nothing; --tls-try: clear text only if the\n"
                 "              server refuses AUTH TLS; --cafile: trusted authorities (PEM, default:\n"
                 "              the system store); --servername: the certificate's name (default HOST)\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    bool verbose = false;
    bool passive = false;
    bool pasvReplyAddress = false;
    int timeoutSeconds = 60;
    TIdFTPTls tls = TIdFTPTls::Off;
    std::string caFile, serverName;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-v") {
            verbose = true;
        } else if (a == "--passive") {
            passive = true;
        } else if (a == "--pasv-reply-address") {
            pasvReplyAddress = true;
        } else if (a == "--tls") {
            tls = TIdFTPTls::Require;
        } else if (a == "--tls-try") {
            tls = TIdFTPTls::Try;
        } else if (a == "--cafile" && i + 1 < argc) {
            caFile = argv[++i];
        } else if (a == "--servername" && i + 1 < argc) {
            serverName = argv[++i];
        } else if (a == "--timeout" && i + 1 < argc) {
            if (!TryStrToInt(argv[++i], timeoutSeconds) || timeoutSeconds < 1 || timeoutSeconds > 2000000) {
                std::fprintf(stderr, "lumisk-ftpput: --timeout needs whole seconds from 1 to 2000000\n");
                return 2;
            }
        } else if (a == "-h" || a == "--help") {
            Usage();
            return 0;
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage();
        } else {
            args.push_back(a);
        }
    }
    if (args.size() != 5)
        return Usage();

    try {
        TIdFTP ftp;
        std::string host = args[0];
        // HOST[:PORT]; an address without a colon keeps port 21.
        const size_t colon = host.rfind(':');
        if (colon != std::string::npos) {
            ftp.Port = StrToInt(host.substr(colon + 1));
            host.resize(colon);
        }
        ftp.Host = host;
        ftp.User = args[1];
        ftp.Password = args[2];
        ftp.Passive = passive;
        ftp.PassiveUseReplyAddress = pasvReplyAddress;
        ftp.Tls = tls;
        ftp.TlsCaFile = caFile;
        ftp.TlsServerName = serverName;
        ftp.ReadTimeout = timeoutSeconds * 1000;
        if (verbose) {
            ftp.OnDialogue = [](TIdComponent*, bool outgoing, const std::string& line) {
                // Never show the password on a terminal someone may be watching.
                const std::string shown =
                    outgoing && line.compare(0, 5, "pass ") == 0 ? "pass ********" : line;
                std::fprintf(stderr, "%s %s\n", outgoing ? ">" : "<", shown.c_str());
            };
            ftp.OnStatus = [](TIdComponent*, TIdStatus, const std::string& text) {
                std::fprintf(stderr, "* %s\n", text.c_str());
            };
        }
        ftp.OpenSession(true);
        if (verbose && tls != TIdFTPTls::Off)
            std::fprintf(stderr, "* %s\n",
                         ftp.TlsActive() ? "TLS on control and data" : "TLS refused: clear text");
        try {
            ftp.StoreFile(args[3], args[4], false);
        } catch (...) {
            ftp.CloseConnection();
            throw;
        }
        ftp.SendQuit();
        ftp.CloseConnection();
    } catch (const Exception& e) {
        std::string text = e.Message();
        for (char& c : text)
            if (c == '\r' || c == '\n')
                c = ' ';
        std::fprintf(stderr, "lumisk-ftpput: %s\n", text.c_str());
        return 1;
    }
    return 0;
}
