// The folder tree in the main window: its pictures and bold rule, opening mailboxes from it, the
// folder commands with their questions and refusals, the mailbox menus and dropped messages.
#include <QAction>
#include <QMenu>
#include <QMimeData>
#include <QTreeWidgetItem>
#include <algorithm>

#include "ui/main_window_support.h"
#include "view/mailbox_list_widget.h"
#include "view/mailbox_window.h"
#include "window_common/folder_tree_widget.h"
#include "window_common/message_drag.h"

namespace tavik::test {
namespace {

class FolderTreeTest : public UiTest {
protected:
    // Creates a group folder under the root and a mailbox folder in it; answers "Yes" nowhere.
    void makeFolders(TMainForm& window, const std::string& group, const std::string& mailbox)
    {
        window.treeWidget()->selectNode(0);
        ui.texts.push_back(group);
        window.commandAction("AddSubGroup1Click")->trigger();
        const int groupNode = window.folderTree().count() - 1;
        window.treeWidget()->selectNode(groupNode);
        ui.texts.push_back(mailbox);
        window.commandAction("AddSubFolder1Click")->trigger();
    }
    int nodeNamed(TMainForm& window, const std::string& text)
    {
        for (int i = 0; i < window.folderTree().count(); ++i)
            if (window.folderTree().node(i).text == text)
                return i;
        return -1;
    }
};

TEST_F(FolderTreeTest, TreeShowsTheModelWithPicturesAndBold)
{
    makePrivateDirectories(home());
    writeBytes(home() + "treedata1.dat", "Tavik mail\r\n New Mail (2)\r\n Sent\r\n To Send\r\n Drafts\r\n Trash\r\n"
                                         " Group (0)\r\n Later (3)\r\n");
    writeBytes(home() + "treedata2.dat", "7,7\r\n2,2\r\n3,3\r\n4,4\r\n5,5\r\n6,6\r\n8,8\r\n8,8\r\n");
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    FolderTreeWidget* tree = window.treeWidget();
    QTreeWidgetItem* newMail = tree->itemOfNode(1);
    ASSERT_NE(newMail, nullptr);
    // A mailbox's node shows the count its mailbox holds (none here), not one stored in its text;
    // a node without a mailbox is drawn by its text.
    EXPECT_EQ(newMail->text(0), QStringLiteral("New Mail"));
    EXPECT_FALSE(newMail->font(0).bold());
    EXPECT_EQ(window.folderTree().node(1).text, "New Mail (2)");
    EXPECT_FALSE(tree->itemOfNode(6)->font(0).bold());
    EXPECT_EQ(tree->itemOfNode(7)->text(0), QStringLiteral("Later (3)"));
    EXPECT_TRUE(tree->itemOfNode(7)->font(0).bold());
    EXPECT_FALSE(tree->itemOfNode(2)->font(0).bold());
    for (int i = 0; i < 7; ++i)
        EXPECT_FALSE(tree->itemOfNode(i)->icon(0).pixmap(16, 16).isNull()) << i;
    EXPECT_EQ(FolderTreeWidget::nodeOfItem(tree->itemOfNode(6)), 6);
    EXPECT_EQ(tree->itemOfNode(6)->parent(), tree->itemOfNode(0));
    for (int image = 0; image <= kMaxImageIndex; ++image)
        EXPECT_FALSE(FolderTreeWidget::nodePicture(image).pixmap(16, 16).isNull()) << image;
}

TEST_F(FolderTreeTest, ClickingANodeOpensItsMailboxOrRaisesIt)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    FolderTreeWidget* tree = window.treeWidget();
    emit tree->nodeChosen(4);
    ASSERT_EQ(window.childWindows().size(), 2u);
    EXPECT_EQ(window.activeChild()->mailboxNumber(), 4);
    EXPECT_EQ(window.mdiArea()->currentSubWindow()->windowTitle(), QStringLiteral("Drafts"));
    emit tree->nodeChosen(1);
    EXPECT_EQ(window.activeChild()->mailboxNumber(), 1);
    emit tree->nodeChosen(4);
    EXPECT_EQ(window.childWindows().size(), 2u);
    // The root stands for no mailbox.
    emit tree->nodeChosen(0);
    EXPECT_EQ(window.childWindows().size(), 2u);
    // A click from the mouse reaches the same handler.
    const QRect rect = tree->visualItemRect(tree->itemOfNode(5));
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, rect.center());
    EXPECT_EQ(window.activeChild()->mailboxNumber(), 5);
}

