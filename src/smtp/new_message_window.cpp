#include "smtp/new_message_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextBlock>
#include <QToolButton>
#include <QVBoxLayout>
#include <ctime>
#include <algorithm>
#include <functional>

#include "addressbook/address_book_window.h"
#include "pop3/attachment_store.h"
#include "profile/file_util.h"
#include "profile/ini_file.h"
#include "smtp/compose_attachments.h"
#include "smtp/compose_rules.h"
#include "smtp/outbox.h"
#include "smtp/rc4.h"
#include "smtp/send_mail_dialog.h"
#include "store/mailbox_store.h"
#include "view/answer_rules.h"
#include "view/attachment_dialog.h"
#include "window_common/address_completer.h"
#include "window_common/resources.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

const char* const kTitle = "Tavik mail";
const char* const kLayoutSection = "Compose";
const char* const kLayoutFile = "custom.ini";
const char* const kAttachFilesTitle = "Attach files";
const char* const kAnyFile = "All files|*";
const char* const kNoMimeTypes = "The MIME types of this profile are not open.";
const char* const kRecipientCaptions[] = {"To:", "cc:", "Bcc:"};
const char* const kFieldKeys[] = {"Addresses", "Subject", "Body"};

// A field's text for core, as UTF-8: every character typed goes with the message.
std::string fieldText(const QString& text) { return toStored(text); }

// Stored lines for a field, each read by itself: an old 8-bit line beside UTF-8 ones stays right.
QString shownLines(const std::vector<std::string>& lines)
{
    QString text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i)
            text += QLatin1Char('\n');
        text += fromStored(lines[i]);
    }
    return text;
}

// A line of cipher text as the body field shows it: its bytes read as stored text, with what the
// field would take for a line break shown as a sign, so the line stays one line of the field.
QString shownCipherLine(const std::string& bytes)
{
    QString s = fromStored(bytes);
    for (QChar& c : s) {
        switch (c.unicode()) {
        case u'\r': c = QChar(0x240D); break;
        case u'\n': c = QChar(0x240A); break;
        case 0x2028:
        case 0x2029:
        case 0xFDD0:
        case 0xFDD1: c = QChar(0x2424); break;
        default: break;
        }
    }
    return s;
}

QToolButton* linkButton(const QString& text, QWidget* parent)
{
    auto* b = new QToolButton(parent);
    b->setText(text);
    b->setAutoRaise(true);
    b->setCursor(Qt::PointingHandCursor);
    b->setStyleSheet(QStringLiteral("QToolButton { color: palette(link); text-decoration: underline; }"));
    return b;
}

} // namespace

TNewMessageForm::TNewMessageForm(ComposeHost& host, QWidget* parent) : QWidget(parent), host_(host)
{
    setWindowTitle(QStringLiteral("New Message"));
    setWindowIcon(resourcePicture("TOOL_COMPOSE"));
    buildWidgets();
    buildMenu();
    installAddressCompleters({to_, cc_, bcc_}, host_.ProfileDirectory());
}

TNewMessageForm::~TNewMessageForm() = default;

