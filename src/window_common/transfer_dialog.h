// The choice of the mailbox that messages move to.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QListWidget;
class QPushButton;

namespace tavik {

// `TTransferForm`: caption "Move message(s) to . . . . ", one entry per mailbox in mailbox-number
// order, entry i (from 0) drawn with picture min(i, 5) of the six: the five standard mailboxes,
// then one shared by every user folder. OK closes the dialog only while an entry is selected; a
// double click on an entry closes it with OK at once. Created, run with exec() and destroyed by
// whoever asks (QtUserInteraction::askMoveTarget).
class TTransferForm : public QDialog {
    Q_OBJECT
public:
    TTransferForm(const std::vector<std::string>& mailboxNames, QWidget* parent = nullptr);
    // The chosen mailbox's number (the selected entry's position from 1), 0 when none.
    int chosenMailbox() const;
    // Parts, for tests.
    QListWidget* mailboxList() const { return list_; }
    QPushButton* okButton() const { return ok_; }

private:
    void okClicked();

    QListWidget* list_;
    QPushButton* ok_;
};

// Picture `i` of the six (0 to 5), as the entries of the dialog show them.
QIcon transferPicture(int i);

} // namespace tavik
