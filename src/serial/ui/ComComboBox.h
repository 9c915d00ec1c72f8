// A drop-down list bound to one basic setting of one serial port: it lists the setting's text
// forms (or the machine's serial ports), shows the port's current value and writes the chosen
// value back on request, or at once with AutoApply.
#pragma once

#include "serial/ComPort.h"
#include "toolkit/Component.h"

#include <QComboBox>
#include <functional>
#include <string>
#include <vector>

enum TComProperty { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };

// The pending value of one box, one field per kind of setting, and the box's item list.
class TComSelect {
public:
    // Sets ComProperty and fills Items with the texts of that kind.
    void FillList(TComProperty kind);
    // Stores the value a text stands for (the text itself for the port name).
    void TakeText(const std::string& text);
    // Writes the pending value through the port's setter for the kind (only with a port).
    void ApplyToPort();
    // Finds the port's current value in Items (whole text, letter case ignored); when found it
    // becomes the pending value. A port name that is an absolute path missing from Items is
    // appended and taken. Returns its index, or -1.
    int ReadFromPort();

    std::vector<std::string> Items;
    TComProperty ComProperty = cpNone;
    TCustomComPort* ComPort = nullptr;
    bool AutoApply = false;

    std::string PortName;
    TBaudRate BaudRate = brCustom;
    TDataBits DataBits = dbFive;
    TStopBits StopBits = sbOneStopBit;
    TParityBits Parity = prNone;
    TFlowControl FlowControl = fcHardware;
};

class TComComboBox : public QComboBox, public TComponent {
public:
    explicit TComComboBox(QWidget* parent = nullptr);
    ~TComComboBox() override;

    TCustomComPort* ComPort() const { return FSelect.ComPort; }
    void SetComPort(TCustomComPort* port);
    TComProperty ComProperty() const { return FSelect.ComProperty; }
    void SetComProperty(TComProperty kind);
    bool AutoApply() const { return FSelect.AutoApply; }
    void SetAutoApply(bool value) { FSelect.AutoApply = value; }
    // The selected item's text, or "" when nothing is selected.
    std::string Text() const;
    // Selects the item with this whole text, letter case ignored; otherwise nothing happens.
    void SetText(const std::string& text);

    void ApplySelection();
    void LoadSelection();

    const TComSelect& Select() const { return FSelect; }
    // The box's own change handler, run after the pending value has been taken.
    std::function<void()> OnChange;

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    void Picked();
    void ShowItems();
    // Selects the item of the port's current value (none when it has none).
    void SelectFromPort();

    TComSelect FSelect;
};
