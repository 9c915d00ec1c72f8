#include "LineSimulator.h"

#include "ModemEnd.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

TLineSimulator::TLineSimulator(FILE* out) : FOut(out) {
    FQuitEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FQuitEvent < 0)
        throw std::runtime_error("cannot make an eventfd");
}

TLineSimulator::~TLineSimulator() {
    close(FQuitEvent);
}

void TLineSimulator::RequestQuit() {
    const uint64_t one = 1;
    (void)!write(FQuitEvent, &one, sizeof one);
}

void TLineSimulator::AddCommand(const std::string& name, const std::string& help, TCommand command) {
    FCommands[name] = {help, std::move(command)};
}

void TLineSimulator::AddSource(std::function<int()> fd, std::function<void()> onReadable) {
    FSources.emplace_back(std::move(fd), std::move(onReadable));
}

void TLineSimulator::Emit(const std::string& line) {
    std::fprintf(FOut, "%s\n", line.c_str());
    std::fflush(FOut);
}

std::string TLineSimulator::Help() const {
    std::string text;
    for (const auto& [name, entry] : FCommands)
        text += "  " + entry.first + "\n";
    text += "  quit                  end the simulator\n";
    return text;
}

bool TLineSimulator::Execute(const std::string& raw) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    if (line.empty() || line[0] == '#')
        return true;
    const size_t space = line.find(' ');
    const std::string name = line.substr(0, space);
    const std::string args = space == std::string::npos ? "" : line.substr(space + 1);
    if (name == "quit") {
        Emit("ok quit");
        return false;
    }
    auto it = FCommands.find(name);
    if (it == FCommands.end()) {
        Emit("error unknown command: " + name);
        return true;
    }
    try {
        const std::string detail = it->second.second(args);
        Emit("ok " + name + (detail.empty() ? "" : " " + detail));
    } catch (const std::exception& e) {
        Emit(std::string("error ") + e.what());
    }
    return true;
}

void TLineSimulator::AttachModem(TModemEnd& modem, int splitGapMs) {
    auto send = [&modem](const std::string& bytes) {
        if (!modem.Send(bytes))
            throw std::runtime_error("line dropped");
    };
    AddCommand("ring", "ring [split]          send RING CR LF (split: \"RI\" and \"NG\\r\\n\" as two writes)",
               [send, splitGapMs](const std::string& args) -> std::string {
                   if (args.empty()) {
                       send("RING\r\n");
                       return "1 write";
                   }
                   if (args != "split")
                       throw std::runtime_error("ring takes nothing or \"split\"");
                   send("RI");
                   std::this_thread::sleep_for(std::chrono::milliseconds(splitGapMs));
                   send("NG\r\n");
                   return "2 writes";
               });
    AddCommand("send", "send TEXT             send TEXT in one write (\\r \\n \\t \\\\ \\xHH escapes)",
               [send](const std::string& args) {
                   const std::string bytes = UnescapeText(args);
                   send(bytes);
                   return std::to_string(bytes.size());
               });
    AddCommand("reply", "reply [TEXT]          answer AT lines with TEXT (escapes as send; empty: no answer)",
               [&modem](const std::string& args) {
                   modem.Reply = UnescapeText(args);
                   return std::string();
               });
    AddCommand("drop", "drop                  close the modem end: the port's device goes away",
               [&modem](const std::string&) {
                   modem.Drop();
                   return std::string();
               });
    AddCommand("plug", "plug                  a new modem end after a drop, at the --link path",
               [&modem](const std::string&) {
                   modem.Plug();
                   return modem.SlavePath();
               });
    AddSource([&modem] { return modem.Fd(); }, [&modem] { modem.HandleReadable(); });
}

namespace {

int OpenControl(const std::string& fifo) {
    if (fifo.empty())
        return STDIN_FILENO;
    // Read and write: the FIFO then never reports an end while we wait for the next writer.
    return open(fifo.c_str(), O_RDWR | O_CLOEXEC);
}

} // namespace

void TLineSimulator::Run(const std::string& controlFifo) {
    if (!controlFifo.empty()) {
        struct stat st {};
        if (stat(controlFifo.c_str(), &st) != 0 && mkfifo(controlFifo.c_str(), 0600) != 0)
            throw std::runtime_error("cannot create " + controlFifo);
    }
    int control = OpenControl(controlFifo);
    if (control < 0)
        throw std::runtime_error("cannot open " + controlFifo);
    std::string pending;
    for (;;) {
        uint64_t quit = 0;
        if (read(FQuitEvent, &quit, sizeof quit) == sizeof quit && quit)
            return;
        std::vector<pollfd> fds{{control, POLLIN, 0}, {FQuitEvent, POLLIN, 0}};
        for (auto& source : FSources)
            fds.push_back({source.first(), POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("poll failed");
        }
        for (size_t i = 2; i < fds.size(); ++i)
            if (fds[i].fd >= 0 && fds[i].revents)
                FSources[i - 2].second();
        if (control >= 0 && fds[0].revents) {
            char buf[1024];
            const ssize_t n = read(control, buf, sizeof buf);
            if (n <= 0 && KeepRunningAfterInput) {
                control = -1; // a negative descriptor is left out of poll
                continue;
            }
            if (n <= 0)
                return; // the end of stdin ends the simulator
            pending.append(buf, static_cast<size_t>(n));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!Execute(line))
                    return;
            }
        }
    }
}

std::string LogTimeStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    char full[80];
    std::snprintf(full, sizeof full, "%s.%03d", text, static_cast<int>(ms));
    return full;
}
