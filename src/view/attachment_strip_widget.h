// The attachment strip of the message windows: one entry per attachment of the message shown,
// drawn from its record in the attachment store, and the buttons that act on the selected one.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pop3/attachment_store.h"
#include "view/message_window_host.h"

class QListWidget;
class QToolButton;

namespace tavik {

// The size of an attachment as its entry shows it: bytes below 1024, then whole "K", then "M".
std::string attachmentSizeText(std::int32_t size);
// The two rows of an attachment's entry: name, size and type (cut to 86 characters), and the
// description; "<none>" for an empty name, type or description.
std::vector<std::string> attachmentEntryRows(const TMIMEAttachment& record);
// The picture of an entry: that of its major type when the type names one in lower case as
// stored ("image/..."), none for any other ("IMAGE/..." included).
std::string attachmentIconName(const std::string& contentType);

// A list whose items are attachment numbers (the item text is the number in decimal), each
// drawn 33 pixels high with the icon of its major type and its two rows, beside the three
// buttons of the window kind: "Display attachment", "Launch asociated application" and "Save
// attachment to disk" in a mailbox window, "In View", "Out View" and "Save" in a viewer window.
// A double click on an entry is the first button. The buttons report the selected number.
class AttachmentStripWidget : public QWidget {
    Q_OBJECT
public:
    explicit AttachmentStripWidget(MessageWindowKind kind, QWidget* parent = nullptr);

    // Fills the list with `numbers`, reading their records from `store` once; a number without
    // a record is listed with empty fields.
    void SetAttachments(TAttachmentManager& store, const std::vector<int>& numbers);
    void ClearAttachments();
    // The number of the selected entry, 0 when none.
    int SelectedAttachment() const;
    // Font of the entries.
    void SetListFont(const QFont& font);
    QFont ListFont() const;

    // Called with the selected number (never 0) by the buttons and the double click.
    std::function<void(int)> OnDisplay, OnLaunch, OnSave;

    // Parts, for tests.
    QListWidget* list() const { return list_; }
    QToolButton* displayButton() const { return display_; }
    QToolButton* launchButton() const { return launch_; }
    QToolButton* saveButton() const { return save_; }

private:
    void run(const std::function<void(int)>& command) const;

    QListWidget* list_;
    QToolButton* display_;
    QToolButton* launch_;
    QToolButton* save_;
};

class TStringsViewer;

// Sends the strip's buttons and the text's link clicks of a message window to the program's
// attachment and link commands, tagged with the kind of window they come from.
void connectAttachmentCommands(MessageWindowHost& host, MessageWindowKind kind, TStringsViewer& text,
                               AttachmentStripWidget& strip);

} // namespace tavik
