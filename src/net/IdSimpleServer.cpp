#include "net/IdSimpleServer.h"

TIdSimpleServer::TIdSimpleServer(TComponent* owner) : TIdTCPConnection(owner) {}

TIdSimpleServer::~TIdSimpleServer() {
    // While listening, the endpoint holds the listening socket; after the accept it is closed.
    if (FListenSocket != Id_INVALID_SOCKET && FListenSocket != Endpoint().SocketId)
        SocketLayer->SockClose(FListenSocket);
}

void TIdSimpleServer::ResetState() {
    TIdTCPConnection::ResetState();
    FCancelled = false;
    FListening = false;
}

void TIdSimpleServer::CancelWait() {
    FCancelled = true;
}

void TIdSimpleServer::StartListen() {
    ResetState();
    if (FListenSocket == Id_INVALID_SOCKET)
        BindListener();
    Endpoint().StartListening(1);
    FListening = true;
}

void TIdSimpleServer::BindListener() {
    try {
        Endpoint().OpenSocket(Id_SOCK_STREAM, 0);
        FListenSocket = Endpoint().SocketId;
        Endpoint().IP = BoundIP;
        Endpoint().Port = BoundPort;
        Endpoint().BindLocal();
    } catch (...) {
        FListenSocket = Id_INVALID_SOCKET;
        throw;
    }
}

bool TIdSimpleServer::AwaitConnection() {
    if (!FListening)
        StartListen();
    const int32_t wait = AcceptWait > 0 ? AcceptWait : EffectiveTimeout();
    const bool pending = !FCancelled && Endpoint().WaitReadable(wait);
    // The listening socket is handed over to no one: close it whatever the outcome, and keep
    // the endpoint's local address for the accepted connection.
    const TIdStackSocketHandle listenSocket = FListenSocket;
    Endpoint().ClearBinding(false);
    if (pending) {
        try {
            Endpoint().TakeAccepted(listenSocket);
            ApplySendTimeout();
        } catch (...) {
            SocketLayer->SockClose(listenSocket);
            FListenSocket = Id_INVALID_SOCKET;
            throw;
        }
    }
    SocketLayer->SockClose(listenSocket);
    FListenSocket = Id_INVALID_SOCKET;
    return pending;
}
