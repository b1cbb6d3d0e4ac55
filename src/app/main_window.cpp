#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QScreen>
#include <QSessionManager>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/folder_tree_widget.h"
#include "app/interaction_adapters.h"
#include "app/login_dialog.h"
#include "app/new_user_dialog.h"
#include "app/resources.h"
#include "app/side_bar_widget.h"
#include "app/splash_window.h"
#include "app/text_conversion.h"
#include "app/user_interaction.h"
#include "profile/file_util.h"
#include "profile/ini_file.h"
#include "view/mailbox_list_widget.h"
#include "view/mailbox_window.h"

namespace tavik {

namespace {

const char* const kTitle = "Tavik mail";
const char* const kLayoutFile = "treedata.ini";
const char* const kLayoutSection = "Layout";
const char* const kTreeSection = "TreeView";
const char* const kWindowSection = "Window";
constexpr int kDefaultSideBarWidth = 112;
constexpr int kDefaultTreeWidth = 190;

// The hourglass while a long step runs; restored however the step ends, before any message.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

QIcon picture(const char* name)
{
    if (!name)
        return {};
    return QIcon(QStringLiteral(":/pictures/") + QString::fromLatin1(name) + QStringLiteral(".png"));
}

// A menu caption shows "&" itself only when doubled.
QString menuCaption(const std::string& text) { return fromLatin1(text).replace(QLatin1Char('&'), QStringLiteral("&&")); }

} // namespace

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
    addCommand("ForwardBtnClick", nullptr, "Forward message", nullptr, "TOOL_FORWARD", &M::ForwardBtnClick);
    addCommand("DeleteBtnClick", nullptr, "Delete message", nullptr, "TOOL_DELETE", &M::DeleteBtnClick);
    addCommand("FileBtnClick", nullptr, "Move message(s) to other folders", nullptr, "TOOL_MOVE", &M::FileBtnClick);
    addCommand("SaveBtnClick", nullptr, "Save message to disk", nullptr, "TOOL_SAVE", &M::SaveBtnClick);
    addCommand("PrintBtnClick", nullptr, "Print message", nullptr, "TOOL_PRINT", &M::PrintBtnClick);
    // The menu's "&Print" runs the same command as the tool button.
    addCommand("Print1Click", "&Print", nullptr, "Ctrl+P", nullptr, &M::PrintBtnClick);
    addCommand("PrintSetup1Click", "Print Setup", nullptr, nullptr, nullptr, &M::PrintSetup1Click);
    addCommand("AddressBook1Click", "&Address Book", "Address Book", "Ctrl+A", "TOOL_ADDRESS_BOOK", &M::AddressBook1Click);
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
    message->addSeparator();
    moveToMenu_ = message->addMenu(QStringLiteral("Move to..."));
    moveToMenu_->setObjectName(QStringLiteral("MoveToMenu"));

    foldersMenu_ = bar->addMenu(QStringLiteral("Folders..."));
    foldersMenu_->setObjectName(QStringLiteral("FoldersMenu"));

    QMenu* tools = bar->addMenu(QStringLiteral("Tools"));
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
        {"EditBtnClick", "ReplyBtnClick", "ForwardBtnClick", nullptr, nullptr},
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
// Start-up, profiles, user switch, shutdown

void TMainForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!started_) {
        started_ = true;
        // MailerName is already "Tavik mail v1.1b"; the start-up runs once the window is up.
        QMetaObject::invokeMethod(this, [this] { runGuarded(&TMainForm::StartUp); }, Qt::QueuedConnection);
    }
}

