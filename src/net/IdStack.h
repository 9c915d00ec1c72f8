// The socket layer: the one place that touches the operating system's TCP/IP sockets. Every
// failed call becomes an EIdSocketError with a Windows Sockets number and its fixed text, so
// messages look the same on every box. IPv4 only.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using TIdStackSocketHandle = int;
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
constexpr int Id_SOCKET_ERROR = -1;
constexpr int Id_PF_INET = 2;
constexpr int Id_SOCK_STREAM = 1;
// Timeout value meaning "no limit".
constexpr int32_t WaitForever = -2;
// Largest socket set one readiness wait takes.
constexpr int IdMaxSocketSet = 64;

// Windows Sockets numbers used by the layer itself.
constexpr int Id_WSAETIMEDOUT = 10060;
constexpr int Id_WSAECONNRESET = 10054;
constexpr int Id_WSAECONNREFUSED = 10061;
constexpr int Id_WSAESHUTDOWN = 10058;
constexpr int Id_WSAENOTSOCK = 10038;
constexpr int Id_WSAEADDRINUSE = 10048;
constexpr int Id_WSAHOST_NOT_FOUND = 11001;

using TIdInAddr = std::array<uint8_t, 4>;
using TIdSocketList = std::vector<TIdStackSocketHandle>;

class TIdStack {
public:
    TIdStack() = default;
    virtual ~TIdStack() = default;
    TIdStack(const TIdStack&) = delete;
    TIdStack& operator=(const TIdStack&) = delete;

    // Returns the new socket (or -1) and the peer's address text and port.
    virtual TIdStackSocketHandle SockAccept(TIdStackSocketHandle s, std::string& ip, int& port) = 0;
    // Empty ip binds to every local address.
    virtual int SockBind(TIdStackSocketHandle s, int family, const std::string& ip, int port) = 0;
    virtual void SockClose(TIdStackSocketHandle s) = 0;
    // Waits at most timeout ms (WaitForever: no limit) for the connection; a bound that runs
    // out fails with 10060.
    virtual int SockConnect(TIdStackSocketHandle s, int family, const std::string& ip, int port,
                            int32_t timeout = WaitForever) = 0;
    virtual std::string SockHostByName(const std::string& host) = 0;
    virtual int SockListen(TIdStackSocketHandle s, int backlog) = 0;
    virtual int SockRecv(TIdStackSocketHandle s, void* buffer, int length, int flags) = 0;
    // Waits for readiness of up to 64 sockets per list; rewrites each present list to the ready
    // sockets. Returns the ready count, 0 on timeout, -1 on error.
    virtual int SockSelect(TIdSocketList* readList, TIdSocketList* writeList, TIdSocketList* exceptList,
                           int32_t timeout) = 0;
    virtual int SockSend(TIdStackSocketHandle s, const void* buffer, int length, int flags) = 0;
    virtual int SockSetOption(TIdStackSocketHandle s, int level, int name, const void* value, int length) = 0;
    virtual TIdStackSocketHandle SockCreate(int family, int type, int protocol) = 0;
    virtual void SockShutdown(TIdStackSocketHandle s, int how) = 0;
    virtual std::string SocketErrorText(int code);
    virtual int SockLastError() = 0;
    virtual void SockPeerName(TIdStackSocketHandle s, std::string& ip, int& port) = 0;
    virtual void SockLocalName(TIdStackSocketHandle s, std::string& ip, int& port) = 0;
    virtual std::string InAddrToText(const TIdInAddr& bytes);
    // Bytes written to s that the peer has not acknowledged yet; -1 when the system cannot say.
    virtual int64_t SockUnackedBytes(TIdStackSocketHandle s);
    virtual TIdInAddr TextToInAddr(std::string text);

    // Raises EIdInvalidSocket "Cannot allocate socket." when no socket can be made.
    TIdStackSocketHandle NewSocket(int type, int protocol);
    // False for any result but -1; for -1 true when the last error is one of ignoredCodes,
    // otherwise raises EIdSocketError.
    bool CheckSocketResult(int result, std::initializer_list<int> ignoredCodes = {});
    [[noreturn]] void RaiseSocketFailure(int code);
    std::string HostToAddress(const std::string& host);
    static bool IsDottedQuad(std::string text);
};

// BSD sockets of Linux; errno values are reported as Windows Sockets numbers.
class TIdStackBSD : public TIdStack {
public:
    TIdStackSocketHandle SockAccept(TIdStackSocketHandle s, std::string& ip, int& port) override;
    int SockBind(TIdStackSocketHandle s, int family, const std::string& ip, int port) override;
    void SockClose(TIdStackSocketHandle s) override;
    int SockConnect(TIdStackSocketHandle s, int family, const std::string& ip, int port,
                    int32_t timeout = WaitForever) override;
    std::string SockHostByName(const std::string& host) override;
    int SockListen(TIdStackSocketHandle s, int backlog) override;
    int SockRecv(TIdStackSocketHandle s, void* buffer, int length, int flags) override;
    int SockSelect(TIdSocketList* readList, TIdSocketList* writeList, TIdSocketList* exceptList,
                   int32_t timeout) override;
    int SockSend(TIdStackSocketHandle s, const void* buffer, int length, int flags) override;
    int SockSetOption(TIdStackSocketHandle s, int level, int name, const void* value, int length) override;
    TIdStackSocketHandle SockCreate(int family, int type, int protocol) override;
    void SockShutdown(TIdStackSocketHandle s, int how) override;
    int SockLastError() override;
    void SockPeerName(TIdStackSocketHandle s, std::string& ip, int& port) override;
    void SockLocalName(TIdStackSocketHandle s, std::string& ip, int& port) override;
    int64_t SockUnackedBytes(TIdStackSocketHandle s) override;
};

// The program-wide layer, alive while at least one network component exists.
extern TIdStack* SocketLayer;
extern int32_t SocketLayerUsers;
// Called by every network component's constructor and destructor.
void AcquireSocketLayer();
void ReleaseSocketLayer();

// Windows Sockets number for an errno value (unknown values are returned unchanged).
int WinsockErrorFromErrno(int error);

// Text before the first delimiter (or all of input); with remove, input loses that text and the
// delimiter (or becomes empty).
std::string TakeToken(std::string& input, const std::string& delimiter, bool remove = true);
// 1-based position of the last case-insensitive occurrence of sub in text at or before start
// (-1: the end), or 0.
int LastPosNoCase(const std::string& sub, const std::string& text, int start = -1);
