#include "net/IdException.h"

#include "toolkit/StringUtils.h"

EIdConnClosedGracefully::EIdConnClosedGracefully() : EIdSilentException("Connection Closed Gracefully.") {}

EIdAlreadyConnected::EIdAlreadyConnected() : EIdException("Already connected.") {}

EIdInvalidSocket::EIdInvalidSocket() : EIdException("Cannot allocate socket.") {}

EIdStackSetSizeExceeded::EIdStackSetSizeExceeded() : EIdStackError("Set Size Exceeded.") {}

EIdCouldNotBindSocket::EIdCouldNotBindSocket()
    : EIdSocketHandleError("Could not bind socket. Address and port are already in use.") {}

EIdNotEnoughDataInBuffer::EIdNotEnoughDataInBuffer() : EIdTCPConnectionError("Not enough data in buffer.") {}

EIdNoDataToRead::EIdNoDataToRead() : EIdTCPConnectionError("No data to read.") {}

EIdLineTooLong::EIdLineTooLong(int32_t maxLength)
    : EIdTCPConnectionError(Format("Line too long: no line end within %d bytes.", maxLength)) {}

EIdSocksVersionNotSupported::EIdSocksVersionNotSupported()
    : EIdException("Proxy (SOCKS) connections are not supported.") {}

EIdInvalidPassivePort::EIdInvalidPassivePort(int64_t port)
    : EIdException(Format("Passive reply names port %lld, outside 0..65535.", static_cast<long long>(port))) {
}

EIdShortStore::EIdShortStore(int64_t stored, int64_t sent)
    : EIdException(Format("short store %lld of %lld bytes", static_cast<long long>(stored),
                          static_cast<long long>(sent))),
      Stored(stored), Sent(sent) {}
