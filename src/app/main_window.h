// The program's main window: a multi-document window with the folder tree, the tool bar, the side
// bar and the menus, and the life of the program around it: start-up and login, opening and
// leaving profiles, the user switch, the minute timer and shutdown.
#pragma once

#include <QMainWindow>
#include <QIcon>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "app/workflow_commands.h"
#include "net/password_keeping.h"
#include "pop3/attachment_store.h"
#include "profile/profile_lock.h"
#include "profile/settings.h"
#include "profile/user_registry.h"
#include "store/folder_tree.h"
#include "store/mailbox_store.h"
#include "view/message_window_host.h"
#include "view/mime_manager.h"
#include "view/viewer_launcher.h"
#include "window_common/child_window.h"
#include "window_common/message_drag.h"

class QAction;
class QComboBox;
class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QSplitter;
class QTimer;
class QToolBar;

namespace tavik {

class DesktopNotifier;
class FindMailDialog;
class FolderTreeWidget;
struct MailSearchHit;
class SideBarWidget;
class SplashWindow;
class TLoginForm;
class TMailboxForm;

// `TMainForm`. Life cycle: created empty (NotStarted); the first show posts StartUp, which shows
// the splash and the login dialog (LoggingIn). A cancelled login ends in Quitting with nothing of
// any profile opened or written. Otherwise a profile is open (ProfileOpen): its lock is held, its
// settings, mailboxes, tree and MIME registry are loaded; SwitchUser leaves it and opens another
// any number of times; closing the window (also "E&xit", SIGTERM, SIGINT and the end of the
// desktop session) runs Shutdown once (ShutDown). LeaveProfile runs exactly once per profile
// left. Owns, for the whole process, the mailbox store, the attachment store, the folder tree,
// the settings and mailbox list, the MIME registry, the user registry and the timer. It is the
// host of the mailbox and viewer windows, which live in its window area.
class TMainForm : public QMainWindow, public MessageWindowHost {
    Q_OBJECT
public:
    enum class State { NotStarted, LoggingIn, Quitting, ProfileOpen, ShutDown };

    // Interval of `SystemTimer`.
    static constexpr int kSystemTimerInterval = 60000;
    // Countdown value that keeps the timer from starting a second check while one runs.
    static constexpr int kCheckRunningCountdown = 999999;

    explicit TMainForm(QWidget* parent = nullptr);
    // Runs Shutdown when a profile is still open.
    ~TMainForm() override;

    // The life of the program, step by step as described in the class comment.
    void StartUp();
    void OpenProfile();
    void LeaveProfile();
    void SwitchUser();
    void Shutdown();
    State state() const { return state_; }

    // The minute timer's tick (tests call it directly).
    void SystemTimerTimer();
    // Minutes left until the next automatic check.
    int checkCountdown() const { return checkCountdown_; }
    // True when a timer check fell due while something modal ran and waits for its end.
    bool timerCheckWaiting() const { return timerCheckPending_; }
    // The check-mail command, whoever starts it; ends by restarting the countdown.
    void runCheckMail(CheckStart start);
    // Called by the owner of a protocol session when it has ended; a waiting timer check or a
    // shutdown waiting for the session goes on.
    void protocolSessionEnded();
    // Shuts the program down as "E&xit" does, from a signal or the end of the desktop session:
    // a running session is cancelled and awaited, open modal dialogs are closed first.
    void requestShutdown();

    // A mailto: link (or a bare address) from the command line, a later start or a message: a
    // composition filled from it, never sent by itself. One that comes before a profile is open
    // waits for it.
    void composeFromLink(const std::string& link);
    // A later start without a link: the window comes to the front.
    void bringToFront();

    // `OpenMailboxWindow`(n): brings the open window of mailbox n to the front, or opens one.
    void OpenMailboxWindow(int n);
    // The first open mailbox window of mailbox n, nullptr when none.
    TMailboxForm* mailboxWindow(int n) const;
    // The unread messages of mailbox n as the folder tree shows them, -1 when not counted.
    int unreadCount(int n) const;

    // The keyring the server passwords are kept in: the desktop's unless replaced before a
    // profile opens (nullptr: none, the passwords stay in the settings file).
    void setKeyring(std::unique_ptr<Keyring> keyring);
    // Where the open profile's passwords go when its settings are saved.
    PasswordKeeper* passwordKeeper() { return keeper_.get(); }
    // Whether the password of `service` is known now. One the keyring would not give is asked
    // for, unless nobody is there to answer (`unattended`, which reports it as a failed check).
    bool knowServerPassword(PasswordService service, bool unattended = false);

