// Error classes of the network layer. Every network failure is an EIdException; socket calls
// fail with EIdSocketError (carrying the Windows Sockets number the operator's tools know), and
// a server reply that was not expected fails with EIdProtocolReplyError (carrying its code).
#pragma once

#include "toolkit/Exception.h"

#include <cstdint>
#include <string>

class EIdException : public Exception {
public:
    using Exception::Exception;
};

// Errors that are part of normal operation (a peer hanging up).
class EIdSilentException : public EIdException {
public:
    using EIdException::EIdException;
};

// "Connection Closed Gracefully."
class EIdConnClosedGracefully : public EIdSilentException {
public:
    EIdConnClosedGracefully();
};

// "Already connected."
class EIdAlreadyConnected : public EIdException {
public:
    EIdAlreadyConnected();
};

// The whole last reply line as message; ErrorReplyCode is the reply's code.
class EIdProtocolReplyError : public EIdException {
public:
    EIdProtocolReplyError(int32_t errorReplyCode, const std::string& message)
        : EIdException(message), ErrorReplyCode(errorReplyCode) {}
    int32_t ErrorReplyCode;
};

// "Socket Error # %d\r\n%s"; SocketErrorCode is the Windows Sockets number.
class EIdSocketError : public EIdException {
public:
    EIdSocketError(int32_t socketErrorCode, const std::string& message)
        : EIdException(message), SocketErrorCode(socketErrorCode) {}
    int32_t SocketErrorCode;
};

// "Cannot allocate socket."
class EIdInvalidSocket : public EIdException {
public:
    EIdInvalidSocket();
};

// "%s could not be loaded." (kept for callers that name it; Linux loads no sockets library)
class EIdStackCanNotLoadWinsock : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdStackError : public EIdException {
public:
    using EIdException::EIdException;
};

// "Winsock Initialization Error."
class EIdStackInitializationFailed : public EIdStackError {
public:
    using EIdStackError::EIdStackError;
};

// "Set Size Exceeded."
class EIdStackSetSizeExceeded : public EIdStackError {
public:
    EIdStackSetSizeExceeded();
};

class EIdSocketHandleError : public EIdException {
public:
    using EIdException::EIdException;
};

// "Could not bind socket. Address and port are already in use."
class EIdCouldNotBindSocket : public EIdSocketHandleError {
public:
    EIdCouldNotBindSocket();
};

class EIdTCPConnectionError : public EIdException {
public:
    using EIdException::EIdException;
};

// "Not enough data in buffer."
class EIdNotEnoughDataInBuffer : public EIdTCPConnectionError {
public:
    EIdNotEnoughDataInBuffer();
};

// "No data to read."
class EIdNoDataToRead : public EIdTCPConnectionError {
public:
    EIdNoDataToRead();
};

// A received line longer than the connection's limit: a broken or hostile peer must not be
// able to make the box buffer without end.
class EIdLineTooLong : public EIdTCPConnectionError {
public:
    explicit EIdLineTooLong(int32_t maxLength);
};

// A reply with more lines or bytes than the connection accepts: "Reply too long: ...".
class EIdReplyTooLong : public EIdTCPConnectionError {
public:
    using EIdTCPConnectionError::EIdTCPConnectionError;
};

// A proxy version the client does not speak.
class EIdSocksVersionNotSupported : public EIdException {
public:
    EIdSocksVersionNotSupported();
};

// A passive-mode reply naming a port outside 0..65535.
class EIdInvalidPassivePort : public EIdException {
public:
    explicit EIdInvalidPassivePort(int64_t port);
};

// The server confirmed a store but holds a different number of bytes than were sent:
// "short store N of M bytes". Not a reply error: the same name may be stored again.
class EIdShortStore : public EIdException {
public:
    EIdShortStore(int64_t stored, int64_t sent);
    int64_t Stored;
    int64_t Sent;
};
