// The operator's buttons and the call log.
#include "app/CallStamp.h"
#include "app/InstallLayout.h"
#include "app/MainForm.h"
#include "audio/PromptSound.h"
#include "serial/ui/ComSetupForm.h"
#include "toolkit/Stream.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

namespace {

std::string Text(const QLineEdit* edit) {
    return edit->text().toLocal8Bit().toStdString();
}

} // namespace

void TMainForm::Button1Click() {
    SendText("ATH1\r");
    RxText.clear();
    CallStamp = FormatCallStamp(FClock->Now());
    if (CheckBox1->isChecked())
        FileNameEdit->setText(QString::fromLocal8Bit(AutosaveFileName().c_str()));
    Timer2.SetEnabled(true);
    if (CheckBox1->isChecked())
        StartButtonClick();
}

void TMainForm::Button2Click() {
    StopButtonClick();
    SendText("ATH0\r");
    Label3->setText("Transmitter off");
    Label3->adjustSize();
}

void TMainForm::Button3Click() {
    ShowSettingsDialog(*ComPort);
}

void TMainForm::Button4Click() {
    MediaPlayer1.FileName = PromptPath(FPromptFolder, "welcome.wav");
    MediaPlayer1.OpenMedia();
    MediaPlayer1.SetWaitOnce(true);
    MediaPlayer1.PlayMedia(); // returns when the sound has ended
    MediaPlayer1.CloseMedia();
}

void TMainForm::Button5Click() {
    SaveConfig(PagerIniPath());
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
    SendLine(Text(Edit2));
}

void TMainForm::Button9Click() {
    AnswerCall();
}

void TMainForm::Button10Click() {
    SendLine(Text(Edit4));
    StopButtonClick();
}

void TMainForm::CloseButtonClick() {
    close();
}

void TMainForm::RadioButton1Click() {
    std::lock_guard<std::mutex> guard(FDecoderLock);
    PhoneToneDecoder1.StartDecoding();
}

void TMainForm::SendLine(const std::string& text) {
    SendText(text + "\r");
}

void TMainForm::SendText(const std::string& text) {
    ComPort->WriteText(text);
    NoteHook(text);
}

void TMainForm::NoteHook(const std::string& sent) {
    // The buttons send the fixed strings, the call flow the edited ones.
    const std::string answer = Text(Edit3) + "\r", hangup = Text(Edit4) + "\r";
    if (sent == hangup || sent == "ATH0\r") {
        FOffHook = false;
        NumberWaitTimer.SetEnabled(false);
        SilentWaits = 0;
        // Every way a call ends (the upload, the buttons, a silent caller) lets the outbox go on.
        if (OutboxDelivery)
            OutboxDelivery->CallEnded();
    } else if (sent == answer || sent == "ATH1\r") {
        FOffHook = true;
    }
}

void TMainForm::ReceiveText(std::string& text, int count) {
    ComPort->ReadText(text, count);
}

void TMainForm::PlayPrompt(const char* fileName) {
    // In the prompt folder (or the current one); a missing prompt plays the default sound and the
    // call goes on.
    sndPlaySoundA(PromptPath(FPromptFolder, fileName).c_str(), 0);
}
