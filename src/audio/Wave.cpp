#include "audio/Wave.h"

#include "toolkit/ExceptionReporter.h"
#include "toolkit/StringUtils.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const SStreamNotOpened = "Stream not opend";
const char* const SStreamAlreadyOpened = "Stream has already been opened";
const char* const SFormatInvalid = "Format is invalid";
const char* const SWaveInvalid = "Wave is invalid";

int32_t ClampToInt32(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

void PutU32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

} // namespace

void FillPcmFormat(WAVEFORMATEX& format, int sampleRate, int bitsPerSample, int channels) {
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = static_cast<uint16_t>(channels);
    format.nSamplesPerSec = static_cast<uint32_t>(sampleRate);
    format.nBlockAlign = static_cast<uint16_t>(channels * (bitsPerSample / 8));
    format.nAvgBytesPerSec = static_cast<uint32_t>(format.nBlockAlign) * format.nSamplesPerSec;
    format.wBitsPerSample = static_cast<uint16_t>(bitsPerSample);
    format.cbSize = 0;
}

// ---- TCustomWaveStream

int32_t TCustomWaveStream::Read(void* buffer, int32_t count) {
    const int32_t size = GetDataSize();
    if (size >= 0) {
        if (FPosition > size)
            FPosition = size;
        if (static_cast<int64_t>(FPosition) + count > size)
            count = size - FPosition;
    }
    const int32_t result = ReadSamples(buffer, count);
    FPosition = ClampToInt32(static_cast<int64_t>(FPosition) + result);
    return result;
}

int32_t TCustomWaveStream::Write(const void* buffer, int32_t count) {
    const int32_t size = GetDataSize();
    if (size >= 0 && FPosition > size)
        FPosition = size;
    const int32_t result = WriteSamples(buffer, count);
    FPosition = ClampToInt32(static_cast<int64_t>(FPosition) + result);
    return result;
}

int64_t TCustomWaveStream::Seek(int64_t offset, int origin) {
    int64_t position = FPosition;
    switch (origin) {
    case soBeginning:
        position = offset;
        break;
    case soCurrent:
        position += offset;
        break;
    case soEnd:
        position = offset + GetDataSize();
        break;
    default:
        break;
    }
    if (position < 0)
        position = 0;
    const int32_t size = GetDataSize();
    if (size >= 0 && position > size)
        position = size;
    FPosition = ClampToInt32(position);
    return FPosition;
}

void TCustomWaveStream::AssignPcmFormat(int sampleRate, int bitsPerSample, int channels) {
    SetWaveFormatSize(sizeof(WAVEFORMATEX));
    FillPcmFormat(*GetWaveFormat(), sampleRate, bitsPerSample, channels);
}

// ---- TCustomWaveStream2

TCustomWaveStream2::~TCustomWaveStream2() = default;

WAVEFORMATEX* TCustomWaveStream2::GetWaveFormat() {
    return reinterpret_cast<WAVEFORMATEX*>(FFormatBuffer.get());
}

void TCustomWaveStream2::SetWaveFormatSize(int32_t size) {
    if (size <= 0) {
        FFormatBuffer.reset();
        FFormatSize = 0;
        return;
    }
    const size_t allocated = std::max<size_t>(static_cast<size_t>(size), sizeof(WAVEFORMATEX));
    auto block = std::make_unique<uint8_t[]>(allocated); // zero-filled
    if (FFormatBuffer)
        std::memcpy(block.get(), FFormatBuffer.get(), static_cast<size_t>(std::min(size, FFormatSize)));
    FFormatBuffer = std::move(block);
    FFormatSize = size;
}

// ---- TWaveStream

TWaveStream::TWaveStream(TStream* target) {
    SetTarget(target);
}

TWaveStream::~TWaveStream() {
    CompleteOnDestruction();
}

void TWaveStream::SetTarget(TStream* target) {
    FTarget = target;
    FStartPos = target ? target->Position() : 0;
}

void TWaveStream::CompleteOnDestruction() {
    if (!FIsOpen || FReadMode)
        return;
    FIsOpen = false;
    try {
        FinishWriting();
    } catch (const Exception& e) {
        // A full disk at the end of a recording must not take the program down; the operator
        // learns of it like any other failure.
        ShowException(e);
    }
}

void TWaveStream::OpenWave(bool writeMode) {
    if (writeMode)
        OpenForWriting();
    else
        OpenForReading();
}

int32_t TWaveStream::GetDataSize() {
    if (!FIsOpen)
        return 0;
    if (FReadMode)
        return FReadDataSize;
    return ClampToInt32(FTarget->Size() - FDataStart);
}

int32_t TWaveStream::ReadSamples(void* buffer, int32_t count) {
    if (!FIsOpen)
        throw EWaveStreamError(SStreamNotOpened);
    FTarget->SetPosition(FDataStart + FPosition);
    return FTarget->Read(buffer, count);
}

int32_t TWaveStream::WriteSamples(const void* buffer, int32_t count) {
    if (!FIsOpen)
        throw EWaveStreamError(SStreamNotOpened);
    if (FReadMode && static_cast<int64_t>(FPosition) + count > FReadDataSize)
        count = FReadDataSize - FPosition;
    FTarget->SetPosition(FDataStart + FPosition);
    const int32_t written = FTarget->Write(buffer, count);
    if (FReadMode)
        return written;
    NoteWritten(FDataStart + FPosition + written);
    if (written < count)
        RaiseWriteError(FHandleTarget ? FHandleTarget->LastWriteError() : 0);
    return written;
}

void TWaveStream::RaiseWriteError(int) {
    throw EWriteError();
}

