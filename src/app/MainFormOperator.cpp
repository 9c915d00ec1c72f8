// The operator's handlers: each turns a button or an edit into the box's event, and shows what
// follows. The call itself is the flow's (CallFlow.cpp).
#include "app/MainForm.h"
#include "serial/ui/ComSetupForm.h"
#include "toolkit/Stream.h"
#include "toolkit/StringUtils.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace {

std::string Text(const QLineEdit* edit) {
    return edit->text().toLocal8Bit().toStdString();
}

} // namespace

void TMainForm::FormShow() {
    FBox->Start();
    PhoneToneDecoder1Site->setFocus();
}

void TMainForm::FormClose() {
    FBox->Close();
}

void TMainForm::Edit1Exit() {
    Edit1->setText(QString::fromLocal8Bit(FBox->ApplyTimeLimit(Text(Edit1)).c_str()));
}

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

void TMainForm::DriverBox2Change() {
    FBox->RebuildRecorder();
    FillRecorderFormats();
}

void TMainForm::DriverBoxChange() {
    FBox->RebuildDecoder();
    FillDecoderFormats();
}

void TMainForm::StartButtonClick() {
    FBox->StartRecording();
}

void TMainForm::StopButtonClick() {
    FBox->StopRecording();
}

void TMainForm::BrowseButtonClick() {
    SaveDialog.FileName = Text(FileNameEdit);
    if (SaveDialog.Execute(this))
        FileNameEdit->setText(QString::fromLocal8Bit(SaveDialog.FileName.c_str()));
}

void TMainForm::Button1Click() {
    FBox->Flow().OpenLine();
}

void TMainForm::Button2Click() {
    FBox->Flow().CloseLine();
    Label3->setText("Transmitter off");
    Label3->adjustSize();
}

void TMainForm::Button3Click() {
    ShowSettingsDialog(FBox->Port());
}

void TMainForm::Button4Click() {
    FBox->PlayWelcome();
}

void TMainForm::Button5Click() {
    FBox->SaveConfig(FBox->PagerIniPath());
}

void TMainForm::Button6Click() {
    ListBox1->clear();
}

void TMainForm::Button7Click() {
    if (!SaveDialog.Execute(this) || SaveDialog.FileName.empty())
        return;
    std::string lines;
    for (int i = 0; i < ListBox1->count(); ++i)
        lines += ListBox1->item(i)->text().toLocal8Bit().toStdString() + "\r\n";
    TFileStream file(SaveDialog.FileName, fmCreate);
    file.WriteBuffer(lines.data(), static_cast<int32_t>(lines.size()));
}

void TMainForm::Button8Click() {
    FBox->SendInit();
}

void TMainForm::Button9Click() {
    FBox->Flow().AnswerCall();
}

void TMainForm::Button10Click() {
    FBox->Flow().Terminate();
}

void TMainForm::CloseButtonClick() {
    close();
}

void TMainForm::RadioButton1Click() {
    FBox->Decoder().StartDecoding();
}
