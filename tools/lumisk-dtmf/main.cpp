// lumisk-dtmf FILE.wav: prints the keys the box's decoder hears in a recording, on one line.
//   -v   also prints each key with the time (seconds from the start) where its tone begins.
// Exit codes: 0 done (even when no key was heard), 2 bad arguments or a file that cannot be
// read as a PCM WAV.
#include "WaveKeys.h"
#include "toolkit/Exception.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    bool verbose = false;
    std::string fileName;
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-v")
            verbose = true;
        else if (!arg.empty() && arg[0] != '-' && fileName.empty())
            fileName = arg;
        else
            usage = true;
    }
    if (usage || fileName.empty()) {
        std::fprintf(stderr, "usage: lumisk-dtmf [-v] FILE.wav\n");
        return 2;
    }
    try {
        TWaveKeys wave(fileName);
        const std::vector<TDtmfKey> keys = wave.Decode();
        std::string line;
        for (const TDtmfKey& key : keys)
            line += key.Key;
        if (verbose) {
            std::printf("%s: %d Hz, %d bit, %d channel(s), %.2f s\n", fileName.c_str(), wave.SourceRate(),
                        wave.SourceBits(), wave.SourceChannels(), wave.Seconds());
            for (const TDtmfKey& key : keys)
                std::printf("%c at %.3f s\n", key.Key,
                            static_cast<double>(key.Position) / TDtmfDetector::SampleRate);
        }
        std::printf("%s\n", line.c_str());
        return 0;
    } catch (const EFOpenError& e) {
        std::fprintf(stderr, "lumisk-dtmf: %s\n", e.Message().c_str());
        return 2;
    } catch (const Exception& e) {
        std::fprintf(stderr, "lumisk-dtmf: %s: not a PCM WAV file we can read (%s)\n", fileName.c_str(),
                     e.Message().c_str());
        return 2;
    }
}
