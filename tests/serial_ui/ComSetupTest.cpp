// The port list over an injected sysfs, the bound lists and the setup dialog on a real
// pseudo-terminal.
#include "serial/ComError.h"
#include "serial/ui/ComSetupForm.h"
#include "serial/ui/ListSerialPorts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QGroupBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool AppMade = false;

QApplication& App() {
    static int argc = 1;
    static char name[] = "serial-ui-tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* a = new QApplication(argc, argv);
        AppMade = true;
        // The look the program gives its dialogs: "Windows" style, "MS Sans Serif" at 11 px.
        a->setStyle("Windows");
        int id = QFontDatabase::addApplicationFont("/usr/share/wine/fonts/ms_sans_serif.ttf");
        if (id >= 0) {
            QFont font(QFontDatabase::applicationFontFamilies(id).value(0));
            font.setPixelSize(11);
            a->setFont(font);
        }
        return a;
    }();
    return *app;
}

// Ends the application after the last test, while Qt can still tidy up (its fontconfig
// cache would otherwise show as a leak).
class TAppEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        if (AppMade)
            delete &App();
    }
};
::testing::Environment* const AppEnvironment = ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

// A tty class folder with the given entries; those marked as ports get a device/driver link.
class TFakeSysfs {
public:
    TFakeSysfs() {
        char pattern[] = "/tmp/lumisk-sysfs-XXXXXX";
        Root = mkdtemp(pattern);
        fs::create_directories(Root + "/driver-8250");
    }
    ~TFakeSysfs() {
        std::error_code ignored;
        fs::remove_all(Root, ignored);
    }
    void Add(const std::string& name, bool port, const char* type = nullptr) {
        fs::create_directories(Root + "/" + name + "/device");
        if (port)
            fs::create_directory_symlink(Root + "/driver-8250", Root + "/" + name + "/device/driver");
        if (type)
            std::ofstream(Root + "/" + name + "/type") << type << "\n";
    }
    // A by-id folder beside the tty class folder, with links to where the names say.
    std::string ById(const std::vector<std::string>& links) {
        fs::create_directories(Root + "/by-id");
        for (const std::string& link : links)
            fs::create_symlink("../../ttyUSB0", Root + "/by-id/" + link);
        return Root + "/by-id";
    }
    std::string Root;
};

// Records the order in which the driver settings are applied.
class TRecordingPort : public TComPort {
public:
    std::vector<std::string> Applied;
    void ApplyBufferSizes() override {
        if (Connected() && UpdateCount() == 0)
            Applied.push_back("buffer");
        TComPort::ApplyBufferSizes();
    }
    void ApplyLineSettings() override {
        if (Connected() && UpdateCount() == 0)
            Applied.push_back("line");
        TComPort::ApplyLineSettings();
    }
    void ApplyTimeoutSettings() override {
        if (Connected() && UpdateCount() == 0)
            Applied.push_back("timeouts");
        TComPort::ApplyTimeoutSettings();
    }
};

// The main window's port on a pseudo-terminal.
class SetupDialog : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        char name[256] = {};
        ASSERT_EQ(openpty(&Master, &Slave, name, nullptr, nullptr), 0);
        PtyPath = name;
        Sysfs.Add("ttyS1", true);
        Sysfs.Add("ttyS2", true);
        Sysfs.Add("ttyS10", true);
        SetSerialPortsRoot(Sysfs.Root);
        SetSerialByIdRoot(Sysfs.ById({"usb-Modem_Gone-if00"}));
        Port.SetPort(PtyPath);
        Port.SetBaudRate(br1200);
        Port.SetDiscardNull(true);
        Port.FlowControl().SetControlDTR(dtrEnable);
    }
    void TearDown() override {
        Port.ClosePort();
        close(Master);
        close(Slave);
        SetSerialPortsRoot("/sys/class/tty");
        SetSerialByIdRoot("/dev/serial/by-id");
    }

    // Runs EditPortSettings; operate runs inside the modal dialog, then presses OK or Cancel.
    void Edit(const std::function<void(TComSetupFrm&)>& operate, bool ok) {
        bool ran = false;
        QTimer::singleShot(0, [&] {
            auto* form = qobject_cast<TComSetupFrm*>(QApplication::activeModalWidget());
            ASSERT_NE(form, nullptr);
            operate(*form);
            ran = true;
            (ok ? form->Button1 : form->Button2)->click();
        });
        EditPortSettings(Port);
        EXPECT_TRUE(ran);
    }

    static void Pick(TComComboBox* box, const QString& text) {
        int index = box->findText(text);
        if (index < 0) {
            box->addItem(text);
            index = box->count() - 1;
        }
        box->setCurrentIndex(index);
        emit box->activated(index); // as the operator's choice arrives
    }

    TFakeSysfs Sysfs;
    TRecordingPort Port;
    int Master = -1, Slave = -1;
    std::string PtyPath;
};

} // namespace