void TNewMessageForm::buildWidgets()
{
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    // The side bar: the four commands, told apart by their tags.
    auto* bar = new QFrame(this);
    bar->setObjectName(QStringLiteral("composeSideBar"));
    bar->setFrameShape(QFrame::StyledPanel);
    bar->setBackgroundRole(QPalette::Dark);
    bar->setAutoFillBackground(true);
    auto* barLayout = new QVBoxLayout(bar);
    const struct {
        const char* text;
        const char* picture;
    } items[] = {{"Send &Now...", "TOOL_CHECK_SEND"},
                 {"Send &later...", "TOOL_SEND_QUEUED"},
                 {"Save as &draft...", "TOOL_SAVE"},
                 {"&Cancel", "TOOL_DELETE"}};
    for (int tag = 0; tag < 4; ++tag) {
        auto* b = new QToolButton(bar);
        b->setText(QString::fromLatin1(items[tag].text));
        b->setIcon(resourcePicture(items[tag].picture));
        b->setIconSize(QSize(24, 24));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setAutoRaise(true);
        b->setProperty("tag", tag);
        b->setMinimumWidth(112);
        connect(b, &QToolButton::clicked, this, [this, tag] { sideBarClick(tag); });
        barLayout->addWidget(b);
        barItems_.push_back(b);
    }
    barLayout->addStretch(1);
    outer->addWidget(bar);

    auto* main = new QVBoxLayout;
    main->setContentsMargins(6, 6, 6, 6);
    outer->addLayout(main, 1);

    // The panel links switch the panel above the body.
    auto* linkRow = new QHBoxLayout;
    int panelIndex = 0;
    for (const char* text : {"Addr&ess", "O&ptions", "Attac&hments"}) {
        QToolButton* b = linkButton(QString::fromLatin1(text), this);
        const int index = panelIndex++;
        connect(b, &QToolButton::clicked, this, [this, index] { showPanel(index); });
        linkRow->addWidget(b);
        links_.push_back(b);
    }
    linkRow->addStretch(1);
    main->addLayout(linkRow);

    panels_ = new QStackedWidget(this);
    panels_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    main->addWidget(panels_);

    // Address panel: one of the three recipient fields at a time.
    auto* address = new QWidget(panels_);
    auto* addressGrid = new QGridLayout(address);
    addressGrid->setContentsMargins(0, 0, 0, 0);
    recipientLabel_ = new QToolButton(address);
    recipientLabel_->setText(QString::fromLatin1(kRecipientCaptions[0]));
    recipientLabel_->setIcon(resourcePicture("TOOL_ADDRESS_BOOK"));
    recipientLabel_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    recipientLabel_->setAutoRaise(true);
    recipientLabel_->setToolTip(QStringLiteral("Switch between the To, cc and Bcc recipients"));
    connect(recipientLabel_, &QToolButton::clicked, this, [this] { Image1Click(); });
    recipientStack_ = new QStackedWidget(address);
    for (QPlainTextEdit** edit : {&to_, &cc_, &bcc_}) {
        *edit = new QPlainTextEdit(recipientStack_);
        (*edit)->setTabChangesFocus(true);
        (*edit)->setLineWrapMode(QPlainTextEdit::NoWrap);
        (*edit)->setFixedHeight(72);
        recipientStack_->addWidget(*edit);
    }
    to_->setObjectName(QStringLiteral("ToEdt"));
    cc_->setObjectName(QStringLiteral("ccEdt"));
    bcc_->setObjectName(QStringLiteral("BccEdt"));
    QToolButton* book = linkButton(QStringLiteral("Address &Book"), address);
    connect(book, &QToolButton::clicked, this, [this] { AddBookBtnClick(); });
    links_.push_back(book);
    addressGrid->addWidget(recipientLabel_, 0, 0, Qt::AlignTop);
    addressGrid->addWidget(recipientStack_, 0, 1);
    addressGrid->addWidget(book, 0, 2, Qt::AlignTop);
    addressGrid->setColumnStretch(1, 1);
    panels_->addWidget(address);

    // Options panel.
    auto* options = new QWidget(panels_);
    auto* optionsGrid = new QGridLayout(options);
    optionsGrid->setContentsMargins(0, 0, 0, 0);
    // Two columns: what goes with the message on the left, its encryption on the right.
    auto* priorityRow = new QHBoxLayout;
    auto* priorityLabel = new QLabel(QStringLiteral("P&riority:"), options);
    priorityRow->addWidget(priorityLabel);
    priority_ = new QComboBox(options);
    priorityLabel->setBuddy(priority_);
    priority_->addItems({QStringLiteral(" High"), QStringLiteral(" Normal"), QStringLiteral(" Low")});
    priority_->setCurrentIndex(1);
    priorityRow->addWidget(priority_);
    priorityRow->addStretch(1);
    optionsGrid->addLayout(priorityRow, 0, 0);
    signature_ = new QCheckBox(QStringLiteral("Add Si&gnature"), options);
    receipt_ = new QCheckBox(QStringLiteral("Confirmation of rece&ipt"), options);
    encrypt_ = new QCheckBox(QStringLiteral("Encr&ypt usin internal encoder/decoder"), options);
    optionsGrid->addWidget(signature_, 1, 0);
    optionsGrid->addWidget(receipt_, 2, 0);
    optionsGrid->addWidget(encrypt_, 0, 1);
    passwordLabel_ = new QLabel(QStringLiteral("Pass&word:"), options);
    password_ = new QLineEdit(options);
    passwordLabel_->setBuddy(password_);
    password_->setMaxLength(kPasswordLength);
    password_->setEchoMode(QLineEdit::Password);
    password_->setMaximumWidth(120);
    crypt_ = new QPushButton(QStringLiteral("Cryp&t"), options);
    auto* passwordRow = new QHBoxLayout;
    passwordRow->addWidget(passwordLabel_);
    passwordRow->addWidget(password_);
    passwordRow->addWidget(crypt_);
    passwordRow->addStretch(1);
    optionsGrid->addLayout(passwordRow, 1, 1);
    optionsGrid->setColumnStretch(1, 1);
    optionsGrid->setRowStretch(3, 1);
    connect(encrypt_, &QCheckBox::toggled, this, [this](bool on) { encryptToggled(on); });
    connect(crypt_, &QPushButton::clicked, this, [this] { btnCryptClick(); });
    encryptToggled(false);
    lastPriority_ = new QLabel(QStringLiteral("1"), options);
    lastPriority_->setVisible(false);
    panels_->addWidget(options);

    // Attachments panel.
    auto* attach = new QWidget(panels_);
    auto* attachLayout = new QHBoxLayout(attach);
    attachLayout->setContentsMargins(0, 0, 0, 0);
    attachmentsList_ = new QListWidget(attach);
    attachmentsList_->setFixedHeight(72);
    attachmentsList_->setIconSize(QSize(16, 16));
    attachLayout->addWidget(attachmentsList_, 1);
    QToolButton* add = linkButton(QStringLiteral("&Add Att."), attach);
    add->setToolTip(QStringLiteral("Attach files; with Shift held, open the Message Attachments dialog"));
    // Shift+click reaches the attachment dialog with its names, types and descriptions.
    connect(add, &QToolButton::clicked, this, [this] {
        if (QApplication::keyboardModifiers() & Qt::ShiftModifier)
            AttachBtnClick();
        else
            AddFilesClick();
    });
    connect(attachmentsList_, &QListWidget::itemDoubleClicked, this, [this] { AttachBtnClick(); });
    attachmentsList_->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* addFiles = new QAction(QStringLiteral("Attach Files..."), attachmentsList_);
    connect(addFiles, &QAction::triggered, this, [this] { AddFilesClick(); });
    auto* details = new QAction(QStringLiteral("Message Attachments..."), attachmentsList_);
    connect(details, &QAction::triggered, this, [this] { AttachBtnClick(); });
    attachmentsList_->addActions({addFiles, details});
    links_.push_back(add);
    attachLayout->addWidget(add, 0, Qt::AlignTop);
    panels_->addWidget(attach);
    // Every panel as high as the recipient field: the body keeps the rest.
    panels_->setFixedHeight(std::max(options->sizeHint().height(), 80));

    auto* subjectRow = new QHBoxLayout;
    auto* subjectLabel = new QLabel(QStringLiteral("&Subject:"), this);
    subjectRow->addWidget(subjectLabel);
    subject_ = new QLineEdit(this);
    subjectLabel->setBuddy(subject_);
    subject_->setObjectName(QStringLiteral("SubjectEdt"));
    subjectRow->addWidget(subject_, 1);
    main->addLayout(subjectRow);
    // Several messages may be open at once: each window is named after its subject.
    connect(subject_, &QLineEdit::textChanged, this, [this](const QString& text) {
        setWindowTitle(text.trimmed().isEmpty() ? QStringLiteral("New Message") : text);
    });

    memo_ = new QPlainTextEdit(this);
    memo_->setObjectName(QStringLiteral("Memo1"));
    memo_->setTabChangesFocus(false); // the body takes TAB characters
    memo_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    main->addWidget(memo_, 1);

    acceptFileDrops();
    to_->setFocus();
}

