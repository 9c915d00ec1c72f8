// The recorder: sound-card input into a WAV file.
#include "app/MainForm.h"
#include "toolkit/Exception.h"
#include "toolkit/StringUtils.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

std::string TMainForm::FormatLine(const TSoundCaptureFormat& format) const {
    const char* channels =
        format.Channels >= 1 && format.Channels <= 2 ? ChannelNames[format.Channels - 1] : "";
    return Format("%dHz %dbit %s", format.SampleRate, format.BitsPerSample, channels);
}

void TMainForm::SetRecorderControls(bool recording) {
    StartButton->setEnabled(!recording);
    DriverBox2->setEnabled(!recording);
    FormatBox2->setEnabled(!recording);
    BrowseButton->setEnabled(!recording);
    StopButton->setEnabled(recording);
    // Button face while locked; the field's own colours otherwise.
    QPalette palette = FFieldPalette;
    if (recording) {
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            palette.setColor(group, QPalette::Base, palette.color(group, QPalette::Button));
    }
    FileNameEdit->setPalette(palette);
    FileNameEdit->setReadOnly(recording);
}

bool TMainForm::Recording() const {
    return RecordFile != nullptr;
}

void TMainForm::DriverBox2Change() {
    // The list only triggers the rebuild: the stream always opens the default device.
    RecorderCapture.reset();
    RecorderCapture = std::make_unique<TSoundCaptureStream>(nullptr);
    FormatBox2->clear();
    TSoundCaptureFormats& formats = RecorderCapture->Formats();
    // Formats come in ascending rate, so the offered ones are the first of the stream's list and
    // a position in the box is the same position in the list.
    for (int i = 0; i < formats.Count() && formats[i].SampleRate <= 22050; ++i)
        FormatBox2->addItem(QString::fromStdString(FormatLine(formats[i])));
    FormatBox2->setCurrentIndex(
        SavedRecorderFormat >= 0 && SavedRecorderFormat < FormatBox2->count() ? SavedRecorderFormat : -1);
}

void TMainForm::StartButtonClick() {
    StopButtonClick();
    try {
        RecordFile =
            std::make_unique<TWaveFileStream>(FileNameEdit->text().toLocal8Bit().toStdString(), fmCreate);
        const int index = FormatBox2->currentIndex();
        if (!RecorderCapture) // start-up stopped before the stream existed: no format to record in
            throw EListError::IndexOutOfBounds(index);
        const TSoundCaptureFormat& format = RecorderCapture->Formats().Items(index);
        RecordFile->AssignPcmFormat(format.SampleRate, format.BitsPerSample, format.Channels);
        RecordFile->OpenWave(true);
        SetRecorderControls(true);
        RecorderCapture->SetOnDataReady([this](TSoundCaptureStream*) { RecorderDataReady(); }, this,
                                        reinterpret_cast<const void*>(&TMainForm::RecorderDataReadyTag));
        RecorderCapture->FormatIndex = index;
        RecorderCapture->StartCapture();
        ReportEvent("recording " + FileNameEdit->text().toLocal8Bit().toStdString());
    } catch (const std::exception&) {
        StopButtonClick();
        throw;
    }
}

void TMainForm::StopButtonClick() {
    if (RecorderCapture)
        RecorderCapture->StopCapture();
    RecordFile.reset(); // completes and closes the file
    SetRecorderControls(false);
}

void TMainForm::RecorderDataReady() {
    if (!RecordFile || !RecorderCapture)
        return;
    const int32_t ready = RecorderCapture->GetReadyBytes();
    if (ready > 0) {
        try {
            RecordFile->CopyFrom(*RecorderCapture, ready);
        } catch (const std::exception&) {
            // A full disk: the message so far is kept in a completed file, and the error is
            // shown once rather than at every notification. The capture stops itself once this
            // check has returned (its notification thread waits for it), and the error is shown
            // after that too: an error box must not hold a thread that a stop would wait for.
            RecordFile.reset();
            SetRecorderControls(false);
            throw;
        }
    }
    SizeLabel->setText(QString::fromStdString(Format("%d byte", RecordFile->GetDataSize())));
    SizeLabel->adjustSize();
}

void TMainForm::BrowseButtonClick() {
    SaveDialog.FileName = FileNameEdit->text().toLocal8Bit().toStdString();
    if (SaveDialog.Execute(this))
        FileNameEdit->setText(QString::fromLocal8Bit(SaveDialog.FileName.c_str()));
}

void TMainForm::DriverBoxChange() {
    DecoderCapture.reset();
    DecoderCapture = std::make_unique<TSoundCaptureStream>(nullptr);
    FormatBox->clear();
    TSoundCaptureFormats& formats = DecoderCapture->Formats();
    if (formats.Count() == 0)
        return;
    int wanted = -1;
    for (int i = 0; i < formats.Count(); ++i) {
        FormatBox->addItem(QString::fromStdString(FormatLine(formats[i])));
        if (wanted < 0 && formats[i].SampleRate == 8000 && formats[i].BitsPerSample == 16 &&
            formats[i].Channels == 1)
            wanted = i;
    }
    FormatBox->setCurrentIndex(wanted >= 0 ? wanted : 0);
    // Without 8 kHz 16-bit mono the decoder converts whatever the device gives.
    const TSoundCaptureFormat& chosen = formats[FormatBox->currentIndex()];
    PhoneToneDecoder1.SetInputFormat(chosen.SampleRate, chosen.BitsPerSample, chosen.Channels);
}

void TMainForm::DecoderDataReady(TSoundCaptureStream& capture) {
    // On the capture's notification thread. Only whole blocks: a read here never waits, and
    // what was captured since the last check is decoded at once, however long the main thread
    // was busy.
    uint8_t block[1024];
    while (capture.GetReadyBytes() >= static_cast<int32_t>(sizeof block)) {
        capture.ReadBuffer(block, sizeof block);
        std::lock_guard<std::mutex> guard(FDecoderLock);
        PhoneToneDecoder1.DecodeSamples(std::span<const uint8_t>(block, sizeof block));
    }
    // Audio the capture had to drop (this thread was held off for a whole buffer): never
    // decoded, but said.
    if (const uint64_t bytes = capture.TakeNewlyLost())
        TThread::Queue(
            [this, bytes] { ReportEvent("decoder audio lost " + std::to_string(bytes) + " bytes"); },
            DecoderTag());
}
