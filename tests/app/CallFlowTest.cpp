// Whole calls through the real pieces: lumisk-linesim as the modem, the simulated sound card fed
// with generated DTMF audio, the project's decoder, and a clock the test moves.
#include "app/CallStamp.h"
#include "app/LineSim.h"
#include "app/MailboxUpload.h"
#include "app/SimulatedWindowTest.h"
#include "audio/WaveSound.h"
#include "decoder/DtmfSignal.h"
#include "serial/ui/ComSetupForm.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class CallFlow : public SimulatedWindowTest {
protected:
    CallFlow() : SimulatedWindowTest("callflow") {}
    void SetUp() override {
        SimulatedWindowTest::SetUp();
        ASSERT_FALSE(Line.Path.empty());
    }

    TLineSim Line;
};

} // namespace

TEST_F(CallFlow, RingInTwoPiecesAnswersAndLowerCaseRingDoesNot) {
    WriteWave(Folder.File("caller.wav"), {});
    auto form = MakeForm(Line.Path);
    ASSERT_TRUE(Line.WaitReceived("ATM1")); // the initialisation string at start-up
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();

    Line.Command("send ring\\r\\n");
    ASSERT_TRUE(Line.WaitFor([&] {
        return form->Box().Flow().RxText().find("ring\r\n") != std::string::npos;
    })) << "received text: ["
        << form->Box().Flow().RxText() << "], modem end: " << testing::PrintToString(Line.Lines());
    EXPECT_FALSE(Line.HasReceived("ATH1"));

    Line.Command("ring split");
    ASSERT_TRUE(Line.WaitReceived("ATH1"));
    EXPECT_EQ(form->Box().Flow().RxText().find("RI"), std::string::npos);
    EXPECT_EQ(Played(), (std::vector<std::string>{"welcome.wav", "enter.wav"}));
    EXPECT_EQ(form->Box().Flow().CallStamp(), FormatCallStamp(Clock.Now()));
    EXPECT_EQ(form->FileNameEdit->text(), "c:\\test.wav");             // no autosave: the name stays
    EXPECT_EQ(form->Box().Flow().State(), TCallState::AwaitingNumber); // the time-out waits for a key
}

TEST_F(CallFlow, APromptThatCannotBePlayedIsToldOncePerFileAndTheCallGoesOn) {
    WriteWave(Folder.File("caller.wav"), {});
    // A mu-law welcome plays; an enter.wav that is no wave gives the default sound.
    ASSERT_EQ(
        std::system(
            ("sox -D -n -r 8000 -e u-law " + Folder.File("welcome.wav") + " synth 0.1 sine 440").c_str()),
        0);
    std::FILE* broken = std::fopen(Folder.File("enter.wav").c_str(), "wb");
    std::fputs("not a wave", broken);
    std::fclose(broken);
    auto form = MakeForm(Line.Path);
    std::vector<std::string> events;
    form->OnCallEvent = [&](const std::string& event) { events.push_back(event); };
    ASSERT_TRUE(Line.WaitReceived("ATM1"));
    Line.Command("ring");
    ASSERT_TRUE(Line.WaitReceived("ATH1"));
    QTest::mouseClick(form->Button9, Qt::LeftButton); // answered again by hand
    const std::vector<std::string> expected{"answered", "prompt enter.wav not playable: not a RIFF WAVE file",
                                            "answered"};
    EXPECT_EQ(events, expected);
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
    const std::string heard = ReadFile(Folder.File("played.raw"));
    EXPECT_EQ(heard.size(), 2 * (1600 + DefaultSound().Data.size())); // twice 0.1 s and the tone
}

TEST_F(CallFlow, AChatteringLineKeepsOnlyTheTailOfTheReceivedText) {
    WriteWave(Folder.File("caller.wav"), {});
    auto form = MakeForm(Line.Path);
    ASSERT_TRUE(Line.WaitReceived("ATM1"));
    const std::string chunk(1000, 'x');
    for (int i = 0; i < 10; ++i)
        Line.Command("send " + chunk);
    Line.Command("send RI");
    ASSERT_TRUE(Line.WaitFor([&] {
        return form->Box().Flow().RxText().size() >= 2 &&
               form->Box().Flow().RxText().substr(form->Box().Flow().RxText().size() - 2) == "RI";
    }));
    EXPECT_EQ(form->Box().Flow().RxText().size(), TCallFlow::RxTextLimit);
    Line.Command("send NG\\r\\n"); // still joins the "RI" kept in the tail
    ASSERT_TRUE(Line.WaitReceived("ATH1"));
}

