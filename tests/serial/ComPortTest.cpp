// The port against real pseudo-terminals: opening, the settings at the driver, the event
// hand-over and the transfers.
#include "serial/ComPort.h"

#include "serial/ComLineSettings.h"
#include "serial/ComThread.h"
#include "serial/PtyPair.h"
#include "toolkit/ExceptionReporter.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

// The main window's port as its definition sets it.
void SetUpLikeMainWindow(TComPort& port, const std::string& path) {
    port.SetPort(path);
    port.SetBaudRate(br1200);
    port.SetDataBits(dbEight);
    port.SetStopBits(sbOneStopBit);
    port.Parity().SetBits(prNone);
    port.SetDiscardNull(true);
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetControlRTS(rtsDisable);
}

class ComPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        TThread::SetMainThread();
        FOldSink = SetExceptionSink([this](const std::string& text) { Shown.push_back(text); });
    }
    void TearDown() override { SetExceptionSink(FOldSink); }

    TPtyPair Pty;
    std::vector<std::string> Shown;

private:
    ExceptionSink FOldSink;
};

// Records the order in which the apply operations reach the driver.
class TLoggingPort : public TComPort {
public:
    using TComPort::TComPort;
    std::vector<std::string> Log;
    void ApplyLineSettings() override {
        if (Connected() && UpdateCount() == 0)
            Log.push_back("line");
        TComPort::ApplyLineSettings();
    }
    void ApplyTimeoutSettings() override {
        if (Connected() && UpdateCount() == 0)
            Log.push_back("timeouts");
        TComPort::ApplyTimeoutSettings();
    }
    void ApplyBufferSizes() override {
        if (Connected() && UpdateCount() == 0)
            Log.push_back("buffer");
        TComPort::ApplyBufferSizes();
    }
};

} // namespace

TEST_F(ComPortTest, MainWindowSettingsReachTheDevice) {
    TComPort port;
    SetUpLikeMainWindow(port, Pty.SlavePath());
    EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);

    const TComLineSettings s = MakeLineSettings(port);
    EXPECT_EQ(s.BaudRate, 1200);
    EXPECT_TRUE(s.DTR);
    EXPECT_FALSE(s.RTS);
    EXPECT_TRUE(s.DiscardNull);
    EXPECT_EQ(s.StartChar, 17);
    EXPECT_EQ(s.StopChar, 19);
    EXPECT_EQ(s.XonLim, 256);
    EXPECT_EQ(s.XoffLim, 256);

    port.OpenPort();
    ASSERT_TRUE(port.Connected());
    const termios t = Pty.Settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B1200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    // HUPCL: the modem is hung up (DTR drops) when the port's last descriptor closes, even
    // after a crash.
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | HUPCL), static_cast<tcflag_t>(CLOCAL | CREAD | HUPCL));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INPCK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

TEST_F(ComPortTest, LineSettingsMapping) {
    TComPort port;
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(4800);
    port.SetDataBits(dbSeven);
    port.SetStopBits(sbOne5StopBits);
    port.Parity().SetBits(prMark);
    port.Parity().SetReplace(true); // without Check: no parity checking, no replacement
    port.FlowControl().SetFlowControl(fcSoftware);
    port.FlowControl().SetXonChar('Q');
    TComLineSettings s = MakeLineSettings(port);
    EXPECT_EQ(s.BaudRate, 4800);
    EXPECT_EQ(s.SpeedCode, static_cast<uint32_t>(B4800));
    EXPECT_EQ(s.CFlag & CSIZE, static_cast<uint32_t>(CS7));
    EXPECT_EQ(s.CFlag & (PARENB | PARODD | CMSPAR | CSTOPB),
              static_cast<uint32_t>(PARENB | PARODD | CMSPAR | CSTOPB));
    EXPECT_EQ(s.IFlag & (IXON | IXOFF | INPCK), static_cast<uint32_t>(IXON | IXOFF));
    EXPECT_EQ(s.StartChar, 'Q');
    EXPECT_FALSE(s.ReplaceErrors);

    port.Parity().SetBits(prSpace);
    port.Parity().SetCheck(true);
    port.Parity().SetReplaceChar('?');
    port.FlowControl().SetFlowControl(fcHardware);
    port.SetBaudRate(br14400); // no termios constant: the arbitrary-rate call
    s = MakeLineSettings(port);
    EXPECT_EQ(s.CFlag & (PARENB | PARODD | CMSPAR), static_cast<uint32_t>(PARENB | CMSPAR));
    EXPECT_EQ(s.IFlag & INPCK, static_cast<uint32_t>(INPCK));
    EXPECT_TRUE(s.ReplaceErrors);
    EXPECT_EQ(s.ErrorChar, '?');
    EXPECT_EQ(s.CFlag & CRTSCTS, static_cast<uint32_t>(CRTSCTS));
    EXPECT_EQ(s.SpeedCode, 0u);
    EXPECT_EQ(s.BaudRate, 14400);
}

