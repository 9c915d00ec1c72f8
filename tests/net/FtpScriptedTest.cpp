// The FTP client against a scripted server, for what real servers will not do: odd but valid
// replies, failures at awkward moments, and silence.
#include "net/IdException.h"
#include "net/IdFTP.h"
#include "net/ScriptedServer.h"
#include "net/TestCertificates.h"
#include "toolkit/StringUtils.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <random>

namespace {

const std::string Greeting = "220 ready\r\n";

// Plays greeting and log-in (user, pass, type, syst) from the server's side.
void LogIn(ScriptedPeer& peer) {
    peer.Send(Greeting);
    peer.Answer("331 password\r\n");
    peer.Answer("230 in\r\n");
    peer.Answer("200 type set\r\n");
    peer.Answer("215 UNIX Type: L8\r\n");
}

// Answers a PORT line and returns the announced port.
int AcceptPort(ScriptedPeer& peer) {
    const std::string line = peer.ReadLine();
    int a, b, c, d, hi, lo;
    if (std::sscanf(line.c_str(), "PORT %d,%d,%d,%d,%d,%d", &a, &b, &c, &d, &hi, &lo) != 6)
        return -1;
    peer.Send("200 PORT ok\r\n");
    return hi * 256 + lo;
}

std::string PassiveReply(int port, const std::string& form) {
    return Format(form.c_str(), port / 256, port % 256);
}

// Offers a data port in the passive reply form, takes the client's connection on it and
// answers the store with preliminary. Returns the data socket; listener is for closing.
int AcceptPassiveStore(ScriptedPeer& peer, const std::string& form, const char* preliminary, int& listener) {
    int dataPort = 0;
    listener = ListenLocal(dataPort);
    peer.Answer(PassiveReply(dataPort, form));
    const int data = AcceptWithin(listener);
    peer.Answer(preliminary);
    return data;
}

TMemoryStream MakeData(size_t size) {
    TMemoryStream stream;
    std::mt19937 random(42);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    stream.Write(data.data(), static_cast<int32_t>(data.size()));
    stream.SetPosition(0);
    return stream;
}

std::string Contents(TMemoryStream& stream) {
    return std::string(stream.Data().begin(), stream.Data().end());
}

void Prepare(TIdFTP& ftp, int port, int32_t timeout = 10000) {
    ftp.Host = "127.0.0.1";
    ftp.Port = port;
    ftp.User = "mbox2";
    ftp.Password = "mira318";
    ftp.ReadTimeout = timeout;
}

} // namespace

TEST(FtpScripted, ActiveUploadPutsExactlyTheseBytesOnTheWire) {
    std::string received;
    ScriptedServer server([&](ScriptedPeer& peer) {
        peer.Send("220-Welcome\r\n220-to the box\r\n220 ready\r\n");
        peer.Answer("230 no password needed\r\n");
        peer.Answer("200 type set\r\n");
        peer.Answer("500 syst? never heard of it\r\n");
        const int port = AcceptPort(peer);
        peer.Answer("150 go ahead\r\n");
        const int data = ConnectLocal(port);
        received = ReadAll(data);
        ::close(data);
        peer.Send("226 done\r\n");
        peer.Answer("213 100000\r\n");
    });
    TIdFTP ftp;
    Prepare(ftp, server.Port());
    TMemoryStream data = MakeData(100000);
    ftp.OpenSession(true);
    EXPECT_EQ(ftp.SystemDescription(), "Unknown");
    ftp.StoreStream(data, "12345/08.12.2026_14:05:09.wav", false);
    const std::string localIp = ftp.Endpoint().IP;
    ftp.SendQuit();
    const std::string wire = server.Join();
    EXPECT_TRUE(received == Contents(data)) << received.size() << " bytes arrived";
    ASSERT_EQ(localIp, "127.0.0.1");
    const size_t portLine = wire.find("PORT 127,0,0,1,");
    ASSERT_NE(portLine, std::string::npos);
    const std::string portText = wire.substr(portLine, wire.find("\r\n", portLine) - portLine);
    EXPECT_EQ(wire,
              "user mbox2\r\ntype I\r\nsyst\r\n" + portText +
                  "\r\nSTOR 12345/08.12.2026_14:05:09.wav\r\nSIZE 12345/08.12.2026_14:05:09.wav\r\nQuit\r\n");
}

