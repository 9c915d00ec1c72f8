// A "RING" while a message is being recorded: the box answers again at once. Nothing is lost:
// the recording in progress goes on into its file and is completed, and both callers' numbers
// and messages are kept.
#include "FaultSupport.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>

TEST_F(FaultTest, RingWhileRecordingIsAnsweredAtOnceAndBothMessagesAreKept) {
    TPluggableModem modem(Folder.File("modem"));
    auto form = MakeForm(modem.Link);
    ASSERT_TRUE(modem.WaitReceived("ATM1\r"));
    form->CheckBox1->setChecked(true);
    const std::string first = StartRecordedCall(*form, modem, "11");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return form->RecordFile && form->RecordFile->GetDataSize() > 0; }, 30000));

    Clock.Advance(1000);
    modem.Send("RING\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return modem.Count("ATH1\r") == 2; }, 30000));
    EXPECT_EQ(Played(), (std::vector<std::string>{"welcome.wav", "enter.wav", "message.wav", "beep.wav",
                                                  "welcome.wav", "enter.wav"}));
    // The first message is still being recorded, into its own file.
    EXPECT_TRUE(form->Recording());
    const int32_t sizeAtRing = form->RecordFile->GetDataSize();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->RecordFile->GetDataSize() > sizeAtRing; }, 30000));
    EXPECT_NE(form->FileNameEdit->text().toStdString(), first); // named for the new call

    // The second caller keys a number: the first recording is completed, the second starts.
    const std::string second = StartRecordedCall(*form, modem, "22");
    EXPECT_NE(second, first);
    const TReadBack wave = ReadWave(first);
    ASSERT_TRUE(wave.Opened);
    EXPECT_GT(wave.DataSize, sizeAtRing);
    EXPECT_EQ(wave.DataStart + wave.DataSize, static_cast<int64_t>(ReadFile(first).size()));
    ASSERT_EQ(form->ListBox1->count(), 2);
    EXPECT_EQ(form->ListBox1->item(0)->text(), "11");
    EXPECT_EQ(form->ListBox1->item(1)->text(), "22");

    ASSERT_TRUE(
        QTest::qWaitFor([&] { return form->RecordFile && form->RecordFile->GetDataSize() > 0; }, 30000));
    Clock.Advance(6000);
    ASSERT_TRUE(modem.WaitReceived("ATH0\r"));
    EXPECT_FALSE(form->Recording());
    const TReadBack secondWave = ReadWave(second);
    ASSERT_TRUE(secondWave.Opened);
    EXPECT_GT(secondWave.DataSize, 0);
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
}
