#include "window_common/certificate_dialog.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "window_common/text_conversion.h"

namespace tavik {

namespace {

QString serverText(const PeerCertificateInfo& certificate)
{
    return fromStored(certificate.host + ":" + std::to_string(certificate.port));
}

QLabel* selectableLabel(const QString& text)
{
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

} // namespace

std::string changedCertificateWarning(const PeerCertificateInfo& certificate)
{
    return "This server shows a different certificate from the one you accepted before. Someone may be "
           "intercepting the connection; accept the new certificate only if your provider says it changed.\r\n"
           "Accepted before: " + certificate.pinnedFingerprint + "\r\n"
           "Shown now: " + certificate.fingerprint;
}

TCertificateForm::TCertificateForm(const PeerCertificateInfo& certificate, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TCertificateForm"));
    setWindowTitle(QStringLiteral("Certificate"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);

    const bool changed = !certificate.pinnedFingerprint.empty();
    auto* warningRow = new QHBoxLayout;
    auto* warningPicture = new QLabel;
    warningPicture->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    warningPicture->setAlignment(Qt::AlignTop);
    warning_ = new QLabel(messageText(changedCertificateWarning(certificate)));
    warning_->setObjectName(QStringLiteral("WarningLbl"));
    warning_->setTextFormat(Qt::PlainText);
    warning_->setWordWrap(true);
    warning_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    warningRow->addWidget(warningPicture);
    warningRow->addWidget(warning_, 1);
    layout->addLayout(warningRow);
    warningPicture->setVisible(changed);
    warning_->setVisible(changed);
    if (changed)
        layout->addSpacing(8);

    auto* heading = new QLabel(QStringLiteral("The certificate of %1 is not trusted.").arg(serverText(certificate)));
    heading->setObjectName(QStringLiteral("HeadingLbl"));
    heading->setTextFormat(Qt::PlainText);
    layout->addWidget(heading);

    QStringList problems;
    for (const std::string& problem : certificate.problems)
        problems << fromStored(problem);
    fingerprint_ = selectableLabel(fromStored(certificate.fingerprint));
    fingerprint_->setObjectName(QStringLiteral("FingerprintLbl"));
    fingerprint_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* reasons = selectableLabel(problems.join(QLatin1Char('\n')));
    reasons->setObjectName(QStringLiteral("ReasonLbl"));
    reasons->setWordWrap(true);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Server:"), selectableLabel(serverText(certificate)));
    form->addRow(QStringLiteral("Reason:"), reasons);
    form->addRow(QStringLiteral("Subject:"), selectableLabel(fromStored(certificate.subject)));
    form->addRow(QStringLiteral("Issuer:"), selectableLabel(fromStored(certificate.issuer)));
    form->addRow(QStringLiteral("Valid:"), selectableLabel(fromStored(certificate.validFrom) + QStringLiteral(" \u2013 ") +
                                                           fromStored(certificate.validUntil)));
    form->addRow(QStringLiteral("SHA-256 fingerprint:"), fingerprint_);
    layout->addLayout(form);

    auto* advice = new QLabel(QStringLiteral("Accept it only if you know this is your server's certificate, for "
                                             "example because its fingerprint matches the one your provider "
                                             "publishes."));
    advice->setWordWrap(true);
    layout->addWidget(advice);
    layout->addSpacing(4);

    acceptPermanently_ = new QPushButton(QStringLiteral("Accept permanently"));
    acceptPermanently_->setObjectName(QStringLiteral("AcceptPermanentlyBtn"));
    acceptOnce_ = new QPushButton(QStringLiteral("Accept once"));
    acceptOnce_->setObjectName(QStringLiteral("AcceptOnceBtn"));
    cancel_ = new QPushButton(QStringLiteral("Cancel"));
    cancel_->setObjectName(QStringLiteral("CancelBtn"));
    // Enter must never accept, whichever button has the focus.
    for (QPushButton* b : {acceptPermanently_, acceptOnce_})
        b->setAutoDefault(false);
    cancel_->setDefault(true);
    connect(acceptPermanently_, &QPushButton::clicked, this, [this] { choose(CertificateChoice::AcceptPermanently); });
    connect(acceptOnce_, &QPushButton::clicked, this, [this] { choose(CertificateChoice::AcceptOnce); });
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(acceptPermanently_);
    buttons->addWidget(acceptOnce_);
    buttons->addWidget(cancel_);
    layout->addLayout(buttons);
    cancel_->setFocus();
    setMinimumWidth(560);
}

void TCertificateForm::choose(CertificateChoice choice)
{
    choice_ = choice;
    accept();
}

} // namespace tavik
