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
    // The end of a protected upload: close_notify and the end of our sending, then what the
    // peer still sends is read and dropped until it closes (at most timeout ms). Closing with
    // unread bytes (late session tickets) would reset the connection, and a reset may cost the
    // server the last data it has not yet read.
    void FinishTls(int32_t timeout);

private:
    std::unique_ptr<TIdTlsSession> FTls;
};