TEST_F(ComPortTest, RatesAreAppliedAtOpenAndAtOnceWhileOpen) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.SetBaudRate(br2400); // closed: only stored
    port.OpenPort();
    EXPECT_EQ(DeviceBaudRate(port.DeviceHandle()), 2400);
    port.SetCustomBaudRate(250000);
    port.SetBaudRate(brCustom);
    EXPECT_EQ(DeviceBaudRate(port.DeviceHandle()), 250000);
    port.SetCustomBaudRate(4800);
    const termios t = Pty.Settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));

    // A rate of 0 would hang the line up: refused as a settings failure, the port stays open.
    try {
        port.SetCustomBaudRate(0);
        FAIL() << "rate 0 accepted";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode, 7);
        EXPECT_EQ(std::string(e.what()), "SetCommState function failed (Error: 22)");
    }
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(port.CustomBaudRate(), 0);
}

TEST_F(ComPortTest, OneRingLineGivesOneRxCharOnTheMainThread) {
    TComPort port;
    SetUpLikeMainWindow(port, Pty.SlavePath());
    std::vector<int> counts;
    std::string text;
    bool onMain = true;
    bool sendWhileReading = false;
    port.OnRxChar = [&](TComponent* sender, int count) {
        EXPECT_EQ(sender, &port);
        onMain = onMain && TThread::IsMainThread();
        counts.push_back(count);
        if (sendWhileReading) {
            // The next line is at the device when the handler reads this one.
            sendWhileReading = false;
            Pty.Send("RING\r\n");
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (port.BytesWaiting() < count + 6 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::string part;
        EXPECT_EQ(port.ReadText(part, count), count);
        text += part;
    };
    port.OpenPort();
    Pty.Send("RING\r\n");
    ASSERT_TRUE(PumpUntil([&] { return text.size() >= 6; }));
    EXPECT_EQ(counts, std::vector<int>{6});
    EXPECT_EQ(text, "RING\r\n");
    EXPECT_TRUE(onMain);

    // Two writes seen apart are two events.
    Pty.Send("RI");
    ASSERT_TRUE(PumpUntil([&] { return counts.size() == 2; }));
    Pty.Send("NG\r\n");
    ASSERT_TRUE(PumpUntil([&] { return counts.size() == 3; }));
    EXPECT_EQ(counts[1], 2);
    EXPECT_EQ(counts[2], 4);
    EXPECT_EQ(text, "RING\r\nRING\r\n");

    // Bytes that the handler's read took from the device without asking for them still get
    // their event: a "RING" must not wait for the modem's next line.
    sendWhileReading = true;
    Pty.Send("OK\r\n");
    ASSERT_TRUE(PumpUntil([&] { return counts.size() == 5; })) << text;
    EXPECT_EQ(counts[3], 4);
    EXPECT_EQ(counts[4], 6);
    EXPECT_EQ(text, "RING\r\nRING\r\nOK\r\nRING\r\n");
}

TEST_F(ComPortTest, ReceivePathDropsNulAndSeesTheEventChar) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.SetDiscardNull(true);
    port.SetEventChar('\n');
    int flags = 0;
    std::string text;
    port.OnRxFlag = [&](TComponent*) { ++flags; };
    port.OnRxChar = [&](TComponent*, int count) {
        std::string part;
        port.ReadText(part, count);
        text += part;
    };
    port.OpenPort();
    Pty.Send(std::string("O\0K\r\n", 5));
    ASSERT_TRUE(PumpUntil([&] { return text.size() >= 4 && flags == 1; }));
    EXPECT_EQ(text, "OK\r\n");
}

TEST_F(ComPortTest, ReadTextTakesWhatIsQueued) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.SetEvents({});
    port.OpenPort();
    EXPECT_FALSE(port.ThreadCreated());
    EXPECT_EQ(port.EventThread(), nullptr);
    std::string text = "old";
    EXPECT_EQ(port.ReadText(text, 10), 0); // quiet line: returns at once
    EXPECT_EQ(text, "");
    Pty.Send("abc");
    ASSERT_TRUE(PumpUntil([&] { return port.BytesWaiting() == 3; }));
    EXPECT_EQ(port.ReadText(text, 0), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(port.ReadText(text, 10), 3);
    EXPECT_EQ(text, "abc");
}

TEST_F(ComPortTest, ReadTimeoutsWaitForBytes) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(30);
    port.OpenPort();
    std::string text;
    EXPECT_EQ(port.ReadText(text, 4), 0); // waits the total time, then returns what came
    // A long total: the read ends when the count is complete.
    port.Timeouts().SetReadTotalConstant(60000);
    std::thread modem([&] { Pty.Send("OK\r\n"); });
    EXPECT_EQ(port.ReadText(text, 4), 4);
    modem.join();
    EXPECT_EQ(text, "OK\r\n");
}