TEST(FtpScripted, PassiveRepliesInEveryFormStoreTheFile) {
    const std::string forms[] = {"227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n",
                                 "227 ok 127,0,0,1,%d,%d\r\n",
                                 "227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n"};
    for (const std::string& form : forms) {
        SCOPED_TRACE(form);
        std::string received;
        ScriptedServer server([&](ScriptedPeer& peer) {
            LogIn(peer);
            int listener = -1;
            const int data = AcceptPassiveStore(peer, form, "125 data connection already open\r\n", listener);
            received = ReadAll(data);
            ::close(data);
            ::close(listener);
            peer.Send("250 stored\r\n");
        });
        TIdFTP ftp;
        Prepare(ftp, server.Port());
        ftp.Passive = true;
        TMemoryStream data = MakeData(70000);
        ftp.OpenSession(true);
        EXPECT_EQ(ftp.SystemDescription(), " UNIX Type: L8");
        ftp.StoreStream(data, "", false);
        ftp.SendQuit();
        const std::string wire = server.Join();
        EXPECT_TRUE(received == Contents(data)) << received.size() << " bytes arrived";
        EXPECT_EQ(wire, "user mbox2\r\npass mira318\r\ntype I\r\nsyst\r\nPASV\r\nSTOU \r\nQuit\r\n");
    }
}

TEST(FtpScripted, Completion426IsFollowedByTheRealVerdict) {
    for (const std::string verdict : {"226 fine after all\r\n", "451 local error\r\n"}) {
        SCOPED_TRACE(verdict);
        ScriptedServer server([&](ScriptedPeer& peer) {
            LogIn(peer);
            const int port = AcceptPort(peer);
            peer.Answer("150 go\r\n");
            const int data = ConnectLocal(port);
            ReadAll(data);
            ::close(data);
            peer.Send("426 connection closed; transfer aborted\r\n" + verdict);
        });
        TIdFTP ftp;
        Prepare(ftp, server.Port());
        TMemoryStream data = MakeData(10);
        ftp.OpenSession(true);
        if (verdict[0] == '2') {
            ftp.StoreStream(data, "a/b", true);
            EXPECT_EQ(ftp.ReplyCode(), 226);
        } else {
            try {
                ftp.StoreStream(data, "a/b", true);
                FAIL() << "stored";
            } catch (const EIdProtocolReplyError& e) {
                EXPECT_EQ(e.ErrorReplyCode, 451);
                EXPECT_EQ(e.Message(), "451 local error");
            }
        }
        EXPECT_TRUE(ftp.IsConnected());
        ftp.SendQuit();
        EXPECT_NE(server.Join().find("APPE a/b\r\n"), std::string::npos);
    }
}

TEST(FtpScripted, RefusedLogInStepsCloseTheConnection) {
    struct Case {
        std::function<void(ScriptedPeer&)> script;
        int code;
    };
    const Case cases[] = {
        {[](ScriptedPeer& peer) { peer.Send("421 too many users\r\n"); }, 421},
        {[](ScriptedPeer& peer) {
             peer.Send(Greeting);
             peer.Answer("332 need account\r\n");
         },
         332},
        {[](ScriptedPeer& peer) {
             peer.Send(Greeting);
             peer.Answer("230 in\r\n");
             peer.Answer("200 ok\r\n");
             peer.Answer("502 syst not implemented\r\n");
         },
         502},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ScriptedServer server(c.script);
        TIdFTP ftp;
        Prepare(ftp, server.Port());
        try {
            ftp.OpenSession(true);
            FAIL() << "logged in";
        } catch (const EIdProtocolReplyError& e) {
            EXPECT_EQ(e.ErrorReplyCode, c.code);
        }
        EXPECT_FALSE(ftp.IsConnected());
        ftp.SendQuit(); // nothing to end: sends nothing, raises nothing
        server.Join();
    }
}