TEST_F(FolderTreeTest, CreatingAMailboxFolderRerunsOpenProfile)
{
    prepareProfile(home(), home(), [](ProfileSettings& s) {
        s.AutoCheckStart = true;
        s.AutoCheckMinutes = 7;
    });
    WorkflowLog log;
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
    ASSERT_TRUE(startAndLogIn(window));
    ASSERT_EQ(log.checks.size(), 1u);
    window.SystemTimerTimer();
    window.SystemTimerTimer();
    EXPECT_EQ(window.checkCountdown(), 5);
    window.OpenMailboxWindow(3);
    EXPECT_EQ(window.activeChild()->mailboxNumber(), 3);

    makeFolders(window, "Projects", "Work");

    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[0].kind, "text");
    EXPECT_EQ(ui.shown[0].title, "Name of the Item");
    EXPECT_EQ(ui.shown[0].text, "Item Name:");
    EXPECT_EQ(window.mailboxList().back(), "m5=Work");
    EXPECT_EQ(window.mailboxCount(), 6);
    EXPECT_TRUE(fileExists(home() + "mailboxe/m5.idx"));
    EXPECT_EQ(IniFile(home() + "tavik32.ini").sectionLines("Mailboxes").back(), "m5=Work");
    // OpenProfile ran again: countdown restarted, a check at once, New Mail in front, menus rebuilt.
    EXPECT_EQ(window.checkCountdown(), 7);
    EXPECT_EQ(log.checks.size(), 2u);
    EXPECT_EQ(window.activeChild()->mailboxNumber(), 1);
    ASSERT_EQ(window.foldersMenu()->actions().size(), 6);
    EXPECT_EQ(window.foldersMenu()->actions()[5]->text(), QStringLiteral("Work"));
    EXPECT_EQ(window.moveToMenu()->actions()[5]->data().toInt(), 6);
    // The new node: a mailbox folder under the group, the tree expanded.
    const int work = nodeNamed(window, "Work");
    ASSERT_GT(work, 6);
    EXPECT_EQ(window.folderTree().node(work).image, kMailboxFolderImage);
    EXPECT_EQ(window.folderTree().node(work).selectedImage, kMailboxFolderOpenImage);
    EXPECT_TRUE(window.treeWidget()->itemOfNode(work)->parent()->isExpanded());
    // The "Folders..." entry opens it.
    window.foldersMenu()->actions()[5]->trigger();
    EXPECT_EQ(window.activeChild()->mailboxNumber(), 6);
    EXPECT_EQ(window.mdiArea()->currentSubWindow()->windowTitle(), QStringLiteral("Work"));
}

TEST_F(FolderTreeTest, DeletingAMailboxFolderClosesItsWindowsAndLaterOnesAndRerunsOpenProfile)
{
    prepareProfile(home(), home(), [](ProfileSettings& s) {
        s.AutoCheckStart = true;
        s.AutoCheckMinutes = 4;
    });
    WorkflowLog log;
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
    ASSERT_TRUE(startAndLogIn(window));
    makeFolders(window, "Projects", "Work");
    window.treeWidget()->selectNode(nodeNamed(window, "Projects"));
    ui.texts.push_back("Later");
    window.commandAction("AddSubFolder1Click")->trigger();
    ASSERT_EQ(window.mailboxCount(), 7);
    appendMessage(window.Mailbox(), 6, "work mail");

    window.OpenMailboxWindow(6);
    window.OpenMailboxWindow(7);
    window.OpenMailboxWindow(2);
    std::vector<std::string> childLog;
    addFakeChild(window, MailChildWindow::Kind::Viewer, 6, childLog);
    addFakeChild(window, MailChildWindow::Kind::Viewer, 7, childLog);
    addFakeChild(window, MailChildWindow::Kind::Viewer, 5, childLog);
    addFakeChild(window, MailChildWindow::Kind::Composition, 0, childLog);
    window.SystemTimerTimer();
    const std::size_t checksBefore = log.checks.size();
    ui.shown.clear();

    window.treeWidget()->selectNode(nodeNamed(window, "Work"));
    ui.yesNo.push_back(true);
    window.commandAction("DeleteFolder1Click")->trigger();

    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "question");
    EXPECT_EQ(ui.shown[0].title, "Tavik mail");
    EXPECT_EQ(ui.shown[0].text, "This item contains a mailbox.\r\nAre you sure you want to delete it?");
    EXPECT_FALSE(fileExists(home() + "mailboxe/m5.idx"));
    EXPECT_FALSE(fileExists(home() + "mailboxe/m5.mbx"));
    EXPECT_EQ(window.mailboxList().back(), "m6=Later");
    EXPECT_EQ(window.mailboxCount(), 6);
    std::vector<int> open;
    for (const auto& [sub, child] : window.childWindows())
        open.push_back(child->mailboxNumber());
    std::sort(open.begin(), open.end());
    // New Mail, Sent, the viewer of Trash and the composition stay; 6 and 7 are gone.
    EXPECT_EQ(open, (std::vector<int>{0, 1, 2, 5}));
    EXPECT_EQ(window.checkCountdown(), 4);
    EXPECT_EQ(log.checks.size(), checksBefore + 1);
    EXPECT_EQ(window.activeChild()->mailboxNumber(), 1);
    EXPECT_EQ(window.foldersMenu()->actions().size(), 6);
    EXPECT_EQ(nodeNamed(window, "Work"), -1);
    EXPECT_EQ(fileBytes(home() + "treedata1.dat").find("Work"), std::string::npos);
}

