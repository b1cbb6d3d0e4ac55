// The viewer window: one stored message with its header block, its body and its attachments,
// driven by the mailbox list it was opened from.
#pragma once

#include <QWidget>
#include <string>
#include <vector>

#include "store/mailbox_list_model.h"
#include "view/message_window_host.h"
#include "window_common/child_window.h"

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QMdiSubWindow;
class QSplitter;

namespace tavik {

class AttachmentStripWidget;
class TStringsViewer;

// `TViewMailForm`. Life cycle: created by a mailbox list's OpenSelected (through the mailbox
// window's factory), made a child window of the host, bound to the list by notice 1025 and
// filled by 1026. It closes on 1027, on its close box or on a double click on its header block,
// and frees itself; a window that closes on its own gives up its slot in the list. Fonts and
// colours of its parts and the body's "Wrap Long Lines" are kept in "custom.ini", section
// "ViewMail".
class TViewMailForm : public QWidget, public MailChildWindow, public MessageViewerWindow {
    Q_OBJECT
public:
    static constexpr const char* kLayoutSection = "ViewMail";

    explicit TViewMailForm(MessageWindowHost& host, QWidget* parent = nullptr);
    ~TViewMailForm() override;

    // The list's notices 1025 to 1028.
    void ReceiveNotice(const ViewerWindowNotice& notice) override;
    void BringToFront() override;

    Kind childKind() const override { return Kind::Viewer; }
    int mailboxNumber() const override { return mailbox_; }
    // Next and Previous in the list's display order.
    void nextMessage() override;
    void previousMessage() override;
    // Delete: after the question, the message to Trash (nothing in Trash itself); the list's
    // removal notice then closes the window.
    // Reply, edit and forward of the window's message, which is marked "R".
    void replyMessage() override { Answer("reply"); }
    void replyAllMessage() override { Answer("replyall"); }
    void editMessage() override { Answer("edit"); }
    void forwardMessage() override { Answer("forward"); }
    void Answer(const std::string& mode);
    void deleteMessages() override;
    // The Delete key: deleteMessages, except that in Trash the message goes for good after
    // kDeleteForGoodQuestion.
    void deleteKeyPressed();
    void moveMessages() override;
    void moveMessagesTo(int mailbox) override;
    // Save: the body's lines to a text file chosen in "Save Message Text".
    void saveMessage() override;
    void printMessage() override;

    // Shows message `message` of mailbox `mailbox` (notice 1026), marking an unread one viewed.
    void ShowMessage(int mailbox, int message);
    // The message shown, and the list the window belongs to (nullptr once it let go).
    int messageNumber() const { return message_; }
    NMailboxViewer* list() const { return list_; }
    // Closes the window (its child window when it has one).
    void closeWindow();

    // Pop-up commands.
    enum class Part { MailBodyText, Headers, HeaderLabels, Attachments };
    void setFontOfPart(Part part);
    enum class Area { Headers, HeaderLabels, MailBodyBackground };
    void setColorOfArea(Area area);
    void addSenderToAddressBook();

    // Parts, for tests.
    QFrame* headerBlock() const { return headerBlock_; }
    QLabel* fromValue() const { return values_[0]; }
    QLabel* subjectValue() const { return values_[1]; }
    QLabel* dateValue() const { return values_[2]; }
    QLabel* headerLabel(int i) const { return labels_[i]; }
    TStringsViewer* body() const { return body_; }
    AttachmentStripWidget* attachmentStrip() const { return strip_; }
    QSplitter* bodySplitter() const { return splitter_; }
    QWidget* attachmentBar() const;
    QMenu* popupMenu() const { return popup_; }
    // The "Message attachments" bar: collapses the strip to the bar or restores its height.
    void toggleAttachmentStrip();
    bool attachmentStripCollapsed() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildPopup();
    void moveTo(int target);
    void letGoOfList();
    QMdiSubWindow* subWindow() const;
    void readLayout();
    void writeLayoutKey(const std::string& key, const std::string& value);
    void applyFont(Part part, const QFont& font);
    void applyColor(Area area, const QColor& color);
    void applyStripHeight();

    MessageWindowHost& host_;
    NMailboxViewer* list_ = nullptr;
    int mailbox_ = 0;
    int message_ = 0;
    // The shown message's whole sender, from its header (the header block shows the index's).
    std::string sender_;
    std::vector<std::string> printedHeader_; // the header block printed above the body
    bool closing_ = false;
    int restoredStripHeight_ = 90;
    bool stripCollapsed_ = false;

    QFrame* headerBlock_;
    QWidget* labelsPanel_;
    QWidget* valuesPanel_;
    QLabel* labels_[3];
    QLabel* values_[3];
    QSplitter* splitter_;
    TStringsViewer* body_;
    AttachmentStripWidget* strip_;
    QMenu* popup_;
    QAction* wrapAction_;
};

} // namespace tavik