TEST(FtpScripted, ServerHangingUpMidReplyClosesTheSession) {
    ScriptedServer server([](ScriptedPeer& peer) {
        peer.Send("220-first part\r\n220-second");
        peer.Close();
    });
    TIdFTP ftp;
    Prepare(ftp, server.Port());
    EXPECT_THROW(ftp.OpenSession(true), EIdConnClosedGracefully);
    EXPECT_FALSE(ftp.IsConnected());
    server.Join();
}

TEST(FtpScripted, ServerDroppingTheDataConnectionFailsTheStoreButKeepsTheSession) {
    ScriptedServer server([](ScriptedPeer& peer) {
        LogIn(peer);
        int listener = -1;
        const int data = AcceptPassiveStore(peer, "227 (127,0,0,1,%d,%d)\r\n", "150 go\r\n", listener);
        char buffer[1000];
        ::recv(data, buffer, sizeof buffer, 0);
        // Hang up hard (RST) with unread data pending.
        linger hard{1, 0};
        ::setsockopt(data, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(data);
        ::close(listener);
        peer.Answer("200 still here\r\n");
    });
    TIdFTP ftp;
    Prepare(ftp, server.Port());
    ftp.Passive = true;
    TMemoryStream data = MakeData(32u << 20);
    ftp.OpenSession(true);
    try {
        ftp.StoreStream(data, "12345/x.wav", false);
        FAIL() << "stored";
    } catch (const EIdSocketError& e) {
        EXPECT_TRUE(e.SocketErrorCode == 10054 || e.SocketErrorCode == 10058) << e.Message();
    } catch (const EIdConnClosedGracefully&) {
    }
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_TRUE(ftp.IsConnected());
    EXPECT_EQ(ftp.SendCommand("NOOP", 200), 200);
    ftp.SendQuit();
    server.Join();
}

namespace {

void ExpectTimedOut(const std::function<void()>& call) {
    try {
        call();
        FAIL() << "returned";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.SocketErrorCode, 10060);
        EXPECT_EQ(e.Message(), "Socket Error # 10060\r\nConnection timed out.");
    }
}

} // namespace

TEST(FtpScriptedBounds, SilentServerTimesOutTheGreeting) {
    ScriptedServer server([](ScriptedPeer& peer) { peer.ReadLine(); });
    TIdFTP ftp;
    Prepare(ftp, server.Port(), 200);
    ExpectTimedOut([&] { ftp.OpenSession(true); });
    EXPECT_FALSE(ftp.IsConnected());
    server.Join();
}

TEST(FtpScriptedBounds, ServerThatNeverConnectsBackTimesOutTheActiveStore) {
    ScriptedServer server([](ScriptedPeer& peer) {
        LogIn(peer);
        AcceptPort(peer);
        peer.Answer("150 opening (but never will)\r\n");
        peer.Answer("200 still here\r\n");
    });
    TIdFTP ftp;
    Prepare(ftp, server.Port(), 300);
    TMemoryStream data = MakeData(100);
    ftp.OpenSession(true);
    ExpectTimedOut([&] { ftp.StoreStream(data, "12345/x.wav", false); });
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_EQ(ftp.SendCommand("NOOP", 200), 200);
    ftp.SendQuit();
    server.Join();
}

TEST(FtpScriptedBounds, DataPeerThatStopsReadingTimesOutTheSend) {
    ScriptedServer server([](ScriptedPeer& peer) {
        LogIn(peer);
        int listener = -1;
        const int data = AcceptPassiveStore(peer, "227 (127,0,0,1,%d,%d)\r\n", "150 go\r\n", listener);
        // Never read the data; wait until the client gives up on the control connection.
        peer.DrainUntilClosed();
        ::close(data);
        ::close(listener);
    });
    TIdFTP ftp;
    Prepare(ftp, server.Port(), 300);
    ftp.Passive = true;
    TMemoryStream data = MakeData(64u << 20);
    ftp.OpenSession(true);
    ExpectTimedOut([&] { ftp.StoreStream(data, "12345/x.wav", false); });
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    ftp.CloseConnection();
    server.Join();
}