void TNewMessageForm::buildMenu()
{
    menu_ = new QMenu(QStringLiteral("Mail"), this);
    menu_->addAction(QStringLiteral("Send Message Now !"), this, [this] { MailNowBtnClick(); });
    menu_->addAction(QStringLiteral("Send Message later (Queue)"), this, [this] { MailLaterBtnClick(); });
    menu_->addAction(QStringLiteral("Save Message as Draft"), this, [this] { spdbtnDraftClick(); });
    menu_->addAction(QStringLiteral("Discard Message"), this, [this] { speedBtnCancelClick(); });
    // Ctrl+Enter sends from any field of the window, the body included.
    auto* sendKey = new QAction(this);
    sendKey->setObjectName(QStringLiteral("SendNowKey"));
    sendKey->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    sendKey->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(sendKey, &QAction::triggered, this, [this] { MailNowBtnClick(); });
    addAction(sendKey);
    menu_->addSeparator();
    // Cut, copy and paste act on the field that has the focus.
    const auto onFocused = [this](const std::function<void(QPlainTextEdit*)>& plain,
                                  const std::function<void(QLineEdit*)>& line) {
        return [this, plain, line] {
            QWidget* w = focusWidget();
            if (auto* edit = qobject_cast<QPlainTextEdit*>(w))
                plain(edit);
            else if (auto* field = qobject_cast<QLineEdit*>(w))
                line(field);
        };
    };
    menu_->addAction(QStringLiteral("Cut"), this,
                     onFocused([](QPlainTextEdit* e) { e->cut(); }, [](QLineEdit* e) { e->cut(); }));
    menu_->addAction(QStringLiteral("Copy"), this,
                     onFocused([](QPlainTextEdit* e) { e->copy(); }, [](QLineEdit* e) { e->copy(); }));
    menu_->addAction(QStringLiteral("Paste"), this,
                     onFocused([](QPlainTextEdit* e) { e->paste(); }, [](QLineEdit* e) { e->paste(); }));
    menu_->addSeparator();
    menu_->addAction(QStringLiteral("Address Font..."), this, [this] { chooseFont(Field::Addresses); });
    menu_->addAction(QStringLiteral("Subject Font..."), this, [this] { chooseFont(Field::Subject); });
    menu_->addAction(QStringLiteral("Message Font..."), this, [this] { chooseFont(Field::Body); });
    menu_->addAction(QStringLiteral("Address Color..."), this, [this] { chooseColor(Field::Addresses); });
    menu_->addAction(QStringLiteral("Subject Color..."), this, [this] { chooseColor(Field::Subject); });
    menu_->addAction(QStringLiteral("Message Color..."), this, [this] { chooseColor(Field::Body); });
    for (QToolButton* b : barItems_) {
        b->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(b, &QWidget::customContextMenuRequested, this,
                [this, b](const QPoint& at) { menu_->popup(b->mapToGlobal(at)); });
    }
}

