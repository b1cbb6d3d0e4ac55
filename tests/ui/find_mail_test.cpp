// Finding mail in the program: the filter above a mailbox window's list, and "Find in all
// mailboxes..." with its hits opening their messages.
#include <QAbstractItemModelTester>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeWidget>

#include "ui/main_window_support.h"
#include "view/find_mail_dialog.h"
#include "view/mailbox_list_widget.h"
#include "view/mailbox_window.h"
#include "view/view_mail_window.h"

namespace tavik::test {
namespace {

class FindMailTest : public UiTest {};

QStringList shownSubjects(const QAbstractItemModel* rows)
{
    QStringList subjects;
    for (int r = 0; r < rows->rowCount(); ++r)
        subjects << rows->index(r, 2).data().toString();
    return subjects;
}

TEST_F(FindMailTest, TheFilterAboveTheListNarrowsItsRowsAsOneTypes)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    TMailboxForm* newMail = window.mailboxWindow(1);
    ASSERT_NE(newMail, nullptr);
    QAbstractItemModelTester tester(newMail->list()->itemModel(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    appendMessage(window.Mailbox(), 1, "R\xC3\xA9sum\xC3\xA9 for the job");
    appendMessage(window.Mailbox(), 1, "Lunch");
    appendMessage(window.Mailbox(), 1, "My resume again");
    const QAbstractItemModel* rows = newMail->list()->itemModel();

    QTest::keyClicks(newMail->filterField(), QStringLiteral("RESUM"));
    EXPECT_EQ(shownSubjects(rows), (QStringList{QString::fromUtf8("R\xC3\xA9sum\xC3\xA9 for the job"),
                                                QStringLiteral("My resume again")}));
    // A click on a filtered row shows its own message; the counter still counts the mailbox.
    QTest::mouseClick(newMail->list()->viewport(), Qt::LeftButton, {},
                      newMail->list()->visualRect(rows->index(1, 2)).center());
    EXPECT_EQ(newMail->currentMessage(), 3);
    EXPECT_EQ(newMail->messageCounter()->text(), QStringLiteral("   3 message(s)   "));
    appendMessage(window.Mailbox(), 1, "Another resume");
    appendMessage(window.Mailbox(), 1, "Tickets");
    EXPECT_EQ(rows->rowCount(), 3);
    EXPECT_TRUE(newMail->list()->selectionModel()->isRowSelected(1, QModelIndex()));

    newMail->filterField()->clear();
    EXPECT_EQ(rows->rowCount(), 5);
}

TEST_F(FindMailTest, FindInAllMailboxesListsTheHitsAndOpensOneInItsViewer)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    appendMessage(window.Mailbox(), 1, "Lunch");
    appendMessage(window.Mailbox(), 1, "Caf\xC3\xA9 tonight");
    appendMessage(window.Mailbox(), 2, "Re: CAFE");
    QAction* command = window.commandAction("FindInAllMailboxes1Click");
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(command->text(), QStringLiteral("Find in all mailboxes..."));
    command->trigger();
    FindMailDialog* dialog = window.findMailDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());

    QSignalSpy finished(dialog, &FindMailDialog::searchFinished);
    QTest::keyClicks(dialog->textField(), QStringLiteral("cafe"));
    QTest::keyClick(dialog->textField(), Qt::Key_Return);
    ASSERT_TRUE(finished.wait(20000));
    QTreeWidget* results = dialog->results();
    ASSERT_EQ(results->topLevelItemCount(), 2);
    EXPECT_EQ(results->topLevelItem(0)->text(0), QStringLiteral("New Mail"));
    EXPECT_EQ(results->topLevelItem(0)->text(2), QString::fromUtf8("Caf\xC3\xA9 tonight"));
    EXPECT_EQ(results->topLevelItem(1)->text(0), QStringLiteral("Sent"));
    EXPECT_EQ(dialog->status()->text(), QStringLiteral("2 message(s) found."));

    // Enter on the second hit opens message 1 of Sent in a viewer window, through Sent's list.
    results->setFocus();
    results->setCurrentItem(results->topLevelItem(1));
    QTest::keyClick(results, Qt::Key_Return);
    TViewMailForm* viewer = nullptr;
    for (const auto& [sub, child] : window.childWindows())
        if (auto* v = dynamic_cast<TViewMailForm*>(child))
            viewer = v;
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->mailboxNumber(), 2);
    EXPECT_EQ(viewer->messageNumber(), 1);
    ASSERT_NE(window.mailboxWindow(2), nullptr);
    EXPECT_EQ(viewer->list(), &window.mailboxWindow(2)->list()->viewer());

    // A hit whose message has gone since is told, not opened.
    window.Mailbox().SetCurrentMailBoxNumber(1);
    window.Mailbox().SetMsg_Number(1);
    window.Mailbox().MoveMessage(window.Mailbox().MailboxKey(5));
    results->setCurrentItem(results->topLevelItem(0));
    QTest::keyClick(results, Qt::Key_Return);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "The message is no longer where it was found. Press Find to search again.");

    QTest::keyClicks(dialog->textField(), QStringLiteral("zzz-nothing"));
    dialog->findButton()->click();
    ASSERT_TRUE(finished.wait(20000));
    EXPECT_EQ(results->topLevelItemCount(), 0);
    EXPECT_EQ(dialog->status()->text(), QStringLiteral("No message holds \"cafezzz-nothing\"."));
}

} // namespace
} // namespace tavik::test
