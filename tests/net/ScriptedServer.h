// A small scripted TCP peer on 127.0.0.1 for what no real FTP server will do (odd replies,
// silence, hanging up mid-reply). The script runs on its own thread against one accepted
// connection; every line the client sends is kept for the test to inspect.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// A listening socket on 127.0.0.1 with a system-chosen port.
inline int ListenLocal(int& port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 4) != 0)
        throw std::runtime_error("listen failed");
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}

// Accepts one connection within 30 s, or returns -1.
inline int AcceptWithin(int listenSocket, int ms = 30000) {
    pollfd p{listenSocket, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1)
        return -1;
    return ::accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
}

inline int ConnectLocal(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// Everything readable from s until the peer closes (bounded by 30 s of silence).
inline std::string ReadAll(int s) {
    std::string data;
    char buffer[65536];
    for (;;) {
        pollfd p{s, POLLIN, 0};
        if (::poll(&p, 1, 30000) != 1)
            break;
        const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

class ScriptedPeer {
public:
    explicit ScriptedPeer(int s) : FSocket(s) {}
    ~ScriptedPeer() { Close(); }

    void Send(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::send(FSocket, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }
    // One line without its CR LF; empty when the client closed or stayed silent for 30 s.
    std::string ReadLine() {
        for (;;) {
            const size_t end = FPending.find("\r\n");
            if (end != std::string::npos) {
                std::string line = FPending.substr(0, end);
                FPending.erase(0, end + 2);
                return line;
            }
            pollfd p{FSocket, POLLIN, 0};
            if (::poll(&p, 1, 30000) != 1)
                return std::string();
            char buffer[4096];
            const ssize_t n = ::recv(FSocket, buffer, sizeof buffer, 0);
            if (n <= 0)
                return std::string();
            FPending.append(buffer, static_cast<size_t>(n));
            FReceived.append(buffer, static_cast<size_t>(n));
        }
    }
    // Reads a line and answers it.
    std::string Answer(const std::string& reply) {
        std::string line = ReadLine();
        Send(reply);
        return line;
    }
    // Waits until the client closes (or 30 s pass) and returns all it sent.
    const std::string& DrainUntilClosed() {
        if (FSocket < 0)
            return FReceived;
        char buffer[4096];
        for (;;) {
            pollfd p{FSocket, POLLIN, 0};
            if (::poll(&p, 1, 30000) != 1)
                break;
            const ssize_t n = ::recv(FSocket, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            FReceived.append(buffer, static_cast<size_t>(n));
        }
        return FReceived;
    }
    void Close() {
        if (FSocket >= 0)
            ::close(FSocket);
        FSocket = -1;
    }
    const std::string& Received() const { return FReceived; }
    int Socket() const { return FSocket; }

private:
    int FSocket;
    std::string FPending;
    std::string FReceived;
};

class ScriptedServer {
public:
    using TScript = std::function<void(ScriptedPeer& peer)>;

    explicit ScriptedServer(TScript script) {
        FListen = ListenLocal(FPort);
        FThread = std::thread([this, script] {
            const int s = AcceptWithin(FListen);
            if (s < 0)
                return;
            ScriptedPeer peer(s);
            script(peer);
            std::lock_guard<std::mutex> lock(FMutex);
            FReceived = peer.DrainUntilClosed();
        });
    }
    ~ScriptedServer() { Join(); }

    int Port() const { return FPort; }
    // Waits for the script (and the client's close); returns every byte the client sent.
    std::string Join() {
        if (FThread.joinable())
            FThread.join();
        if (FListen >= 0)
            ::close(FListen);
        FListen = -1;
        std::lock_guard<std::mutex> lock(FMutex);
        return FReceived;
    }

private:
    int FListen = -1;
    int FPort = 0;
    std::thread FThread;
    std::mutex FMutex;
    std::string FReceived;
};
