// A TCP connection that sends bytes completely, buffers what it receives, and reads text lines
// and the numbered replies of line-oriented protocols (FTP, SMTP, POP3).
#pragma once

#include "net/IdBuffer.h"
#include "net/IdComponent.h"
#include "net/IdSocketHandle.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Bound of every wait when the owner sets none: a silent server must not freeze the box.
constexpr int32_t IdDefaultTimeout = 60000;
// Longest line ReadLine accepts (without its end).
constexpr int32_t IdDefaultMaxLineLength = 65536;
// Largest reply ReadReply accepts: real greetings and banners stay far below both.
constexpr int32_t IdDefaultMaxReplyLines = 1000;
constexpr int32_t IdDefaultMaxReplyBytes = 1 << 20;

using TIdReplyCodes = std::vector<int>;
// One control line, as sent (outgoing, without its line end) or as read into a reply.
using TIdDialogueEvent = std::function<void(TIdComponent* Sender, bool outgoing, const std::string& line)>;

class TIdTCPConnection : public TIdComponent {
public:
    explicit TIdTCPConnection(TComponent* owner = nullptr);
    ~TIdTCPConnection() override;

    bool ASCIIFilter = false;
    int32_t RecvBufferSize = 32768;
    int32_t SendBufferSize = 32768;
    // Milliseconds a connect, a whole reply, the data connection or a send may take before it
    // fails with EIdSocketError 10060; values below 1 mean IdDefaultTimeout.
    int32_t ReadTimeout = IdDefaultTimeout;
    int32_t MaxLineLength = IdDefaultMaxLineLength;
    int32_t MaxReplyLines = IdDefaultMaxReplyLines;
    int32_t MaxReplyBytes = IdDefaultMaxReplyBytes;
    TIdNotifyEvent OnDisconnected;
    TIdDialogueEvent OnDialogue;

    TIdSocketHandle& Endpoint() { return *FEndpoint; }
    TIdBuffer& InputBuffer() { return FInputBuffer; }
    bool PeerClosed() const { return FPeerClosed; }
    bool LineTimedOut() const { return FLineTimedOut; }
    int16_t ReplyCode() const { return FReplyCode; }
    const std::vector<std::string>& ReplyLines() const { return FReplyLines; }
    int32_t EffectiveTimeout() const { return ReadTimeout > 0 ? ReadTimeout : IdDefaultTimeout; }

    virtual void ResetState();
    virtual void CheckPeerClosed(bool raiseIfClosed, bool ignoreBuffer);
    virtual void CheckReplyCode(int code, const TIdReplyCodes& allowed);
    virtual bool IsConnected();
    virtual void CloseConnection();
    virtual void DropSocket();
    virtual std::string TakeInput(int64_t n);
    virtual int16_t ReadReply(const TIdReplyCodes& allowed);
    [[noreturn]] virtual void RaiseReplyError();
    // Received byte count, 0 when nothing arrived within timeout. area null: the receive area.
    virtual int FillInput(bool raiseIfClosed, int32_t timeout, std::vector<char>* area = nullptr,
                          bool append = true);
    // Empty terminator: LF, and a CR before it is dropped too. Empty text with LineTimedOut()
    // when the line was not complete within timeout.
    virtual std::string ReadLine(const std::string& terminator, int32_t timeout);
    // The next line that is not blank, within EffectiveTimeout(); EIdSocketError 10060 else.
    std::string ReadNonEmptyLine();
    virtual void DropInput(int64_t n);
    virtual int16_t SendCommand(const std::string& line, const TIdReplyCodes& allowed);
    int16_t SendCommand(const std::string& line, int code);
    std::string LastReplyLine() const;
    virtual void WriteString(const std::string& text);
    virtual void WriteLine(const std::string& text);
    virtual void WriteBytes(const void* buffer, int64_t count);
    virtual void WriteStreamData(TStream& stream, bool fromStart, bool withLength);

    // Sends every chunk at once instead of holding a part-filled segment back until the
    // previous one is acknowledged: a bulk transfer in 32 KiB writes must not wait on ACKs.
    void DisableNagle();

protected:
    // Applies the send bound to the socket just opened or accepted.
    void ApplySendTimeout();

private:
    // Counts the lines' bytes (blank ones too) into replyBytes when given.
    std::string ReadNonEmptyLineWithin(int32_t timeout, std::chrono::steady_clock::time_point deadline,
                                       int64_t* replyBytes);

    std::unique_ptr<TIdSocketHandle> FEndpoint;
    TIdBuffer FInputBuffer;
    std::vector<char> FReceiveArea;
    std::vector<std::string> FReplyLines;
    bool FPeerClosed = false;
    bool FLineTimedOut = false;
    int16_t FReplyCode = 0;
};
