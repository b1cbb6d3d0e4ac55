#include "view/mailbox_window.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>

#include "addressbook/address_book.h"
#include "profile/ini_file.h"
#include "smtp/compose_rules.h"
#include "smtp/new_message_window.h"
#include "pop3/attachment_store.h"
#include "smtp/stored_copy.h"
#include "store/folder_tree.h"
#include "view/answer_rules.h"
#include "view/attachment_strip_widget.h"
#include "view/mailbox_list_widget.h"
#include "view/print_layout.h"
#include "view/strings_viewer_widget.h"
#include "view/text_viewer_rules.h"
#include "view/view_mail_window.h"
#include "window_common/print_progress_dialog.h"
#include "window_common/save_folder.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

const char* const kTitle = "Tavik mail";
const char* const kFontKeys[] = {"ListFont", "TextFont", "AttachmentsFont"};

// The strip under the list that holds the counters: a click on it (or on a counter) is reported.
class CounterStrip : public QFrame {
public:
    explicit CounterStrip(QWidget* parent) : QFrame(parent) {}
    std::function<void()> onClick;

protected:
    void mousePressEvent(QMouseEvent* event) override { event->accept(); }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && onClick)
            onClick();
    }
};

QLabel* counterLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setFrameShape(QFrame::StyledPanel);
    label->setFrameShadow(QFrame::Sunken);
    return label;
}

} // namespace

TMailboxForm::TMailboxForm(MessageWindowHost& host, int mailboxNumber, QWidget* parent)
    : QWidget(parent), host_(host), number_(mailboxNumber)
{
    setObjectName(QStringLiteral("TMailboxForm"));
    setWindowTitle(fromStored(host.Mailbox().MailboxDisplayName(mailboxNumber)));

    list_ = new MailboxListWidget(this);
    list_->pictureOf = [this](const std::string& name) { return host_.statusPicture(name); };

    auto* strip = new CounterStrip(this);
    strip->setObjectName(QStringLiteral("CounterStrip"));
    strip->onClick = [this] { togglePreviewPane(); };
    counterStrip_ = strip;
    messageCounter_ = counterLabel(strip);
    messageCounter_->setObjectName(QStringLiteral("MessageCounter"));
    unreadCounter_ = counterLabel(strip);
    unreadCounter_->setObjectName(QStringLiteral("UnreadCounter"));
    attachmentsButton_ = new QPushButton(QStringLiteral("&Attachments"), strip);
    attachmentsButton_->setObjectName(QStringLiteral("AttachmentsButton"));
    attachmentsButton_->hide();
    headerButton_ = new QPushButton(strip);
    headerButton_->setObjectName(QStringLiteral("HeaderButton"));
    connect(attachmentsButton_, &QPushButton::clicked, this, [this] { attachmentsButtonClick(); });
    connect(headerButton_, &QPushButton::clicked, this, [this] { headerButtonClick(); });
    auto* stripLayout = new QHBoxLayout(strip);
    stripLayout->setContentsMargins(2, 2, 2, 2);
    stripLayout->setSpacing(4);
    stripLayout->addWidget(messageCounter_);
    stripLayout->addWidget(unreadCounter_);
    stripLayout->addStretch(1);
    stripLayout->addWidget(attachmentsButton_);
    stripLayout->addWidget(headerButton_);

    // The filter above the list: typing narrows the rows at once, from the folded texts the list
    // keeps, so even a full mailbox follows each key.
    filter_ = new QLineEdit(this);
    filter_->setObjectName(QStringLiteral("MessageFilter"));
    filter_->setPlaceholderText(QStringLiteral("Filter by From, To or Subject"));
    filter_->setClearButtonEnabled(true);
    connect(filter_, &QLineEdit::textChanged, this,
            [this](const QString& text) { list_->viewer().SetFilter(toStored(text)); });

    auto* top = new QWidget(this);
    auto* topLayout = new QVBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->setSpacing(0);
    topLayout->addWidget(filter_);
    topLayout->addWidget(list_, 1);
    topLayout->addWidget(strip);

    preview_ = new TStringsViewer(this);
    preview_->setObjectName(QStringLiteral("PreviewPane"));

    strip_ = new AttachmentStripWidget(MessageWindowKind::Mailbox, this);
    connectAttachmentCommands(host_, MessageWindowKind::Mailbox, *preview_, *strip_);
    strip_->hide();

    splitter_ = new QSplitter(Qt::Vertical, this);
    splitter_->setObjectName(QStringLiteral("MailboxSplitter"));
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(top);
    splitter_->addWidget(preview_);
    splitter_->addWidget(strip_);
    splitter_->setStretchFactor(0, 1);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({240, 220, 80});
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitter_);

    buildPopup();
    setFocusProxy(list_);
    // Tab goes down the window: list, preview, the strip's buttons, the attachments.
    setTabOrder(list_, preview_);
    setTabOrder(preview_, attachmentsButton_);
    setTabOrder(attachmentsButton_, headerButton_);
    setTabOrder(headerButton_, strip_);

    NMailboxViewer& viewer = list_->viewer();
    viewer.OnChange = [this](NMailboxViewer&) { listChanged(); };
    viewer.OnMessageClick = [this](NMailboxViewer&, int message) { ViewMessage(message); };
    viewer.OnMessagesRenumbered = [this](NMailboxViewer&, const std::vector<int>& numbers) {
        messagesRenumbered(numbers);
    };
    // Viewer windows opened from the list belong to the host's window area.
    viewer.ViewerWindowFactory = [this]() -> MessageViewerWindow* {
        auto* window = new TViewMailForm(host_);
        host_.addViewerWindow(window);
        return window;
    };
    list_->OnMessagesDropped = [this](const MessageDrag& drag) {
        try {
            host_.MessagesDropped(number_, drag);
        } catch (const std::exception& e) {
            userInteraction().error(kTitle, e.what());
        }
    };
    showAllHeaders_ = host_.settings().FullHeaders;
    updateHeaderButton();
    listChanged();
}