void TMainForm::StartUp()
{
    if (state_ != State::NotStarted)
        return;
    state_ = State::LoggingIn;

    // 1. The program directory (never the executable's), the shipped templates, the current directory.
    programDirectory_ = DefaultProgramDirectory();
    profileDirectory_ = programDirectory_;
    bool quit = false;
    try {
        makePrivateDirectories(programDirectory_);
        const std::string templates =
            FindTemplateDirectory(pathToBytes(QCoreApplication::applicationDirPath()) + "/");
        if (!templates.empty())
            InstallTemplates(templates, programDirectory_);
    } catch (const FileError& e) {
        showFileError(e);
        quit = true;
    }
    QDir::setCurrent(pathFromBytes(profileDirectory_));

    // 2. The user lists, empty.
    users_ = UserRegistry{};

    // 3. The splash, without waiting.
    splash_ = new SplashWindow(this);
    if (!quit)
        splash_->show();

    // 4. The login dialog fills the lists and sets the current user.
    if (!quit && !shutdownRequested_) {
        try {
            TLoginForm login(programDirectory_, users_, this);
            loginDialog_ = &login;
            // The dialog sits below the splash rather than over its picture.
            if (splash_->isVisible()) {
                login.adjustSize();
                const QRect picture = splash_->frameGeometry();
                login.move(picture.center().x() - login.width() / 2, picture.bottom() + 16);
            }
            quit = login.exec() != QDialog::Accepted;
            loginDialog_ = nullptr;
        } catch (const FileError& e) {
            loginDialog_ = nullptr;
            showFileError(e);
            quit = true;
        }
    }

    // 5. Close the splash; a cancelled login ends here, before any profile is touched.
    splash_->close();
    delete splash_;
    splash_ = nullptr;
    if (quit || shutdownRequested_) {
        state_ = State::Quitting;
        close();
        return;
    }

    // 6. The user combo.
    fillUserCombo();

    // 7. The profile directory, from the one mapping of users to directories, and its lock.
    try {
        profileDirectory_ = profileDirectoryOfUser(programDirectory_, users_, users_.currentUser);
    } catch (const FileError&) {
        userInteraction().error(kUserMessageTitle, unsafeProfileMessage(users_, users_.currentUser));
        state_ = State::Quitting;
        close();
        return;
    }
    lock_ = lockProfile(profileDirectory_, users_.currentUser);
    if (!lock_) {
        state_ = State::Quitting;
        close();
        return;
    }

    // 8 to 10.
    state_ = State::ProfileOpen;
    enterProfile();
    SystemTimer->start();
}

std::unique_ptr<ProfileLock> TMainForm::lockProfile(const std::string& directory, int user)
{
    try {
        makePrivateDirectories(directory);
    } catch (const FileError& e) {
        showFileError(e);
        return nullptr;
    }
    auto lock = std::make_unique<ProfileLock>(directory);
    if (!lock->tryLock()) {
        const std::string who = lock->holder();
        userInteraction().error(kTitle, "The profile of user " + users_.userNames.at(static_cast<std::size_t>(user)) +
                                            " is open in another program" + (who.empty() ? "" : " (" + who + ")") +
                                            ".\r\nClose it there first.");
        return nullptr;
    }
    return lock;
}

// StartUp steps 8 to 10, also the end of SwitchUser.
void TMainForm::enterProfile()
{
    profileOpen_ = true;
    // 8. Current directory, layout (which empties the tree), the tree with the first settings.
    QDir::setCurrent(pathFromBytes(profileDirectory_));
    readLayout();
    tree_.clear();
    treeWidget_->showTree(tree_, mailboxList_);
    treeNeedsOpening_ = true;
    // 9. The attachment store.
    try {
        attachments_.SetAttachmentDirectory(profileDirectory_ + "attach/");
    } catch (const FileError& e) {
        showFileError(e);
    }
    // 10. A new mailbox list and the profile's mailbox side.
    mailboxList_.clear();
    userLabel_->setText(QStringLiteral("User: ") + fromLatin1(users_.userNames.at(static_cast<std::size_t>(users_.currentUser))) +
                        QStringLiteral("  "));
    OpenProfile();
}

// The profile's tree needs its mailbox list: it is read right after the first settings, and
// made whole (standard top, a node for every mailbox) by the tree model.
void TMainForm::openTree()
{
    treeNeedsOpening_ = false;
    try {
        const TreeOpening opening = tree_.openProfileTree(profileDirectory_, mailboxList_);
        // A list that lacked standard mailboxes got them back: the count follows, and the
        // settings keep the whole list.
        mailboxCount_ = static_cast<int>(mailboxList_.size());
        if (opening.restoredStandardMailboxes)
            SaveSettings(profileDirectory_, settings_, mailboxList_);
    } catch (const FileError& e) {
        showFileError(e);
    }
    treeWidget_->showTree(tree_, mailboxList_);
}

void TMainForm::OpenProfile()
{
    if (!profileOpen_)
        return;
    try {
        // 1. Settings and mailbox list.
        mailboxList_.clear();
        settingsLoaded_ = false;
        LoadSettings(programDirectory_, profileDirectory_, settings_, mailboxList_);
        settingsLoaded_ = true;
        mailboxCount_ = static_cast<int>(mailboxList_.size());
        if (treeNeedsOpening_)
            openTree();
        else
            treeWidget_->showTree(tree_, mailboxList_);
        // 2. The store.
        mailboxesOpen_ = false;
        mailbox_.MailBoxes = mailboxList_;
        mailbox_.SetMailBoxDirectory(profileDirectory_ + "mailboxe/");
        mailboxesOpen_ = true;
        // 3. The mailbox menus.
        rebuildMailboxMenus();
        // 4. Pictures and the MIME registry.
        loadStatusPictures();
        mime_.reset();
        mime_ = std::make_unique<TMimeManager>(profileDirectory_ + "mime.def", &launcher_);
        // 5. The countdown.
        checkCountdown_ = settings_.AutoCheckMinutes;
        timerCheckPending_ = false;
        refreshCommandState();
        // 6. A check at once when asked for.
        if (settings_.AutoCheckStart)
            runCheckMail(CheckStart::ProfileOpen);
        // 7. Every node expanded.
        treeWidget_->expandAll();
        // 8. New Mail in front.
        OpenMailboxWindow(1);
    } catch (const std::exception& e) {
        showFileError(e);
    }
    refreshCommandState();
}

