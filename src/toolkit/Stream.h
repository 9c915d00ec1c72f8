// Byte streams: the base every file, wave and capture stream derives from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
public:
    virtual ~TStream() = default;

    // Move up to count bytes; return how many moved (0 at the end).
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    // Returns the new position.
    virtual int64_t Seek(int64_t offset, int origin) = 0;

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t position) { Seek(position, soBeginning); }
    virtual int64_t Size();
    virtual void SetSize(int64_t newSize);

    // Exactly count bytes or EReadError / EWriteError.
    void ReadBuffer(void* buffer, int32_t count);
    void WriteBuffer(const void* buffer, int32_t count);

    // Copies count bytes from source's current position; count 0 copies the whole source from
    // position 0. Returns the bytes copied; a short source raises EReadError.
    int64_t CopyFrom(TStream& source, int64_t count);
};

// Stream over an open file descriptor, which it does not own.
class THandleStream : public TStream {
public:
    explicit THandleStream(int handle) : FHandle(handle) {}
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, int origin) override;
    void SetSize(int64_t newSize) override;
    // Writes count bytes at offset without moving the position; false (and LastWriteError)
    // when the system refused any of them.
    bool WriteAt(int64_t offset, const void* buffer, int32_t count);
    int Handle() const { return FHandle; }
    // errno of the last write the system refused in part or whole (0: none yet).
    int LastWriteError() const { return FLastWriteError; }

protected:
    int FHandle;
    int FLastWriteError = 0;
};

// Open modes. fmCreate creates or truncates and opens for reading and writing; the share flags
// are accepted for compatibility (Linux does not lock files on open).
constexpr uint16_t fmCreate = 0xFFFF;
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyNone = 0x0040;

class TFileStream : public THandleStream {
public:
    // Raises EFCreateError (fmCreate) or EFOpenError with the name.
    TFileStream(const std::string& fileName, uint16_t mode);
    ~TFileStream() override;
    const std::string& FileName() const { return FFileName; }

private:
    std::string FFileName;
};

class TMemoryStream : public TStream {
public:
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, int origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t newSize) override;
    void Clear();
    char* Memory() { return FData.data(); }
    const std::vector<char>& Data() const { return FData; }
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

private:
    std::vector<char> FData;
    int64_t FPosition = 0;
};
