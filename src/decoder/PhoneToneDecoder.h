// The box's tone decoder: the window hands it captured audio block by block and hears of
// every key the caller presses through OnDTMF.
//
// Audio: raw PCM bytes in the format set by SetInputFormat, by default 8000 Hz, 16-bit
// little-endian signed, mono. Other formats (any rate the capture offers, 8 to 32 bits, mono or
// stereo) are converted to 8000 Hz 16-bit mono, through an anti-alias low-pass when the rate
// changes, before the detector hears them. The window hands blocks of 1024 bytes; consecutive
// blocks continue one another, and a block of any other length (even one that splits a sample
// or a frame: the rest waits for the next block) is accepted as well. Detection does not depend
// on where block borders fall.
//
// Threads: the decoder keeps no tie to any thread. DecodeSamples may run on any one thread at a
// time (the capture's notification thread, say); OnDTMF is raised on that thread, from inside
// that call. StartDecoding and SetInputFormat must not overlap a DecodeSamples call.
//
// Events: OnDTMF(Sender, Key, Position) is raised once per key press, after the press has been
// recognised (at its release, or 200 ms into a press that is still held). Key is the character
// code of '0'-'9', '*', '#', 'A'-'D'. Position is the index of the 8 kHz sample where the key's
// tone began, counted from 0 at StartDecoding over all audio handed in since (at another input
// rate: that instant times 8000 per second); it is 64-bit because the box runs for months.
// If a handler throws, the exception leaves DecodeSamples; keys not yet reported stay queued and
// are reported at the start of the next DecodeSamples call, so none is lost.
//
// Echo: a box that hands over what it played alongside each captured block (the overload of
// DecodeSamples with played audio) has the echo of its own prompts taken out of what the
// detector hears (TEchoCanceller), so keys pressed during a prompt are heard over it. Only the
// detector's input is cleaned; the block itself is never changed.
// OnLineEvent(Sender, Event) is raised once per line event the caller's side of the line shows:
// a busy or reorder tone (recognised by frequency and cadence, 1 to 2 s after it began), dial
// tone (2.5 s), or silence as long as the silence limit (SetSilenceLimit; default 8 s, 0: off;
// once per silent stretch). Event.Kind says which (LineEventName gives its words); Position is
// the 8 kHz sample at which it was recognised and LastSoundPosition the end of the caller's last
// sound before it, both counted as the Position of OnDTMF, for cutting a recording's tail. The
// detectors hear exactly the samples the DTMF receiver hears. Like OnDTMF, it is raised on the
// decoding thread from inside DecodeSamples, after the keys of the same call; an event a
// throwing handler leaves behind is raised at the start of the next call. Details of what is
// recognised: decoder/LineEventDetector.h.
#pragma once

#include "decoder/DecoderInputConverter.h"
#include "decoder/DtmfDetector.h"
#include "decoder/EchoCanceller.h"
#include "decoder/LineEventDetector.h"
#include "toolkit/Component.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

class TPhoneToneDecoder : public TComponent {
public:
    using TDTMFEvent = std::function<void(TComponent* Sender, int Key, std::int64_t Position)>;

    explicit TPhoneToneDecoder(TComponent* owner = nullptr);
    ~TPhoneToneDecoder() override;

    // Starts listening from a clean state. Blocks handed in before the first call are ignored;
    // a further call while decoding changes nothing (a press in progress is not lost).
    void StartDecoding();
    bool Decoding() const { return FDecoding; }

    // The format of the blocks DecodeSamples will get from now on (default 8000, 16, 1). Raises
    // Exception for a format the decoder cannot take, keeping the previous one. Audio of the old
    // format still held back (a split frame, the filter's history) is dropped.
    void SetInputFormat(int sampleRate, int bitsPerSample, int channels);
    const TDecoderInputConverter& InputFormat() const { return FInput; }

    // Decodes one block of captured bytes. Returns the number of keys reported by this call.
    int DecodeSamples(std::span<const std::uint8_t> block);
    // The same, with what the box played over the same stretch of time as block: 8 kHz 16-bit
    // mono samples, the first one played at the instant the block's first sample was captured.
    // Their count need not match the block's exactly (at other capture rates the two are rounded
    // apart): played samples are queued and paired with the converted capture in order. The
    // sound card's latency between the two is found by the canceller.
    int DecodeSamples(std::span<const std::uint8_t> block, std::span<const std::int16_t> played);

    const TEchoCanceller& EchoCanceller() const { return FEcho; }

    // The silence that makes a line event, in ms (0: none). May be called from any thread; it
    // takes effect at the next block.
    void SetSilenceLimit(int milliseconds);
    int SilenceLimit() const { return FSilenceLimit; }
    // Counts silence from the next block on (say when a recording starts), so that silence
    // before it is not reported. May be called from any thread.
    void RestartSilence() { FRestartSilence = true; }

    // 8 kHz samples decoded since StartDecoding: the position the next sample will have. May be
    // read from any thread (to learn where a recording begins, say).
    std::int64_t SamplesDecoded() const { return FSamplesDecoded; }

    TDTMFEvent OnDTMF;
    using TLineEventHandler = std::function<void(TComponent* Sender, const TLineEvent& Event)>;
    TLineEventHandler OnLineEvent;

private:
    int FirePending();
    // Where the 8 kHz input reaches the DTMF receiver: through the echo canceller when the played
    // audio is known (FSamples, cleaned in place), as it is otherwise.
    void CancelAndHear(std::span<const std::int16_t> played);
    void Hear(std::span<const std::int16_t> samples);
    void HearLine(std::span<const std::int16_t> samples);

    bool FDecoding = false;
    TDecoderInputConverter FInput;
    std::vector<std::int16_t> FSamples;
    std::vector<TDtmfKey> FPending;
    std::unique_ptr<TDtmfDetector> FDetector;
    TEchoCanceller FEcho;
    std::vector<std::int16_t> FPlayed; // played samples not yet paired with captured ones
    std::vector<std::int16_t> FPaired;
    TLineEventDetector FLineEvents;
    std::vector<TLineEvent> FPendingLineEvents;
    std::atomic<int> FSilenceLimit{TLineEventDetector::DefaultSilenceLimitMs};
    std::atomic<bool> FRestartSilence{false};
    std::atomic<std::int64_t> FSamplesDecoded{0};
};
