#include "net/IdTCPConnection.h"

#include "net/IdException.h"
#include "toolkit/StringUtils.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>

namespace {

using TDeadline = std::chrono::steady_clock::time_point;

TDeadline DeadlineAfter(int32_t timeout) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout, 0));
}

// What is left of a bound for the next wait: 0 once it has passed, WaitForever stays.
int32_t Remaining(int32_t timeout, TDeadline deadline) {
    if (timeout == WaitForever)
        return WaitForever;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    return static_cast<int32_t>(std::max<int64_t>(left, 0));
}

} // namespace

TIdTCPConnection::TIdTCPConnection(TComponent* owner)
    : TIdComponent(owner), FEndpoint(std::make_unique<TIdSocketHandle>()) {}

TIdTCPConnection::~TIdTCPConnection() = default;

void TIdTCPConnection::ApplySendTimeout() {
    FEndpoint->SetSendTimeout(EffectiveTimeout());
}

void TIdTCPConnection::DisableNagle() {
    const int32_t on = 1;
    FEndpoint->SetOption(6, 1, &on, 4); // IPPROTO_TCP, TCP_NODELAY
}

void TIdTCPConnection::ResetState() {
    FEndpoint->ClearBinding(true);
    FInputBuffer.Clear();
    FPeerClosed = false;
}

void TIdTCPConnection::CheckPeerClosed(bool raiseIfClosed, bool ignoreBuffer) {
    if (!FPeerClosed && FEndpoint->SocketOpen)
        return;
    if (FEndpoint->SocketOpen)
        DropSocket();
    if (raiseIfClosed && (FInputBuffer.Size() == 0 || ignoreBuffer))
        throw EIdConnClosedGracefully();
}

bool TIdTCPConnection::IsConnected() {
    CheckPeerClosed(false, false);
    return FEndpoint->SocketOpen;
}

void TIdTCPConnection::CloseConnection() {
    DropSocket();
}

void TIdTCPConnection::DropSocket() {
    if (!FEndpoint->SocketOpen)
        return;
    ReportStatus(stDisconnecting, FEndpoint->RemoteIP);
    FEndpoint->ReleaseSocket(true);
    FPeerClosed = true;
    ReportStatus(stDisconnected, FEndpoint->RemoteIP);
    if (OnDisconnected)
        OnDisconnected(this);
}

int TIdTCPConnection::FillInput(bool raiseIfClosed, int32_t timeout, std::vector<char>* area, bool append) {
    CheckPeerClosed(raiseIfClosed, false);
    if (!IsConnected())
        return 0;
    if (area == nullptr) {
        FReceiveArea.resize(static_cast<size_t>(std::max(RecvBufferSize, 1)));
        area = &FReceiveArea;
    }
    int n;
    if (TIdTlsSession* tls = FEndpoint->Tls()) {
        // Readiness of the socket says little under TLS (a record may be half here, or carry
        // no data at all): the session waits for whole data itself.
        n = tls->Read(area->data(), static_cast<int>(area->size()), timeout);
        if (n < 0)
            return 0;
    } else {
        if (!FEndpoint->WaitReadable(timeout))
            return 0;
        n = FEndpoint->ReceiveBytes(area->data(), static_cast<int>(area->size()));
    }
    FPeerClosed = n == 0;
    if (n != 0 && !FEndpoint->Tls() && SocketLayer->CheckSocketResult(n, {Id_WSAESHUTDOWN})) {
        n = 0;
        if (FEndpoint->SocketOpen)
            DropSocket();
        if (FInputBuffer.Size() == 0)
            SocketLayer->RaiseSocketFailure(Id_WSAESHUTDOWN);
    }
    if (ASCIIFilter)
        for (int i = 0; i < n; ++i)
            (*area)[i] = static_cast<char>((*area)[i] & 0x7F);
    if (append)
        FInputBuffer.Append(area->data(), n);
    else
        AddWork(wkRead, n);
    CheckPeerClosed(raiseIfClosed, false);
    return n;
}

