// A connection that opens itself to a host and port.
#pragma once

#include "net/IdSocksInfo.h"
#include "net/IdTCPConnection.h"

#include <string>

class TIdTCPClient : public TIdTCPConnection {
public:
    explicit TIdTCPClient(TComponent* owner = nullptr);

    std::string BoundIP;
    std::string Host;
    int32_t Port = 0;
    bool UseNagle = true;
    TSocksInfo SocksInfo;
    TIdNotifyEvent OnConnected;

    // EIdAlreadyConnected when open; on any failure the socket is closed and the client can
    // try again. The connect waits at most EffectiveTimeout() ms.
    virtual void OpenConnection();
};
