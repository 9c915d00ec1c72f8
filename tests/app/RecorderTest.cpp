// The recorder on the simulated sound card: control states, failed starts, the byte counter
// and the close path.
#include "app/AppTestSupport.h"
#include "app/MainForm.h"
#include "app/PtyModem.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

struct TWaveHeader {
    uint32_t RiffSize = 0, DataSize = 0, FileSize = 0;
    uint16_t Channels = 0, Bits = 0;
    uint32_t Rate = 0;
};

TWaveHeader ReadWaveHeader(const std::string& fileName) {
    std::string bytes = ReadFile(fileName);
    TWaveHeader h;
    h.FileSize = static_cast<uint32_t>(bytes.size());
    if (bytes.size() < 46)
        return h;
    auto u32 = [&](size_t at) {
        return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8 |
               uint32_t(uint8_t(bytes[at + 2])) << 16 | uint32_t(uint8_t(bytes[at + 3])) << 24;
    };
    auto u16 = [&](size_t at) { return uint16_t(uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8); };
    h.RiffSize = u32(4);
    h.Channels = u16(22);
    h.Rate = u32(24);
    h.Bits = u16(34);
    h.DataSize = u32(42);
    return h;
}

class Recorder : public ::testing::Test {
protected:
    void SetUp() override { TestApp(); }

    std::unique_ptr<TMainForm> MakeForm() {
        TMainFormOptions options;
        UseTestSound(options.Conf);
        options.ExeFolder = Folder.Path;
        options.Clock = &Clock;
        options.Conf.ModemPort = Modem.Path;
        auto form = std::make_unique<TMainForm>(std::move(options));
        form->FileNameEdit->setText(QString::fromStdString(Folder.File("rec.wav")));
        return form;
    }

    static void ExpectIdle(TMainForm& form) {
        EXPECT_FALSE(form.Box().Recorder().Recording());
        EXPECT_TRUE(form.StartButton->isEnabled());
        EXPECT_TRUE(form.DriverBox2->isEnabled());
        EXPECT_TRUE(form.FormatBox2->isEnabled());
        EXPECT_TRUE(form.BrowseButton->isEnabled());
        EXPECT_FALSE(form.StopButton->isEnabled());
        EXPECT_FALSE(form.FileNameEdit->isReadOnly());
        EXPECT_EQ(form.FileNameEdit->palette().color(QPalette::Base),
                  QLineEdit().palette().color(QPalette::Base));
    }

    TTempFolder Folder{"recorder"};
    TPtyModem Modem;
    TManualClock Clock;
    TShownErrors Errors;
};

} // namespace

TEST_F(Recorder, TheListsOfferOnlyFormatsUpTo22050HzAndTheDecoderTakes8kHz16BitMono) {
    auto form = MakeForm();
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
    EXPECT_EQ(form->DriverBox2->currentIndex(), 0);
    EXPECT_EQ(form->FormatBox2->count(), 12);
    EXPECT_EQ(form->FormatBox2->currentIndex(), 11);
    EXPECT_EQ(form->FormatBox2->itemText(0), "8000Hz 8bit Mono");
    EXPECT_EQ(form->FormatBox2->itemText(11), "22050Hz 16bit Stereo");
    EXPECT_GT(form->FormatBox->count(), 12);
    EXPECT_EQ(form->FormatBox->currentText(), "8000Hz 16bit Mono");
    EXPECT_EQ(form->Box().Decoder().Capture()->BufferMilliseconds(), 2048);
    EXPECT_EQ(form->Box().Recorder().Capture()->BufferMilliseconds(), 1000);

    // A saved position outside the list selects nothing, and is saved back as -1.
    form->Button5Click();
    std::string ini = ReadFile(Folder.File("pager.ini"));
    ini.replace(ini.rfind("11\r\n"), 4, "20\r\n");
    ini.replace(ini.find("\r\n0\r\n0\r\n") + 5, 1, "3"); // line 6 has no effect
    WriteFile(Folder.File("pager.ini"), ini);
    auto again = MakeForm();
    EXPECT_EQ(again->DriverBox2->currentIndex(), 0);
    EXPECT_EQ(again->Box().Settings.RecorderDevice, 0);
    EXPECT_EQ(again->FormatBox2->currentIndex(), -1);
    again->Button5Click();
    EXPECT_NE(ReadFile(Folder.File("pager.ini")).find("\r\n-1\r\n"), std::string::npos);
}

