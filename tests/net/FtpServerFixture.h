// A real FTP server on 127.0.0.1 for tests: starts tests/net/ftpserver.py (pyftpdlib, or
// pure-ftpd with virtual users) on a free port, waits until it accepts, stops it by its PID.
//
//   TestFtpServer server(TestFtpServer::PureFtpd, rootDir, {"12345", "007"});
//   server.Port();                       // the control port
//   server.FilePath("mbox2", "12345/x")  // where an upload of account mbox2 lands
//
// Accounts are mbox1..mbox6 (TestFtpServer::Accounts) unless given, all with password "mira318";
// each has the home folder root/<account> holding the given folders. Needs root for pure-ftpd
// (its sessions run as "nobody").
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef LUMISK_SOURCE_DIR
#error "LUMISK_SOURCE_DIR must name the source tree (lumisk_add_gtest defines it)"
#endif

class TestFtpServer {
public:
    enum Kind { PyFtpdLib, PureFtpd };

    static std::vector<std::string> Accounts() {
        return {"mbox1", "mbox2", "mbox3", "mbox4", "mbox5", "mbox6"};
    }
    static constexpr const char* Password = "mira318";

    // tlsCert: a PEM with the server's certificate, chain and key; the server then insists on
    // explicit TLS for the control and the data connections.
    TestFtpServer(Kind kind, const std::string& root, const std::vector<std::string>& folders,
                  const std::vector<std::string>& accountNames = Accounts(), const std::string& tlsCert = "")
        : FKind(kind), FRoot(root) {
        std::string folderList;
        for (const auto& f : folders)
            folderList += (folderList.empty() ? "" : ",") + f;
        std::string accounts;
        for (const auto& a : accountNames)
            accounts += (accounts.empty() ? "" : ",") + a;
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        const std::string script = std::string(LUMISK_SOURCE_DIR) + "/tests/net/ftpserver.py";
        std::vector<std::string> args = {
            "/usr/bin/python3", script,    "--kind",     kind == PyFtpdLib ? "pyftpdlib" : "pure-ftpd",
            "--root",           root,      "--accounts", accounts,
            "--folders",        folderList};
        if (!tlsCert.empty()) {
            args.push_back("--tls-cert");
            args.push_back(tlsCert);
        }
        FPid = ::fork();
        if (FPid == 0) {
            ::dup2(out[1], 1);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        if (FPid < 0) {
            ::close(out[0]);
            throw std::runtime_error("fork failed");
        }
        FPort = ReadPortLine(out[0]);
        ::close(out[0]);
        if (FPort <= 0) {
            Stop();
            throw std::runtime_error("FTP server did not start (no PORT line)");
        }
        if (!WaitAccepting()) {
            Stop();
            throw std::runtime_error("FTP server does not accept connections");
        }
    }

    ~TestFtpServer() { Stop(); }
    TestFtpServer(const TestFtpServer&) = delete;
    TestFtpServer& operator=(const TestFtpServer&) = delete;

    int Port() const { return FPort; }
    pid_t Pid() const { return FPid; }
    Kind ServerKind() const { return FKind; }
    std::string FilePath(const std::string& account, const std::string& remoteName) const {
        return FRoot + "/" + account + "/" + remoteName;
    }

    // SIGTERM, then SIGKILL if it has not ended after a generous bound.
    void Stop() {
        if (FPid <= 0)
            return;
        ::kill(FPid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int status = 0;
        while (::waitpid(FPid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(FPid, SIGKILL);
                ::waitpid(FPid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FPid = -1;
    }

private:
    // The first stdout line, "PORT <n>", within 60 s.
    static int ReadPortLine(int fd) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (text.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return -1;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char c[256];
            const ssize_t n = ::read(fd, c, sizeof c);
            if (n <= 0)
                return -1;
            text.append(c, static_cast<size_t>(n));
        }
        int port = -1;
        std::sscanf(text.c_str(), "PORT %d", &port);
        return port;
    }

    // pure-ftpd is exec'd right after the port is printed: retry until it listens.
    bool WaitAccepting() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(FPort));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(s);
            if (ok)
                return true;
            int status = 0;
            if (::waitpid(FPid, &status, WNOHANG) == FPid) {
                FPid = -1; // already reaped: never signal that number again
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    Kind FKind;
    std::string FRoot;
    pid_t FPid = -1;
    int FPort = -1;
};
