// The call flow: "RING", prompts, keys, the inter-digit time-out and the time limit.
#include "app/CallStamp.h"
#include "app/MainForm.h"
#include "toolkit/StringUtils.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

namespace {

std::string Text(const QLineEdit* edit) {
    return edit->text().toLocal8Bit().toStdString();
}

QString QText(const std::string& text) {
    return QString::fromLocal8Bit(text.c_str());
}

} // namespace

std::string TMainForm::AutosaveFileName() {
    return FExeFolder + "/" + TextToHex(FormatCallStamp(FClock->Now())) + ".wav";
}

void TMainForm::ComPortRxChar(int count) {
    std::string received;
    ReceiveText(received, count);
    RxText += received;
    if (RxText.find("RING") != std::string::npos) {
        PrepareForCall();
        AnswerCall();
        return;
    }
    // A chattering line must not grow this for months; the tail still joins a "RING" split
    // across events.
    if (RxText.size() > RxTextLimit)
        RxText.erase(0, RxText.size() - RxTextLimit);
}

void TMainForm::AnswerCall() {
    SendLine(Text(Edit3));
    ReportEvent("answered");
    RxText.clear();
    PlayPrompt("welcome.wav");
    PlayPrompt("enter.wav");
    CallStamp = FormatCallStamp(FClock->Now());
    if (CheckBox1->isChecked())
        FileNameEdit->setText(QText(AutosaveFileName()));
    SilentWaits = 0;
    StartNumberWait();
}

void TMainForm::StartNumberWait() {
    // Restarted: the wait counts from now, after the prompts.
    NumberWaitTimer.SetEnabled(false);
    NumberWaitTimer.SetEnabled(true);
}

void TMainForm::NumberWaitTimerTimer() {
    NumberWaitTimer.SetEnabled(false);
    if (!FOffHook)
        return;
    if (++SilentWaits < SilentWaitsBeforeHangup) {
        PlayPrompt("enter.wav");
        StartNumberWait();
        return;
    }
    // A caller who keys nothing (or has gone) must not hold the line for good.
    SilentWaits = 0;
    RxText.clear();
    SendLine(Text(Edit4));
    ReportEvent("no number");
}

void TMainForm::HangUpBeforeClosing() {
    if (!FOffHook || !ComPort || !ComPort->Connected() || ComPort->DeviceLost())
        return;
    SendLine(Text(Edit4));
    ReportEvent("hangup");
    // The string must reach the modem before the port (and the program) goes.
    ComPort->DrainOutput(HangUpDrainMilliseconds);
}

void TMainForm::PhoneToneDecoder1DTMF(int key, int64_t /*position*/) {
    if (key != 'D') {
        Label7->setText(Label7->text() + QChar(static_cast<char16_t>(key & 0xFF)));
        Label7->adjustSize();
    }
    NumberWaitTimer.SetEnabled(false);
    SilentWaits = 0;
    Timer3.SetEnabled(false);
    Timer3.SetEnabled(true);
}

void TMainForm::Timer3Timer() {
    Timer3.SetEnabled(false);
    MailboxNumber = Label7->text().toLocal8Bit().toStdString();
    if (MailboxNumber.empty()) {
        Label7->clear();
        // Only "D" (or nothing) keyed while waiting for the number: wait for it again.
        if (FOffHook && !Timer2.Enabled())
            StartNumberWait();
        return;
    }
    PlayPrompt("message.wav");
    CallStamp = FormatCallStamp(FClock->Now());
    setWindowTitle(QText("ID: " + MailboxNumber));
    ListBox1->addItem(QText(MailboxNumber));
    ReportEvent("number " + MailboxNumber);
    Label7->clear();
    Label7->adjustSize();
    Timer2.SetEnabled(true);
    SendText("ATDD;\r");
    PlayPrompt("beep.wav");
    if (CheckBox1->isChecked())
        StartButtonClick();
}

void TMainForm::Edit1Exit() {
    if (StrToInt(Text(Edit1)) > 38)
        Edit1->setText("10");
    Timer2.SetInterval(SecondsToInterval(StrToInt(Text(Edit1))));
}