TEST(ListSerialPorts, ListsBoundPortsSortedIgnoringCaseAndLeavesTheListOnFailure) {
    TFakeSysfs sysfs;
    sysfs.Add("ttyS1", true);
    sysfs.Add("ttyS10", true);
    sysfs.Add("ttyS2", true);
    sysfs.Add("TTYusb0", true);
    sysfs.Add("tty0", false); // a virtual console: no driver link
    sysfs.Add("ptmx", false);
    sysfs.Add("ttyS0", true, "4"); // a 16550A
    sysfs.Add("ttyS3", true, "0"); // a console port with no UART behind it
    SetSerialPortsRoot(sysfs.Root);
    SetSerialByIdRoot(sysfs.Root + "/no-by-id");
    std::vector<std::string> list{"old"};
    ListSerialPorts(list);
    EXPECT_EQ(list, (std::vector<std::string>{"ttyS0", "ttyS1", "ttyS10", "ttyS2", "TTYusb0"}));

    // The names that survive a replug follow, as paths.
    const std::string byId = sysfs.ById({"usb-Zoom_V92-if00", "usb-US_Robotics_56K-if00"});
    SetSerialByIdRoot(byId);
    ListSerialPorts(list);
    EXPECT_EQ(list,
              (std::vector<std::string>{"ttyS0", "ttyS1", "ttyS10", "ttyS2", "TTYusb0",
                                        byId + "/usb-US_Robotics_56K-if00", byId + "/usb-Zoom_V92-if00"}));

    SetSerialPortsRoot(sysfs.Root + "/missing");
    ListSerialPorts(list);
    EXPECT_EQ(list.size(), 7u); // unchanged
    SetSerialPortsRoot("/sys/class/tty");
    SetSerialByIdRoot("/dev/serial/by-id");
}

TEST_F(SetupDialog, TheDialogShowsThePortsSettingsAndItsLayout) {
    Port.SetPort("ttyS2");
    Edit(
        [](TComSetupFrm& form) {
            EXPECT_EQ(form.windowTitle(), "Setup");
            EXPECT_EQ(form.size(), QSize(231, 216));
            EXPECT_EQ(form.GroupBox1->geometry(), QRect(8, 8, 217, 169));
            EXPECT_EQ(form.Combo1->geometry().topLeft(), QPoint(80, 16));
            EXPECT_EQ(form.Combo6->geometry().topLeft(), QPoint(80, 136));
            EXPECT_EQ(form.Combo1->width(), 129);
            EXPECT_EQ(form.Button1->geometry(), QRect(70, 184, 75, 25));
            EXPECT_EQ(form.Button2->geometry(), QRect(150, 184, 75, 25));
            EXPECT_TRUE(form.Button1->isDefault());
            EXPECT_EQ(form.Combo1->Text(), "ttyS2");
            EXPECT_EQ(form.Combo1->count(), 4); // three ports and a by-id link
            EXPECT_EQ(form.Combo2->Text(), "1200");
            EXPECT_EQ(form.Combo2->count(), 16);
            EXPECT_EQ(form.Combo2->itemText(0), "Custom");
            EXPECT_EQ(form.Combo3->Text(), "8");
            EXPECT_EQ(form.Combo4->Text(), "1");
            EXPECT_EQ(form.Combo5->Text(), "None");
            EXPECT_EQ(form.Combo6->Text(), "None");
            EXPECT_EQ(form.Combo6->count(), 4);
            QString png = QString(LUMISK_BINARY_DIR) + "/lumisk-setup-dialog.png";
            EXPECT_TRUE(form.grab().save(png));
        },
        false);
}

TEST_F(SetupDialog, OkOnAnOpenPortAppliesTheDriverSettingsOnceInOrder) {
    Port.OpenPort();
    Port.Applied.clear();
    Edit([&](TComSetupFrm& form) { Pick(form.Combo1, QString::fromStdString(PtyPath)); }, true);
    EXPECT_EQ(Port.Applied, (std::vector<std::string>{"buffer", "line", "timeouts"}));
    EXPECT_TRUE(Port.Connected());
    EXPECT_EQ(Port.BaudRate(), br1200);
    EXPECT_EQ(Port.UpdateCount(), 0);
}

