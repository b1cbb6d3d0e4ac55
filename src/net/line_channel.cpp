#include "net/line_channel.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>

namespace tavik {

ErrorRow winsockErrorRow(int winsockError, const LineCodes& codes)
{
    switch (winsockError) {
    case 0: return {0, ""};
    case winsock::kNotInitialised: return {1, "Winsock not initialized"};
    case winsock::kNetworkDown: return {2, "Network down"};
    case winsock::kAccess: return {3, "Invalid address specified"};
    case winsock::kInterrupted:
    case winsock::kFault:
    case winsock::kInvalidArgument:
    case winsock::kInProgress:
    case winsock::kNotSocket:
    case winsock::kMessageSize:
    case winsock::kOperationNotSupported:
    case winsock::kFamilyNotSupported:
    case winsock::kAddressInUse:
    case winsock::kAlreadyConnected:
    case winsock::kNotConnected:
    case winsock::kShutdown: return {4, "Unexpected internal error in component"};
    case winsock::kNetworkReset:
    case winsock::kNoBufferSpace: return {5, "General Winsock Error"};
    case winsock::kConnectionAborted: return {6, "Connection aborted due to timeout or other failure"};
    case winsock::kConnectionReset: return {7, "Connection reset by remote side"};
    case winsock::kTimedOut: return {8, "timeout"};
    case winsock::kTooManySockets: return {9, "Out of sockets"};
    case winsock::kNetworkUnreachable: return {10, "Network unreachable"};
    case winsock::kAddressNotAvailable: return {11, "Address not available"};
    case winsock::kConnectionRefused: return {12, "Connection Refused"};
    case winsock::kHostNotFound:
    case winsock::kTryAgain:
    case winsock::kNoRecovery:
    case winsock::kNoData: return {16, "Address resolution error"};
    case winsock::kHostUnreachable: return {codes.ErrorHostUnreachable, "Host Unreachable"};
    case tlserror::kUnavailable:
        return {kErrorTlsUnavailable, "No TLS library could be loaded: install OpenSSL to use a secure connection"};
    case tlserror::kHandshakeFailed:
        return {kErrorTlsHandshake,
                "The secure connection could not be set up: the server and Tavik mail share no TLS version "
                "(1.2 or later) or cipher, or the server broke off the handshake"};
    case tlserror::kNotTls:
        return {kErrorTlsNotTlsPort,
                "The server answered in plain text, not TLS: this port may expect STARTTLS or no security"};
    case tlserror::kUntrustedCertificate:
        return {kErrorTlsUntrusted, "The server's certificate is not trusted; nothing was sent"};
    case tlserror::kInjectedPlainText:
        return {kErrorTlsInjected,
                "Unexpected plain text arrived before the secure connection began, which may be an attack; the "
                "connection was closed and nothing was sent"};
    case tlserror::kBroken:
        return {kErrorTlsBroken, "The secure connection broke: the server sent data that is not valid TLS"};
    case tlserror::kChangedCertificate:
        return {kErrorTlsChanged,
                "The server shows a different certificate from the one accepted before; nothing was sent"};
    default: return {15, "Unknown Error"};
    }
}

// Marks a LineChannel call on the stack; OnDone waits until the last one has returned.
class LineChannel::Frame {
public:
    explicit Frame(LineChannel& channel) : channel_(channel) { ++channel_.depth_; }
    ~Frame() { channel_.leaveFrame(); }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

private:
    LineChannel& channel_;
};

LineChannel::LineChannel(const LineCodes& codes, QObject* parent) : TVoskSocket(parent), codes_(codes)
{
    OnConnect = [this] { ConnectHandler(); };
    OnRead = [this] { ReceiveLines(); };
    OnClose = [this] { CloseHandler(); };
    OnTimeout = [this] { CountdownHandler(); };
    OnUserMessage = [this](int message) { DoneHandler(message); };
    OnEncrypted = [this] { EncryptedHandler(); };
    chunk_.resize(kReceiveChunk);
}

void LineChannel::leaveFrame()
{
    if (--depth_ == 0 && doneDeferred_) {
        doneDeferred_ = false;
        PostUserMessage(kDoneMessage);
    }
}

void LineChannel::mailInfo(int info, const std::string& addinfo)
{
    if (OnMailInfo)
        OnMailInfo(info, addinfo);
}

void LineChannel::mailError(int code, const std::string& addinfo)
{
    if (OnMailError)
        OnMailError(code, addinfo);
}

void LineChannel::beginSession()
{
    busy_ = true;
    finished_ = false;
    awaitingGreeting_ = false;
    donePosted_ = false;
    QuitSent = false;
    ErrorCode = 0;
    LastError = 0;
    State = 0;
}

bool LineChannel::openConnection(quint16 port)
{
    Frame frame(*this);
    connectPort_ = port;
    SetWinsockStarted(true);
    if (!WinsockStarted()) {
        fail(kErrorWinsockNotInitialized, kTextWinsockNotInitiliazed);
        return false;
    }
    CreateSocket();
    if (CheckError())
        return false;
    if (IPAddress.empty()) {
        mailInfo(codes_.InfoResolving, HostName);
        ResolveHost(HostName);
        return !CheckError();
    }
    SetAddress(IPAddress);
    SetPort(port);
    Connect();
    return !CheckError();
}

void LineChannel::HostResolved()
{
    Frame frame(*this);
    if (CheckError())
        return;
    UseResolvedAddress();
    SetPort(connectPort_);
    IPAddress = AddressText();
    mailInfo(codes_.InfoResolved, IPAddress);
    Connect();
    CheckError();
}

bool LineChannel::SendLine(const std::string& text)
{
    std::string line = text.substr(0, kMaxCommandLength);
    line += "\r\n";
    return SendText(std::move(line));
}

bool LineChannel::SendSecretLine(const std::string& text, const std::string& shown)
{
    const std::string line = text + "\r\n";
    return sendBytes(line.data(), line.size(), shown + "\r\n");
}

bool LineChannel::SendText(std::string text)
{
    return SendData(text.data(), text.size());
}

bool LineChannel::SendData(const char* data, std::size_t length)
{
    return sendBytes(data, length, std::nullopt);
}

bool LineChannel::sendBytes(const char* data, std::size_t length, const std::optional<std::string>& shown)
{
    Frame frame(*this);
    if (finished_)
        return false;
    if (OnMailInfo) // a body may be large: copied only for a listener
        OnMailInfo(codes_.InfoSending, shown ? *shown : std::string(data, length));
    std::size_t sent = 0;
    bool bufferFull = false;
    while (sent < length) {
        // A full buffer empties only as the server takes bytes: wait for that (or any other
        // event, such as a cancel or a tick) instead of spinning.
        QCoreApplication::processEvents(bufferFull ? QEventLoop::WaitForMoreEvents : QEventLoop::AllEvents);
        if (finished_)
            return false;
        const qint64 n = SendBuffer(data + sent, static_cast<qint64>(length - sent));
        sent += static_cast<std::size_t>(n);
        if (CheckError())
            return false;
        bufferFull = n == 0;
    }
    return true;
}

void LineChannel::ReceiveLines()
{
    if (inHandler_ || finished_)
        return;
    Frame frame(*this);
    while (!finished_) {
        const qint64 n = ReceiveBuffer(chunk_.data(), static_cast<qint64>(chunk_.size()));
        if (CheckError() || n <= 0)
            return;
        awaitingGreeting_ = false;
        pending_.append(chunk_.data(), static_cast<std::size_t>(n));
        if (!deliverLines())
            return;
    }
}

bool LineChannel::deliverLines()
{
    std::size_t start = 0;
    for (;;) {
        const std::size_t lf = pending_.find('\n', std::max(start, scannedTo_));
        if (lf == std::string::npos)
            break;
        std::size_t end = lf;
        if (end > start && pending_[end - 1] == '\r')
            --end;
        if (end - start > kMaxLineLength) {
            fail(kErrorUnexpectedResponse, kTextUnexpectedResponse + pending_.substr(start, kShownLineLength));
            return false;
        }
        const std::string line = pending_.substr(start, end - start);
        start = lf + 1;
        lineEnd_ = start;
        const unsigned generation = pendingGeneration_;
        callLineHandler(line);
        if (finished_)
            return false; // the rest of the received bytes is dropped
        if (generation != pendingGeneration_)
            return true; // the handler dropped the tail
    }
    pending_.erase(0, start);
    lineEnd_ = 0;
    scannedTo_ = pending_.size();
    const bool crWaitsForLf = pending_.size() == kMaxLineLength + 1 && pending_.back() == '\r';
    if (pending_.size() > kMaxLineLength && !crWaitsForLf) {
        std::string shown = pending_.substr(0, kShownLineLength);
        clearPendingText();
        fail(kErrorUnexpectedResponse, kTextUnexpectedResponse + shown);
        return false;
    }
    return true;
}

void LineChannel::callLineHandler(const std::string& line)
{
    struct InHandlerScope {
        bool& flag;
        explicit InHandlerScope(bool& f) : flag(f) { flag = true; }
        ~InHandlerScope() { flag = false; }
    } scope(inHandler_);
    if (LineHandler)
        LineHandler(line);
}

void LineChannel::runLineHandler(const std::string& line)
{
    Frame frame(*this);
    if (finished_)
        return;
    if (inHandler_) {
        // Already inside the handler (a handler handing over to the next one).
        if (LineHandler)
            LineHandler(line);
        return;
    }
    lineEnd_ = 0;
    callLineHandler(line);
    ReceiveLines();
}

void LineChannel::clearPendingText()
{
    pending_.clear();
    scannedTo_ = 0;
    lineEnd_ = 0;
    ++pendingGeneration_;
}

bool LineChannel::CheckError()
{
    if (finished_)
        return true;
    if (LastError == 0) {
        ErrorCode = 0;
        return false;
    }
    const ErrorRow row = winsockErrorRow(LastError, codes_);
    fail(row.code, row.text);
    return true;
}

void LineChannel::fail(int code, const std::string& text)
{
    Frame frame(*this);
    if (finished_)
        return;
    ErrorCode = code;
    mailError(code, text);
    Finish();
}

void LineChannel::Finish()
{
    if (finished_)
        return;
    finished_ = true;
    Disconnect();
    postDone();
}

void LineChannel::postDone()
{
    if (!busy_ || donePosted_)
        return;
    donePosted_ = true;
    PostUserMessage(kDoneMessage);
}

void LineChannel::ConnectHandler()
{
    Frame frame(*this);
    if (CheckError())
        return;
    State = 0;
    awaitingGreeting_ = true;
    mailInfo(codes_.InfoConnected, IPAddress);
    clearPendingText();
    QuitSent = false;
}

void LineChannel::CloseHandler()
{
    Frame frame(*this);
    if (finished_)
        return;
    if (!CheckError()) {
        mailInfo(codes_.InfoDisconnected, std::string());
        if (!QuitSent) {
            ErrorCode = kErrorPrematureDisconnect;
            mailError(kErrorPrematureDisconnect, kTextPrematurelyDisconnected);
        }
    }
    endClosed();
}

void LineChannel::endAfterClosingReply()
{
    Frame frame(*this);
    if (finished_)
        return;
    mailInfo(codes_.InfoDisconnected, std::string());
    endClosed();
}

void LineChannel::endClosed()
{
    // Closed is as final as finished, but the session's own Finish (which may drop state a
    // successful session keeps) does not run for an orderly end.
    finished_ = true;
    Disconnect();
    postDone();
}

bool LineChannel::startTls()
{
    Frame frame(*this);
    if (finished_)
        return false;
    const std::size_t unread = inHandler_ ? pending_.size() - std::min(lineEnd_, pending_.size()) : pending_.size();
    if (!StartTls(unread)) {
        if (LastError == 0)
            LastError = winsock::kNotConnected;
        CheckError();
        return false;
    }
    clearPendingText();
    return true;
}

void LineChannel::EncryptedHandler()
{
    Frame frame(*this);
    CheckError();
}

void LineChannel::CountdownHandler()
{
    Frame frame(*this);
    if (!busy_)
        return; // a connection kept open between sessions: it simply goes
    // A TLS port waits for our handshake in silence, so a plain client hears nothing at all.
    if (awaitingGreeting_ && !ImplicitTls && !Encrypted()) {
        fail(kErrorTimeout, kTextNoGreeting);
        return;
    }
    fail(kErrorTimeout, kTextConnectionTimedOut);
}

void LineChannel::DoneHandler(int message)
{
    (void)message;
    if (depth_ > 0) {
        doneDeferred_ = true;
        return;
    }
    if (!busy_)
        return;
    busy_ = false;
    donePosted_ = false;
    if (OnDone)
        OnDone();
}

} // namespace tavik