TEST_F(CallFlow, KeysFromTheSoundCardBecomeTheMailboxNumberAndTheMessageIsRecorded) {
    TDtmfSignal caller;
    caller.AppendSilence(300);
    for (char key : std::string("12D3")) {
        caller.AppendKey(key, 100, -10, -10);
        caller.AppendSilence(100);
    }
    caller.AppendSilence(2000);
    WriteWave(Folder.File("caller.wav"), caller.ToPcm());

    TestFtpServer server(TestFtpServer::PyFtpdLib, Folder.File("ftp"), {"123"});
    auto form = MakeForm(Line.Path, server.Port());
    form->CheckBox1->setChecked(true);
    ASSERT_TRUE(Line.WaitReceived("ATM1"));
    Line.Command("ring");
    ASSERT_TRUE(Line.WaitReceived("ATH1"));
    const std::string answerStamp = FormatCallStamp(Clock.Now());
    const std::string recording = Folder.File(TextToHex(answerStamp) + ".wav");
    EXPECT_EQ(form->FileNameEdit->text().toStdString(), recording);

    form->show(); // the decoder's capture starts: the caller's keys arrive
    ASSERT_TRUE(Line.WaitFor([&] { return form->Label7->text() == "123"; }));
    EXPECT_EQ(form->windowTitle(), "Vexa 1.36");
    Clock.Advance(3999);
    EXPECT_TRUE(form->ListBox1->count() == 0);
    Clock.Advance(1);
    EXPECT_EQ(form->windowTitle(), "ID: 123");
    ASSERT_EQ(form->ListBox1->count(), 1);
    EXPECT_EQ(form->ListBox1->item(0)->text(), "123");
    EXPECT_EQ(form->Box().Flow().MailboxNumber(), "123");
    EXPECT_EQ(form->Box().Flow().CallStamp(), FormatCallStamp(Clock.Now()));
    ASSERT_TRUE(Line.WaitReceived("ATDD;"));
    EXPECT_EQ(Played(), (std::vector<std::string>{"welcome.wav", "enter.wav", "message.wav", "beep.wav"}));
    ASSERT_TRUE(form->Box().Recorder().Recording());
    ASSERT_TRUE(Line.WaitFor([&] { return form->SizeLabel->text() != "0 byte"; }));

    // The time limit (6 s until the field is left) ends the call: stop, upload into the
    // mailbox, closing prompt, hang-up.
    Clock.Advance(5999);
    EXPECT_TRUE(form->Box().Recorder().Recording());
    Clock.Advance(1);
    EXPECT_FALSE(form->Box().Recorder().Recording());
    ASSERT_TRUE(Line.WaitReceived("ATH0"));
    EXPECT_EQ(Played().back(), "thank.wav");
    std::string wave = ReadFile(recording);
    ASSERT_GT(wave.size(), 46u);
    EXPECT_EQ(wave.substr(0, 4), "RIFF");
    // The server said mailbox 123 exists: the outbox stores it once the line is on hook.
    const std::string remote =
        server.FilePath("mbox1", RemoteFileName("123", form->Box().Flow().CallStamp()));
    EXPECT_TRUE(Line.WaitFor([&] { return ReadFile(remote) == wave; }));
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
    using S = TCallState;
    EXPECT_EQ(States, (std::vector<S>{S::Greeting, S::AwaitingNumber, S::CollectingDigits, S::CheckingMailbox,
                                      S::Recording, S::Closing, S::Idle}));
}

