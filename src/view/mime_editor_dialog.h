// The MIME type registry editor ("Mime Types"), opened from the main window's "MIM&E Setup".
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QWidget;

namespace tavik {

class TMimeManager;
struct MimeTypeEntry;

// The list line of entry `number`: TypeName "|" Extension "|" Application "|" number, all in
// lower case; the editor sorts by these lines.
std::string mimeEditorLine(const TMimeManager& mime, int number);
// The editor's picture for a list line, by its first letter alone: "au" audio, any other "a"
// application, "i" image, "m" message, "t" text, "v" video; empty for anything else.
std::string mimeEditorIconName(const std::string& line);

// `TMimeEditor`: every registry entry as a sorted line (icon, type, extension, application),
// the selected entry's details, and "Browse", "New", "Edit", "Delete", "Close". Every change goes
// straight into the registry (not owned; it must outlive the editor), which writes its file when
// the profile closes.
class TMimeEditor : public QDialog {
    Q_OBJECT
public:
    explicit TMimeEditor(TMimeManager& mime, QWidget* parent = nullptr);

    // The lines in the order shown.
    std::vector<std::string> lines() const;
    // Entry number of the selected line; 0 when none is.
    int selectedEntry() const;
    // Selects the line of entry `number`; false when there is none.
    bool selectEntry(int number);

    // "Browse": a viewer program for the selected entry, stored with ViewerSet 1.
    void BrowseBtnClick();
    // "New": an entry from the new-type dialog, major type "application" preselected.
    void NewBtnClick();
    // "Edit": the new-type dialog filled from the selected entry; the result is stored beside or
    // over it (same type and extension: over it), keeping its viewer.
    void EditBtnClick();
    // "Delete": removes the selected entry without asking; the built-in ones stay.
    void DeleteBtnClick();

    QTreeWidget* typeList() const { return list_; }
    QLineEdit* typeField() const { return type_; }
    QLineEdit* descriptionField() const { return description_; }
    QLineEdit* extensionField() const { return extension_; }
    QLineEdit* applicationField() const { return application_; }
    // The button captioned `text` ("Browse", "New", ...); null when there is none.
    QPushButton* button(const QString& text) const;

private:
    // Rebuilds the list and selects entry `select`, or the first line when it is not there.
    void fill(int select);
    void showSelected();
    // Stores `entry` and selects it; a full registry is reported.
    void store(const MimeTypeEntry& entry);

    TMimeManager& mime_;
    QTreeWidget* list_ = nullptr;
    QLineEdit* type_ = nullptr;
    QLineEdit* description_ = nullptr;
    QLineEdit* extension_ = nullptr;
    QLineEdit* application_ = nullptr;
    std::vector<QPushButton*> buttons_;
};

// Runs the editor modally over `parent` on the profile's registry.
void runMimeEditor(QWidget* parent, TMimeManager& mime);

} // namespace tavik
