// Error classes of the runtime layer. Every error the box raises derives from Exception and
// carries the text the operator sees.
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// "'%s' is not a valid integer value"
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// "I/O error %d" with the errno value.
class EInOutError : public Exception {
public:
    explicit EInOutError(int errorCode);
    int ErrorCode;
};

// "List index out of bounds (%d)"
class EListError : public Exception {
public:
    using Exception::Exception;
    static EListError IndexOutOfBounds(int index);
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

// "Cannot open file %s"
class EFOpenError : public EStreamError {
public:
    explicit EFOpenError(const std::string& fileName);
};

// "Cannot create file %s"
class EFCreateError : public EStreamError {
public:
    explicit EFCreateError(const std::string& fileName);
};

// "Stream read error"
class EReadError : public EStreamError {
public:
    EReadError();
};

// "Stream write error", or a text that names the file and the system's reason.
class EWriteError : public EStreamError {
public:
    EWriteError();
    explicit EWriteError(const std::string& message) : EStreamError(message) {}
};
