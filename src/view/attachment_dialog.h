// The attachment dialog of composition ("Message Attachments"): picks the files a message
// carries, with the name, MIME type and description each is announced with, and can open them.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "smtp/message_writer.h"

class QComboBox;
class QFileSystemModel;
class QLineEdit;
class QListView;
class QListWidget;
class QModelIndex;
class QPushButton;

namespace tavik {

class TMimeManager;

// `TAttachmentForm`: a directory browser on the left, the attachment list (keyed by path, at most
// kMaxComposedAttachments) on the right, the selected attachment's fields below it. The
// descriptors are the dialog's own copy until the caller takes them back; changes to the
// registry (new types, viewers) go straight into `mime` (not owned; it must outlive the dialog).
class TAttachmentForm : public QDialog {
    Q_OBJECT
public:
    // `attachments` are the composition's descriptors; `startDirectory` is the directory shown
    // first (empty: the home directory).
    TAttachmentForm(TMimeManager& mime, std::vector<TOutgoingAttachment> attachments,
                    const std::string& startDirectory = {}, QWidget* parent = nullptr);

    // The descriptors as they stand, edits of the fields included.
    const std::vector<TOutgoingAttachment>& attachments() const { return attachments_; }

    // Adds the files as a double click, "Add Attachment >>>" or a drop does: a listed path and a
    // directory are passed over, a path too long for the record or one past the limit is
    // refused with a box. The last one added is selected. Returns how many were added.
    int addFiles(const std::vector<std::string>& paths);
    // The directory the file list shows (file-system bytes, no trailing "/"), and a change of it;
    // false when `directory` is none.
    std::string directory() const;
    bool setDirectory(const std::string& directory);

    // "Add Attachment >>>": the files selected in the file list.
    void AddBtnClick();
    // "Remove Attachment <<<": the selected attachment; later ones move up.
    void RemoveBtnClick();
    // "New type": the new-type dialog prefilled from the attachment's extension; the type made
    // becomes the attachment's.
    void NewTypeBtnClick();
    // "View Attachment": opens the file with its type's viewer, asking for one first when the
    // type has none.
    void ViewBtnClick();

    QListView* fileList() const { return files_; }
    QFileSystemModel* fileModel() const { return fileModel_; }
    QLineEdit* pathEdit() const { return path_; }
    QListWidget* attachmentList() const { return list_; }
    QLineEdit* nameEdit() const { return name_; }
    QComboBox* typeBox() const { return type_; }
    QLineEdit* descriptionEdit() const { return description_; }
    QLineEdit* locationEdit() const { return location_; }
    // The button captioned `text` ("New type", "OK", ...); null when there is none.
    QPushButton* button(const QString& text) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fileActivated(const QModelIndex& index);
    void fillTypes();
    void rebuildList(int select);
    // Shows the selected attachment in the fields, or empties and disables them.
    void showSelected();
    // Writes the three editable fields back into the shown descriptor.
    void commitFields();
    int shownRow() const;

    TMimeManager& mime_;
    std::vector<TOutgoingAttachment> attachments_;
    bool showing_ = false; // the fields are being filled, not edited
    QFileSystemModel* fileModel_ = nullptr;
    QListView* files_ = nullptr;
    QLineEdit* path_ = nullptr;
    QListWidget* list_ = nullptr;
    QLineEdit* location_ = nullptr;
    QLineEdit* name_ = nullptr;
    QComboBox* type_ = nullptr;
    QLineEdit* description_ = nullptr;
    std::vector<QPushButton*> buttons_;
};

// Appends `paths` to a composition's descriptors as the dialog adds files, in order: a listed
// path and a directory are passed over, a path too long for the record or one past the limit is
// refused with a box; name = the file-name part, type = mime.TypeOfFile. Returns how many were added.
int addAttachmentFiles(TMimeManager& mime, std::vector<TOutgoingAttachment>& attachments,
                       const std::vector<std::string>& paths);

// Runs the dialog modally on a copy of `attachments`; on OK the copy replaces them and the
// answer is true, on Cancel they stay as they were. `lastDirectory`, when given, receives the
// directory the dialog showed last (OK or Cancel), for the next one to open in.
bool runAttachmentDialog(QWidget* parent, TMimeManager& mime, std::vector<TOutgoingAttachment>& attachments,
                         const std::string& startDirectory = {}, std::string* lastDirectory = nullptr);

} // namespace tavik