void TMainForm::LeaveProfile()
{
    // Once per profile: a second call (after a failure, from the destructor) finds nothing to do.
    if (!profileOpen_)
        return;
    profileOpen_ = false;
    timerCheckPending_ = false;
    std::vector<std::string> errors;
    {
        // 1. The hourglass.
        WaitCursor wait;
        // 2. Trash emptied when the option says so.
        if (mailboxesOpen_ && settingsLoaded_ && settings_.EmptyTrashOnExit) {
            try {
                emptyTrash(mailbox_);
            } catch (const std::exception& e) {
                errors.push_back(e.what());
            }
        }
        // 3. Mailboxes with much trash compressed, mailbox 1 first.
        if (mailboxesOpen_) {
            try {
                compressMailboxes(mailbox_);
            } catch (const std::exception& e) {
                errors.push_back(e.what());
            }
        }
    } // 4. Normal cursor, then the settings into the profile being left (only what was read).
    if (settingsLoaded_) {
        try {
            SaveSettings(profileDirectory_, settings_, mailboxList_);
        } catch (const std::exception& e) {
            errors.push_back(e.what());
        }
    }
    for (const auto& text : errors)
        userInteraction().error(kTitle, text);
    // 5. Every child window; then the copies made for outside viewers, which none needs now.
    closeAllChildrenNow();
    attachments_.RemoveTempFiles();
    // 6. Mailbox list, pictures, MIME registry (which writes itself back); then the lock.
    mailboxList_.clear();
    mailboxCount_ = 0;
    statusPictures_.clear();
    mime_.reset();
    lock_.reset();
    settingsLoaded_ = false;
    mailboxesOpen_ = false;
    rebuildMailboxMenus();
    refreshCommandState();
}

void TMainForm::saveTreeAndLayout()
{
    if (!treeNeedsOpening_) {
        try {
            tree_.SaveTreeToDisk(profileDirectory_);
        } catch (const std::exception& e) {
            showFileError(e);
        }
    }
    try {
        writeLayout();
    } catch (const std::exception& e) {
        showFileError(e);
    }
}

void TMainForm::SwitchUser()
{
    if (state_ != State::ProfileOpen)
        return;
    // 1. The tree and layout of the current profile.
    saveTreeAndLayout();
    // 2. The same user: nothing else.
    const int index = userCombo_->currentIndex();
    const int previous = users_.currentUser;
    auto restore = [&] {
        users_.currentUser = previous;
        const QSignalBlocker block(userCombo_);
        userCombo_->setCurrentIndex(previous);
    };
    if (index < 0 || index == previous)
        return restore();
    // 3. The password of a protected user.
    InteractionUserQuestions questions;
    const UserResult result = switchUser(users_, index, questions);
    if (!result.succeeded()) {
        if (!result.text.empty())
            userInteraction().inform(result.title, result.text);
        return restore();
    }
    // The new profile must be one we may open before the current one is left.
    std::string directory;
    try {
        directory = profileDirectoryOfUser(programDirectory_, users_, index);
    } catch (const FileError&) {
        restore();
        userInteraction().error(kUserMessageTitle, unsafeProfileMessage(users_, index));
        return;
    }
    std::unique_ptr<ProfileLock> lock;
    if (directory == profileDirectory_) {
        lock = std::move(lock_);
    } else {
        lock = lockProfile(directory, index);
        if (!lock)
            return restore();
    }
    if (!childrenMayClose()) {
        if (directory == profileDirectory_)
            lock_ = std::move(lock);
        return restore();
    }
    // 4. Leave the current profile.
    LeaveProfile();
    // 5. The new profile directory.
    profileDirectory_ = directory;
    lock_ = std::move(lock);
    // 6. StartUp steps 8 to 10, New Mail in front.
    enterProfile();
    OpenMailboxWindow(1);
}

