// What a box under systemd tells its service manager, read back from our own notification
// socket, and the free-space probe against df.
#include "toolkit/FreeSpace.h"
#include "toolkit/SystemdNotify.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Binds a unix datagram socket as the manager does; "@name" is abstract.
int BindNotifySocket(const std::string& name) {
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    return ::bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0 ? s : -1;
}

std::string NextDatagram(int s) {
    pollfd p{s, POLLIN, 0};
    char buffer[4096];
    const ssize_t n = ::poll(&p, 1, 10000) == 1 ? ::recv(s, buffer, sizeof buffer, 0) : 0;
    return std::string(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
}

} // namespace

TEST(SystemdNotify, NoticesReachThePathOrAbstractSocketAndNothingHappensOutsideSystemd) {
    char folder[] = "/tmp/lumisk-notify-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string self = std::to_string(::getpid());
    for (const std::string& name : {std::string(folder) + "/notify", "@lumisk-notify-" + self}) {
        SCOPED_TRACE(name);
        const int manager = BindNotifySocket(name);
        ASSERT_GE(manager, 0);
        TSystemdNotify notify(name, "60000000", self, ::getpid());
        EXPECT_EQ(notify.WatchdogInterval(), std::chrono::seconds(60));
        notify.Ready();
        notify.Status("in a call\nmailbox 12345");
        notify.Watchdog();
        EXPECT_EQ(NextDatagram(manager), "READY=1");
        EXPECT_EQ(NextDatagram(manager), "STATUS=in a call mailbox 12345");
        EXPECT_EQ(NextDatagram(manager), "WATCHDOG=1");
        ::close(manager);
    }
    ::unlink((std::string(folder) + "/notify").c_str());
    // The watchdog of another process (a forked helper inherits the variables) is not ours.
    EXPECT_EQ(TSystemdNotify("@n", "60000000", std::to_string(::getpid() + 1), ::getpid())
                  .WatchdogInterval()
                  .count(),
              0);
    // Without systemd: nothing is sent and nothing fails.
    ::unsetenv("NOTIFY_SOCKET");
    TSystemdNotify outside = TSystemdNotify::FromEnvironment();
    EXPECT_FALSE(outside.Active());
    outside.Ready();
    outside.Watchdog();
    // A manager that went away is an error the caller can report, naming the socket.
    TSystemdNotify orphan(std::string(folder) + "/gone", "", "", ::getpid());
    try {
        orphan.Watchdog();
        FAIL() << "sent to nobody";
    } catch (const ESystemdNotifyError& e) {
        EXPECT_EQ(e.Message(),
                  "Cannot notify systemd at " + std::string(folder) + "/gone: No such file or directory");
    }
    ::rmdir(folder);
}

TEST(FreeSpace, AgreesWithDfAndNamesAMissingFolder) {
    std::string dfText;
    if (FILE* p = popen("df -B1 --output=avail /tmp | tail -1", "r")) {
        char line[64] = {};
        if (fgets(line, sizeof line, p))
            dfText = line;
        pclose(p);
    }
    const uint64_t df = std::strtoull(dfText.c_str(), nullptr, 10);
    const uint64_t ours = FreeBytes("/tmp");
    ASSERT_GT(df, 0u);
    EXPECT_LT(ours > df ? ours - df : df - ours, 256u << 20); // others write to the disk meanwhile
    try {
        FreeBytes("/nonexistent/lumisk");
        FAIL() << "no error";
    } catch (const EFreeSpaceError& e) {
        EXPECT_EQ(e.Message(),
                  "Cannot read the free space of /nonexistent/lumisk: No such file or directory");
    }
}
