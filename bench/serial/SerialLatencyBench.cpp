// Latency from the modem end's write to OnRxChar on the main thread, against a bare peer (a
// thread that polls the tty and wakes the main thread through an eventfd, no component), and
// the CPU time an open, idle port costs.
//
//   serial_latency_bench [round trips, default 1000] [idle seconds, default 10]
// Also prints the CPU time over the same span after the device has gone away.
#include "serial/ComPort.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct TPty {
    int Master = -1, Slave = -1;
    std::string Path;
    TPty() {
        Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        Path = ptsname(Master);
        Slave = open(Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        tcgetattr(Slave, &t);
        cfmakeraw(&t);
        tcsetattr(Slave, TCSANOW, &t);
    }
    ~TPty() {
        close(Slave);
        close(Master);
    }
};

struct TFigures {
    double Median, P99;
};

TFigures Summarise(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

double Micro(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

TFigures PortLatency(int rounds) {
    TPty pty;
    TComPort port;
    port.SetPort(pty.Path);
    port.SetBaudRate(br1200);
    port.SetDiscardNull(true);
    port.FlowControl().SetControlDTR(dtrEnable);
    Clock::time_point arrived;
    bool got = false;
    port.OnRxChar = [&](TComponent*, int count) {
        arrived = Clock::now();
        std::string text;
        port.ReadText(text, count);
        got = true;
    };
    port.OpenPort();
    std::vector<double> us;
    for (int i = 0; i < rounds; ++i) {
        got = false;
        const auto sent = Clock::now();
        if (write(pty.Master, "RING\r\n", 6) != 6)
            throw std::runtime_error("write failed");
        while (!got)
            CheckSynchronize(1000);
        us.push_back(Micro(arrived - sent));
    }
    return Summarise(us);
}

// The peer: the least a thread hand-over of received bytes costs.
TFigures BareLatency(int rounds) {
    TPty pty;
    const int fd = open(pty.Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int toMain = eventfd(0, EFD_CLOEXEC);
    const int stop = eventfd(0, EFD_CLOEXEC);
    std::thread reader([&] {
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
            poll(fds, 2, -1);
            if (fds[1].revents)
                return;
            char buf[64];
            while (read(fd, buf, sizeof buf) > 0) {
            }
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t n = write(toMain, &one, sizeof one);
        }
    });
    std::vector<double> us;
    for (int i = 0; i < rounds; ++i) {
        const auto sent = Clock::now();
        if (write(pty.Master, "RING\r\n", 6) != 6)
            throw std::runtime_error("write failed");
        uint64_t value;
        [[maybe_unused]] ssize_t n = read(toMain, &value, sizeof value);
        us.push_back(Micro(Clock::now() - sent));
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(stop, &one, sizeof one);
    reader.join();
    close(fd);
    close(toMain);
    close(stop);
    return Summarise(us);
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// With lost set, the modem end goes away first: the port must then wait, not spin.
double IdleCpu(int seconds, bool lost) {
    auto pty = std::make_unique<TPty>();
    TComPort port;
    port.SetPort(pty->Path);
    port.OnRxChar = [&](TComponent*, int) {};
    bool reported = false;
    port.OnError = [&](TComponent*, TComErrors) { reported = true; };
    port.OpenPort();
    if (lost) {
        pty.reset();
        while (!reported)
            CheckSynchronize(1000);
    }
    const double before = ProcessCpuSeconds();
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) // the main thread waits as an idle event loop would
        CheckSynchronize(static_cast<int>(std::max<long long>(
            1, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count())));
    return ProcessCpuSeconds() - before;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    TThread::SetMainThread();
    const TFigures port = PortLatency(rounds);
    const TFigures bare = BareLatency(rounds);
    std::printf("modem write -> OnRxChar on the main thread, %d round trips:\n", rounds);
    std::printf("  TComPort (smThreadSync)     median %8.1f us   p99 %8.1f us\n", port.Median, port.P99);
    std::printf("  peer: bare poll thread      median %8.1f us   p99 %8.1f us\n", bare.Median, bare.P99);
    std::printf("  ratio port/peer             median %8.2f      p99 %8.2f\n", port.Median / bare.Median,
                port.P99 / bare.P99);
    const double cpu = IdleCpu(idleSeconds, false);
    std::printf("CPU time of an open idle port over %d s: %.4f s (%.3f %%)\n", idleSeconds, cpu,
                100.0 * cpu / idleSeconds);
    const double lostCpu = IdleCpu(idleSeconds, true);
    std::printf("CPU time over %d s after the device went away: %.4f s (%.3f %%)\n", idleSeconds, lostCpu,
                100.0 * lostCpu / idleSeconds);
    return 0;
}