void TMainForm::Shutdown()
{
    if (state_ != State::ProfileOpen)
        return;
    state_ = State::ShutDown;
    SystemTimer->stop();
    std::vector<std::string> errors;
    {
        // 1. The hourglass while (2) the tree and the layout are written.
        WaitCursor wait;
        if (!treeNeedsOpening_) {
            try {
                tree_.SaveTreeToDisk(profileDirectory_);
            } catch (const std::exception& e) {
                errors.push_back(e.what());
            }
        }
        try {
            writeLayout();
        } catch (const std::exception& e) {
            errors.push_back(e.what());
        }
    }
    for (const auto& text : errors)
        userInteraction().error(kTitle, text);
    // 3. Leave the profile.
    LeaveProfile();
    // 4. The user lists.
    users_ = UserRegistry{};
    {
        const QSignalBlocker block(userCombo_);
        userCombo_->clear();
    }
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    if (state_ == State::LoggingIn) {
        requestShutdown();
        event->ignore();
        return;
    }
    if (state_ == State::ProfileOpen) {
        if (workflows_->sessionRunning()) {
            // The session is cancelled first; the window closes once it has ended.
            closeAfterSession_ = true;
            workflows_->cancelSession();
            event->ignore();
            return;
        }
        if (!childrenMayClose()) {
            shutdownRequested_ = false;
            event->ignore();
            return;
        }
        try {
            Shutdown();
        } catch (const std::exception& e) {
            showFileError(e);
        }
    }
    QMainWindow::closeEvent(event);
}

void TMainForm::requestShutdown()
{
    shutdownRequested_ = true;
    switch (state_) {
    case State::NotStarted:
    case State::Quitting:
    case State::ShutDown:
        close();
        return;
    case State::LoggingIn:
        // StartUp sees the request when the login dialog returns and quits.
        if (loginDialog_)
            loginDialog_->reject();
        return;
    case State::ProfileOpen:
        break;
    }
    if (workflows_->sessionRunning()) {
        closeAfterSession_ = true;
        workflows_->cancelSession();
        return;
    }
    if (QApplication::activeModalWidget()) {
        closeWhenIdle_ = true;
        closeModalDialogs();
        scheduleIdleCheck();
        return;
    }
    close();
}

void TMainForm::closeModalDialogs()
{
    for (int guard = 0; guard < 32; ++guard) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        if (QApplication::activeModalWidget() == modal)
            return; // it refused; the idle check tries again when it goes
    }
}

void TMainForm::protocolSessionEnded()
{
    if (closeAfterSession_) {
        closeAfterSession_ = false;
        closeWhenIdle_ = true;
    }
    scheduleIdleCheck();
}

// ---------------------------------------------------------------------------------------------
// Timer and check mail

bool TMainForm::busy() const
{
    return checkRunning_ || workflows_->sessionRunning() || QApplication::activeModalWidget() != nullptr;
}

void TMainForm::SystemTimerTimer()
{
    if (state_ != State::ProfileOpen)
        return;
    // 1. One minute less.
    --checkCountdown_;
    // 2. Due: no second check may start while this one runs.
    if (checkCountdown_ < 1 && settings_.AutoCheckMail) {
        checkCountdown_ = kCheckRunningCountdown;
        if (busy()) {
            // A session or a modal dialog runs: the check waits for its end.
            timerCheckPending_ = true;
            return;
        }
        runCheckMail(CheckStart::Timer);
    }
}

void TMainForm::runCheckMail(CheckStart start)
{
    runCheckCommand([this, start] { workflows_->checkMail(*this, start); });
}

void TMainForm::runCheckCommand(const std::function<void()>& command)
{
    if (state_ != State::ProfileOpen || checkRunning_)
        return;
    checkRunning_ = true;
    struct Reset {
        TMainForm* window;
        ~Reset()
        {
            window->checkRunning_ = false;
            // 3. Whoever started it, the countdown starts again.
            window->checkCountdown_ = window->settings_.AutoCheckMinutes;
        }
    } reset{this};
    const int before = newMailCount();
    command();
    // New mail joined the bottom of the New Mail list: it is shown newest first again.
    if (newMailCount() > before)
        sortNewMailWindow();
}

int TMainForm::newMailCount()
{
    if (!mailboxesOpen_ || mailboxCount_ < 1)
        return 0;
    try {
        mailbox_.SetCurrentMailBoxNumber(1);
        return mailbox_.CurrentMailBoxMessages();
    } catch (const FileError&) {
        return 0;
    }
}

void TMainForm::scheduleIdleCheck()
{
    QTimer::singleShot(0, this, [this] { whenIdle(); });
}

