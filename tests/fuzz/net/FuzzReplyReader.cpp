// Reply reading from arbitrary bytes: whatever a server sends, ReadReply either returns a reply
// or raises one of the network or conversion errors; it never crashes or grows without bound.
#include "net/IdException.h"
#include "net/IdTCPConnection.h"

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A socket pair holds far more than this without a reader.
    if (size > 100000)
        return 0;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fds[1], data + done, size - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fds[1]);
    {
        TIdTCPConnection conn;
        conn.Endpoint().AttachSocket(fds[0]);
        conn.ReadTimeout = 1000;
        conn.MaxLineLength = 512;
        conn.RecvBufferSize = 97; // odd size: lines and markers straddle receive calls
        for (int i = 0; i < 10000; ++i) {
            try {
                conn.ReadReply({220, 226});
            } catch (const EIdProtocolReplyError&) {
                // an unexpected code is a normal outcome
            } catch (const EIdException&) {
                break; // closed, too long, timed out
            }
            if (conn.ReplyLines().empty())
                __builtin_trap();
        }
    }
    return 0;
}
