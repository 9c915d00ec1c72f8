#include "net/IdStack.h"

#include "net/IdException.h"
#include "toolkit/StringUtils.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

TIdStack* SocketLayer = nullptr;
int32_t SocketLayerUsers = 0;

namespace {
// The outbox delivers on a thread of its own: its clients come and go beside the window's.
std::mutex SocketLayerLock;
} // namespace

void AcquireSocketLayer() {
    std::lock_guard<std::mutex> hold(SocketLayerLock);
    if (SocketLayer == nullptr)
        SocketLayer = new TIdStackBSD();
    ++SocketLayerUsers;
}

void ReleaseSocketLayer() {
    std::lock_guard<std::mutex> hold(SocketLayerLock);
    if (--SocketLayerUsers == 0) {
        delete SocketLayer;
        SocketLayer = nullptr;
    }
}

namespace {

// The last error of the calling thread, already as a Windows Sockets number.
thread_local int LastSocketError = 0;

int Fail(int error) {
    LastSocketError = WinsockErrorFromErrno(error);
    return -1;
}

const char* ErrorTextOf(int code) {
    switch (code) {
    case 10004:
        return "Interrupted system call.";
    case 10009:
        return "Bad file number.";
    case 10013:
        return "Access denied.";
    case 10014:
        return "Bad address.";
    case 10022:
        return "Invalid argument.";
    case 10024:
        return "Too many open files.";
    case 10035:
        return "Operation would block. ";
    case 10036:
        return "Operation now in progress.";
    case 10037:
        return "Operation already in progress.";
    case 10038:
        return "Socket operation on non-socket.";
    case 10039:
        return "Destination address required.";
    case 10040:
        return "Message too long.";
    case 10041:
        return "Protocol wrong type for socket.";
    case 10042:
        return "Bad protocol option.";
    case 10043:
        return "Protocol not supported.";
    case 10044:
        return "Socket type not supported.";
    case 10045:
        return "Operation not supported on socket.";
    case 10046:
        return "Protocol family not supported.";
    case 10047:
        return "Address family not supported by protocol family.";
    case 10048:
        return "Address already in use.";
    case 10049:
        return "Cannot assign requested address.";
    case 10050:
        return "Network is down.";
    case 10051:
        return "Network is unreachable.";
    case 10052:
        return "Net dropped connection or reset.";
    case 10053:
        return "Software caused connection abort.";
    case 10054:
        return "Connection reset by peer.";
    case 10055:
        return "No buffer space available.";
    case 10056:
        return "Socket is already connected.";
    case 10057:
        return "Socket is not connected.";
    case 10058:
        return "Cannot send or receive after socket is closed.";
    case 10059:
        return "Too many references, cannot splice.";
    case 10060:
        return "Connection timed out.";
    case 10061:
        return "Connection refused.";
    case 10062:
        return "Too many levels of symbolic links.";
    case 10063:
        return "File name too long.";
    case 10064:
        return "Host is down.";
    case 10065:
        return "No route to host.";
    case 10066:
        return "Directory not empty";
    default:
        return "";
    }
}

bool MakeAddress(const std::string& ip, int port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (ip.empty()) {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, ip.c_str(), &address.sin_addr) == 1;
}

void ReadAddress(const sockaddr_in& address, std::string& ip, int& port) {
    TIdInAddr bytes;
    std::memcpy(bytes.data(), &address.sin_addr, 4);
    ip = Format("%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    port = ntohs(address.sin_port);
}

// Milliseconds left until deadline for poll(); -1 for no limit.
int PollTimeout(bool limited, std::chrono::steady_clock::time_point deadline) {
    if (!limited)
        return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

} // namespace

int WinsockErrorFromErrno(int error) {
    switch (error) {
    case EINTR:
        return 10004;
    case EACCES:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
        return 10024;
    case EAGAIN:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case EBADF:
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
        return 10054;
    case ENOBUFS:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case EPIPE:
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    default:
        return error;
    }
}

std::string TIdStack::SocketErrorText(int code) {
    return Format("Socket Error # %d\r\n%s", code, ErrorTextOf(code));
}

int64_t TIdStack::SockUnackedBytes(TIdStackSocketHandle) {
    return -1;
}

std::string TIdStack::InAddrToText(const TIdInAddr& bytes) {
    return Format("%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

TIdInAddr TIdStack::TextToInAddr(std::string text) {
    TIdInAddr bytes{};
    for (auto& b : bytes)
        b = static_cast<uint8_t>(StrToInt(TakeToken(text, ".", true)) & 0xFF);
    return bytes;
}

TIdStackSocketHandle TIdStack::NewSocket(int type, int protocol) {
    const TIdStackSocketHandle s = SockCreate(Id_PF_INET, type, protocol);
    if (s == Id_INVALID_SOCKET)
        throw EIdInvalidSocket();
    return s;
}

bool TIdStack::CheckSocketResult(int result, std::initializer_list<int> ignoredCodes) {
    if (result != Id_SOCKET_ERROR)
        return false;
    const int code = SockLastError();
    for (int ignored : ignoredCodes)
        if (ignored == code)
            return true;
    RaiseSocketFailure(code);
}

void TIdStack::RaiseSocketFailure(int code) {
    throw EIdSocketError(code, SocketErrorText(code));
}

std::string TIdStack::HostToAddress(const std::string& host) {
    if (SameText(host, "LOCALHOST"))
        return "127.0.0.1";
    if (IsDottedQuad(host))
        return host;
    return SockHostByName(host);
}

bool TIdStack::IsDottedQuad(std::string text) {
    for (int i = 0; i < 4; ++i) {
        const std::string part = i < 3 ? TakeToken(text, ".", true) : text;
        int value = 0;
        if (!TryStrToInt(part, value) || value < 0 || value > 255)
            return false;
    }
    return true;
}

TIdStackSocketHandle TIdStackBSD::SockAccept(TIdStackSocketHandle s, std::string& ip, int& port) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int result;
    do
        result = ::accept4(s, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    while (result < 0 && errno == EINTR);
    if (result < 0)
        return Fail(errno);
    ReadAddress(address, ip, port);
    return result;
}

int TIdStackBSD::SockBind(TIdStackSocketHandle s, int, const std::string& ip, int port) {
    sockaddr_in address;
    if (!MakeAddress(ip, port, address))
        return Fail(EINVAL);
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return Fail(errno);
    return 0;
}

void TIdStackBSD::SockClose(TIdStackSocketHandle s) {
    ::close(s);
}

int TIdStackBSD::SockConnect(TIdStackSocketHandle s, int, const std::string& ip, int port, int32_t timeout) {
    sockaddr_in address;
    if (!MakeAddress(ip, port, address))
        return Fail(EINVAL);
    // Connect without blocking, then wait for the outcome in poll(), which can be bounded.
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0)
        return Fail(errno);
    ::fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int result = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int error = result == 0 ? 0 : errno;
    if (result != 0 && (error == EINPROGRESS || error == EINTR)) {
        const bool limited = timeout != WaitForever;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(limited ? timeout : 0);
        pollfd p{s, POLLOUT, 0};
        int ready;
        do
            ready = ::poll(&p, 1, PollTimeout(limited, deadline));
        while (ready < 0 && errno == EINTR);
        if (ready < 0) {
            error = errno;
        } else if (ready == 0) {
            error = ETIMEDOUT;
        } else {
            socklen_t length = sizeof error;
            if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
    }
    ::fcntl(s, F_SETFL, flags);
    return error == 0 ? 0 : Fail(error);
}

std::string TIdStackBSD::SockHostByName(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        LastSocketError = Id_WSAHOST_NOT_FOUND;
        CheckSocketResult(Id_SOCKET_ERROR);
    }
    std::string ip;
    int port = 0;
    ReadAddress(*reinterpret_cast<const sockaddr_in*>(found->ai_addr), ip, port);
    ::freeaddrinfo(found);
    return ip;
}

int TIdStackBSD::SockListen(TIdStackSocketHandle s, int backlog) {
    return ::listen(s, backlog) == 0 ? 0 : Fail(errno);
}

int TIdStackBSD::SockRecv(TIdStackSocketHandle s, void* buffer, int length, int flags) {
    ssize_t n;
    do
        n = ::recv(s, buffer, static_cast<size_t>(length), flags);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return Fail(errno == EAGAIN ? ETIMEDOUT : errno);
    return static_cast<int>(n);
}

int TIdStackBSD::SockSelect(TIdSocketList* readList, TIdSocketList* writeList, TIdSocketList* exceptList,
                            int32_t timeout) {
    TIdSocketList* lists[3] = {readList, writeList, exceptList};
    const short events[3] = {POLLIN, POLLOUT, POLLPRI};
    std::vector<pollfd> fds;
    std::vector<int> owner;
    for (int i = 0; i < 3; ++i) {
        if (lists[i] == nullptr)
            continue;
        if (lists[i]->size() > static_cast<size_t>(IdMaxSocketSet))
            throw EIdStackSetSizeExceeded();
        for (TIdStackSocketHandle s : *lists[i]) {
            fds.push_back(pollfd{s, events[i], 0});
            owner.push_back(i);
        }
    }
    // Like select(): a set that sees a hang-up or error counts as ready, so the caller goes on to
    // the call that reports it.
    const bool limited = timeout != WaitForever;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(limited && timeout > 0 ? timeout : 0);
    int ready;
    do
        ready = ::poll(fds.data(), fds.size(), PollTimeout(limited, deadline));
    while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return Fail(errno);
    int count = 0;
    for (int i = 0; i < 3; ++i)
        if (lists[i] != nullptr)
            lists[i]->clear();
    for (size_t k = 0; k < fds.size(); ++k) {
        const short mask = events[owner[k]] | (owner[k] == 2 ? 0 : (POLLHUP | POLLERR | POLLNVAL));
        if (fds[k].revents & mask) {
            lists[owner[k]]->push_back(fds[k].fd);
            ++count;
        }
    }
    return count;
}

int TIdStackBSD::SockSend(TIdStackSocketHandle s, const void* buffer, int length, int flags) {
    ssize_t n;
    do
        n = ::send(s, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    // Our sockets block; "would block" can only mean the send time-out ran out.
    if (n < 0)
        return Fail(errno == EAGAIN ? ETIMEDOUT : errno);
    return static_cast<int>(n);
}

int TIdStackBSD::SockSetOption(TIdStackSocketHandle s, int level, int name, const void* value, int length) {
    return ::setsockopt(s, level, name, value, static_cast<socklen_t>(length)) == 0 ? 0 : Fail(errno);
}

TIdStackSocketHandle TIdStackBSD::SockCreate(int family, int type, int protocol) {
    const int s = ::socket(family == Id_PF_INET ? AF_INET : family,
                           (type == Id_SOCK_STREAM ? SOCK_STREAM : type) | SOCK_CLOEXEC, protocol);
    return s < 0 ? Fail(errno) : s;
}

void TIdStackBSD::SockShutdown(TIdStackSocketHandle s, int how) {
    ::shutdown(s, how);
}

int TIdStackBSD::SockLastError() {
    return LastSocketError;
}

void TIdStackBSD::SockPeerName(TIdStackSocketHandle s, std::string& ip, int& port) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    CheckSocketResult(::getpeername(s, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? 0
                                                                                            : Fail(errno));
    ReadAddress(address, ip, port);
}

void TIdStackBSD::SockLocalName(TIdStackSocketHandle s, std::string& ip, int& port) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    CheckSocketResult(::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? 0
                                                                                            : Fail(errno));
    ReadAddress(address, ip, port);
}

std::string TakeToken(std::string& input, const std::string& delimiter, bool remove) {
    const size_t p = delimiter.empty() ? std::string::npos : input.find(delimiter);
    std::string result;
    if (p == std::string::npos) {
        result = input;
        if (remove)
            input.clear();
    } else {
        result = input.substr(0, p);
        if (remove)
            input.erase(0, p + delimiter.size());
    }
    return result;
}

int LastPosNoCase(const std::string& sub, const std::string& text, int start) {
    if (sub.empty() || sub.size() > text.size())
        return 0;
    const int last = static_cast<int>(text.size() - sub.size()) + 1;
    if (start < 0 || start > last)
        start = last;
    for (int p = start; p >= 1; --p) {
        bool match = true;
        for (size_t i = 0; i < sub.size() && match; ++i)
            match = std::tolower(static_cast<unsigned char>(text[p - 1 + i])) ==
                    std::tolower(static_cast<unsigned char>(sub[i]));
        if (match)
            return p;
    }
    return 0;
}

int64_t TIdStackBSD::SockUnackedBytes(TIdStackSocketHandle s) {
    // For TCP, SIOCOUTQ counts what is queued and what is in flight without an ACK.
    int queued = 0;
    return ::ioctl(s, SIOCOUTQ, &queued) == 0 ? queued : -1;
}
