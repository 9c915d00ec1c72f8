#include "net/IdTCPClient.h"

#include "net/IdException.h"

TIdTCPClient::TIdTCPClient(TComponent* owner) : TIdTCPConnection(owner) {}

void TIdTCPClient::OpenConnection() {
    if (Endpoint().SocketOpen)
        throw EIdAlreadyConnected();
    ResetState();
    Endpoint().OpenSocket(Id_SOCK_STREAM, 0);
    try {
        Endpoint().IP = BoundIP;
        Endpoint().BindLocal();
        if (SocksInfo.Version != svNoSocks)
            throw EIdSocksVersionNotSupported();
        if (!TIdStack::IsDottedQuad(Host))
            ReportStatus(stResolving, Host);
        Endpoint().SetRemote(SocketLayer->HostToAddress(Host), Port);
        if (!UseNagle) {
            const int32_t on = 1;
            Endpoint().SetOption(6, 1, &on, 4);
        }
        ApplySendTimeout();
        ReportStatus(stConnecting, Endpoint().RemoteIP);
        SocketLayer->CheckSocketResult(Endpoint().ConnectToRemote(Id_PF_INET, EffectiveTimeout()));
    } catch (...) {
        try {
            CloseConnection();
        } catch (const Exception&) {
            // The first failure is the one the caller needs to see.
        }
        throw;
    }
    ReportStatus(stConnected, Endpoint().RemoteIP);
    if (OnConnected)
        OnConnected(this);
}
