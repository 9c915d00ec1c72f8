// A "RING" while a message is being recorded: the box answers again at once. Nothing is lost:
// the first caller has gone, so the recording in progress is completed and handed to the
// outbox, which stores it in its caller's mailbox while the new call goes on; the new caller's
// message (a mailbox the server knows) is stored by the outbox after its own call.
#include "FaultSupport.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>

TEST_F(FaultTest, RingWhileRecordingIsAnsweredAtOnceAndBothMessagesReachTheServer) {
    TPluggableModem modem(Folder.File("modem"));
    auto form = MakeForm(modem.Link);
    std::vector<std::string> events;
    form->OnCallEvent = [&](const std::string& e) { events.push_back(e); };
    auto eventStarting = [&](const std::string& head) {
        for (const std::string& e : events)
            if (e.rfind(head, 0) == 0)
                return e;
        return std::string();
    };
    ASSERT_TRUE(modem.WaitReceived("ATM1\r"));
    form->CheckBox1->setChecked(true);
    const std::string first = StartRecordedCall(*form, modem, "11");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Box().Recorder().DataSize() > 0; }, 30000));

    Clock.Advance(1000);
    modem.Send("RING\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return modem.Count("ATH1\r") == 2; }, 30000));
    EXPECT_EQ(Played(), (std::vector<std::string>{"welcome.wav", "enter.wav", "message.wav", "beep.wav",
                                                  "welcome.wav", "enter.wav"}));
    // The first message is complete and on its way; the new call has a file of its own.
    EXPECT_FALSE(form->Box().Recorder().Recording());
    EXPECT_FALSE(form->Box().Flow().TimeLimit().Enabled());
    EXPECT_EQ(form->Box().Flow().State(), TCallState::AwaitingNumber);
    const TReadBack wave = ReadWave(first);
    ASSERT_TRUE(wave.Opened);
    EXPECT_GT(wave.DataSize, 0);
    EXPECT_EQ(wave.DataStart + wave.DataSize, static_cast<int64_t>(ReadFile(first).size()));
    EXPECT_NE(form->FileNameEdit->text().toStdString(), first);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !eventStarting("delivered 11/").empty(); }, 60000));
    std::string firstRemote = eventStarting("delivered 11/").substr(10);
    firstRemote.resize(firstRemote.find(" after 1 tries"));
    EXPECT_EQ(ReadFile(Ftp->FilePath("mbox1", firstRemote)), ReadFile(first));

    // RINGs the modem queued while it went off hook belong to this call: not answered again.
    modem.Send("RING\r\nRING\r\nmark");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Box().Flow().RxText().find("mark") != std::string::npos; },
                                30000));
    EXPECT_EQ(modem.Count("ATH1\r"), 2);

    // The second caller keys a number and is recorded; the time limit runs from its number.
    for (char key : std::string("22"))
        form->Box().Flow().PhoneToneDecoder1DTMF(key);
    Clock.Advance(4000);
    const std::string second = form->FileNameEdit->text().toStdString();
    EXPECT_NE(second, first);
    ASSERT_EQ(form->ListBox1->count(), 2);
    EXPECT_EQ(form->ListBox1->item(0)->text(), "11");
    EXPECT_EQ(form->ListBox1->item(1)->text(), "22");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Box().Recorder().DataSize() > 0; }, 30000));
    Clock.Advance(6000);
    ASSERT_TRUE(modem.WaitReceived("ATH0\r"));
    EXPECT_FALSE(form->Box().Recorder().Recording());
    // Mailbox 22 was found on the server while the caller listened: its message goes by the
    // outbox once the line is on hook.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !eventStarting("delivered 22/").empty(); }, 60000));
    std::string secondRemote = eventStarting("delivered 22/").substr(10);
    secondRemote.resize(secondRemote.find(" after 1 tries"));
    EXPECT_EQ(ReadFile(Ftp->FilePath("mbox1", secondRemote)), ReadFile(second));
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
}
