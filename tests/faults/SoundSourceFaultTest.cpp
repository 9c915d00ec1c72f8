// The caller's audio source going away in the middle of a recording: the simulated card's FIFO
// loses its writer. The box neither freezes nor stops recording; it records silence.
#include "FaultSupport.h"
#include "support/SoundSettings.h"

#include <QCheckBox>
#include <QLineEdit>
#include <cerrno>
#include <sys/stat.h>

TEST_F(FaultTest, SoundSourceGoneMidRecordingRecordsSilenceAndTheCallEnds) {
    const std::string fifo = Folder.File("caller.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    SetSimCapture(fifo.c_str());
    TPluggableModem modem(Folder.File("modem"));
    auto form = MakeForm(modem.Link);
    ASSERT_TRUE(modem.WaitReceived("ATM1\r"));
    form->CheckBox1->setChecked(true);
    form->show(); // the decoder's capture starts: the card opens its source

    int writer = -1;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); // ENXIO until the card reads
            return writer >= 0;
        },
        30000));
    const std::string recording = StartRecordedCall(*form, modem, "5");

    // Half a second of a loud steady sample, then the writer is gone for good.
    const std::vector<int16_t> loud(4000, 12000);
    const char* bytes = reinterpret_cast<const char*>(loud.data());
    for (size_t done = 0, size = loud.size() * 2; done < size;) {
        const ssize_t n = write(writer, bytes + done, size - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else
            ASSERT_TRUE(errno == EAGAIN && QTest::qWaitFor([] { return false; }, 10));
    }
    close(writer);

    // The recording keeps growing after the source has ended, and the window keeps serving.
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Box().Recorder().DataSize() > 0; }, 30000));
    // The card reads its source at the pace of the sound: the loud half second ends half a
    // second after it was written; a further second must follow.
    const int64_t perSecond = form->Box().Recorder().File()->GetWaveFormat()->nAvgBytesPerSec;
    const int32_t atClose = form->Box().Recorder().DataSize();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return form->Box().Recorder().DataSize() > atClose + perSecond * 3 / 2; }, 30000));

    Clock.Advance(6000); // the time limit ends the call as usual
    ASSERT_TRUE(modem.WaitReceived("ATH0\r"));
    EXPECT_FALSE(form->Box().Recorder().Recording());
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();

    // The file holds the caller's sound and then silence to its end.
    const TReadBack wave = ReadWave(recording);
    ASSERT_TRUE(wave.Opened);
    ASSERT_GT(wave.DataSize, perSecond * 3 / 2);
    const char silence = wave.BitsPerSample == 8 ? '\x80' : '\0';
    ASSERT_NE(wave.Data.find_first_not_of(silence), std::string::npos);
    const size_t lastSound = wave.Data.find_last_not_of(silence);
    EXPECT_GT(static_cast<int64_t>(wave.Data.size() - lastSound), perSecond / 2)
        << "no silence after the source ended";
}
