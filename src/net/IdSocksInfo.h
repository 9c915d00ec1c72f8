// Proxy settings of a client. Only direct connections (svNoSocks) are made; the box never uses a
// proxy, and a client refuses to connect through one rather than silently going direct.
#pragma once

#include <cstdint>
#include <string>

enum TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum TSocksAuthentication { saNoAuthentication, saUsernamePassword };

class TSocksInfo {
public:
    TSocksAuthentication Authentication = saNoAuthentication;
    std::string Host;
    std::string Password;
    int32_t Port = 0;
    std::string UserID;
    TSocksVersion Version = svNoSocks;

    void Assign(const TSocksInfo& source) { *this = source; }
};