TEST_F(FolderTreeTest, RefusalsAndForbiddenNodes)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    makeFolders(window, "Projects", "Work");
    ui.shown.clear();
    // A group with children.
    window.treeWidget()->selectNode(nodeNamed(window, "Projects"));
    window.commandAction("DeleteFolder1Click")->trigger();
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "inform");
    EXPECT_EQ(ui.shown[0].title, "Tavik mail");
    EXPECT_EQ(ui.shown[0].text, "Sorry, but the selected item has subitems.\r\nDelete subitems before.");
    // The root and a standard mailbox: nothing happens, nothing is said.
    const int nodes = window.folderTree().count();
    for (int node : {0, 3}) {
        window.treeWidget()->selectNode(node);
        window.commandAction("DeleteFolder1Click")->trigger();
        window.commandAction("AddSubFolder1Click")->trigger();
    }
    window.treeWidget()->selectNode(2);
    window.commandAction("AddFolder1Click")->trigger();
    window.commandAction("AddSubGroup1Click")->trigger();
    EXPECT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(window.folderTree().count(), nodes);
    // Cancel in the name dialog abandons the command.
    window.treeWidget()->selectNode(0);
    ui.texts.push_back(std::nullopt);
    window.commandAction("AddSubGroup1Click")->trigger();
    EXPECT_EQ(window.folderTree().count(), nodes);
    // No answers the question about a mailbox.
    window.treeWidget()->selectNode(nodeNamed(window, "Work"));
    ui.yesNo.push_back(false);
    window.commandAction("DeleteFolder1Click")->trigger();
    EXPECT_EQ(window.mailboxCount(), 6);
    EXPECT_TRUE(fileExists(home() + "mailboxe/m5.idx"));
}

TEST_F(FolderTreeTest, DeletingAGroupFolderKeepsItUntilTheTreeIsSaved)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    window.treeWidget()->selectNode(0);
    ui.texts.push_back("Archive");
    window.commandAction("AddSubGroup1Click")->trigger();
    const int node = nodeNamed(window, "Archive");
    ASSERT_GT(node, 5);
    window.treeWidget()->selectNode(node);
    window.commandAction("DeleteFolder1Click")->trigger();
    EXPECT_EQ(nodeNamed(window, "Archive"), -1);
    EXPECT_EQ(window.treeWidget()->selectedNode(), 0);
    EXPECT_EQ(ui.shown.size(), 1u);
}

TEST_F(FolderTreeTest, TreeDisplayCommands)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    EXPECT_TRUE(window.treeWidget()->showLines());
    window.commandAction("ShowTreeLines1Click")->trigger();
    EXPECT_FALSE(window.treeWidget()->showLines());
    QFont font(QStringLiteral("DejaVu Serif"));
    font.setPointSize(15);
    ui.fonts.push_back(font);
    window.commandAction("SetTreeFont1Click")->trigger();
    EXPECT_EQ(window.treeWidget()->font().pointSize(), 15);
    EXPECT_EQ(ui.shown.back().kind, "font");
    window.commandAction("Exit1Click")->trigger();
    IniFile layout(home() + "treedata.ini");
    EXPECT_FALSE(layout.readBool("TreeView", "ShowLines", true));
    EXPECT_NE(layout.readString("TreeView", "Font").find("DejaVu Serif,15"), std::string::npos);
    // The tree's pop-up menu and tool buttons offer the commands.
    QStringList texts;
    for (QAction* a : window.treeWidget()->actions())
        texts << a->text();
    EXPECT_EQ(texts, (QStringList{QStringLiteral("New Group folder"), QStringLiteral("New Subgroup folder"),
                                  QStringLiteral("New Mailbox folder"), QStringLiteral("Delete Item"), QString(),
                                  QStringLiteral("Show/Hide tree lines"), QStringLiteral("Set Tree font")}));
}

