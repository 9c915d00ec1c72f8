// Line and reply reading, sending, and the FTP address formats, over a local socket pair.
#include "net/IdException.h"
#include "net/IdFTP.h"
#include "net/IdTCPConnection.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <limits>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A connection whose peer is the test: Feed() writes what the "server" says.
class Wire : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        conn.Endpoint().AttachSocket(fds[0]);
        peer = fds[1];
        conn.ReadTimeout = 5000;
    }
    void TearDown() override {
        if (peer >= 0)
            ::close(peer);
    }
    void Feed(const std::string& text) {
        ASSERT_EQ(::write(peer, text.data(), text.size()), ssize_t(text.size()));
    }
    void HangUp() {
        ::close(peer);
        peer = -1;
    }
    std::string Sent() {
        std::string data;
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            data.append(buffer, static_cast<size_t>(n));
        return data;
    }

    TIdTCPConnection conn;
    int peer = -1;
};

} // namespace

TEST_F(Wire, SingleAndMultiLineRepliesEndAtTheirMarker) {
    Feed("220 Ready\r\n");
    EXPECT_EQ(conn.ReadReply({220}), 220);
    EXPECT_EQ(conn.ReplyLines(), (std::vector<std::string>{"220 Ready"}));

    Feed("220-Welcome\r\nsecond line\r\n220 Ready\r\n");
    EXPECT_EQ(conn.ReadReply({220}), 220);
    EXPECT_EQ(conn.ReplyLines().size(), 3u);

    // "220-still" is not the end marker; blank lines inside are skipped; an indented
    // "  230 done" (trimmed) and a lower-case "+ok" also count.
    Feed("220-Welcome\r\n220-still\r\n\r\n220 done\r\n230\r\n");
    EXPECT_EQ(conn.ReadReply({}), 220);
    EXPECT_EQ(conn.ReplyLines(), (std::vector<std::string>{"220-Welcome", "220-still", "220 done"}));
    EXPECT_EQ(conn.ReadReply({230}), 230);
    EXPECT_EQ(conn.LastReplyLine(), "230");
}

TEST_F(Wire, ReplyCodesFromPop3MarkersAndFromNonNumbers) {
    Feed("+ok fine\r\n-ERR nope\r\nabc\r\n\n\n  250 trimmed  \n");
    EXPECT_EQ(conn.ReadReply({}), 1);
    EXPECT_EQ(conn.ReadReply({}), 0);
    try {
        conn.ReadReply({200});
        FAIL() << "accepted";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ErrorReplyCode, 0);
        EXPECT_EQ(e.Message(), "abc");
    }
    EXPECT_EQ(conn.ReadReply({250}), 250);
    EXPECT_EQ(conn.LastReplyLine(), "250 trimmed");
}

TEST_F(Wire, LineEndsAndExplicitTerminators) {
    Feed("one\r\ntwo\nthree\r|four|");
    EXPECT_EQ(conn.ReadLine("", 1000), "one");
    EXPECT_EQ(conn.ReadLine("", 1000), "two");
    EXPECT_EQ(conn.ReadLine("|", 1000), "three\r");
    EXPECT_EQ(conn.ReadLine("|", 1000), "four");
    // Nothing more arrives: the line times out empty.
    EXPECT_EQ(conn.ReadLine("", 50), "");
    EXPECT_TRUE(conn.LineTimedOut());
}

TEST_F(Wire, PeerClosingAfterAFullLineLeavesItReadable) {
    Feed("220 last words\r\n");
    HangUp();
    EXPECT_EQ(conn.ReadReply({220}), 220);
    EXPECT_THROW(conn.ReadReply({}), EIdConnClosedGracefully);
    EXPECT_FALSE(conn.IsConnected());
}

TEST_F(Wire, PeerClosingDuringAHalfLineRaisesClosedGracefully) {
    Feed("220-first\r\n220 unfinish");
    HangUp();
    EXPECT_THROW(conn.ReadReply({220}), EIdConnClosedGracefully);
}

TEST_F(Wire, SilentPeerFailsTheReplyWithTimedOut) {
    conn.ReadTimeout = 100;
    Feed("220-greeting begins\r\n");
    try {
        conn.ReadReply({220});
        FAIL() << "returned";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.SocketErrorCode, 10060);
        EXPECT_EQ(e.Message(), "Socket Error # 10060\r\nConnection timed out.");
    }
}

