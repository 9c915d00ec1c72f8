#include "decoder/PhoneToneDecoder.h"

TPhoneToneDecoder::TPhoneToneDecoder(TComponent* owner)
    : TComponent(owner), FDetector(std::make_unique<TDtmfDetector>()) {}

TPhoneToneDecoder::~TPhoneToneDecoder() = default;

void TPhoneToneDecoder::StartDecoding() {
    if (FDecoding)
        return;
    FDetector->Reset();
    FLineEvents.Reset();
    FPendingLineEvents.clear();
    FSamplesDecoded = 0;
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
    HearLine();
    return reported + FirePending();
}

void TPhoneToneDecoder::SetSilenceLimit(int milliseconds) {
    FSilenceLimit = milliseconds < 0 ? 0 : milliseconds;
}

// The line-event detectors hear the very samples the DTMF receiver has just heard.
void TPhoneToneDecoder::HearLine() {
    if (FLineEvents.SilenceLimit() != FSilenceLimit)
        FLineEvents.SetSilenceLimit(FSilenceLimit);
    if (FRestartSilence.exchange(false))
        FLineEvents.RestartSilence();
    FLineEvents.Process(FSamples.data(), FSamples.size(), FPendingLineEvents);
    FSamplesDecoded = FLineEvents.SamplesProcessed();
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
    while (!FPendingLineEvents.empty()) {
        const TLineEvent event = FPendingLineEvents.front();
        FPendingLineEvents.erase(FPendingLineEvents.begin());
        if (OnLineEvent)
            OnLineEvent(this, event);
    }
    return fired;
}
