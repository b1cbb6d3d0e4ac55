// The main window: building it, its actions, menus and tool bar, and the pictures it shows.
#include "app/main_window.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSessionManager>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/main_window_private.h"
#include "app/new_user_dialog.h"
#include "app/side_bar_widget.h"
#include "app/splash_window.h"
#include "profile/file_util.h"
#include "window_common/desktop_notifier.h"
#include "window_common/folder_tree_widget.h"
#include "window_common/resources.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

using namespace main_window_detail;

const std::vector<std::string>& TMainForm::statusPictureNames()
{
    static const std::vector<std::string> names = {
        "MAIL_READ",  "MAIL_UNREAD",      "MAIL_SENT",  "MAIL_ATTACHMENT2", "MAIL_QUEUED",
        "MAIL_DRAFT", "MIME_AUDIO",       "MIME_APPLICATION", "MIME_IMAGE", "MIME_MESSAGE",
        "MIME_TEXT",  "MIME_VIDEO",       "MAIL_URGENT"};
    return names;
}

TMainForm::TMainForm(QWidget* parent)
    : QMainWindow(parent), workflows_(std::make_unique<WorkflowCommands>()),
      attachmentLinks_(std::make_unique<AttachmentLinkCommands>())
{
    ensureResources();
    setObjectName(QStringLiteral("TMainForm"));
    setWindowTitle(QString::fromLatin1(kTitle));
    setWindowIcon(picture("tavik"));

    SystemTimer = new QTimer(this);
    SystemTimer->setObjectName(QStringLiteral("SystemTimer"));
    SystemTimer->setInterval(kSystemTimerInterval);
    connect(SystemTimer, &QTimer::timeout, this, [this] { runGuarded(&TMainForm::SystemTimerTimer); });

    // A move notices its two mailboxes once per message: the tree counts after the whole change.
    unreadTimer_ = new QTimer(this);
    unreadTimer_->setSingleShot(true);
    unreadTimer_->setInterval(0);
    connect(unreadTimer_, &QTimer::timeout, this, [this] { countUnread(false); });
    mailbox_.OnMailboxChanged = [this](const std::string& key, int, int) { mailboxChanged(key); };
    setDesktopNotifier(nullptr);
    keyring_ = desktopKeyring();

    buildPanels();
    buildActions();
    buildMenus();
    buildToolBar();
    userLabel_ = new QLabel(this);
    statusBar()->addPermanentWidget(userLabel_);
    statusBar()->showMessage(QStringLiteral("Welcome to Tavik mail"));

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize available = screen->availableSize();
        resize(std::min(1100, available.width() * 9 / 10), std::min(720, available.height() * 9 / 10));
    } else {
        resize(1100, 720);
    }

    qApp->installEventFilter(this);
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        // The event loop is ending: there is no waiting for a session any more.
        if (state_ == State::ProfileOpen) {
            if (workflows_->sessionRunning())
                workflows_->cancelSession();
            Shutdown();
        }
    });
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { requestShutdown(); });
    refreshCommandState();
}

TMainForm::~TMainForm()
{
    if (state_ == State::ProfileOpen) {
        try {
            Shutdown();
        } catch (...) {
        }
    }
    mailbox_.OnMailboxChanged = nullptr;
    delete splash_;
    // Child windows go before the store they are registered with.
    if (mdi_)
        for (QMdiSubWindow* sub : mdi_->subWindowList())
            delete sub;
}

// ---------------------------------------------------------------------------------------------
// Building the window

