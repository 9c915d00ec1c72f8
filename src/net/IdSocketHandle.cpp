#include "net/IdSocketHandle.h"

#include "net/IdException.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

TIdSocketHandle::TIdSocketHandle() = default;

TIdSocketHandle::~TIdSocketHandle() {
    ReleaseSocket(true);
}

void TIdSocketHandle::OpenSocket(int type, int protocol) {
    ReleaseSocket(true);
    SocketId = SocketLayer->NewSocket(type, protocol);
    SocketOpen = true;
}

void TIdSocketHandle::AttachSocket(TIdStackSocketHandle socket) {
    ReleaseSocket(true);
    SocketId = socket;
    SocketOpen = true;
}

void TIdSocketHandle::ReleaseSocket(bool resetLocal) {
    if (!SocketOpen)
        return;
    SocketOpen = false;
    if (FTls) {
        FTls->SendClose();
        FTls.reset();
    }
    SocketLayer->SockShutdown(SocketId, SHUT_WR);
    SocketLayer->SockClose(SocketId);
    ClearBinding(resetLocal);
}

void TIdSocketHandle::ClearBinding(bool resetLocal) {
    SocketOpen = false;
    SocketId = Id_INVALID_SOCKET;
    if (resetLocal) {
        IP.clear();
        Port = 0;
    }
    RemoteIP.clear();
    RemotePort = 0;
}

void TIdSocketHandle::BindLocal() {
    if (SocketLayer->CheckSocketResult(SocketLayer->SockBind(SocketId, Id_PF_INET, IP, Port),
                                       {Id_WSAEADDRINUSE}))
        throw EIdCouldNotBindSocket();
    RefreshLocal();
}

int TIdSocketHandle::ConnectToRemote(int family, int32_t timeout) {
    const int result = SocketLayer->SockConnect(SocketId, family, RemoteIP, RemotePort, timeout);
    if (result != Id_SOCKET_ERROR) {
        RefreshLocal();
        RefreshRemote();
    }
    return result;
}

void TIdSocketHandle::StartListening(int backlog) {
    SocketLayer->CheckSocketResult(SocketLayer->SockListen(SocketId, backlog));
}

void TIdSocketHandle::TakeAccepted(TIdStackSocketHandle listenSocket) {
    std::string ip;
    int port = 0;
    const TIdStackSocketHandle s = SocketLayer->SockAccept(listenSocket, ip, port);
    SocketLayer->CheckSocketResult(s);
    SocketId = s;
    SocketOpen = true;
    RefreshLocal();
    RefreshRemote();
}

bool TIdSocketHandle::WaitReadable(int32_t timeout) {
    if (!SocketOpen)
        throw EIdConnClosedGracefully();
    TIdSocketList readList{SocketId};
    return SocketLayer->SockSelect(&readList, nullptr, nullptr, timeout) == 1;
}

int TIdSocketHandle::SendBytes(const void* buffer, int length) {
    return SocketLayer->SockSend(SocketId, buffer, length, 0);
}

int TIdSocketHandle::ReceiveBytes(void* buffer, int length) {
    return SocketLayer->SockRecv(SocketId, buffer, length, 0);
}

void TIdSocketHandle::SetRemote(const std::string& ip, int32_t port) {
    RemoteIP = ip;
    RemotePort = port;
}

void TIdSocketHandle::RefreshLocal() {
    int port = 0;
    SocketLayer->SockLocalName(SocketId, IP, port);
    Port = port;
}

void TIdSocketHandle::RefreshRemote() {
    int port = 0;
    SocketLayer->SockPeerName(SocketId, RemoteIP, port);
    RemotePort = port;
}

void TIdSocketHandle::SetOption(int level, int name, const void* value, int length) {
    SocketLayer->CheckSocketResult(SocketLayer->SockSetOption(SocketId, level, name, value, length));
}

void TIdSocketHandle::SetSendTimeout(int32_t timeout) {
    timeval tv{};
    if (timeout > 0) {
        tv.tv_sec = timeout / 1000;
        tv.tv_usec = (timeout % 1000) * 1000;
    }
    SetOption(SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void TIdSocketHandle::StartTls(TIdTlsContext& context, const std::string& serverName, SSL_SESSION* resume,
                               int32_t timeout) {
    FTls.reset();
    auto tls = std::make_unique<TIdTlsSession>(context, SocketId);
    tls->Connect(serverName, resume, timeout);
    FTls = std::move(tls);
}

void TIdSocketHandle::FinishSending(int32_t idleTimeout, TIdStackSocketHandle replySocket,
                                    bool replyBuffered) {
    if (!SocketOpen)
        return;
    // Under TLS our close_notify follows the data, and a server that closes without reading it
    // resets the connection although it has every byte of the file.
    const bool closeNotifySent = FTls != nullptr;
    if (FTls) {
        FTls->SendClose();
        FTls.reset();
    }
    SocketLayer->SockShutdown(SocketId, SHUT_WR);
    using TClock = std::chrono::steady_clock;
    // The peer's acknowledgements raise no event of their own: look again at this pace.
    constexpr int64_t SampleMs = 50;
    const auto idle = std::chrono::milliseconds(std::max(idleTimeout, 0));
    auto deadline = TClock::now() + idle;
    // -1 (the system cannot say) counts as nothing outstanding.
    int64_t outstanding = SocketLayer->SockUnackedBytes(SocketId);
    bool peerEnded = false;
    bool replyWaiting = replyBuffered;
    char scratch[4096];
    for (;;) {
        pollfd p[2] = {{peerEnded ? -1 : SocketId, POLLIN, 0}, {replyWaiting ? -1 : replySocket, POLLIN, 0}};
        const int64_t left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
        if (::poll(p, 2, static_cast<int>(std::clamp<int64_t>(left, 0, SampleMs))) < 0 && errno != EINTR)
            SocketLayer->RaiseSocketFailure(WinsockErrorFromErrno(errno));
        if (p[1].revents != 0)
            replyWaiting = true;
        // Also after the peer's end: a reset may follow it when our bytes reach a closed socket.
        const ssize_t n = ::recv(SocketId, scratch, sizeof scratch, MSG_DONTWAIT);
        const int error = n < 0 ? errno : 0;
        const int64_t now = SocketLayer->SockUnackedBytes(SocketId);
        if (now < outstanding) {
            outstanding = now;
            deadline = TClock::now() + idle;
        }
        if (n == 0) {
            peerEnded = true;
        } else if (n < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
            if (closeNotifySent && outstanding <= 0)
                return;
            SocketLayer->RaiseSocketFailure(WinsockErrorFromErrno(error));
        }
        if (outstanding <= 0 && (peerEnded || replyWaiting))
            return;
        if (TClock::now() >= deadline)
            SocketLayer->RaiseSocketFailure(Id_WSAETIMEDOUT);
    }
}
