#include "serial/ui/ComComboBox.h"

#include "serial/ComText.h"
#include "serial/ui/ListSerialPorts.h"
#include "toolkit/StringUtils.h"

namespace {

template <class E, std::string (*ToText)(E)> void AddTexts(std::vector<std::string>& items, int count) {
    for (int i = 0; i < count; ++i)
        items.push_back(ToText(static_cast<E>(i)));
}

} // namespace

void TComSelect::FillList(TComProperty kind) {
    ComProperty = kind;
    Items.clear();
    switch (kind) {
    case cpNone:
        break;
    case cpPort:
        ListSerialPorts(Items);
        break;
    case cpBaudRate:
        AddTexts<TBaudRate, BaudRateText>(Items, 16);
        break;
    case cpDataBits:
        AddTexts<TDataBits, DataBitsText>(Items, 4);
        break;
    case cpStopBits:
        AddTexts<TStopBits, StopBitsText>(Items, 3);
        break;
    case cpParity:
        AddTexts<TParityBits, ParityText>(Items, 5);
        break;
    case cpFlowControl:
        AddTexts<TFlowControl, FlowControlText>(Items, 4);
        break;
    }
}

void TComSelect::TakeText(const std::string& text) {
    switch (ComProperty) {
    case cpNone:
        break;
    case cpPort:
        PortName = text;
        break;
    case cpBaudRate:
        BaudRate = TextToBaudRate(text);
        break;
    case cpDataBits:
        DataBits = TextToDataBits(text);
        break;
    case cpStopBits:
        StopBits = TextToStopBits(text);
        break;
    case cpParity:
        Parity = TextToParity(text);
        break;
    case cpFlowControl:
        FlowControl = TextToFlowControl(text);
        break;
    }
}

void TComSelect::ApplyToPort() {
    if (!ComPort)
        return;
    switch (ComProperty) {
    case cpNone:
        break;
    case cpPort:
        ComPort->SetPort(PortName);
        break;
    case cpBaudRate:
        ComPort->SetBaudRate(BaudRate);
        break;
    case cpDataBits:
        ComPort->SetDataBits(DataBits);
        break;
    case cpStopBits:
        ComPort->SetStopBits(StopBits);
        break;
    case cpParity:
        ComPort->Parity().SetBits(Parity);
        break;
    case cpFlowControl:
        ComPort->FlowControl().SetFlowControl(FlowControl);
        break;
    }
}

int TComSelect::ReadFromPort() {
    if (!ComPort)
        return -1;
    std::string current;
    switch (ComProperty) {
    case cpNone:
        return -1;
    case cpPort:
        current = ComPort->Port();
        break;
    case cpBaudRate:
        current = BaudRateText(ComPort->BaudRate());
        break;
    case cpDataBits:
        current = DataBitsText(ComPort->DataBits());
        break;
    case cpStopBits:
        current = StopBitsText(ComPort->StopBits());
        break;
    case cpParity:
        current = ParityText(ComPort->Parity().Bits());
        break;
    case cpFlowControl:
        current = FlowControlText(ComPort->FlowControl().FlowControl());
        break;
    }
    for (size_t i = 0; i < Items.size(); ++i) {
        if (SameText(Items[i], current)) {
            TakeText(Items[i]);
            return static_cast<int>(i);
        }
    }
    // A port set by its absolute path (a link that is gone for now, a pseudo-terminal) joins
    // the list, so that confirming keeps it instead of an empty name.
    if (ComProperty == cpPort && !current.empty() && current[0] == '/') {
        Items.push_back(current);
        TakeText(current);
        return static_cast<int>(Items.size()) - 1;
    }
    return -1;
}

TComComboBox::TComComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(false); // a drop-down list: no free text
    connect(this, &QComboBox::activated, this, [this] { Picked(); });
}

TComComboBox::~TComComboBox() {
    if (FSelect.ComPort)
        RemoveFreeNotification(FSelect.ComPort);
}

void TComComboBox::ShowItems() {
    QSignalBlocker quiet(this);
    clear();
    for (const std::string& item : FSelect.Items)
        addItem(QString::fromLocal8Bit(item.c_str()));
}

void TComComboBox::SetComPort(TCustomComPort* port) {
    if (port == FSelect.ComPort)
        return;
    if (FSelect.ComPort)
        RemoveFreeNotification(FSelect.ComPort);
    FSelect.ComPort = port;
    if (port)
        FreeNotification(port);
    LoadSelection();
}

void TComComboBox::SetComProperty(TComProperty kind) {
    FSelect.FillList(kind);
    ShowItems();
    if (FSelect.Items.empty())
        return;
    if (!FSelect.ComPort)
        setCurrentIndex(0);
    else
        SelectFromPort();
}

std::string TComComboBox::Text() const {
    return currentIndex() < 0 ? std::string() : currentText().toLocal8Bit().toStdString();
}

void TComComboBox::SetText(const std::string& text) {
    for (int i = 0; i < count(); ++i) {
        if (SameText(itemText(i).toLocal8Bit().toStdString(), text)) {
            setCurrentIndex(i);
            return;
        }
    }
}

void TComComboBox::ApplySelection() {
    FSelect.ApplyToPort();
}

void TComComboBox::LoadSelection() {
    if (FSelect.ComPort)
        SelectFromPort();
}

void TComComboBox::SelectFromPort() {
    const int index = FSelect.ReadFromPort();
    if (count() != static_cast<int>(FSelect.Items.size()))
        ShowItems(); // the port's own name joined the list
    setCurrentIndex(index);
}

void TComComboBox::Picked() {
    FSelect.TakeText(Text());
    if (FSelect.AutoApply)
        FSelect.ApplyToPort();
    if (OnChange)
        OnChange();
}

void TComComboBox::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == FSelect.ComPort) {
        FSelect.ComPort = nullptr;
        if (count() > 0)
            setCurrentIndex(0);
    }
}