void TWaveStream::WriteTarget(const void* buffer, int32_t count) {
    if (FTarget->Write(buffer, count) != count)
        RaiseWriteError(FHandleTarget ? FHandleTarget->LastWriteError() : 0);
}

std::chrono::steady_clock::time_point TWaveStream::CurrentTime() const {
    return Now ? Now() : std::chrono::steady_clock::now();
}

void TWaveStream::NoteWritten(int64_t end) {
    FWrittenEnd = std::max(FWrittenEnd, end);
    if (!FHandleTarget || FWrittenEnd <= FRefreshedEnd)
        return;
    const int64_t audioBound =
        static_cast<int64_t>(std::max<uint32_t>(GetWaveFormat()->nAvgBytesPerSec, 1)) * HeaderRefreshSeconds;
    const auto now = CurrentTime();
    if (FWrittenEnd - FRefreshedEnd >= audioBound ||
        now - FRefreshedAt >= std::chrono::seconds(HeaderRefreshSeconds)) {
        FRefreshedAt = now;
        RefreshSizes();
    }
}

void TWaveStream::RefreshSizes() {
    // Positional writes of the two fields only: the stream's position stays with the samples,
    // and what a crash leaves is a file whose header covers audio that is on disk.
    uint8_t riff[4], data[4];
    PutU32(riff, static_cast<uint32_t>(FWrittenEnd - FStartPos - 8));
    PutU32(data, static_cast<uint32_t>(ClampToInt32(FWrittenEnd - FDataStart)));
    if (!FHandleTarget->WriteAt(FStartPos + 4, riff, 4) ||
        !FHandleTarget->WriteAt(FDataHeaderPos + 4, data, 4))
        RaiseWriteError(FHandleTarget->LastWriteError());
    FRefreshedEnd = FWrittenEnd;
}

void TWaveStream::OpenForWriting() {
    if (FIsOpen)
        throw EWaveStreamError(SStreamAlreadyOpened);
    if (GetWaveFormatSize() == 0)
        throw EWaveStreamError(SFormatInvalid);
    FIsOpen = true;
    FHandleTarget = dynamic_cast<THandleStream*>(FTarget);
    FTarget->SetPosition(FStartPos);
    uint8_t header[20] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    PutU32(header + 16, static_cast<uint32_t>(GetWaveFormatSize()));
    WriteTarget(header, sizeof header);
    WriteTarget(GetWaveFormat(), GetWaveFormatSize());
    FDataHeaderPos = FTarget->Position();
    const uint8_t dataHeader[8] = {'d', 'a', 't', 'a', 0, 0, 0, 0};
    WriteTarget(dataHeader, sizeof dataHeader);
    FDataStart = FTarget->Position();
    FWrittenEnd = FRefreshedEnd = FDataStart;
    FRefreshedAt = CurrentTime();
}

void TWaveStream::FinishWriting() {
    uint8_t field[4];
    FTarget->SetPosition(FStartPos);
    WriteTarget("RIFF", 4);
    PutU32(field, static_cast<uint32_t>(FTarget->Size() - FStartPos - 8));
    WriteTarget(field, 4);
    WriteTarget("WAVE", 4);
    const int32_t dataSize = ClampToInt32(FTarget->Size() - FDataStart);
    FTarget->SetPosition(FDataHeaderPos);
    WriteTarget("data", 4);
    PutU32(field, static_cast<uint32_t>(dataSize));
    WriteTarget(field, 4);
    FTarget->Seek(0, soEnd);
}

void TWaveStream::OpenForReading() {
    if (FIsOpen)
        throw EWaveStreamError(SStreamAlreadyOpened);
    FIsOpen = true;
    FReadMode = true;
    FTarget->SetPosition(FStartPos);
    uint8_t header[12];
    FTarget->ReadBuffer(header, sizeof header);
    if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0)
        throw EWaveStreamError(SWaveInvalid);

    // Chunk sizes come from the file and are not trusted: a chunk that would reach past the
    // end of the target, or backwards, ends the scan. Every step reads at least one header
    // byte or stops, so the scan always ends.
    const int64_t end = FTarget->Size();
    for (;;) {
        uint8_t chunk[8] = {};
        FTarget->Read(chunk, sizeof chunk);
        if (GetU32(chunk) == 0)
            break;
        const int64_t size = static_cast<int32_t>(GetU32(chunk + 4));
        const int64_t here = FTarget->Position();
        const int64_t left = end - here;
        if (std::memcmp(chunk, "data", 4) == 0) {
            // A writer that never completed its file (or wrote to a pipe) leaves a size
            // larger than the data: the data then runs to the end of the file.
            FReadDataSize = static_cast<int32_t>(size < 0 || size > left ? left : size);
            FDataStart = here;
            if (size < 0 || size > left)
                break;
            FTarget->SetPosition(here + size);
            continue;
        }
        if (size < 0 || size > left)
            break;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            SetWaveFormatSize(static_cast<int32_t>(size));
            if (size > 0)
                FTarget->ReadBuffer(GetWaveFormat(), static_cast<int32_t>(size));
        } else {
            FTarget->SetPosition(here + size);
        }
    }
}

// ---- TWaveFileStream

TWaveFileStream::TWaveFileStream(const std::string& fileName, uint16_t fileMode) : TWaveStream(nullptr) {
    FOwnedFile = std::make_unique<TFileStream>(fileName, fileMode);
    SetTarget(FOwnedFile.get());
}

TWaveFileStream::~TWaveFileStream() {
    // The file must be completed while it is still open.
    CompleteOnDestruction();
}

void TWaveFileStream::RaiseWriteError(int error) {
    throw EWriteError(Format("Cannot write %s: %s", FOwnedFile->FileName().c_str(),
                             error != 0 ? std::strerror(error) : "Input/output error"));
}
