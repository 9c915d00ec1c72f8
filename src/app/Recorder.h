// The recorder: the sound card's input copied into a WAV file, for a call's message or by the
// operator's "Start" and "Stop". Its capture stream is rebuilt when the device list changes.
#pragma once

#include "audio/SoundCaptureStream.h"
#include "audio/Wave.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TRecorder {
public:
    TRecorder();
    ~TRecorder();
    TRecorder(const TRecorder&) = delete;
    TRecorder& operator=(const TRecorder&) = delete;

    // A new capture stream on the default device (DriverBox2Change's steps).
    void Rebuild();
    // Null until the first Rebuild, and after Release.
    TSoundCaptureStream* Capture() { return RecorderCapture.get(); }
    // The formats offered for recording: the first ones of the stream's list, up to 22050 Hz.
    int OfferedFormatCount();
    // Stops any recording, then records into fileName in the stream's format formatIndex
    // (StartButtonClick's steps). Throws when the file or the capture cannot start.
    void Start(const std::string& fileName, int formatIndex);
    // Stops the capture and completes the file; nothing happens when nothing is recorded.
    void Stop();
    bool Recording() const { return RecordFile != nullptr; }
    // Audio bytes written into the recording so far; 0 when nothing is recorded.
    int32_t DataSize() const { return RecordFile ? RecordFile->GetDataSize() : 0; }
    // The file being written; null when nothing is recorded.
    TWaveFileStream* File() { return RecordFile.get(); }
    // The capture stream goes (the program ends).
    void Release();

    // Told on the main thread: recording started or stopped; the audio bytes written so far;
    // one event line ("recording FILE").
    std::function<void(bool recording)> OnRecordingChanged;
    std::function<void(int32_t bytes)> OnSize;
    std::function<void(const std::string& event)> OnEvent;

private:
    void RecorderDataReady();
    void Changed(bool recording);
    static void RecorderDataReadyTag() {}

    std::unique_ptr<TSoundCaptureStream> RecorderCapture;
    std::unique_ptr<TWaveFileStream> RecordFile; // only while recording
};
