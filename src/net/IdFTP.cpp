#include "net/IdFTP.h"

#include "net/IdException.h"
#include "net/IdSimpleServer.h"
#include "toolkit/StringUtils.h"

#include <cstdlib>

void ParsePassiveReply(const std::string& replyLine, std::string& host, int32_t& port) {
    const std::string line = Trim(replyLine);
    std::string fields;
    const size_t open = line.find('(');
    const size_t close = line.find(')');
    if (open != std::string::npos && close != std::string::npos) {
        // Only the text between them counts, whatever follows ")".
        fields = close > open ? line.substr(open + 1, close - open - 1) : std::string();
    } else {
        const int space = LastPosNoCase(" ", line, -1);
        fields = space > 0 ? line.substr(static_cast<size_t>(space)) : line;
    }
    host.clear();
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            host += ".";
        host += TakeToken(fields, ",", true);
    }
    const int64_t high = StrToInt(TakeToken(fields, ",", true));
    const int64_t low = StrToInt(TakeToken(fields, ",", true));
    const int64_t value = high * 256 + low;
    if (value < 0 || value > 65535)
        throw EIdInvalidPassivePort(value);
    port = static_cast<int32_t>(value);
}

std::string PortCommand(const std::string& ip, int32_t port) {
    std::string address = ip;
    for (char& c : address)
        if (c == '.')
            c = ',';
    return Format("PORT %s,%d,%d", address.c_str(), port / 256, port % 256);
}

TIdFTP::TIdFTP(TComponent* owner) : TIdTCPClient(owner) {
    Port = 21;
}

TIdFTP::~TIdFTP() = default;

void TIdFTP::SetTransferType(TIdFTPTransferType value) {
    if (value == FTransferType || FDataConnection)
        return;
    FTransferType = value;
    if (IsConnected())
        SendTypeCommand();
}

void TIdFTP::OpenSession(bool autoLogin) {
    try {
        FTlsActive = false;
        FDataProtected = false;
        OpenConnection();
        ReadReply({220});
        if (Tls != TIdFTPTls::Off)
            StartControlTls();
        if (autoLogin) {
            if (SendCommand("user " + User, {230, 331}) == 331)
                SendCommand("pass " + Password, 230);
            if (FTlsActive) {
                SendCommand("PBSZ 0", 200);
                if (SendCommand("PROT P", TIdReplyCodes{}) != 200)
                    throw EIdTlsError("TLS: the server refused to protect the data connection: " +
                                      LastReplyLine());
                FDataProtected = true;
            }
            SendTypeCommand();
            if (SendCommand("syst", {200, 215, 500}) == 500)
                FSystemDescription = "Unknown";
            else
                FSystemDescription = LastReplyLine().size() > 3 ? LastReplyLine().substr(3) : std::string();
        }
    } catch (...) {
        CloseConnection();
        throw;
    }
}

void TIdFTP::StartControlTls() {
    const int code = SendCommand("AUTH TLS", TIdReplyCodes{});
    if (code != 234) {
        // Only a server that says it cannot (5xx) gets the clear-text log-in under Try.
        if (Tls == TIdFTPTls::Try && code >= 500 && code <= 599)
            return;
        throw EIdTlsError("TLS: the server refused AUTH TLS: " + LastReplyLine());
    }
    // Bytes that came with the 234 were not protected and could pose as replies to the log-in.
    if (InputBuffer().Size() > 0)
        throw EIdTlsError("TLS: the server sent more after accepting AUTH TLS");
    if (!FTlsContext || FTlsContext->CaFile() != TlsCaFile)
        FTlsContext = std::make_unique<TIdTlsContext>(TlsCaFile);
    Endpoint().StartTls(*FTlsContext, TlsName(), nullptr, EffectiveTimeout());
    FTlsActive = true;
}

void TIdFTP::ProtectDataConnection(TIdTCPConnection& data) {
    FDataSessionResumed = false;
    // Without PROT P (a session opened without log-in) the server expects clear data.
    if (!FDataProtected)
        return;
    // The data connection resumes the control connection's session: the server knows that
    // way that the same client opened it.
    TIdTlsSession* control = Endpoint().Tls();
    data.Endpoint().StartTls(*FTlsContext, TlsName(), control ? control->ResumableSession() : nullptr,
                             EffectiveTimeout());
    FDataSessionResumed = data.Endpoint().Tls()->Resumed();
}

void TIdFTP::SendTypeCommand() {
    SendCommand(std::string("type ") + (FTransferType == ftBinary ? "I" : "A"), 200);
}

void TIdFTP::SendQuit() {
    if (IsConnected()) {
        WriteLine("Quit");
        CloseConnection();
    }
}

void TIdFTP::StoreFile(const std::string& localFile, const std::string& remoteName, bool append) {
    TFileStream file(localFile, fmOpenRead | fmShareDenyNone);
    StoreStream(file, remoteName, append);
}

