// The check-mail progress dialog ("Checking for new mail . . . .") and the new-mail notice.
#pragma once

#include <QDialog>
#include <QElapsedTimer>

#include <memory>

#include "pop3/check_mail.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace tavik {

// Shows one check: status, subject, progress, counter and "Stop". The check starts once the
// dialog is on screen; the dialog closes itself when the check has ended, accepted when the
// session got as far as QUIT. Esc and the close button stop the check rather than leave it
// running unseen.
class TGetMailForm : public QDialog, public CheckMailView {
    Q_OBJECT
public:
    TGetMailForm(const ProfileSettings& settings, const std::string& profileDirectory, TNMailBox& store,
                 TAttachmentManager& attachments, QWidget* parent = nullptr);
    ~TGetMailForm() override;

    CheckMail& check() { return *check_; }
    bool checkEnded() const { return ended_; }
    // A check nobody started by hand (the timer's): a certificate that is not trusted is never
    // put to the user and shows no box; the check ends and certificateRefusal() says why. Nor
    // does an error show its box: unattendedError() keeps the first one for the status bar.
    void setUnattended(bool unattended) { unattended_ = unattended; }
    // The first error of an unattended check as its box would have said it, in one line
    // (checkFailedText); empty when there was none.
    const std::string& unattendedError() const { return unattendedError_; }
    // The same error's text alone, for a desktop notification.
    const std::string& unattendedErrorDetail() const { return unattendedErrorDetail_; }
    // Why an unattended check refused the server's certificate (certificateRefusalText); empty
    // when it did not.
    const std::string& certificateRefusal() const { return certificateRefusal_; }
    // The Stop button's handler.
    void StopBtnClick();

    QLabel* statusLabel() const { return status_; }
    QLabel* subjectLabel() const { return subject_; }
    QLabel* counterLabel() const { return counter_; }
    QProgressBar* progressBar() const { return progress_; }
    QPushButton* stopButton() const { return stop_; }

    // CheckMailView
    void showStatus(const std::string& text) override;
    void showSubject(const std::string& text) override;
    void showCounter(const std::string& text) override;
    void showProgress(long long value, long long maximum) override;
    void showSecurity(const std::string& text) override;
    void showError(int code, const std::string& title, const std::string& text) override;
    void showFileError(const std::string& text) override;
    void finished(bool ok) override;
    CertificateChoice judgeCertificate(const PeerCertificateInfo& certificate) override;

signals:
    void checkFinished(bool ok);

protected:
    void showEvent(QShowEvent* event) override;
    void reject() override;

private:
    std::unique_ptr<CheckMail> check_;
    QLabel* security_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* subject_ = nullptr;
    QLabel* counter_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QElapsedTimer barShown_;          // since the bar last changed
    QTimer* barRepaint_ = nullptr;    // shows the change held back since
    long long barValue_ = 0, barMaximum_ = 0;
    void showBar();
    QPushButton* stop_ = nullptr;
    bool started_ = false;
    bool ended_ = false;
    bool unattended_ = false;
    std::string certificateRefusal_;
    std::string unattendedError_;
    std::string unattendedErrorDetail_;
};

// "New Mail income": a borderless notice of how many messages arrived; a click anywhere on it
// or on "Close" closes it. It is shown without holding the program (show, not exec): an
// unattended program goes on checking while it waits to be read.
class TNewMailMsgForm : public QDialog {
    Q_OBJECT
public:
    explicit TNewMailMsgForm(int count, QWidget* parent = nullptr);
    QLabel* countLabel() const { return count_; }
    QPushButton* closeButton() const { return close_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QLabel* count_ = nullptr;
    QPushButton* close_ = nullptr;
};

} // namespace tavik
