#include "decoder/PhoneToneDecoder.h"

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

    FSamples.clear();
    std::size_t i = 0;
    if (FHaveOddByte) {
        FSamples.push_back(static_cast<std::int16_t>(FOddByte | (block[0] << 8)));
        FHaveOddByte = false;
        i = 1;
    }
    for (; i + 1 < block.size(); i += 2)
        FSamples.push_back(static_cast<std::int16_t>(block[i] | (block[i + 1] << 8)));
    if (i < block.size()) {
        FOddByte = block[i];
        FHaveOddByte = true;
    }
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