TEST_F(Recorder, StartRecordsWithTheControlsLockedAndStopCompletesTheFile) {
    auto form = MakeForm();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    ExpectIdle(*form);
    form->StopButton->setEnabled(true);
    form->StopButton->click(); // stop with nothing recorded only resets the controls
    ExpectIdle(*form);

    form->FormatBox2->setCurrentIndex(2); // 8000 Hz 16 bit mono
    form->StartButton->click();
    ASSERT_TRUE(form->Box().Recorder().Recording());
    EXPECT_FALSE(form->StartButton->isEnabled());
    EXPECT_FALSE(form->DriverBox2->isEnabled());
    EXPECT_FALSE(form->FormatBox2->isEnabled());
    EXPECT_FALSE(form->BrowseButton->isEnabled());
    EXPECT_TRUE(form->StopButton->isEnabled());
    EXPECT_TRUE(form->FileNameEdit->isReadOnly());
    EXPECT_EQ(form->FileNameEdit->palette().color(QPalette::Base),
              form->FileNameEdit->palette().color(QPalette::Button));

    // The counter grows while the card delivers (silence is data too).
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->SizeLabel->text() != "0 byte"; }, 30000));
    QString first = form->SizeLabel->text();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->SizeLabel->text() != first; }, 30000));
    EXPECT_TRUE(form->SizeLabel->text().endsWith(" byte"));

    form->StopButton->click();
    ExpectIdle(*form);
    TWaveHeader h = ReadWaveHeader(Folder.File("rec.wav"));
    EXPECT_EQ(h.Rate, 8000u);
    EXPECT_EQ(h.Bits, 16);
    EXPECT_EQ(h.Channels, 1);
    EXPECT_GT(h.DataSize, 0u);
    EXPECT_EQ(h.DataSize, h.FileSize - 46);
    EXPECT_EQ(h.RiffSize, h.FileSize - 8);
    EXPECT_EQ(form->SizeLabel->text().toStdString(), std::to_string(h.DataSize) + " byte");

    // A new start keeps the previous size until new data is written.
    QString before = form->SizeLabel->text();
    form->FileNameEdit->setText(QString::fromStdString(Folder.File("second.wav")));
    form->StartButtonClick();
    EXPECT_EQ(form->SizeLabel->text(), before);
    form->StopButtonClick();
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
}

TEST_F(Recorder, AStartThatCannotCreateTheFileOrHasNoFormatStaysIdleWithTheError) {
    auto form = MakeForm();
    form->FileNameEdit->setText(QString::fromStdString(Folder.File("no/such/folder/x.wav")));
    form->StartButton->click();
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_EQ(Errors.Texts[0], "Cannot create file " + Folder.File("no/such/folder/x.wav"));
    ExpectIdle(*form);

    form->FileNameEdit->setText(QString::fromStdString(Folder.File("x.wav")));
    form->FormatBox2->setCurrentIndex(-1);
    form->StartButton->click();
    ASSERT_EQ(Errors.Texts.size(), 2u);
    EXPECT_EQ(Errors.Texts[1], "List index out of bounds (-1)");
    ExpectIdle(*form);
    EXPECT_FALSE(form->Box().Recorder().Capture()->IsCapturing());
}

TEST_F(Recorder, ClosingTheWindowWhileRecordingCompletesTheFileBeforeSavingTheSettings) {
    auto form = MakeForm();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->FormatBox2->setCurrentIndex(0);
    form->StartButtonClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->SizeLabel->text() != "0 byte"; }, 30000));
    form->close();
    EXPECT_FALSE(form->Box().Recorder().Recording());
    EXPECT_EQ(form->Box().Recorder().Capture(), nullptr);
    TWaveHeader h = ReadWaveHeader(Folder.File("rec.wav"));
    EXPECT_GT(h.DataSize, 0u);
    EXPECT_EQ(h.DataSize, h.FileSize - 46);
    struct stat wave {
    }, ini{};
    ASSERT_EQ(stat(Folder.File("rec.wav").c_str(), &wave), 0);
    ASSERT_EQ(stat(Folder.File("pager.ini").c_str(), &ini), 0);
    EXPECT_LE(std::make_pair(wave.st_mtim.tv_sec, wave.st_mtim.tv_nsec),
              std::make_pair(ini.st_mtim.tv_sec, ini.st_mtim.tv_nsec));
    EXPECT_EQ(ReadFile(Folder.File("pager.ini")).substr(0, 25), "10\r\nATM1\r\nATH1\r\nATH0\r\n0\r\n");
    EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
}
