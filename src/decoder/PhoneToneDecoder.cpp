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
    FPlayed.clear();
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
    Hear(FSamples);
    return reported + FirePending();
}

int TPhoneToneDecoder::DecodeSamples(std::span<const std::uint8_t> block,
                                     std::span<const std::int16_t> played) {
    int reported = FirePending();
    if (!FDecoding || block.empty())
        return reported;
    FSamples.clear();
    FInput.Convert(block, FSamples);
    const std::size_t n = FSamples.size();
    if (FPlayed.empty() && played.size() == n) {
        // The usual case (8 kHz capture): the played samples pair up with the block as they are.
        CancelAndHear(played);
    } else {
        // Pair each captured sample with the played one of its instant; a shortfall is silence.
        FPlayed.insert(FPlayed.end(), played.begin(), played.end());
        FPaired.assign(n, 0);
        const std::size_t have = std::min(n, FPlayed.size());
        std::copy(FPlayed.begin(), FPlayed.begin() + static_cast<std::ptrdiff_t>(have), FPaired.begin());
        FPlayed.erase(FPlayed.begin(), FPlayed.begin() + static_cast<std::ptrdiff_t>(have));
        // Counts that keep drifting apart (a caller whose rates do not match) must not grow the
        // queue without bound.
        constexpr std::size_t MaxQueued = 2048;
        if (FPlayed.size() > MaxQueued)
            FPlayed.erase(FPlayed.begin(), FPlayed.end() - static_cast<std::ptrdiff_t>(MaxQueued));
        CancelAndHear(FPaired);
    }
    HearLine(FSamples);
    return reported + FirePending();
}

void TPhoneToneDecoder::CancelAndHear(std::span<const std::int16_t> played) {
    // Hop by hop, so that the canceller knows within a hop when the receiver hears a tone.
    constexpr std::size_t hop = TDtmfDetector::HopLength;
    const std::span<std::int16_t> samples(FSamples);
    for (std::size_t at = 0; at < samples.size(); at += hop) {
        const std::size_t n = std::min(hop, samples.size() - at);
        FEcho.HoldAdaptation(FDetector->ToneHeard());
        FEcho.Process(samples.subspan(at, n), played.subspan(at, n), samples.subspan(at, n));
        FDetector->Process(samples.data() + at, n, FPending);
    }
}

void TPhoneToneDecoder::Hear(std::span<const std::int16_t> samples) {
    FDetector->Process(samples.data(), samples.size(), FPending);
    HearLine(samples);
}

void TPhoneToneDecoder::SetSilenceLimit(int milliseconds) {
    FSilenceLimit = milliseconds < 0 ? 0 : milliseconds;
}

// The line-event detectors hear the very samples the DTMF receiver has just heard.
void TPhoneToneDecoder::HearLine(std::span<const std::int16_t> samples) {
    if (FLineEvents.SilenceLimit() != FSilenceLimit)
        FLineEvents.SetSilenceLimit(FSilenceLimit);
    if (FRestartSilence.exchange(false))
        FLineEvents.RestartSilence();
    FLineEvents.Process(samples.data(), samples.size(), FPendingLineEvents);
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