TEST(FtpScriptedBounds, ConnectThatNeverCompletesTimesOut) {
    // A listener whose accept queue is full drops further connection requests, so the
    // handshake never completes (all on this machine). Backlog 0 holds one connection.
    int port = 0;
    const int listener = ListenLocal(port);
    ::listen(listener, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(s);
    }
    TIdFTP ftp;
    Prepare(ftp, port, 300);
    ExpectTimedOut([&] { ftp.OpenSession(true); });
    EXPECT_FALSE(ftp.IsConnected());
    for (int s : fillers)
        ::close(s);
    ::close(listener);
}

TEST(FtpScriptedTls, RefusedOrBrokenTlsNeverSendsTheLogIn) {
    struct Case {
        TIdFTPTls tls;
        std::string afterAuth; // the server's answer to AUTH TLS (and what follows it)
        std::string message;   // start of the error's text; empty: the log-in goes on in clear
    };
    const Case cases[] = {
        {TIdFTPTls::Require, "504 Security mechanism not implemented\r\n",
         "TLS: the server refused AUTH TLS: 504 Security"},
        {TIdFTPTls::Try, "431 Need some unavailable resource\r\n", "TLS: the server refused AUTH TLS: 431"},
        // Accepted, then no TLS at all: no second try in clear.
        {TIdFTPTls::Try, "234 go ahead\r\n", "TLS: handshake with 127.0.0.1 failed"},
        // Clear-text lines riding along with the acceptance could pose as protected replies.
        {TIdFTPTls::Require, "234 go ahead\r\n230 logged in already\r\n", "TLS: the server sent more"},
        {TIdFTPTls::Try, "500 AUTH not understood\r\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.afterAuth);
        ScriptedServer server([&](ScriptedPeer& peer) {
            peer.Send(Greeting);
            peer.Answer(c.afterAuth);
            if (c.afterAuth.rfind("234", 0) == 0) {
                peer.Send("this is not a TLS record\r\n");
                return;
            }
            if (c.message.empty()) {
                peer.Answer("331 password\r\n");
                peer.Answer("230 in\r\n");
                peer.Answer("200 type set\r\n");
                peer.Answer("215 UNIX\r\n");
            }
        });
        TIdFTP ftp;
        Prepare(ftp, server.Port());
        ftp.Tls = c.tls;
        if (c.message.empty()) {
            ftp.OpenSession(true);
            EXPECT_FALSE(ftp.TlsActive());
            ftp.SendQuit();
            EXPECT_EQ(server.Join(), "AUTH TLS\r\nuser mbox2\r\npass mira318\r\ntype I\r\nsyst\r\nQuit\r\n");
            continue;
        }
        try {
            ftp.OpenSession(true);
            FAIL() << "logged in";
        } catch (const EIdTlsError& e) {
            EXPECT_EQ(e.Message().substr(0, c.message.size()), c.message) << e.Message();
        }
        EXPECT_FALSE(ftp.IsConnected());
        // Not a byte of the log-in, let alone the password, went out.
        const std::string wire = server.Join();
        EXPECT_EQ(wire.substr(0, 10), "AUTH TLS\r\n");
        EXPECT_EQ(wire.find("user"), std::string::npos) << wire;
        EXPECT_EQ(wire.find("pass"), std::string::npos) << wire;
    }
}

TEST(FtpScriptedTls, ServerThatNeverHandshakesTimesOut) {
    ScriptedServer server([](ScriptedPeer& peer) {
        peer.Send(Greeting);
        peer.Answer("234 go ahead\r\n");
        peer.DrainUntilClosed(); // takes the client's hello and says nothing
    });
    TIdFTP ftp;
    Prepare(ftp, server.Port(), 300);
    ftp.Tls = TIdFTPTls::Require;
    ExpectTimedOut([&] { ftp.OpenSession(true); });
    EXPECT_FALSE(ftp.IsConnected());
    server.Join();
}

TEST(FtpScriptedTls, ServerSilentAfterTheHandshakeTimesOutTheReply) {
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("lumisk-tls-silent-" + std::to_string(::getpid())))
            .string();
    {
        TestCertificates certificates(folder);
        ScriptedServer server([&](ScriptedPeer& peer) {
            peer.Send(Greeting);
            peer.Answer("234 go ahead\r\n");
            SSL_CTX* context = SSL_CTX_new(TLS_server_method());
            SSL_CTX_use_certificate_chain_file(context, certificates.ServerPem().c_str());
            SSL_CTX_use_PrivateKey_file(context, certificates.ServerPem().c_str(), SSL_FILETYPE_PEM);
            SSL* ssl = SSL_new(context);
            SSL_set_fd(ssl, peer.Socket());
            if (SSL_accept(ssl) == 1) {
                // Takes the user line, answers nothing, waits for the client to leave.
                char line[256];
                while (SSL_read(ssl, line, sizeof line) > 0) {
                }
            }
            SSL_free(ssl);
            SSL_CTX_free(context);
        });
        TIdFTP ftp;
        Prepare(ftp, server.Port(), 300);
        ftp.Tls = TIdFTPTls::Require;
        ftp.TlsCaFile = certificates.Ca();
        ExpectTimedOut([&] { ftp.OpenSession(true); });
        EXPECT_FALSE(ftp.IsConnected());
        server.Join();
    }
    std::filesystem::remove_all(folder);
}

