// "Find in all mailboxes": a text field, a Find button and the messages found (mailbox, From,
// Subject, Date). The search runs on a thread of its own over the mailbox files, so the window
// stays alive and the hits appear as they are found; a double click or Enter on a hit opens its
// message.
#pragma once

#include <QDialog>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "store/mail_search.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tavik {

// Life cycle: made once by the main window and shown again as asked; a search started while
// another runs stops that one first. Closing the dialog stops a running search; destroying it
// waits for the thread to end.
class FindMailDialog : public QDialog {
    Q_OBJECT
public:
    // Column of the mailbox's display name; From, Subject and Date follow.
    static constexpr int kColumnMailbox = 0;

    explicit FindMailDialog(QWidget* parent = nullptr);
    ~FindMailDialog() override;

    // Where the mailboxes are: their directory and the "key=name" list, read at each search.
    std::function<void(std::string& mailBoxDirectory, std::vector<std::string>& mailBoxes)> MailboxesToSearch;
    // Opens a hit's message; set by the main window.
    std::function<void(const MailSearchHit& hit)> OpenHit;

    // Searches for the field's text (nothing for an empty one).
    void find();
    // Stops a running search and forgets the hits (the profile they came from is closing).
    void clear();
    bool searching() const { return worker_.joinable() && !finished_; }
    // The hits shown, in the order of the rows.
    const std::vector<MailSearchHit>& hits() const { return hits_; }

    QLineEdit* textField() const { return text_; }
    QPushButton* findButton() const { return findButton_; }
    QTreeWidget* results() const { return results_; }
    QLabel* status() const { return status_; }

signals:
    // A search ran to its end or was stopped.
    void searchFinished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void stopSearch();
    void addHits(unsigned generation, const std::vector<MailSearchHit>& hits);
    void finishSearch(unsigned generation, const MailSearchOutcome& outcome);
    void openItem(QTreeWidgetItem* item);

    QLineEdit* text_;
    QPushButton* findButton_;
    QTreeWidget* results_;
    QLabel* status_;
    std::vector<std::string> names_; // display names of the mailboxes searched
    std::vector<MailSearchHit> hits_;
    std::thread worker_;
    std::atomic<bool> stop_{false};
    bool finished_ = true;
    unsigned generation_ = 0; // hits of an earlier search that arrive late are dropped
    QString searched_;
};

} // namespace tavik
