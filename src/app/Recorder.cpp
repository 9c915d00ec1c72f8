#include "app/Recorder.h"

#include "toolkit/Exception.h"

TRecorder::TRecorder() = default;

TRecorder::~TRecorder() {
    if (RecorderCapture)
        RecorderCapture->StopCapture();
    RecordFile.reset();
    RecorderCapture.reset();
}

void TRecorder::Rebuild() {
    // The device list only triggers the rebuild: the stream always opens the default device.
    RecorderCapture.reset();
    RecorderCapture = std::make_unique<TSoundCaptureStream>(nullptr);
}

int TRecorder::OfferedFormatCount() {
    if (!RecorderCapture)
        return 0;
    // Formats come in ascending rate, so the offered ones are the first of the stream's list.
    TSoundCaptureFormats& formats = RecorderCapture->Formats();
    int count = 0;
    while (count < formats.Count() && formats[count].SampleRate <= 22050)
        ++count;
    return count;
}

void TRecorder::Changed(bool recording) {
    if (OnRecordingChanged)
        OnRecordingChanged(recording);
}

void TRecorder::Start(const std::string& fileName, int formatIndex) {
    Stop();
    try {
        RecordFile = std::make_unique<TWaveFileStream>(fileName, fmCreate);
        if (!RecorderCapture) // start-up stopped before the stream existed: no format to record in
            throw EListError::IndexOutOfBounds(formatIndex);
        const TSoundCaptureFormat& format = RecorderCapture->Formats().Items(formatIndex);
        RecordFile->AssignPcmFormat(format.SampleRate, format.BitsPerSample, format.Channels);
        RecordFile->OpenWave(true);
        Changed(true);
        RecorderCapture->SetOnDataReady([this](TSoundCaptureStream*) { RecorderDataReady(); }, this,
                                        reinterpret_cast<const void*>(&TRecorder::RecorderDataReadyTag));
        RecorderCapture->FormatIndex = formatIndex;
        RecorderCapture->StartCapture();
        if (OnEvent)
            OnEvent("recording " + fileName);
    } catch (const std::exception&) {
        Stop();
        throw;
    }
}

void TRecorder::Stop() {
    if (RecorderCapture)
        RecorderCapture->StopCapture();
    RecordFile.reset(); // completes and closes the file
    Changed(false);
}

void TRecorder::Release() {
    Stop();
    RecorderCapture.reset();
}

void TRecorder::RecorderDataReady() {
    if (!RecordFile || !RecorderCapture)
        return;
    const int32_t ready = RecorderCapture->GetReadyBytes();
    if (ready > 0) {
        try {
            RecordFile->CopyFrom(*RecorderCapture, ready);
        } catch (const std::exception&) {
            // A full disk: the message so far is kept in a completed file, and the error is
            // shown once rather than at every notification. The capture stops itself once this
            // check has returned (its notification thread waits for it), and the error is shown
            // after that too: an error box must not hold a thread that a stop would wait for.
            RecordFile.reset();
            Changed(false);
            throw;
        }
    }
    if (OnSize)
        OnSize(RecordFile->GetDataSize());
}
