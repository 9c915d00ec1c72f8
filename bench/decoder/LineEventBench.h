// The line-event detectors' figures, printed beside the DTMF receiver's: false events over the
// talk-off material through a telephone line, and how soon each tone is known.
#pragma once

#include "decoder/DtmfCorpus.h"

#include <vector>

void PrintLineEventFigures(const std::vector<TDtmfCase>& corpus);
