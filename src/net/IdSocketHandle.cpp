#include "net/IdSocketHandle.h"

#include "net/IdException.h"

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

void TIdSocketHandle::FinishTls(int32_t timeout) {
    if (!FTls || !SocketOpen)
        return;
    FTls->SendClose();
    FTls.reset();
    SocketLayer->SockShutdown(SocketId, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout, 0));
    char scratch[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{SocketId, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return;
        const ssize_t n = ::recv(SocketId, scratch, sizeof scratch, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return;
    }
}
