#include "smtp/send_mail.h"

#include "smtp/mime_encoders.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace tavik {

namespace {

// The writer's output on its way to the connection, gathered into writes of kFlushAt bytes:
// one write per header line would leave each small segment waiting for the server's delayed
// acknowledgement (Nagle), some 40 ms per message, and would run the event loop per line.
// Nothing of a message that fails to be written completely is sent from the buffer.
class ChannelSink : public MessageSink {
public:
    static constexpr std::size_t kFlushAt = 64 * 1024;

    explicit ChannelSink(LineChannel& channel) : channel_(channel) { buffer_.reserve(kFlushAt + 4096); }
    void SendLine(std::string_view line) override
    {
        buffer_.append(line.substr(0, kMaxCommandLength));
        buffer_ += "\r\n";
        flushWhenFull();
    }
    void SendText(std::string_view text) override { SendData(text.data(), text.size()); }
    void SendData(const char* bytes, std::size_t count) override
    {
        if (buffer_.empty() && count >= kFlushAt) {
            channel_.SendData(bytes, count);
            return;
        }
        buffer_.append(bytes, count);
        flushWhenFull();
    }
    bool Finished() const override { return channel_.Finished(); }
    // Writes what is gathered; false when the send has ended.
    bool flush()
    {
        if (buffer_.empty())
            return !channel_.Finished();
        const bool sent = channel_.SendData(buffer_.data(), buffer_.size());
        buffer_.clear();
        return sent;
    }

private:
    void flushWhenFull()
    {
        if (buffer_.size() >= kFlushAt)
            flush();
    }

    LineChannel& channel_;
    std::string buffer_;
};

bool isFailureReply(const std::string& line)
{
    const char c = line[0];
    return c == '-' || c == '4' || c == '5';
}

bool isIntermediateLine(const std::string& line)
{
    return line.size() >= 4 && line[3] == '-';
}

// An EHLO reply line ("250-STARTTLS", "250 STARTTLS") naming the STARTTLS extension.
bool namesStartTls(const std::string& line)
{
    if (line.size() < 12)
        return false;
    std::string keyword = line.substr(4, 8);
    for (char& c : keyword)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return keyword == "STARTTLS" && (line.size() == 12 || line[12] == ' ');
}

std::string addressOf(const std::string& entry)
{
    return entry.substr(0, entry.find('|'));
}

} // namespace

const char* sendMailErrorText(SendMailError error)
{
    switch (error) {
    case Error_None: return "";
    case Error_WinsockNotInitialized: return "Winsock not initialized";
    case Error_NetworkDown: return "Network down";
    case Error_InvalidAddress: return "Invalid address specified";
    case Error_Internal: return "Unexpected internal error in component";
    case Error_General: return "General Winsock Error";
    case Error_ConnectionAborted: return "Connection aborted due to timeout or other failure";
    case Error_ConnectionReset: return "Connection reset by remote side";
    case Error_Timeout: return "timeout";
    case Error_OutOfSockets: return "Out of sockets";
    case Error_NetworkUnreachable: return "Network unreachable";
    case Error_AddressNotAvailable: return "Address not available";
    case Error_ConnectionRefused: return "Connection Refused";
    case Error_UnexpectedResponse: return kTextUnexpectedResponse;
    case Error_Canceled: return "";
    case Error_Unknown: return "Unknown Error";
    case Error_AddressResolution: return "Address resolution error";
    case Error_PrematureDisconnect: return kTextPrematurelyDisconnected;
    case Error_NoRecipient: return kTextMailDestinationError;
    case Error_HostUnreachable: return "Host Unreachable";
    case Error_RecipientsRefused: return kTextRecipientsRefused;
    case Error_StartTlsUnavailable: return kTextStartTlsUnavailable;
    }
    return "Unknown Error";
}

std::string heloName(const std::string& localHostName)
{
    constexpr std::string_view kFallback = "localhost";
    if (localHostName.empty() || localHostName.size() > kMaxCommandLength - 5)
        return std::string(kFallback);
    for (unsigned char c : localHostName)
        if (c <= 32 || c >= 127)
            return std::string(kFallback);
    return localHostName;
}

