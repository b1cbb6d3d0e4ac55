#include "view/view_mail_window.h"

#include <QAction>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QSplitter>
#include <QVBoxLayout>

#include "addressbook/address_book.h"
#include "profile/ini_file.h"
#include "store/folder_tree.h"
#include "view/answer_rules.h"
#include "view/attachment_strip_widget.h"
#include "view/print_layout.h"
#include "view/mailbox_window.h"
#include "view/strings_viewer_widget.h"
#include "view/text_viewer_rules.h"
#include "window_common/print_progress_dialog.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

const char* const kTitle = "Tavik mail";
const char* const kFontKeys[] = {"BodyFont", "HeadersFont", "HeaderLabelsFont", "AttachmentsFont"};
const char* const kColorKeys[] = {"HeadersColor", "HeaderLabelsColor", "BodyColor"};

// The "Message attachments" bar is the splitter's handle above the strip: dragging it resizes
// the strip (which can shrink to nothing, leaving the bar), a click collapses or restores it.
class AttachmentBar : public QSplitterHandle {
public:
    AttachmentBar(Qt::Orientation orientation, QSplitter* parent) : QSplitterHandle(orientation, parent)
    {
        setObjectName(QStringLiteral("AttachmentBar"));
        setCursor(Qt::SplitVCursor);
    }
    std::function<void()> onClick;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), palette().color(QPalette::Button));
        p.setPen(palette().color(QPalette::Mid));
        p.drawLine(rect().topLeft(), rect().topRight());
        p.setPen(palette().color(QPalette::ButtonText));
        p.drawText(rect().adjusted(6, 0, -6, 0), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("Message attachments"));
    }
    void mousePressEvent(QMouseEvent* event) override
    {
        pressedAt_ = event->globalPosition().toPoint();
        QSplitterHandle::mousePressEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        QSplitterHandle::mouseReleaseEvent(event);
        if (event->button() == Qt::LeftButton &&
            (event->globalPosition().toPoint() - pressedAt_).manhattanLength() < 3 && onClick)
            onClick();
    }

private:
    QPoint pressedAt_;
};

class BodySplitter : public QSplitter {
public:
    explicit BodySplitter(QWidget* parent) : QSplitter(Qt::Vertical, parent) {}
    std::function<void()> onBarClick;
    AttachmentBar* bar = nullptr;

protected:
    QSplitterHandle* createHandle() override
    {
        bar = new AttachmentBar(orientation(), this);
        bar->onClick = [this] {
            if (onBarClick)
                onBarClick();
        };
        return bar;
    }
};

void setPanelColor(QWidget* panel, const QColor& color)
{
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, color);
    panel->setPalette(palette);
    panel->setAutoFillBackground(true);
}

} // namespace

