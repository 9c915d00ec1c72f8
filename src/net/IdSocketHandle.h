// One socket with the local and remote address it is bound and connected to.
#pragma once

#include "net/IdStack.h"
#include "net/IdTlsSession.h"

#include <cstdint>
#include <memory>
#include <string>

class TIdSocketHandle {
public:
    TIdSocketHandle();
    virtual ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    TIdStackSocketHandle SocketId = Id_INVALID_SOCKET;
    bool SocketOpen = false;
    std::string IP;
    std::string RemoteIP;
    int32_t Port = 0;
    int32_t RemotePort = 0;

    void OpenSocket(int type, int protocol);
    // Takes over a socket made elsewhere (a socket pair in tests, an inherited descriptor).
    void AttachSocket(TIdStackSocketHandle socket);
    // Disables sends (the peer sees the end of the data), then closes.
    virtual void ReleaseSocket(bool resetLocal = true);
    void ClearBinding(bool resetLocal);
    void BindLocal();
    virtual int ConnectToRemote(int family, int32_t timeout = WaitForever);
    void StartListening(int backlog);
    void TakeAccepted(TIdStackSocketHandle listenSocket);
    // True when data (or the peer's end) is waiting; EIdConnClosedGracefully when closed.
    bool WaitReadable(int32_t timeout);
    int SendBytes(const void* buffer, int length);
    int ReceiveBytes(void* buffer, int length);
    void SetRemote(const std::string& ip, int32_t port);
    void RefreshLocal();
    void RefreshRemote();
    void SetOption(int level, int name, const void* value, int length);
    // Bounds every later send to timeout ms (WaitForever or below 1: no bound).
    void SetSendTimeout(int32_t timeout);

    // TLS on the connected socket: every later read and write of the connection goes through
    // it. See TIdTlsSession::Connect.
    void StartTls(TIdTlsContext& context, const std::string& serverName, SSL_SESSION* resume,
                  int32_t timeout);
    TIdTlsSession* Tls() const { return FTls.get(); }
    // The end of an upload: close_notify when protected, the end of our sending, then a wait
    // until the peer has acknowledged every byte and either closed its side or the reply socket
    // (the control connection; Id_INVALID_SOCKET for none) has something to read, or
    // replyBuffered says a reply is already in hand. The wait counts from the peer's last
    // progress (fewer bytes outstanding), so a slow but working server never runs out of time;
    // idleTimeout ms without progress fail with 10060. A reset by the peer fails with 10054
    // (10058 for a broken pipe) whatever the server replies later: bytes it had not read are
    // gone (under TLS, a reset after every byte was acknowledged is taken as the end: it may
    // only mean our close_notify went unread; the stored size still tells). What the peer sends meanwhile is
    // read and dropped, since closing with unread bytes would reset the connection ourselves.
    void FinishSending(int32_t idleTimeout, TIdStackSocketHandle replySocket = Id_INVALID_SOCKET,
                       bool replyBuffered = false);

private:
    std::unique_ptr<TIdTlsSession> FTls;
};
