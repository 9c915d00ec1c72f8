// The port setup dialog: six lists (port, baud rate, data bits, stop bits, parity, flow
// control) bound to one port, applied together when the operator confirms.
#pragma once

#include "serial/ui/ComComboBox.h"

#include <QDialog>

class QGroupBox;
class QLabel;
class QPushButton;

class TComSetupFrm : public QDialog {
    Q_OBJECT
public:
    explicit TComSetupFrm(QWidget* parent = nullptr);

    QGroupBox* GroupBox1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;
    TComComboBox* Combo1;
    TComComboBox* Combo2;
    TComComboBox* Combo3;
    TComComboBox* Combo4;
    TComComboBox* Combo5;
    TComComboBox* Combo6;
    QPushButton* Button1; // OK
    QPushButton* Button2; // Cancel

    TComComboBox* Combos(int index) const; // 0..5, in tab order
};

// Shows the dialog modally on the port; with OK, writes the six chosen values to the port inside
// one settings-update bracket, so an open port gets its driver settings once. Cancel writes
// nothing. An error of a setter reaches the caller; the bracket is closed all the same.
void EditPortSettings(TCustomComPort& port);

// The port's "settings dialog" operation.
void ShowSettingsDialog(TCustomComPort& port);