void TMainForm::buildPanels()
{
    mdi_ = new QMdiArea(this);
    mdi_->setObjectName(QStringLiteral("MdiArea"));
    mdi_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    mdi_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    mdi_->setBackground(QColor(0x8c, 0x9d, 0xb5));
    connect(mdi_, &QMdiArea::subWindowActivated, this, [this] { refreshCommandState(); });

    treePanel_ = new QWidget(this);
    treePanel_->setObjectName(QStringLiteral("TreePanel"));
    auto* treeLayout = new QVBoxLayout(treePanel_);
    treeLayout->setContentsMargins(0, 0, 0, 0);
    treeLayout->setSpacing(0);
    auto* caption = new QLabel(QStringLiteral("  Folders"), treePanel_);
    caption->setObjectName(QStringLiteral("TreeCaption"));
    caption->setStyleSheet(QStringLiteral("#TreeCaption { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, "
                                          "stop:0 #3b6aa8, stop:1 #7b9dcb); color: white; font-weight: bold; "
                                          "padding: 4px 2px; }"));
    treeToolBar_ = new QToolBar(treePanel_);
    treeToolBar_->setObjectName(QStringLiteral("TreeToolBar"));
    treeToolBar_->setIconSize(QSize(16, 16));
    treeWidget_ = new FolderTreeWidget(treePanel_);
    treeLayout->addWidget(caption);
    treeLayout->addWidget(treeToolBar_);
    treeLayout->addWidget(treeWidget_, 1);
    connect(treeWidget_, &FolderTreeWidget::nodeChosen, this, [this](int node) {
        try {
            FolderTreeClick(node);
        } catch (const std::exception& e) {
            showFileError(e);
        }
    });
    connect(treeWidget_, &FolderTreeWidget::messagesDropped, this, [this](int target, const MessageDrag& drag) {
        try {
            MessagesDropped(target, drag);
        } catch (const std::exception& e) {
            showFileError(e);
        }
    });

    sideBar_ = new SideBarWidget(this);

    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setObjectName(QStringLiteral("MainSplitter"));
    splitter_->addWidget(sideBar_);
    splitter_->addWidget(treePanel_);
    splitter_->addWidget(mdi_);
    splitter_->setStretchFactor(2, 1);
    splitter_->setCollapsible(2, false);
    splitter_->setSizes({kDefaultSideBarWidth, kDefaultTreeWidth, 800});
    setCentralWidget(splitter_);
}

QAction* TMainForm::addCommand(const char* handler, const char* text, const char* hint, const char* shortcut,
                               const char* pictureName, void (TMainForm::*slot)())
{
    auto* action = new QAction(QString::fromLatin1(text ? text : hint), this);
    action->setObjectName(QString::fromLatin1(handler));
    if (hint)
        action->setToolTip(QString::fromLatin1(hint));
    if (shortcut)
        action->setShortcut(QKeySequence(QString::fromLatin1(shortcut)));
    if (pictureName)
        action->setIcon(picture(pictureName));
    connect(action, &QAction::triggered, this, [this, slot] { runGuarded(slot); });
    actions_[handler] = action;
    return action;
}

