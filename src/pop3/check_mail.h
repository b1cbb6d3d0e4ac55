// The check-mail workflow without its window: one POP3 session per check, every message filed
// into "New Mail" with its attachments registered, "uidl.lst" carried from check to check,
// deletion on the server, return-receipt confirmations into "To Send", senders into the address
// book. What it shows goes through CheckMailView, which the progress dialog and tavikctl
// implement.
#pragma once

#include <QObject>

#include <memory>
#include <string>
#include <vector>

#include "pop3/check_mail_rules.h"
#include "pop3/get_mail.h"
#include "profile/certificate_pins.h"
#include "profile/settings.h"

namespace tavik {

class TNMailBox;
class TAttachmentManager;

// Status texts of a check.
inline constexpr const char* kStatusConnectingTo = "Connecting to ";
inline constexpr const char* kStatusConnectedTo = "Connected to ";
inline constexpr const char* kStatusDisconnected = "Disconnected";
inline constexpr const char* kStatusGettingMessage = "Getting Message";
inline constexpr const char* kStatusGettingList = "Getting message list";
inline constexpr const char* kStatusLoggedIn = "Logged in to server.";
inline constexpr const char* kStatusLoggingIn = "Logging in";
inline constexpr const char* kStatusResolving = "Resolving ";
inline constexpr const char* kStatusSkipping = "Skipping previously retrieved messages";
inline constexpr const char* kCounterDownloading = "Downloading: ";
inline constexpr const char* kCounterOf = " of ";
inline constexpr const char* kCounterMessagesLeft = "Messages left: ";

class CheckMailView {
public:
    virtual ~CheckMailView() = default;
    virtual void showStatus(const std::string& text) { (void)text; }
    virtual void showSubject(const std::string& text) { (void)text; }
    virtual void showCounter(const std::string& text) { (void)text; }
    // Whether the connection is encrypted: "Encrypted (TLS 1.3)" or "Not encrypted".
    virtual void showSecurity(const std::string& text) { (void)text; }
    // `maximum` 0: the size is not known.
    virtual void showProgress(long long value, long long maximum) { (void)value; (void)maximum; }
    // A session error with its box; only for the codes that have one.
    virtual void showError(int code, const std::string& title, const std::string& text)
    {
        (void)code; (void)title; (void)text;
    }
    // A file error (filing, attachment index, "uidl.lst"): the check ends.
    virtual void showFileError(const std::string& text) { (void)text; }
    // The check has ended; `ok` when the session got as far as QUIT.
    virtual void finished(bool ok) { (void)ok; }
    // The server's certificate is not trusted, or is not the one pinned for it: asked once per
    // check, after the session ended. NotAsked (the default) shows the session's error box.
    virtual CertificateChoice judgeCertificate(const PeerCertificateInfo& certificate)
    {
        (void)certificate;
        return CertificateChoice::NotAsked;
    }
};

// What a check nobody watches (the timer's) reports of a certificate it refused, for the main
// window's status bar: "Certificate of host:port not trusted: " and the first problem, or
// "Certificate of host:port changed since it was accepted".
std::string certificateRefusalText(const PeerCertificateInfo& certificate);

class CheckMail : public QObject {
    Q_OBJECT
public:
    // Standard mailbox numbers the check files into.
    static constexpr int kNewMailMailbox = 1;
    static constexpr int kToSendMailbox = 3;

    CheckMail(ProfileSettings settings, std::string profileDirectory, TNMailBox& store,
              TAttachmentManager& attachments, CheckMailView& view, QObject* parent = nullptr);
    ~CheckMail() override;

    // Opens the check: "uidl.lst" loaded, status "Connecting to " + server, and the session
    // started from the event loop (once a dialog is on screen).
    //
    // A certificate the session refused (not trusted, or not the pinned one) is put to the view
    // once the session has ended; an accepted one starts the check again from the beginning, as
    // a fresh check with that certificate accepted (and pinned, when the user said so). The view
    // is asked at most once per check: a second refusal shows its box.
    //
    // However the check ends, "uidl.lst" is rewritten only once the server's listing came in
    // whole, and then it holds every message filed: a check that got as far as QUIT's answer
    // writes what the server listed (or, without UIDL, what it saw); one that ended early adds
    // what it filed to the old lines. Messages filed for deletion whose QUIT went unanswered
    // wait in "uidl.del" for the next check with deletion on.
    void open();
    // The Stop button: the session's Cancel.
    void stop();

    bool Running() const { return running_; }
    bool Received() const { return received_; }   // at least one message was filed
    int Announced() const { return announced_; }  // messages the server offered
    int Filed() const { return filed_; }          // messages filed into "New Mail"
    // The subjects of the first messages filed (at most kNotifiedSubjects), for the news of it.
    const std::vector<std::string>& FirstSubjects() const { return firstSubjects_; }
    int Confirmations() const { return confirmations_; }
    bool Ok() const { return ok_; }
    bool UidlMode() const { return uidlMode_; }
    GetMail& Session() { return *mail_; }

private:
    void begin();
    void startSession();
    void judgeCertificate();
    void end();
    void onInfo(int info, const std::string& addinfo);
    void onError(int code, const std::string& addinfo);
    void onHeaders();
    void onMessage();
    void onDone();
    void fileMessage();
    void fileConfirmation(const std::string& requestAddress);
    void failFiling(const std::string& text);
    // Flushes what this check filed since the last time (attachment files and index, the
    // mailboxes appended to) to disk together. Throws FileError.
    void makeDurable();
    void showDownloading();
    // Reads the filing journal an interrupted check left: "uidl.lst" (and, deleting, "uidl.del")
    // gain the messages it had filed; then the journal goes.
    void recoverInterruptedFiling();
    void saveFetchedLists();

    ProfileSettings settings_;
    std::string profileDirectory_;
    TNMailBox& store_;
    TAttachmentManager& attachments_;
    CheckMailView& view_;
    std::unique_ptr<GetMail> mail_;
    std::unique_ptr<TUIDLManager> uidlManager_;
    std::string pendingKey_; // no-UIDL identifier of the message being retrieved
    std::vector<std::string> knownAtStart_;      // "uidl.lst" as the check found it
    std::vector<std::string> pendingDeletions_;  // "uidl.del" as the check found it
    bool journalled_ = false;                    // this session wrote to the filing journal
    std::vector<std::string> filedUids_;         // with UIDL: the UIDs of the messages filed
    std::vector<std::string> unsyncedFiles_;     // attachment files written since the last flush
    bool unsyncedIndex_ = false;                 // attachments registered since then
    std::vector<int> unsyncedMailboxes_;         // mailboxes appended to since then
    std::vector<std::string> deletedKeys_;       // without UIDL: identifiers whose DELE was sent
    std::vector<std::string> firstSubjects_;
    bool running_ = false;
    bool stopRequested_ = false;
    bool certificateRefused_ = false; // the session's certificate error waits for the view's judgement
    bool certificateJudged_ = false;  // the view was asked in this check
    int refusalCode_ = 0;
    std::string refusalText_;
    std::string acceptedFingerprint_; // the certificate the user accepted in this check
    bool received_ = false;
    bool uidlMode_ = true;
    bool ok_ = false;
    int remaining_ = 0;
    int announced_ = 0;
    int index_ = 0;
    int filed_ = 0;
    int confirmations_ = 0;
    long long size_ = 0;
    int firstAttachment_ = 0;
    int lastAttachment_ = 0;
    int attachmentInHand_ = 0;
};

} // namespace tavik