TEST_F(ComPortTest, WriteTextReachesTheModemEnd) {
    TComPort port;
    SetUpLikeMainWindow(port, Pty.SlavePath());
    port.OpenPort();
    EXPECT_EQ(port.WriteText("ATH1\r"), 5);
    EXPECT_EQ(Pty.Receive(5), "ATH1\r");
    EXPECT_EQ(port.WriteText(""), 0);
}

TEST_F(ComPortTest, WriteEndsAfterItsTimeoutWithTheBytesSent) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(50);
    port.SetEvents({});
    port.OpenPort();
    // Nobody reads the master: the pseudo-terminal's queues fill up.
    const std::string big(4 << 20, 'x');
    const int sent = port.WriteText(big);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(big.size()));
}

TEST_F(ComPortTest, OpenFailures) {
    TComPort port;
    port.SetPort("lumisk-no-such-tty");
    EXPECT_EQ(port.DevicePath(), "/dev/lumisk-no-such-tty");
    bool beforeOpen = false, afterOpen = false;
    port.OnBeforeOpen = [&](TComponent*) { beforeOpen = true; };
    port.OnAfterOpen = [&](TComponent*) { afterOpen = true; };
    try {
        port.OpenPort();
        FAIL() << "opened a missing device";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode, 1);
        EXPECT_EQ(e.OsError, ENOENT);
        EXPECT_EQ(std::string(e.what()),
                  "Unable to open com port (Error: 2): /dev/lumisk-no-such-tty: No such file or directory");
        EXPECT_EQ(e.DevicePath, "/dev/lumisk-no-such-tty");
    }
    EXPECT_TRUE(beforeOpen);
    EXPECT_FALSE(afterOpen);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.DeviceHandle(), -1);

    // Reported instead of raised.
    int code = 0;
    int64_t winError = 0;
    std::string message, winMessage;
    port.OnException = [&](TComponent*, TComExceptions c, const std::string& m, int64_t w,
                           const std::string& wm) {
        code = c;
        message = m;
        winError = w;
        winMessage = wm;
    };
    EXPECT_NO_THROW(port.OpenPort());
    EXPECT_EQ(code, 1);
    EXPECT_EQ(message, "Unable to open com port");
    EXPECT_EQ(winError, ENOENT);
    EXPECT_EQ(winMessage, std::strerror(ENOENT));
    EXPECT_FALSE(port.Connected());
}

TEST_F(ComPortTest, PortIsExclusive) {
    TComPort first, second;
    first.SetPort(Pty.SlavePath());
    second.SetPort(Pty.SlavePath());
    first.OpenPort();
    try {
        second.OpenPort();
        FAIL() << "second open succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode, 1);
        EXPECT_EQ(e.OsError, EBUSY);
    }
    first.ClosePort();
    EXPECT_NO_THROW(second.OpenPort());
}

