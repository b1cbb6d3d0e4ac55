// The question a user answers before the program talks to a server whose certificate the system
// does not trust, or whose certificate changed since the user accepted it.
#pragma once

#include <QDialog>

#include "net/vosk_socket.h"
#include "profile/certificate_pins.h"

class QLabel;
class QPushButton;

namespace tavik {

// `TCertificateForm`: caption "Certificate". Shows the server (host and port), why its
// certificate is not trusted, its subject, issuer, validity and SHA-256 fingerprint (selectable,
// so it can be compared with what the provider publishes). When the certificate replaces one the
// user accepted earlier, a warning at the top names both fingerprints. "Cancel" is the default
// and Escape's answer: a user who only presses Enter never accepts a certificate. Created, run
// with exec() and destroyed by whoever asks (QtUserInteraction::judgeCertificate).
class TCertificateForm : public QDialog {
    Q_OBJECT
public:
    explicit TCertificateForm(const PeerCertificateInfo& certificate, QWidget* parent = nullptr);
    // The button that closed the dialog; Cancel until one of the accept buttons was pressed.
    CertificateChoice choice() const { return choice_; }

    // Parts, for tests.
    QLabel* warningLabel() const { return warning_; }   // hidden unless the certificate changed
    QLabel* fingerprintLabel() const { return fingerprint_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* acceptOnceButton() const { return acceptOnce_; }
    QPushButton* acceptPermanentlyButton() const { return acceptPermanently_; }

private:
    void choose(CertificateChoice choice);

    CertificateChoice choice_ = CertificateChoice::Cancel;
    QLabel* warning_ = nullptr;
    QLabel* fingerprint_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* acceptOnce_ = nullptr;
    QPushButton* acceptPermanently_ = nullptr;
};

// The warning of a certificate that replaced an accepted one, naming both fingerprints.
std::string changedCertificateWarning(const PeerCertificateInfo& certificate);

} // namespace tavik