TMailboxForm::~TMailboxForm()
{
    try {
        writeLayout(true);
    } catch (...) {
    }
    // The list's events would reach a form that is going.
    NMailboxViewer& viewer = list_->viewer();
    viewer.OnChange = nullptr;
    viewer.OnMessageClick = nullptr;
    viewer.OnMessagesRenumbered = nullptr;
    viewer.ViewerWindowFactory = nullptr;
}

void TMailboxForm::Open()
{
    list_->applyLook(listLookFor(number_));
    NMailboxViewer& viewer = list_->viewer();
    viewer.SetMailbox(&host_.Mailbox());
    viewer.SetMailboxNumber(number_);
    // Damaged messages keep no one from the others; the user is told once, when the window opens.
    if (!viewer.DamagedMessages().empty())
        userInteraction().warn(kTitle, damagedMessagesWarning(number_, host_.Mailbox().MailboxDisplayName(number_),
                                                              viewer.DamagedMessages()));
}

void TMailboxForm::buildPopup()
{
    popup_ = new QMenu(this);
    popup_->setObjectName(QStringLiteral("MailboxPopup"));
    QAction* reply = popup_->addAction(QStringLiteral("&Reply"), this, [this] { replyMessage(); });
    reply->setShortcut(QKeySequence(QStringLiteral("Ctrl+R")));
    QAction* replyAll = popup_->addAction(QStringLiteral("Reply to &all"), this, [this] { replyAllMessage(); });
    replyAll->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+R")));
    QAction* edit = popup_->addAction(QStringLiteral("E&dit"), this, [this] { editMessage(); });
    edit->setShortcut(QKeySequence(QStringLiteral("Ctrl+D")));
    popup_->addSeparator();
    popup_->addAction(QStringLiteral("Add person to address book"), this, [this] { addPersonToAddressBook(); });
    QMenu* mark = popup_->addMenu(QStringLiteral("Mark message as ..."));
    mark->addAction(QStringLiteral("... Read"), this, [this] { markMessage('V'); });
    mark->addAction(QStringLiteral("... Non Read"), this, [this] { markMessage('U'); });
    QMenu* fonts = popup_->addMenu(QStringLiteral("Set Font"));
    fonts->addAction(QStringLiteral("Messages List"), this, [this] { setFontOfPart(Part::MessagesList); });
    fonts->addAction(QStringLiteral("Message Text"), this, [this] { setFontOfPart(Part::MessageText); });
    fonts->addAction(QStringLiteral("Attachments list"), this, [this] { setFontOfPart(Part::AttachmentsList); });
    wrapAction_ = popup_->addAction(QStringLiteral("Wrap Long Lines"));
    wrapAction_->setCheckable(true);
    wrapAction_->setChecked(preview_->WrapLongLines());
    connect(wrapAction_, &QAction::triggered, this, [this](bool checked) { setWrapLongLines(checked); });
    popup_->addSeparator();
    QAction* copy = popup_->addAction(QStringLiteral("Copy"), this, [this] { preview_->Copy(); });
    copy->setShortcut(QKeySequence(QStringLiteral("Ctrl+C")));
    // Ctrl+C copies the preview's selection from anywhere in the window; Ctrl+R and Ctrl+D stay
    // the main window's.
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(copy);
    // The Delete key of the list and the preview; a text field of the window keeps it.
    auto* deleteKey = new QAction(this);
    deleteKey->setObjectName(QStringLiteral("DeleteKey"));
    deleteKey->setShortcut(QKeySequence(Qt::Key_Delete));
    deleteKey->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(deleteKey, &QAction::triggered, this, [this] { deleteKeyPressed(); });
    addAction(deleteKey);
    preview_->SetPopupMenu(popup_);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { popup_->popup(list_->viewport()->mapToGlobal(at)); });
}

