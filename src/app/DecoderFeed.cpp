#include "app/DecoderFeed.h"

#include "toolkit/Thread.h"

int ChooseDecoderFormat(TSoundCaptureFormats& formats) {
    for (int i = 0; i < formats.Count(); ++i)
        if (formats[i].SampleRate == 8000 && formats[i].BitsPerSample == 16 && formats[i].Channels == 1)
            return i;
    return formats.Count() > 0 ? 0 : -1;
}

TDecoderFeed::TDecoderFeed() {
    PhoneToneDecoder1.SetName("PhoneToneDecoder1");
    // Raised on the capture's thread: the key is handled on the main thread, after the keys
    // before it, once whatever holds the main thread (a prompt) is over.
    PhoneToneDecoder1.OnDTMF = [this](TComponent*, int key, int64_t position) {
        TThread::Queue(
            [this, key, position] {
                if (OnKey)
                    OnKey(key, position);
            },
            Tag());
    };
    PhoneToneDecoder1.OnLineEvent = [this](TComponent*, const TLineEvent& event) {
        TThread::Queue(
            [this, event] {
                if (OnLineEvent)
                    OnLineEvent(event);
            },
            Tag());
    };
}

TDecoderFeed::~TDecoderFeed() {
    // The stream stops its thread (which calls into this object) first.
    DecoderCapture.reset();
    TThread::RemoveQueuedEvents(Tag()); // keys handed over but not yet taken
    PhoneToneDecoder1.OnDTMF = nullptr;
    PhoneToneDecoder1.OnLineEvent = nullptr;
}

void TDecoderFeed::Rebuild() {
    DecoderCapture.reset();
    DecoderCapture = std::make_unique<TSoundCaptureStream>(nullptr);
    FFormatIndex = ChooseDecoderFormat(DecoderCapture->Formats());
    if (FFormatIndex < 0)
        return;
    const TSoundCaptureFormat& chosen = DecoderCapture->Formats()[FFormatIndex];
    std::lock_guard<std::mutex> guard(FDecoderLock);
    PhoneToneDecoder1.SetInputFormat(chosen.SampleRate, chosen.BitsPerSample, chosen.Channels);
}

void TDecoderFeed::SetBufferMilliseconds(int milliseconds) {
    if (DecoderCapture)
        DecoderCapture->SetBufferMilliseconds(milliseconds);
}

void TDecoderFeed::Start() {
    // A start-up that stopped before the stream existed: no DTMF, but every button still works.
    if (!DecoderCapture)
        return;
    DecoderCapture->SetOnDataReady([this](TSoundCaptureStream* sender) { DecoderDataReady(*sender); }, this,
                                   reinterpret_cast<const void*>(&TDecoderFeed::DecoderDataReadyTag));
    DecoderCapture->SetDataReadyThread(TDataReadyThread::NotifyThread);
    DecoderCapture->FormatIndex = FFormatIndex;
    // A new capture run: the played audio is found by the run's own time stamps.
    if (!DecoderCapture->IsCapturing())
        FReader = FReference ? std::make_unique<TPlaybackReferenceReader>(*FReference) : nullptr;
    DecoderCapture->StartCapture();
    StartDecoding();
}

void TDecoderFeed::StartDecoding() {
    std::lock_guard<std::mutex> guard(FDecoderLock);
    PhoneToneDecoder1.StartDecoding();
}

void TDecoderFeed::DecoderDataReady(TSoundCaptureStream& capture) {
    // On the capture's notification thread. Only whole blocks: a read here never waits, and
    // what was captured since the last check is decoded at once, however long the main thread
    // was busy.
    uint8_t block[1024];
    while (capture.GetReadyBytes() >= static_cast<int32_t>(sizeof block)) {
        if (FReader)
            FReader->ReadBlock(capture, block, sizeof block, FPlayed);
        else
            capture.ReadBuffer(block, sizeof block);
        std::lock_guard<std::mutex> guard(FDecoderLock);
        if (FReader && !FPlayed.empty())
            PhoneToneDecoder1.DecodeSamples(std::span<const uint8_t>(block, sizeof block), FPlayed);
        else
            PhoneToneDecoder1.DecodeSamples(std::span<const uint8_t>(block, sizeof block));
    }
    // Audio the capture had to drop (this thread was held off for a whole buffer): never
    // decoded, but said.
    if (const uint64_t bytes = capture.TakeNewlyLost())
        TThread::Queue(
            [this, bytes] {
                if (OnEvent)
                    OnEvent("decoder audio lost " + std::to_string(bytes) + " bytes");
            },
            Tag());
}