TEST_F(CallFlow, KeysArriveFromACardThatOffersNeither8kHzNor16Bit) {
    // A USB interface of 44.1 kHz only: the decoder's list falls back to its first entry,
    // 44100 Hz 8 bit mono, and the decoder converts what it hears.
    setenv("LUMISK_SIM_RATES", "44100", 1);
    struct TUnset {
        ~TUnset() { unsetenv("LUMISK_SIM_RATES"); }
    } unset;
    TDtmfSignal caller;
    caller.AppendSilence(300);
    for (char key : std::string("4*7")) {
        caller.AppendKey(key, 60, -14, -12);
        caller.AppendSilence(80);
    }
    caller.AppendSilence(1000);
    WriteWave(Folder.File("caller.wav"), caller.ToPcm());

    auto form = MakeForm(Line.Path);
    EXPECT_EQ(form->FormatBox->currentText(), "44100Hz 8bit Mono");
    Line.Command("ring"); // keys count only on a call
    ASSERT_TRUE(Line.WaitReceived("ATH1"));
    form->show();
    ASSERT_TRUE(Line.WaitFor([&] { return form->Label7->text() == "4*7"; }))
        << form->Label7->text().toStdString();
}

TEST_F(CallFlow, OperatorButtonsDriveTheLine) {
    WriteWave(Folder.File("caller.wav"), {});
    auto form = MakeForm(Line.Path);
    ASSERT_TRUE(Line.WaitReceived("ATM1"));

    // "Open line" without autosave: off hook, time limit on, nothing recorded.
    Line.Command("send noise");
    ASSERT_TRUE(Line.WaitFor([&] { return form->Box().Flow().RxText().find("noise") != std::string::npos; }));
    form->Button1->click();
    ASSERT_TRUE(Line.WaitReceived("ATH1"));
    EXPECT_EQ(form->Box().Flow().RxText().find("noise"),
              std::string::npos); // cleared (the modem's "OK" may follow)
    EXPECT_TRUE(Clock.Armed(form->Box().Flow().TimeLimit()));
    EXPECT_EQ(form->Box().Flow().State(), TCallState::Recording);
    EXPECT_FALSE(form->Box().Recorder().Recording());
    EXPECT_TRUE(Played().empty()); // no prompt

    // "Close line": recording stopped, "ATH0", and the label says so for good.
    form->Button2->click();
    ASSERT_TRUE(Line.WaitReceived("ATH0"));
    EXPECT_EQ(form->Label3->text(), "Transmitter off");
    EXPECT_EQ(form->Box().Flow().State(), TCallState::Idle);
    EXPECT_FALSE(Clock.Armed(form->Box().Flow().TimeLimit())); // no call left to end later

    // "Open line" with autosave records into a file named after the time stamp.
    form->CheckBox1->setChecked(true);
    Clock.Advance(61000);
    form->Button1->click();
    EXPECT_EQ(form->FileNameEdit->text().toStdString(),
              Folder.File(TextToHex(FormatCallStamp(Clock.Now())) + ".wav"));
    EXPECT_TRUE(form->Box().Recorder().Recording());

    // "terminate": the hang-up string from its field, then the recorder stops.
    form->Edit4->setText("ATH9");
    form->Button10->click();
    ASSERT_TRUE(Line.WaitReceived("ATH9"));
    EXPECT_FALSE(form->Box().Recorder().Recording());

    form->Edit2->setText("ATZ");
    form->Button8->click(); // "Init"
    ASSERT_TRUE(Line.WaitReceived("ATZ"));
    form->Edit3->setText("ATA");
    form->Button9->click(); // "Answer": the answer string and the prompts
    ASSERT_TRUE(Line.WaitReceived("ATA"));
    EXPECT_EQ(Played(), (std::vector<std::string>{"welcome.wav", "enter.wav"}));

    form->Button4->click(); // "Play": welcome.wav through the media player
    EXPECT_EQ(Played().back(), "welcome.wav");
    EXPECT_EQ(form->Box().Player().DeviceId(), 0u);
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();

    ASSERT_EQ(unlink(Folder.File("welcome.wav").c_str()), 0);
    form->Button4->click(); // the player's error is shown
    EXPECT_EQ(Errors.Texts.size(), 1u);
}