std::string TMailboxForm::layoutPath() const { return host_.ProfileDirectory() + kLayoutFile; }

void TMailboxForm::readLayout()
{
    layoutRead_ = true;
    IniFile ini;
    try {
        ini = IniFile(layoutPath());
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
        return;
    }
    std::vector<int> widths = list_->columnWidths();
    for (int c = 0; c < kColumnCount; ++c) {
        const long long w = ini.readInteger(kLayoutSection, "ColumnWidth" + std::to_string(c + 1), -1);
        if (w > 0 && w <= 4000)
            widths[static_cast<std::size_t>(c)] = static_cast<int>(w);
    }
    list_->setColumnWidths(widths);
    savedWidths_ = list_->columnWidths();
    const Part parts[] = {Part::MessagesList, Part::MessageText, Part::AttachmentsList};
    for (int i = 0; i < 3; ++i) {
        QFont font;
        if (fontFromText(ini.readString(kLayoutSection, kFontKeys[i]), font))
            applyFont(parts[i], font);
    }
    applyWrapLongLines(ini.readBool(kLayoutSection, TStringsViewer::kWrapLongLinesKey, true));
}

void TMailboxForm::writeLayout(bool onlyWhenChanged)
{
    if (!layoutRead_)
        return;
    const std::vector<int> widths = list_->columnWidths();
    if (onlyWhenChanged && widths == savedWidths_)
        return;
    IniFile ini(layoutPath());
    for (int c = 0; c < kColumnCount; ++c)
        ini.writeInteger(kLayoutSection, "ColumnWidth" + std::to_string(c + 1), widths[static_cast<std::size_t>(c)]);
    ini.save();
    savedWidths_ = widths;
}

void TMailboxForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!layoutRead_)
        readLayout();
    showAllHeaders_ = host_.settings().FullHeaders;
    updateHeaderButton();
}