void TMainForm::buildActions()
{
    using M = TMainForm;
    addCommand("NewBtnClick", "Compose &New Message", "Compose a new message", "Ctrl+N", "TOOL_COMPOSE", &M::NewBtnClick);
    addCommand("CheckMail2Click", "Check for new &Mail", "Check for new mail", "Ctrl+M", "TOOL_CHECK", &M::CheckMail2Click);
    addCommand("CheckSendBtnClick", nullptr, "Send queued mail and check for new mail", nullptr, "TOOL_CHECK_SEND",
               &M::CheckSendBtnClick);
    addCommand("SendQueuedBtnClick", nullptr, "Send Queued Mail", nullptr, "TOOL_SEND_QUEUED", &M::SendQueuedBtnClick);
    addCommand("NextBtnClick", "&Next", "Next message", "F9", "TOOL_NEXT", &M::NextBtnClick);
    addCommand("PreviousBtnClick", "&Previous", "Previous message", "F10", "TOOL_PREVIOUS", &M::PreviousBtnClick);
    addCommand("EditBtnClick", "E&dit", "Edit message", "Ctrl+D", "TOOL_EDIT", &M::EditBtnClick);
    addCommand("ReplyBtnClick", "&Reply", "Reply message", "Ctrl+R", "TOOL_REPLY", &M::ReplyBtnClick);
    addCommand("ReplyAllBtnClick", "Reply to &all", "Reply to all", "Ctrl+Shift+R", "TOOL_REPLY_ALL",
               &M::ReplyAllBtnClick);
    addCommand("ForwardBtnClick", nullptr, "Forward message", nullptr, "TOOL_FORWARD", &M::ForwardBtnClick);
    addCommand("DeleteBtnClick", nullptr, "Delete message", nullptr, "TOOL_DELETE", &M::DeleteBtnClick);
    addCommand("FileBtnClick", nullptr, "Move message(s) to other folders", nullptr, "TOOL_MOVE", &M::FileBtnClick);
    addCommand("SaveBtnClick", nullptr, "Save message to disk", nullptr, "TOOL_SAVE", &M::SaveBtnClick);
    addCommand("PrintBtnClick", nullptr, "Print message", nullptr, "TOOL_PRINT", &M::PrintBtnClick);
    // The menu's "&Print" runs the same command as the tool button.
    addCommand("Print1Click", "&Print", nullptr, "Ctrl+P", nullptr, &M::PrintBtnClick);
    addCommand("PrintSetup1Click", "Print Setup", nullptr, nullptr, nullptr, &M::PrintSetup1Click);
    addCommand("AddressBook1Click", "&Address Book", "Address Book", "Ctrl+A", "TOOL_ADDRESS_BOOK", &M::AddressBook1Click);
    // Ctrl+A selects all where a list or a text has the focus; Ctrl+Shift+B reaches the book from there too.
    actions_["AddressBook1Click"]->setShortcuts(
        {QKeySequence(QStringLiteral("Ctrl+A")), QKeySequence(QStringLiteral("Ctrl+Shift+B"))});
    addCommand("spbtnCheckUsersClick", "Add/Delete User", "Add/Delete Users", nullptr, "TOOL_USERS",
               &M::spbtnCheckUsersClick);
    addCommand("ChangeCurrentUser1Click", "Change current user", nullptr, nullptr, nullptr, &M::ChangeCurrentUser1Click);
    addCommand("CompressMailboxes1Click", "Compress Mailboxes", nullptr, nullptr, nullptr, &M::CompressMailboxes1Click);
    addCommand("EmptyTrashfolder1Click", "Empty Trash folder", nullptr, nullptr, nullptr, &M::EmptyTrashfolder1Click);
    addCommand("MIMESetup1Click", "MIM&E Setup", nullptr, "Ctrl+E", nullptr, &M::MIMESetup1Click);
    addCommand("Setup1Click", "&Options", "Configure the electronic mail", "Ctrl+O", "TOOL_OPTIONS", &M::Setup1Click);
    addCommand("AddFolder1Click", "New Group folder", "New Group folder", nullptr, "TOOL_NEW_GROUP", &M::AddFolder1Click);
    addCommand("AddSubGroup1Click", "New Subgroup folder", "New Subgroup folder", nullptr, "TOOL_NEW_SUBGROUP",
               &M::AddSubGroup1Click);
    addCommand("AddSubFolder1Click", "New Mailbox folder", "New Mailbox folder", nullptr, "TOOL_NEW_MAILBOX",
               &M::AddSubFolder1Click);
    addCommand("DeleteFolder1Click", "Delete Item", "Delete Item", nullptr, "TOOL_DELETE_ITEM", &M::DeleteFolder1Click);
    addCommand("ShowTreeLines1Click", "Show/Hide tree lines", "Show/Hide tree lines", nullptr, "TOOL_TREE_LINES",
               &M::ShowTreeLines1Click);
    addCommand("SetTreeFont1Click", "Set Tree font", "Set Tree font", nullptr, "TOOL_TREE_FONT", &M::SetTreeFont1Click);
    addCommand("Next1Click", "&Next", nullptr, "F6", nullptr, &M::Next1Click);
    addCommand("Previous1Click", "&Previous", nullptr, "Shift+F6", nullptr, &M::Previous1Click);
    addCommand("CloseActiveWindow1Click", "&Close active window", nullptr, nullptr, nullptr, &M::CloseActiveWindow1Click);
    addCommand("Tile1Click", "&Tile", nullptr, nullptr, nullptr, &M::Tile1Click);
    addCommand("Cascade1Click", "&Cascade", nullptr, nullptr, nullptr, &M::Cascade1Click);
    addCommand("ArrangeIcons1Click", "Arrange Icons", nullptr, nullptr, nullptr, &M::ArrangeIcons1Click);
    addCommand("CloseAll1Click", "Close &All", nullptr, nullptr, nullptr, &M::CloseAll1Click);
    addCommand("FindInAllMailboxes1Click", "Find in all mailboxes...", "Find a text in every message of every mailbox",
               "Ctrl+Shift+F", nullptr, &M::FindInAllMailboxes1Click);
    addCommand("About1Click", "&About", nullptr, nullptr, nullptr, &M::About1Click);
    addCommand("Exit1Click", "E&xit", nullptr, nullptr, nullptr, &M::Exit1Click);

    // The tree's pop-up menu and tool buttons.
    for (const char* name : {"AddFolder1Click", "AddSubGroup1Click", "AddSubFolder1Click", "DeleteFolder1Click"}) {
        treeWidget_->addAction(actions_[name]);
        treeToolBar_->addAction(actions_[name]);
    }
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    treeWidget_->addAction(separator);
    treeToolBar_->addSeparator();
    for (const char* name : {"ShowTreeLines1Click", "SetTreeFont1Click"}) {
        treeWidget_->addAction(actions_[name]);
        treeToolBar_->addAction(actions_[name]);
    }

    sideBar_->addGroup(QStringLiteral("Mail"));
    sideBar_->addLink(QStringLiteral("Compose"), actions_["NewBtnClick"]);
    sideBar_->addLink(QStringLiteral("Check"), actions_["CheckMail2Click"]);
    sideBar_->addLink(QStringLiteral("Send/Check"), actions_["CheckSendBtnClick"]);
    sideBar_->addLink(QStringLiteral("Send all"), actions_["SendQueuedBtnClick"]);
    sideBar_->addGroup(QStringLiteral("Message"));
    sideBar_->addLink(QStringLiteral("Next"), actions_["NextBtnClick"]);
    sideBar_->addLink(QStringLiteral("Previous"), actions_["PreviousBtnClick"]);
    sideBar_->addLink(QStringLiteral("Edit"), actions_["EditBtnClick"]);
    sideBar_->addLink(QStringLiteral("Reply"), actions_["ReplyBtnClick"]);
    sideBar_->addLink(QStringLiteral("Reply all"), actions_["ReplyAllBtnClick"]);
    sideBar_->addLink(QStringLiteral("Forward"), actions_["ForwardBtnClick"]);
    sideBar_->addLink(QStringLiteral("Delete"), actions_["DeleteBtnClick"]);
    sideBar_->addLink(QStringLiteral("Move"), actions_["FileBtnClick"]);
    sideBar_->addLink(QStringLiteral("Save"), actions_["SaveBtnClick"]);
    sideBar_->addLink(QStringLiteral("Print"), actions_["PrintBtnClick"]);
    sideBar_->addGroup(QStringLiteral("Tools"));
    sideBar_->addLink(QStringLiteral("A.Book"), actions_["AddressBook1Click"]);
    sideBar_->addLink(QStringLiteral("Options"), actions_["Setup1Click"]);
    sideBar_->finish();
}

