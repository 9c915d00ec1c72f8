// The passive-mode reply parser on arbitrary text: a host and a port in 0..65535, or a
// conversion or range error.
#include "net/IdException.h"
#include "net/IdFTP.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    std::string host;
    int32_t port = -1;
    try {
        ParsePassiveReply(line, host, port);
        if (port < 0 || port > 65535)
            __builtin_trap();
    } catch (const EConvertError&) {
    } catch (const EIdInvalidPassivePort&) {
    }
    return 0;
}