void TIdFTP::StoreStream(TStream& stream, const std::string& remoteName, bool append) {
    if (remoteName.empty())
        TransferOut("STOU ", stream);
    else if (append)
        TransferOut("APPE " + remoteName, stream);
    else {
        const int64_t sent = TransferOut("STOR " + remoteName, stream);
        if (VerifyStoredSize && FTransferType == ftBinary)
            VerifyStoredFile(remoteName, sent);
    }
}

bool TIdFTP::ChangeDirIfExists(const std::string& folder) {
    // 250 is the usual answer, 200 what some old servers say.
    return SendCommand("CWD " + folder, {200, 250, 550}) != 550;
}

void TIdFTP::VerifyStoredFile(const std::string& remoteName, int64_t sent) {
    if (SendCommand("SIZE " + remoteName, TIdReplyCodes{}) != 213)
        return;
    // "213 57206"; a server may add words after the number.
    const std::string line = LastReplyLine();
    const size_t first = line.find_first_not_of(' ', 3);
    if (first == std::string::npos)
        return;
    char* end = nullptr;
    const long long stored = std::strtoll(line.c_str() + first, &end, 10);
    if (end == line.c_str() + first || stored < 0)
        return;
    if (stored != sent)
        throw EIdShortStore(stored, sent);
}

void TIdFTP::ShareWorkHandlers() {
    if (!FDataConnection)
        return;
    FDataConnection->OnWork = OnWork;
    FDataConnection->OnWorkBegin = OnWorkBegin;
    FDataConnection->OnWorkEnd = OnWorkEnd;
}

void TIdFTP::AnnouncePort(TIdSocketHandle& socketHandle) {
    SendCommand(PortCommand(socketHandle.IP, socketHandle.Port), 200);
}

void TIdFTP::RequestPassive(std::string& host, int32_t& port) {
    SendCommand("PASV", 227);
    ParsePassiveReply(LastReplyLine(), host, port);
}

int64_t TIdFTP::TransferOut(const std::string& command, TStream& stream) {
    int64_t sent = 0;
    TransferData(command, [&](TIdTCPConnection& data) {
        const int64_t start = Passive ? stream.Position() : 0;
        if (!Passive) {
            data.WriteStreamData(stream, true, false);
        } else {
            try {
                data.WriteStreamData(stream, false, false);
            } catch (const EIdSocketError& e) {
                // A data socket gone before the last byte leaves the server without the rest.
                if (e.SocketErrorCode != Id_WSAENOTSOCK || stream.Position() < stream.Size())
                    throw;
            }
        }
        sent = stream.Position() - start;
        data.Endpoint().FinishSending(data.EffectiveTimeout(), Endpoint().SocketId, InputBuffer().Size() > 0);
    });
    if (ReadReply({225, 226, 250, 426}) == 426)
        ReadReply({226});
    return sent;
}

void TIdFTP::TransferData(const std::string& command, const std::function<void(TIdTCPConnection&)>& work) {
    if (Passive)
        TransferPassive(command, work);
    else
        TransferActive(command, work);
}

void TIdFTP::TransferActive(const std::string& command, const std::function<void(TIdTCPConnection&)>& work) {
    auto server = std::make_unique<TIdSimpleServer>();
    TIdSimpleServer& data = *server;
    FDataConnection = std::move(server);
    try {
        ShareWorkHandlers();
        data.ReadTimeout = ReadTimeout;
        data.BoundIP = Endpoint().IP;
        data.StartListen();
        AnnouncePort(data.Endpoint());
        SendCommand(command, {125, 150});
        if (!data.AwaitConnection())
            SocketLayer->RaiseSocketFailure(Id_WSAETIMEDOUT);
        data.DisableNagle();
        ProtectDataConnection(data);
        work(data);
    } catch (...) {
        FDataConnection.reset();
        throw;
    }
    FDataConnection.reset();
}

void TIdFTP::TransferPassive(const std::string& command, const std::function<void(TIdTCPConnection&)>& work) {
    std::string host;
    int32_t port = 0;
    RequestPassive(host, port);
    if (!PassiveUseReplyAddress)
        host = Endpoint().RemoteIP;
    WriteLine(command);
    auto client = std::make_unique<TIdTCPClient>();
    TIdTCPClient& data = *client;
    FDataConnection = std::move(client);
    try {
        ShareWorkHandlers();
        data.ReadTimeout = ReadTimeout;
        data.Host = host;
        data.Port = port;
        data.SocksInfo.Assign(SocksInfo);
        data.UseNagle = false;
        data.OpenConnection();
        try {
            ReadReply({110, 125, 150});
            ProtectDataConnection(data);
            work(data);
        } catch (...) {
            data.CloseConnection();
            throw;
        }
        data.CloseConnection();
    } catch (...) {
        FDataConnection.reset();
        throw;
    }
    FDataConnection.reset();
}