void TMainForm::buildMenus()
{
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    file->addAction(actions_["NewBtnClick"]);
    file->addAction(actions_["CheckMail2Click"]);
    file->addSeparator();
    file->addAction(actions_["Print1Click"]);
    file->addAction(actions_["PrintSetup1Click"]);
    file->addSeparator();
    file->addAction(actions_["Exit1Click"]);

    QMenu* message = bar->addMenu(QStringLiteral("&Message..."));
    message->addAction(actions_["NextBtnClick"]);
    message->addAction(actions_["PreviousBtnClick"]);
    message->addSeparator();
    message->addAction(actions_["EditBtnClick"]);
    message->addAction(actions_["ReplyBtnClick"]);
    message->addAction(actions_["ReplyAllBtnClick"]);
    message->addSeparator();
    message->addAction(actions_["FindInAllMailboxes1Click"]);
    message->addSeparator();
    moveToMenu_ = message->addMenu(QStringLiteral("Move to..."));
    moveToMenu_->setObjectName(QStringLiteral("MoveToMenu"));

    foldersMenu_ = bar->addMenu(QStringLiteral("F&olders..."));
    foldersMenu_->setObjectName(QStringLiteral("FoldersMenu"));

    QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
    tools->addAction(actions_["AddressBook1Click"]);
    tools->addAction(actions_["MIMESetup1Click"]);
    tools->addAction(actions_["Setup1Click"]);
    tools->addSeparator();
    tools->addAction(actions_["CompressMailboxes1Click"]);
    tools->addAction(actions_["EmptyTrashfolder1Click"]);
    tools->addSeparator();
    tools->addAction(actions_["spbtnCheckUsersClick"]);
    tools->addAction(actions_["ChangeCurrentUser1Click"]);

    QMenu* window = bar->addMenu(QStringLiteral("&Window"));
    window->addAction(actions_["CloseActiveWindow1Click"]);
    window->addAction(actions_["Next1Click"]);
    window->addAction(actions_["Previous1Click"]);
    window->addSeparator();
    window->addAction(actions_["Tile1Click"]);
    window->addAction(actions_["Cascade1Click"]);
    window->addAction(actions_["ArrangeIcons1Click"]);
    window->addSeparator();
    window->addAction(actions_["CloseAll1Click"]);

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->addAction(actions_["About1Click"]);
}

