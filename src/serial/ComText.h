// Fixed text forms of the basic port settings, as the setup dialog lists them. Text to value
// ignores letter case and nothing else; a text that matches no entry gives a fixed fallback.
#pragma once

#include "serial/ComTypes.h"

#include <string>

std::string BaudRateText(TBaudRate value);
std::string DataBitsText(TDataBits value);
std::string StopBitsText(TStopBits value);
std::string ParityText(TParityBits value);
std::string FlowControlText(TFlowControl value);

TBaudRate TextToBaudRate(const std::string& text);       // fallback br9600
TDataBits TextToDataBits(const std::string& text);       // fallback dbEight
TStopBits TextToStopBits(const std::string& text);       // fallback sbOneStopBit
TParityBits TextToParity(const std::string& text);       // fallback prNone
TFlowControl TextToFlowControl(const std::string& text); // fallback fcCustom