TEST_F(CallFlow, APortThatCannotOpenIsShownAndTheRestOfTheStartUpGoesOn) {
    auto form = MakeForm(Folder.File("no-such-modem"));
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_EQ(Errors.Texts[0], "Unable to open com port (Error: 2): " + Folder.File("no-such-modem") +
                                   ": No such file or directory");
    EXPECT_NE(form->Box().Decoder().Capture(), nullptr); // the steps after the port were taken
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_EQ(Errors.Texts.size(), 1u);
    form->Button8->click(); // "Init" on a port that is not open
    ASSERT_EQ(Errors.Texts.size(), 2u);
    EXPECT_EQ(Errors.Texts[1], "Cannot send ATM1 to the modem " + Folder.File("no-such-modem") +
                                   ": it is lost (No such file or directory)");
    form->Button5->click(); // "Save cfg." still works
    EXPECT_EQ(ReadFile(Folder.File("pager.ini")).substr(0, 4), "10\r\n");
    // The decoder listens from the window's first showing, as with a modem.
    EXPECT_TRUE(form->Box().Decoder().Decoding());
    form->RadioButton1->click(); // "On" keeps it on
    EXPECT_TRUE(form->Box().Decoder().Decoding());
}

TEST_F(CallFlow, TheSetingButtonOpensTheSetupDialogOnTheWindowsPort) {
    WriteWave(Folder.File("caller.wav"), {});
    auto form = MakeForm(Line.Path);
    ASSERT_TRUE(Line.WaitReceived("ATM1"));
    bool shown = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<TComSetupFrm*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->Combo2->Text(), "1200");
        EXPECT_EQ(dialog->Combo3->Text(), "8");
        EXPECT_EQ(dialog->Combo4->Text(), "1");
        EXPECT_EQ(dialog->Combo5->Text(), "None");
        EXPECT_EQ(dialog->Combo6->Text(), "None");
        shown = true;
        dialog->Button2->click(); // Cancel
    });
    form->Button3->click();
    EXPECT_TRUE(shown);
    EXPECT_TRUE(form->Box().Port().Connected());
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
}

// A caller who keys no digit must not hold the line: asked again after each silent wait, hung
// up after the third. A key (even a lone "D") starts the count afresh. Closing the window
// while off hook hangs up before the port closes.
TEST_F(CallFlow, ACallerWhoKeysNoDigitIsAskedAgainThenHungUpAndClosingHangsUp) {
    WriteWave(Folder.File("caller.wav"), {});
    auto form = MakeForm(Line.Path);
    std::vector<std::string> events;
    form->OnCallEvent = [&](const std::string& e) { events.push_back(e); };
    ASSERT_TRUE(Line.WaitReceived("ATM1"));
    // Requests heard: every play of "enter.wav" is 400 samples of its mark.
    auto requests = [&] {
        const std::string raw = ReadFile(Folder.File("played.raw"));
        size_t marked = 0;
        for (size_t i = 0; i + 1 < raw.size(); i += 2)
            marked += static_cast<int16_t>(uint8_t(raw[i]) | uint8_t(raw[i + 1]) << 8) == 2000;
        return marked / 400;
    };

    Line.Command("ring");
    ASSERT_TRUE(Line.WaitReceived("ATH1"));
    EXPECT_TRUE(form->Box().Flow().OffHook());
    EXPECT_EQ(form->Box().Flow().State(), TCallState::AwaitingNumber);
    EXPECT_EQ(Clock.Remaining(form->Box().Flow().Deadline()), 10000);
    Clock.Advance(10000);
    EXPECT_EQ(requests(), 2u);
    // Only "D": the time-out finds no digits and the wait starts over, from the first.
    form->Box().Flow().PhoneToneDecoder1DTMF('D');
    EXPECT_EQ(form->Box().Flow().State(), TCallState::CollectingDigits);
    EXPECT_EQ(Clock.Remaining(form->Box().Flow().Deadline()), 4000);
    Clock.Advance(4000);
    EXPECT_EQ(form->Box().Flow().State(), TCallState::AwaitingNumber);
    EXPECT_EQ(Clock.Remaining(form->Box().Flow().Deadline()), 10000);
    Clock.Advance(20000);
    EXPECT_EQ(requests(), 4u);
    EXPECT_FALSE(Line.HasReceived("ATH0"));
    Clock.Advance(10000);
    ASSERT_TRUE(Line.WaitReceived("ATH0"));
    EXPECT_EQ(requests(), 4u);
    EXPECT_FALSE(form->Box().Flow().OffHook());
    EXPECT_FALSE(Clock.Armed(form->Box().Flow().Deadline()));
    EXPECT_EQ(events, (std::vector<std::string>{"answered", "no number"}));

    // The next call is answered; the window closes while it is off hook.
    Line.Command("ring");
    ASSERT_TRUE(Line.WaitFor([&] { return form->Box().Flow().OffHook(); }));
    form->close();
    ASSERT_TRUE(Line.WaitFor([&] {
        int hangups = 0;
        for (const std::string& line : Line.Received())
            hangups += line == "ATH0";
        return hangups == 2;
    }));
    EXPECT_EQ(events.back(), "hangup");
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
}

