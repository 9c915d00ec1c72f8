#include "net/IdTlsSession.h"

#include "net/IdStack.h"
#include "toolkit/StringUtils.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/stat.h>

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// -1: no bound.
int64_t DeadlineAfter(int32_t timeout) {
    return timeout == WaitForever ? -1 : NowMs() + std::max<int32_t>(timeout, 0);
}

// The reason of the newest queued OpenSSL error, or fallback when there is none.
std::string QueuedReason(const std::string& fallback) {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0)
        return fallback;
    const char* reason = ERR_reason_error_string(code);
    return reason ? std::string(reason) : Format("error %lu", code);
}

int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* owner = static_cast<TIdTlsSession*>(SSL_get_app_data(ssl));
    if (!owner)
        return 0;
    owner->KeepSession(session);
    return 1; // the session is ours now
}

} // namespace

TIdTlsContext::TIdTlsContext(const std::string& caFile) : FCaFile(caFile) {
    // OpenSSL writes to the socket without MSG_NOSIGNAL: a server that hangs up must give an
    // error, not end the program. Nothing here relies on SIGPIPE.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);
    FContext = SSL_CTX_new(TLS_client_method());
    if (!FContext)
        throw EIdTlsError("TLS: cannot start: " + QueuedReason("out of memory"));
    SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION);
    SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, nullptr);
    // A server that drops the connection without close_notify is a closed connection; the
    // client reads only replies, and every reply is checked.
    SSL_CTX_set_options(FContext, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(FContext, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(FContext, KeepNewSession);
    int loaded;
    if (caFile.empty()) {
        loaded = SSL_CTX_set_default_verify_paths(FContext);
    } else {
        struct stat info {};
        if (::stat(caFile.c_str(), &info) != 0) {
            const int error = errno;
            SSL_CTX_free(FContext);
            throw EIdTlsError("TLS: cannot read CA file " + caFile + ": " + std::strerror(error));
        }
        loaded = SSL_CTX_load_verify_file(FContext, caFile.c_str());
    }
    if (loaded != 1) {
        const std::string reason = QueuedReason("no certificates");
        SSL_CTX_free(FContext);
        throw EIdTlsError("TLS: cannot use CA file " +
                          (caFile.empty() ? std::string("(system store)") : caFile) + ": " + reason);
    }
}

TIdTlsContext::~TIdTlsContext() {
    SSL_CTX_free(FContext);
}

TIdTlsSession::TIdTlsSession(TIdTlsContext& context, int socket) : FSocket(socket) {
    FSsl = SSL_new(context.Handle());
    if (!FSsl)
        throw EIdTlsError("TLS: cannot start: " + QueuedReason("out of memory"));
    SSL_set_app_data(FSsl, this);
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0 || SSL_set_fd(FSsl, socket) != 1) {
        SSL_free(FSsl);
        SocketLayer->RaiseSocketFailure(WinsockErrorFromErrno(errno));
    }
}

TIdTlsSession::~TIdTlsSession() {
    SSL_free(FSsl);
    if (FLatestSession)
        SSL_SESSION_free(FLatestSession);
}

void TIdTlsSession::KeepSession(SSL_SESSION* session) {
    if (FLatestSession)
        SSL_SESSION_free(FLatestSession);
    FLatestSession = session;
}

bool TIdTlsSession::Resumed() const {
    return SSL_session_reused(FSsl) == 1;
}

void TIdTlsSession::Connect(const std::string& serverName, SSL_SESSION* resume, int32_t timeout) {
    FServerName = serverName;
    SSL_set_connect_state(FSsl);
    SSL_set_hostflags(FSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (TIdStack::IsDottedQuad(serverName)) {
        // An address is checked against the certificate's IP entries; it is never sent as SNI.
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), serverName.c_str());
    } else {
        SSL_set_tlsext_host_name(FSsl, serverName.c_str());
        SSL_set1_host(FSsl, serverName.c_str());
    }
    if (resume)
        SSL_set_session(FSsl, resume);
    const int64_t deadline = DeadlineAfter(timeout);
    for (;;) {
        ERR_clear_error();
        const int result = SSL_connect(FSsl);
        if (result == 1)
            break;
        const int error = SSL_get_error(FSsl, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (!WaitFor(error, deadline))
                SocketLayer->RaiseSocketFailure(Id_WSAETIMEDOUT);
            continue;
        }
        const long verdict = SSL_get_verify_result(FSsl);
        if (verdict != X509_V_OK) {
            ERR_clear_error();
            FBroken = true;
            throw EIdTlsError("TLS: certificate of " + serverName +
                              " not trusted: " + X509_verify_cert_error_string(verdict));
        }
        Fail(error, "handshake with " + serverName);
    }
    if (SSL_get_verify_result(FSsl) != X509_V_OK || !SSL_get0_peer_certificate(FSsl)) {
        FBroken = true;
        throw EIdTlsError("TLS: certificate of " + serverName + " not trusted: no certificate");
    }
}

int TIdTlsSession::Read(void* buffer, int length, int32_t timeout) {
    const int64_t deadline = DeadlineAfter(timeout);
    for (;;) {
        ERR_clear_error();
        size_t got = 0;
        if (SSL_read_ex(FSsl, buffer, static_cast<size_t>(length), &got) == 1)
            return static_cast<int>(got);
        const int error = SSL_get_error(FSsl, 0);
        if (error == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (!WaitFor(error, deadline))
                return -1;
            continue;
        }
        Fail(error, "read");
    }
}

void TIdTlsSession::Write(const void* buffer, int length, int32_t timeout) {
    const char* bytes = static_cast<const char*>(buffer);
    const int64_t deadline = DeadlineAfter(timeout);
    int done = 0;
    while (done < length) {
        ERR_clear_error();
        size_t n = 0;
        if (SSL_write_ex(FSsl, bytes + done, static_cast<size_t>(length - done), &n) == 1) {
            done += static_cast<int>(n);
            continue;
        }
        const int error = SSL_get_error(FSsl, 0);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (!WaitFor(error, deadline))
                SocketLayer->RaiseSocketFailure(Id_WSAETIMEDOUT);
            continue;
        }
        Fail(error, "write");
    }
}

void TIdTlsSession::SendClose() {
    if (FBroken)
        return;
    ERR_clear_error();
    // Best effort: a full socket buffer or a peer that left only loses the courtesy.
    SSL_shutdown(FSsl);
    ERR_clear_error();
}

bool TIdTlsSession::WaitFor(int sslError, int64_t deadline) {
    pollfd p{FSocket, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    for (;;) {
        int wait = -1;
        if (deadline >= 0)
            wait = static_cast<int>(std::max<int64_t>(deadline - NowMs(), 0));
        const int ready = ::poll(&p, 1, wait);
        if (ready > 0)
            return true; // readable, writable, or an error the next call reports
        if (ready == 0)
            return false;
        if (errno != EINTR)
            SocketLayer->RaiseSocketFailure(WinsockErrorFromErrno(errno));
    }
}

void TIdTlsSession::Fail(int sslError, const std::string& what) {
    FBroken = true;
    if (sslError == SSL_ERROR_SYSCALL) {
        const int error = errno;
        const std::string reason = QueuedReason("");
        if (error != 0 && reason.empty())
            SocketLayer->RaiseSocketFailure(WinsockErrorFromErrno(error));
        if (reason.empty())
            throw EIdTlsError("TLS: " + what + " failed: the server closed the connection");
        throw EIdTlsError("TLS: " + what + " failed: " + reason);
    }
    throw EIdTlsError("TLS: " + what + " failed: " + QueuedReason(Format("error %d", sslError)));
}
