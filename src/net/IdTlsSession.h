// TLS over one connected socket, client side only (FTPS, RFC 4217): a context that knows which
// certificate authorities to trust, and a session that verifies the server's chain and name,
// then moves bytes within time bounds. Built on OpenSSL.
#pragma once

#include "net/IdException.h"

#include <cstdint>
#include <memory>
#include <string>

using SSL_CTX = struct ssl_ctx_st;
using SSL = struct ssl_st;
using SSL_SESSION = struct ssl_session_st;

// "TLS: ..." failures: an untrusted certificate, a broken handshake, a refused AUTH TLS.
class EIdTlsError : public EIdException {
public:
    using EIdException::EIdException;
};

// The trust settings shared by the control connection and its data connections.
class TIdTlsContext {
public:
    // caFile empty: the system's certificate store. EIdTlsError when the file cannot be used.
    explicit TIdTlsContext(const std::string& caFile);
    ~TIdTlsContext();
    TIdTlsContext(const TIdTlsContext&) = delete;
    TIdTlsContext& operator=(const TIdTlsContext&) = delete;

    const std::string& CaFile() const { return FCaFile; }
    SSL_CTX* Handle() const { return FContext; }

private:
    std::string FCaFile;
    SSL_CTX* FContext = nullptr;
};

class TIdTlsSession {
public:
    // socket must be connected; it is switched to non-blocking mode for good, so every wait
    // below is one bounded poll.
    TIdTlsSession(TIdTlsContext& context, int socket);
    ~TIdTlsSession();
    TIdTlsSession(const TIdTlsSession&) = delete;
    TIdTlsSession& operator=(const TIdTlsSession&) = delete;

    // Handshake as the client, verifying the chain and that the certificate names serverName
    // (a host name, or an IPv4 address in dotted form). resume: a session of the same server to
    // resume (the data connection resumes the control connection's; servers insist on it).
    // Within timeout ms, else EIdSocketError 10060; an untrusted certificate raises EIdTlsError
    // "TLS: certificate of NAME not trusted: REASON".
    void Connect(const std::string& serverName, SSL_SESSION* resume, int32_t timeout);
    // The newest resumable session the server gave this connection, or null; owned here.
    SSL_SESSION* ResumableSession() const { return FLatestSession; }
    bool Resumed() const;

    // Up to length bytes of application data: the count, 0 when the server closed the
    // connection, -1 when nothing came within timeout (WaitForever: no bound).
    int Read(void* buffer, int length, int32_t timeout);
    // All length bytes within timeout, else EIdSocketError 10060.
    void Write(const void* buffer, int length, int32_t timeout);
    // Sends the end of the data (close_notify) without waiting for the peer's.
    void SendClose();

    // Called by OpenSSL when the server hands out a session ticket.
    void KeepSession(SSL_SESSION* session);

private:
    // Waits for what OpenSSL wants after error; false when deadline passed.
    bool WaitFor(int sslError, int64_t deadlineMs);
    [[noreturn]] void Fail(int sslError, const std::string& what);

    SSL* FSsl = nullptr;
    int FSocket;
    std::string FServerName;
    SSL_SESSION* FLatestSession = nullptr;
    // After a fatal error OpenSSL must not be asked to send anything more.
    bool FBroken = false;
};