    // Where news for the desktop goes: the freedesktop notification service on the session
    // bus, or whatever a test installs (the window takes ownership). Never null.
    void setDesktopNotifier(std::unique_ptr<DesktopNotifier> notifier);
    DesktopNotifier& desktopNotifier() { return *notifier_; }
    // New mail filed by a check: `count` messages, the first of their subjects. A desktop
    // notification, or the status bar when no notification service takes it.
    void announceNewMail(int count, const std::vector<std::string>& firstSubjects);
    // A check nobody watched has failed: the reason goes to the status bar and the desktop.
    void announceCheckFailure(const std::string& statusText, const std::string& detail);

    // After a check has filed new mail: the New Mail window sorts by Date in normal order
    // (newest first). The check commands call it when mailbox 1 grew.
    void sortNewMailWindow();

    // Handlers of the command table, each bound to its menu entry, tool button and side-bar
    // link (the QAction's object name is the handler's name). Commands of later work go to
    // WorkflowCommands, message commands to the active child window.
    void NewBtnClick();
    void CheckMail2Click();
    void CheckSendBtnClick();
    void SendQueuedBtnClick();
    void NextBtnClick();
    void PreviousBtnClick();
    void EditBtnClick();
    void ReplyBtnClick();
    void ReplyAllBtnClick();
    void ForwardBtnClick();
    void DeleteBtnClick();
    void FileBtnClick();
    void SaveBtnClick();
    void PrintBtnClick();
    void PrintSetup1Click();
    void AddressBook1Click();
    void spbtnCheckUsersClick();
    void cbLoginChange();
    void CompressMailboxes1Click();
    void EmptyTrashfolder1Click();
    void MIMESetup1Click();
    void Setup1Click();
    void AddFolder1Click();
    void AddSubGroup1Click();
    void AddSubFolder1Click();
    void DeleteFolder1Click();
    void Next1Click();
    void Previous1Click();
    // Window-level commands.
    void CloseActiveWindow1Click();
    void Tile1Click();
    void Cascade1Click();
    void ArrangeIcons1Click();
    void CloseAll1Click();
    void About1Click();
    void Exit1Click();
    // "Change current user": drops down the user combo, whose choice runs cbLoginChange.
    void ChangeCurrentUser1Click();
    // The tree's display commands.
    void ShowTreeLines1Click();
    void SetTreeFont1Click();
    // "Find in all mailboxes...": shows the find dialog (made on first use, kept until the
    // program ends; leaving a profile stops its search and forgets its hits).
    void FindInAllMailboxes1Click();
    FindMailDialog* findMailDialog() const { return findMail_; }
    // Opens a message the find dialog found in its viewer window, through its mailbox's list;
    // a message that is no longer where it was found is reported instead.
    void openFoundMessage(const MailSearchHit& hit);
    // A click on a tree node: opens its mailbox's window.
    void FolderTreeClick(int node);
    // An entry of "Folders...": opens mailbox n.
    void FoldersMenuClick(int n);
    // An entry of "Move to...": the active window's messages go to mailbox n.
    void MoveToMenuClick(int n);
    // Messages dropped on the tree node of mailbox `target`.
    void MessagesDropped(int target, const MessageDrag& drag) override;

    // The process-wide state, for the windows and workflows that work on it.
    const std::string& ProgramDirectory() const { return programDirectory_; }
    const std::string& ProfileDirectory() const override { return profileDirectory_; }
    ProfileSettings& settings() override { return settings_; }
    MailboxList& mailboxList() { return mailboxList_; }
    int mailboxCount() const { return mailboxCount_; }
    TNMailBox& Mailbox() override { return mailbox_; }
    TAttachmentManager& attachments() override { return attachments_; }
    // The MIME registry of the open profile, nullptr when none is open.
    TMimeManager* mimeManager() { return mime_.get(); }
    // Starts the viewers and the browser: an argument list, never a shell.
    ProgramLauncher& launcher() { return launcher_; }
    FolderTree& folderTree() { return tree_; }
    UserRegistry& users() { return users_; }
    // One of the 13 status pictures by its name ("MAIL_READ"); empty when no profile is open.
    QIcon statusPicture(const std::string& name) const override;
    // The names of the 13 status pictures.
    static const std::vector<std::string>& statusPictureNames();

    // The commands later work provides; the window takes ownership. Never null.
    void setWorkflowCommands(std::unique_ptr<WorkflowCommands> commands);
    WorkflowCommands& workflowCommands() { return *workflows_; }
    TNewMessageForm* newComposition() override { return workflows_->compose(*this); }
    // The attachment and link commands of the message windows; the window takes ownership.
    // Never null (the default does nothing).
    void setAttachmentLinkCommands(std::unique_ptr<AttachmentLinkCommands> commands);
    AttachmentLinkCommands& attachmentLinkCommands() override { return *attachmentLinks_; }
    // A viewer window opened from a mailbox list becomes a child window here.
    void addViewerWindow(QWidget* window) override;

