// A TCP relay on 127.0.0.1 in front of a real server that can make the server slow: while Slow
// is set, what the server says reaches the client one byte per 100 ms; what the client says
// goes through at once. One thread serves every connection until the link is destroyed.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace e2e {

class TSlowLink {
public:
    explicit TSlowLink(int serverPort) : FServerPort(serverPort) {
        FListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        if (FListener < 0 || bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(FListener, 8) != 0 ||
            getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            pipe2(FStop, O_CLOEXEC) != 0)
            throw std::runtime_error("slow link: cannot listen");
        FPort = ntohs(address.sin_port);
        FThread = std::thread([this] { Run(); });
    }
    ~TSlowLink() {
        const char c = 0;
        (void)!write(FStop[1], &c, 1);
        FThread.join();
        close(FListener);
        close(FStop[0]);
        close(FStop[1]);
    }
    TSlowLink(const TSlowLink&) = delete;
    TSlowLink& operator=(const TSlowLink&) = delete;

    int Port() const { return FPort; }
    // Connections taken so far.
    int Accepted() const { return FAccepted; }

    std::atomic<bool> Slow{true};

private:
    struct TPair {
        int Client = -1, Server = -1;
        std::string ToClient;
        bool ServerDone = false;
    };

    static sockaddr_in Loopback(int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }

    void Run() {
        using clock = std::chrono::steady_clock;
        std::vector<TPair> pairs;
        auto nextByte = clock::now();
        for (;;) {
            std::vector<pollfd> fds = {{FStop[0], POLLIN, 0}, {FListener, POLLIN, 0}};
            bool pending = false;
            for (const TPair& p : pairs) {
                fds.push_back({p.Client, POLLIN, 0});
                fds.push_back({p.ServerDone ? -1 : p.Server, POLLIN, 0});
                pending = pending || !p.ToClient.empty();
            }
            int wait = -1;
            if (pending)
                wait = Slow ? static_cast<int>(
                                  std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                           nextByte - clock::now())
                                                           .count()))
                            : 0;
            if (poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR)
                break;
            if (fds[0].revents)
                break;
            if (fds[1].revents & POLLIN)
                Accept(pairs);
            char buffer[4096];
            for (size_t i = 0; i < pairs.size() && 2 + 2 * i < fds.size(); ++i) {
                TPair& p = pairs[i];
                if (fds[2 + 2 * i].revents) {
                    const ssize_t n = recv(p.Client, buffer, sizeof buffer, 0);
                    if (n <= 0 || send(p.Server, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                        p.ServerDone = true, p.ToClient.clear(); // the client left: end both
                }
                if (!p.ServerDone && fds[3 + 2 * i].revents) {
                    const ssize_t n = recv(p.Server, buffer, sizeof buffer, 0);
                    if (n <= 0)
                        p.ServerDone = true;
                    else
                        p.ToClient.append(buffer, static_cast<size_t>(n));
                }
            }
            const bool slow = Slow;
            if (!slow || clock::now() >= nextByte) {
                for (TPair& p : pairs) {
                    const size_t count = slow ? std::min<size_t>(1, p.ToClient.size()) : p.ToClient.size();
                    if (count > 0)
                        (void)!send(p.Client, p.ToClient.data(), count, MSG_NOSIGNAL);
                    p.ToClient.erase(0, count);
                }
                nextByte = clock::now() + std::chrono::milliseconds(100);
            }
            for (auto it = pairs.begin(); it != pairs.end();) {
                if (it->ServerDone && it->ToClient.empty()) {
                    close(it->Client);
                    close(it->Server);
                    it = pairs.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (TPair& p : pairs) {
            close(p.Client);
            close(p.Server);
        }
    }

    void Accept(std::vector<TPair>& pairs) {
        TPair p;
        p.Client = accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (p.Client < 0)
            return;
        p.Server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in server = Loopback(FServerPort);
        if (p.Server < 0 ||
            connect(p.Server, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
            close(p.Client);
            if (p.Server >= 0)
                close(p.Server);
            return;
        }
        pairs.push_back(std::move(p));
        ++FAccepted;
    }

    int FServerPort;
    int FPort = 0;
    int FListener = -1;
    int FStop[2] = {-1, -1};
    std::atomic<int> FAccepted{0};
    std::thread FThread;
};

} // namespace e2e
