#include "pop3/get_mail_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "pop3/check_mail_rules.h"
#include "window_common/resources.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

// The bar counts in units that fit its int range whatever size the server announces.
int barValue(long long value, long long maximum)
{
    if (maximum <= 0)
        return 0;
    if (maximum <= 1000000000)
        return static_cast<int>(value);
    return static_cast<int>(value / (maximum / 1000000000 + 1));
}

} // namespace

TGetMailForm::TGetMailForm(const ProfileSettings& settings, const std::string& profileDirectory, TNMailBox& store,
                           TAttachmentManager& attachments, QWidget* parent)
    : QDialog(parent)
    , check_(std::make_unique<CheckMail>(settings, profileDirectory, store, attachments, *this))
{
    setObjectName(QStringLiteral("GetMailForm"));
    setWindowTitle(QStringLiteral("Checking for new mail . . . ."));
    setModal(true);
    auto* grid = new QGridLayout;
    auto* statusCaption = new QLabel(QStringLiteral("Status:"));
    auto* subjectCaption = new QLabel(QStringLiteral("Subject:"));
    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("StatusLbl"));
    subject_ = new QLabel;
    subject_->setObjectName(QStringLiteral("SubjectLbl"));
    auto* securityCaption = new QLabel(QStringLiteral("Security:"));
    security_ = new QLabel;
    security_->setObjectName(QStringLiteral("SecurityLbl"));
    for (QLabel* l : {status_, subject_, security_}) {
        l->setMinimumWidth(300);
        l->setTextFormat(Qt::PlainText);
    }
    grid->addWidget(statusCaption, 0, 0);
    grid->addWidget(status_, 0, 1);
    grid->addWidget(subjectCaption, 1, 0);
    grid->addWidget(subject_, 1, 1);
    grid->addWidget(securityCaption, 2, 0);
    grid->addWidget(security_, 2, 1);
    progress_ = new QProgressBar;
    progress_->setObjectName(QStringLiteral("ProgressBar"));
    progress_->setRange(0, 1);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    barRepaint_ = new QTimer(this);
    barRepaint_->setSingleShot(true);
    connect(barRepaint_, &QTimer::timeout, this, &TGetMailForm::showBar);
    counter_ = new QLabel;
    counter_->setObjectName(QStringLiteral("CounterLbl"));
    counter_->setTextFormat(Qt::PlainText);
    stop_ = new QPushButton(QStringLiteral("Stop"));
    stop_->setObjectName(QStringLiteral("StopBtn"));
    connect(stop_, &QPushButton::clicked, this, &TGetMailForm::StopBtnClick);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(counter_, 1);
    bottom->addWidget(stop_);
    ensureResources();
    auto* picture = new QLabel;
    picture->setPixmap(QIcon(QStringLiteral(":/pictures/TOOL_CHECK.png")).pixmap(32, 32));
    picture->setAlignment(Qt::AlignTop);
    auto* top = new QHBoxLayout;
    top->addWidget(picture);
    top->addSpacing(8);
    top->addLayout(grid, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(progress_);
    layout->addLayout(bottom);
    setMinimumWidth(440);
}

TGetMailForm::~TGetMailForm() = default;

void TGetMailForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!started_) {
        started_ = true;
        check_->open();
    }
}

void TGetMailForm::reject()
{
    if (ended_ || !started_)
        QDialog::reject();
    else
        StopBtnClick();
}

void TGetMailForm::StopBtnClick()
{
    check_->stop();
}

void TGetMailForm::showStatus(const std::string& text) { status_->setText(fromStored(text)); }
void TGetMailForm::showSecurity(const std::string& text) { security_->setText(fromStored(text)); }
void TGetMailForm::showSubject(const std::string& text) { subject_->setText(fromStored(text)); }
void TGetMailForm::showCounter(const std::string& text) { counter_->setText(fromStored(text)); }

void TGetMailForm::showProgress(long long value, long long maximum)
{
    // The bar repaints at once on every change; pipelined, changes come faster than a repaint
    // takes, so within 50 ms of the last one they wait for the next.
    constexpr int kRepaintMs = 50;
    barValue_ = value;
    barMaximum_ = maximum;
    if (barShown_.isValid() && barShown_.elapsed() < kRepaintMs) {
        if (!barRepaint_->isActive())
            barRepaint_->start(kRepaintMs - static_cast<int>(barShown_.elapsed()));
        return;
    }
    showBar();
}

void TGetMailForm::showBar()
{
    barRepaint_->stop();
    barShown_.restart();
    progress_->setRange(0, barMaximum_ > 0 ? barValue(barMaximum_, barMaximum_) : 1);
    progress_->setValue(barValue(barValue_, barMaximum_));
}

void TGetMailForm::showError(int, const std::string& title, const std::string& text)
{
    if (!unattended_) {
        userInteraction().error(title, text);
    } else if (unattendedError_.empty()) {
        // Nobody is there to close a box: boxes of later checks would stack over the program.
        unattendedError_ = checkFailedText(title, text);
        unattendedErrorDetail_ = text;
    }
}

void TGetMailForm::showFileError(const std::string& text)
{
    if (!unattended_) {
        userInteraction().error("Tavik mail", text);
    } else if (unattendedError_.empty()) {
        unattendedError_ = checkFailedText({}, text);
        unattendedErrorDetail_ = text;
    }
}

CertificateChoice TGetMailForm::judgeCertificate(const PeerCertificateInfo& certificate)
{
    if (unattended_) {
        certificateRefusal_ = certificateRefusalText(certificate);
        return CertificateChoice::Cancel;
    }
    return userInteraction().judgeCertificate(certificate);
}

void TGetMailForm::finished(bool ok)
{
    if (barRepaint_->isActive())
        showBar();
    ended_ = true;
    emit checkFinished(ok);
    done(ok ? QDialog::Accepted : QDialog::Rejected);
}

// ---- TNewMailMsgForm --------------------------------------------------------------------

TNewMailMsgForm::TNewMailMsgForm(int count, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("NewMailMsgForm"));
    setWindowTitle(QStringLiteral("New Mail income"));
    auto* picture = new QLabel;
    ensureResources();
    picture->setPixmap(QIcon(QStringLiteral(":/pictures/MAIL_UNREAD.png")).pixmap(32, 32));
    auto* heading = new QLabel(QStringLiteral("New Mail Income . . ."));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    count_ = new QLabel(QStringLiteral("You have %1 new message(s) ").arg(count));
    count_->setObjectName(QStringLiteral("CountLbl"));
    close_ = new QPushButton(QStringLiteral("Close"));
    close_->setObjectName(QStringLiteral("CloseBtn"));
    close_->setDefault(true);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    auto* top = new QHBoxLayout;
    top->addWidget(picture);
    auto* texts = new QVBoxLayout;
    texts->addWidget(heading);
    texts->addWidget(count_);
    top->addLayout(texts, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(close_, 0, Qt::AlignHCenter);
    setStyleSheet(QStringLiteral("TNewMailMsgForm { border: 1px solid palette(dark); }"));
}

void TNewMailMsgForm::mousePressEvent(QMouseEvent* event)
{
    QDialog::mousePressEvent(event);
    accept();
}

} // namespace tavik
