// A listening endpoint that accepts exactly one incoming connection, which then becomes its own
// connection: the active-mode data connection of FTP.
#pragma once

#include "net/IdTCPConnection.h"

#include <string>

class TIdSimpleServer : public TIdTCPConnection {
public:
    explicit TIdSimpleServer(TComponent* owner = nullptr);
    ~TIdSimpleServer() override;

    bool Cancelled() const { return FCancelled; }
    bool Listening() const { return FListening; }
    TIdStackSocketHandle ListenSocket() const { return FListenSocket; }

    // How long AwaitConnection waits for the peer, in ms (below 1: EffectiveTimeout()).
    int32_t AcceptWait = 0;
    std::string BoundIP;
    int32_t BoundPort = 0;

    void ResetState() override;
    virtual void CancelWait();
    virtual void StartListen();
    virtual void BindListener();
    // Waits in the readiness call (not by polling) for the peer; true when it connected, false
    // when the wait ran out or was cancelled.
    virtual bool AwaitConnection();

private:
    bool FCancelled = false;
    TIdStackSocketHandle FListenSocket = Id_INVALID_SOCKET;
    bool FListening = false;
};
