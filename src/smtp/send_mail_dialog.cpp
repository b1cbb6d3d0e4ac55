#include "smtp/send_mail_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

constexpr int kDialogWidth = 400;
constexpr long long kBarRange = 1000000000;

// The bar counts in units that fit its int range whatever the size.
int barValue(long long value, long long maximum)
{
    if (maximum <= 0 || value <= 0)
        return 0;
    if (value > maximum)
        value = maximum;
    if (maximum <= kBarRange)
        return static_cast<int>(value);
    return static_cast<int>(value / (maximum / kBarRange + 1));
}

} // namespace

TSendMailForm::TSendMailForm(const ProfileSettings& settings, const std::string& profileDirectory, QWidget* parent)
    : TSendMailForm(settings, parent)
{
    session_->ProfileDirectory = profileDirectory;
}

TSendMailForm::TSendMailForm(const ProfileSettings& settings, QWidget* parent)
    : QDialog(parent)
    , session_(std::make_unique<SendSession>(settings, *this))
{
    setObjectName(QStringLiteral("SendMailForm"));
    setWindowTitle(QStringLiteral("Sending message . . . ."));
    setModal(true);
    auto* heading = new QLabel(QStringLiteral("Sending mail . . ."));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("Status"));
    status_->setTextFormat(Qt::PlainText);
    status_->setMinimumWidth(300);
    security_ = new QLabel;
    security_->setObjectName(QStringLiteral("SecurityLbl"));
    security_->setTextFormat(Qt::PlainText);
    progress_ = new QProgressBar;
    progress_->setObjectName(QStringLiteral("ProgressBar1"));
    progress_->setRange(0, 1);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    info_ = new QPushButton(QStringLiteral("Info"));
    info_->setObjectName(QStringLiteral("BitBtn2"));
    stop_ = new QPushButton(QStringLiteral("Stop"));
    stop_->setObjectName(QStringLiteral("CloseBtn"));
    stop_->setEnabled(false);
    connect(info_, &QPushButton::clicked, this, &TSendMailForm::BitBtn2Click);
    connect(stop_, &QPushButton::clicked, this, &TSendMailForm::CloseBtnClick);
    log_ = new QListWidget;
    log_->setObjectName(QStringLiteral("SendingInfo"));
    log_->setSelectionMode(QAbstractItemView::NoSelection);
    log_->setMinimumHeight(0);
    log_->hide();

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(info_);
    buttons->addWidget(stop_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addWidget(status_);
    layout->addWidget(security_);
    layout->addWidget(progress_);
    layout->addLayout(buttons);
    layout->addWidget(log_, 1);
    setFixedSize(kDialogWidth, kShortHeight);
}

TSendMailForm::~TSendMailForm() = default;

void TSendMailForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!started_) {
        started_ = true;
        autoClose_ = true;
        session_->open();
    }
}

void TSendMailForm::reject()
{
    if (!started_) {
        closed_ = true;
        QDialog::reject();
        return;
    }
    // After the end too: a message the server took must not be reported as not sent (it would
    // stay queued and go out twice).
    CloseBtnClick();
}

void TSendMailForm::closeWithResult()
{
    closed_ = true;
    done(session_->Accepted() ? QDialog::Accepted : QDialog::Rejected);
}

void TSendMailForm::CloseBtnClick()
{
    if (closed_)
        return;
    // The caller releases the dialog next; the send must not go on unseen meanwhile.
    if (!ended_)
        session_->stop();
    if (!closed_)
        closeWithResult();
}

void TSendMailForm::BitBtn2Click()
{
    if (log_->isHidden()) {
        log_->show();
        autoClose_ = false;
        stop_->setEnabled(true);
        setFixedSize(kDialogWidth, kTallHeight);
    } else {
        log_->hide();
        autoClose_ = true;
        stop_->setEnabled(false);
        setFixedSize(kDialogWidth, kShortHeight);
        // The end has passed while the dialog waited for "Stop": close as AutoClose would have,
        // rather than stay open with "Stop" disabled.
        if (ended_ && !closed_)
            closeWithResult();
    }
}

void TSendMailForm::showSecurity(const std::string& text) { security_->setText(fromStored(text)); }

void TSendMailForm::showStatus(const std::string& text)
{
    const QString line = fromStored(text);
    status_->setText(line);
    log_->addItem(line);
}

void TSendMailForm::updateBar()
{
    progress_->setRange(0, maximum_ > 0 ? barValue(maximum_, maximum_) : 1);
    progress_->setValue(barValue(position_, maximum_));
}

void TSendMailForm::showProgressMaximum(long long maximum, bool resetPosition)
{
    maximum_ = maximum > 0 ? maximum : 0;
    if (resetPosition)
        position_ = 0;
    updateBar();
}

void TSendMailForm::showProgressPosition(long long position)
{
    position_ = position > 0 ? position : 0;
    progress_->setValue(barValue(position_, maximum_));
}

void TSendMailForm::showError(int, const std::string& title, const std::string& text)
{
    userInteraction().error(title, text);
}

void TSendMailForm::showRefusedRecipients(const std::string& title, const std::string& text)
{
    showStatus(kRefusedRecipientsTitle);
    userInteraction().warn(title, text);
}

CertificateChoice TSendMailForm::judgeCertificate(const PeerCertificateInfo& certificate)
{
    return userInteraction().judgeCertificate(certificate);
}

void TSendMailForm::finished(bool accepted)
{
    ended_ = true;
    emit sendFinished(accepted);
    if (autoClose_ && !closed_ && !runMode_)
        closeWithResult();
}

void TSendMailForm::beginRun()
{
    runMode_ = true;
    session_->KeepConnection = true;
}

void TSendMailForm::sendNext(const OutgoingMessage& message)
{
    if (!runMode_ || closed_ || !ended_)
        return;
    ended_ = false;
    showProgressMaximum(0, true);
    session_->sendNext(message);
}

void TSendMailForm::endRun()
{
    if (!runMode_)
        return;
    runMode_ = false;
    session_->closeConnection();
    if (autoClose_ && !closed_)
        closeWithResult();
}

} // namespace tavik