TEST_F(ComPortTest, TransfersOnAClosedPort) {
    TComPort port;
    EXPECT_EQ(port.WriteText(""), 0);
    try {
        port.WriteText("ATH0\r");
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode, 24);
        EXPECT_EQ(e.OsError, -1);
        EXPECT_EQ(std::string(e.what()), "Port Not Open");
    }
    std::string text;
    EXPECT_THROW(port.ReadText(text, 5), EComPort);
    try {
        port.WaitForRequest(nullptr);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(std::string(e.what()), "Invalid Async parameter");
    }
    TPortRequest* request = port.NewPortRequest();
    port.FreePortRequest(request);
    EXPECT_EQ(request, nullptr);
}

TEST_F(ComPortTest, SyncMethodIsRefusedWhileOpen) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.SetSyncMethod(smNone);
    port.OpenPort();
    try {
        port.SetSyncMethod(smWindowSync);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode, 14);
        EXPECT_EQ(std::string(e.what()), "Cannot set property while connected");
    }
    EXPECT_EQ(port.SyncMethod(), smNone);
}

TEST_F(ComPortTest, OpenAndCloseHandlersAndIdempotence) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    std::vector<std::string> log;
    port.OnBeforeOpen = [&](TComponent*) { log.push_back("before open"); };
    port.OnAfterOpen = [&](TComponent*) { log.push_back("after open"); };
    port.OnCTSChange = [&](TComponent*, bool on) { log.push_back(on ? "cts on" : "cts off"); };
    port.OnDSRChange = [&](TComponent*, bool on) { log.push_back(on ? "dsr on" : "dsr off"); };
    port.OnRLSDChange = [&](TComponent*, bool on) { log.push_back(on ? "rlsd on" : "rlsd off"); };
    port.OnBeforeClose = [&](TComponent*) { log.push_back("before close"); };
    port.OnAfterClose = [&](TComponent*) { log.push_back("after close"); };
    port.ClosePort(); // closed: nothing
    port.SetConnected(true);
    port.OpenPort(); // open: nothing
    port.SetConnected(false);
    const std::vector<std::string> expected = {"before open",  "after open", "cts off", "dsr off",
                                               "rlsd off",     "cts off",    "dsr off", "rlsd off",
                                               "before close", "after close"};
    EXPECT_EQ(log, expected);
    EXPECT_FALSE(port.Connected());
}

TEST_F(ComPortTest, SettingsBracketAppliesOnceInOrder) {
    TLoggingPort port;
    port.SetPort(Pty.SlavePath());
    port.OpenPort();
    port.Log.clear();
    port.BeginSettingsUpdate();
    port.BeginSettingsUpdate();
    port.SetBaudRate(br2400);
    port.Timeouts().SetReadInterval(10);
    port.Buffer().SetInputSize(2048);
    EXPECT_EQ(DeviceBaudRate(port.DeviceHandle()), 9600);
    port.EndSettingsUpdate();
    EXPECT_TRUE(port.Log.empty());
    port.EndSettingsUpdate();
    EXPECT_EQ(port.Log, (std::vector<std::string>{"buffer", "line", "timeouts"}));
    EXPECT_EQ(DeviceBaudRate(port.DeviceHandle()), 2400);
    EXPECT_EQ(port.AppliedTimeouts().ReadInterval, 10u);
    port.EndSettingsUpdate(); // one too many: nothing
    EXPECT_EQ(port.UpdateCount(), 0);
    EXPECT_EQ(port.Log.size(), 3u);

    // A port change inside the bracket still reopens, without applying settings.
    TPtyPair other;
    port.Log.clear();
    port.BeginSettingsUpdate();
    port.SetPort(other.SlavePath());
    EXPECT_TRUE(port.Connected());
    EXPECT_TRUE(port.Log.empty());
    port.EndSettingsUpdate();
    EXPECT_EQ(port.Log.size(), 3u);
    other.Send("x");
    EXPECT_TRUE(PumpUntil([&] { return port.BytesWaiting() == 1; }));
}