void TMainForm::buildToolBar()
{
    toolBar_ = addToolBar(QStringLiteral("Tool bar"));
    toolBar_->setObjectName(QStringLiteral("MainToolBar"));
    toolBar_->setIconSize(QSize(24, 24));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    const char* const groups[][5] = {
        {"NewBtnClick", "CheckMail2Click", "CheckSendBtnClick", "SendQueuedBtnClick", nullptr},
        {"PreviousBtnClick", "NextBtnClick", nullptr, nullptr, nullptr},
        {"EditBtnClick", "ReplyBtnClick", "ReplyAllBtnClick", "ForwardBtnClick", nullptr},
        {"DeleteBtnClick", "FileBtnClick", "SaveBtnClick", "PrintBtnClick", nullptr},
        {"AddressBook1Click", "spbtnCheckUsersClick", "Setup1Click", nullptr, nullptr},
    };
    bool first = true;
    for (const auto& group : groups) {
        if (!first)
            toolBar_->addSeparator();
        first = false;
        for (const char* name : group)
            if (name)
                toolBar_->addAction(actions_[name]);
    }
    toolBar_->addSeparator();
    userCombo_ = new QComboBox(toolBar_);
    userCombo_->setObjectName(QStringLiteral("cbLogin"));
    userCombo_->setToolTip(QStringLiteral("Current user ..."));
    userCombo_->setPlaceholderText(QStringLiteral("Current user ..."));
    userCombo_->setMinimumContentsLength(14);
    userCombo_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    // Only a choice of the user switches: refilling the combo never does.
    connect(userCombo_, &QComboBox::activated, this, [this] { runGuarded(&TMainForm::cbLoginChange); });
    auto* userLabel = new QLabel(QStringLiteral("  User: "), toolBar_);
    toolBar_->addWidget(userLabel);
    toolBar_->addWidget(userCombo_);
}

QAction* TMainForm::commandAction(const char* handlerName) const
{
    auto it = actions_.find(handlerName);
    return it == actions_.end() ? nullptr : it->second;
}

void TMainForm::setWorkflowCommands(std::unique_ptr<WorkflowCommands> commands)
{
    workflows_ = commands ? std::move(commands) : std::make_unique<WorkflowCommands>();
}

void TMainForm::setDesktopNotifier(std::unique_ptr<DesktopNotifier> notifier)
{
    notifier_ = notifier ? std::move(notifier) : std::make_unique<DesktopNotifier>();
    // Without a notification service the news stays in the window.
    connect(notifier_.get(), &DesktopNotifier::undelivered, this,
            [this](const QString& fallback) { statusBar()->showMessage(fallback); });
}

void TMainForm::setAttachmentLinkCommands(std::unique_ptr<AttachmentLinkCommands> commands)
{
    attachmentLinks_ = commands ? std::move(commands) : std::make_unique<AttachmentLinkCommands>();
}

void TMainForm::runGuarded(void (TMainForm::*slot)())
{
    try {
        (this->*slot)();
    } catch (const std::exception& e) {
        showFileError(e);
    }
}

void TMainForm::showFileError(const std::exception& e) { userInteraction().error(kTitle, e.what()); }

// ---------------------------------------------------------------------------------------------
// Users, menus, pictures

void TMainForm::fillUserCombo()
{
    const QSignalBlocker block(userCombo_);
    userCombo_->clear();
    for (const auto& name : users_.userNames)
        userCombo_->addItem(fromStored(name));
    userCombo_->setCurrentIndex(users_.currentUser);
}

void TMainForm::rebuildMailboxMenus()
{
    foldersMenu_->clear();
    moveToMenu_->clear();
    for (const MailboxMenuEntry& entry : mailboxMenu(mailboxList_)) {
        const int number = entry.number;
        QAction* open = foldersMenu_->addAction(FolderTreeWidget::nodePicture(number <= 5 ? number + 1 : kMailboxFolderImage),
                                                menuCaption(entry.caption));
        open->setData(number);
        connect(open, &QAction::triggered, this, [this, number] {
            try {
                FoldersMenuClick(number);
            } catch (const std::exception& e) {
                showFileError(e);
            }
        });
        QAction* move = moveToMenu_->addAction(FolderTreeWidget::nodePicture(number <= 5 ? number + 1 : kMailboxFolderImage),
                                               menuCaption(entry.caption));
        move->setData(number);
        connect(move, &QAction::triggered, this, [this, number] {
            try {
                MoveToMenuClick(number);
            } catch (const std::exception& e) {
                showFileError(e);
            }
        });
    }
}

void TMainForm::loadStatusPictures()
{
    statusPictures_.clear();
    for (const auto& name : statusPictureNames())
        statusPictures_[name] = picture(name.c_str());
}

QIcon TMainForm::statusPicture(const std::string& name) const
{
    auto it = statusPictures_.find(name);
    return it == statusPictures_.end() ? QIcon() : it->second;
}

void TMainForm::spbtnCheckUsersClick()
{
    if (state_ != State::ProfileOpen)
        return;
    {
        TNewUserForm form(programDirectory_, users_, this);
        form.exec();
    }
    fillUserCombo();
}

void TMainForm::cbLoginChange() { SwitchUser(); }

void TMainForm::ChangeCurrentUser1Click()
{
    userCombo_->setFocus();
    userCombo_->showPopup();
}

} // namespace tavik
