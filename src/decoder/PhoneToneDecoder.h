// The box's tone decoder: the window hands it captured audio block by block and hears of
// every key the caller presses through OnDTMF.
//
// Audio: raw PCM bytes, 8000 Hz, 16-bit little-endian signed, mono. The window hands blocks of
// 1024 bytes (512 samples, 64 ms); consecutive blocks continue one another, and a block of any
// other length (even an odd one: the spare byte waits for the next block) is accepted as well.
// Detection does not depend on where block borders fall.
//
// Events: OnDTMF(Sender, Key, Position) is raised once per key press, after the press has been
// recognised (at its release, or 200 ms into a press that is still held), on the thread that
// called DecodeSamples, from inside that call. Key is the character code of '0'-'9', '*', '#',
// 'A'-'D'. Position is the index of the sample where the key's tone began, counted from 0 at
// StartDecoding over all samples handed in since; it is 64-bit because the box runs for months.
// If a handler throws, the exception leaves DecodeSamples; keys not yet reported stay queued and
// are reported at the start of the next DecodeSamples call, so none is lost.
#pragma once

#include "decoder/DtmfDetector.h"
#include "toolkit/Component.h"

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

    // Decodes one block of captured bytes. Returns the number of keys reported by this call.
    int DecodeSamples(std::span<const std::uint8_t> block);

    TDTMFEvent OnDTMF;

private:
    int FirePending();

    bool FDecoding = false;
    bool FHaveOddByte = false;
    std::uint8_t FOddByte = 0;
    std::vector<std::int16_t> FSamples;
    std::vector<TDtmfKey> FPending;
    std::unique_ptr<TDtmfDetector> FDetector;
};