TEST_F(ComPortTest, SubObjectSettersApplyOnlyOnChange) {
    TLoggingPort port;
    port.SetPort(Pty.SlavePath());
    port.OpenPort();
    port.Log.clear();
    port.Parity().SetBits(prNone);     // unchanged
    port.FlowControl().SetXonChar(17); // unchanged
    port.Timeouts().SetWriteTotalConstant(1000);
    EXPECT_TRUE(port.Log.empty());
    port.FlowControl().SetFlowControl(fcCustom); // changes nothing, still applies
    EXPECT_EQ(port.Log, std::vector<std::string>{"line"});
    TComParity parity;
    parity.SetBits(prEven);
    parity.SetCheck(true);
    port.SetParity(parity); // whole object: one apply
    EXPECT_EQ(port.Log.size(), 2u);
    EXPECT_EQ(port.Parity().Bits(), prEven);
    // A pseudo-terminal forces 8 bits without parity; the record shows what was asked for.
    EXPECT_EQ(MakeLineSettings(port).CFlag & (PARENB | PARODD), static_cast<uint32_t>(PARENB));
    EXPECT_EQ(MakeLineSettings(port).IFlag & INPCK, static_cast<uint32_t>(INPCK));
    EXPECT_TRUE(Pty.Settings().c_iflag & INPCK);
}

TEST_F(ComPortTest, DerivedFlowControlAndBufferSizes) {
    TComPort port;
    SetUpLikeMainWindow(port, Pty.SlavePath());
    port.FlowControl().SetFlowControl(fcHardware);
    EXPECT_EQ(port.FlowControl().ControlRTS(), rtsHandshake);
    EXPECT_TRUE(port.FlowControl().OutCTSFlow());
    EXPECT_EQ(port.FlowControl().ControlDTR(), dtrEnable);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware);
    port.FlowControl().SetFlowControl(fcSoftware);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcSoftware);
    EXPECT_EQ(port.FlowControl().ControlRTS(), rtsDisable);
    port.FlowControl().SetControlRTS(rtsEnable);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcCustom);
    port.FlowControl().SetFlowControl(fcNone);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
    port.FlowControl().SetOutDSRFlow(true); // not part of the derived view
    EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);

    port.Buffer().SetInputSize(1025);
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(MakeLineSettings(port).XonLim, 256);
    port.Buffer().SetOutputSize(-3);
    EXPECT_EQ(port.Buffer().OutputSize(), -3);
    port.Buffer().SetInputSize(7);
    EXPECT_EQ(MakeLineSettings(port).XoffLim, 1);
}

TEST_F(ComPortTest, WithoutEventsNoThreadAndNoHandlers) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.SetEvents({});
    int calls = 0;
    port.OnRxChar = [&](TComponent*, int) { ++calls; };
    port.OpenPort();
    EXPECT_FALSE(port.ThreadCreated());
    Pty.Send("RING\r\n");
    ASSERT_TRUE(PumpUntil([&] { return port.BytesWaiting() == 6; }));
    PumpFor(50);
    EXPECT_EQ(calls, 0);
}

TEST_F(ComPortTest, WithoutTriggersThePortReadsForOnRxBuf) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.SetTriggersOnRxChar(false);
    int rxChar = 0;
    std::string got;
    port.OnRxChar = [&](TComponent*, int) { ++rxChar; };
    port.OnRxBuf = [&](TComponent*, const uint8_t* buffer, int count) {
        got.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(count));
    };
    port.OpenPort();
    Pty.Send("CONNECT\r\n");
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 9; }));
    EXPECT_EQ(got, "CONNECT\r\n");
    EXPECT_EQ(rxChar, 0);
    EXPECT_EQ(port.BytesWaiting(), 0);
}

TEST_F(ComPortTest, EventsOfOneBatchRunInTheFixedOrder) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.SetEventChar('!');
    std::vector<std::string> log;
    port.OnRxFlag = [&](TComponent*) {
        std::string text;
        log.push_back("flag " + std::to_string(port.ReadText(text, 100)));
    };
    port.OnRxChar = [&](TComponent*, int count) {
        std::string text;
        log.push_back("rx " + std::to_string(port.ReadText(text, count)));
    };
    port.OpenPort();
    Pty.Send("hi!");
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 2; }));
    EXPECT_EQ(log, (std::vector<std::string>{"rx 3", "flag 0"}));
}

