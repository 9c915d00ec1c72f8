#include "toolkit/SystemdNotify.h"

#include "toolkit/StringUtils.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Decimal digits only, as the manager writes them; anything else counts as not set.
bool ParseUnsigned(const std::string& text, unsigned long long& value) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

TSystemdNotify TSystemdNotify::FromEnvironment() {
    return TSystemdNotify(Variable("NOTIFY_SOCKET"), Variable("WATCHDOG_USEC"), Variable("WATCHDOG_PID"),
                          ::getpid());
}

TSystemdNotify::TSystemdNotify(const std::string& notifySocket, const std::string& watchdogUsec,
                               const std::string& watchdogPid, pid_t ownPid) {
    // Only what fits a unix socket address: a path or an abstract name (other transports,
    // such as vsock, are not ours to speak).
    if ((notifySocket.size() > 1 && (notifySocket[0] == '/' || notifySocket[0] == '@')) &&
        notifySocket.size() < sizeof(sockaddr_un::sun_path))
        FSocketName = notifySocket;
    unsigned long long usec = 0, pid = 0;
    const bool forUs = watchdogPid.empty() ||
                       (ParseUnsigned(watchdogPid, pid) && pid == static_cast<unsigned long long>(ownPid));
    if (Active() && forUs && ParseUnsigned(watchdogUsec, usec))
        FWatchdog = std::chrono::microseconds(usec);
}

TSystemdNotify::~TSystemdNotify() {
    if (FSocket >= 0)
        ::close(FSocket);
}

TSystemdNotify::TSystemdNotify(TSystemdNotify&& other) noexcept
    : FSocketName(std::move(other.FSocketName)), FWatchdog(other.FWatchdog), FSocket(other.FSocket) {
    other.FSocket = -1;
    other.FSocketName.clear();
}

void TSystemdNotify::Ready() {
    Send("READY=1");
}

void TSystemdNotify::Status(const std::string& text) {
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    Send("STATUS=" + line);
}

void TSystemdNotify::Watchdog() {
    Send("WATCHDOG=1");
}

void TSystemdNotify::Stopping() {
    Send("STOPPING=1");
}

void TSystemdNotify::Send(const std::string& assignments) {
    if (!Active())
        return;
    auto fail = [this](int error) {
        throw ESystemdNotifyError(
            Format("Cannot notify systemd at %s: %s", FSocketName.c_str(), std::strerror(error)));
    };
    if (FSocket < 0) {
        FSocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (FSocket < 0)
            fail(errno);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, FSocketName.data(), FSocketName.size());
    if (FSocketName[0] == '@')
        address.sun_path[0] = '\0'; // an abstract name: no trailing zero belongs to it
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + FSocketName.size());
    ssize_t sent;
    do
        sent = ::sendto(FSocket, assignments.data(), assignments.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), length);
    while (sent < 0 && errno == EINTR);
    if (sent < 0)
        fail(errno);
}
