// The modem line pulled in the middle of a recorded call and put back: the box opens it again by
// itself.
#include "FaultSupport.h"

#include <QCheckBox>
#include <QLineEdit>
#include <algorithm>

TEST_F(FaultTest, ModemLinePulledMidCallIsReportedOnceWithoutSpinningAndReopenedByTheBox) {
    TPluggableModem modem(Folder.File("modem"));
    ASSERT_TRUE(modem.Plugged());
    auto form = MakeForm(modem.Link);
    std::vector<std::string> events;
    form->OnCallEvent = [&](const std::string& event) { events.push_back(event); };
    ASSERT_TRUE(modem.WaitReceived("ATM1\r"));
    form->CheckBox1->setChecked(true);
    const std::string recording = StartRecordedCall(*form, modem, "42");
    ASSERT_TRUE(modem.WaitReceived("ATDD;\r"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Box().Recorder().DataSize() > 0; }, 30000));

    modem.Pull();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Box().Port().DeviceLost(); }, 30000));
    // A call whose modem went away ends as a call whose caller left: the message so far is
    // complete and on its way, the hang-up that cannot be sent is an event line, not an error.
    const std::string lost = "modem " + modem.Link + " lost (the device went away)";
    ASSERT_TRUE(QTest::qWaitFor([&] { return Has(events, "caller left (modem lost)"); }, 30000));
    EXPECT_EQ(std::count(events.begin(), events.end(), lost), 1); // for the supervisor
    EXPECT_FALSE(form->Box().Recorder().Recording());
    EXPECT_EQ(form->Box().Flow().State(), TCallState::Idle);
    const TReadBack wave = ReadWave(recording);
    ASSERT_TRUE(wave.Opened);
    EXPECT_GT(wave.DataSize, 0);
    EXPECT_EQ(wave.DataStart + wave.DataSize, static_cast<int64_t>(ReadFile(recording).size()));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Has(events, "upload done 42/") || Has(events, "delivered 42/"); }, 30000));
    // With the line gone the box waits: two seconds of its event loop cost a small part of the
    // CPU time one spinning thread would take, and it tries the port again every few seconds,
    // quietly.
    const int64_t before = ProcessCpuMs();
    QTest::qWait(2000);
    EXPECT_LT(ProcessCpuMs() - before, 1000);
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();

    // The modem is back at the same device path: the box opens it at its next try and sets it
    // up; the next call goes through.
    modem.Plug();
    Clock.Advance(TModemWatch::RetryMilliseconds);
    EXPECT_TRUE(form->Box().Port().Connected());
    EXPECT_FALSE(form->Box().Port().DeviceLost());
    EXPECT_EQ(std::count(events.begin(), events.end(), "modem " + modem.Link + " back"), 1);
    EXPECT_TRUE(modem.WaitReceived("ATM1\r"));
    const std::string next = StartRecordedCall(*form, modem, "43");
    EXPECT_TRUE(modem.WaitReceived("ATDD;\r"));
    EXPECT_NE(next, recording);
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.back();
    EXPECT_EQ(std::count(events.begin(), events.end(), lost), 1);
}