    // Parts of the window, for the child windows and tests.
    QMdiArea* mdiArea() const override { return mdi_; }
    FolderTreeWidget* treeWidget() const { return treeWidget_; }
    SideBarWidget* sideBar() const { return sideBar_; }
    QComboBox* userCombo() const { return userCombo_; }
    QToolBar* mainToolBar() const { return toolBar_; }
    QMenu* foldersMenu() const { return foldersMenu_; }
    QMenu* moveToMenu() const { return moveToMenu_; }
    QTimer* systemTimer() const { return SystemTimer; }
    // The action bound to a handler, by the handler's name ("ReplyBtnClick"); nullptr if none.
    QAction* commandAction(const char* handlerName) const;
    // The child window that is active, nullptr when none (or not one of ours).
    MailChildWindow* activeChild() const;
    // Every child window with its sub-window.
    std::vector<std::pair<QMdiSubWindow*, MailChildWindow*>> childWindows() const;
    // Sets the command state from the active child, as the activation of a child or of the
    // main window does.
    void refreshCommandState();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildActions();
    void buildMenus();
    void buildToolBar();
    void buildPanels();
    QAction* addCommand(const char* handler, const char* text, const char* hint, const char* shortcut,
                        const char* picture, void (TMainForm::*slot)());
    void runGuarded(void (TMainForm::*slot)());
    void showFileError(const std::exception& e);

    void enterProfile();
    void openTree();
    void keepPasswords();
    void saveTreeAndLayout();
    void readLayout();
    void writeLayout();
    void fillUserCombo();
    void rebuildMailboxMenus();
    void loadStatusPictures();
    bool childrenMayClose();
    void closeAllChildrenNow();
    void closeChildrenFromMailbox(int n);
    void routeToChild(void (MailChildWindow::*command)(), bool viewerOnly = false);
    void handleFolderResult(const FolderCommandResult& result);
    std::unique_ptr<ProfileLock> lockProfile(const std::string& directory, int user);
    void runCheckCommand(const std::function<void()>& command);
    int newMailCount();
    bool busy() const;
    void whenIdle();
    void scheduleIdleCheck();
    void closeModalDialogs();
    void mailboxChanged(const std::string& key);
    void countUnread(bool all);

    State state_ = State::NotStarted;
    bool started_ = false;
    bool profileOpen_ = false;      // a profile was entered and not yet left
    bool settingsLoaded_ = false;   // settings_ and mailboxList_ hold what the profile's file says
    std::vector<std::string> waitingLinks_; // links that came before a profile was open
    bool mailboxesOpen_ = false;    // the store is pointed at the profile's mailboxes
    bool treeNeedsOpening_ = false; // the profile's tree is read with its first settings
    bool timerCheckPending_ = false;
    bool shutdownRequested_ = false;
    bool closeWhenIdle_ = false;
    bool closeAfterSession_ = false;
    bool checkRunning_ = false;

    std::string programDirectory_;
    std::string profileDirectory_;
    UserRegistry users_;
    ProfileSettings settings_;
    MailboxList mailboxList_;
    int mailboxCount_ = 0;
    int checkCountdown_ = 0;
    TNMailBox mailbox_;
    TAttachmentManager attachments_;
    FolderTree tree_;
    ViewerLauncher launcher_;
    std::unique_ptr<TMimeManager> mime_;
    std::unique_ptr<ProfileLock> lock_;
    std::map<std::string, QIcon> statusPictures_;
    std::unique_ptr<WorkflowCommands> workflows_;
    std::unique_ptr<AttachmentLinkCommands> attachmentLinks_;
    std::unique_ptr<DesktopNotifier> notifier_;
    std::unique_ptr<Keyring> keyring_;
    std::unique_ptr<PasswordKeeper> keeper_;
    std::vector<PasswordTrouble> passwordTroubles_; // why a password kept in the keyring is unknown
    std::map<int, int> unread_;          // unread messages by mailbox number, as the tree shows
    std::set<std::string> unreadStale_;  // keys of mailboxes changed since they were counted
    QTimer* unreadTimer_ = nullptr;      // counts the changed mailboxes once the change is over

    QTimer* SystemTimer;
    QMdiArea* mdi_ = nullptr;
    QSplitter* splitter_ = nullptr;
    FolderTreeWidget* treeWidget_ = nullptr;
    QWidget* treePanel_ = nullptr;
    SideBarWidget* sideBar_ = nullptr;
    FindMailDialog* findMail_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QToolBar* treeToolBar_ = nullptr;
    QComboBox* userCombo_ = nullptr;
    QLabel* userLabel_ = nullptr;
    QMenu* foldersMenu_ = nullptr;
    QMenu* moveToMenu_ = nullptr;
    SplashWindow* splash_ = nullptr;
    TLoginForm* loginDialog_ = nullptr;
    std::map<std::string, QAction*> actions_;
};

} // namespace tavik
