#include "toolkit/Stream.h"

#include "toolkit/Exception.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int64_t TStream::Size() {
    const int64_t position = Seek(0, soCurrent);
    const int64_t size = Seek(0, soEnd);
    Seek(position, soBeginning);
    return size;
}

void TStream::SetSize(int64_t) {}

void TStream::ReadBuffer(void* buffer, int32_t count) {
    if (count != 0 && Read(buffer, count) != count)
        throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
    if (count != 0 && Write(buffer, count) != count)
        throw EWriteError();
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    constexpr int32_t MaxBufferSize = 0xF000;
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<char> buffer(static_cast<size_t>(std::min<int64_t>(count, MaxBufferSize)));
    int64_t left = count;
    while (left > 0) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(left, MaxBufferSize));
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        left -= n;
    }
    return count;
}

int32_t THandleStream::Read(void* buffer, int32_t count) {
    if (count <= 0)
        return 0;
    ssize_t n;
    do
        n = ::read(FHandle, buffer, static_cast<size_t>(count));
    while (n < 0 && errno == EINTR);
    return n < 0 ? 0 : static_cast<int32_t>(n);
}

int32_t THandleStream::Write(const void* buffer, int32_t count) {
    if (count <= 0)
        return 0;
    // A regular file may take a write in parts (signals, large counts): keep going until done
    // or the system refuses.
    const char* p = static_cast<const char*>(buffer);
    int32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(FHandle, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A write of nothing without an error does not happen for files; say EIO then.
            FLastWriteError = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<int32_t>(n);
    }
    return done;
}

bool THandleStream::WriteAt(int64_t offset, const void* buffer, int32_t count) {
    const char* p = static_cast<const char*>(buffer);
    int32_t done = 0;
    while (done < count) {
        const ssize_t n = ::pwrite(FHandle, p + done, static_cast<size_t>(count - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            FLastWriteError = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<int32_t>(n);
    }
    return true;
}

int64_t THandleStream::Seek(int64_t offset, int origin) {
    const int whence = origin == soCurrent ? SEEK_CUR : origin == soEnd ? SEEK_END : SEEK_SET;
    const off_t r = ::lseek(FHandle, static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

void THandleStream::SetSize(int64_t newSize) {
    Seek(newSize, soBeginning);
    if (::ftruncate(FHandle, static_cast<off_t>(newSize)) != 0)
        throw EStreamError(std::string("Stream size error: ") + std::strerror(errno));
}

TFileStream::TFileStream(const std::string& fileName, uint16_t mode)
    : THandleStream(-1), FFileName(fileName) {
    if (mode == fmCreate) {
        FHandle = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (FHandle < 0)
            throw EFCreateError(fileName);
        return;
    }
    int flags = O_CLOEXEC;
    switch (mode & 3) {
    case fmOpenWrite:
        flags |= O_WRONLY;
        break;
    case fmOpenReadWrite:
        flags |= O_RDWR;
        break;
    default:
        flags |= O_RDONLY;
        break;
    }
    FHandle = ::open(fileName.c_str(), flags);
    if (FHandle < 0)
        throw EFOpenError(fileName);
}

TFileStream::~TFileStream() {
    if (FHandle >= 0)
        ::close(FHandle);
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
    if (count <= 0 || FPosition >= Size())
        return 0;
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, Size() - FPosition));
    std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
    if (count <= 0)
        return 0;
    const int64_t end = FPosition + count;
    if (end > Size())
        FData.resize(static_cast<size_t>(end));
    std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
    FPosition = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, int origin) {
    switch (origin) {
    case soCurrent:
        FPosition += offset;
        break;
    case soEnd:
        FPosition = Size() + offset;
        break;
    default:
        FPosition = offset;
        break;
    }
    if (FPosition < 0)
        FPosition = 0;
    return FPosition;
}

void TMemoryStream::SetSize(int64_t newSize) {
    FData.resize(static_cast<size_t>(std::max<int64_t>(newSize, 0)));
    if (FPosition > Size())
        FPosition = Size();
}

void TMemoryStream::Clear() {
    FData.clear();
    FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, fmOpenRead | fmShareDenyNone);
    const int64_t size = file.Size();
    FData.resize(static_cast<size_t>(size));
    file.ReadBuffer(FData.data(), static_cast<int32_t>(size));
    FPosition = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
    TFileStream file(fileName, fmCreate);
    file.WriteBuffer(FData.data(), static_cast<int32_t>(FData.size()));
}