TEST_F(ComPortTest, WindowSyncPostsEachEventAndReleasesTheThread) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.SetSyncMethod(smWindowSync);
    std::vector<int> counts;
    port.OnRxChar = [&](TComponent*, int count) {
        EXPECT_TRUE(TThread::IsMainThread());
        counts.push_back(count);
        std::string text;
        port.ReadText(text, count);
    };
    port.OpenPort();
    Pty.Send("OK\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !counts.empty(); }));
    EXPECT_EQ(counts[0], 4);

    // Posted events of a closed port are dropped, not run against it.
    Pty.Send("late");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (port.BytesWaiting() < 4 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    port.ClosePort();
    const size_t before = counts.size();
    PumpFor(50);
    EXPECT_EQ(counts.size(), before);
}

TEST_F(ComPortTest, NoSyncRunsHandlersOnTheEventThread) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.SetSyncMethod(smNone);
    std::atomic<int> count{0};
    std::atomic<bool> onMain{true};
    port.OnRxChar = [&](TComponent*, int n) {
        onMain = TThread::IsMainThread();
        std::string text;
        port.ReadText(text, n);
        count += n;
    };
    port.OpenPort();
    Pty.Send("RING\r\n");
    ASSERT_TRUE(PumpUntil([&] { return count.load() == 6; }));
    EXPECT_FALSE(onMain);
}

TEST_F(ComPortTest, AHandlerThatRaisesDoesNotSilenceThePort) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    int calls = 0;
    port.OnRxChar = [&](TComponent*, int count) {
        std::string text;
        port.ReadText(text, count);
        if (++calls == 1)
            throw Exception("handler failed");
    };
    port.OpenPort();
    Pty.Send("a");
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    Pty.Send("b");
    ASSERT_TRUE(PumpUntil([&] { return calls == 2; }));
    EXPECT_EQ(Shown, std::vector<std::string>{"handler failed"});
}

TEST_F(ComPortTest, CloseWhileTheThreadWaitsInTheHandOver) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    int calls = 0;
    port.OnRxChar = [&](TComponent*, int) { ++calls; };
    port.OpenPort();
    Pty.Send("RING\r\n");
    // Without pumping, the thread is stuck handing the batch over; the close serves it.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!port.EventThread()->HandingOver() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(port.EventThread()->HandingOver());
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
    EXPECT_LE(calls, 1);
}

TEST_F(ComPortTest, ClosingAndReopeningFromItsOwnHandler) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    int calls = 0;
    port.OnRxChar = [&](TComponent*, int) {
        ++calls;
        port.ClosePort(); // the thread waits for this handler
        port.OpenPort();
    };
    port.OpenPort();
    Pty.Send("RING\r\n");
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    Pty.Send("RING\r\n");
    ASSERT_TRUE(PumpUntil([&] { return calls == 2; }));
    port.ClosePort();
    PumpFor(20); // frees the stopped threads
}

TEST_F(ComPortTest, NoHandlersWhileTheOwnerIsTornDown) {
    auto* owner = new TComponent;
    auto* port = new TComPort(owner);
    port->SetPort(Pty.SlavePath());
    port->OpenPort();
    bool called = false;
    port->OnBeforeClose = [&](TComponent*) { called = true; };
    port->OnAfterClose = [&](TComponent*) { called = true; };
    delete owner; // closes the port on the way
    EXPECT_FALSE(called);
}

TEST_F(ComPortTest, ManyOpenCloseCycles) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.OnRxChar = [&](TComponent*, int count) {
        std::string text;
        port.ReadText(text, count);
    };
    for (int i = 0; i < 500; ++i) {
        port.OpenPort();
        if (i % 50 == 0)
            Pty.Send("x");
        port.ClosePort();
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.DeviceHandle(), -1);
}

TEST_F(ComPortTest, LostDeviceIsReportedOnceAndCloseStillWorks) {
    auto pty = std::make_unique<TPtyPair>();
    TComPort port;
    port.SetPort(pty->SlavePath());
    std::vector<TComErrors> errors;
    port.OnError = [&](TComponent*, TComErrors e) { errors.push_back(e); };
    port.OpenPort();
    EXPECT_FALSE(port.EventThread()->SamplesLines()); // a pseudo-terminal has no lines to sample
    pty->CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    PumpFor(200);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].Contains(erIO));
    EXPECT_THROW(port.WriteText("AT\r"), EComPort);
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
}