void TNewMessageForm::contextMenuEvent(QContextMenuEvent* event)
{
    // The fields keep their own edit menus; the window's background offers "Mail".
    menu_->popup(event->globalPos());
    event->accept();
}

QToolButton* TNewMessageForm::sideBarItem(int tag) const
{
    return tag >= 0 && tag < static_cast<int>(barItems_.size()) ? barItems_[static_cast<std::size_t>(tag)] : nullptr;
}

QToolButton* TNewMessageForm::link(const QString& text) const
{
    // Found by the text shown, without its mnemonic marker.
    for (QToolButton* b : links_)
        if (QString(b->text()).remove(QLatin1Char('&')) == text)
            return b;
    return nullptr;
}

void TNewMessageForm::showPanel(int index) { panels_->setCurrentIndex(index); }

void TNewMessageForm::encryptToggled(bool on)
{
    password_->setEnabled(on);
    passwordLabel_->setEnabled(on);
    crypt_->setVisible(on);
}

void TNewMessageForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (layoutRead_)
        return;
    signature_->setChecked(host_.settings().UseSignature);
    int priority = 1;
    if (host_.settings().LastMailPriority)
        priority = host_.lastMailPriority;
    priority_->setCurrentIndex(priority >= 0 && priority <= 2 ? priority : 1);
    lastPriority_->setText(QString::number(priority));
    readLayout();
}

void TNewMessageForm::setThreading(const std::string& inReplyTo, const std::string& references)
{
    inReplyTo_ = inReplyTo;
    references_ = references;
}

void TNewMessageForm::setSubject(const std::string& subject) { subject_->setText(fromStored(subject)); }

void TNewMessageForm::addToLine(const std::string& line)
{
    std::vector<std::string> lines = fieldLines(fieldText(to_->toPlainText()));
    lines.push_back(line);
    to_->setPlainText(shownLines(lines));
}

void TNewMessageForm::addCcLine(const std::string& line)
{
    std::vector<std::string> lines = fieldLines(fieldText(cc_->toPlainText()));
    lines.push_back(line);
    cc_->setPlainText(shownLines(lines));
}

void TNewMessageForm::addBccLine(const std::string& line)
{
    std::vector<std::string> lines = fieldLines(fieldText(bcc_->toPlainText()));
    lines.push_back(line);
    bcc_->setPlainText(shownLines(lines));
}

void TNewMessageForm::setBodyLines(const std::vector<std::string>& lines)
{
    cipherLines_.clear();
    memo_->setPlainText(shownLines(lines));
}

std::vector<std::string> TNewMessageForm::bodyLines() const
{
    std::vector<std::string> lines = fieldLines(fieldText(memo_->toPlainText()));
    // Cipher text is bytes that are not UTF-8: a line still showing as it was shown gives back
    // its bytes, in the order the lines were enciphered.
    std::size_t next = 0;
    for (std::string& line : lines)
        for (std::size_t k = next; k < cipherLines_.size(); ++k)
            if (cipherLines_[k].first == line) {
                line = cipherLines_[k].second;
                next = k + 1;
                break;
            }
    return lines;
}

