// The dialog that asks for the name of a new folder.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;

namespace tavik {

// `TItemNameForm`: caption "Name of the Item", prompt "Item Name:", an edit field, OK and
// Cancel. Created, run with exec() and destroyed by whoever asks (QtUserInteraction::askText,
// which also gives it other captions and prompts).
class TItemNameForm : public QDialog {
    Q_OBJECT
public:
    // The folder-name dialog; `caption` and `prompt` replace its two texts when given.
    explicit TItemNameForm(QWidget* parent = nullptr, const QString& caption = {}, const QString& prompt = {});
    // The text typed, as UTF-8.
    std::string itemName() const;
    void setItemName(const std::string& name);
    // The field, for tests.
    QLineEdit* nameField() const { return name_; }

private:
    QLineEdit* name_;
};

} // namespace tavik
