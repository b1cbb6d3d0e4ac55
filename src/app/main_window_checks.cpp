// The main window: the one-minute timer and the checks for new mail it starts.
#include "app/main_window.h"

#include <QApplication>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>

#include "app/main_window_private.h"
#include "pop3/check_mail_rules.h"
#include "profile/file_util.h"
#include "store/mailbox_list_model.h"
#include "window_common/desktop_notifier.h"
#include "window_common/folder_tree_widget.h"

namespace tavik {

using namespace main_window_detail;

// ---------------------------------------------------------------------------------------------
// Timer and check mail

bool TMainForm::busy() const
{
    return checkRunning_ || workflows_->sessionRunning() || QApplication::activeModalWidget() != nullptr;
}

void TMainForm::SystemTimerTimer()
{
    if (state_ != State::ProfileOpen)
        return;
    // 1. One minute less.
    --checkCountdown_;
    // 2. Due: no second check may start while this one runs.
    if (checkCountdown_ < 1 && settings_.AutoCheckMail) {
        checkCountdown_ = kCheckRunningCountdown;
        if (busy()) {
            // A session or a modal dialog runs: the check waits for its end.
            timerCheckPending_ = true;
            return;
        }
        runCheckMail(CheckStart::Timer);
    }
}

void TMainForm::runCheckMail(CheckStart start)
{
    runCheckCommand([this, start] { workflows_->checkMail(*this, start); });
}

void TMainForm::runCheckCommand(const std::function<void()>& command)
{
    if (state_ != State::ProfileOpen || checkRunning_)
        return;
    checkRunning_ = true;
    struct Reset {
        TMainForm* window;
        ~Reset()
        {
            window->checkRunning_ = false;
            // 3. Whoever started it, the countdown starts again.
            window->checkCountdown_ = window->settings_.AutoCheckMinutes;
        }
    } reset{this};
    const int before = newMailCount();
    command();
    // New mail joined the bottom of the New Mail list: it is shown newest first again.
    if (newMailCount() > before)
        sortNewMailWindow();
}

int TMainForm::newMailCount()
{
    if (!mailboxesOpen_ || mailboxCount_ < 1)
        return 0;
    try {
        mailbox_.SetCurrentMailBoxNumber(1);
        return mailbox_.CurrentMailBoxMessages();
    } catch (const FileError&) {
        return 0;
    }
}

void TMainForm::scheduleIdleCheck()
{
    QTimer::singleShot(0, this, [this] { whenIdle(); });
}

void TMainForm::whenIdle()
{
    if (busy())
        return;
    if (closeWhenIdle_) {
        closeWhenIdle_ = false;
        close();
        return;
    }
    if (timerCheckPending_ && state_ == State::ProfileOpen) {
        timerCheckPending_ = false;
        try {
            runCheckMail(CheckStart::Timer);
        } catch (const std::exception& e) {
            showFileError(e);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Unread counts of the tree and news for the desktop

void TMainForm::mailboxChanged(const std::string& key)
{
    unreadStale_.insert(key);
    unreadTimer_->start();
}

void TMainForm::countUnread(bool all)
{
    if (all)
        unread_.clear();
    if (mailboxesOpen_) {
        for (int n = 1; n <= static_cast<int>(mailbox_.MailBoxes.size()); ++n) {
            const std::string key = mailbox_.MailboxKey(n);
            if (!all && unreadStale_.count(key) == 0)
                continue;
            try {
                const std::string flags = mailbox_.MessageFlags(key);
                unread_[n] = static_cast<int>(std::count_if(flags.begin(), flags.end(), isUnreadFlag));
            } catch (const FileError&) {
                // A damaged index says so where the mailbox is opened; the tree shows no count.
                unread_.erase(n);
            }
        }
    }
    unreadStale_.clear();
    treeWidget_->setUnreadCounts(unread_);
}

int TMainForm::unreadCount(int n) const
{
    const auto found = unread_.find(n);
    return found == unread_.end() ? -1 : found->second;
}

void TMainForm::announceNewMail(int count, const std::vector<std::string>& firstSubjects)
{
    if (count < 1)
        return;
    notifier_->notify(newMailSummary(count), newMailSubjectLines(firstSubjects),
                      newMailStatusText(count, mailbox_.MailboxDisplayName(1)));
}

void TMainForm::announceCheckFailure(const std::string& statusText, const std::string& detail)
{
    statusBar()->showMessage(fromStored(statusText));
    notifier_->notify(kCheckFailedSummary, detail, statusText, QStringLiteral("email"));
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    // A modal window going away may be what a waiting check or shutdown waits for.
    if (event->type() == QEvent::Hide && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->isWindow() && widget->isModal() && (timerCheckPending_ || closeWhenIdle_))
            scheduleIdleCheck();
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace tavik