TEST_F(ComPortTest, AbortEndsAWaitingRead) {
    TComPort port;
    port.SetPort(Pty.SlavePath());
    port.Timeouts().SetReadInterval(0); // no time limit at all
    port.SetEvents({});
    port.OpenPort();
    std::thread aborter([&] {
        // Keeps aborting until the read has started and ended.
        for (int i = 0; i < 1000 && port.Connected(); ++i) {
            port.AbortAllRequests();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::string text;
    try {
        port.ReadText(text, 10);
        ADD_FAILURE() << "read was not aborted";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode, 3);
    }
    port.ClosePort();
    aborter.join();
}

TEST_F(ComPortTest, ConnectedWhileLoadingOpensWhenLoaded) {
    TComponent owner;
    auto* port = new TComPort(&owner);
    port->SetPort(Pty.SlavePath());
    owner.BeginLoading();
    port->SetConnected(true);
    port->SetBaudRate(br1200);
    EXPECT_FALSE(port->Connected());
    owner.EndLoading();
    EXPECT_TRUE(port->Connected());
    EXPECT_EQ(DeviceBaudRate(port->DeviceHandle()), 1200);

    // A failing open after loading goes to the error display.
    auto* broken = new TComPort(&owner);
    broken->SetPort("/nonexistent/tty");
    owner.BeginLoading();
    broken->SetConnected(true);
    EXPECT_NO_THROW(owner.EndLoading());
    EXPECT_EQ(Shown, std::vector<std::string>{
                         "Unable to open com port (Error: 2): /nonexistent/tty: No such file or directory"});
}

namespace {

// CPU seconds the whole process has used.
double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

// A modem unplugged and plugged in again behind the same link (as /dev/serial/by-id gives):
// the loss is reported once and costs no CPU, the port closes, an open while the device is
// away names the link and the reason, and once it is back the same port object opens it again
// and talks both ways.
TEST_F(ComPortTest, VanishedDeviceCanBeClosedAndOpenedAgainAtTheSamePathWhenItIsBack) {
    char folder[] = "/tmp/lumisk-by-id-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string link = std::string(folder) + "/usb-modem";
    auto pointLinkAt = [&](const std::string& target) {
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    };
    auto first = std::make_unique<TPtyPair>();
    pointLinkAt(first->SlavePath());

    TComPort port;
    port.SetPort(link);
    std::vector<TComErrors> errors;
    std::string received;
    port.OnError = [&](TComponent*, TComErrors e) { errors.push_back(e); };
    port.OnRxChar = [&](TComponent*, int count) {
        std::string text;
        port.ReadText(text, count);
        received += text;
    };
    port.OpenPort();
    first->Send("RING\r\n");
    ASSERT_TRUE(PumpUntil([&] { return received == "RING\r\n"; }));

    first.reset(); // unplugged
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    const double cpuBefore = ProcessCpuSeconds();
    PumpFor(1000);
    EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.5) << "a thread spins on the lost device";
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].Contains(erIO));
    EXPECT_TRUE(port.DeviceLost());
    port.ClosePort();

    pointLinkAt(std::string(folder) + "/absent");
    try {
        port.OpenPort();
        FAIL() << "opened a device that is away";
    } catch (const EComPort& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Unable to open com port (Error: 2): " + link + ": No such file or directory");
    }
    EXPECT_FALSE(port.Connected());

    TPtyPair second; // plugged in again
    pointLinkAt(second.SlavePath());
    received.clear();
    port.OpenPort();
    EXPECT_TRUE(port.Connected());
    EXPECT_FALSE(port.DeviceLost());
    port.WriteText("ATZ\r");
    EXPECT_EQ(second.Receive(4), "ATZ\r");
    second.Send("OK\r\n");
    ASSERT_TRUE(PumpUntil([&] { return received == "OK\r\n"; }));
    EXPECT_EQ(errors.size(), 1u);
    port.ClosePort();
    unlink(link.c_str());
    rmdir(folder);
}