void TMainForm::whenIdle()
{
    if (busy())
        return;
    if (closeWhenIdle_) {
        closeWhenIdle_ = false;
        close();
        return;
    }
    if (timerCheckPending_ && state_ == State::ProfileOpen) {
        timerCheckPending_ = false;
        try {
            runCheckMail(CheckStart::Timer);
        } catch (const std::exception& e) {
            showFileError(e);
        }
    }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    // A modal window going away may be what a waiting check or shutdown waits for.
    if (event->type() == QEvent::Hide && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->isWindow() && widget->isModal() && (timerCheckPending_ || closeWhenIdle_))
            scheduleIdleCheck();
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------
// Layout file

void TMainForm::readLayout()
{
    IniFile ini;
    try {
        ini = IniFile(profileDirectory_ + kLayoutFile);
    } catch (const std::exception& e) {
        showFileError(e);
    }
    QFont font = QApplication::font();
    const std::string description = ini.readString(kTreeSection, "Font");
    if (!description.empty()) {
        QFont stored;
        if (stored.fromString(QString::fromUtf8(description.data(), static_cast<qsizetype>(description.size()))))
            font = stored;
    }
    treeWidget_->setFont(font);
    treeWidget_->setShowLines(ini.readBool(kTreeSection, "ShowLines", true));
    treeWidget_->setRootIsDecorated(ini.readBool(kTreeSection, "ShowRoot", true));
    treeWidget_->setShowButtons(ini.readBool(kTreeSection, "ShowButtons", true));

    const bool sideVisible = ini.readBool(kLayoutSection, "SideBarVisible", true);
    const int sideWidth = static_cast<int>(std::clamp<long long>(
        ini.readInteger(kLayoutSection, "SideBarWidth", kDefaultSideBarWidth), 40, 600));
    const bool treeVisible = ini.readBool(kLayoutSection, "TreeVisible", true);
    const int treeWidth = static_cast<int>(
        std::clamp<long long>(ini.readInteger(kLayoutSection, "TreeWidth", kDefaultTreeWidth), 60, 1000));
    const int total = std::max(600, width());
    splitter_->setSizes({sideVisible ? sideWidth : 0, treeVisible ? treeWidth : 0,
                         std::max(300, total - (sideVisible ? sideWidth : 0) - (treeVisible ? treeWidth : 0))});

    toolBar_->setVisible(ini.readBool(kLayoutSection, "ToolBarVisible", true));
    const long long area = ini.readInteger(kLayoutSection, "ToolBarArea", Qt::TopToolBarArea);
    if (area == Qt::LeftToolBarArea || area == Qt::RightToolBarArea || area == Qt::TopToolBarArea ||
        area == Qt::BottomToolBarArea)
        if (toolBarArea(toolBar_) != static_cast<Qt::ToolBarArea>(area))
            addToolBar(static_cast<Qt::ToolBarArea>(area), toolBar_);

    if (!isVisible() || state_ == State::LoggingIn) {
        const long long w = ini.readInteger(kWindowSection, "Width", 0);
        const long long h = ini.readInteger(kWindowSection, "Height", 0);
        if (w >= 400 && h >= 300 && w <= 10000 && h <= 10000)
            resize(static_cast<int>(w), static_cast<int>(h));
        if (ini.readBool(kWindowSection, "Maximized", false))
            setWindowState(windowState() | Qt::WindowMaximized);
    }
}

void TMainForm::writeLayout()
{
    IniFile ini(profileDirectory_ + kLayoutFile);
    ini.writeString(kTreeSection, "Font", treeWidget_->font().toString().toUtf8().toStdString());
    ini.writeBool(kTreeSection, "ShowLines", treeWidget_->showLines());
    ini.writeBool(kTreeSection, "ShowRoot", treeWidget_->rootIsDecorated());
    ini.writeBool(kTreeSection, "ShowButtons", treeWidget_->showButtons());
    const QList<int> sizes = splitter_->sizes();
    ini.writeBool(kLayoutSection, "SideBarVisible", sizes.value(0) > 0);
    if (sizes.value(0) > 0)
        ini.writeInteger(kLayoutSection, "SideBarWidth", sizes.value(0));
    ini.writeBool(kLayoutSection, "TreeVisible", sizes.value(1) > 0);
    if (sizes.value(1) > 0)
        ini.writeInteger(kLayoutSection, "TreeWidth", sizes.value(1));
    ini.writeBool(kLayoutSection, "ToolBarVisible", !toolBar_->isHidden());
    ini.writeInteger(kLayoutSection, "ToolBarArea", toolBarArea(toolBar_));
    const bool maximized = isMaximized();
    ini.writeBool(kWindowSection, "Maximized", maximized);
    if (!maximized) {
        ini.writeInteger(kWindowSection, "Width", width());
        ini.writeInteger(kWindowSection, "Height", height());
    }
    ini.save();
}

// ---------------------------------------------------------------------------------------------
// Users, menus, pictures

void TMainForm::fillUserCombo()
{
    const QSignalBlocker block(userCombo_);
    userCombo_->clear();
    for (const auto& name : users_.userNames)
        userCombo_->addItem(fromLatin1(name));
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

// ---------------------------------------------------------------------------------------------
// Child windows

std::vector<std::pair<QMdiSubWindow*, MailChildWindow*>> TMainForm::childWindows() const
{
    std::vector<std::pair<QMdiSubWindow*, MailChildWindow*>> out;
    for (QMdiSubWindow* sub : mdi_->subWindowList())
        if (auto* child = dynamic_cast<MailChildWindow*>(sub->widget()))
            out.emplace_back(sub, child);
    return out;
}

MailChildWindow* TMainForm::activeChild() const
{
    // The current sub-window stays current while the focus is in the tree or the tool bar.
    QMdiSubWindow* sub = mdi_->currentSubWindow();
    return sub ? dynamic_cast<MailChildWindow*>(sub->widget()) : nullptr;
}

bool TMainForm::childrenMayClose()
{
    for (const auto& [sub, child] : childWindows())
        if (!child->mayClose())
            return false;
    return true;
}

void TMainForm::closeAllChildrenNow()
{
    // Deleted at once rather than later: no window of a profile outlives it.
    for (QMdiSubWindow* sub : mdi_->subWindowList()) {
        QPointer<QMdiSubWindow> guard(sub);
        sub->close();
        delete guard.data();
    }
}

void TMainForm::closeChildrenFromMailbox(int n)
{
    for (const auto& [sub, child] : childWindows()) {
        const MailChildWindow::Kind kind = child->childKind();
        if ((kind == MailChildWindow::Kind::Mailbox || kind == MailChildWindow::Kind::Viewer) &&
            child->mailboxNumber() >= n) {
            QPointer<QMdiSubWindow> guard(sub);
            sub->close();
            delete guard.data();
        }
    }
}

void TMainForm::OpenMailboxWindow(int n)
{
    if (n < 1 || n > mailboxCount_ || !mailboxesOpen_)
        return;
    for (const auto& [sub, child] : childWindows()) {
        if (child->childKind() == MailChildWindow::Kind::Mailbox && child->mailboxNumber() == n) {
            if (sub->isMinimized())
                sub->showNormal();
            mdi_->setActiveSubWindow(sub);
            sub->raise();
            refreshCommandState();
            return;
        }
    }
    // The list shows the mailbox's captions and pictures (listLookFor) and loads its messages;
    // a store error is shown and no window opens.
    auto window = std::make_unique<TMailboxForm>(*this, n);
    window->Open();
    QMdiSubWindow* sub = mdi_->addSubWindow(window.release());
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWindowTitle(fromLatin1(mailbox_.MailboxDisplayName(n)));
    sub->setWindowIcon(FolderTreeWidget::nodePicture(n <= 5 ? n + 1 : kMailboxFolderOpenImage));
    const QSize area = mdi_->viewport()->size();
    const int offset = 24 * (static_cast<int>(mdi_->subWindowList().size()) - 1) % 240;
    sub->resize(std::max(360, area.width() - 24 - offset), std::max(240, area.height() - 24 - offset));
    sub->move(8 + offset, 8 + offset);
    sub->show();
    mdi_->setActiveSubWindow(sub);
    refreshCommandState();
}

TMailboxForm* TMainForm::mailboxWindow(int n) const
{
    for (const auto& [sub, child] : childWindows())
        if (child->childKind() == MailChildWindow::Kind::Mailbox && child->mailboxNumber() == n)
            if (auto* form = dynamic_cast<TMailboxForm*>(child))
                return form;
    return nullptr;
}

void TMainForm::sortNewMailWindow()
{
    if (TMailboxForm* form = mailboxWindow(1))
        form->list()->sortList(kColumnDate, true);
}

void TMainForm::addViewerWindow(QWidget* window)
{
    QMdiSubWindow* sub = mdi_->addSubWindow(window);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWindowIcon(picture("MAIL_READ"));
    const QSize area = mdi_->viewport()->size();
    const int offset = 24 * (static_cast<int>(mdi_->subWindowList().size()) - 1) % 240;
    sub->resize(std::max(360, std::min(720, area.width() - 48 - offset)),
                std::max(260, std::min(560, area.height() - 48 - offset)));
    sub->move(16 + offset, 16 + offset);
    sub->show();
    mdi_->setActiveSubWindow(sub);
    refreshCommandState();
}

void TMainForm::refreshCommandState()
{
    const bool open = profileOpen_ && mailboxesOpen_;
    MailChildWindow* child = open ? activeChild() : nullptr;
    const MailChildWindow::Kind kind = child ? child->childKind() : MailChildWindow::Kind::Other;
    const bool viewer = child && kind == MailChildWindow::Kind::Viewer;
    const bool message = child && (kind == MailChildWindow::Kind::Mailbox || viewer);

    for (const char* name : {"DeleteBtnClick", "FileBtnClick"})
        actions_[name]->setEnabled(message);
    for (const char* name : {"SaveBtnClick", "PrintBtnClick"})
        actions_[name]->setEnabled(viewer);
    for (const char* name : {"PreviousBtnClick", "NextBtnClick", "ReplyBtnClick", "EditBtnClick", "ForwardBtnClick"})
        actions_[name]->setEnabled(message);
    moveToMenu_->setEnabled(message);
    // The menu's Print prints a mailbox window's preview too, as printing is defined.
    actions_["Print1Click"]->setEnabled(message);

    for (const char* name : {"NewBtnClick", "CheckMail2Click", "CheckSendBtnClick", "SendQueuedBtnClick",
                             "PrintSetup1Click", "AddressBook1Click", "spbtnCheckUsersClick", "ChangeCurrentUser1Click",
                             "CompressMailboxes1Click", "EmptyTrashfolder1Click", "MIMESetup1Click", "Setup1Click",
                             "AddFolder1Click", "AddSubGroup1Click", "AddSubFolder1Click", "DeleteFolder1Click"})
        actions_[name]->setEnabled(open);
    foldersMenu_->setEnabled(open);
    userCombo_->setEnabled(state_ == State::ProfileOpen);
}

void TMainForm::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        refreshCommandState();
}

void TMainForm::routeToChild(void (MailChildWindow::*command)(), bool viewerOnly)
{
    MailChildWindow* child = activeChild();
    if (!child)
        return;
    const MailChildWindow::Kind kind = child->childKind();
    if (kind == MailChildWindow::Kind::Viewer || (!viewerOnly && kind == MailChildWindow::Kind::Mailbox))
        (child->*command)();
}

// ---------------------------------------------------------------------------------------------
// Command handlers

void TMainForm::NewBtnClick() { workflows_->composeNewMessage(*this); }
void TMainForm::CheckMail2Click() { runCheckMail(CheckStart::Command); }

void TMainForm::CheckSendBtnClick()
{
    runCheckCommand([this] { workflows_->checkAndSend(*this); });
}

void TMainForm::SendQueuedBtnClick() { workflows_->sendQueued(*this); }
void TMainForm::NextBtnClick() { routeToChild(&MailChildWindow::nextMessage); }
void TMainForm::PreviousBtnClick() { routeToChild(&MailChildWindow::previousMessage); }
void TMainForm::EditBtnClick() { routeToChild(&MailChildWindow::editMessage); }
void TMainForm::ReplyBtnClick() { routeToChild(&MailChildWindow::replyMessage); }
void TMainForm::ForwardBtnClick() { routeToChild(&MailChildWindow::forwardMessage); }
void TMainForm::DeleteBtnClick() { routeToChild(&MailChildWindow::deleteMessages); }
void TMainForm::FileBtnClick() { routeToChild(&MailChildWindow::moveMessages); }
void TMainForm::SaveBtnClick() { routeToChild(&MailChildWindow::saveMessage); }
void TMainForm::PrintBtnClick() { routeToChild(&MailChildWindow::printMessage); }
void TMainForm::PrintSetup1Click() { workflows_->printSetup(*this); }
void TMainForm::AddressBook1Click() { workflows_->addressBook(*this); }
void TMainForm::MIMESetup1Click() { workflows_->mimeSetup(*this); }
void TMainForm::Setup1Click() { workflows_->options(*this); }

void TMainForm::CompressMailboxes1Click()
{
    if (!mailboxesOpen_)
        return;
    WaitCursor wait;
    compressMailboxes(mailbox_);
}

void TMainForm::EmptyTrashfolder1Click()
{
    if (!mailboxesOpen_)
        return;
    WaitCursor wait;
    emptyTrash(mailbox_);
}

void TMainForm::AddFolder1Click()
{
    InteractionFolderQuestions questions;
    handleFolderResult(tree_.newGroupFolder(treeWidget_->selectedNode(), mailboxList_, questions));
}

void TMainForm::AddSubGroup1Click()
{
    InteractionFolderQuestions questions;
    handleFolderResult(tree_.newSubgroupFolder(treeWidget_->selectedNode(), mailboxList_, questions));
}

void TMainForm::AddSubFolder1Click()
{
    if (!mailboxesOpen_)
        return;
    InteractionFolderQuestions questions;
    FolderProfile profile{profileDirectory_, settings_, mailboxList_, mailbox_};
    handleFolderResult(tree_.newMailboxFolder(treeWidget_->selectedNode(), profile, questions));
}

void TMainForm::DeleteFolder1Click()
{
    if (!mailboxesOpen_)
        return;
    InteractionFolderQuestions questions;
    FolderProfile profile{profileDirectory_, settings_, mailboxList_, mailbox_};
    handleFolderResult(tree_.deleteItem(treeWidget_->selectedNode(), profile, questions));
}

void TMainForm::handleFolderResult(const FolderCommandResult& result)
{
    switch (result.outcome) {
    case FolderOutcome::Ignored:
    case FolderOutcome::Cancelled:
        return;
    case FolderOutcome::Refused:
        userInteraction().inform(result.title.empty() ? kFolderMessageTitle : result.title, result.message);
        return;
    case FolderOutcome::Done:
        break;
    }
    // Windows of the deleted mailbox and of every later one, whose numbers have shifted.
    if (result.removedMailbox > 0)
        closeChildrenFromMailbox(result.removedMailbox);
    treeWidget_->showTree(tree_, mailboxList_);
    treeWidget_->expandAll();
    treeWidget_->selectNode(result.node);
    if (!result.warning.empty())
        userInteraction().error(kFolderMessageTitle, result.warning);
    if (result.mailboxesChanged)
        OpenProfile();
}

void TMainForm::ShowTreeLines1Click() { treeWidget_->setShowLines(!treeWidget_->showLines()); }

void TMainForm::SetTreeFont1Click()
{
    std::optional<QFont> font = userInteraction().askFont("Set Tree font", treeWidget_->font());
    if (!font)
        return;
    const int selected = treeWidget_->selectedNode();
    treeWidget_->setFont(*font);
    treeWidget_->showTree(tree_, mailboxList_);
    treeWidget_->expandAll();
    treeWidget_->selectNode(selected);
}

void TMainForm::FolderTreeClick(int node)
{
    if (!profileOpen_)
        return;
    QDir::setCurrent(pathFromBytes(profileDirectory_));
    const int n = tree_.mailboxOfNode(node, mailboxList_);
    if (n > 0)
        OpenMailboxWindow(n);
}

void TMainForm::FoldersMenuClick(int n) { OpenMailboxWindow(n); }

void TMainForm::MoveToMenuClick(int n)
{
    MailChildWindow* child = activeChild();
    if (!child || n < 1 || n > mailboxCount_)
        return;
    const MailChildWindow::Kind kind = child->childKind();
    if (kind == MailChildWindow::Kind::Mailbox || kind == MailChildWindow::Kind::Viewer)
        child->moveMessagesTo(n);
}

void TMainForm::MessagesDropped(int target, const MessageDrag& drag)
{
    if (!mailboxesOpen_ || target < 1 || target > mailboxCount_ || drag.mailbox < 1 || drag.mailbox > mailboxCount_ ||
        target == drag.mailbox || drag.messages.empty())
        return;
    mailbox_.SetCurrentMailBoxNumber(drag.mailbox);
    const int count = mailbox_.CurrentMailBoxMessages();
    for (int n : drag.messages)
        if (n < 1 || n > count)
            return;
    mailbox_.MoveMessages(drag.messages, mailbox_.MailboxKey(target));
}

void TMainForm::Next1Click() { mdi_->activateNextSubWindow(); }
void TMainForm::Previous1Click() { mdi_->activatePreviousSubWindow(); }
void TMainForm::CloseActiveWindow1Click()
{
    if (QMdiSubWindow* sub = mdi_->currentSubWindow())
        sub->close();
}
void TMainForm::Tile1Click() { mdi_->tileSubWindows(); }
void TMainForm::Cascade1Click() { mdi_->cascadeSubWindows(); }

void TMainForm::ArrangeIcons1Click()
{
    // Minimised windows in a row along the bottom of the area.
    int x = 0;
    const int bottom = mdi_->viewport()->height();
    for (QMdiSubWindow* sub : mdi_->subWindowList()) {
        if (!sub->isMinimized())
            continue;
        if (x + sub->width() > mdi_->viewport()->width())
            x = 0;
        sub->move(x, bottom - sub->height());
        x += sub->width();
    }
}

void TMainForm::CloseAll1Click() { mdi_->closeAllSubWindows(); }

void TMainForm::About1Click()
{
    SplashWindow about(this);
    about.exec();
}

void TMainForm::Exit1Click() { close(); }

} // namespace tavik