SendMail::SendMail(QObject* parent) : LineChannel(kSendMailLineCodes, parent)
{
    LineHandler = [this](const std::string& line) { replyHandler(line); };
}

SendMail::~SendMail() = default;

void SendMail::SetAction(TMailAction action)
{
    switch (action) {
    case TMailAction::None:
        break;
    case TMailAction::Send_Mail:
        BeginSend();
        break;
    case TMailAction::Cancel_SendMail:
        // A send that already failed keeps the code of its failure.
        if (!Finished())
            ErrorCode = Error_Canceled;
        Finish();
        break;
    }
}

void SendMail::Finish()
{
    if (Finished())
        return;
    TO_Address.clear();
    TO_Name.clear();
    ListTo.clear();
    Listcc.clear();
    ListBcc.clear();
    LineChannel::Finish();
}

void SendMail::BeginSend()
{
    if (Busy()) {
        mailInfo(Info_Busy, std::string());
        return;
    }
    beginSession();
    skipTo_ = skipcc_ = skipBcc_ = 0;
    recipientPhase_ = 0;
    recipientIndex_ = recipientLast_ = -1;
    currentRecipient_.clear();
    replyFailed_ = false;
    replyText_.clear();
    acceptedRecipients_ = 0;
    offersStartTls_ = false;
    RefusedRecipients.clear();

    refuseUnsafeRecipients();
    takeFirstRecipient();
    if (TO_Address.empty()) {
        fail(Error_NoRecipient, kTextMailDestinationError);
        return;
    }
    if (!isSafeAddress(FROM_Address)) {
        fail(Error_InvalidAddress, sendMailErrorText(Error_InvalidAddress));
        return;
    }
    // A file that has gone would stop the send half-way, after the server was bothered.
    if (std::string problem = unreadableAttachment(*this); !problem.empty()) {
        fail(Error_Internal, std::string(sendMailErrorText(Error_Internal)) + ": " + problem);
        return;
    }

    if (Connected()) {
        // The connection of the previous message: go on as if HELO had just been answered.
        State = Smtp_HeloReply;
        clearPendingText();
        runLineHandler(" ");
        return;
    }
    ImplicitTls = SMTP_Security == ConnectionSecurity::Tls;
    openConnection(SMTP_Port);
}

// Refused addresses leave the lists, so they reach neither a command nor a header.
void SendMail::refuseUnsafeRecipients()
{
    if (!TO_Address.empty() && !isSafeAddress(TO_Address)) {
        RefusedRecipients.push_back({withoutLineBreaks(TO_Address), kTextNotAnAddress});
        mailInfo(Info_RecipientRejected, TO_Address);
        TO_Address.clear();
        TO_Name.clear();
    }
    for (std::vector<std::string>* list : {&ListTo, &Listcc, &ListBcc}) {
        auto keep = list->begin();
        for (auto it = list->begin(); it != list->end(); ++it) {
            if (isSafeRecipient(*it)) {
                if (keep != it)
                    *keep = std::move(*it);
                ++keep;
            } else {
                RefusedRecipients.push_back({withoutLineBreaks(addressOf(*it)), kTextNotAnAddress});
                mailInfo(Info_RecipientRejected, addressOf(*it));
            }
        }
        list->erase(keep, list->end());
    }
}

void SendMail::takeFirstRecipient()
{
    if (!TO_Address.empty()) {
        ListTo.insert(ListTo.begin(), TO_Address + "|" + TO_Name);
        skipTo_ = 1;
        return;
    }
    auto take = [this](const std::vector<std::string>& list, int& skip) {
        if (!TO_Address.empty() || list.empty())
            return;
        auto [address, name] = SplitRecipient(list.front());
        TO_Address = std::move(address);
        TO_Name = std::move(name);
        skip = 1;
    };
    take(ListTo, skipTo_);
    take(Listcc, skipcc_);
    take(ListBcc, skipBcc_);
}

void SendMail::HostResolved()
{
    if (CheckError())
        return;
    UseResolvedAddress();
    SetPort(SMTP_Port);
    IPAddress = AddressText();
    mailInfo(Info_Resolved, IPAddress);
    Connect();
    CheckError();
}