std::string TIdTCPConnection::ReadLine(const std::string& terminator, int32_t timeout) {
    // The bound holds for the whole line: a peer that sends one byte now and then must not
    // keep the box waiting far beyond it.
    const TDeadline deadline = DeadlineAfter(timeout);
    const std::string& term = terminator.empty() ? std::string("\n") : terminator;
    FLineTimedOut = false;
    // Room for the line, a CR before a default LF, and a terminator that may still complete.
    const int64_t allowed = static_cast<int64_t>(MaxLineLength) + (terminator.empty() ? 1 : 0);
    size_t p;
    for (;;) {
        const int64_t size = FInputBuffer.Size();
        if (size > 0) {
            const char* data = FInputBuffer.Memory();
            const char* found = std::search(data, data + size, term.begin(), term.end());
            p = static_cast<size_t>(found - data);
            if (found != data + size)
                break;
            // No line end yet: a peer may not make us buffer without limit.
            if (size > allowed + static_cast<int64_t>(term.size()) - 1)
                throw EIdLineTooLong(MaxLineLength);
        }
        CheckPeerClosed(true, true);
        if (FillInput(true, Remaining(timeout, deadline), nullptr, true) == 0) {
            // Nothing came because the peer left: the next round reports that.
            if (FPeerClosed || !FEndpoint->SocketOpen)
                continue;
            FLineTimedOut = true;
            return std::string();
        }
    }
    if (static_cast<int64_t>(p) > allowed)
        throw EIdLineTooLong(MaxLineLength);
    std::string line = TakeInput(static_cast<int64_t>(p + term.size()));
    line.resize(p);
    if (terminator.empty() && !line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.size() > static_cast<size_t>(MaxLineLength))
        throw EIdLineTooLong(MaxLineLength);
    return line;
}

std::string TIdTCPConnection::ReadNonEmptyLine() {
    const int32_t timeout = EffectiveTimeout();
    return ReadNonEmptyLineWithin(timeout, DeadlineAfter(timeout), nullptr);
}

std::string TIdTCPConnection::ReadNonEmptyLineWithin(int32_t timeout, TDeadline deadline,
                                                     int64_t* replyBytes) {
    for (;;) {
        const std::string line = ReadLine(std::string(), Remaining(timeout, deadline));
        if (FLineTimedOut)
            SocketLayer->RaiseSocketFailure(Id_WSAETIMEDOUT);
        if (replyBytes) {
            *replyBytes += static_cast<int64_t>(line.size()) + 1;
            if (*replyBytes > MaxReplyBytes)
                throw EIdReplyTooLong(Format("Reply too long: more than %d bytes.", MaxReplyBytes));
        }
        // Trim blanks and control characters (everything up to the space) at both ends.
        size_t first = 0, last = line.size();
        while (first < last && static_cast<unsigned char>(line[first]) <= 32)
            ++first;
        while (last > first && static_cast<unsigned char>(line[last - 1]) <= 32)
            --last;
        if (last > first)
            return line.substr(first, last - first);
        // Blank lines that keep coming must not outlast the bound either: a wait that finds
        // data at once never runs out by itself.
        if (timeout != WaitForever && std::chrono::steady_clock::now() >= deadline)
            SocketLayer->RaiseSocketFailure(Id_WSAETIMEDOUT);
    }
}

std::string TIdTCPConnection::TakeInput(int64_t n) {
    if (n > FInputBuffer.Size())
        throw EIdNotEnoughDataInBuffer();
    std::string result(FInputBuffer.Memory(), static_cast<size_t>(n));
    DropInput(n);
    return result;
}

void TIdTCPConnection::DropInput(int64_t n) {
    FInputBuffer.RemoveFront(n);
    AddWork(wkRead, n);
}

int16_t TIdTCPConnection::ReadReply(const TIdReplyCodes& allowed) {
    FReplyLines.clear();
    auto add = [this](const std::string& line) {
        FReplyLines.push_back(line);
        if (OnDialogue)
            OnDialogue(this, false, line);
    };
    // One bound for the whole reply, however many lines it has and however slowly they come.
    // The bound is checked after every line, not only when a read has to wait: a server that
    // streams without pause finds data ready at every wait. The caps keep memory bounded.
    const int32_t timeout = EffectiveTimeout();
    const TDeadline deadline = DeadlineAfter(timeout);
    int64_t bytes = 0;
    add(ReadNonEmptyLineWithin(timeout, deadline, &bytes));
    const std::string first = FReplyLines.front();
    if (first.size() > 3 && first[3] == '-') {
        const std::string endMarker = first.substr(0, 3) + " ";
        for (;;) {
            if (std::chrono::steady_clock::now() >= deadline)
                SocketLayer->RaiseSocketFailure(Id_WSAETIMEDOUT);
            if (static_cast<int64_t>(FReplyLines.size()) >= MaxReplyLines)
                throw EIdReplyTooLong(Format("Reply too long: more than %d lines.", MaxReplyLines));
            const std::string line = ReadNonEmptyLineWithin(timeout, deadline, &bytes);
            add(line);
            if (line.size() < 4 || SameText(line.substr(0, 4), endMarker))
                break;
        }
    }
    const std::string& last = FReplyLines.back();
    if (SameText(last.substr(0, 3), "+OK"))
        FReplyCode = 1;
    else if (SameText(last.substr(0, 4), "-ERR"))
        FReplyCode = 0;
    else
        FReplyCode = static_cast<int16_t>(StrToIntDef(last.substr(0, 3), 0));
    CheckReplyCode(FReplyCode, allowed);
    return FReplyCode;
}