void TNewMessageForm::reopenDraft(const ComposedMessage& draft, const DraftOrigin& origin)
{
    to_->setPlainText(shownLines(draft.ToLines));
    cc_->setPlainText(shownLines(draft.ccLines));
    bcc_->setPlainText(shownLines(draft.BccLines));
    setSubject(draft.Subject);
    priority_->setCurrentIndex(draft.Priority >= 0 && draft.Priority <= 2 ? draft.Priority : 1);
    receipt_->setChecked(draft.Receipt);
    encrypt_->setChecked(draft.Encrypt);
    password_->setText(fromStored(draft.Password));
    setBodyLines(draft.Body);
    setAttachmentList(draft.Attachments);
    draftOrigin_ = origin;
}

void TNewMessageForm::Image1Click()
{
    field_ = (field_ + 1) % 3;
    recipientStack_->setCurrentIndex(field_);
    recipientLabel_->setText(QString::fromLatin1(kRecipientCaptions[field_]));
    showPanel(0);
}

void TNewMessageForm::sideBarClick(int tag)
{
    switch (tag) {
    case 0: MailNowBtnClick(); break;
    case 1: MailLaterBtnClick(); break;
    case 2: spdbtnDraftClick(); break;
    case 3: speedBtnCancelClick(); break;
    default: break;
    }
}

ComposedMessage TNewMessageForm::composedMessage() const
{
    ComposedMessage m;
    m.ToLines = recipientLines(fieldText(to_->toPlainText()));
    m.ccLines = recipientLines(fieldText(cc_->toPlainText()));
    m.BccLines = recipientLines(fieldText(bcc_->toPlainText()));
    m.Subject = fieldText(subject_->text());
    m.Priority = priority_->currentIndex();
    m.Receipt = receipt_->isChecked();
    m.Encrypt = encrypt_->isChecked();
    m.Password = fieldText(password_->text());
    m.Body = bodyLines();
    m.Attachments = attachments_;
    m.InReplyTo = inReplyTo_;
    m.References = references_;
    return m;
}

bool TNewMessageForm::prepare(ComposedMessage& message, std::vector<std::string>& signature)
{
    ProfileSettings& settings = host_.settings();
    // The box governs the message at hand; a signature file that cannot be used switches the
    // option off for the rest of the run, as it always did.
    signature.clear();
    if (signature_->isChecked()) {
        ProfileSettings probe = settings;
        probe.UseSignature = true;
        signature = LoadSignature(host_.ProfileDirectory(), probe);
        if (!probe.UseSignature)
            settings.UseSignature = false;
    }

    message = composedMessage();
    if (message.ToLines.empty() && message.ccLines.empty() && message.BccLines.empty()) {
        userInteraction().warn(kTitle, kNoAddressText);
        return false;
    }

    if (settings.PluggInSig)
        for (auto& line : RandomSignature(settings, {}))
            signature.push_back(std::move(line));

    if (message.Encrypt) {
        std::vector<std::string> lines = message.Body;
        lines.insert(lines.end(), signature.begin(), signature.end());
        const std::string warning = cipherWarning(lines, message.Password);
        if (!warning.empty() && !userInteraction().askYesNo(kTitle, warning + "\r\nEncipher the message all the same?"))
            return false;
    }
    return true;
}

void TNewMessageForm::MailNowBtnClick()
{
    ComposedMessage message;
    std::vector<std::string> signature;
    if (!prepare(message, signature))
        return;
    ProfileSettings& settings = host_.settings();
    stampOrigin(message, settings, std::time(nullptr));
    OutgoingMessage out;
    try {
        out = composeOutgoing(settings, message, signature);
    } catch (const FileError& e) {
        userInteraction().error(kTitle, e.what());
        return;
    }
    lastPriority_->setText(QString::number(message.Priority));

    bool sent = false;
    {
        TSendMailForm dialog(settings, host_.ProfileDirectory(), this);
        fillSendMail(dialog.SendMail1(), out);
        sent = dialog.exec() == QDialog::Accepted;
    }
    const int target = sent ? kSentMailbox : kToSendMailbox;
    if (!sent) {
        const auto [address, name] = SplitRecipient(firstRecipientEntry(message));
        userInteraction().inform(kTitle, cannotBeSentText(message.Subject, address));
    }
    // Without "Save sent messages" a sent message is not kept; one not sent always is.
    try {
        if (!sent || settings.SaveSent)
            FileStoredCopy(host_.Mailbox(), host_.attachments(), target, settings, message, signature,
                           sentCopyFrom(message), message.Time);
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
        // Not sent and not filed: the window is all that holds the message.
        if (!sent)
            return;
    }
    rememberRecipients(host_.ProfileDirectory(), kTitle, {&message.ToLines, &message.ccLines, &message.BccLines});
    finish(message.Priority);
}

