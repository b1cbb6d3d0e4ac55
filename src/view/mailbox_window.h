// The mailbox window: the list of one mailbox's messages, the preview pane below it and the
// attachment strip at the bottom, with the commands that move through, delete, move and save
// messages.
#pragma once

#include <QWidget>
#include <string>
#include <vector>

#include "view/message_window_host.h"
#include "window_common/child_window.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSplitter;

namespace tavik {

// Reply, edit or forward (`mode`) of message `message` of `mailbox`: a new composition window
// filled from the stored text; the viewer window's answer also marks the message "R".
// "Save message to disk" of both windows: `lines` into a text file chosen in "Save Message Text".
void saveMessageText(const std::vector<std::string>& lines);
void answerStoredMessage(MessageWindowHost& host, int mailbox, int message, const std::string& mode, bool viewerWindow);

class AttachmentStripWidget;
class MailboxListWidget;
class TStringsViewer;

// `TMailboxForm`. Life cycle: created for one mailbox number, then Open() loads the list (store
// errors propagate and the caller discards the window). It lives in a child window of the host
// until the user closes it; closing frees it, and its list closes every viewer window opened
// from it. A double click on a row opens viewer windows (TViewMailForm) owned by the host.
// Column widths, the fonts of its three parts and the preview's "Wrap Long Lines" are kept in
// "custom.ini", section "MailBoxViewer": read when the window is first shown, the widths written
// when they changed at a list change and when the window closes, the rest when chosen.
class TMailboxForm : public QWidget, public MailChildWindow {
    Q_OBJECT
public:
    static constexpr const char* kLayoutFile = "custom.ini";
    static constexpr const char* kLayoutSection = "MailBoxViewer";

    TMailboxForm(MessageWindowHost& host, int mailboxNumber, QWidget* parent = nullptr);
    ~TMailboxForm() override;

    // Sets up the list for the mailbox (its captions and pictures) and loads it, warning once when
    // it holds damaged messages. FileError.
    void Open();

    Kind childKind() const override { return Kind::Mailbox; }
    int mailboxNumber() const override { return number_; }
    void nextMessage() override { NextMessage(); }
    void previousMessage() override { PreviousMessage(); }
    // Delete: after the question, the selected messages to Trash (nothing in Trash itself).
    // Reply, edit and forward of the current message.
    void replyMessage() override { Answer("reply"); }
    void replyAllMessage() override { Answer("replyall"); }
    // The Delete key: deleteMessages, except that in Trash the selected messages go for good
    // after kDeleteForGoodQuestion.
    void deleteKeyPressed();
    void editMessage() override { Answer("edit"); }
    void forwardMessage() override { Answer("forward"); }
    void Answer(const std::string& mode);
    void deleteMessages() override;
    // Move: the target is chosen in the move dialog.
    void moveMessages() override;
    void moveMessagesTo(int mailbox) override;
    // Save: the preview's lines to a text file chosen in "Save Message Text".
    void saveMessage() override;
    void printMessage() override;

    // `ViewMessage`: shows message n in the preview pane (asking for the password of an
    // enciphered one). Store errors are shown; the window stays as it was.
    void ViewMessage(int n);
    void NextMessage();
    void PreviousMessage();
    // The message the preview shows, 0 when none.
    int currentMessage() const { return current_; }
    // `ShowAllHeaders` and the header button that flips it.
    bool ShowAllHeaders() const { return showAllHeaders_; }
    void headerButtonClick();
    // A click on a counter or on their strip: hides the preview pane or shows it again.
    void togglePreviewPane();
    bool previewPaneShown() const;
    // The "Attachments" button: hides or shows the attachment strip.
    void attachmentsButtonClick();
    bool attachmentStripShown() const;
    // Empties the preview pane and the strip.
    void clearPreview();

    // Pop-up commands on the selected row's message.
    void addPersonToAddressBook();
    void markMessage(char flag);
    // "Set Font": the chosen font goes to that part of every open mailbox window.
    enum class Part { MessagesList, MessageText, AttachmentsList };
    void setFontOfPart(Part part);
    void applyFont(Part part, const QFont& font);
    // "Wrap Long Lines" of the preview pane: the choice goes to every open mailbox window and is
    // kept for the next ones.
    void setWrapLongLines(bool wrap);
    void applyWrapLongLines(bool wrap);

    // Parts, for the main window and tests.
    MailboxListWidget* list() const { return list_; }
    // The filter field above the list.
    QLineEdit* filterField() const { return filter_; }
    TStringsViewer* preview() const { return preview_; }
    AttachmentStripWidget* attachmentStrip() const { return strip_; }
    QLabel* messageCounter() const { return messageCounter_; }
    QLabel* unreadCounter() const { return unreadCounter_; }
    QWidget* counterStrip() const { return counterStrip_; }
    QPushButton* headerButton() const { return headerButton_; }
    QPushButton* attachmentsButton() const { return attachmentsButton_; }
    QMenu* popupMenu() const { return popup_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildPopup();
    void listChanged();
    void messagesRenumbered(const std::vector<int>& newNumbers);
    void updateHeaderButton();
    int selectedRowMessage() const;
    void readLayout();
    void writeLayout(bool onlyWhenChanged);
    std::string layoutPath() const;

    MessageWindowHost& host_;
    int number_;
    int current_ = 0;
    std::string currentDate_; // the shown message's date, which the preview leaves out
    bool showAllHeaders_ = false;
    bool stripWanted_ = true;      // the visibility the user gave the strip
    bool hasAttachments_ = false;  // the shown message lists attachments
    bool layoutRead_ = false;
    std::vector<int> savedWidths_;
    QList<int> previewSizes_;

    QSplitter* splitter_;
    QLineEdit* filter_;
    MailboxListWidget* list_;
    QWidget* counterStrip_;
    QLabel* messageCounter_;
    QLabel* unreadCounter_;
    QPushButton* attachmentsButton_;
    QPushButton* headerButton_;
    TStringsViewer* preview_;
    AttachmentStripWidget* strip_;
    QMenu* popup_;
    QAction* wrapAction_;
};

} // namespace tavik
