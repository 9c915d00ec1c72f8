// RIFF WAVE files as byte streams whose position 0 is the first sample byte, and the PCM format
// record shared by the recorder, the capture stream and playback.
#pragma once

#include "toolkit/Exception.h"
#include "toolkit/Stream.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#pragma pack(push, 1)
// The 18-byte little-endian format record stored in the "fmt " chunk.
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

constexpr uint16_t WAVE_FORMAT_PCM = 1;

void FillPcmFormat(WAVEFORMATEX& format, int sampleRate, int bitsPerSample, int channels);

class EWaveStreamError : public Exception {
public:
    using Exception::Exception;
};

// A stream over wave sample data. The data size may be unknown (-1, unbounded): then reads go
// straight to ReadSamples and the position is not clamped above.
class TCustomWaveStream : public TStream {
public:
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, int origin) override;
    // The sample data cannot be resized through the stream.
    void SetSize(int64_t) override {}

    virtual int32_t GetReadyBytes() { return -1; }
    virtual WAVEFORMATEX* GetWaveFormat() = 0;
    virtual int32_t GetWaveFormatSize() { return 0; }
    virtual int32_t GetDataSize() { return -1; }
    virtual int32_t ReadSamples(void*, int32_t) { return 0; }
    virtual void SetWaveFormatSize(int32_t size) = 0;
    virtual int32_t WriteSamples(const void*, int32_t) { return 0; }

    void AssignPcmFormat(int sampleRate, int bitsPerSample, int channels);

protected:
    int32_t FPosition = 0;
};

// Keeps the format record in an owned block of FormatSize bytes.
class TCustomWaveStream2 : public TCustomWaveStream {
public:
    ~TCustomWaveStream2() override;
    WAVEFORMATEX* GetWaveFormat() override;
    int32_t GetWaveFormatSize() override { return FFormatSize; }
    void SetWaveFormatSize(int32_t size) override;

private:
    // Never shorter than a WAVEFORMATEX, so the fields can be read even from a short
    // "fmt " chunk (the missing bytes read as zero).
    std::unique_ptr<uint8_t[]> FFormatBuffer;
    int32_t FFormatSize = 0;
};

// A wave file inside a target stream (not owned), starting at the target's position when the
// wave stream is constructed. Opened once, for reading or writing; a stream opened for writing
// is completed (RIFF and data sizes patched) when it is destroyed. Over a file descriptor, the
// two size fields are also brought up to date while it is written, at least every
// HeaderRefreshSeconds of audio or of time, so a process killed mid-recording leaves a file
// that plays up to then.
class TWaveStream : public TCustomWaveStream2 {
public:
    using TClock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr int HeaderRefreshSeconds = 2;

    explicit TWaveStream(TStream* target);
    ~TWaveStream() override;

    // The time the header refresh goes by; empty: the steady clock.
    TClock Now;

    void OpenWave(bool writeMode);
    int32_t GetDataSize() override;
    int32_t ReadSamples(void* buffer, int32_t count) override;
    int32_t WriteSamples(const void* buffer, int32_t count) override;

    bool IsOpen() const { return FIsOpen; }
    bool ReadMode() const { return FReadMode; }
    int64_t DataStart() const { return FDataStart; }

protected:
    void OpenForReading();
    void OpenForWriting();
    // Patches the headers once; later calls do nothing. Errors are shown, not thrown, as it
    // runs during destruction.
    void CompleteOnDestruction();
    void SetTarget(TStream* target);
    // A write to the target that the system refused (error: its errno, 0 when unknown).
    [[noreturn]] virtual void RaiseWriteError(int error);

private:
    void FinishWriting();
    void WriteTarget(const void* buffer, int32_t count);
    void NoteWritten(int64_t end);
    void RefreshSizes();
    std::chrono::steady_clock::time_point CurrentTime() const;
    // The target as a file descriptor stream, null for other targets.
    THandleStream* FHandleTarget = nullptr;
    int64_t FWrittenEnd = 0;
    int64_t FRefreshedEnd = 0;
    std::chrono::steady_clock::time_point FRefreshedAt;
    int64_t FDataStart = 0;
    int64_t FDataHeaderPos = 0;
    bool FIsOpen = false;
    int64_t FStartPos = 0;
    bool FReadMode = false;
    int32_t FReadDataSize = 0;
    TStream* FTarget = nullptr;
};

// A wave stream over a file it creates or opens itself.
class TWaveFileStream : public TWaveStream {
public:
    // fileMode as for TFileStream: fmCreate (0xFFFF) creates or truncates.
    TWaveFileStream(const std::string& fileName, uint16_t fileMode);
    ~TWaveFileStream() override;

protected:
    // "Cannot write PATH: REASON", still an EWriteError.
    [[noreturn]] void RaiseWriteError(int error) override;

private:
    std::unique_ptr<TFileStream> FOwnedFile;
};
