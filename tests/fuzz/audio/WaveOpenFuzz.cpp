// Opens arbitrary bytes as a wave file and reads what the header promises: the chunk scan must
// end, and no read may leave the data.
#include "audio/Wave.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMemoryStream file;
    if (size > 0)
        file.WriteBuffer(data, static_cast<int32_t>(size));
    file.SetPosition(0);
    TWaveStream wave(&file);
    try {
        wave.OpenWave(false);
    } catch (const Exception&) {
        return 0;
    }
    const int32_t dataSize = wave.GetDataSize();
    if (dataSize < 0 || wave.DataStart() + dataSize > static_cast<int64_t>(size))
        __builtin_trap();
    if (const WAVEFORMATEX* format = wave.GetWaveFormat()) {
        volatile uint32_t rate = format->nSamplesPerSec; // the record is readable in full
        (void)rate;
    }
    char buffer[256];
    int64_t total = 0;
    for (int32_t n; (n = wave.Read(buffer, sizeof buffer)) > 0;)
        total += n;
    if (total != dataSize)
        __builtin_trap();
    wave.Seek(-7, soEnd);
    wave.Read(buffer, sizeof buffer);
    return 0;
}