TEST(FtpScriptedPassive, DataGoesToTheControlPeerUnlessTheReplyAddressIsAsked) {
    // The reply names 127.0.0.2; the same port listens on 127.0.0.1 (the control peer) too.
    for (bool useReply : {false, true}) {
        SCOPED_TRACE(useReply ? "reply" : "peer");
        int port = 0;
        const int atPeer = ListenLocal(port);
        const int elsewhere = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(0x7F000002);
        ASSERT_EQ(::bind(elsewhere, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(elsewhere, 1), 0);
        std::string receivedAtPeer, receivedElsewhere;
        ScriptedServer server([&](ScriptedPeer& peer) {
            LogIn(peer);
            peer.Answer(PassiveReply(port, "227 Entering Passive Mode (127,0,0,2,%d,%d)\r\n"));
            pollfd both[2] = {{atPeer, POLLIN, 0}, {elsewhere, POLLIN, 0}};
            if (::poll(both, 2, 30000) < 1)
                return;
            const bool toPeer = (both[0].revents & POLLIN) != 0;
            const int data = ::accept4(toPeer ? atPeer : elsewhere, nullptr, nullptr, SOCK_CLOEXEC);
            peer.Answer("150 go\r\n");
            (toPeer ? receivedAtPeer : receivedElsewhere) = ReadAll(data);
            ::close(data);
            peer.Send("226 done\r\n");
            peer.Answer("502 SIZE not implemented\r\n");
        });
        TIdFTP ftp;
        Prepare(ftp, server.Port());
        ftp.Passive = true;
        ftp.PassiveUseReplyAddress = useReply;
        TMemoryStream data = MakeData(5000);
        ftp.OpenSession(true);
        ftp.StoreStream(data, "12345/x.wav", false);
        ftp.SendQuit();
        server.Join();
        EXPECT_TRUE((useReply ? receivedElsewhere : receivedAtPeer) == Contents(data));
        EXPECT_TRUE((useReply ? receivedAtPeer : receivedElsewhere).empty());
        ::close(atPeer);
        ::close(elsewhere);
    }
}

namespace {

// Takes an active store's data connection and reads it at most limit bytes, pausing pause
// after every read (a slow disk or a slow link on the server's side).
std::string TakeData(int data, size_t limit, std::chrono::milliseconds pause) {
    std::string received;
    char buffer[8192];
    while (received.size() < limit) {
        pollfd p{data, POLLIN, 0};
        if (::poll(&p, 1, 30000) != 1)
            break;
        const ssize_t n = ::recv(data, buffer, std::min(sizeof buffer, limit - received.size()), 0);
        if (n <= 0)
            break;
        received.append(buffer, static_cast<size_t>(n));
        if (pause.count() > 0)
            std::this_thread::sleep_for(pause);
    }
    return received;
}

// A data connection to the announced port with a small receive window, so that most of the
// file waits in the client's socket buffer after its last write.
int ConnectNarrow(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int window = 16384;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
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

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(FtpScriptedVerdict, SlowServerIsWaitedForWhileItTakesBytesAndAStalledOneTimesOut) {
    // Reading 2 MB at about 2 MB/s lasts several times the client's 300 ms reply bound, most
    // of it after the client's last write; the stalled server stops taking bytes for good.
    const size_t size = 2u << 20;
    for (bool stalls : {false, true}) {
        SCOPED_TRACE(stalls ? "stalled" : "slow");
        std::string received;
        ScriptedServer server([&](ScriptedPeer& peer) {
            LogIn(peer);
            const int port = AcceptPort(peer);
            peer.Answer("150 go\r\n");
            const int data = ConnectNarrow(port);
            received = TakeData(data, stalls ? 256u << 10 : size + 1, std::chrono::milliseconds(4));
            if (stalls) {
                peer.DrainUntilClosed();
            } else {
                peer.Send("226 done\r\n");
                peer.Answer("213 " + std::to_string(received.size()) + "\r\n");
            }
            ::close(data);
        });
        TIdFTP ftp;
        Prepare(ftp, server.Port(), 300);
        TMemoryStream data = MakeData(size);
        ftp.OpenSession(true);
        if (stalls) {
            ExpectTimedOut([&] { ftp.StoreStream(data, "12345/x.wav", false); });
            ftp.CloseConnection();
        } else {
            ftp.StoreStream(data, "12345/x.wav", false);
            ftp.SendQuit();
        }
        const std::string wire = server.Join();
        EXPECT_EQ(Count(wire, "STOR "), 1u);
        if (!stalls) {
            EXPECT_TRUE(received == Contents(data)) << received.size() << " bytes arrived";
        }
    }
}

TEST(FtpScriptedVerdict, A226CountsOnlyWhenTheServerTookEveryByteAndSizeAgrees) {
    // The server reads the whole file or cuts the data connection after 20000 bytes (closing
    // with the rest unread resets it), says 226 either way, then answers SIZE as given.
    const struct {
        bool cut;
        const char* sizeReply;
        const char* failure; // "" when stored
    } cases[] = {{true, "502 not implemented\r\n", "reset"},
                 {false, "213 20000\r\n", "short store 20000 of 57206 bytes"},
                 {false, "213 57206\r\n", ""},
                 {false, "500 SIZE? never heard of it\r\n", ""},
                 {false, "504 not for this type\r\n", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.cut ? "cut, " : "whole, ") + c.sizeReply);
        ScriptedServer server([&](ScriptedPeer& peer) {
            LogIn(peer);
            const int port = AcceptPort(peer);
            peer.Answer("150 go\r\n");
            const int data = ConnectLocal(port);
            TakeData(data, c.cut ? 20000 : 57206, std::chrono::milliseconds(0));
            // The cut comes only once the client has written its last byte and ended sending.
            pollfd ended{data, POLLRDHUP, 0};
            ::poll(&ended, 1, 30000);
            ::close(data);
            peer.Send("226 done\r\n");
            peer.Answer(c.sizeReply);
        });
        TIdFTP ftp;
        Prepare(ftp, server.Port());
        TMemoryStream data = MakeData(57206);
        ftp.OpenSession(true);
        std::string failure;
        try {
            ftp.StoreStream(data, "12345/x.wav", false);
        } catch (const EIdShortStore& e) {
            // Not a reply error: the outbox stores it again under the same name.
            EXPECT_EQ(dynamic_cast<const EIdProtocolReplyError*>(&e), nullptr);
            failure = e.Message();
        } catch (const EIdSocketError& e) {
            EXPECT_TRUE(e.SocketErrorCode == 10054 || e.SocketErrorCode == 10058) << e.Message();
            failure = "reset";
        }
        EXPECT_EQ(failure, c.failure);
        EXPECT_EQ(ftp.DataConnection(), nullptr);
        ftp.CloseConnection();
        const std::string wire = server.Join();
        EXPECT_EQ(Count(wire, "SIZE 12345/x.wav\r\n"), c.cut ? 0u : 1u);
    }
}
