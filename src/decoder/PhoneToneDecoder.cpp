#include "decoder/PhoneToneDecoder.h"

TPhoneToneDecoder::TPhoneToneDecoder(TComponent* owner)
    : TComponent(owner), FDetector(std::make_unique<TDtmfDetector>()) {}

TPhoneToneDecoder::~TPhoneToneDecoder() = default;

void TPhoneToneDecoder::StartDecoding() {
    if (FDecoding)
        return;
    FDetector->Reset();
    FInput.Reset();
    FPending.clear();
    FDecoding = true;
}

void TPhoneToneDecoder::SetInputFormat(int sampleRate, int bitsPerSample, int channels) {
    FInput = TDecoderInputConverter(sampleRate, bitsPerSample, channels);
}

int TPhoneToneDecoder::DecodeSamples(std::span<const std::uint8_t> block) {
    // Keys a throwing handler left behind come first, in order.
    int reported = FirePending();
    if (!FDecoding || block.empty())
        return reported;
    FSamples.clear();
    FInput.Convert(block, FSamples);
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