int SendMail::lastIndexOfPhase() const
{
    auto last = [](const std::vector<std::string>& list, int skip) {
        return std::max(-1, static_cast<int>(list.size()) - 1 - skip);
    };
    switch (recipientPhase_) {
    case 1: return last(ListTo, skipTo_);
    case 2: return last(Listcc, skipcc_);
    case 3: return last(ListBcc, skipBcc_);
    default: return 0; // phase 4: DATA is due
    }
}

void SendMail::advancePhase(bool stopWhenFinished)
{
    do {
        ++recipientPhase_;
        recipientLast_ = lastIndexOfPhase();
    } while (recipientLast_ == -1 && !(stopWhenFinished && Finished()));
}

void SendMail::sendRecipient(const std::string& address)
{
    SendLine("RCPT TO:<" + address + ">");
}

void SendMail::replyHandler(const std::string& line)
{
    // Lines on a kept connection between two sends belong to no send.
    if (!Busy())
        return;
    mailInfo(Info_Received, line);
    if (line.empty())
        return;
    const bool failure = isFailureReply(line);
    const bool intermediate = isIntermediateLine(line);
    // A reply that never ends would hold the send for ever while the server keeps talking.
    replyLines_ = intermediate ? replyLines_ + 1 : 0;
    if (replyLines_ > kMaxReplyLines) {
        fail(Error_UnexpectedResponse, kTextUnexpectedResponse + line.substr(0, kShownLineLength));
        return;
    }
    if (State == Smtp_EhloReply || State == Smtp_StartTlsReply) {
        if (!startTlsReply(line, failure, intermediate) || intermediate)
            return;
    } else if (State == Smtp_RcptReplies) {
        // A refusal is reported once per reply, however many lines it has.
        replyFailed_ = replyFailed_ || failure;
        if (replyText_.size() < kMaxRefusalReply)
            replyText_ += (replyText_.empty() ? "" : " ") + line;
        if (intermediate)
            return;
        if (replyFailed_) {
            RefusedRecipients.push_back({currentRecipient_, replyText_.substr(0, kMaxRefusalReply)});
            mailInfo(Info_RecipientRejected, currentRecipient_);
        } else {
            ++acceptedRecipients_;
        }
        replyFailed_ = false;
        replyText_.clear();
    } else {
        if (failure) {
            fail(Error_UnexpectedResponse, kTextUnexpectedResponse + line);
            return;
        }
        if (intermediate)
            return;
    }

    switch (State) {
    case Smtp_Greeting:
        if (SMTP_Security == ConnectionSecurity::StartTls) {
            SendLine("EHLO " + heloName(LocalHostName()));
            State = Smtp_EhloReply;
            break;
        }
        SendLine("HELO " + heloName(LocalHostName()));
        State = Smtp_HeloReply;
        break;
    case Smtp_EhloReply:
        SendLine("STARTTLS");
        State = Smtp_StartTlsReply;
        break;
    case Smtp_StartTlsReply:
        // Bytes after the go-ahead are refused by startTls itself (error 34).
        State = Smtp_Handshake;
        startTls();
        break;
    case Smtp_Handshake:
        // Nothing is due before our EHLO over the secure channel.
        fail(Error_UnexpectedResponse, kTextUnexpectedResponse + line);
        break;
    case Smtp_HeloReply:
        SendLine("MAIL FROM:<" + FROM_Address + ">");
        State = Smtp_MailReply;
        break;
    case Smtp_MailReply:
        sendRecipient(TO_Address);
        if (Finished())
            return;
        currentRecipient_ = TO_Address;
        recipientPhase_ = 1;
        recipientIndex_ = -1;
        recipientLast_ = lastIndexOfPhase();
        if (recipientLast_ == -1)
            advancePhase(true);
        mailInfo(Info_Recipient, TO_Address);
        State = Smtp_RcptReplies;
        break;
    case Smtp_RcptReplies:
        announceNextRecipient();
        break;
    case Smtp_DataReply:
        writeMessage();
        break;
    case Smtp_FinalReply:
        if (Finished())
            return;
        mailInfo(Info_MailSent, std::string());
        QuitSent = true;
        if (KeepConnectionOpen) {
            postDone(); // the state stays: the next send starts at MAIL FROM
        } else {
            SendLine("QUIT");
            State = Smtp_AfterQuit;
        }
        break;
    case Smtp_AfterQuit:
        // The answer to QUIT is the end, whether or not the server closes the connection.
        ++State;
        endAfterClosingReply();
        break;
    default:
        ++State;
        break;
    }
}