TViewMailForm::TViewMailForm(MessageWindowHost& host, QWidget* parent) : QWidget(parent), host_(host)
{
    setObjectName(QStringLiteral("TViewMailForm"));

    headerBlock_ = new QFrame(this);
    headerBlock_->setObjectName(QStringLiteral("HeaderBlock"));
    headerBlock_->setFrameShape(QFrame::StyledPanel);
    labelsPanel_ = new QWidget(headerBlock_);
    valuesPanel_ = new QWidget(headerBlock_);
    auto* labelsLayout = new QVBoxLayout(labelsPanel_);
    auto* valuesLayout = new QVBoxLayout(valuesPanel_);
    for (auto* l : {labelsLayout, valuesLayout}) {
        l->setContentsMargins(6, 3, 6, 3);
        l->setSpacing(1);
    }
    const char* const captions[] = {"From:  ", "Subject:  ", "Date:  "};
    for (int i = 0; i < 3; ++i) {
        labels_[i] = new QLabel(QString::fromLatin1(captions[i]), labelsPanel_);
        QFont bold = labels_[i]->font();
        bold.setBold(true);
        labels_[i]->setFont(bold);
        labels_[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        values_[i] = new QLabel(valuesPanel_);
        values_[i]->setTextFormat(Qt::PlainText);
        values_[i]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        labelsLayout->addWidget(labels_[i]);
        valuesLayout->addWidget(values_[i]);
    }
    values_[0]->setObjectName(QStringLiteral("FromValue"));
    values_[1]->setObjectName(QStringLiteral("SubjectValue"));
    values_[2]->setObjectName(QStringLiteral("DateValue"));
    auto* headerLayout = new QHBoxLayout(headerBlock_);
    headerLayout->setContentsMargins(0, 0, 0, 0);
    headerLayout->setSpacing(0);
    headerLayout->addWidget(labelsPanel_);
    headerLayout->addWidget(valuesPanel_, 1);
    setPanelColor(labelsPanel_, palette().color(QPalette::Button));
    setPanelColor(valuesPanel_, palette().color(QPalette::Base));
    // A double click anywhere on the header block closes the window.
    for (QWidget* w : headerBlock_->findChildren<QWidget*>())
        w->installEventFilter(this);
    headerBlock_->installEventFilter(this);

    body_ = new TStringsViewer(this);
    body_->setObjectName(QStringLiteral("MailBody"));
    strip_ = new AttachmentStripWidget(MessageWindowKind::Viewer, this);
    connectAttachmentCommands(host_, MessageWindowKind::Viewer, *body_, *strip_);

    auto* splitter = new BodySplitter(this);
    splitter_ = splitter;
    splitter->setObjectName(QStringLiteral("BodySplitter"));
    splitter->addWidget(body_);
    splitter->addWidget(strip_);
    splitter->setHandleWidth(QFontMetrics(font()).height() + 6);
    splitter->setCollapsible(0, false);
    splitter->setCollapsible(1, true);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    splitter->setSizes({300, restoredStripHeight_});
    splitter->onBarClick = [this] { toggleAttachmentStrip(); };
    // Dragged down to the bar the strip is collapsed; any other height is the one to restore.
    connect(splitter, &QSplitter::splitterMoved, this, [this] {
        const QList<int> sizes = splitter_->sizes();
        if (sizes.size() != 2)
            return;
        stripCollapsed_ = sizes[1] == 0;
        if (sizes[1] > 0)
            restoredStripHeight_ = sizes[1];
    });
    strip_->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(headerBlock_);
    layout->addWidget(splitter_, 1);

    buildPopup();
    readLayout();
    // The keys (scrolling, Esc, Delete) work as soon as the window is up.
    setFocusProxy(body_);
}

TViewMailForm::~TViewMailForm() { letGoOfList(); }

void TViewMailForm::buildPopup()
{
    popup_ = new QMenu(this);
    popup_->setObjectName(QStringLiteral("ViewMailPopup"));
    QAction* replyAll = popup_->addAction(QStringLiteral("Reply to &all"), this, [this] { replyAllMessage(); });
    replyAll->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+R")));
    popup_->addSeparator();
    QAction* copy = popup_->addAction(QStringLiteral("&Copy to Clipboard"), this, [this] { body_->Copy(); });
    copy->setShortcut(QKeySequence(QStringLiteral("Ctrl+C")));
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(copy);
    QAction* all = popup_->addAction(QStringLiteral("Select Al&l"), this, [this] { body_->SelectAll(); });
    all->setShortcut(QKeySequence(QStringLiteral("Ctrl+L")));
    all->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(all);
    popup_->addSeparator();
    QMenu* fonts = popup_->addMenu(QStringLiteral("Set Font"));
    fonts->addAction(QStringLiteral("Mail body text"), this, [this] { setFontOfPart(Part::MailBodyText); });
    fonts->addAction(QStringLiteral("Headers"), this, [this] { setFontOfPart(Part::Headers); });
    fonts->addAction(QStringLiteral("Header Labels"), this, [this] { setFontOfPart(Part::HeaderLabels); });
    fonts->addAction(QStringLiteral("Attachments"), this, [this] { setFontOfPart(Part::Attachments); });
    QMenu* colors = popup_->addMenu(QStringLiteral("Set Color"));
    colors->addAction(QStringLiteral("Headers"), this, [this] { setColorOfArea(Area::Headers); });
    colors->addAction(QStringLiteral("Header Labels"), this, [this] { setColorOfArea(Area::HeaderLabels); });
    colors->addAction(QStringLiteral("Mail body background"), this, [this] { setColorOfArea(Area::MailBodyBackground); });
    wrapAction_ = popup_->addAction(QStringLiteral("Wrap Long Lines"));
    wrapAction_->setCheckable(true);
    wrapAction_->setChecked(body_->WrapLongLines());
    connect(wrapAction_, &QAction::triggered, this, [this](bool checked) {
        body_->SetWrapLongLines(checked);
        writeLayoutKey(TStringsViewer::kWrapLongLinesKey, checked ? "1" : "0");
    });
    popup_->addSeparator();
    popup_->addAction(QStringLiteral("Add Sender to Address Book"), this, [this] { addSenderToAddressBook(); });
    body_->SetPopupMenu(popup_);
    // Esc closes the window (a selection in the body is cleared first); Delete deletes.
    auto* escape = new QAction(this);
    escape->setObjectName(QStringLiteral("EscapeKey"));
    escape->setShortcut(QKeySequence(Qt::Key_Escape));
    escape->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(escape, &QAction::triggered, this, [this] { closeWindow(); });
    addAction(escape);
    auto* deleteKey = new QAction(this);
    deleteKey->setObjectName(QStringLiteral("DeleteKey"));
    deleteKey->setShortcut(QKeySequence(Qt::Key_Delete));
    deleteKey->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(deleteKey, &QAction::triggered, this, [this] { deleteKeyPressed(); });
    addAction(deleteKey);
    headerBlock_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(headerBlock_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { popup_->popup(headerBlock_->mapToGlobal(at)); });
}

QWidget* TViewMailForm::attachmentBar() const { return splitter_->handle(1); }

QMdiSubWindow* TViewMailForm::subWindow() const { return qobject_cast<QMdiSubWindow*>(parentWidget()); }

void TViewMailForm::letGoOfList()
{
    if (NMailboxViewer* list = list_) {
        list_ = nullptr;
        list->ViewerWindowClosed(this);
    }
}

void TViewMailForm::closeWindow()
{
    closing_ = true;
    if (QMdiSubWindow* sub = subWindow())
        sub->close();
    else
        close();
}

void TViewMailForm::closeEvent(QCloseEvent* event)
{
    closing_ = true;
    letGoOfList();
    QWidget::closeEvent(event);
}

void TViewMailForm::ReceiveNotice(const ViewerWindowNotice& notice)
{
    switch (notice.code) {
    case kNoticeListBound:
        list_ = notice.list;
        return;
    case kNoticeShowMessage:
        ShowMessage(notice.mailbox, notice.message);
        return;
    case kNoticeCloseWindow:
        // The list has already forgotten this window.
        list_ = nullptr;
        closeWindow();
        return;
    case kNoticeRenumbered:
        mailbox_ = notice.mailbox;
        message_ = notice.message;
        return;
    default:
        return;
    }
}

void TViewMailForm::BringToFront()
{
    QMdiSubWindow* sub = subWindow();
    if (!sub) {
        showNormal();
        raise();
        activateWindow();
        return;
    }
    if (sub->isMinimized())
        sub->showNormal();
    if (QMdiArea* area = sub->mdiArea())
        area->setActiveSubWindow(sub);
    sub->raise();
}

void TViewMailForm::ShowMessage(int mailbox, int message)
{
    mailbox_ = mailbox;
    message_ = message;
    const ProfileSettings& settings = host_.settings();
    body_->SetQuotedColor(QColor::fromRgb(quotedColorRgb(settings.QuotedColor)));
    TNMailBox& store = host_.Mailbox();
    std::vector<std::string> text;
    std::string from, subject, date;
    char flag = ' ';
    int attachStart = 0, attachEnd = 0;
    // The window now stands for this message: it must not go on showing another one.
    auto showNothing = [this] {
        for (QLabel* value : values_)
            value->clear();
        sender_.clear();
        printedHeader_.clear();
        body_->Clear();
        strip_->ClearAttachments();
        strip_->hide();
    };
    try {
        store.SetCurrentMailBoxNumber(mailbox);
        store.SetMsg_Number(message);
        if (store.Msg_Number() != message) {
            showNothing();
            return;
        }
        store.LoadMessageText();
        text = store.Msg_Text;
        from = store.Msg_From;
        subject = store.Msg_Subject;
        date = store.Msg_Date;
        flag = store.Msg_Flag;
        attachStart = store.Msg_AttachStart;
        attachEnd = store.Msg_AttachEnd;
    } catch (const std::exception& e) {
        showNothing();
        userInteraction().error(kTitle, e.what());
        return;
    }
    sender_ = answerSender(text, from);
    // The index keeps 80 and 40 bytes of sender and subject; the stored header has them whole.
    subject = answerSubject(text, subject);
    values_[0]->setText(fromStored(sender_));
    values_[1]->setText(fromStored(subject));
    values_[2]->setText(fromStored(date));
    std::string to = splitPreviewMessage(text).toLine;
    to.erase(0, std::min(to.find_first_not_of(' ', 3), to.size()));
    printedHeader_ = printedHeaderBlock({sender_, to, date, subject});
    body_->SetLines(viewerBodyLines(text, settings.FullHeaders));
    setWindowTitle(fromStored(subject));
    const std::vector<int> numbers = attachStart != 0 ? attachmentNumbers(attachStart, attachEnd) : std::vector<int>();
    if (numbers.empty()) {
        strip_->ClearAttachments();
        strip_->hide();
        splitter_->refresh();
    } else {
        strip_->SetAttachments(host_.attachments(), numbers);
        strip_->show();
        splitter_->refresh();
        applyStripHeight();
    }
    if (settings.AutoAddAddress) {
        try {
            AddSender(host_.ProfileDirectory(), sender_);
        } catch (const std::exception& e) {
            userInteraction().error(kTitle, e.what());
        }
    }
    if (flag == 'U') {
        try {
            store.SetCurrentMailBoxNumber(mailbox);
            store.SetMsg_Number(message);
            if (store.Msg_Number() == message)
                store.SetMessageFlag('V');
        } catch (const std::exception& e) {
            userInteraction().error(kTitle, e.what());
        }
    }
}

void TViewMailForm::Answer(const std::string& mode) { answerStoredMessage(host_, mailbox_, message_, mode, true); }

void TViewMailForm::nextMessage()
{
    if (list_)
        list_->ShowAdjacentInWindow(this, NMailboxViewer::Direction::Next);
}

void TViewMailForm::previousMessage()
{
    if (list_)
        list_->ShowAdjacentInWindow(this, NMailboxViewer::Direction::Previous);
}

void TViewMailForm::deleteMessages()
{
    if (mailbox_ == kTrashMailbox || message_ == 0)
        return;
    if (!userInteraction().askYesNo(kFolderMessageTitle, kDeleteMessagesQuestion))
        return;
    moveTo(kTrashMailbox);
}

void TViewMailForm::deleteKeyPressed()
{
    if (mailbox_ != kTrashMailbox) {
        deleteMessages();
        return;
    }
    if (message_ == 0 || !userInteraction().askYesNo(kFolderMessageTitle, kDeleteForGoodQuestion))
        return;
    try {
        deleteMessagesForGood(host_.Mailbox(), mailbox_, {message_});
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
        return;
    }
    // As after a move: the list's removal notice has closed the window, or this does.
    if (!closing_)
        closeWindow();
}

void TViewMailForm::moveMessages()
{
    if (message_ == 0)
        return;
    TNMailBox& store = host_.Mailbox();
    std::vector<std::string> names;
    for (int i = 1; i <= static_cast<int>(store.MailBoxes.size()); ++i)
        names.push_back(store.MailboxDisplayName(i));
    if (std::optional<int> target = userInteraction().askMoveTarget(names))
        moveTo(*target);
}

void TViewMailForm::moveMessagesTo(int mailbox) { moveTo(mailbox); }

void TViewMailForm::moveTo(int target)
{
    if (target < 1 || target == mailbox_ || message_ == 0 || mailbox_ == 0)
        return;
    TNMailBox& store = host_.Mailbox();
    try {
        const std::string key = store.MailboxKey(target);
        if (key.empty())
            return;
        store.SetCurrentMailBoxNumber(mailbox_);
        store.SetMsg_Number(message_);
        if (store.Msg_Number() != message_)
            return;
        store.MoveMessage(key);
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
        return;
    }
    // The list's removal notice has closed the window. Without a list to hear it (its viewer
    // table was full) the window would go on showing a number that now means another message.
    if (!closing_)
        closeWindow();
}

void TViewMailForm::saveMessage() { saveMessageText(body_->Lines()); }

void TViewMailForm::addSenderToAddressBook()
{
    try {
        AddSender(host_.ProfileDirectory(), sender_);
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

bool TViewMailForm::attachmentStripCollapsed() const { return stripCollapsed_; }

void TViewMailForm::applyStripHeight()
{
    const QList<int> sizes = splitter_->sizes();
    int total = sizes.size() == 2 ? sizes[0] + sizes[1] : 0;
    if (total <= 0)
        total = std::max(0, splitter_->height() - splitter_->handleWidth());
    const int height = stripCollapsed_ ? 0 : std::min(restoredStripHeight_, std::max(0, total - 20));
    splitter_->setSizes({total - height, height});
}

void TViewMailForm::toggleAttachmentStrip()
{
    const QList<int> sizes = splitter_->sizes();
    if (!stripCollapsed_ && sizes.size() == 2 && sizes[1] > 0)
        restoredStripHeight_ = sizes[1];
    stripCollapsed_ = !stripCollapsed_;
    applyStripHeight();
}

bool TViewMailForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonDblClick) {
        closeWindow();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TViewMailForm::applyFont(Part part, const QFont& font)
{
    switch (part) {
    case Part::MailBodyText:
        body_->SetFont(font);
        break;
    case Part::Headers:
        for (QLabel* v : values_)
            v->setFont(font);
        break;
    case Part::HeaderLabels:
        for (QLabel* l : labels_)
            l->setFont(font);
        break;
    case Part::Attachments:
        strip_->SetListFont(font);
        break;
    }
}

void TViewMailForm::applyColor(Area area, const QColor& color)
{
    switch (area) {
    case Area::Headers:
        setPanelColor(valuesPanel_, color);
        break;
    case Area::HeaderLabels:
        setPanelColor(labelsPanel_, color);
        break;
    case Area::MailBodyBackground:
        body_->SetColor(color);
        break;
    }
}

void TViewMailForm::readLayout()
{
    IniFile ini;
    try {
        ini = IniFile(host_.ProfileDirectory() + TMailboxForm::kLayoutFile);
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
        return;
    }
    const Part parts[] = {Part::MailBodyText, Part::Headers, Part::HeaderLabels, Part::Attachments};
    for (int i = 0; i < 4; ++i) {
        QFont font;
        if (fontFromText(ini.readString(kLayoutSection, kFontKeys[i]), font))
            applyFont(parts[i], font);
    }
    const Area areas[] = {Area::Headers, Area::HeaderLabels, Area::MailBodyBackground};
    for (int i = 0; i < 3; ++i) {
        const std::string text = ini.readString(kLayoutSection, kColorKeys[i]);
        const QColor color = QColor::fromString(QString::fromLatin1(text.c_str()));
        if (!text.empty() && color.isValid())
            applyColor(areas[i], color);
    }
    const bool wrap = ini.readBool(kLayoutSection, TStringsViewer::kWrapLongLinesKey, true);
    body_->SetWrapLongLines(wrap);
    wrapAction_->setChecked(wrap);
}

void TViewMailForm::writeLayoutKey(const std::string& key, const std::string& value)
{
    try {
        IniFile ini(host_.ProfileDirectory() + TMailboxForm::kLayoutFile);
        ini.writeString(kLayoutSection, key, value);
        ini.save();
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

void TViewMailForm::setFontOfPart(Part part)
{
    const QFont current = part == Part::MailBodyText ? body_->font()
                          : part == Part::Headers    ? values_[0]->font()
                          : part == Part::HeaderLabels ? labels_[0]->font()
                                                       : strip_->ListFont();
    std::optional<QFont> font = userInteraction().askFont("Set Font", current);
    if (!font)
        return;
    applyFont(part, *font);
    writeLayoutKey(kFontKeys[static_cast<int>(part)], font->toString().toUtf8().toStdString());
}

void TViewMailForm::setColorOfArea(Area area)
{
    const QColor current = area == Area::Headers        ? valuesPanel_->palette().color(QPalette::Window)
                           : area == Area::HeaderLabels ? labelsPanel_->palette().color(QPalette::Window)
                                                        : body_->Color();
    std::optional<QColor> color = userInteraction().askColor("Set Color", current);
    if (!color || !color->isValid())
        return;
    applyColor(area, *color);
    writeLayoutKey(kColorKeys[static_cast<int>(area)], toStored(color->name(QColor::HexRgb)));
}

void TViewMailForm::printMessage()
{
    printMessageLines(this, body_->Lines(), body_->font(), programPrinter(), printedHeader_);
}

} // namespace tavik
