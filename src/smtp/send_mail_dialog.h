// The send dialog ("Sending message . . . ."): one message's send with its status, progress and
// a log that "Info" shows or hides.
#pragma once

#include <QDialog>

#include <memory>

#include "smtp/outbox.h"

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace tavik {

// Shows one send. The caller fills SendMail1() and shows the dialog modally; the send begins
// once the dialog is on screen. The result is Accepted when the server took the message
// (QuitSent), Rejected otherwise.
//
// With the log hidden (AutoClose) the dialog closes itself when the send ends and "Stop" is
// disabled; "Info" shows the log, enables "Stop" and keeps the dialog open at the end until
// "Stop" closes it. Hiding the log again after the send ended closes the dialog, as AutoClose
// would have. Esc and the window's close button end a running send as "Stop" does, so a send
// can always be ended. Releasing the dialog drops the connection.
class TSendMailForm : public QDialog, public SendMailView {
    Q_OBJECT
public:
    static constexpr int kShortHeight = 153; // log hidden
    static constexpr int kTallHeight = 330;  // log shown

    explicit TSendMailForm(const ProfileSettings& settings, QWidget* parent = nullptr);
    // A send that reads the SMTP server's pinned certificate from, and pins an accepted one in,
    // `profileDirectory`.
    TSendMailForm(const ProfileSettings& settings, const std::string& profileDirectory, QWidget* parent = nullptr);
    ~TSendMailForm() override;

    // The dialog's session component, to be filled before the dialog is shown.
    SendMail& SendMail1() { return session_->Mail(); }
    SendSession& session() { return *session_; }
    bool AutoClose() const { return autoClose_; }
    bool sendEnded() const { return ended_; }

    // "Stop": closes with OK when the server accepted the message, else Cancel; a running send
    // is cancelled.
    void CloseBtnClick();

    // An outbox run: the dialog stays up from its first message (begun when it is shown) to
    // endRun(), each later one begun by sendNext() once the one before has ended, all on one
    // kept connection. "Stop" cancels the message under way and closes, which ends the run.
    void beginRun();
    void sendNext(const OutgoingMessage& message);
    // Quits the connection and closes as a single send would: at once, or on "Stop" while the
    // log is shown (the caller then waits with exec()).
    void endRun();
    bool closed() const { return closed_; }
    // "Info": shows or hides the log.
    void BitBtn2Click();

    QLabel* statusLabel() const { return status_; }
    QProgressBar* progressBar() const { return progress_; }
    QListWidget* sendingInfo() const { return log_; }
    QPushButton* stopButton() const { return stop_; }
    QPushButton* infoButton() const { return info_; }

    // SendMailView
    void showStatus(const std::string& text) override;
    void showSecurity(const std::string& text) override;
    void showProgressMaximum(long long maximum, bool resetPosition) override;
    void showProgressPosition(long long position) override;
    void showError(int code, const std::string& title, const std::string& text) override;
    void showRefusedRecipients(const std::string& title, const std::string& text) override;
    void finished(bool accepted) override;
    CertificateChoice judgeCertificate(const PeerCertificateInfo& certificate) override;

signals:
    void sendFinished(bool accepted);

protected:
    void showEvent(QShowEvent* event) override;
    void reject() override;

private:
    void closeWithResult();
    void updateBar();

    std::unique_ptr<SendSession> session_;
    QLabel* status_ = nullptr;
    QLabel* security_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QListWidget* log_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* info_ = nullptr;
    bool autoClose_ = true;
    bool runMode_ = false;
    bool started_ = false;
    bool ended_ = false;
    bool closed_ = false;
    long long maximum_ = 0;
    long long position_ = 0;
};

} // namespace tavik