TEST_F(FolderTreeTest, MoveToMenuRoutesToTheActiveWindow)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    appendMessage(window.Mailbox(), 1, "first");
    appendMessage(window.Mailbox(), 1, "second");
    auto* newMail = dynamic_cast<TMailboxForm*>(window.mdiArea()->currentSubWindow()->widget());
    ASSERT_NE(newMail, nullptr);
    NMailboxViewer& list = newMail->list()->viewer();
    ASSERT_EQ(list.Count(), 2);
    list.SetItemIndex(list.LineOf(2));
    window.moveToMenu()->actions().at(3)->trigger(); // Drafts
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 1), 1);
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 4), 1);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.ItemAt(0).Subject, "first");
}

TEST_F(FolderTreeTest, DroppedMessagesMoveToTheNodesMailbox)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    appendMessage(window.Mailbox(), 1, "a");
    appendMessage(window.Mailbox(), 1, "b");
    appendMessage(window.Mailbox(), 1, "c");
    window.MessagesDropped(4, MessageDrag{1, {3, 1}});
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 1), 1);
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 4), 2);
    // Onto its own mailbox, to no mailbox, or with numbers the mailbox does not have: nothing.
    window.MessagesDropped(1, MessageDrag{1, {1}});
    window.MessagesDropped(0, MessageDrag{1, {1}});
    window.MessagesDropped(4, MessageDrag{1, {2}});
    window.MessagesDropped(9, MessageDrag{1, {1}});
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 1), 1);
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 4), 2);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(FolderTreeTest, DraggingSeveralMessagesMovesThemAll)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    for (const char* subject : {"a", "b", "c", "d"})
        appendMessage(window.Mailbox(), 1, subject);
    TMailboxForm* form = window.mailboxWindow(1);
    ASSERT_NE(form, nullptr);
    MailboxListWidget* list = form->list();
    auto rowPoint = [&](int row) { return list->visualRect(list->itemModel()->index(row, 2)).center(); };
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowPoint(3));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, rowPoint(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, rowPoint(2));
    // The press that starts a drag on a selected row keeps the selection: every selected
    // message goes, in display order, not only the one under the mouse.
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, rowPoint(3));
    const MessageDrag drag = list->draggedMessages();
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, rowPoint(3));
    ASSERT_EQ(drag.mailbox, 1);
    EXPECT_EQ(drag.messages, (std::vector<int>{list->viewer().MessageAt(0), list->viewer().MessageAt(2),
                                               list->viewer().MessageAt(3)}));
    window.MessagesDropped(4, drag); // what the tree's node or another list reports
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 1), 1);
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 4), 3);
    EXPECT_EQ(list->viewer().Count(), 1);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(FolderTreeTest, DropFromOutsideTheProgramIsRefused)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    std::unique_ptr<QMimeData> data(messageDragMimeData(MessageDrag{1, {1}}));
    FolderTreeWidget* tree = window.treeWidget();
    const QPoint at = tree->visualItemRect(tree->itemOfNode(4)).center();
    int drops = 0;
    QObject::connect(tree, &FolderTreeWidget::messagesDropped, [&] { ++drops; });
    QDragEnterEvent enter(at, Qt::MoveAction, data.get(), Qt::LeftButton, {});
    QApplication::sendEvent(tree->viewport(), &enter);
    EXPECT_FALSE(enter.isAccepted());
    QDropEvent drop(at, Qt::MoveAction, data.get(), Qt::LeftButton, {});
    QApplication::sendEvent(tree->viewport(), &drop);
    EXPECT_EQ(drops, 0);
}

TEST(MessageDragFormat, RoundTripAndRefusals)
{
    const MessageDrag drag{6, {3, 1, 2}};
    EXPECT_EQ(encodeMessageDrag(drag), QByteArray("6:3,1,2"));
    auto back = decodeMessageDrag("6:3,1,2");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->mailbox, 6);
    EXPECT_EQ(back->messages, (std::vector<int>{3, 1, 2}));
    for (const char* bad : {"", "6", "6:", ":1", "0:1", "6:0", "6:1,1", "6:-1", "6:1,,2", "6:99999999", "x:1",
                            "6:40000"})
        EXPECT_FALSE(decodeMessageDrag(QByteArray(bad))) << bad;
    std::unique_ptr<QMimeData> data(messageDragMimeData(drag));
    EXPECT_TRUE(data->hasFormat(QStringLiteral("application/x-tavik-messages")));
    EXPECT_EQ(messageDragFromMimeData(data.get())->messages.size(), 3u);
    QMimeData other;
    other.setText(QStringLiteral("6:1"));
    EXPECT_FALSE(messageDragFromMimeData(&other));
}

} // namespace
} // namespace tavik::test
