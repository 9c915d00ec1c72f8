// Start-up, shut-down and "pager.ini".
#include "app/MainForm.h"
#include "toolkit/ExceptionReporter.h"
#include "toolkit/StringUtils.h"
#include "toolkit/TextFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <sys/stat.h>

namespace {

bool FileExists(const std::string& fileName) {
    struct stat info {};
    return stat(fileName.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string Text(const QLineEdit* edit) {
    return edit->text().toLocal8Bit().toStdString();
}

QString QText(const std::string& text) {
    return QString::fromLocal8Bit(text.c_str());
}

} // namespace

void TMainForm::SaveConfig(const std::string& fileName) {
    TTextFile file;
    file.Rewrite(fileName);
    file.WriteLn(Text(Edit1));
    file.WriteLn(Text(Edit2));
    file.WriteLn(Text(Edit3));
    file.WriteLn(Text(Edit4));
    file.WriteLn(CheckBox1->isChecked() ? "1" : "0");
    file.WriteLn(IntToStr(DriverBox2->currentIndex()));
    file.WriteLn(IntToStr(FormatBox2->currentIndex()));
    file.Close();
}

void TMainForm::LoadConfig(const std::string& fileName) {
    TTextFile file;
    file.Reset(fileName);
    Edit1->setText(QText(file.ReadLn()));
    Edit2->setText(QText(file.ReadLn()));
    Edit3->setText(QText(file.ReadLn()));
    Edit4->setText(QText(file.ReadLn()));
    CheckBox1->setChecked(file.ReadLn() == "1");
    SavedRecorderDevice = StrToInt(file.ReadLn());
    SavedRecorderFormat = StrToInt(file.ReadLn());
    file.Close();
    Timer2.SetInterval(SecondsToInterval(StrToInt(Text(Edit1))));
}

void TMainForm::FormCreate() {
    // An error ends the start-up where it happens; the window still opens, and FormShow copes
    // with the parts that were not made.
    RunHandler([this] {
        if (FileExists(PagerIniPath()))
            LoadConfig(PagerIniPath());

        TDirectXDrivers& drivers = TSoundCaptureStream::CaptureDrivers();
        for (int i = 0; i < drivers.Count(); ++i)
            DriverBox2->addItem(QText(drivers.Items(i).Description));
        DriverBox2->setCurrentIndex(DriverBox2->count() > 0 ? 0 : -1);
        DriverBox2Change();

        ComPort->OpenPort();
        SendLine(Text(Edit2));

        for (int i = 0; i < drivers.Count(); ++i)
            DriverBox->addItem(QText(drivers.Items(i).Description));
        DriverBox->setCurrentIndex(DriverBox->count() > 0 ? 0 : -1);
        DriverBoxChange();

        DecoderCapture->SetBufferMilliseconds(2048);
    });
}

void TMainForm::FormShow() {
    // Decided for a start-up that stopped before the decoder's stream existed: no DTMF, but
    // every button still works.
    if (!DecoderCapture)
        return;
    DecoderCapture->SetOnDataReady([this](TSoundCaptureStream* sender) { DecoderDataReady(*sender); }, this,
                                   reinterpret_cast<const void*>(&TMainForm::DecoderDataReadyTag));
    DecoderCapture->SetDataReadyThread(TDataReadyThread::NotifyThread);
    DecoderCapture->FormatIndex = FormatBox->currentIndex();
    DecoderCapture->StartCapture();
    {
        std::lock_guard<std::mutex> guard(FDecoderLock);
        PhoneToneDecoder1.StartDecoding();
    }
    PhoneToneDecoder1Site->setFocus();
}

void TMainForm::FormClose() {
    // A failed hang-up is shown, and the recording and the settings are still saved.
    RunHandler([this] { HangUpBeforeClosing(); });
    StopButtonClick();
    RecorderCapture.reset();
    SaveConfig(PagerIniPath());
}
