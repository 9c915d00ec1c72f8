// The decoder's ear: its own capture stream, read on the capture's notification thread, so the
// caller's keys are heard while a prompt or the upload holds the main thread. Every complete
// 1024-byte block goes to the tone decoder, together with what the box played while it was
// captured (from the played-audio record), so that the decoder can take the echo of the box's own
// prompts out of what it hears; the recording's capture is never touched. The keys (and any audio the capture
// lost) are handed to the main thread, in order.
#pragma once

#include "audio/PlaybackReference.h"
#include "audio/SoundCaptureStream.h"
#include "decoder/PhoneToneDecoder.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The decoder's format: 8000 Hz 16-bit mono where the device offers it, else the list's first
// entry (the decoder converts whatever the device gives). -1 for an empty list.
int ChooseDecoderFormat(TSoundCaptureFormats& formats);

class TDecoderFeed {
public:
    TDecoderFeed();
    ~TDecoderFeed();
    TDecoderFeed(const TDecoderFeed&) = delete;
    TDecoderFeed& operator=(const TDecoderFeed&) = delete;

    // A new capture stream on the default device, its format chosen (DriverBoxChange's steps).
    void Rebuild();
    // Null until the first Rebuild.
    TSoundCaptureStream* Capture() { return DecoderCapture.get(); }
    // The chosen entry of the capture's format list; -1 when it offers none.
    int FormatIndex() const { return FFormatIndex; }
    void SetBufferMilliseconds(int milliseconds);
    // Starts the capture and the decoder (the window's first showing); nothing without a capture.
    void Start();
    // Starts the decoder alone (the "On" button).
    void StartDecoding();
    bool Decoding() const { return PhoneToneDecoder1.Decoding(); }
    // The record of what the box plays (null: none, the decoder hears the capture as it is).
    // Takes effect at the next Start.
    void SetPlaybackReference(const TPlaybackReference* reference) { FReference = reference; }

    // On the main thread: a key and the decoder position where its tone began; a line event
    // (the caller's leaving); an event line ("decoder audio lost N bytes").
    std::function<void(int key, int64_t position)> OnKey;
    std::function<void(const TLineEvent& event)> OnLineEvent;
    std::function<void(const std::string& event)> OnEvent;

    TPhoneToneDecoder PhoneToneDecoder1;

private:
    void DecoderDataReady(TSoundCaptureStream& capture);
    static void DecoderDataReadyTag() {}
    // Tag of the calls handed to the main thread.
    const void* Tag() const { return &PhoneToneDecoder1; }

    std::unique_ptr<TSoundCaptureStream> DecoderCapture;
    const TPlaybackReference* FReference = nullptr;
    // Made at Start; used only on the capture's notification thread while it captures.
    std::unique_ptr<TPlaybackReferenceReader> FReader;
    std::vector<int16_t> FPlayed;
    int FFormatIndex = -1;
    // The decoder is fed on the capture's notification thread; the main thread only starts it.
    std::mutex FDecoderLock;
};
