// Faults an unattended box meets between visits, seen from the window: a message that cannot
// be recorded at all, and recordings a crash left half-written.
#include "FaultSupport.h"
#include "app/MessageNote.h"
#include "app/RecordingRecovery.h"

#include <QCheckBox>
#include <QLineEdit>
#include <algorithm>
#include <filesystem>

namespace {

int FilesIn(const std::string& folder) {
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        files += entry.is_regular_file();
    return files;
}

// A recording as a crash leaves it: audio on the disk, both size fields still 0.
void WriteCutShortWave(const std::string& path, int samples) {
    WriteWave(path, std::vector<int16_t>(static_cast<size_t>(samples), 1200));
    std::string bytes = ReadFile(path);
    std::fill(bytes.begin() + 4, bytes.begin() + 8, '\0');
    std::fill(bytes.end() - samples * 2 - 4, bytes.end() - samples * 2, '\0');
    WriteFile(path, bytes);
}

} // namespace

TEST_F(FaultTest, AMessageThatCannotBeRecordedEndsTheCallAtOnceAndNothingIsUploaded) {
    TPluggableModem modem(Folder.File("modem"));
    auto form = MakeForm(modem.Link);
    std::vector<std::string> events;
    form->OnCallEvent = [&](const std::string& event) { events.push_back(event); };
    ASSERT_TRUE(modem.WaitReceived("ATM1\r"));
    form->CheckBox1->setChecked(true);
    unsetenv("LUMISK_SIM_PLAYBACK");
    {
        TFileSizeLimit full(0); // not one byte more fits on the disk
        ASSERT_TRUE(full.Ok);
        modem.Send("RING\r\n");
        ASSERT_TRUE(modem.WaitReceived("ATH1\r"));
        form->Box().Flow().PhoneToneDecoder1DTMF('7');
        Clock.Advance(TCallFlow::InterDigitMilliseconds);
        // Hung up at once, not after the time limit.
        ASSERT_TRUE(modem.WaitReceived("ATH0\r"));
    }
    EXPECT_EQ(form->Box().Flow().State(), TCallState::Idle);
    EXPECT_FALSE(form->Box().Recorder().Recording());
    ASSERT_TRUE(Has(events, "no message recorded (Cannot write ")) << events.back();
    EXPECT_FALSE(Has(events, "upload"));
    EXPECT_FALSE(Has(events, "queued"));
    EXPECT_EQ(events.back(), "hangup");
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_NE(Errors.Texts[0].find("File too large"), std::string::npos) << Errors.Texts[0];
    EXPECT_EQ(FilesIn(Folder.File("ftp")), 0);

    // With room again the next call records its message as ever.
    const std::string next = StartRecordedCall(*form, modem, "7");
    EXPECT_TRUE(std::filesystem::exists(PendingRecordName(next)));
    Clock.Advance(6000);
    // Stored by the call or, its mailbox checked, by the outbox right after the hang-up.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Has(events, "upload done 7/") || Has(events, "delivered 7/"); }, 30000));
    EXPECT_FALSE(std::filesystem::exists(PendingRecordName(next)));
}

TEST_F(FaultTest, RecordingsACrashLeftAreMendedAtStartAndOnlyACallsMessageIsDelivered) {
    // A call's message with its record, and the operator's own recording without one.
    const std::string call = Folder.File("call.wav");
    const std::string own = Folder.File("own.wav");
    WriteCutShortWave(call, 16000);
    WriteCutShortWave(own, 8000);
    TPendingRecord record;
    record.Mailbox = "7";
    record.RemoteName = "7/recovered.wav";
    TMessageNote note;
    note.Mailbox = "7";
    note.Received = 1765000000;
    record.Note = FormatMessageNote(note);
    WritePendingRecord(call, record);
    // A record whose recording went already: dropped quietly.
    WritePendingRecord(Folder.File("gone.wav"), record);

    TPluggableModem modem(Folder.File("modem"));
    auto form = MakeForm(modem.Link);
    std::vector<std::string> events;
    form->OnCallEvent = [&](const std::string& event) { events.push_back(event); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return Has(events, "delivered 7/recovered.wav"); }, 30000))
        << (events.empty() ? "" : events.back());
    EXPECT_TRUE(Has(events, "recovered " + call + " (2 s)"));
    EXPECT_TRUE(Has(events, "recovered " + own + " (1 s)"));
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string& e) { return e.rfind("recovered", 0) == 0; }),
              2);
    EXPECT_FALSE(std::filesystem::exists(PendingRecordName(call)));
    EXPECT_FALSE(std::filesystem::exists(PendingRecordName(Folder.File("gone.wav"))));
    for (const std::string& path : {call, own}) {
        const TReadBack wave = ReadWave(path);
        ASSERT_TRUE(wave.Opened) << path;
        EXPECT_EQ(wave.DataStart + wave.DataSize, static_cast<int64_t>(ReadFile(path).size())) << path;
    }
    // The note that went with it says how the message ended.
    const std::string stored = Folder.File("ftp/" + TestFtpServer::Accounts()[0] + "/7/recovered.txt");
    ASSERT_TRUE(std::filesystem::exists(stored));
    const TMessageNote sent = ParseMessageNote(ReadFile(stored));
    EXPECT_EQ(sent.Ended, "interrupted");
    EXPECT_EQ(sent.Mailbox, "7");
    EXPECT_NEAR(sent.DurationSeconds, 2.0, 0.05);
    EXPECT_EQ(sent.Received, note.Received);
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
}
