// FTP client (RFC 959, client side): log-in on the control connection and storing a file over
// an active or passive data connection, optionally protected by explicit TLS (RFC 4217). Every
// wait is bounded by ReadTimeout.
#pragma once

#include "net/IdTCPClient.h"
#include "net/IdTlsSession.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

enum TIdFTPTransferType { ftASCII, ftBinary };

// Off: clear text, as always. Try: TLS unless the server refuses AUTH TLS with a 5xx reply.
// Require: TLS or no log-in at all.
enum class TIdFTPTls { Off, Try, Require };

// Host text and port from a 227 reply line: the six numbers between the first "(" and ")",
// or after the last blank when there are no parentheses. A field that is not a number raises
// EConvertError; a port outside 0..65535 raises EIdInvalidPassivePort.
void ParsePassiveReply(const std::string& replyLine, std::string& host, int32_t& port);
// "PORT h1,h2,h3,h4,p1,p2" for a listening address and port.
std::string PortCommand(const std::string& ip, int32_t port);

class TIdFTP : public TIdTCPClient {
public:
    explicit TIdFTP(TComponent* owner = nullptr);
    ~TIdFTP() override;

    std::string User;
    bool Passive = false;
    std::string Password;
    TIdFTPTls Tls = TIdFTPTls::Off;
    // Certificate authorities to trust (PEM); empty: the system's store.
    std::string TlsCaFile;
    // The name the server's certificate must carry; empty: Host.
    std::string TlsServerName;
    // Passive data connections go to the control connection's peer with the port of the 227
    // reply, unless this is set: then to the address the reply names (which lets a server, or
    // whoever forged its reply, send the box elsewhere).
    bool PassiveUseReplyAddress = false;
    // After a confirmed STOR in image type, ask the server the file's size (SIZE) and fail
    // with EIdShortStore when it differs from what was sent.
    bool VerifyStoredSize = true;

    const std::string& SystemDescription() const { return FSystemDescription; }
    TIdFTPTransferType TransferType() const { return FTransferType; }
    // Ignored while a transfer runs; sent at once when connected.
    void SetTransferType(TIdFTPTransferType value);
    // The data connection of the transfer in progress, null otherwise.
    TIdTCPConnection* DataConnection() const { return FDataConnection.get(); }
    // The session's control connection is protected (and, once logged in, its data
    // connections too).
    bool TlsActive() const { return FTlsActive; }
    // The last protected data connection resumed the control connection's TLS session.
    bool DataSessionResumed() const { return FDataSessionResumed; }

    // Connects, reads the greeting, with Tls on secures the connection (AUTH TLS and the
    // handshake) and, with autoLogin, logs in (user, pass, with TLS PBSZ 0 and PROT P, then
    // type, syst). Any failure closes the connection and propagates.
    void OpenSession(bool autoLogin = true);
    void SendTypeCommand();
    // "Quit" without waiting for the reply, then closes. Nothing when not connected.
    void SendQuit();

    // Opens localFile for reading (EFOpenError before anything is sent) and stores it.
    void StoreFile(const std::string& localFile, const std::string& remoteName, bool append = false);
    // STOU for an empty name, APPE when appending, STOR otherwise.
    void StoreStream(TStream& stream, const std::string& remoteName, bool append = false);
    // Returns the bytes sent. The completion reply is awaited only once the server has taken
    // every byte (see TIdSocketHandle::FinishSending).
    int64_t TransferOut(const std::string& command, TStream& stream);
    // SIZE of remoteName against sent: EIdShortStore when the server holds another count. A
    // server that does not offer SIZE (or will not tell) leaves the completion reply as the
    // verdict.
    void VerifyStoredFile(const std::string& remoteName, int64_t sent);
    // CWD into folder (relative to the current one): true when the server went there, false
    // when it answers 550 (no such folder, or not one). Any other reply raises, as SendCommand
    // does; the session stays usable either way.
    bool ChangeDirIfExists(const std::string& folder);
    // The names in the current folder on the server (NLST), without line ends; blank lines are
    // dropped. Every wait is bounded by ReadTimeout; a listing beyond MaxListingBytes raises
    // EIdException.
    void ListNames(std::vector<std::string>& names);
    static constexpr int64_t MaxListingBytes = 16 << 20;
    // Sends command and reads everything the server sends over the data connection until it
    // closes, then the completion reply.
    void TransferIn(const std::string& command, std::string& data);
    void RequestPassive(std::string& host, int32_t& port);
    void AnnouncePort(TIdSocketHandle& socketHandle);
    void ShareWorkHandlers();

private:
    void StartControlTls();
    void ProtectDataConnection(TIdTCPConnection& data);
    std::string TlsName() const { return TlsServerName.empty() ? Host : TlsServerName; }
    // Opens the data connection for command, active or passive as set (passive: to the control
    // connection's peer unless PassiveUseReplyAddress), protects it when the session does, and
    // hands it to work; the completion reply is the caller's.
    void TransferData(const std::string& command, const std::function<void(TIdTCPConnection&)>& work);
    void TransferActive(const std::string& command, const std::function<void(TIdTCPConnection&)>& work);
    void TransferPassive(const std::string& command, const std::function<void(TIdTCPConnection&)>& work);

    std::string FSystemDescription;
    TIdFTPTransferType FTransferType = ftBinary;
    std::unique_ptr<TIdTCPConnection> FDataConnection;
    std::unique_ptr<TIdTlsContext> FTlsContext;
    bool FTlsActive = false;
    bool FDataProtected = false;
    bool FDataSessionResumed = false;
};