void TMailboxForm::closeEvent(QCloseEvent* event)
{
    try {
        writeLayout(true);
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
    QWidget::closeEvent(event);
}

void TMailboxForm::listChanged()
{
    const NMailboxViewer& viewer = list_->viewer();
    messageCounter_->setText(QStringLiteral("   %1 message(s)   ").arg(viewer.ItemCount()));
    unreadCounter_->setText(QStringLiteral("   %1 unread message(s)   ").arg(viewer.NotReadMessages()));
    try {
        writeLayout(true);
    } catch (const std::exception&) {
        // Written again when the window closes, where a failure is shown.
    }
}

void TMailboxForm::messagesRenumbered(const std::vector<int>& newNumbers)
{
    // The preview keeps following its message; once the message is gone it shows nothing, so
    // the header button or Next never act on the message that took its number.
    if (current_ == 0)
        return;
    if (newNumbers.empty() || current_ >= static_cast<int>(newNumbers.size()) ||
        newNumbers[static_cast<std::size_t>(current_)] == 0) {
        clearPreview();
        return;
    }
    current_ = newNumbers[static_cast<std::size_t>(current_)];
}

void TMailboxForm::updateHeaderButton()
{
    headerButton_->setText(showAllHeaders_ ? QStringLiteral("   Hide all &headers   ")
                                           : QStringLiteral("   Show all &headers   "));
}

void TMailboxForm::ViewMessage(int n)
{
    TNMailBox& store = host_.Mailbox();
    if (n < 1 || !list_->viewer().Mailbox())
        return;
    std::vector<std::string> text;
    std::string from, subject, date;
    int attachStart = 0, attachEnd = 0;
    const ProfileSettings& settings = host_.settings();
    try {
        store.SetCurrentMailBoxNumber(number_);
        store.SetMsg_Number(n);
        if (store.Msg_Number() != n)
            return;
        store.LoadMessageText();
        text = store.Msg_Text;
        from = store.Msg_From;
        date = store.Msg_Date;
        // The index keeps 40 bytes of the subject; the stored header has it whole.
        subject = answerSubject(text, store.Msg_Subject);
        attachStart = store.Msg_AttachStart;
        attachEnd = store.Msg_AttachEnd;
        // "Mark as read the messages viewed": the preview counts as viewing.
        if (settings.MarkAsRead && (store.Msg_Flag == 'U' || store.Msg_Flag == 'u'))
            store.SetMessageFlag('V');
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
        return;
    }
    const PreviewMessage message = splitPreviewMessage(text);
    std::optional<std::string> password;
    if (isEncipheredMessage(message))
        password = userInteraction().askDecoderPassword();
    current_ = n;
    currentDate_ = date;
    preview_->SetQuotedColor(QColor::fromRgb(quotedColorRgb(settings.QuotedColor)));
    preview_->SetLines(previewLines(message, subject, showAllHeaders_, password));
    const std::vector<int> numbers = attachStart != 0 ? attachmentNumbers(attachStart, attachEnd) : std::vector<int>();
    hasAttachments_ = !numbers.empty();
    if (hasAttachments_)
        strip_->SetAttachments(host_.attachments(), numbers);
    else
        strip_->ClearAttachments();
    attachmentsButton_->setVisible(hasAttachments_);
    strip_->setVisible(hasAttachments_ && stripWanted_);
    if (settings.AutoAddAddress) {
        try {
            AddSender(host_.ProfileDirectory(), answerSender(text, from));
        } catch (const std::exception& e) {
            userInteraction().error(kTitle, e.what());
        }
    }
}

void TMailboxForm::clearPreview()
{
    current_ = 0;
    currentDate_.clear();
    preview_->Clear();
    strip_->ClearAttachments();
    hasAttachments_ = false;
    attachmentsButton_->hide();
    strip_->hide();
}

void TMailboxForm::NextMessage()
{
    NMailboxViewer& viewer = list_->viewer();
    if (viewer.Count() == 0)
        return;
    // From the row of the message shown; with none shown, from before the first row (the row the
    // list made current when it took the focus was never shown).
    viewer.SetItemIndex(current_ > 0 ? viewer.LineOf(current_) : -1);
    const int message = viewer.SelectNext();
    // On the last row the current message stays as it is shown.
    if (message > 0 && message != current_)
        ViewMessage(message);
}

void TMailboxForm::PreviousMessage()
{
    NMailboxViewer& viewer = list_->viewer();
    if (viewer.Count() == 0)
        return;
    // From the row of the message shown; with none shown, from before the first row (the row the
    // list made current when it took the focus was never shown).
    viewer.SetItemIndex(current_ > 0 ? viewer.LineOf(current_) : -1);
    const int message = viewer.SelectPrevious();
    if (message > 0 && message != current_)
        ViewMessage(message);
}

void TMailboxForm::headerButtonClick()
{
    showAllHeaders_ = !showAllHeaders_;
    updateHeaderButton();
    if (current_ > 0)
        ViewMessage(current_);
}

bool TMailboxForm::previewPaneShown() const { return !preview_->isHidden(); }

void TMailboxForm::togglePreviewPane()
{
    if (previewPaneShown()) {
        previewSizes_ = splitter_->sizes();
        preview_->hide();
        return;
    }
    preview_->show();
    // Back where it was, its splitter just above it.
    if (previewSizes_.size() == splitter_->count())
        splitter_->setSizes(previewSizes_);
}

bool TMailboxForm::attachmentStripShown() const { return !strip_->isHidden(); }

void TMailboxForm::attachmentsButtonClick()
{
    stripWanted_ = !stripWanted_;
    strip_->setVisible(stripWanted_ && hasAttachments_);
}

void TMailboxForm::deleteKeyPressed()
{
    if (number_ != kTrashMailbox) {
        deleteMessages();
        return;
    }
    const std::vector<int> numbers = list_->viewer().SelectedMessages();
    if (numbers.empty() || !userInteraction().askYesNo(kFolderMessageTitle, kDeleteForGoodQuestion))
        return;
    try {
        deleteMessagesForGood(host_.Mailbox(), number_, numbers);
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
    clearPreview();
}

int TMailboxForm::selectedRowMessage() const
{
    const NMailboxViewer& viewer = list_->viewer();
    return viewer.MessageAt(viewer.ItemIndex());
}

void TMailboxForm::deleteMessages()
{
    NMailboxViewer& viewer = list_->viewer();
    // Messages leave Trash only when it is emptied; a question whose answer changes nothing is not asked.
    if (number_ == kTrashMailbox || viewer.SelectedMessages().empty())
        return;
    if (!userInteraction().askYesNo(kFolderMessageTitle, kDeleteMessagesQuestion))
        return;
    try {
        viewer.MoveSelected(kTrashMailbox);
    } catch (const std::exception& e) {
        // Nothing moved: the window stays as it was.
        userInteraction().error(kTitle, e.what());
        return;
    }
    clearPreview();
}

void TMailboxForm::moveMessages()
{
    if (list_->viewer().SelectedMessages().empty())
        return;
    TNMailBox& store = host_.Mailbox();
    std::vector<std::string> names;
    for (int i = 1; i <= static_cast<int>(store.MailBoxes.size()); ++i)
        names.push_back(store.MailboxDisplayName(i));
    if (std::optional<int> target = userInteraction().askMoveTarget(names))
        moveMessagesTo(*target);
}

void TMailboxForm::moveMessagesTo(int mailbox)
{
    NMailboxViewer& viewer = list_->viewer();
    if (mailbox < 1 || mailbox == number_ || viewer.SelectedMessages().empty())
        return;
    try {
        // The first failure stops the move and is shown; the list shows what the store holds.
        viewer.MoveSelected(mailbox);
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

void saveMessageText(const std::vector<std::string>& lines)
{
    std::optional<std::string> path = userInteraction().askSaveFile("Save Message Text", saveDialogStart(), "Text|*.txt");
    if (!path || path->empty())
        return;
    rememberSaveFolder(*path);
    try {
        writeFileAtomically(*path, savedTextBytes(lines));
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

void TMailboxForm::saveMessage() { saveMessageText(preview_->Lines()); }

void TMailboxForm::addPersonToAddressBook()
{
    const int message = selectedRowMessage();
    if (message == 0)
        return;
    try {
        TNMailBox& store = host_.Mailbox();
        store.SetCurrentMailBoxNumber(number_);
        store.SetMsg_Number(message);
        if (store.Msg_Number() != message)
            return;
        // The index keeps 80 characters of the sender: a longer one would be stored cut.
        store.LoadMessageText();
        AddSender(host_.ProfileDirectory(), answerSender(store.Msg_Text, store.Msg_From));
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

namespace {

// The attachments `first` to `last` of a message being forwarded, as a composition attaches
// files. Each goes with a copy of its file: the copy outlives the original's deletion from
// Trash, and a forward queued in "To Send" still finds it after the program restarts. A file
// that cannot be copied is told and left out.
std::vector<TOutgoingAttachment> forwardedAttachments(TAttachmentManager& store, int first, int last)
{
    std::vector<TOutgoingAttachment> out;
    if (first <= 0 || last < first)
        return out;
    constexpr std::size_t kPathRoom = 255;
    const std::string forwarded = store.AttachmentDirectory() + "forwarded/";
    for (int n = first; n <= last && out.size() < kMaxComposedAttachments; ++n) {
        try {
            const TMIMEAttachment record = store.GetAttachment(n);
            // The file keeps the attachment's name, which the message announces from the path.
            const std::string number = std::to_string(n), directory = forwarded + number + "/";
            ensurePrivateDirectory(forwarded);
            ensurePrivateDirectory(directory);
            TOutgoingAttachment a;
            a.Name = attachmentFileNamePart(record.FileName, "a" + number);
            a.Path = directory + a.Name;
            if (a.Path.size() > kPathRoom)
                a.Path = directory + "a" + number;
            store.CopyAttachmentFile(n, a.Path);
            a.MimeType = record.ContentType;
            a.Description = record.Description;
            out.push_back(std::move(a));
        } catch (const std::exception& e) {
            userInteraction().error(kTitle, e.what());
        }
    }
    return out;
}

} // namespace

void answerStoredMessage(MessageWindowHost& host, int mailbox, int message, const std::string& mode, bool viewerWindow)
{
    const std::optional<AnswerMode> m = answerModeOf(mode);
    if (!m || message == 0)
        return;
    AnswerSource source;
    // Edit of a draft reopens it as it was composed; it is not an answer to its sender (the
    // stored "From:" line is the user's own address).
    std::optional<DraftOrigin> draft;
    ComposedMessage reopened;
    std::vector<TOutgoingAttachment> forwarded;
    try {
        TNMailBox& store = host.Mailbox();
        ProfileSettings& settings = host.settings();
        store.SetCurrentMailBoxNumber(mailbox);
        store.SetMsg_Number(message);
        if (store.Msg_Number() != message)
            return;
        store.LoadMessageText();
        source = {store.Msg_Text,  store.Msg_Subject, store.Msg_From, viewerWindow, settings.FullHeaders,
                  store.Msg_Date, {settings.RetAddr, settings.ReplyTo}};
        if (*m == AnswerMode::Forward)
            forwarded = forwardedAttachments(host.attachments(), store.Msg_AttachStart, store.Msg_AttachEnd);
        if (*m == AnswerMode::Edit && mailbox == draftsTarget(store.MailBoxes, settings.DraftsMailBox)) {
            draft = DraftOrigin{mailbox, message, store.Msg_From, store.Msg_Subject, store.Msg_Date, store.Msg_Text};
            ProfileSettings probe = settings;
            const std::vector<std::string> signature =
                settings.UseSignature ? LoadSignature(host.ProfileDirectory(), probe) : std::vector<std::string>();
            reopened = reopenedDraft(store.Msg_Text, signature);
            const OutgoingMessage filed = QueuedOutgoingMessage(settings, store, host.attachments());
            for (const auto& slot : filed.AttachmentSlots)
                if (slot)
                    reopened.Attachments.push_back(*slot);
            store.SetCurrentMailBoxNumber(mailbox);
            store.SetMsg_Number(message);
        }
        if (viewerWindow && store.Msg_Number() == message)
            store.SetMessageFlag('R');
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
        return;
    }
    TNewMessageForm* form = host.newComposition();
    if (!form)
        return;
    if (draft)
        form->reopenDraft(reopened, *draft);
    else
        fillComposition(*form, AnswerMessage(*m, source));
    if (!forwarded.empty())
        form->setAttachmentList(std::move(forwarded));
}

void TMailboxForm::Answer(const std::string& mode)
{
    answerStoredMessage(host_, number_, current_ != 0 ? current_ : selectedRowMessage(), mode, false);
}

void TMailboxForm::markMessage(char flag)
{
    const int message = selectedRowMessage();
    if (message == 0)
        return;
    try {
        TNMailBox& store = host_.Mailbox();
        store.SetCurrentMailBoxNumber(number_);
        store.SetMsg_Number(message);
        if (store.Msg_Number() != message)
            return;
        store.SetMessageFlag(flag);
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

void TMailboxForm::applyFont(Part part, const QFont& font)
{
    switch (part) {
    case Part::MessagesList:
        list_->setListFont(font);
        break;
    case Part::MessageText:
        preview_->SetFont(font);
        break;
    case Part::AttachmentsList:
        strip_->SetListFont(font);
        break;
    }
}

void TMailboxForm::setFontOfPart(Part part)
{
    const QFont current = part == Part::MessagesList  ? list_->font()
                          : part == Part::MessageText ? preview_->font()
                                                      : strip_->ListFont();
    std::optional<QFont> font = userInteraction().askFont("Set Font", current);
    if (!font)
        return;
    applyFont(part, *font);
    if (QMdiArea* area = host_.mdiArea())
        for (QMdiSubWindow* sub : area->subWindowList())
            if (auto* other = qobject_cast<TMailboxForm*>(sub->widget()); other && other != this)
                other->applyFont(part, *font);
    try {
        IniFile ini(layoutPath());
        ini.writeString(kLayoutSection, kFontKeys[static_cast<int>(part)], fontText(*font));
        ini.save();
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

void TMailboxForm::applyWrapLongLines(bool wrap)
{
    preview_->SetWrapLongLines(wrap);
    wrapAction_->setChecked(wrap);
}

void TMailboxForm::setWrapLongLines(bool wrap)
{
    applyWrapLongLines(wrap);
    if (QMdiArea* area = host_.mdiArea())
        for (QMdiSubWindow* sub : area->subWindowList())
            if (auto* other = qobject_cast<TMailboxForm*>(sub->widget()); other && other != this)
                other->applyWrapLongLines(wrap);
    try {
        IniFile ini(layoutPath());
        ini.writeBool(kLayoutSection, TStringsViewer::kWrapLongLinesKey, wrap);
        ini.save();
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

void TMailboxForm::printMessage()
{
    const std::vector<std::string>& lines = preview_->Lines();
    const PrintedPreview printed = printedPreview(lines, currentDate_);
    if (printed.body.size() == lines.size())
        printMessageLines(this, lines, preview_->font());
    else
        printMessageLines(this, printed.body, preview_->font(), programPrinter(), printedHeaderBlock(printed.header));
}

} // namespace tavik
