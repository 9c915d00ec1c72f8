#include "toolkit/Exception.h"

#include "toolkit/StringUtils.h"

EInOutError::EInOutError(int errorCode)
    : Exception(Format("I/O error %d", errorCode)), ErrorCode(errorCode) {}

EListError EListError::IndexOutOfBounds(int index) {
    return EListError(Format("List index out of bounds (%d)", index));
}

EFOpenError::EFOpenError(const std::string& fileName) : EStreamError("Cannot open file " + fileName) {}

EFCreateError::EFCreateError(const std::string& fileName) : EStreamError("Cannot create file " + fileName) {}

EReadError::EReadError() : EStreamError("Stream read error") {}

EWriteError::EWriteError() : EStreamError("Stream write error") {}
