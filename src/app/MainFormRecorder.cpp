// The recorder: sound-card input into a WAV file.
#include "app/MainForm.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

void TMainForm::SetRecorderControls(bool recording) {
    StartButton->setEnabled(!recording);
    DriverBox2->setEnabled(!recording);
    FormatBox2->setEnabled(!recording);
    BrowseButton->setEnabled(!recording);
    StopButton->setEnabled(recording);
    QPalette palette = FileNameEdit->palette();
    palette.setColor(QPalette::Base,
                     recording ? palette.color(QPalette::Button) : palette.color(QPalette::Window));
    FileNameEdit->setPalette(palette);
    FileNameEdit->setReadOnly(recording);
}

bool TMainForm::Recording() const {
    return false;
}

void TMainForm::DriverBox2Change() {}

void TMainForm::StartButtonClick() {}

void TMainForm::StopButtonClick() {
    SetRecorderControls(false);
}

void TMainForm::BrowseButtonClick() {
    SaveDialog.FileName = FileNameEdit->text().toLocal8Bit().toStdString();
    if (SaveDialog.Execute(this))
        FileNameEdit->setText(QString::fromLocal8Bit(SaveDialog.FileName.c_str()));
}

void TMainForm::DriverBoxChange() {}

void TMainForm::DecoderDataReady() {}
