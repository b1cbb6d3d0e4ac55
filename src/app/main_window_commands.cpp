// The main window: its child windows and the commands routed to them.
#include "app/main_window.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPointer>

#include "app/interaction_adapters.h"
#include "app/main_window_private.h"
#include "app/splash_window.h"
#include "smtp/mailto_link.h"
#include "smtp/new_message_window.h"
#include "store/mail_search.h"
#include "view/find_mail_dialog.h"
#include "view/mailbox_list_widget.h"
#include "view/mailbox_window.h"
#include "window_common/folder_tree_widget.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

using namespace main_window_detail;

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
    sub->setWindowTitle(fromStored(mailbox_.MailboxDisplayName(n)));
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
    for (const char* name : {"PreviousBtnClick", "NextBtnClick", "ReplyBtnClick", "ReplyAllBtnClick", "EditBtnClick",
                             "ForwardBtnClick"})
        actions_[name]->setEnabled(message);
    moveToMenu_->setEnabled(message);
    // The menu's Print prints a mailbox window's preview too, as printing is defined.
    actions_["Print1Click"]->setEnabled(message);

    for (const char* name : {"NewBtnClick", "CheckMail2Click", "CheckSendBtnClick", "SendQueuedBtnClick",
                             "PrintSetup1Click", "AddressBook1Click", "spbtnCheckUsersClick", "ChangeCurrentUser1Click",
                             "CompressMailboxes1Click", "EmptyTrashfolder1Click", "MIMESetup1Click", "Setup1Click",
                             "AddFolder1Click", "AddSubGroup1Click", "AddSubFolder1Click", "DeleteFolder1Click",
                             "FindInAllMailboxes1Click"})
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
void TMainForm::ReplyAllBtnClick() { routeToChild(&MailChildWindow::replyAllMessage); }
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

void TMainForm::FindInAllMailboxes1Click()
{
    if (!mailboxesOpen_)
        return;
    if (!findMail_) {
        findMail_ = new FindMailDialog(this);
        findMail_->MailboxesToSearch = [this](std::string& directory, std::vector<std::string>& boxes) {
            directory = mailbox_.MailBoxDirectory();
            boxes = mailbox_.MailBoxes;
        };
        findMail_->OpenHit = [this](const MailSearchHit& hit) {
            try {
                openFoundMessage(hit);
            } catch (const std::exception& e) {
                showFileError(e);
            }
        };
    }
    findMail_->show();
    findMail_->raise();
    findMail_->activateWindow();
    findMail_->textField()->setFocus();
    findMail_->textField()->selectAll();
}

void TMainForm::openFoundMessage(const MailSearchHit& hit)
{
    if (!mailboxesOpen_ || hit.Mailbox < 1 || hit.Mailbox > mailboxCount_)
        return;
    // Mail moved or deleted since the search renumbers what follows: the fields tell.
    mailbox_.SetCurrentMailBoxNumber(hit.Mailbox);
    bool there = hit.Message >= 1 && hit.Message <= mailbox_.CurrentMailBoxMessages();
    if (there) {
        mailbox_.SetMsg_Number(hit.Message);
        there = mailbox_.Msg_From == hit.From && mailbox_.Msg_Subject == hit.Subject && mailbox_.Msg_Date == hit.Date;
    }
    if (!there) {
        userInteraction().inform(kTitle, "The message is no longer where it was found. Press Find to search again.");
        return;
    }
    OpenMailboxWindow(hit.Mailbox);
    if (TMailboxForm* form = mailboxWindow(hit.Mailbox))
        form->list()->viewer().OpenMessage(hit.Message);
}

void TMainForm::About1Click()
{
    SplashWindow about(this);
    about.exec();
}

void TMainForm::Exit1Click() { close(); }

void TMainForm::composeFromLink(const std::string& link)
{
    std::optional<MailtoLink> parsed = parseMailtoLink(link);
    if (!parsed) {
        // A bare address, as the text of a message shows one.
        if (link.find('@') == std::string::npos)
            return;
        parsed = MailtoLink{};
        parsed->to.push_back(link);
    }
    if (state_ != State::ProfileOpen || !mailboxesOpen_) {
        // A bound, so a flood of later starts cannot pile up windows behind the login dialog.
        if (waitingLinks_.size() < 16)
            waitingLinks_.push_back(link);
        return;
    }
    bringToFront();
    TNewMessageForm* form = workflows_->compose(*this);
    if (!form)
        return;
    for (const std::string& address : parsed->to)
        form->addToLine(address);
    for (const std::string& address : parsed->cc)
        form->addCcLine(address);
    for (const std::string& address : parsed->bcc)
        form->addBccLine(address);
    if (!parsed->subject.empty())
        form->setSubject(parsed->subject);
    if (!parsed->body.empty()) {
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t end; (end = parsed->body.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(parsed->body.substr(start, end - start));
        form->setBodyLines(lines);
    }
}

void TMainForm::bringToFront()
{
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

} // namespace tavik
