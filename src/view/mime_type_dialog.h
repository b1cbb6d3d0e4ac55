// The dialog that defines a MIME type ("Define new MIME type"), used by the registry editor's New
// and Edit and by the attachment dialog's "New type".
#pragma once

#include <QDialog>
#include <string>

#include "view/mime_manager.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace tavik {

// `TNewMimeTypeForm`: the major type chosen from a list, "/", the minor type (at most 25
// characters), "Description:" (30) and "Default extension:" (3). Run with exec() by its caller,
// which reads the fields after OK; OK is refused while the minor type is empty.
class TNewMimeTypeForm : public QDialog {
    Q_OBJECT
public:
    // The major types offered, in list order; the list's last item is kHtmlDocumentItem.
    static const char* const kMajorTypes[6];
    // The seventh item: a shorthand for text/html (major "text", minor "html").
    static constexpr const char* kHtmlDocumentItem = "html document";

    explicit TNewMimeTypeForm(QWidget* parent = nullptr);

    // The major type chosen ("text" for the "html document" item).
    std::string majorType() const;
    // Selects `major` (any letter case); a major type the list lacks is added to it, so that
    // editing an entry never changes its type unasked.
    void setMajorType(const std::string& major);
    // The minor type without surrounding blanks.
    std::string minorType() const;
    // A value longer than the field's 25 characters widens the field to hold it whole.
    void setMinorType(const std::string& minor);
    std::string description() const;
    void setDescription(const std::string& description);
    std::string extension() const;
    void setExtension(const std::string& extension);

    // The entry the fields define, as a new one: TypeName major "/" minor, the description and
    // extension, no viewer. Fields are cut to the record's widths.
    MimeTypeEntry newEntry() const;

    // OK: refused with "You must specify a MIME minor type" (focus on the minor type) while the
    // minor type is empty.
    void OKBtnClick();

    QComboBox* majorTypeBox() const { return major_; }
    QLineEdit* minorTypeEdit() const { return minor_; }
    QLineEdit* descriptionEdit() const { return description_; }
    QLineEdit* extensionEdit() const { return extension_; }
    QPushButton* okButton() const { return ok_; }

private:
    void majorTypeChosen(int index);

    QComboBox* major_ = nullptr;
    QLineEdit* minor_ = nullptr;
    QLineEdit* description_ = nullptr;
    QLineEdit* extension_ = nullptr;
    QPushButton* ok_ = nullptr;
};

} // namespace tavik
