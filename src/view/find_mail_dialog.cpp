#include "view/find_mail_dialog.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <chrono>

#include "store/mailbox_list_model.h"
#include "store/mailbox_store.h"
#include "window_common/text_conversion.h"

namespace tavik {

namespace {

constexpr int kHitRole = Qt::UserRole + 1;
// Hits reach the window in batches: often enough to see them come, seldom enough that a
// search finding everything does not flood the event queue.
constexpr std::size_t kBatch = 256;
constexpr auto kBatchInterval = std::chrono::milliseconds(100);

} // namespace

FindMailDialog::FindMailDialog(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FindMailDialog"));
    setWindowTitle(QStringLiteral("Find in all mailboxes"));
    auto* label = new QLabel(QStringLiteral("&Find messages holding:"), this);
    text_ = new QLineEdit(this);
    text_->setObjectName(QStringLiteral("FindText"));
    label->setBuddy(text_);
    findButton_ = new QPushButton(QStringLiteral("Find"), this);
    findButton_->setObjectName(QStringLiteral("FindButton"));
    // Enter on a hit opens it; it must not start the search again.
    findButton_->setAutoDefault(false);
    results_ = new QTreeWidget(this);
    results_->setObjectName(QStringLiteral("FindResults"));
    results_->setHeaderLabels({QStringLiteral("Mailbox"), QStringLiteral("From"), QStringLiteral("Subject"),
                               QStringLiteral("Date")});
    results_->setRootIsDecorated(false);
    results_->setUniformRowHeights(true);
    results_->setAllColumnsShowFocus(true);
    results_->header()->resizeSection(0, 110);
    results_->header()->resizeSection(1, 180);
    results_->header()->resizeSection(2, 240);
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("FindStatus"));

    auto* row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(text_, 1);
    row->addWidget(findButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(results_, 1);
    layout->addWidget(status_);
    resize(720, 420);

    connect(findButton_, &QPushButton::clicked, this, [this] { find(); });
    connect(text_, &QLineEdit::returnPressed, this, [this] { find(); });
    connect(results_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) { openItem(item); });
}

FindMailDialog::~FindMailDialog() { stopSearch(); }

void FindMailDialog::stopSearch()
{
    stop_ = true;
    if (worker_.joinable())
        worker_.join();
    stop_ = false;
    finished_ = true;
}

void FindMailDialog::clear()
{
    stopSearch();
    ++generation_;
    hits_.clear();
    results_->clear();
    status_->clear();
}

void FindMailDialog::closeEvent(QCloseEvent* event)
{
    if (searching()) {
        stopSearch();
        ++generation_; // the stopped search's last report is not wanted
        status_->setText(QStringLiteral("The search was stopped."));
        emit searchFinished();
    }
    QDialog::closeEvent(event);
}

void FindMailDialog::find()
{
    const SearchText needle(toStored(text_->text()));
    if (needle.empty())
        return;
    clear();
    std::string directory;
    std::vector<std::string> boxes;
    if (MailboxesToSearch)
        MailboxesToSearch(directory, boxes);
    {
        TNMailBox names;
        names.MailBoxes = boxes;
        names_.clear();
        for (int n = 1; n <= static_cast<int>(boxes.size()); ++n)
            names_.push_back(names.MailboxDisplayName(n));
    }
    searched_ = text_->text();
    status_->setText(QStringLiteral("Searching..."));
    finished_ = false;
    const unsigned generation = generation_;
    worker_ = std::thread([this, generation, directory, boxes, needle] {
        std::vector<MailSearchHit> batch;
        auto sent = std::chrono::steady_clock::now();
        auto send = [&] {
            if (batch.empty())
                return;
            QMetaObject::invokeMethod(
                this, [this, generation, hits = std::move(batch)] { addHits(generation, hits); }, Qt::QueuedConnection);
            batch.clear();
            sent = std::chrono::steady_clock::now();
        };
        MailSearchOutcome outcome;
        try {
            outcome = searchMailboxes(directory, boxes, needle, {}, [&](const MailSearchHit& hit) {
                batch.push_back(hit);
                if (batch.size() >= kBatch || std::chrono::steady_clock::now() - sent >= kBatchInterval)
                    send();
            }, &stop_);
        } catch (const std::exception& e) {
            outcome.Failures.push_back(e.what());
        }
        send();
        QMetaObject::invokeMethod(
            this, [this, generation, outcome] { finishSearch(generation, outcome); }, Qt::QueuedConnection);
    });
}

void FindMailDialog::addHits(unsigned generation, const std::vector<MailSearchHit>& hits)
{
    if (generation != generation_)
        return;
    QList<QTreeWidgetItem*> rows;
    rows.reserve(static_cast<qsizetype>(hits.size()));
    for (const MailSearchHit& hit : hits) {
        const std::string name = hit.Mailbox >= 1 && hit.Mailbox <= static_cast<int>(names_.size())
                                     ? names_[static_cast<std::size_t>(hit.Mailbox - 1)]
                                     : std::to_string(hit.Mailbox);
        auto* item = new QTreeWidgetItem({fromStored(name), fromStored(displayFrom(hit.From)), fromStored(hit.Subject),
                                          fromStored(displayDate(hit.Date))});
        item->setData(0, kHitRole, static_cast<qulonglong>(hits_.size()));
        hits_.push_back(hit);
        rows.push_back(item);
    }
    results_->addTopLevelItems(rows);
    status_->setText(QStringLiteral("Searching... %1 message(s) found").arg(hits_.size()));
}

void FindMailDialog::finishSearch(unsigned generation, const MailSearchOutcome& outcome)
{
    if (generation != generation_)
        return;
    if (worker_.joinable())
        worker_.join();
    finished_ = true;
    QString text = outcome.Found > 0 ? QStringLiteral("%1 message(s) found.").arg(outcome.Found)
                                     : QStringLiteral("No message holds \"%1\".").arg(searched_);
    if (outcome.Stopped)
        text = QStringLiteral("The search was stopped.");
    for (const std::string& failure : outcome.Failures)
        text += QLatin1Char(' ') + fromStored(failure);
    status_->setText(text);
    if (!hits_.empty() && !results_->currentItem())
        results_->setCurrentItem(results_->topLevelItem(0));
    emit searchFinished();
}

void FindMailDialog::openItem(QTreeWidgetItem* item)
{
    if (!item || !OpenHit)
        return;
    const auto at = item->data(0, kHitRole).toULongLong();
    if (at < hits_.size())
        OpenHit(hits_[static_cast<std::size_t>(at)]);
}

} // namespace tavik
