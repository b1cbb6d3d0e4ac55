// The program's window shows the profile's mailboxes with their counts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTreeWidget>

#include "app/main_window.h"
#include "support/test_support.h"

using namespace tavik;

TEST(MainWindow, ShowsTheMailboxesOfTheProfile)
{
    int argc = 1;
    char name[] = "test_ui";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    test::TempDir dir;
    TNMailBox store;
    store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash", "m5=Caf\xe9"};
    store.SetMailBoxDirectory(dir.path());
    store.SetCurrentMailBoxNumber(1);
    store.Msg_Text = {"hello"};
    store.AppendMessage();

    TMainForm window(store);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Tavik mail"));
    auto* tree = window.findChild<QTreeWidget*>();
    ASSERT_NE(tree, nullptr);
    ASSERT_EQ(tree->topLevelItemCount(), 6);
    EXPECT_EQ(tree->topLevelItem(0)->text(0), QStringLiteral("New Mail"));
    EXPECT_EQ(tree->topLevelItem(0)->text(1), QStringLiteral("1"));
    EXPECT_EQ(tree->topLevelItem(0)->text(2), QStringLiteral("8"));
    EXPECT_EQ(tree->topLevelItem(5)->text(0), QString(QChar(u'C')) + QStringLiteral("af") + QChar(0xe9));
}