// The replies of the plain part of a STARTTLS dialogue: the EHLO reply must name STARTTLS and
// STARTTLS must be answered 220, or nothing more is sent. False when the send has ended.
bool SendMail::startTlsReply(const std::string& line, bool failure, bool intermediate)
{
    const auto refuse = [this](const std::string& reply) {
        fail(Error_StartTlsUnavailable,
             reply.empty() ? std::string(kTextStartTlsUnavailable) : kTextStartTlsUnavailable + (": " + reply));
        return false;
    };
    if (State == Smtp_EhloReply) {
        // A server that answers 5xx to EHLO speaks no extensions at all, STARTTLS included.
        if (line[0] == '5')
            return refuse(line);
        if (failure) {
            fail(Error_UnexpectedResponse, kTextUnexpectedResponse + line);
            return false;
        }
        offersStartTls_ = offersStartTls_ || namesStartTls(line);
        if (!intermediate && !offersStartTls_)
            return refuse(std::string());
        return true;
    }
    return line.rfind("220", 0) == 0 || refuse(line);
}

void SendMail::EncryptedHandler()
{
    LineChannel::EncryptedHandler();
    if (Finished() || State != Smtp_Handshake)
        return;
    // What the plain reply announced may have been forged: only the secure one counts.
    offersStartTls_ = false;
    replyLines_ = 0;
    SendLine("EHLO " + heloName(LocalHostName()));
    State = Smtp_HeloReply;
}

void SendMail::announceNextRecipient()
{
    for (;;) {
        if (Finished())
            return;
        if (recipientPhase_ >= 4) {
            if (acceptedRecipients_ == 0) {
                std::string text = kTextRecipientsRefused;
                for (const RecipientRefusal& r : RefusedRecipients)
                    text += "\r\n" + r.address + ": " + r.reply;
                fail(Error_RecipientsRefused, text);
                return;
            }
            SendLine("DATA");
            State = Smtp_DataReply;
            return;
        }
        bool sent = false;
        if (recipientIndex_ < recipientLast_) {
            ++recipientIndex_;
            const std::vector<std::string>& list =
                recipientPhase_ == 1 ? ListTo : recipientPhase_ == 2 ? Listcc : ListBcc;
            const int skip = recipientPhase_ == 1 ? skipTo_ : recipientPhase_ == 2 ? skipcc_ : skipBcc_;
            const std::size_t at = static_cast<std::size_t>(recipientIndex_ + skip);
            if (at < list.size()) {
                currentRecipient_ = addressOf(list[at]);
                sendRecipient(currentRecipient_);
                if (Finished())
                    return;
                mailInfo(Info_Recipient, currentRecipient_);
                sent = true;
            } else {
                recipientIndex_ = recipientLast_;
            }
        } else {
            recipientIndex_ = recipientLast_;
        }
        if (recipientIndex_ == recipientLast_) {
            recipientLast_ = -1;
            advancePhase(false);
            recipientIndex_ = -1;
        }
        // An entry the owner removed from a callback meanwhile is passed over: every reply must
        // be answered with a command, or the server would wait for ever.
        if (sent)
            return;
    }
}

void SendMail::writeMessage()
{
    State = Smtp_FinalReply;
    ChannelSink sink(*this);
    MessageWriter writer(*this, sink);
    writer.OnMailInfo = [this](SendMailInfo info, const std::string& addinfo) { mailInfo(info, addinfo); };
    writer.OnFeedData = OnFeedData;
    const WriteResult result = writer.WriteMessage();
    switch (result.outcome) {
    case WriteResult::Written:
        sink.SendLine(".");
        sink.flush();
        break;
    case WriteResult::Failed:
        // "." must not follow: the server would deliver a truncated message.
        fail(Error_Internal, std::string(sendMailErrorText(Error_Internal)) + ": Attachment " + result.failure);
        break;
    case WriteResult::Stopped:
        break;
    }
}

} // namespace tavik
