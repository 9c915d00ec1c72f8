#include "WaveKeys.h"

#include "audio/PcmConverter.h"
#include "audio/Wave.h"
#include "decoder/PhoneToneDecoder.h"

#include <span>

namespace {
constexpr std::int32_t BlockBytes = 65536;
}

TWaveKeys::TWaveKeys(const std::string& fileName)
    : FWave(std::make_unique<TWaveFileStream>(fileName, fmOpenRead | fmShareDenyWrite)) {
    FWave->OpenWave(false);
    if (FWave->GetWaveFormatSize() < 16)
        throw EWaveStreamError("Format is invalid");
    const WAVEFORMATEX& format = *FWave->GetWaveFormat();
    FSourceRate = static_cast<int>(format.nSamplesPerSec);
    FSourceBits = format.wBitsPerSample;
    FSourceChannels = format.nChannels;
    if (format.wFormatTag != WAVE_FORMAT_PCM ||
        (FSourceBits != 8 && FSourceBits != 16 && FSourceBits != 24 && FSourceBits != 32) ||
        (FSourceChannels != 1 && FSourceChannels != 2) || FSourceRate < 1000 || FSourceRate > 384000)
        throw EWaveStreamError("Format is invalid");
}

TWaveKeys::~TWaveKeys() = default;

double TWaveKeys::Seconds() const {
    const int frameBytes = FSourceChannels * FSourceBits / 8;
    return static_cast<double>(FWave->GetDataSize() / frameBytes) / FSourceRate;
}

std::vector<TDtmfKey> TWaveKeys::Decode() {
    std::vector<TDtmfKey> keys;
    TPhoneToneDecoder decoder;
    decoder.OnDTMF = [&keys](TComponent*, int key, std::int64_t position) {
        keys.push_back({static_cast<char>(key), position, 0});
    };
    decoder.SetInputFormat(FSourceRate, FSourceBits, FSourceChannels);
    decoder.StartDecoding();
    std::vector<std::uint8_t> block(BlockBytes);
    for (;;) {
        const std::int32_t got = FWave->Read(block.data(), BlockBytes);
        if (got <= 0)
            break;
        decoder.DecodeSamples(std::span<const std::uint8_t>(block.data(), static_cast<std::size_t>(got)));
    }
    const std::size_t silence =
        static_cast<std::size_t>(FSourceRate) * static_cast<std::size_t>(FSourceChannels * FSourceBits / 8);
    block.assign(silence, SilenceByte(FSourceBits));
    decoder.DecodeSamples(block);
    return keys;
}
