// What a box under systemd tells its service manager, read back from our own notification
// socket, and the free-space probe against df.
#include "toolkit/FreeSpace.h"
#include "toolkit/SystemdNotify.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A bound unix datagram socket standing in for the manager's.
class TNotifyListener {
public:
    explicit TNotifyListener(const std::string& name) : Name(name) {
        FSocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@')
            address.sun_path[0] = '\0';
        Bound = ::bind(FSocket, reinterpret_cast<sockaddr*>(&address),
                       static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
    }
    ~TNotifyListener() {
        ::close(FSocket);
        if (Name[0] == '/')
            ::unlink(Name.c_str());
    }
    // The next datagram, or "" after 10 s without one.
    std::string Next() {
        pollfd p{FSocket, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1)
            return "";
        char buffer[4096];
        const ssize_t n = ::recv(FSocket, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
    }
    std::string Name;
    bool Bound = false;

private:
    int FSocket = -1;
};

std::string CommandOutput(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, p))
            out += buffer;
        pclose(p);
    }
    return out;
}

} // namespace

TEST(SystemdNotify, NoticesArriveOneDatagramEachAtAPathOrAnAbstractName) {
    char folder[] = "/tmp/lumisk-notify-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    for (const std::string& name :
         {std::string(folder) + "/notify", "@lumisk-notify-" + std::to_string(::getpid())}) {
        SCOPED_TRACE(name);
        TNotifyListener manager(name);
        ASSERT_TRUE(manager.Bound);
        TSystemdNotify notify(name, "", "", ::getpid());
        ASSERT_TRUE(notify.Active());
        notify.Ready();
        notify.Status("in a call\nmailbox 12345");
        notify.Watchdog();
        notify.Stopping();
        EXPECT_EQ(manager.Next(), "READY=1");
        EXPECT_EQ(manager.Next(), "STATUS=in a call mailbox 12345");
        EXPECT_EQ(manager.Next(), "WATCHDOG=1");
        EXPECT_EQ(manager.Next(), "STOPPING=1");
    }
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

TEST(SystemdNotify, WatchdogIntervalIsOursOnlyAndNothingHappensOutsideSystemd) {
    const pid_t self = ::getpid();
    const std::string other = std::to_string(self + 1);
    const struct {
        const char* socket;
        std::string usec, pid;
        bool active;
        long long interval;
    } cases[] = {{"", "", "", false, 0},
                 {"run/notify", "30000000", "", false, 0},
                 {"/run/notify", "30000000", std::to_string(self), true, 30000000},
                 {"/run/notify", "30000000", other, true, 0},
                 {"@n", "30s", "", true, 0},
                 {"@", "", "", false, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.socket) + " " + c.usec + " " + c.pid);
        TSystemdNotify notify(c.socket, c.usec, c.pid, self);
        EXPECT_EQ(notify.Active(), c.active);
        EXPECT_EQ(notify.WatchdogInterval().count(), c.interval);
        if (!c.active) {
            notify.Ready();
            notify.Watchdog();
        }
    }
    // The process's own environment, as the box reads it at start.
    ::setenv("NOTIFY_SOCKET", "@lumisk-env", 1);
    ::setenv("WATCHDOG_USEC", "60000000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(self).c_str(), 1);
    TSystemdNotify fromEnvironment = TSystemdNotify::FromEnvironment();
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
    EXPECT_TRUE(fromEnvironment.Active());
    EXPECT_EQ(fromEnvironment.WatchdogInterval(), std::chrono::seconds(60));
}

TEST(FreeSpace, AgreesWithDfAndNamesAMissingFolder) {
    const uint64_t ours = FreeBytes("/tmp");
    const uint64_t df =
        std::strtoull(CommandOutput("df -B1 --output=avail /tmp | tail -1").c_str(), nullptr, 10);
    ASSERT_GT(df, 0u);
    // Others write to the same disk meanwhile.
    EXPECT_LT(ours > df ? ours - df : df - ours, 256u << 20);
    try {
        FreeBytes("/nonexistent/lumisk");
        FAIL() << "no error";
    } catch (const EFreeSpaceError& e) {
        EXPECT_EQ(e.Message(),
                  "Cannot read the free space of /nonexistent/lumisk: No such file or directory");
    }
}
