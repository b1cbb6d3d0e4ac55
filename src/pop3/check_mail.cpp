#include "pop3/check_mail.h"

#include <QTimer>

#include <algorithm>
#include <ctime>
#include <string_view>
#include <unordered_set>

#include "addressbook/address_book.h"
#include "pop3/attachment_store.h"
#include "profile/certificate_pins.h"
#include "profile/file_util.h"
#include "store/mailbox_store.h"

namespace tavik {

namespace {

// The session's own countdowns of a check: lookup and connect.
constexpr int kCheckTimeoutArp = 20;
constexpr int kCheckTimeoutConnect = 30;

std::string withSlash(std::string dir)
{
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

} // namespace

std::string certificateRefusalText(const PeerCertificateInfo& certificate)
{
    const std::string server = "Certificate of " + certificate.host + ":" + std::to_string(certificate.port);
    if (!certificate.pinnedFingerprint.empty())
        return server + " changed since it was accepted";
    return server + " not trusted" + (certificate.problems.empty() ? std::string() : ": " + certificate.problems[0]);
}

CheckMail::CheckMail(ProfileSettings settings, std::string profileDirectory, TNMailBox& store,
                     TAttachmentManager& attachments, CheckMailView& view, QObject* parent)
    : QObject(parent)
    , settings_(std::move(settings))
    , profileDirectory_(withSlash(std::move(profileDirectory)))
    , store_(store)
    , attachments_(attachments)
    , view_(view)
    , mail_(std::make_unique<GetMail>())
{
    GetMail& m = *mail_;
    m.OnMailInfo = [this](int info, const std::string& addinfo) { onInfo(info, addinfo); };
    m.OnMailError = [this](int code, const std::string& addinfo) { onError(code, addinfo); };
    m.OnDone = [this] { onDone(); };
    m.OnHeadersLoaded = [this] { onHeaders(); };
    m.OnMessageLoaded = [this] { onMessage(); };
    // The held deletions go only once everything they would delete is on disk here.
    m.OnBeforeDeletions = [this] {
        try {
            makeDurable();
            return true;
        } catch (const FileError& e) {
            failFiling(e.what());
            return false;
        }
    };
    m.OnAttachmentGetLocation = [this](TMIMEAttachmentPtr a) {
        try {
            const std::int32_t n = attachments_.RegisterAttachment(*a, false);
            unsyncedIndex_ = true;
            attachmentInHand_ = n;
            if (firstAttachment_ == 0)
                firstAttachment_ = n;
            lastAttachment_ = n;
        } catch (const FileError& e) {
            a->Location.clear(); // the part is read and dropped
            attachmentInHand_ = 0;
            failFiling(e.what());
        }
    };
    m.OnAttachmentStored = [this](TMIMEAttachmentPtr a) {
        if (attachmentInHand_ == 0)
            return;
        try {
            attachments_.UpdateAttachment(attachmentInHand_, *a);
            if (!a->Location.empty())
                unsyncedFiles_.push_back(a->Location);
        } catch (const FileError& e) {
            failFiling(e.what());
        }
    };
}

CheckMail::~CheckMail()
{
    // The session may still run when its owner goes (the program closing): it stops without
    // reporting to a view that may be gone.
    mail_->OnMailInfo = nullptr;
    mail_->OnMailError = nullptr;
    mail_->OnDone = nullptr;
    mail_->OnHeadersLoaded = nullptr;
    mail_->OnMessageLoaded = nullptr;
    mail_->OnAttachmentGetLocation = nullptr;
    mail_->OnAttachmentStored = nullptr;
    mail_->OnBeforeDeletions = nullptr;
    if (mail_->Busy())
        mail_->SetMail_Action(Cancel_GetMail);
}

void CheckMail::open()
{
    if (running_)
        return;
    running_ = true;
    stopRequested_ = false;
    certificateJudged_ = false;
    acceptedFingerprint_.clear();
    begin();
}

void CheckMail::begin()
{
    ok_ = false;
    recoverInterruptedFiling();
    knownAtStart_ = readUidlFile(profileDirectory_ + kUidlFileName);
    pendingDeletions_ = readUidlFile(profileDirectory_ + kPendingDeletionFileName);
    mail_->KnownUIDLs.assign(knownAtStart_);
    mail_->DeleteUIDLs.clear();
    if (settings_.DeleteMailOnRetrieving)
        mail_->DeleteUIDLs.assign(pendingDeletions_);
    view_.showStatus(kStatusConnectingTo + settings_.Pop3Server);
    QTimer::singleShot(0, this, [this] { startSession(); });
}

void CheckMail::startSession()
{
    if (certificateJudged_ && stopRequested_) {
        // Stopped while the certificate was judged: the second session never begins.
        end();
        return;
    }
    received_ = false;
    uidlMode_ = true;
    filed_ = 0;
    firstSubjects_.clear();
    confirmations_ = 0;
    remaining_ = announced_ = index_ = 0;
    size_ = 0;
    firstAttachment_ = lastAttachment_ = attachmentInHand_ = 0;
    pendingKey_.clear();
    journalled_ = false;
    filedUids_.clear();
    deletedKeys_.clear();
    unsyncedFiles_.clear();
    unsyncedIndex_ = false;
    unsyncedMailboxes_.clear();
    GetMail& m = *mail_;
    m.TimeoutArp = kCheckTimeoutArp;
    m.TimeoutConnect = kCheckTimeoutConnect;
    // A server that goes silent once connected ends the check after the configured time.
    m.TimeoutIdle = settings_.TimeOut > 0 ? settings_.TimeOut : 0;
    m.SetMail_Server(settings_.Pop3Server);
    m.Mail_Port = static_cast<quint16>(settings_.Pop3Port);
    m.User_ID = settings_.ID;
    m.User_Password = settings_.Password;
    m.Opt_Preview = true;
    const ConnectionSecurity security = connectionSecurity(settings_.Pop3Security);
    m.ImplicitTls = security == ConnectionSecurity::Tls;
    m.StartTlsRequired = security == ConnectionSecurity::StartTls;
    m.CaFile = settings_.CaFile;
    // TimeOut bounds the handshake as it bounds every wait for the server.
    if (security != ConnectionSecurity::None && settings_.TimeOut > 0)
        m.TimeoutConnect = settings_.TimeOut;
    // A certificate accepted during this check counts whether or not it was pinned.
    m.PinnedFingerprint = acceptedFingerprint_;
    try {
        const std::string server = pinServerName(settings_.Pop3Server, settings_.Pop3Port);
        if (auto pin = CertificatePins(profileDirectory_).find(server); pin && acceptedFingerprint_.empty())
            m.PinnedFingerprint = *pin;
    } catch (const std::exception&) {
        // An unreadable pin file pins nothing: the certificate must then verify on its own.
    }
    m.SetMail_Action(Get_Mail);
}

void CheckMail::stop()
{
    if (!running_)
        return;
    // Between two sessions (a certificate being judged) no session is there to cancel.
    stopRequested_ = true;
    // The messages filed so far are remembered all the same (see open).
    mail_->Cancel();
}

void CheckMail::showDownloading()
{
    if (index_ <= remaining_ && remaining_ > 0)
        view_.showCounter(kCounterDownloading + std::to_string(index_) + kCounterOf + std::to_string(remaining_));
    else
        view_.showCounter(std::string());
}

void CheckMail::onInfo(int info, const std::string& addinfo)
{
    GetMail& m = *mail_;
    switch (info) {
    case GM_Connected:
        // After STLS the state is told again once the login begins.
        if (m.Encrypted() || !m.StartTlsRequired)
            view_.showSecurity(encryptionStateText(m));
        view_.showStatus(kStatusConnectedTo + addinfo);
        break;
    case GM_Resolved:
        view_.showStatus(kStatusConnectedTo + addinfo);
        break;
    case GM_Disconnected:
        view_.showStatus(kStatusDisconnected);
        break;
    case GM_MessageCount: {
        const long long n = serverNumber(addinfo);
        remaining_ = announced_ = n > 0 && n < 1000000000 ? static_cast<int>(n) : 0;
        index_ = 1;
        if (remaining_ > 0)
            showDownloading();
        break;
    }
    case GM_MessageSize: {
        firstAttachment_ = lastAttachment_ = 0;
        if (!m.Opt_Preview)
            view_.showStatus(kStatusGettingMessage);
        // A size that is no number shows as unknown; it never stops the check.
        const long long n = serverNumber(addinfo);
        size_ = n > 0 ? n : 0;
        view_.showProgress(0, size_);
        break;
    }
    case GM_BytesReceived: {
        view_.showSubject(m.Subject());
        const long long n = serverNumber(addinfo);
        if (size_ > 0 && n >= 0)
            view_.showProgress(n < size_ ? n : size_, size_);
        break;
    }
    case GM_UidlAccepted:
        view_.showStatus(kStatusGettingList);
        break;
    case GM_UidlSupport:
        m.Opt_Preview = addinfo == "0";
        uidlMode_ = addinfo == "1";
        if (!uidlMode_ && !uidlManager_)
            uidlManager_ = std::make_unique<TUIDLManager>(profileDirectory_ + kUidlFileName);
        break;
    case GM_AccessGranted:
        view_.showStatus(kStatusLoggedIn);
        break;
    case GM_UserAccepted:
        view_.showSecurity(encryptionStateText(m));
        view_.showStatus(kStatusLoggingIn);
        break;
    case GM_Resolving:
        view_.showStatus(kStatusResolving + addinfo);
        break;
    default:
        break;
    }
}

void CheckMail::onError(int code, const std::string& addinfo)
{
    if ((code == kErrorTlsUntrusted || code == kErrorTlsChanged) && !certificateJudged_ &&
        !mail_->RefusedCertificate().empty()) {
        // The user may accept it: asked once the session has ended, the box only if not.
        certificateRefused_ = true;
        refusalCode_ = code;
        refusalText_ = addinfo;
        return;
    }
    std::string title, text;
    if (!checkMailErrorBox(code, title, text, mail_->StepText()))
        return;
    if (code == kErrorTimeout && addinfo == kTextNoGreeting)
        text += std::string("\r\n") + kTextNoGreetingHint;
    view_.showError(code, title, text);
}

void CheckMail::onHeaders()
{
    GetMail& m = *mail_;
    if (!uidlManager_)
        return;
    const std::string key = previewKey(m.MessageText());
    if (uidlManager_->IsNew(key)) {
        pendingKey_ = key;
        view_.showStatus(kStatusGettingMessage);
        return;
    }
    // Skipped as known: it stays known for the next check.
    uidlManager_->MarkSeen(key);
    if (settings_.DeleteMailOnRetrieving && m.DeleteUIDLs.contains(key)) {
        // Filed by an earlier check whose deletion the server never carried out.
        m.Opt_Delete = true;
        deletedKeys_.push_back(key);
    } else {
        m.Opt_Skip = true;
    }
    if (remaining_ > 0)
        --remaining_;
    view_.showCounter(remaining_ > 0 ? kCounterMessagesLeft + std::to_string(remaining_) : std::string());
    view_.showSubject(std::string());
    view_.showStatus(kStatusSkipping);
}

void CheckMail::failFiling(const std::string& text)
{
    GetMail& m = *mail_;
    if (m.Finished())
        return;
    // Nothing is deleted on the server and the UIDs stay as they were: the next check tries again.
    m.Opt_Delete = false;
    view_.showFileError(text);
    m.SetMail_Action(Cancel_GetMail);
}

void CheckMail::fileMessage()
{
    GetMail& m = *mail_;
    const int before = [&] {
        store_.SetCurrentMailBoxNumber(kNewMailMailbox);
        return store_.CurrentMailBoxMessages();
    }();
    store_.Msg_Flag = 'U';
    store_.Msg_Subject = m.Subject();
    store_.Msg_From = m.From();
    store_.Msg_To = m.To();
    store_.Msg_Date = m.Date();
    store_.Msg_Text = m.MessageText();
    store_.Msg_AttachStart = firstAttachment_;
    store_.Msg_AttachEnd = lastAttachment_;
    store_.Msg_Part = 0;
    // On disk before the server may delete its copy: at once when each DELE follows its message;
    // pipelined, the deletions wait for the batch to be flushed. A check that keeps the mail on
    // the server need not wait for the disk before the UIDs are saved.
    const bool sync = store_.SyncAppends;
    store_.SyncAppends = sync || (settings_.DeleteMailOnRetrieving && !m.Pipelined());
    if (!store_.SyncAppends)
        unsyncedMailboxes_.push_back(kNewMailMailbox);
    try {
        store_.AppendMessage();
    } catch (...) {
        store_.SyncAppends = sync;
        throw;
    }
    store_.SyncAppends = sync;
    if (store_.CurrentMailBoxMessages() != before + 1)
        throw FileError(store_.MailBoxDirectory() + store_.CurrentMailBoxName() + ".mbx",
                        "did not take the message \"" + m.Subject() + "\"");
}

void CheckMail::fileConfirmation(const std::string& requestAddress)
{
    GetMail& m = *mail_;
    const std::string to = requestAddress.empty() ? m.From() : requestAddress;
    const std::string date = DateText(std::time(nullptr));
    store_.SetCurrentMailBoxNumber(kToSendMailbox);
    store_.Msg_Flag = 'U';
    store_.Msg_Subject = kConfirmationSubjectPrefix + m.Subject();
    store_.Msg_From = settings_.RetAddr;
    store_.Msg_To = to;
    store_.Msg_Date = date;
    store_.Msg_Text = buildConfirmation(settings_.Name, settings_.RetAddr, to, date, m.Subject(), m.MessageText());
    store_.Msg_AttachStart = 0;
    store_.Msg_AttachEnd = 0;
    store_.Msg_Part = 0;
    store_.AppendMessage();
    unsyncedMailboxes_.push_back(kToSendMailbox);
    ++confirmations_;
}

void CheckMail::onMessage()
{
    GetMail& m = *mail_;
    if (m.Finished())
        return;
    view_.showProgress(size_ > 0 ? size_ : 1, size_ > 0 ? size_ : 1);
    const std::string key = uidlManager_ ? pendingKey_ : m.CurrentUIDL();
    pendingKey_.clear();
    try {
        // Journalled first: should the program die once the message is in, the next check
        // knows it was filed although "uidl.lst" does not say so yet.
        if (!key.empty()) {
            appendFilingEntry(profileDirectory_ + kFilingJournalFileName,
                              {filingFingerprint(m.MessageText(), firstAttachment_, lastAttachment_), key},
                              !journalled_);
            journalled_ = true;
        }
        fileMessage();
        received_ = true;
        ++filed_;
        if (firstSubjects_.size() < static_cast<std::size_t>(kNotifiedSubjects))
            firstSubjects_.push_back(m.Subject());
        if (uidlManager_ && !key.empty())
            uidlManager_->MarkSeen(key);
        else if (!key.empty())
            filedUids_.push_back(key);
        std::string request;
        if (settings_.ReturnReceipt && findReceiptRequest(m.MessageText(), request) &&
            !isConfirmation(m.Subject(), m.MessageText()))
            fileConfirmation(request);
    } catch (const FileError& e) {
        failFiling(e.what());
        return;
    }
    // One at a time, DELE follows at once: the message's attachments are flushed first.
    if (settings_.DeleteMailOnRetrieving && !m.Pipelined()) {
        try {
            makeDurable();
        } catch (const FileError& e) {
            failFiling(e.what());
            return;
        }
    }
    m.Opt_Delete = settings_.DeleteMailOnRetrieving;
    if (m.Opt_Delete && uidlManager_ && !key.empty())
        deletedKeys_.push_back(key);
    if (settings_.AutoAddAddress) {
        try {
            AddSender(profileDirectory_, m.From());
        } catch (const FileError& e) {
            // The mail is safe; a damaged address book is told but does not stop the check.
            view_.showFileError(e.what());
        }
    }
    ++index_;
    showDownloading();
    view_.showSubject(std::string());
}

void CheckMail::makeDurable()
{
    if (unsyncedFiles_.empty() && !unsyncedIndex_ && unsyncedMailboxes_.empty())
        return;
    // One flush of the file system takes every attachment file, the index, the mailboxes and
    // the renames together; a profile spread over two file systems gets one flush each.
    const std::string attachments = attachments_.AttachmentDirectory();
    syncFileSystem(attachments);
    const std::string mailboxes = store_.MailBoxDirectory();
    if (!unsyncedMailboxes_.empty() && !sameFileSystem(attachments, mailboxes))
        syncFileSystem(mailboxes);
    unsyncedFiles_.clear();
    unsyncedIndex_ = false;
    unsyncedMailboxes_.clear();
}

void CheckMail::recoverInterruptedFiling()
{
    const std::string journal = profileDirectory_ + kFilingJournalFileName;
    if (!fileExists(journal))
        return;
    try {
        // The attachment records of a check the power cut off may have been lost behind their
        // numbers; the numbers stay issued.
        attachments_.RestoreIssuedRecords();
        const std::vector<FilingEntry> entries = readFilingJournal(journal);
        if (!entries.empty()) {
            // What "New Mail" holds decides; a message the user moved away since is fetched again.
            std::unordered_set<std::string> stored;
            store_.SetCurrentMailBoxNumber(kNewMailMailbox);
            store_.VisitMessages([&stored](int, const MailboxRecord& r, const std::string& text) {
                if (text.empty())
                    return;
                FilingFingerprint f;
                f.add(std::string_view(text).substr(0, text.size() - (text.back() == '\0' ? 1 : 0)));
                stored.insert(f.finish(r.AttachStart, r.AttachEnd));
            });
            std::vector<std::string> filed;
            for (const FilingEntry& e : entries)
                if (stored.count(e.fingerprint))
                    filed.push_back(e.key);
            auto add = [&filed](const std::string& path) {
                const std::vector<std::string> before = readUidlFile(path);
                const std::vector<std::string> after = withIdentifiersAdded(before, filed);
                if (after.size() != before.size())
                    writeUidlFile(path, after);
            };
            if (!filed.empty()) {
                add(profileDirectory_ + kUidlFileName);
                // Its deletion, if one was sent, never took effect: the next session sends it.
                if (settings_.DeleteMailOnRetrieving)
                    add(profileDirectory_ + kPendingDeletionFileName);
            }
        }
        removeFileIfPresent(journal);
    } catch (const FileError& e) {
        // This check may then file again what the interrupted one had filed: twice, never lost.
        view_.showFileError(e.what());
    }
}

void CheckMail::saveFetchedLists()
{
    GetMail& m = *mail_;
    if (!m.ListingComplete()) {
        // Nothing is known about the server's messages: the lists stay exactly as they were.
        if (uidlManager_)
            uidlManager_->Discard();
        return;
    }
    const bool complete = m.QuitAnswered() && !m.CancelRequested();
    if (uidlManager_) {
        if (complete)
            uidlManager_->Release();
        else
            uidlManager_->ReleaseIncomplete();
    } else if (uidlMode_) {
        if (complete) {
            writeUidlFile(profileDirectory_ + kUidlFileName, m.KnownUIDLs.lines());
        } else {
            const std::vector<std::string> lines = withIdentifiersAdded(knownAtStart_, filedUids_);
            if (lines.size() != knownAtStart_.size())
                writeUidlFile(profileDirectory_ + kUidlFileName, lines);
        }
    }

    // Deletions are carried out by the server only once it has answered QUIT.
    const std::vector<std::string> deleted = uidlManager_ ? deletedKeys_ : m.DeletedUIDLs.lines();
    std::vector<std::string> pending;
    if (m.QuitAnswered()) {
        UidList done;
        done.assign(deleted);
        for (const std::string& id : pendingDeletions_) {
            const bool gone = !uidlManager_ && !m.ServerUIDLs.contains(id);
            if (!done.contains(id) && !gone)
                pending.push_back(id);
        }
    } else {
        pending = withIdentifiersAdded(pendingDeletions_, deleted);
    }
    if (pending == pendingDeletions_)
        return;
    const std::string path = profileDirectory_ + kPendingDeletionFileName;
    if (pending.empty())
        removeFileIfPresent(path);
    else
        writeUidlFile(path, pending);
}

void CheckMail::onDone()
{
    // What the saved UIDs call retrieved is on disk before they say so.
    try {
        makeDurable();
    } catch (const FileError& e) {
        view_.showFileError(e.what());
    }
    try {
        saveFetchedLists();
        // "uidl.lst" now tells what the journal told.
        removeFileIfPresent(profileDirectory_ + kFilingJournalFileName);
    } catch (const FileError& e) {
        view_.showFileError(e.what());
    }
    uidlManager_.reset();
    if (certificateRefused_) {
        // Asked from the event loop, never from inside the session's own report.
        QTimer::singleShot(0, this, [this] { judgeCertificate(); });
        return;
    }
    end();
}

void CheckMail::end()
{
    ok_ = mail_->QuitSent && mail_->ErrorCode == 0;
    running_ = false;
    view_.finished(ok_);
}

void CheckMail::judgeCertificate()
{
    certificateRefused_ = false;
    certificateJudged_ = true;
    const PeerCertificateInfo certificate = mail_->RefusedCertificate();
    const CertificateChoice choice =
        stopRequested_ ? CertificateChoice::Cancel : view_.judgeCertificate(certificate);
    if (choice == CertificateChoice::NotAsked)
        onError(refusalCode_, refusalText_);
    // A pin that cannot be written leaves the certificate accepted for this check; the next asks again.
    if (!acceptJudgedCertificate(choice, profileDirectory_, pinServerName(settings_.Pop3Server, settings_.Pop3Port),
                                 certificate.fingerprint, [this](const std::string& e) { view_.showFileError(e); })) {
        end();
        return;
    }
    acceptedFingerprint_ = certificate.fingerprint;
    // A fresh check: nothing of the refused session stays on screen.
    view_.showSecurity(std::string());
    view_.showSubject(std::string());
    view_.showCounter(std::string());
    view_.showProgress(0, 0);
    begin();
}

} // namespace tavik
