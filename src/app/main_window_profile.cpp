// The main window: start-up, opening and leaving a profile, user switch, shutdown, and the layout file.
#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QSplitter>
#include <QTimer>
#include <QToolBar>

#include "app/interaction_adapters.h"
#include "app/login_dialog.h"
#include "app/main_window_private.h"
#include "app/side_bar_widget.h"
#include "app/splash_window.h"
#include "profile/file_util.h"
#include "view/find_mail_dialog.h"
#include "profile/ini_file.h"
#include "window_common/folder_tree_widget.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

using namespace main_window_detail;

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

    // 3. The splash, without waiting. It has no parent window: the login dialog blocks the main
    // window only, and a click must still reach the splash to close it.
    splash_ = new SplashWindow();
    if (!quit) {
        splash_->move(frameGeometry().center() - splash_->rect().center());
        splash_->show();
    }

    // 4. The login dialog fills the lists and sets the current user.
    if (!quit && !shutdownRequested_) {
        try {
            TLoginForm login(programDirectory_, users_, this);
            login.setWindowModality(Qt::WindowModal);
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
    userLabel_->setText(QStringLiteral("User: ") + fromStored(users_.userNames.at(static_cast<std::size_t>(users_.currentUser))) +
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

void TMainForm::setKeyring(std::unique_ptr<Keyring> keyring)
{
    keyring_ = std::move(keyring);
}

// The passwords the keyring keeps are read; those still in the file move into the keyring when
// the profile wants it.
void TMainForm::keepPasswords()
{
    const int user = users_.currentUser;
    const std::string userName =
        user >= 0 && user < users_.size() ? users_.userNames[static_cast<std::size_t>(user)] : std::string();
    keeper_ = std::make_unique<PasswordKeeper>(keyring_.get(), programDirectory_, userName);
    passwordTroubles_ = keeper_->fetch(settings_);
    const ProfileSettings before = settings_;
    const PasswordPlacement placement = keeper_->place(before, settings_);
    if (!placement.changed)
        return;
    try {
        SaveSettings(profileDirectory_, settings_, mailboxList_);
        keeper_->finish(placement);
    } catch (const FileError& e) {
        // The file keeps its copy; the keyring's is the one the next save relies on.
        showFileError(e);
    }
}

bool TMainForm::knowServerPassword(PasswordService service, bool unattended)
{
    if (!passwordUnknown(passwordOf(settings_, service), keyringServerOf(settings_, service)))
        return true;
    PasswordTrouble trouble{service, KeyringStatus::NotFound, keyringServerOf(settings_, service), {}};
    for (const PasswordTrouble& t : passwordTroubles_)
        if (t.service == service)
            trouble = t;
    const std::string name = passwordServiceName(service);
    const std::string reason =
        "The " + name + " password cannot be read: " + passwordTroubleText(trouble) + ".";
    if (unattended || !keeper_) {
        announceCheckFailure(reason, reason);
        return false;
    }
    const std::string account = service == PasswordService::Pop3 ? settings_.ID : settings_.SmtpUser;
    const std::optional<std::string> typed = userInteraction().askServerPassword(
        name + " Password", reason + "\r\nPassword of \"" + account + "\" at " + serverOf(settings_, service) + ":");
    if (!typed || typed->empty())
        return false;
    const std::string keptBefore = keyringServerOf(settings_, service);
    // Not taken by the keyring, it serves this session only: the entry may still be right.
    if (keeper_->keepTyped(service, *typed, settings_) && keyringServerOf(settings_, service) != keptBefore) {
        try {
            SaveSettings(profileDirectory_, settings_, mailboxList_);
        } catch (const FileError& e) {
            showFileError(e);
        }
    }
    return true;
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
        keepPasswords();
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
        // 3. The mailbox menus, and the tree's unread counts of this profile's mailboxes.
        rebuildMailboxMenus();
        countUnread(true);
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
    // Links handed in while the login dialog was up now find their profile.
    std::vector<std::string> links;
    links.swap(waitingLinks_);
    for (const std::string& link : links)
        composeFromLink(link);
}

void TMainForm::LeaveProfile()
{
    // Once per profile: a second call (after a failure, from the destructor) finds nothing to do.
    if (!profileOpen_)
        return;
    profileOpen_ = false;
    timerCheckPending_ = false;
    // A search must not read mailboxes that are being compressed, nor show another user's hits.
    if (findMail_) {
        findMail_->clear();
        findMail_->hide();
    }
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
    unread_.clear();
    unreadStale_.clear();
    treeWidget_->setUnreadCounts(unread_);
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
        // A box the session put up (a failure it reports) would wait for a click that never comes.
        for (int guard = 0; guard < 8; ++guard) {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                break;
            box->done(QMessageBox::Cancel);
        }
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

} // namespace tavik