TEST(SlowPeer, GetsNoMoreThanTheTimeoutForAWholeReply) {
    // Every byte (or line) comes well within the bound, yet the reply as a whole never would:
    // one endless slow line, then a multi-line reply whose lines keep coming.
    const std::string pieces[] = {"2", "220-more of the greeting\r\n"};
    for (const std::string& piece : pieces) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        TIdTCPConnection conn;
        conn.Endpoint().AttachSocket(fds[0]);
        conn.ReadTimeout = 300;
        // The peer keeps going for a minute: the reader must have given up long before.
        std::atomic<bool> stop{false}, ranOut{false};
        std::thread trickle([&, peer = fds[1]] {
            for (int i = 0; i < 3000 && !stop; ++i) {
                (void)!::send(peer, piece.data(), piece.size(), MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            ranOut = !stop;
        });
        try {
            conn.ReadReply({220});
            ADD_FAILURE() << piece << ": returned after " << conn.ReplyLines().size() << " lines";
        } catch (const EIdSocketError& e) {
            EXPECT_EQ(e.SocketErrorCode, 10060) << piece;
        }
        EXPECT_FALSE(ranOut) << piece;
        stop = true;
        trickle.join();
        ::close(fds[1]);
    }
}

TEST(FastPeer, EndlessContinuationLinesStopAtTheCapsOrTheTimeout) {
    // The peer streams "220-" lines as fast as it can: every wait finds data at once, so only a
    // bound checked on every line stops the reader. With the default caps the reply fails on
    // its length; with the caps lifted, on the time-out.
    for (bool capped : {true, false}) {
        SCOPED_TRACE(capped ? "capped" : "uncapped");
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        TIdTCPConnection conn;
        conn.Endpoint().AttachSocket(fds[0]);
        conn.ReadTimeout = 300;
        if (!capped) {
            conn.MaxReplyLines = std::numeric_limits<int32_t>::max();
            conn.MaxReplyBytes = std::numeric_limits<int32_t>::max();
        }
        std::string lines;
        for (int i = 0; i < 2000; ++i)
            lines += "220-the greeting goes on and on\r\n";
        // A full socket buffer before the first read, and the writer far faster than the
        // reader from then on: every wait of the reader finds data at once.
        const int big = 4 << 20;
        ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        while (::send(fds[1], lines.data(), lines.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
        }
        std::atomic<bool> stop{false}, ranOut{false};
        std::thread stream([&, peer = fds[1]] {
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!stop && std::chrono::steady_clock::now() < giveUp)
                if (::send(peer, lines.data(), lines.size(), MSG_NOSIGNAL) < 0)
                    return;
            ranOut = !stop;
        });
        try {
            conn.ReadReply({220});
            ADD_FAILURE() << "returned";
        } catch (const EIdReplyTooLong& e) {
            EXPECT_TRUE(capped);
            EXPECT_EQ(e.Message(), "Reply too long: more than 1000 lines.");
            EXPECT_EQ(conn.ReplyLines().size(), 1000u);
        } catch (const EIdSocketError& e) {
            EXPECT_FALSE(capped);
            EXPECT_EQ(e.SocketErrorCode, 10060);
        }
        EXPECT_FALSE(ranOut);
        EXPECT_LE(conn.InputBuffer().Size(), conn.RecvBufferSize + conn.MaxLineLength);
        stop = true;
        ::shutdown(fds[1], SHUT_RDWR);
        stream.join();
        ::close(fds[1]);
    }
}

TEST_F(Wire, OverlongLineFailsInsteadOfGrowingWithoutEnd) {
    conn.MaxLineLength = 1000;
    Feed(std::string(1000, 'x') + "\r\n");
    EXPECT_EQ(conn.ReadLine("", 1000).size(), 1000u); // the limit itself is fine
    Feed(std::string(1001, 'y') + "\n");
    EXPECT_THROW(conn.ReadLine("", 1000), EIdLineTooLong);
}

TEST_F(Wire, EndlessReplyLineStopsAtTheDefaultCap) {
    // A peer that streams bytes without a line end: the read must give up at 64 KiB, long
    // before the peer stops sending.
    const std::string chunk(16384, 'z');
    for (int i = 0; i < 6; ++i)
        Feed(chunk);
    try {
        conn.ReadReply({220});
        FAIL() << "returned";
    } catch (const EIdLineTooLong& e) {
        EXPECT_NE(e.Message().find("65536"), std::string::npos);
    }
    EXPECT_LE(conn.InputBuffer().Size(), 65536 + 32768);
}

TEST_F(Wire, WriteLineSendsTheTextAndCrLf) {
    std::vector<std::string> dialogue;
    conn.OnDialogue = [&](TIdComponent*, bool outgoing, const std::string& line) {
        dialogue.push_back((outgoing ? "> " : "< ") + line);
    };
    conn.WriteLine("NOOP");
    EXPECT_EQ(Sent(), "NOOP\r\n");
    Feed("200 ok\r\n");
    EXPECT_EQ(conn.SendCommand(std::string(1, '\0'), 200), 200); // reads only
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(dialogue, (std::vector<std::string>{"> NOOP", "< 200 ok"}));
}

TEST_F(Wire, StreamDataGoesInChunksWithWorkEvents) {
    std::vector<std::string> events;
    conn.OnWorkBegin = [&](TIdComponent*, TWorkMode, int64_t max) {
        events.push_back("begin " + std::to_string(max));
    };
    conn.OnWork = [&](TIdComponent*, TWorkMode, int64_t count) { events.push_back(std::to_string(count)); };
    conn.OnWorkEnd = [&](TIdComponent*, TWorkMode) { events.push_back("end"); };
    TMemoryStream empty;
    conn.WriteStreamData(empty, true, false);
    EXPECT_EQ(events, (std::vector<std::string>{"begin 0", "end"}));
    EXPECT_EQ(Sent(), "");

    events.clear();
    conn.SendBufferSize = 4;
    TMemoryStream data;
    data.Write("0123456789", 10);
    conn.WriteStreamData(data, true, true);
    EXPECT_EQ(Sent(), std::string("\0\0\0\x0a", 4) + "0123456789");
    // The length prefix goes out before the work starts, so it is not counted.
    EXPECT_EQ(events, (std::vector<std::string>{"begin 10", "4", "8", "10", "end"}));
}

TEST_F(Wire, TakingMoreThanIsBufferedFails) {
    Feed("abc\n");
    EXPECT_EQ(conn.ReadLine("", 1000), "abc");
    EXPECT_THROW(conn.TakeInput(1), EIdNotEnoughDataInBuffer);
}

TEST(FtpFormats, PassiveRepliesParseWithAndWithoutParentheses) {
    std::string host;
    int32_t port = 0;
    ParsePassiveReply("227 Entering Passive Mode (10,0,0,5,19,137)", host, port);
    EXPECT_EQ(host, "10.0.0.5");
    EXPECT_EQ(port, 5001);
    ParsePassiveReply("227 ok 10,0,0,5,19,137", host, port);
    EXPECT_EQ(host, "10.0.0.5");
    EXPECT_EQ(port, 5001);
    ParsePassiveReply("227 Entering Passive Mode (10,0,0,5,19,137).", host, port);
    EXPECT_EQ(port, 5001);
    ParsePassiveReply("  227 =127,0,0,1,0,80  ", host, port);
    EXPECT_EQ(host, "=127.0.0.1");
    EXPECT_EQ(port, 80);
}

TEST(FtpFormats, BrokenPassiveFieldsRaiseConversionOrRangeErrors) {
    std::string host;
    int32_t port = 0;
    try {
        ParsePassiveReply("227 (10,0,0,5,x9,137)", host, port);
        FAIL() << "parsed";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'x9' is not a valid integer value");
    }
    EXPECT_THROW(ParsePassiveReply("227 (10,0,0,5)", host, port), EConvertError);
    EXPECT_THROW(ParsePassiveReply("227 (1,2,3,4,2000000000,5)", host, port), EIdInvalidPassivePort);
    EXPECT_THROW(ParsePassiveReply("227 (1,2,3,4,256,0)", host, port), EIdInvalidPassivePort);
    EXPECT_THROW(ParsePassiveReply("227 (1,2,3,4,-1,0)", host, port), EIdInvalidPassivePort);
}

TEST(FtpFormats, PortCommandSplitsThePort) {
    EXPECT_EQ(PortCommand("192.168.0.10", 1044), "PORT 192,168,0,10,4,20");
    EXPECT_EQ(PortCommand("127.0.0.1", 80), "PORT 127,0,0,1,0,80");
    EXPECT_EQ(PortCommand("127.0.0.1", 65535), "PORT 127,0,0,1,255,255");
}
