// The echo canceller's part of the decoder benchmark: keys over the greeting's echo on the line
// model, with and without the canceller; the canceller's ERLE; its cost beside speexdsp's.
#pragma once

#include <functional>
#include <string>

// Instructions a child mode of this program takes on a file, under callgrind; -1 on failure.
using TInstructionCount = std::function<double(const std::string& mode, const std::string& file)>;

// Prints every figure; calls per line condition. folder is a scratch folder.
void PrintEchoFigures(const std::string& folder, int calls, const TInstructionCount& instructions);

// The child modes measured under callgrind ("echo-none", "echo-lumisk", "echo-speex",
// "echo-decoder", "lumisk-silent-reference"); true when mode is one of them, with its exit status.
bool EchoChild(const std::string& mode, const std::string& file, int& status);