void TNewMessageForm::MailLaterBtnClick() { file(Filing::Later); }

void TNewMessageForm::spdbtnDraftClick() { file(Filing::Draft); }

void TNewMessageForm::file(Filing filing)
{
    ComposedMessage message;
    std::vector<std::string> signature;
    if (!prepare(message, signature))
        return;
    const int target =
        filing == Filing::Later ? kToSendMailbox : draftsTarget(host_.mailboxList(), host_.settings().DraftsMailBox);
    try {
        FileStoredCopy(host_.Mailbox(), host_.attachments(), target, host_.settings(), message, signature,
                       firstRecipientLine(message), std::time(nullptr));
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
        return;
    }
    lastPriority_->setText(QString::number(message.Priority));
    // The new copy is on disk before the old draft goes: a failure leaves both, never neither.
    if (filing == Filing::Draft && draftOrigin_) {
        try {
            removeReopenedDraft(host_.Mailbox(), *draftOrigin_);
        } catch (const std::exception& e) {
            userInteraction().error(kTitle, e.what());
        }
        draftOrigin_.reset();
    }
    if (filing == Filing::Later)
        rememberRecipients(host_.ProfileDirectory(), kTitle, {&message.ToLines, &message.ccLines, &message.BccLines});
    finish(message.Priority);
}

void TNewMessageForm::finish(int priority)
{
    if (priority >= 0 && priority <= 2)
        host_.lastMailPriority = priority;
    handled_ = true;
    closeWindow();
}

void TNewMessageForm::closeWindow()
{
    if (auto* sub = qobject_cast<QMdiSubWindow*>(parentWidget()))
        sub->close();
    else
        close();
}

void TNewMessageForm::speedBtnCancelClick() { closeWindow(); }

bool TNewMessageForm::mayClose()
{
    if (handled_ || discardAgreed_)
        return true;
    discardAgreed_ = userInteraction().askYesNo(kTitle, discardQuestion(fieldText(subject_->text())));
    return discardAgreed_;
}

void TNewMessageForm::closeEvent(QCloseEvent* event)
{
    if (!mayClose()) {
        event->ignore();
        return;
    }
    writeLayout();
    event->accept();
}

void TNewMessageForm::AddBookBtnClick()
{
    const ComposedMessage current = composedMessage();
    std::vector<std::string> list = addressBookSendList(current);
    if (!runAddressBook(this, host_.ProfileDirectory(), list))
        return;
    std::vector<std::string> to, cc, bcc;
    sortBackSendList(list, to, cc, bcc);
    to_->setPlainText(shownLines(to));
    cc_->setPlainText(shownLines(cc));
    bcc_->setPlainText(shownLines(bcc));
}

void TNewMessageForm::AttachBtnClick()
{
    TMimeManager* mime = host_.mimeManager();
    if (!mime) {
        userInteraction().error(kTitle, kNoMimeTypes);
        return;
    }
    std::vector<TOutgoingAttachment> list = attachments_;
    // The dialog opens in the folder attaching used last, in this window or an earlier one.
    const std::string directory = lastAttachmentFolder(layoutPath());
    std::string last;
    const bool accepted = runAttachmentDialog(this, *mime, list, directory, &last);
    if (last != directory) {
        try {
            keepAttachmentFolder(layoutPath(), last);
        } catch (const std::exception& e) {
            userInteraction().error(kTitle, e.what());
        }
    }
    if (!accepted)
        return;
    setAttachmentList(std::move(list));
    showPanel(2);
}

