// The composition window: recipients, subject, body, priority, receipt request, signature,
// encryption and attachments, ending in send now, send later or save as draft.
#pragma once

#include <QWidget>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "profile/settings.h"
#include "smtp/compose_rules.h"
#include "smtp/message_writer.h"
#include "smtp/stored_copy.h"
#include "window_common/child_window.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMdiArea;
class QMenu;
class QMimeData;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace tavik {

class TAttachmentManager;
class TMimeManager;
class TNMailBox;

// What a composition window needs from the program around it; the main window gives one,
// tests give a small one. Everything returned outlives the windows.
class ComposeHost {
public:
    virtual ~ComposeHost() = default;
    virtual ProfileSettings& settings() = 0;
    // Ends in "/": "signatur.def", the address book and "custom.ini" live there.
    virtual const std::string& ProfileDirectory() const = 0;
    virtual TNMailBox& Mailbox() = 0;
    virtual TAttachmentManager& attachments() = 0;
    virtual const MailboxList& mailboxList() = 0;
    // The MIME registry for the attachment dialog; null when none is open.
    virtual TMimeManager* mimeManager() = 0;
    // The priority of the last message sent or filed in this run of the program, carried into
    // new windows when the option LastMailPriority is on.
    int lastMailPriority = 1;
};

class TNewMessageForm : public QWidget, public MailChildWindow {
    Q_OBJECT
public:
    static constexpr int kPasswordLength = 8;

    explicit TNewMessageForm(ComposeHost& host, QWidget* parent = nullptr);
    ~TNewMessageForm() override;

    // Openers (reply, edit, forward, a clicked e-mail link): the subject, one more line of the To
    // field, the body. The To recipient list is rebuilt from the field when the message is sent.
    void setSubject(const std::string& subject);
    // A reply's threading: the original's Message-ID and the References chain (empty: none).
    void setThreading(const std::string& inReplyTo, const std::string& references);
    void addToLine(const std::string& line);
    // One more line of the cc field, of the Bcc field.
    void addCcLine(const std::string& line);
    void addBccLine(const std::string& line);
    void setBodyLines(const std::vector<std::string>& lines);
    // Edit of a draft: the fields, options and attachments as the draft holds them. Saving it
    // as a draft again replaces the one at `origin`.
    void reopenDraft(const ComposedMessage& draft, const DraftOrigin& origin);

    // The commands.
    void MailNowBtnClick();
    void MailLaterBtnClick();
    void spdbtnDraftClick();
    // Closes the window; the discard question follows unless the message was sent or filed.
    void speedBtnCancelClick();
    void AddBookBtnClick();
    // The attachment dialog ("Message Attachments"): Shift+click on "Add Att.", a double click on
    // an attachment or the attachment list's menu.
    void AttachBtnClick();
    // "Add Att.": the desktop's file dialog, several files at once, starting in the folder
    // attaching used last (else home); the files chosen are attached in their order.
    void AddFilesClick();
    // Attaches files as the attachment dialog adds them (same descriptors, checks and boxes).
    void attachFiles(const std::vector<std::string>& paths);
    void btnCryptClick();
    // Cycles the shown recipient field To, cc, Bcc.
    void Image1Click();
    // A side-bar item by its tag: 0 send now, 1 send later, 2 draft, 3 cancel.
    void sideBarClick(int tag);

    // What the fields hold, as the filing commands see it: text as UTF-8, every character typed;
    // lines enciphered by "Crypt" as their cipher bytes.
    ComposedMessage composedMessage() const;
    const std::vector<TOutgoingAttachment>& attachmentList() const { return attachments_; }
    void setAttachmentList(std::vector<TOutgoingAttachment> attachments);
    // Set once the message was sent or filed: the window then closes without a question.
    bool handled() const { return handled_; }

    // MailChildWindow
    Kind childKind() const override { return Kind::Composition; }
    bool mayClose() override;