TEST_F(SetupDialog, CancelWritesNothing) {
    Port.OpenPort();
    Port.Applied.clear();
    Edit(
        [&](TComSetupFrm& form) {
            Pick(form.Combo1, "ttyS1");
            Pick(form.Combo2, "9600");
            Pick(form.Combo3, "7");
            Pick(form.Combo4, "2");
            Pick(form.Combo5, "Even");
            Pick(form.Combo6, "Hardware");
        },
        false);
    EXPECT_TRUE(Port.Applied.empty());
    EXPECT_EQ(Port.Port(), PtyPath);
    EXPECT_EQ(Port.BaudRate(), br1200);
    EXPECT_EQ(Port.DataBits(), dbEight);
    EXPECT_EQ(Port.StopBits(), sbOneStopBit);
    EXPECT_EQ(Port.Parity().Bits(), prNone);
    EXPECT_EQ(Port.FlowControl().FlowControl(), fcNone);
    EXPECT_TRUE(Port.Connected());
}

TEST_F(SetupDialog, HardwareFlowControlGivesRtsHandshakeAndCtsFlowAndKeepsDtrOn) {
    Edit(
        [&](TComSetupFrm& form) {
            Pick(form.Combo1, QString::fromStdString(PtyPath));
            Pick(form.Combo6, "Hardware");
            Pick(form.Combo2, "9600");
        },
        true);
    EXPECT_EQ(Port.FlowControl().ControlRTS(), rtsHandshake);
    EXPECT_TRUE(Port.FlowControl().OutCTSFlow());
    EXPECT_EQ(Port.FlowControl().ControlDTR(), dtrEnable);
    EXPECT_EQ(Port.FlowControl().FlowControl(), fcHardware);
    EXPECT_EQ(Port.BaudRate(), br9600);
}

TEST_F(SetupDialog, AConfiguredPathOutsideTheListIsKeptAndAFailedReopenStillClosesTheBracket) {
    Port.OpenPort();
    Port.Applied.clear();
    const std::string gone = Sysfs.Root + "/by-id/usb-Modem_Gone-if00";
    Edit(
        [&](TComSetupFrm& form) {
            EXPECT_EQ(form.Combo1->Text(), PtyPath);
            EXPECT_EQ(form.Combo1->findText(QString::fromStdString(gone)), 3); // after ttyS1, ttyS10, ttyS2
        },
        true);
    EXPECT_EQ(Port.Port(), PtyPath);
    EXPECT_TRUE(Port.Connected());
    EXPECT_EQ(Port.Applied, (std::vector<std::string>{"buffer", "line", "timeouts"}));

    // A link whose device is unplugged cannot be reopened: the error reaches the caller and the
    // bracket is closed all the same.
    try {
        Edit([&](TComSetupFrm& form) { Pick(form.Combo1, QString::fromStdString(gone)); }, true);
        ADD_FAILURE() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode, 1);
    }
    EXPECT_EQ(Port.Port(), gone);
    // Left open, the bracket would keep every later change from the driver.
    EXPECT_EQ(Port.UpdateCount(), 0);
    Port.SetPort(PtyPath);
    Port.OpenPort();
    Port.Applied.clear();
    Port.SetBaudRate(br2400);
    EXPECT_EQ(Port.Applied, (std::vector<std::string>{"line"}));
}

TEST_F(SetupDialog, AnUnlistedPlainPortNameIsConfirmedEmpty) {
    // A name under /dev that the list lacks is shown as no selection, as on the system the
    // dialog follows; only paths are kept.
    Port.SetPort(PtyPath.substr(5)); // "pts/N"
    Port.OpenPort();
    try {
        Edit([](TComSetupFrm& form) { EXPECT_EQ(form.Combo1->currentIndex(), -1); }, true);
        ADD_FAILURE() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode, 1);
    }
    EXPECT_EQ(Port.Port(), "");
    EXPECT_EQ(Port.UpdateCount(), 0);
}

TEST_F(SetupDialog, ABoxFollowsItsPortAppliesAtOnceWithAutoApplyAndLetsGoOfAFreedPort) {
    TComComboBox box;
    box.SetComProperty(cpBaudRate);
    EXPECT_EQ(box.currentIndex(), 0); // no port: item 0
    auto port = std::make_unique<TComPort>();
    port->SetBaudRate(br4800);
    box.SetComPort(port.get());
    EXPECT_EQ(box.Text(), "4800");
    box.SetText("19200");
    EXPECT_EQ(box.Text(), "19200");
    box.SetText("nonsense"); // no such item: nothing changes
    EXPECT_EQ(box.Text(), "19200");
    box.ApplySelection(); // the pending value is still the port's own
    EXPECT_EQ(port->BaudRate(), br4800);

    box.SetAutoApply(true);
    int changes = 0;
    box.OnChange = [&] { ++changes; };
    Pick(&box, "2400");
    EXPECT_EQ(port->BaudRate(), br2400);
    EXPECT_EQ(changes, 1);

    port.reset();
    EXPECT_EQ(box.ComPort(), nullptr);
    EXPECT_EQ(box.currentIndex(), 0);
}
