// The log-in with TLS from arbitrary server bytes: greeting, the reply to AUTH TLS, then either
// a TLS handshake over whatever follows or the clear-text log-in after a refusal. Whatever the
// server sends, the client logs in or raises a network error; with Require it never sends the
// user name (let alone the password) in clear text. The first byte picks Try or Require.
#include "net/IdException.h"
#include "net/IdFTP.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The "server" is the far end of a socket pair, already holding everything it will say.
class TPairedFTP : public TIdFTP {
public:
    explicit TPairedFTP(int socket) : FSocket(socket) {}
    void OpenConnection() override { Endpoint().AttachSocket(FSocket); }

private:
    int FSocket;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 100000)
        return 0;
    const bool require = (data[0] & 1) != 0;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    size_t done = 1;
    while (done < size) {
        const ssize_t n = ::write(fds[1], data + done, size - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    // The client reads the end of the data after it, and may still write.
    ::shutdown(fds[1], SHUT_WR);
    bool protectedSession = false;
    {
        TPairedFTP ftp(fds[0]);
        ftp.User = "mbox1";
        ftp.Password = "secret";
        ftp.ReadTimeout = 1000;
        ftp.MaxLineLength = 512;
        ftp.RecvBufferSize = 97;
        ftp.Tls = require ? TIdFTPTls::Require : TIdFTPTls::Try;
        try {
            ftp.OpenSession(true);
            protectedSession = ftp.TlsActive();
            ftp.SendQuit();
        } catch (const EIdException&) {
            // refused, broken, closed, timed out: all normal outcomes
        }
    }
    std::string sent;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        sent.append(buffer, static_cast<size_t>(n));
    ::close(fds[1]);
    const bool clearLogIn = sent.find("\r\nuser mbox1\r\n") != std::string::npos;
    if (clearLogIn && (require || protectedSession))
        __builtin_trap();
    if (sent.find("secret") != std::string::npos && require)
        __builtin_trap();
    return 0;
}