    // Widgets, for the tests.
    QPlainTextEdit* ToEdt() const { return to_; }
    QPlainTextEdit* ccEdt() const { return cc_; }
    QPlainTextEdit* BccEdt() const { return bcc_; }
    QLineEdit* SubjectEdt() const { return subject_; }
    QPlainTextEdit* Memo1() const { return memo_; }
    QComboBox* cbPriority() const { return priority_; }
    QCheckBox* checkSignature() const { return signature_; }
    QCheckBox* checkReceipt() const { return receipt_; }
    QCheckBox* checkEncrypt() const { return encrypt_; }
    QLineEdit* editEncryptPwd() const { return password_; }
    QLabel* passwordLabel() const { return passwordLabel_; }
    QPushButton* btnCrypt() const { return crypt_; }
    QListWidget* AttachmentsLB() const { return attachmentsList_; }
    QLabel* LastMailPriority() const { return lastPriority_; }
    QToolButton* recipientLabel() const { return recipientLabel_; }
    QStackedWidget* recipientFields() const { return recipientStack_; }
    QStackedWidget* panels() const { return panels_; }
    QToolButton* sideBarItem(int tag) const;
    QToolButton* link(const QString& text) const;
    QMenu* mailMenu() const { return menu_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    enum class Field { Addresses, Subject, Body };
    enum class Filing { SendNow, Later, Draft };

    void buildWidgets();
    void buildMenu();
    void showPanel(int index);
    void encryptToggled(bool on);
    void refreshAttachmentList();
    // Drops of files anywhere on the window attach them; text dropped into a field stays text.
    void acceptFileDrops();
    void attachDropped(const QMimeData* data);
    // The body's lines for core: UTF-8, except the lines "Crypt" left, which are their bytes.
    std::vector<std::string> bodyLines() const;
    // The common start of the three commands: the message with at least one address, text the
    // user agreed to send, and the signature lines (random one included). False: stop.
    bool prepare(ComposedMessage& message, std::vector<std::string>& signature);
    void file(Filing filing);
    void finish(int priority);
    void closeWindow();
    void chooseFont(Field field);
    void chooseColor(Field field);
    void applyFont(Field field, const QFont& font);
    void applyColor(Field field, const QColor& color);
    void readLayout();
    void writeLayout();
    std::string layoutPath() const;

    ComposeHost& host_;
    std::vector<TOutgoingAttachment> attachments_;
    std::optional<DraftOrigin> draftOrigin_;
    // The lines "Crypt" put into the body, in order: the line the field gives back and the
    // cipher bytes it stands for (cipher text is no UTF-8, so the field alone would lose it).
    std::vector<std::pair<std::string, std::string>> cipherLines_;
    bool handled_ = false;
    bool discardAgreed_ = false;
    bool layoutRead_ = false;
    int field_ = 0; // the recipient field shown: 0 To, 1 cc, 2 Bcc

    QPlainTextEdit* to_ = nullptr;
    QPlainTextEdit* cc_ = nullptr;
    QPlainTextEdit* bcc_ = nullptr;
    QLineEdit* subject_ = nullptr;
    QPlainTextEdit* memo_ = nullptr;
    QComboBox* priority_ = nullptr;
    QCheckBox* signature_ = nullptr;
    QCheckBox* receipt_ = nullptr;
    QCheckBox* encrypt_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLabel* passwordLabel_ = nullptr;
    QPushButton* crypt_ = nullptr;
    QListWidget* attachmentsList_ = nullptr;
    QLabel* lastPriority_ = nullptr;
    std::string inReplyTo_, references_;
    QToolButton* recipientLabel_ = nullptr;
    QStackedWidget* recipientStack_ = nullptr;
    QStackedWidget* panels_ = nullptr;
    QMenu* menu_ = nullptr;
    std::vector<QToolButton*> barItems_;
    std::vector<QToolButton*> links_;
};

// Fills a new window with what reply, edit or forward hand over: subject, To line, body.
struct AnswerText;
void fillComposition(TNewMessageForm& form, const AnswerText& answer);

// Creates an empty composition window as a child window of `area`'s main window: shown, active.
// Returns it (owned by its sub-window, deleted when closed).
TNewMessageForm* openCompositionWindow(QMdiArea* area, ComposeHost& host);

} // namespace tavik
