#include "serial/ui/ComSetupForm.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

namespace {

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->move(left, top);
    label->adjustSize();
    return label;
}

TComComboBox* MakeCombo(QWidget* parent, const char* name, TComProperty kind, const char* preset, int top) {
    auto* combo = new TComComboBox(parent);
    combo->setObjectName(name);
    combo->SetName(name);
    combo->setGeometry(80, top, 129, 21);
    // The definition's preset text, replaced as soon as the dialog binds the port.
    combo->addItem(preset);
    combo->setCurrentIndex(0);
    combo->SetComProperty(kind);
    return combo;
}

} // namespace

TComSetupFrm::TComSetupFrm(QWidget* parent) : QDialog(parent) {
    setObjectName("ComSetupFrm");
    setWindowTitle("Setup");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(231, 216);

    GroupBox1 = new QGroupBox(" Settings ", this);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setGeometry(8, 8, 217, 169);
    Label1 = MakeLabel(GroupBox1, "Label1", "Port", 8, 24);
    Label2 = MakeLabel(GroupBox1, "Label2", "Baud rate", 8, 48);
    Label3 = MakeLabel(GroupBox1, "Label3", "Data bits", 8, 72);
    Label4 = MakeLabel(GroupBox1, "Label4", "Stop bits", 8, 96);
    Label5 = MakeLabel(GroupBox1, "Label5", "Parity", 8, 120);
    Label6 = MakeLabel(GroupBox1, "Label6", "Flow control", 8, 144);
    Combo1 = MakeCombo(GroupBox1, "Combo1", cpPort, "COM1", 16);
    Combo2 = MakeCombo(GroupBox1, "Combo2", cpBaudRate, "Custom", 40);
    Combo3 = MakeCombo(GroupBox1, "Combo3", cpDataBits, "5", 64);
    Combo4 = MakeCombo(GroupBox1, "Combo4", cpStopBits, "1", 88);
    Combo5 = MakeCombo(GroupBox1, "Combo5", cpParity, "None", 112);
    Combo6 = MakeCombo(GroupBox1, "Combo6", cpFlowControl, "Hardware", 136);
    setTabOrder(Combo1, Combo2);
    setTabOrder(Combo2, Combo3);
    setTabOrder(Combo3, Combo4);
    setTabOrder(Combo4, Combo5);
    setTabOrder(Combo5, Combo6);

    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setGeometry(70, 184, 75, 25);
    Button1->setDefault(true);
    Button2 = new QPushButton("Cancel", this);
    Button2->setObjectName("Button2");
    Button2->setGeometry(150, 184, 75, 25);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

TComComboBox* TComSetupFrm::Combos(int index) const {
    TComComboBox* const all[] = {Combo1, Combo2, Combo3, Combo4, Combo5, Combo6};
    return all[index];
}

void EditPortSettings(TCustomComPort& port) {
    TComSetupFrm form;
    for (int i = 0; i < 6; ++i)
        form.Combos(i)->SetComPort(&port);
    for (int i = 0; i < 6; ++i)
        form.Combos(i)->LoadSelection();
    if (form.exec() != QDialog::Accepted)
        return;
    port.BeginSettingsUpdate();
    try {
        for (int i = 0; i < 6; ++i)
            form.Combos(i)->ApplySelection();
    } catch (const std::exception&) {
        // Left open, the bracket would keep every later change from reaching the driver.
        try {
            port.EndSettingsUpdate();
        } catch (const std::exception&) {
            // The setter's error is the one the operator needs to see.
        }
        throw;
    }
    port.EndSettingsUpdate();
}

void ShowSettingsDialog(TCustomComPort& port) {
    EditPortSettings(port);
}
