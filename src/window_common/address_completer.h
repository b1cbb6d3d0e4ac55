// Completion of the recipient fields as the user types: a pop-up list of the proposals of
// AddressCompletion for the address under the cursor. A field holds one recipient a line; an
// address typed after a comma on a line is completed too, and accepting it puts it on a line
// of its own, as the field is sent.
#pragma once

#include <QObject>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "addressbook/address_completion.h"

class QCompleter;
class QPlainTextEdit;
class QStringListModel;

namespace tavik {

// One field's completer, a child of its field. The candidates are shared by the fields of one
// window and read again from the profile when a field gains the focus, so what the address book
// window changed is proposed at once.
class AddressCompleter : public QObject {
    Q_OBJECT
public:
    struct Source;
    AddressCompleter(QPlainTextEdit* field, std::shared_ptr<Source> source);
    ~AddressCompleter() override;

    // The pop-up list, for the tests (its popup() is the list shown).
    QCompleter* completer() const { return completer_; }
    // Accepts proposal `row` of the list shown: replaces the address being typed by its lines.
    void accept(int row);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void textChanged();
    // The piece of the cursor's line being typed: from after the last comma before the cursor
    // to the next comma or the line's end.
    void currentPiece(int& start, int& end, QString& typed) const;

    QPlainTextEdit* field_;
    std::shared_ptr<Source> source_;
    QCompleter* completer_;
    QStringListModel* model_;
    std::vector<AddressProposal> shown_;
    bool inserting_ = false;
};

// Installs completers on the recipient fields of one window, sharing the profile's candidates.
void installAddressCompleters(std::initializer_list<QPlainTextEdit*> fields, const std::string& profileDirectory);

// Records the recipient lines of a message sent or queued as the recent addresses of the
// profile; a failure is shown as an error under `title` (the message itself is gone already).
void rememberRecipients(const std::string& profileDirectory, const std::string& title,
                        std::initializer_list<const std::vector<std::string>*> lineLists);

} // namespace tavik
