#include "decoder/PhoneToneDecoder.h"

#include <bit>
#include <cstring>

TPhoneToneDecoder::TPhoneToneDecoder(TComponent* owner)
    : TComponent(owner), FDetector(std::make_unique<TDtmfDetector>()) {}

TPhoneToneDecoder::~TPhoneToneDecoder() = default;

void TPhoneToneDecoder::StartDecoding() {
    if (FDecoding)
        return;
    FDetector->Reset();
    FHaveOddByte = false;
    FPending.clear();
    FDecoding = true;
}

int TPhoneToneDecoder::DecodeSamples(std::span<const std::uint8_t> block) {
    // Keys a throwing handler left behind come first, in order.
    int reported = FirePending();
    if (!FDecoding || block.empty())
        return reported;

    std::size_t start = 0, count = 0;
    if (FHaveOddByte) {
        FSamples.assign(1, static_cast<std::int16_t>(FOddByte | (block[0] << 8)));
        start = 1;
        count = 1;
    }
    const std::size_t pairs = (block.size() - start) / 2;
    FSamples.resize(count + pairs);
    const std::uint8_t* bytes = block.data() + start;
    std::int16_t* samples = FSamples.data() + count;
    if constexpr (std::endian::native == std::endian::little) {
        if (pairs > 0)
            std::memcpy(samples, bytes, pairs * 2);
    } else {
        for (std::size_t i = 0; i < pairs; ++i)
            samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    FHaveOddByte = (block.size() - start) % 2 != 0;
    if (FHaveOddByte)
        FOddByte = block.back();
    FDetector->Process(FSamples.data(), FSamples.size(), FPending);
    return reported + FirePending();
}

int TPhoneToneDecoder::FirePending() {
    int fired = 0;
    while (!FPending.empty()) {
        const TDtmfKey key = FPending.front();
        FPending.erase(FPending.begin());
        ++fired;
        if (OnDTMF)
            OnDTMF(this, static_cast<unsigned char>(key.Key), key.Position);
    }
    return fired;
}