// The number is checked on the server while "message.wav" plays: a mailbox the server lacks is
// asked for again, and after the third the caller is thanked and hung up, nothing recorded.
TEST_F(CallFlow, AMailboxTheServerLacksIsAskedForTwiceMoreThenTheCallEnds) {
    WriteWave(Folder.File("caller.wav"), {});
    TestFtpServer server(TestFtpServer::PyFtpdLib, Folder.File("ftp"), {"123"});
    auto form = MakeForm(Line.Path, server.Port());
    std::vector<std::string> events;
    form->OnCallEvent = [&](const std::string& e) { events.push_back(e); };
    form->CheckBox1->setChecked(true);
    ASSERT_TRUE(Line.WaitReceived("ATM1"));
    Line.Command("ring");
    ASSERT_TRUE(Line.WaitReceived("ATH1"));
    for (int attempt = 1; attempt <= 3; ++attempt) {
        SCOPED_TRACE(attempt);
        form->Box().Flow().PhoneToneDecoder1DTMF('9');
        form->Box().Flow().PhoneToneDecoder1DTMF('8');
        Clock.Advance(4000);
        const TCallState next = attempt < 3 ? TCallState::AwaitingNumber : TCallState::Idle;
        ASSERT_TRUE(Line.WaitFor([&] { return form->Box().Flow().State() == next; }));
    }
    ASSERT_TRUE(Line.WaitReceived("ATH0"));
    EXPECT_FALSE(Line.HasReceived("ATDD;"));
    EXPECT_FALSE(form->Box().Recorder().Recording());
    EXPECT_EQ(Played(), (std::vector<std::string>{"welcome.wav", "enter.wav", "message.wav", "notfound.wav",
                                                  "enter.wav", "message.wav", "notfound.wav", "enter.wav",
                                                  "message.wav", "notfound.wav", "thank.wav"}));
    std::vector<std::string> missing;
    for (const std::string& e : events)
        if (e.rfind("no such mailbox ", 0) == 0 || e == "hangup")
            missing.push_back(e);
    EXPECT_EQ(missing, (std::vector<std::string>{"no such mailbox 98", "no such mailbox 98",
                                                 "no such mailbox 98", "hangup"}));
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
}

// A server that takes the connection and never says a word holds the caller no longer than
// [call] check_wait: the number is then taken unchecked and the message recorded.
TEST_F(CallFlow, AServerThatNeverAnswersTheCheckDelaysTheMessageOnlyByTheCheckWait) {
    WriteWave(Folder.File("caller.wav"), {});
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(silent, 4), 0);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length), 0);
    {
        auto form = MakeForm(Line.Path, ntohs(address.sin_port));
        std::vector<std::string> events;
        form->OnCallEvent = [&](const std::string& e) { events.push_back(e); };
        ASSERT_TRUE(Line.WaitReceived("ATM1"));
        Line.Command("ring");
        ASSERT_TRUE(Line.WaitReceived("ATH1"));
        for (char key : std::string("123"))
            form->Box().Flow().PhoneToneDecoder1DTMF(key);
        Clock.Advance(4000);
        EXPECT_EQ(form->Box().Flow().State(), TCallState::CheckingMailbox);
        Clock.Advance(1999);
        EXPECT_EQ(form->Box().Flow().State(), TCallState::CheckingMailbox);
        EXPECT_FALSE(Line.HasReceived("ATDD;"));
        Clock.Advance(1);
        EXPECT_EQ(form->Box().Flow().State(), TCallState::Recording);
        ASSERT_TRUE(Line.WaitReceived("ATDD;"));
        EXPECT_NE(std::find(events.begin(), events.end(), "mailbox 123 not checked (no answer within 2 s)"),
                  events.end());
        form->Box().Flow().Terminate(); // nothing was recorded ("Autosave wave" off): nothing to upload
    }
    close(silent);
}
