#include "pop3/get_mail.h"

#include "smtp/mime_encoders.h"

#include <algorithm>
#include <string_view>
#include <tuple>

namespace tavik {

// ---- UidList ----------------------------------------------------------------------------

std::string UidList::key(const std::string& text)
{
    std::string k = text;
    for (char& c : k) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return k;
}

void UidList::add(const std::string& text)
{
    lines_.push_back(text);
    ++keys_[key(text)];
}

bool UidList::contains(const std::string& text) const
{
    return keys_.find(key(text)) != keys_.end();
}

void UidList::clear()
{
    lines_.clear();
    head_ = 0;
    keys_.clear();
}

void UidList::popFront()
{
    if (empty())
        return;
    auto it = keys_.find(key(lines_[head_]));
    if (it != keys_.end() && --it->second == 0)
        keys_.erase(it);
    ++head_;
    // Give the consumed front back now and then, keeping the amortised cost constant.
    if (head_ > 1024 && head_ * 2 > lines_.size()) {
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

std::vector<std::string> UidList::lines() const
{
    return std::vector<std::string>(lines_.begin() + static_cast<std::ptrdiff_t>(head_), lines_.end());
}

void UidList::assign(const std::vector<std::string>& lines)
{
    clear();
    for (const std::string& line : lines)
        add(line);
}

bool parsePop3Number(const std::string& text, int& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

namespace {

// A listing line checked when it arrived ("n uid"): its number and its identifier.
std::pair<int, std::string> listedMessage(const std::string& line)
{
    const std::size_t blank = line.find(' ');
    int number = 0;
    parsePop3Number(line.substr(0, blank), number);
    return {number, line.substr(blank + 1)};
}

} // namespace

// ---- GetMail ----------------------------------------------------------------------------

GetMail::GetMail(QObject* parent)
    : LineChannel(kGetMailLineCodes, parent)
{
    parser_.OnMailInfo = [this](int info, const std::string& addinfo) { mailInfo(info, addinfo); };
    // The parser reports a "-" answer to RETR or TOP; the session ends with it.
    parser_.OnMailError = [this](int code, const std::string& addinfo) { fail(code, addinfo); };
    parser_.OnMessageLoaded = [this] {
        if (OnMessageLoaded)
            OnMessageLoaded();
    };
    parser_.OnHeadersLoaded = [this] {
        if (OnHeadersLoaded)
            OnHeadersLoaded();
    };
    parser_.OnAttachmentGetLocation = [this](TMIMEAttachmentPtr a) {
        if (OnAttachmentGetLocation)
            OnAttachmentGetLocation(a);
    };
    parser_.OnAttachmentStored = [this](TMIMEAttachmentPtr a) {
        if (OnAttachmentStored)
            OnAttachmentStored(a);
    };
    parser_.OnMessageData = [this](const std::string& data) {
        if (OnMessageData)
            OnMessageData(data);
    };
}

GetMail::~GetMail() = default;

void GetMail::SetMail_Action(TGetMailAction action)
{
    if (action == Get_Mail) {
        start();
    } else if (action == Cancel_GetMail) {
        if (!Busy() || Finished())
            return;
        ErrorCode = kGetMailErrorAborted;
        Finish();
    }
}

void GetMail::Cancel()
{
    if (!Busy() || Finished())
        return;
    if (retrieval_ && !cancelRequested_) {
        cancelRequested_ = true;
        return;
    }
    SetMail_Action(Cancel_GetMail);
}

void GetMail::start()
{
    if (Busy()) {
        mailInfo(GM_Busy, std::string());
        return;
    }
    beginSession();
    retrieval_ = false;
    cancelRequested_ = false;
    listingComplete_ = false;
    quitAnswered_ = false;
    deletingKnown_ = false;
    retrievalState_ = R_Start;
    currentUidl_.clear();
    knownToDelete_.clear();
    DeletedUIDLs.clear();
    MessageNumber = 0;
    MessageCount = 0;
    tlsStep_ = TlsStep::None;
    capaAnswered_ = capaListing_ = stlsOffered_ = saslPlainOffered_ = authResponseSent_ = false;
    pipeliningOffered_ = pipelined_ = inAnswer_ = quitQueued_ = false;
    expected_.clear();
    retrInFlight_ = 0;
    bytesOutstanding_ = 0;
    received_ = 0;
    listedSizes_.clear();
    heldDeletions_.clear();
    capaLines_ = 0;
    LineHandler = [this](const std::string& line) { commandLine(line); };
    openConnection(Mail_Port);
}

void GetMail::Finish()
{
    if (ErrorCode != 0)
        State = kStateAfterError;
    LineChannel::Finish();
}

void GetMail::unexpected(const std::string& line)
{
    fail(kErrorUnexpectedResponse, std::string(kTextUnexpectedResponse) + line);
}

void GetMail::unexpectedSize()
{
    fail(kErrorUnexpectedResponse, std::string(kTextUnexpectedResponse) + "message " + std::to_string(MessageNumber) +
                                       " is larger than " + std::to_string(MaxMessageBytes) + " bytes");
}

void GetMail::commandLine(const std::string& line)
{
    if (State == 5) {
        // The answer to the QUIT after an empty listing: whatever it says, the session is over.
        quitAnswered_ = !line.empty() && line[0] == '+';
        endAfterClosingReply();
        return;
    }
    switch (State) {
    case kStateCapa:
        capabilityLine(line);
        return;
    case kStateStls:
        stlsAnswer(line);
        return;
    case kStateAuth:
        authAnswer(line);
        return;
    default:
        break;
    }
    if (State > 4)
        return;
    const char first = line.empty() ? '\0' : line[0];
    switch (State) {
    case 0:
    case 1:
    case 2:
        if (first == '-') {
            fail(kGetMailErrorAccessDenied, kTextAccessDenied);
            return;
        }
        if (first != '+')
            return;
        if (State == 0) {
            askCapabilities();
        } else if (State == 1) {
            mailInfo(GM_UserAccepted, std::string());
            State = 2;
            SendLine("PASS " + User_Password);
        } else {
            accessGranted();
        }
        return;
    case 3:
        if (isEndOfAnswer(line)) {
            endOfListing();
        } else if (first == '+') {
            mailInfo(GM_UidlAccepted, std::string());
            UIDLSupported = true;
            mailInfo(GM_UidlSupport, "1");
            NewMessages.clear();
            NewUIDLs.clear();
            UIDLLines.clear();
        } else if (first == '-') {
            UIDLSupported = false;
            mailInfo(GM_UidlSupport, "0");
            State = 4;
            SendLine("STAT");
        } else {
            listingLine(std::string(unstuffAnswerLine(line)));
        }
        return;
    case 4:
        if (first == '+')
            statAnswer(line);
        else if (first == '-')
            unexpected(line);
        return;
    default:
        return;
    }
}

void GetMail::askCapabilities()
{
    // A fresh answer replaces all that was known.
    capaAnswered_ = false;
    capaListing_ = false;
    capaLines_ = 0;
    stlsOffered_ = false;
    saslPlainOffered_ = false;
    pipeliningOffered_ = false;
    State = kStateCapa;
    SendLine("CAPA");
}

namespace {

bool sameWord(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

// The words of a capability line, split at blanks and tabs.
std::vector<std::string_view> capabilityWords(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
        if (end > at)
            words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

} // namespace

void GetMail::capabilityLine(const std::string& line)
{
    const char first = line.empty() ? '\0' : line[0];
    if (!capaListing_) {
        if (first == '+') {
            capaAnswered_ = true;
            capaListing_ = true;
        } else if (first == '-') {
            // A server without CAPA: the plain flow, as before CAPA existed.
            afterCapabilities();
        }
        return;
    }
    if (isEndOfAnswer(line)) {
        capaListing_ = false;
        afterCapabilities();
        return;
    }
    if (++capaLines_ > kMaxCapabilityLines) {
        fail(kErrorUnexpectedResponse, std::string(kTextUnexpectedResponse) + "a capability list of more than " +
                                           std::to_string(kMaxCapabilityLines) + " lines");
        return;
    }
    const std::vector<std::string_view> words = capabilityWords(unstuffAnswerLine(line));
    if (words.empty())
        return;
    if (sameWord(words[0], "STLS"))
        stlsOffered_ = true;
    else if (sameWord(words[0], "PIPELINING"))
        pipeliningOffered_ = true;
    else if (sameWord(words[0], "SASL"))
        for (std::size_t i = 1; i < words.size(); ++i)
            if (sameWord(words[i], "PLAIN"))
                saslPlainOffered_ = true;
}

void GetMail::afterCapabilities()
{
    if (!StartTlsRequired || tlsStep_ == TlsStep::Secure) {
        signIn();
        return;
    }
    // A server that answered CAPA tells whether it knows STLS; one without CAPA is asked anyway.
    if (capaAnswered_ && !stlsOffered_) {
        fail(kGetMailErrorStartTls, "The server does not offer STLS (its capabilities do not list it); nothing was sent");
        return;
    }
    tlsStep_ = TlsStep::AwaitingGoAhead;
    State = kStateStls;
    SendLine("STLS");
}

void GetMail::stlsAnswer(const std::string& line)
{
    if (tlsStep_ != TlsStep::AwaitingGoAhead)
        return; // nothing is read between the go-ahead and the handshake
    if (line.empty() || line[0] != '+') {
        fail(kGetMailErrorStartTls, "The server does not offer STLS (it answered \"" +
                                        line.substr(0, kShownLineLength) + "\"); nothing was sent");
        return;
    }
    tlsStep_ = TlsStep::Handshake;
    startTls();
}

void GetMail::EncryptedHandler()
{
    LineChannel::EncryptedHandler();
    if (Finished())
        return;
    // Nothing said before the handshake is trusted: the capabilities are asked for anew.
    tlsStep_ = TlsStep::Secure;
    askCapabilities();
}

void GetMail::signIn()
{
    if (!saslPlainOffered_) {
        State = 1;
        SendLine("USER " + User_ID);
        return;
    }
    State = kStateAuth;
    const std::string command = "AUTH PLAIN " + plainResponse();
    if (command.size() + 2 <= kMaxInitialResponseCommand) {
        authResponseSent_ = true;
        SendSecretLine(command, "AUTH PLAIN ****");
        return;
    }
    authResponseSent_ = false;
    SendLine("AUTH PLAIN");
}

std::string GetMail::plainResponse() const
{
    // RFC 4616: no authorisation identity, then user name and password, each after a NUL.
    std::string credentials(1, '\0');
    credentials += User_ID;
    credentials += '\0';
    credentials += User_Password;
    return base64Encode(credentials);
}

void GetMail::authAnswer(const std::string& line)
{
    const char first = line.empty() ? '\0' : line[0];
    // "+ " (or a bare "+") asks for the response; "+OK" ends the exchange.
    const bool continuation = line == "+" || line.rfind("+ ", 0) == 0;
    if (continuation) {
        if (authResponseSent_) {
            unexpected(line.substr(0, kShownLineLength));
            return;
        }
        authResponseSent_ = true;
        SendSecretLine(plainResponse(), "****");
        return;
    }
    if (first == '-') {
        fail(kGetMailErrorAccessDenied, kTextAccessDenied);
        return;
    }
    if (first != '+')
        return;
    // PLAIN accepts user name and password at once: the owner hears both steps, as after PASS.
    mailInfo(GM_UserAccepted, std::string());
    accessGranted();
}

void GetMail::accessGranted()
{
    mailInfo(GM_AccessGranted, kTextAccessGranted);
    MessageCount = 0;
    State = 3;
    SendLine("UIDL");
}

void GetMail::listingLine(const std::string& line)
{
    // "n uid": a line without a number in front cannot be retrieved by number, so the
    // listing is not to be trusted.
    const std::size_t blank = line.find(' ');
    int number = 0;
    if (blank == std::string::npos || !parsePop3Number(line.substr(0, blank), number) || number == 0) {
        unexpected(line);
        return;
    }
    if (UIDLLines.size() >= MaxListingLines) {
        fail(kErrorUnexpectedResponse, std::string(kTextUnexpectedResponse) + "a listing of more than " +
                                           std::to_string(MaxListingLines) + " messages");
        return;
    }
    const std::string uid = line.substr(blank + 1);
    const bool repeated = ServerUIDLs.contains(uid);
    UIDLLines.add(line);
    if (!KnownUIDLs.contains(uid) && !NewUIDLs.contains(uid)) {
        NewMessages.add(line);
        NewUIDLs.add(uid);
    } else if (!repeated && KnownUIDLs.contains(uid) && DeleteUIDLs.contains(uid)) {
        knownToDelete_.add(line);
    }
    // A UID listed twice is one message as far as the saved UIDs go.
    if (!ServerUIDLs.contains(uid))
        ServerUIDLs.add(uid);
}

void GetMail::endOfListing()
{
    listingComplete_ = true;
    if (!UIDLLines.empty())
        UIDLLines.assign(ServerUIDLs);
    MessageCount = static_cast<int>(NewMessages.size());
    if (MessageCount > 0 || !knownToDelete_.empty()) {
        mailInfo(GM_MessageCount, std::to_string(MessageCount));
        enterRetrieval();
        return;
    }
    KnownUIDLs.assign(UIDLLines);
    mailInfo(GM_MessageCount, "0");
    sendQuit(5); // the answer is ignored
}

void GetMail::statAnswer(const std::string& line)
{
    int count = 0;
    if (line.size() >= 5) {
        const std::size_t blank = line.find(' ', 4);
        if (blank != std::string::npos && !parsePop3Number(line.substr(4, blank - 4), count)) {
            unexpected(line);
            return;
        }
    }
    listingComplete_ = true;
    MessageCount = count;
    mailInfo(GM_MessageCount, std::to_string(count));
    if (count > 0)
        enterRetrieval();
    else
        sendQuit(5);
}

void GetMail::sendQuit(int nextState)
{
    QuitSent = true;
    if (retrieval_) {
        retrievalState_ = nextState;
        State = nextState;
    } else {
        State = nextState;
    }
    SendLine("QUIT");
}

void GetMail::enterRetrieval()
{
    State = 0;
    retrievalState_ = R_Start;
    retrieval_ = true;
    MessageNumber = 0;
    if (pipeliningOffered_ && UIDLSupported && !Opt_Preview && PipelineMaxCommands > 0) {
        startPipeline();
        return;
    }
    LineHandler = [this](const std::string& line) { retrievalLine(line); };
    retrievalLine(std::string());
}

bool GetMail::nextMessage(int& number)
{
    if (UIDLSupported) {
        if (NewMessages.empty())
            return false;
        std::tie(number, currentUidl_) = listedMessage(NewMessages.front());
        NewMessages.popFront();
        return true;
    }
    if (MessageNumber >= MessageCount)
        return false;
    number = MessageNumber + 1;
    return true;
}

void GetMail::requestMessage(int number)
{
    MessageNumber = number;
    if (Opt_Preview) {
        retrievalState_ = R_TopAnswer;
        State = R_TopAnswer;
        SendLine("TOP " + std::to_string(number) + " 0");
    } else {
        retrievalState_ = R_RetrAnswer;
        State = R_RetrAnswer;
        SendLine("RETR " + std::to_string(number));
    }
}

void GetMail::retrievalLine(const std::string& line)
{
    const char first = line.empty() ? '\0' : line[0];
    switch (retrievalState_) {
    case R_Start:
        continueWithNext();
        return;
    case R_RetrAnswer:
        if (!parser_.beginMessage(line))
            return; // the parser reported the "-" answer
        retrievalState_ = R_MessageData;
        State = parser_.State();
        return;
    case R_MessageData:
        if (isEndOfAnswer(line)) {
            parser_.endMessage();
            if (Finished())
                return;
            afterMessage();
        } else {
            if (parser_.MessageSize > MaxMessageBytes) {
                unexpectedSize();
                return;
            }
            parser_.feedLine(unstuffAnswerLine(line));
            State = parser_.State();
        }
        return;
    case R_DeleAnswer:
        if (first == '-') {
            unexpected(line);
            return;
        }
        continueWithNext();
        return;
    case R_QuitAnswer:
        if (first == '-') {
            unexpected(line);
            return;
        }
        QuitSent = true;
        quitAnswered_ = true;
        if (!cancelRequested_)
            KnownUIDLs.assign(UIDLLines);
        retrievalState_ = kStateAfterError;
        // Some servers keep the connection open after their answer: it is the end all the same.
        endAfterClosingReply();
        return;
    case R_TopAnswer:
        if (!parser_.beginPreview(line))
            return;
        retrievalState_ = R_PreviewData;
        State = R_PreviewData;
        return;
    case R_PreviewData:
        if (isEndOfAnswer(line)) {
            parser_.endPreview();
            if (Finished())
                return;
            afterPreview();
        } else {
            if (parser_.MessageSize > MaxMessageBytes) {
                unexpectedSize();
                return;
            }
            parser_.feedPreviewLine(unstuffAnswerLine(line));
        }
        return;
    default:
        return;
    }
}

void GetMail::afterPreview()
{
    if (Opt_Delete) {
        deletingKnown_ = false;
        deleteMessage(MessageNumber, currentUidl_);
        return;
    }
    if (!Opt_Skip) {
        retrievalState_ = R_RetrAnswer;
        State = R_RetrAnswer;
        SendLine("RETR " + std::to_string(MessageNumber));
        return;
    }
    Opt_Skip = false;
    int number = 0;
    if (!cancelRequested_ && nextMessage(number)) {
        MessageNumber = number;
        retrievalState_ = R_TopAnswer;
        State = R_TopAnswer;
        SendLine("TOP " + std::to_string(number) + " 0");
        return;
    }
    sendQuit(R_QuitAnswer);
}

void GetMail::afterMessage()
{
    if (Opt_Delete) {
        deletingKnown_ = false;
        deleteMessage(MessageNumber, currentUidl_);
        return;
    }
    continueWithNext();
}

void GetMail::deleteMessage(int number, const std::string& uid)
{
    Opt_Delete = false;
    MessageNumber = number;
    if (!uid.empty())
        DeletedUIDLs.add(uid);
    retrievalState_ = R_DeleAnswer;
    State = R_DeleAnswer;
    SendLine("DELE " + std::to_string(number));
}

void GetMail::continueWithNext()
{
    if (cancelRequested_) {
        sendQuit(R_QuitAnswer);
        return;
    }
    if (!knownToDelete_.empty()) {
        // Retrieved in an earlier check whose QUIT the server never answered: deleted now.
        const auto [number, uid] = listedMessage(knownToDelete_.front());
        knownToDelete_.popFront();
        deletingKnown_ = true;
        deleteMessage(number, uid);
        return;
    }
    int number = 0;
    if (!nextMessage(number)) {
        sendQuit(R_QuitAnswer);
        return;
    }
    requestMessage(number);
}

std::string GetMail::StepText() const
{
    if (!retrieval_) {
        switch (State) {
        case 0: return "waiting for its greeting";
        case 1: return "logging in (user name)";
        case 2: return "logging in (password)";
        case 3: return "listing the messages (UIDL)";
        case 4: return "counting the messages (STAT)";
        case kStateCapa: return "asking for its capabilities (CAPA)";
        case kStateStls: return "starting the secure connection (STLS)";
        case kStateAuth: return "logging in (AUTH PLAIN)";
        default: return "ending the session (QUIT)";
        }
    }
    if (pipelined_) {
        if (quitQueued_)
            return "ending the session (QUIT)";
        return "receiving message " + std::to_string(received_ + 1) + " of " + std::to_string(MessageCount);
    }
    // The message in hand counted among those of this check.
    const std::size_t taken = UIDLSupported ? static_cast<std::size_t>(MessageCount) - NewMessages.size()
                                            : static_cast<std::size_t>(MessageNumber);
    const std::string which = "message " + std::to_string(taken) + " of " + std::to_string(MessageCount);
    switch (retrievalState_) {
    case R_RetrAnswer:
    case R_MessageData: return "receiving " + which;
    case R_TopAnswer:
    case R_PreviewData: return "reading the header of " + which;
    case R_DeleAnswer:
        return deletingKnown_ ? "deleting message " + std::to_string(MessageNumber) + ", retrieved by an earlier check"
                              : "deleting " + which;
    default: return "ending the session (QUIT)";
    }
}

// ---- Pipelined retrieval ---------------------------------------------------------------

void GetMail::startPipeline()
{
    pipelined_ = true;
    // Retrieved in an earlier check whose QUIT the server never answered: on disk long since,
    // so deleted with this session's own deletions.
    while (!knownToDelete_.empty()) {
        heldDeletions_.push_back(listedMessage(knownToDelete_.front()));
        knownToDelete_.popFront();
    }
    LineHandler = [this](const std::string& line) { pipelineLine(line); };
    // The sizes bound the bytes in flight.
    expected_.push_back({Expected::List, 0, {}, 0});
    SendLine("LIST");
}

std::int64_t GetMail::expectedSize(int number) const
{
    // Unknown sizes count as a mid-sized message.
    constexpr std::int64_t kUnknown = 64 * 1024;
    const auto at = static_cast<std::size_t>(number);
    return at < listedSizes_.size() && listedSizes_[at] > 0 ? listedSizes_[at] : kUnknown;
}

void GetMail::listSizeLine(const std::string& line)
{
    const std::string_view text = unstuffAnswerLine(line);
    const std::size_t blank = text.find(' ');
    int number = 0;
    long long size = 0;
    if (blank == std::string_view::npos || !parsePop3Number(std::string(text.substr(0, blank)), number))
        return; // a line we cannot read leaves that size unknown
    for (char c : text.substr(blank + 1)) {
        if (c < '0' || c > '9' || size > kMaxMessageBytes)
            break;
        size = size * 10 + (c - '0');
    }
    // Numbers beyond the listing are not kept: the memory stays bounded by it.
    if (number <= 0 || static_cast<std::size_t>(number) > MaxListingLines)
        return;
    if (listedSizes_.size() <= static_cast<std::size_t>(number))
        listedSizes_.resize(static_cast<std::size_t>(number) + 1, 0);
    listedSizes_[static_cast<std::size_t>(number)] = size;
}

void GetMail::fillPipeline()
{
    if (quitQueued_ || Finished())
        return;
    std::string batch;
    while (retrInFlight_ < PipelineMaxCommands && (retrInFlight_ == 0 || bytesOutstanding_ < PipelineMaxBytes) &&
           !NewMessages.empty()) {
        auto [number, uid] = listedMessage(NewMessages.front());
        NewMessages.popFront();
        Expected retr{Expected::Retr, number, std::move(uid), expectedSize(number)};
        bytesOutstanding_ += retr.size;
        ++retrInFlight_;
        expected_.push_back(std::move(retr));
        batch += "RETR " + std::to_string(number) + "\r\n";
    }
    if (!batch.empty())
        SendText(std::move(batch));
    else if (retrInFlight_ == 0)
        finishPipeline();
}

void GetMail::stopPipeline()
{
    // Answers already on their way are read and dropped: such a message is neither filed nor
    // deleted, and the next check takes it.
    for (Expected& e : expected_)
        if (e.kind == Expected::Retr)
            e.discard = true;
    finishPipeline();
}

void GetMail::finishPipeline()
{
    if (quitQueued_)
        return;
    quitQueued_ = true;
    if (!heldDeletions_.empty() && OnBeforeDeletions) {
        const bool durable = OnBeforeDeletions();
        if (Finished())
            return;
        if (!durable)
            heldDeletions_.clear();
    }
    std::string batch;
    for (const auto& [number, uid] : heldDeletions_) {
        if (!uid.empty())
            DeletedUIDLs.add(uid);
        expected_.push_back({Expected::Dele, number, uid});
        batch += "DELE " + std::to_string(number) + "\r\n";
    }
    heldDeletions_.clear();
    expected_.push_back({Expected::Quit, 0, {}, 0});
    QuitSent = true;
    batch += "QUIT\r\n";
    SendText(std::move(batch));
}

void GetMail::pipelineLine(const std::string& line)
{
    if (expected_.empty())
        return; // nothing is asked: whatever comes is not an answer
    // Stopped between two messages: nothing more is asked, and what is on its way is dropped.
    if (cancelRequested_ && !quitQueued_ && !inAnswer_)
        stopPipeline();
    const char first = line.empty() ? '\0' : line[0];
    Expected& front = expected_.front();
    switch (front.kind) {
    case Expected::List:
        if (!inAnswer_) {
            if (first == '+') {
                inAnswer_ = true;
                return;
            }
            expected_.pop_front(); // a server without LIST: the sizes stay unknown
            fillPipeline();
            return;
        }
        if (isEndOfAnswer(line)) {
            inAnswer_ = false;
            expected_.pop_front();
            fillPipeline();
        } else {
            listSizeLine(line);
        }
        return;
    case Expected::Retr:
        if (!inAnswer_) {
            if (front.discard) {
                if (first == '-') {
                    --retrInFlight_;
                    expected_.pop_front();
                } else {
                    inAnswer_ = true;
                }
                return;
            }
            MessageNumber = front.number;
            currentUidl_ = front.uid;
            retrievalState_ = R_RetrAnswer;
            if (!parser_.beginMessage(line))
                return; // the parser reported the "-" answer: the session ends
            inAnswer_ = true;
            retrievalState_ = R_MessageData;
            State = parser_.State();
            return;
        }
        if (isEndOfAnswer(line)) {
            inAnswer_ = false;
            const Expected done = front;
            expected_.pop_front();
            --retrInFlight_;
            bytesOutstanding_ -= done.size;
            if (!done.discard) {
                parser_.endMessage();
                if (Finished())
                    return;
                ++received_;
                if (Opt_Delete) {
                    Opt_Delete = false;
                    heldDeletions_.emplace_back(done.number, done.uid);
                }
            }
            if (cancelRequested_)
                stopPipeline();
            else
                fillPipeline();
            return;
        }
        if (front.discard)
            return;
        if (parser_.MessageSize > MaxMessageBytes) {
            unexpectedSize();
            return;
        }
        parser_.feedLine(unstuffAnswerLine(line));
        State = parser_.State();
        return;
    case Expected::Dele:
        if (first == '-') {
            unexpected(line);
            return;
        }
        expected_.pop_front();
        return;
    case Expected::Quit:
        if (first == '-') {
            unexpected(line);
            return;
        }
        expected_.clear();
        quitAnswered_ = true;
        if (!cancelRequested_)
            KnownUIDLs.assign(UIDLLines);
        retrievalState_ = kStateAfterError;
        endAfterClosingReply();
        return;
    }
}

} // namespace tavik
