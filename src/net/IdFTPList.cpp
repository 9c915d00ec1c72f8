// Listing a folder: the transfer from the server to the client over the data connection.
#include "net/IdException.h"
#include "net/IdFTP.h"
#include "net/IdStack.h"

namespace {

// Everything the peer sends until it closes; a silence longer than the connection's timeout
// fails, and so does a listing that would not end.
void ReadUntilClosed(TIdTCPConnection& connection, std::string& data) {
    const int32_t timeout = connection.EffectiveTimeout();
    while (connection.IsConnected()) {
        if (connection.FillInput(false, timeout) == 0 && connection.IsConnected())
            SocketLayer->RaiseSocketFailure(Id_WSAETIMEDOUT);
        if (connection.InputBuffer().Size() > TIdFTP::MaxListingBytes)
            throw EIdException("Listing longer than " + std::to_string(TIdFTP::MaxListingBytes) + " bytes");
    }
    data = connection.TakeInput(connection.InputBuffer().Size());
}

} // namespace

void TIdFTP::ListNames(std::vector<std::string>& names) {
    std::string data;
    TransferIn("NLST", data);
    names.clear();
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        if (end == std::string::npos)
            end = data.size();
        std::string line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            names.push_back(line);
        start = end + 1;
    }
}

void TIdFTP::TransferIn(const std::string& command, std::string& data) {
    TransferData(command, [&](TIdTCPConnection& connection) { ReadUntilClosed(connection, data); });
    if (ReadReply({225, 226, 250, 426}) == 426)
        ReadReply({226});
}