void TIdTCPConnection::CheckReplyCode(int code, const TIdReplyCodes& allowed) {
    if (allowed.empty())
        return;
    if (std::find(allowed.begin(), allowed.end(), code) == allowed.end())
        RaiseReplyError();
}

void TIdTCPConnection::RaiseReplyError() {
    throw EIdProtocolReplyError(FReplyCode, LastReplyLine());
}

std::string TIdTCPConnection::LastReplyLine() const {
    return FReplyLines.empty() ? std::string() : FReplyLines.back();
}

int16_t TIdTCPConnection::SendCommand(const std::string& line, const TIdReplyCodes& allowed) {
    if (line != std::string(1, '\0'))
        WriteLine(line);
    return ReadReply(allowed);
}

int16_t TIdTCPConnection::SendCommand(const std::string& line, int code) {
    return SendCommand(line, code == -1 ? TIdReplyCodes{} : TIdReplyCodes{code});
}

void TIdTCPConnection::WriteString(const std::string& text) {
    if (!text.empty())
        WriteBytes(text.data(), static_cast<int64_t>(text.size()));
}

void TIdTCPConnection::WriteLine(const std::string& text) {
    if (OnDialogue)
        OnDialogue(this, true, text);
    WriteString(text + "\r\n");
}

void TIdTCPConnection::WriteBytes(const void* buffer, int64_t count) {
    if (count <= 0 || buffer == nullptr)
        return;
    CheckPeerClosed(true, true);
    const char* bytes = static_cast<const char*>(buffer);
    if (TIdTlsSession* tls = FEndpoint->Tls()) {
        for (int64_t pos = 0; pos < count;) {
            const int chunk = static_cast<int>(std::min<int64_t>(count - pos, 1 << 30));
            tls->Write(bytes + pos, chunk, EffectiveTimeout());
            AddWork(wkWrite, chunk);
            pos += chunk;
        }
        return;
    }
    int64_t pos = 0;
    while (pos < count) {
        const int chunk = static_cast<int>(std::min<int64_t>(count - pos, 1 << 30));
        const int n = FEndpoint->SendBytes(bytes + pos, chunk);
        FPeerClosed = n == 0;
        CheckPeerClosed(true, false);
        if (SocketLayer->CheckSocketResult(n, {Id_WSAESHUTDOWN})) {
            DropSocket();
            SocketLayer->RaiseSocketFailure(Id_WSAESHUTDOWN);
        }
        AddWork(wkWrite, n);
        pos += n;
    }
}

void TIdTCPConnection::WriteStreamData(TStream& stream, bool fromStart, bool withLength) {
    if (fromStart)
        stream.SetPosition(0);
    const int64_t remaining = stream.Size() - stream.Position();
    if (withLength) {
        const uint32_t length = htonl(static_cast<uint32_t>(remaining));
        WriteBytes(&length, 4);
    }
    StartWork(wkWrite, remaining);
    try {
        const int32_t chunkSize = std::max(SendBufferSize, 1);
        std::vector<char> area(static_cast<size_t>(chunkSize));
        for (;;) {
            const int32_t k =
                static_cast<int32_t>(std::min<int64_t>(stream.Size() - stream.Position(), chunkSize));
            if (k <= 0)
                break;
            const int32_t got = stream.Read(area.data(), k);
            if (got == 0)
                throw EIdNoDataToRead();
            WriteBytes(area.data(), got);
        }
    } catch (...) {
        FinishWork(wkWrite);
        throw;
    }
    FinishWork(wkWrite);
}
