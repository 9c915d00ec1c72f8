// Arbitrary modem text into the window's receive path, through a real pseudo-terminal and the
// port's event thread: nothing crashes, every byte is handed to ComPortRxChar, the received
// text stays within its limit, and a "RING" never stays in it unanswered.
#include "FuzzWindow.h"
#include "toolkit/Thread.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <termios.h>

namespace {

struct TFuzzLine {
    int Master = -1;
    int Slave = -1; // kept open: the window's port may come and go
    std::string Path;
    std::unique_ptr<TMainForm> Form;
    int64_t Handed = 0; // bytes ComPortRxChar was told about

    TFuzzLine() {
        FuzzApp();
        char name[256] = {};
        if (openpty(&Master, &Slave, name, nullptr, nullptr) != 0)
            std::abort();
        Path = name;
        termios raw{};
        tcgetattr(Slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(Slave, TCSANOW, &raw);
        TMainFormOptions options;
        UseTestSound(options.Conf);
        options.ExeFolder = FuzzFolder(true);
        options.Conf.ModemPort = Path;
        Form = std::make_unique<TMainForm>(std::move(options));
        if (!Form->ComPort->Connected())
            std::abort();
        Form->ComPort->OnRxChar = [this](TComponent*, int count) {
            Handed += count;
            Form->ComPortRxChar(count);
        };
    }

    // Reads what the box sent (the answer strings), so its writes never block.
    void DrainModem() {
        char buffer[4096];
        pollfd p{Master, POLLIN, 0};
        while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN) && read(Master, buffer, sizeof buffer) > 0) {
        }
    }

    // Writes one piece and serves the window until all of it was handed over.
    void Deliver(const uint8_t* data, size_t size) {
        // The port drops NUL bytes before the handler sees them.
        const int64_t expected =
            Handed + static_cast<int64_t>(size - static_cast<size_t>(std::count(data, data + size, 0)));
        for (size_t done = 0; done < size;) {
            const ssize_t n = write(Master, data + done, size - done);
            if (n <= 0)
                std::abort();
            done += static_cast<size_t>(n);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (Handed < expected) {
            if (std::chrono::steady_clock::now() > deadline) {
                std::fprintf(stderr, "only %lld of %lld bytes handed over\n", static_cast<long long>(Handed),
                             static_cast<long long>(expected));
                std::abort();
            }
            DrainModem();
            pollfd p{Master, POLLIN, 0};
            poll(&p, 1, 1);
            CheckSynchronize();
        }
        if (Handed != expected)
            std::abort();
        if (Form->RxText.size() > TMainForm::RxTextLimit || Form->RxText.find("RING") != std::string::npos)
            std::abort();
        DrainModem();
    }
};

TFuzzLine* line = nullptr;

} // namespace

// The window lives for the whole run, as the box's port does.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzApp();
    ShownErrors();
    line = new TFuzzLine;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    ShownErrors().clear();
    line->Form->RxText.clear();
    // The first byte sets how the text is cut into writes: the event thread sees pieces of it.
    const size_t piece = 1 + static_cast<size_t>(data[0] % 32) * 33;
    ++data;
    --size;
    size_t pieces = 0;
    for (size_t i = 0; i < size; i += piece) {
        // At most 64 writes; the last takes the rest.
        const size_t n = ++pieces == 64 ? size - i : std::min(piece, size - i);
        line->Deliver(data + i, n);
        if (pieces == 64)
            break;
    }
    if (!ShownErrors().empty()) {
        std::fprintf(stderr, "error shown: %s\n", ShownErrors().front().c_str());
        std::abort();
    }
    return 0;
}
