#include "smtp/send_mail.h"

#include "smtp/mime_encoders.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QMessageAuthenticationCode>

#include <algorithm>
#include <cctype>
#include <optional>
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

// SASL names are at most 20 characters (RFC 4422); a hostile reply must not grow the list.
constexpr std::size_t kMaxMechanismName = 20;
constexpr std::size_t kMaxMechanisms = 16;

std::string upperCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The words of an EHLO reply line after its code: the keyword first, then its parameters.
std::vector<std::string> extensionWords(const std::string& line)
{
    std::vector<std::string> words;
    std::size_t at = 4;
    while (at < line.size()) {
        const std::size_t end = line.find(' ', at);
        if (end != at)
            words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return words;
}

SmtpAuthMechanism preferredMechanism(const std::vector<std::string>& offered)
{
    const auto offers = [&](const char* name) { return std::find(offered.begin(), offered.end(), name) != offered.end(); };
    if (offers("CRAM-MD5"))
        return SmtpAuthMechanism::CramMd5;
    if (offers("PLAIN"))
        return SmtpAuthMechanism::Plain;
    if (offers("LOGIN"))
        return SmtpAuthMechanism::Login;
    return SmtpAuthMechanism::None;
}

// RFC 2195: the user, a blank and the hexadecimal HMAC-MD5 of the challenge under the password.
std::string cramMd5Response(const std::string& user, const std::string& password, const QByteArray& challenge)
{
    const QByteArray digest = QMessageAuthenticationCode::hash(
        challenge, QByteArray::fromStdString(password), QCryptographicHash::Md5);
    return user + " " + digest.toHex().toStdString();
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
    case Error_AuthenticationFailed: return kTextSignInRefused;
    case Error_AuthenticationUnavailable: return kTextSignInUnavailable;
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

bool SendMail::QuitKeptConnection()
{
    if (Busy() || !Connected() || State != Smtp_FinalReply)
        return false;
    beginSession();
    QuitSent = true; // no message is at stake: the goodbye is the whole of this session
    State = Smtp_AfterQuit;
    return SendLine("QUIT");
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
    ehloRefused_ = false;
    authMechanisms_.clear();
    authMechanism_ = SmtpAuthMechanism::None;
    authStep_ = 0;
    authFailed_ = false;
    authReply_.clear();
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
        // The connection of the previous message, greeted and signed in: MAIL FROM at once.
        State = Smtp_HeloReply;
        clearPendingText();
        runLineHandler(" ");
        return;
    }
    offersPipelining_ = false;
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
    if (State == Smtp_EhloReply) {
        if (!ehloReply(line, failure) || intermediate)
            return;
    } else if (State == Smtp_StartTlsReply) {
        if (line.rfind("220", 0) != 0) {
            refuseStartTls(line);
            return;
        }
        if (intermediate)
            return;
    } else if (State == Smtp_AuthReply) {
        authReply(line, failure, intermediate);
        return;
    } else if (State == Smtp_PipelinedReplies) {
        pipelinedReply(line, failure, intermediate);
        return;
    } else if (State == Smtp_ResetReply) {
        if (failure) {
            fail(Error_RecipientsRefused, refusalText_);
            return;
        }
        if (intermediate)
            return;
        // The refusal is reported as ever; the connection rests for the next message.
        ErrorCode = Error_RecipientsRefused;
        mailError(Error_RecipientsRefused, refusalText_);
        TO_Address.clear();
        TO_Name.clear();
        ListTo.clear();
        Listcc.clear();
        ListBcc.clear();
        State = Smtp_FinalReply;
        postDone();
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
        SendLine("EHLO " + heloName(LocalHostName()));
        State = Smtp_EhloReply;
        break;
    case Smtp_EhloReply:
        ehloDone();
        break;
    case Smtp_HeloFallbackReply:
        greeted();
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
        sendMailFrom();
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

// One line of an EHLO reply. A 5xx refusal means a server without extensions: HELO follows,
// unless STARTTLS was chosen (error 21) or the refusal came over the STARTTLS channel, from a
// server that had offered extensions (error 13). False when the send has ended.
bool SendMail::ehloReply(const std::string& line, bool failure)
{
    if (failure) {
        const bool startTlsChosen = SMTP_Security == ConnectionSecurity::StartTls;
        if (line[0] == '5' && startTlsChosen && !Encrypted())
            return refuseStartTls(line);
        if (line[0] == '5' && !startTlsChosen) {
            ehloRefused_ = true;
            return true;
        }
        fail(Error_UnexpectedResponse, kTextUnexpectedResponse + line);
        return false;
    }
    if (!ehloRefused_)
        noteExtension(line);
    return true;
}

bool SendMail::refuseStartTls(const std::string& reply)
{
    fail(Error_StartTlsUnavailable,
         reply.empty() ? std::string(kTextStartTlsUnavailable) : kTextStartTlsUnavailable + (": " + reply));
    return false;
}

void SendMail::noteExtension(const std::string& line)
{
    std::vector<std::string> words = extensionWords(line);
    if (words.empty())
        return;
    std::string keyword = upperCase(words[0]);
    if (keyword == "STARTTLS")
        offersStartTls_ = true;
    if (keyword == "PIPELINING")
        offersPipelining_ = true;
    // "AUTH=LOGIN PLAIN", the form of servers older than RFC 4954, names mechanisms as well.
    if (keyword.rfind("AUTH=", 0) == 0) {
        words[0] = words[0].substr(5);
        words.insert(words.begin(), "AUTH");
        keyword = "AUTH";
    }
    if (keyword != "AUTH")
        return;
    for (std::size_t i = 1; i < words.size() && authMechanisms_.size() < kMaxMechanisms; ++i) {
        std::string name = upperCase(words[i]);
        if (!name.empty() && name.size() <= kMaxMechanismName &&
            std::find(authMechanisms_.begin(), authMechanisms_.end(), name) == authMechanisms_.end())
            authMechanisms_.push_back(std::move(name));
    }
}

// The whole EHLO reply is in.
void SendMail::ehloDone()
{
    if (ehloRefused_) {
        SendLine("HELO " + heloName(LocalHostName()));
        State = Smtp_HeloFallbackReply;
        return;
    }
    if (SMTP_Security == ConnectionSecurity::StartTls && !Encrypted()) {
        if (!offersStartTls_) {
            refuseStartTls(std::string());
            return;
        }
        SendLine("STARTTLS");
        State = Smtp_StartTlsReply;
        return;
    }
    greeted();
}

// The last greeting is answered: sign in when a user is set, then MAIL FROM.
void SendMail::greeted()
{
    if (SMTP_User.empty()) {
        sendMailFrom();
        return;
    }
    const bool clearChosen = SMTP_Security == ConnectionSecurity::None;
    authMechanism_ = clearChosen || Encrypted() ? preferredMechanism(authMechanisms_) : SmtpAuthMechanism::None;
    if (authMechanism_ == SmtpAuthMechanism::None) {
        std::string text = kTextSignInUnavailable;
        if (!authMechanisms_.empty()) {
            text += std::string("\r\n") + kTextOfferedMechanisms;
            for (std::size_t i = 0; i < authMechanisms_.size(); ++i)
                text += (i ? " " : "") + authMechanisms_[i];
        }
        fail(Error_AuthenticationUnavailable, text);
        return;
    }
    authStep_ = 0;
    authFailed_ = false;
    authReply_.clear();
    State = Smtp_AuthReply;
    switch (authMechanism_) {
    case SmtpAuthMechanism::CramMd5:
        SendSecretLine("AUTH CRAM-MD5", "AUTH CRAM-MD5");
        break;
    case SmtpAuthMechanism::Plain:
        // The initial response (RFC 4954) spares a round trip; it is longer than any command.
        SendSecretLine("AUTH PLAIN " + base64Encode(std::string(1, '\0') + SMTP_User + '\0' + SMTP_Password),
                       std::string("AUTH PLAIN ") + kShownCredential);
        break;
    case SmtpAuthMechanism::Login:
        SendSecretLine("AUTH LOGIN", "AUTH LOGIN");
        break;
    case SmtpAuthMechanism::None:
        break;
    }
}

void SendMail::sendMailFrom()
{
    if (!offersPipelining_) {
        SendLine("MAIL FROM:<" + FROM_Address + ">");
        State = Smtp_MailReply;
        return;
    }
    // One round trip: the replies are matched to the commands in order, each checked as if the
    // commands had gone one by one.
    pipelined_.clear();
    pipelined_.push_back(TO_Address);
    auto add = [this](const std::vector<std::string>& list, int skip) {
        for (std::size_t i = static_cast<std::size_t>(skip); i < list.size(); ++i)
            pipelined_.push_back(addressOf(list[i]));
    };
    add(ListTo, skipTo_);
    add(Listcc, skipcc_);
    add(ListBcc, skipBcc_);
    std::string batch = "MAIL FROM:<" + FROM_Address + ">\r\n";
    for (const std::string& address : pipelined_)
        batch += "RCPT TO:<" + address + ">\r\n";
    batch += "DATA\r\n";
    pipelinedStep_ = 0;
    replyFailed_ = false;
    replyText_.clear();
    State = Smtp_PipelinedReplies;
    if (!SendText(std::move(batch)))
        return;
    for (const std::string& address : pipelined_)
        mailInfo(Info_Recipient, address);
}

// Every recipient refused: error 20. A kept connection is reset for the next message instead of
// being dropped.
void SendMail::refuseEveryRecipient()
{
    std::string text = kTextRecipientsRefused;
    for (const RecipientRefusal& r : RefusedRecipients)
        text += "\r\n" + r.address + ": " + r.reply;
    if (!KeepConnectionOpen) {
        fail(Error_RecipientsRefused, text);
        return;
    }
    refusalText_ = std::move(text);
    State = Smtp_ResetReply;
    SendLine("RSET");
}

void SendMail::pipelinedReply(const std::string& line, bool failure, bool intermediate)
{
    // A reply is judged whole, however many lines it has.
    replyFailed_ = replyFailed_ || failure;
    if (replyText_.size() < kMaxRefusalReply)
        replyText_ += (replyText_.empty() ? "" : " ") + line;
    if (intermediate)
        return;
    const bool failed = replyFailed_;
    const std::string reply = replyText_;
    replyFailed_ = false;
    replyText_.clear();
    const std::size_t step = pipelinedStep_++;
    if (step == 0) {
        if (failed)
            fail(Error_UnexpectedResponse, kTextUnexpectedResponse + reply);
        return;
    }
    if (step <= pipelined_.size()) {
        const std::string& address = pipelined_[step - 1];
        if (failed) {
            RefusedRecipients.push_back({address, reply.substr(0, kMaxRefusalReply)});
            mailInfo(Info_RecipientRejected, address);
        } else {
            ++acceptedRecipients_;
        }
        return;
    }
    // The reply to DATA: the message goes only to a recipient some RCPT reply accepted.
    if (acceptedRecipients_ == 0) {
        // A server that said go ahead to DATA all the same waits for a message: only a close ends that.
        if (!failed)
            KeepConnectionOpen = false;
        refuseEveryRecipient();
        return;
    }
    if (failed) {
        fail(Error_UnexpectedResponse, kTextUnexpectedResponse + reply);
        return;
    }
    writeMessage();
}

// The answer to AUTH or to a credential: 2xx signed in, 334 a challenge to answer, a failure
// (at any line of the reply) the refusal with the whole reply.
void SendMail::authReply(const std::string& line, bool failure, bool intermediate)
{
    authFailed_ = authFailed_ || failure;
    if (authReply_.size() < kMaxRefusalReply)
        authReply_ += (authReply_.empty() ? "" : " ") + line;
    if (intermediate)
        return;
    const std::string reply = authReply_.substr(0, kMaxRefusalReply);
    authReply_.clear();
    if (authFailed_) {
        fail(Error_AuthenticationFailed, kTextSignInRefused + reply);
        return;
    }
    if (line[0] == '2') {
        sendMailFrom();
        return;
    }
    if (line.rfind("334", 0) == 0) {
        answerChallenge(line.size() > 4 ? line.substr(4) : std::string());
        return;
    }
    fail(Error_UnexpectedResponse, kTextUnexpectedResponse + line);
}

// Every challenge gets an answer, or the server would wait: one the mechanism has no answer for
// (or that is not base64) gets "*", which cancels the exchange (RFC 4954).
void SendMail::answerChallenge(const std::string& challenge)
{
    const int step = authStep_++;
    std::optional<std::string> answer;
    switch (authMechanism_) {
    case SmtpAuthMechanism::CramMd5:
        if (step == 0) {
            const auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromStdString(challenge),
                                                                QByteArray::AbortOnBase64DecodingErrors);
            if (decoded)
                answer = base64Encode(cramMd5Response(SMTP_User, SMTP_Password, *decoded));
        }
        break;
    case SmtpAuthMechanism::Login:
        // The prompts ("Username:", "Password:") vary between servers; their order does not.
        if (step == 0)
            answer = base64Encode(SMTP_User);
        else if (step == 1)
            answer = base64Encode(SMTP_Password);
        break;
    case SmtpAuthMechanism::Plain:
    case SmtpAuthMechanism::None:
        break;
    }
    if (answer)
        SendSecretLine(*answer, kShownCredential);
    else
        SendSecretLine("*", "*");
}

void SendMail::EncryptedHandler()
{
    LineChannel::EncryptedHandler();
    if (Finished() || State != Smtp_Handshake)
        return;
    // What the plain reply announced may have been forged: only the secure one counts.
    offersStartTls_ = false;
    offersPipelining_ = false;
    authMechanisms_.clear();
    replyLines_ = 0;
    SendLine("EHLO " + heloName(LocalHostName()));
    State = Smtp_EhloReply;
}

void SendMail::announceNextRecipient()
{
    for (;;) {
        if (Finished())
            return;
        if (recipientPhase_ >= 4) {
            if (acceptedRecipients_ == 0) {
                refuseEveryRecipient();
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