void TNewMessageForm::AddFilesClick()
{
    if (!host_.mimeManager()) {
        userInteraction().error(kTitle, kNoMimeTypes);
        return;
    }
    const std::optional<std::vector<std::string>> chosen =
        userInteraction().askOpenFiles(kAttachFilesTitle, attachmentDialogStart(layoutPath()), kAnyFile);
    if (!chosen || chosen->empty())
        return;
    try {
        keepAttachmentFolder(layoutPath(), pathToBytes(QFileInfo(pathFromBytes(chosen->front())).absolutePath()));
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
    attachFiles(*chosen);
}

void TNewMessageForm::attachFiles(const std::vector<std::string>& paths)
{
    TMimeManager* mime = host_.mimeManager();
    if (!mime) {
        userInteraction().error(kTitle, kNoMimeTypes);
        return;
    }
    std::vector<TOutgoingAttachment> list = attachments_;
    if (addAttachmentFiles(*mime, list, paths) == 0)
        return;
    setAttachmentList(std::move(list));
    showPanel(2);
}

void TNewMessageForm::acceptFileDrops()
{
    setAcceptDrops(true);
    auto* drops = new UrlDropFilter([this](const QMimeData* data) { attachDropped(data); }, this);
    // The fields take text drops themselves and would swallow files as their names.
    for (QPlainTextEdit* field : {to_, cc_, bcc_, memo_})
        drops->watch(field->viewport());
    drops->watch(subject_);
    drops->watch(attachmentsList_->viewport());
    drops->watch(this);
}

void TNewMessageForm::attachDropped(const QMimeData* data)
{
    const DroppedItems items = droppedItems(data);
    if (!items.refused.empty()) {
        std::string text = "Only files can be attached. Not attached:";
        for (const std::string& item : items.refused)
            text += "\r\n" + item;
        userInteraction().inform(kTitle, text);
    }
    if (!items.files.empty())
        attachFiles(items.files);
}

void TNewMessageForm::setAttachmentList(std::vector<TOutgoingAttachment> attachments)
{
    attachments_ = std::move(attachments);
    refreshAttachmentList();
}

void TNewMessageForm::refreshAttachmentList()
{
    attachmentsList_->clear();
    for (const auto& a : attachments_) {
        QString text = fromStored(a.Name);
        if (!a.Description.empty())
            text += QStringLiteral(" (") + fromStored(a.Description) + QLatin1Char(')');
        std::string lower = a.MimeType;
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        QIcon icon = mimeTypePicture(lower);
        if (icon.isNull())
            icon = resourcePicture("MAIL_ATTACHMENT2"); // the generic one
        attachmentsList_->addItem(new QListWidgetItem(icon, text));
    }
    if (attachmentsList_->count() > 0)
        attachmentsList_->setCurrentRow(0);
}

void TNewMessageForm::btnCryptClick()
{
    const std::string password = fieldText(password_->text());
    const std::vector<std::string> lines = bodyLines();
    // A cipher text with a line break would fall apart in the field and not decipher again.
    for (const auto& line : lines) {
        const CipherLineRisk risk = cipherLineRisk(line, password);
        if (risk == CipherLineRisk::None)
            continue;
        const std::string warning = cipherWarning(lines, password);
        if (!userInteraction().askYesNo(kTitle, warning + "\r\nEncipher the text all the same?"))
            return;
        break;
    }
    std::vector<std::string> out;
    out.reserve(lines.size());
    for (const auto& line : lines)
        out.push_back(EncipherLine(line, password));
    QString shown;
    for (std::size_t i = 0; i < out.size(); ++i)
        shown += (i ? QStringLiteral("\n") : QString()) + shownCipherLine(out[i]);
    setBodyLines({});
    memo_->setPlainText(shown);
    // What the field gives back for each shown line: the key to the line's bytes.
    const std::vector<std::string> keys = fieldLines(fieldText(memo_->toPlainText()));
    if (keys.size() == out.size())
        for (std::size_t i = 0; i < out.size(); ++i)
            cipherLines_.emplace_back(keys[i], std::move(out[i]));
}

void TNewMessageForm::chooseFont(Field field)
{
    const QWidget* sample = field == Field::Addresses ? static_cast<QWidget*>(to_)
                            : field == Field::Subject ? static_cast<QWidget*>(subject_)
                                                      : static_cast<QWidget*>(memo_);
    if (std::optional<QFont> font = userInteraction().askFont("Font", sample->font())) {
        applyFont(field, *font);
        writeLayout();
    }
}

void TNewMessageForm::chooseColor(Field field)
{
    const QWidget* sample = field == Field::Addresses ? static_cast<QWidget*>(to_)
                            : field == Field::Subject ? static_cast<QWidget*>(subject_)
                                                      : static_cast<QWidget*>(memo_);
    if (std::optional<QColor> color = userInteraction().askColor("Color", sample->palette().color(QPalette::Base))) {
        applyColor(field, *color);
        writeLayout();
    }
}

void TNewMessageForm::applyFont(Field field, const QFont& font)
{
    switch (field) {
    case Field::Addresses:
        for (QPlainTextEdit* e : {to_, cc_, bcc_})
            e->setFont(font);
        break;
    case Field::Subject: subject_->setFont(font); break;
    case Field::Body: memo_->setFont(font); break;
    }
}

void TNewMessageForm::applyColor(Field field, const QColor& color)
{
    const auto paint = [&color](QWidget* w) {
        QPalette p = w->palette();
        p.setColor(QPalette::Base, color);
        w->setPalette(p);
    };
    switch (field) {
    case Field::Addresses:
        for (QPlainTextEdit* e : {to_, cc_, bcc_})
            paint(e);
        break;
    case Field::Subject: paint(subject_); break;
    case Field::Body: paint(memo_); break;
    }
}

std::string TNewMessageForm::layoutPath() const { return host_.ProfileDirectory() + kLayoutFile; }

void TNewMessageForm::readLayout()
{
    layoutRead_ = true;
    IniFile ini;
    try {
        ini = IniFile(layoutPath());
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
        return;
    }
    const Field fields[] = {Field::Addresses, Field::Subject, Field::Body};
    for (int i = 0; i < 3; ++i) {
        QFont font;
        if (fontFromText(ini.readString(kLayoutSection, std::string(kFieldKeys[i]) + "Font"), font))
            applyFont(fields[i], font);
        const QColor color =
            QColor::fromString(fromStored(ini.readString(kLayoutSection, std::string(kFieldKeys[i]) + "Color")));
        if (color.isValid())
            applyColor(fields[i], color);
    }
    QWidget* frame = parentWidget() ? parentWidget() : this;
    const long long w = ini.readInteger(kLayoutSection, "Width", -1), h = ini.readInteger(kLayoutSection, "Height", -1);
    if (w >= 200 && w <= 8000 && h >= 150 && h <= 8000)
        frame->resize(static_cast<int>(w), static_cast<int>(h));
    const long long x = ini.readInteger(kLayoutSection, "Left", -100000), y = ini.readInteger(kLayoutSection, "Top", -100000);
    if (x >= 0 && x <= 8000 && y >= 0 && y <= 8000)
        frame->move(static_cast<int>(x), static_cast<int>(y));
}

void TNewMessageForm::writeLayout()
{
    if (!layoutRead_)
        return;
    try {
        IniFile ini(layoutPath());
        const QWidget* samples[] = {to_, subject_, memo_};
        for (int i = 0; i < 3; ++i) {
            ini.writeString(kLayoutSection, std::string(kFieldKeys[i]) + "Font", fontText(samples[i]->font()));
            ini.writeString(kLayoutSection, std::string(kFieldKeys[i]) + "Color",
                            toStored(samples[i]->palette().color(QPalette::Base).name()));
        }
        const QWidget* frame = parentWidget() ? parentWidget() : this;
        ini.writeInteger(kLayoutSection, "Width", frame->width());
        ini.writeInteger(kLayoutSection, "Height", frame->height());
        ini.writeInteger(kLayoutSection, "Left", std::max(0, frame->x()));
        ini.writeInteger(kLayoutSection, "Top", std::max(0, frame->y()));
        ini.save();
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

void fillComposition(TNewMessageForm& form, const AnswerText& answer)
{
    form.setThreading(answer.inReplyTo, answer.references);
    form.setSubject(answer.SubjectEdt);
    if (!answer.ToEdt.empty())
        form.addToLine(answer.ToEdt);
    for (const std::string& line : answer.moreTo)
        form.addToLine(line);
    for (const std::string& line : answer.cc)
        form.addCcLine(line);
    form.setBodyLines(answer.Memo1);
}

TNewMessageForm* openCompositionWindow(QMdiArea* area, ComposeHost& host)
{
    auto* form = new TNewMessageForm(host);
    QMdiSubWindow* sub = area->addSubWindow(form);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWindowIcon(form->windowIcon());
    const QSize room = area->viewport()->size();
    sub->resize(std::max(480, std::min(760, room.width() - 32)), std::max(380, std::min(600, room.height() - 32)));
    sub->show();
    // The area places a new window where it overlaps least, which may push it past the
    // viewport's edge and hide Send and the attachment buttons; it is moved back inside.
    const QRect frame = sub->geometry();
    const QPoint inside(std::max(0, std::min(frame.x(), room.width() - frame.width())),
                        std::max(0, std::min(frame.y(), room.height() - frame.height())));
    if (inside != frame.topLeft())
        sub->move(inside);
    area->setActiveSubWindow(sub);
    return form;
}

} // namespace tavik
