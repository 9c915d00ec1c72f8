// The socket layer's texts and conversions, and its behaviour against real local sockets.
#include "net/IdException.h"
#include "net/IdStack.h"
#include "net/IdTCPClient.h"
#include "net/ScriptedServer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

TEST(SocketLayer, ErrorTextsKeepTheirExactWording) {
    TIdStackBSD stack;
    EXPECT_EQ(stack.SocketErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(stack.SocketErrorText(10035), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_EQ(stack.SocketErrorText(10066), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_EQ(stack.SocketErrorText(10047),
              "Socket Error # 10047\r\nAddress family not supported by protocol family.");
    EXPECT_EQ(stack.SocketErrorText(11001), "Socket Error # 11001\r\n");
    EXPECT_EQ(stack.SocketErrorText(10003), "Socket Error # 10003\r\n");
}

TEST(SocketLayer, ErrnoValuesMapOntoWindowsSocketsNumbers) {
    EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WinsockErrorFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(WinsockErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(WinsockErrorFromErrno(EBADF), 10038);
    EXPECT_EQ(WinsockErrorFromErrno(ENOTSOCK), 10038);
    EXPECT_EQ(WinsockErrorFromErrno(EPIPE), 10058);
    EXPECT_EQ(WinsockErrorFromErrno(ESHUTDOWN), 10058);
    EXPECT_EQ(WinsockErrorFromErrno(ENOTEMPTY), 10066);
}

TEST(SocketLayer, DottedQuadsNeedFourPartsInRange) {
    EXPECT_TRUE(TIdStack::IsDottedQuad("0.0.0.0"));
    EXPECT_TRUE(TIdStack::IsDottedQuad("255.255.255.255"));
    EXPECT_TRUE(TIdStack::IsDottedQuad("127.0.0.1"));
    EXPECT_FALSE(TIdStack::IsDottedQuad("10.0.0.256"));
    EXPECT_FALSE(TIdStack::IsDottedQuad("1.2.3"));
    EXPECT_FALSE(TIdStack::IsDottedQuad("1.2.3.4.5"));
    EXPECT_FALSE(TIdStack::IsDottedQuad("1..3.4"));
    EXPECT_FALSE(TIdStack::IsDottedQuad("a.b.c.d"));
    EXPECT_FALSE(TIdStack::IsDottedQuad("-1.2.3.4"));
    EXPECT_FALSE(TIdStack::IsDottedQuad(""));
}

TEST(SocketLayer, AddressTextAndBytesConvertBothWays) {
    TIdStackBSD stack;
    const TIdInAddr bytes = stack.TextToInAddr("192.168.0.10");
    EXPECT_EQ(bytes, (TIdInAddr{192, 168, 0, 10}));
    EXPECT_EQ(stack.InAddrToText(bytes), "192.168.0.10");
    EXPECT_EQ(stack.InAddrToText({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_THROW(stack.TextToInAddr("1.x.3.4"), EConvertError);
}

TEST(SocketLayer, TokensAndCaseInsensitiveSearch) {
    std::string input = "10,0,0,5";
    EXPECT_EQ(TakeToken(input, ",", true), "10");
    EXPECT_EQ(input, "0,0,5");
    EXPECT_EQ(TakeToken(input, ";", false), "0,0,5");
    EXPECT_EQ(input, "0,0,5");
    EXPECT_EQ(TakeToken(input, ";", true), "0,0,5");
    EXPECT_EQ(input, "");

    EXPECT_EQ(LastPosNoCase("ab", "xABxab", -1), 5);
    EXPECT_EQ(LastPosNoCase("ab", "xABxab", 4), 2);
    EXPECT_EQ(LastPosNoCase("ab", "xABxab", 100), 5);
    EXPECT_EQ(LastPosNoCase("zz", "xABxab", -1), 0);
    EXPECT_EQ(LastPosNoCase(" ", "227 ok 1,2", -1), 7);
}

TEST(SocketLayer, HostNamesResolveOrFailWithTheLookupCode) {
    TIdStackBSD stack;
    EXPECT_EQ(stack.HostToAddress("LocalHost"), "127.0.0.1");
    EXPECT_EQ(stack.HostToAddress("10.1.2.3"), "10.1.2.3");
    // A label longer than 63 characters fails inside the resolver before any query is sent,
    // so the test makes no traffic beyond this machine.
    try {
        stack.HostToAddress(std::string(70, 'a') + ".invalid");
        FAIL() << "lookup succeeded";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.SocketErrorCode, Id_WSAHOST_NOT_FOUND);
        EXPECT_EQ(e.Message(), "Socket Error # 11001\r\n");
    }
}

TEST(SocketLayer, CheckSocketResultRaisesOnlyForUnignoredFailures) {
    TIdStackBSD stack;
    EXPECT_FALSE(stack.CheckSocketResult(0));
    EXPECT_FALSE(stack.CheckSocketResult(5));
    int port = 0;
    const int listener = ListenLocal(port);
    // Binding a second socket to the same port fails with "address in use".
    const int s = stack.SockCreate(Id_PF_INET, Id_SOCK_STREAM, 0);
    EXPECT_TRUE(stack.CheckSocketResult(stack.SockBind(s, Id_PF_INET, "127.0.0.1", port), {10048}));
    try {
        stack.CheckSocketResult(stack.SockBind(s, Id_PF_INET, "127.0.0.1", port));
        FAIL() << "no exception";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.SocketErrorCode, 10048);
        EXPECT_EQ(e.Message(), "Socket Error # 10048\r\nAddress already in use.");
    }
    stack.SockClose(s);
    ::close(listener);
}

TEST(SocketLayer, ReadinessWaitHonoursTimeoutAndSetSize) {
    TIdStackBSD stack;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    TIdSocketList readList{fds[0]};
    EXPECT_EQ(stack.SockSelect(&readList, nullptr, nullptr, 0), 0);
    EXPECT_TRUE(readList.empty());
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    readList = {fds[1], fds[0]};
    // Without limit it returns as soon as something is ready, listing only that.
    EXPECT_EQ(stack.SockSelect(&readList, nullptr, nullptr, WaitForever), 1);
    EXPECT_EQ(readList, TIdSocketList{fds[0]});
    TIdSocketList tooMany(65, fds[0]);
    EXPECT_THROW(stack.SockSelect(&tooMany, nullptr, nullptr, 0), EIdStackSetSizeExceeded);
    TIdSocketList sixtyFour(64, fds[0]);
    EXPECT_EQ(stack.SockSelect(&sixtyFour, nullptr, nullptr, 0), 64);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(SocketLayer, LastComponentReleasesTheLayerAndANewOneStartsItAgain) {
    ASSERT_EQ(SocketLayer, nullptr);
    {
        TIdTCPClient a;
        TIdTCPClient b;
        EXPECT_NE(SocketLayer, nullptr);
        EXPECT_EQ(SocketLayerUsers, 2);
    }
    EXPECT_EQ(SocketLayer, nullptr);
    EXPECT_EQ(SocketLayerUsers, 0);
    TIdTCPClient c;
    EXPECT_NE(SocketLayer, nullptr);
}

TEST(SocketLayer, RefusedConnectLeavesTheClientClosedAndReusable) {
    int port = 0;
    const int probe = ListenLocal(port);
    ::close(probe); // nothing listens on port now
    TIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = port;
    try {
        client.OpenConnection();
        FAIL() << "connected";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.SocketErrorCode, 10061);
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_FALSE(client.IsConnected());
    const int listener = ListenLocal(port);
    client.Port = port;
    client.OpenConnection();
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(client.Endpoint().RemotePort, port);
    EXPECT_EQ(client.Endpoint().IP, "127.0.0.1");
    EXPECT_THROW(client.OpenConnection(), EIdAlreadyConnected);
    client.CloseConnection();
    ::close(listener);
}

TEST(SocketLayer, ProxiesAreRefusedRatherThanBypassed) {
    int port = 0;
    const int listener = ListenLocal(port);
    TIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = port;
    client.SocksInfo.Version = svSocks5;
    EXPECT_THROW(client.OpenConnection(), EIdSocksVersionNotSupported);
    EXPECT_FALSE(client.IsConnected());
    ::close(listener);
}
