// One socket with the local and remote address it is bound and connected to.
#pragma once

#include "net/IdStack.h"

#include <cstdint>
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
};
