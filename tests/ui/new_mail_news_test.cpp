// Unread counts in the folder tree, and the news of new mail while nobody watches: desktop
// notifications to a fake notification service on a private bus of the test's own, the status
// bar without one, and timer checks that never hold the program with a modal box.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QLabel>
#include <QMutex>
#include <QProcess>
#include <QStatusBar>

#include "app/mail_workflows.h"
#include "peers/peer_fixtures.h"
#include "pop3/get_mail_dialog.h"
#include "ui/main_window_support.h"
#include "window_common/desktop_notifier.h"
#include "window_common/folder_tree_widget.h"

using namespace tavik;
using namespace tavik::test;

namespace {

// A dbus-daemon of the test's own, stopped by its process id when the test ends.
class PrivateBus {
public:
    PrivateBus()
    {
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--print-address"), QStringLiteral("--nofork")});
        if (waitFor([&] { return daemon_.canReadLine() || daemon_.state() == QProcess::NotRunning; }, 10000))
            address_ = QString::fromUtf8(daemon_.readLine().trimmed());
    }
    ~PrivateBus()
    {
        daemon_.kill();
        daemon_.waitForFinished(5000);
    }
    const QString& address() const { return address_; }

private:
    QProcess daemon_;
    QString address_;
};

// org.freedesktop.Notifications as the desktop offers it, recording every Notify.
class FakeNotificationService : public QDBusVirtualObject {
public:
    struct Notice {
        QString app, icon, summary, body, category;
        uint replaces = 0;
    };

    explicit FakeNotificationService(const QString& address)
        : bus_(QDBusConnection::connectToBus(address, QStringLiteral("fake-notification-service")))
    {
        bus_.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), this);
        bus_.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }
    ~FakeNotificationService() override
    {
        bus_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-notification-service"));
    }
    void leave() { bus_.unregisterService(QStringLiteral("org.freedesktop.Notifications")); }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.member() != QStringLiteral("Notify") || message.arguments().size() != 8)
            return false;
        const QList<QVariant> a = message.arguments();
        const QVariantMap hints = qdbus_cast<QVariantMap>(a[6]);
        uint id = 0;
        {
            QMutexLocker lock(&mutex_);
            notices_.push_back({a[0].toString(), a[2].toString(), a[3].toString(), a[4].toString(),
                                hints.value(QStringLiteral("category")).toString(), a[1].toUInt()});
            id = static_cast<uint>(notices_.size()) + 40;
        }
        connection.send(message.createReply(QVariant::fromValue(id)));
        return true;
    }
    QString introspect(const QString&) const override { return {}; }

    std::vector<Notice> notices() const
    {
        QMutexLocker lock(&mutex_);
        return notices_;
    }

private:
    QDBusConnection bus_;
    mutable QMutex mutex_;
    std::vector<Notice> notices_;
};

class NewMailNews : public UiTest {
protected:
    // A profile checking `server` every minute (or never by itself).
    void prepare(const DovecotServer& server, bool autoCheck, const std::string& password = {})
    {
        prepareProfile(home(), home(), [&](ProfileSettings& s) {
            s.Pop3Server = server.host();
            s.Pop3Port = server.port();
            s.ID = server.user();
            s.Password = password.empty() ? server.password() : password;
            s.AutoCheckMail = autoCheck;
            s.AutoCheckMinutes = 1;
            s.AutoAddAddress = false;
        });
    }
    bool open(TMainForm& window, const QString& busAddress)
    {
        window.setWorkflowCommands(std::make_unique<MailWorkflows>());
        window.setDesktopNotifier(std::make_unique<DesktopNotifier>(busAddress));
        return startAndLogIn(window);
    }
    static QTreeWidgetItem* item(TMainForm& window, int node) { return window.treeWidget()->itemOfNode(node); }
    static bool shows(TMainForm& window, int node, const char* text, bool bold)
    {
        QTreeWidgetItem* i = item(window, node);
        return i && i->text(0) == QString::fromUtf8(text) && i->font(0).bold() == bold;
    }
    static std::vector<TNewMailMsgForm*> visibleNotices(TMainForm& window)
    {
        std::vector<TNewMailMsgForm*> shown;
        for (TNewMailMsgForm* notice : window.findChildren<TNewMailMsgForm*>())
            if (notice->isVisible())
                shown.push_back(notice);
        return shown;
    }
    static std::string message(const std::string& subject)
    {
        return "From: a@example.org\nSubject: " + subject + "\n\nbody\n";
    }
};

} // namespace

TEST_F(NewMailNews, UnreadCountsInTheTreeFollowChecksReadingAndMoves)
{
    DovecotServer server;
    server.addMessage(message("first"));
    server.addMessage(message("second"));
    ASSERT_TRUE(server.start()) << server.error();
    prepare(server, false);
    {
        ProfileSettings s;
        MailboxList mailboxes;
        LoadSettings(home(), home(), s, mailboxes);
        mailboxes.push_back("m5=Work");
        SaveSettings(home(), s, mailboxes);
    }
    TMainForm window;
    ASSERT_TRUE(open(window, QStringLiteral("unix:path=/nonexistent/bus")));
    ASSERT_TRUE(shows(window, 1, "New Mail", false));
    ASSERT_TRUE(shows(window, 6, "Work", false));

    window.commandAction("CheckMail2Click")->trigger();
    ASSERT_TRUE(waitFor([&] { return shows(window, 1, "New Mail (2)", true); })) << item(window, 1)->text(0).toStdString();
    EXPECT_EQ(window.unreadCount(1), 2);

    // Read, as a viewer window marks it.
    TNMailBox& store = window.Mailbox();
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(1);
    store.SetMessageFlag('V');
    ASSERT_TRUE(waitFor([&] { return shows(window, 1, "New Mail (1)", true); }));

    window.MessagesDropped(6, MessageDrag{1, {2}});
    ASSERT_TRUE(waitFor([&] { return shows(window, 6, "Work (1)", true); }));
    EXPECT_TRUE(shows(window, 1, "New Mail", false));
    EXPECT_TRUE(shows(window, 5, "Trash", false));

    // The count is the item's alone: the node, its drops and its file keep the plain name.
    EXPECT_EQ(window.folderTree().node(6).text, "Work");
    EXPECT_EQ(window.folderTree().dropTarget(6, window.mailboxList(), 1), 6);
    window.folderTree().SaveTreeToDisk(home());
    EXPECT_EQ(fileBytes(home() + "treedata1.dat"),
              "Tavik mail\r\n New Mail\r\n Sent\r\n To Send\r\n Drafts\r\n Trash\r\n Work\r\n");
}

TEST_F(NewMailNews, NewMailIsAnnouncedOnTheDesktopOrInTheStatusBarAndTheNoticeHoldsNothing)
{
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    FakeNotificationService service(bus.address());
    DovecotServer server;
    server.addMessage(message("Quarterly figures & <forecast>"));
    server.addMessage(message(std::string(70, 'x')));
    server.addMessage(message(""));
    server.addMessage(message("the fourth is not listed"));
    ASSERT_TRUE(server.start()) << server.error();
    prepare(server, true);
    TMainForm window;
    ASSERT_TRUE(open(window, bus.address()));

    window.SystemTimerTimer();
    ASSERT_TRUE(waitFor([&] { return service.notices().size() == 1; }, 10000));
    FakeNotificationService::Notice first = service.notices()[0];
    EXPECT_EQ(first.app, QStringLiteral("Tavik mail"));
    EXPECT_EQ(first.summary, QStringLiteral("4 new messages"));
    EXPECT_EQ(first.body, QStringLiteral("Quarterly figures &amp; &lt;forecast&gt;\n") +
                              QString(60, QLatin1Char('x')) + QStringLiteral("...\n(no subject)"));
    EXPECT_EQ(first.category, QStringLiteral("email.arrived"));
    EXPECT_EQ(first.replaces, 0u);
    // The notice is up, nothing modal holds the program, and the countdown runs again.
    EXPECT_EQ(visibleNotices(window).size(), 1u);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(window.checkCountdown(), 1);
    EXPECT_TRUE(ui.shown.empty());

    // The next check's notice and notification take the place of the first ones.
    server.addMessage(message("fifth"));
    window.SystemTimerTimer();
    ASSERT_TRUE(waitFor([&] { return service.notices().size() == 2; }, 10000));
    EXPECT_EQ(service.notices()[1].summary, QStringLiteral("1 new message"));
    EXPECT_EQ(service.notices()[1].body, QStringLiteral("fifth"));
    EXPECT_EQ(service.notices()[1].replaces, 41u);
    ASSERT_EQ(visibleNotices(window).size(), 1u);
    EXPECT_EQ(visibleNotices(window)[0]->countLabel()->text(), QStringLiteral("You have 1 new message(s) "));

    // No service on the bus: the status bar says it.
    service.leave();
    server.addMessage(message("sixth"));
    server.addMessage(message("seventh"));
    window.SystemTimerTimer();
    ASSERT_TRUE(waitFor([&] { return window.statusBar()->currentMessage() == QStringLiteral("2 new messages in New Mail"); },
                        10000))
        << window.statusBar()->currentMessage().toStdString();
    EXPECT_EQ(service.notices().size(), 2u);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(NewMailNews, ATimerCheckThatFailsShowsNoBoxButTheStatusBarAndTheDesktop)
{
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    FakeNotificationService service(bus.address());
    DovecotServer server;
    ASSERT_TRUE(server.start()) << server.error();
    prepare(server, true, "wrong");
    TMainForm window;
    ASSERT_TRUE(open(window, bus.address()));

    const std::string denied = "The server rejected the login either because the user ID or password you specified is "
                               "incorrect, or your account is being accessed by another program.";
    window.SystemTimerTimer();
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(window.statusBar()->currentMessage().toStdString(),
              "Checking for new mail failed (Access Denied Error): " + denied);
    ASSERT_TRUE(waitFor([&] { return service.notices().size() == 1; }, 10000));
    EXPECT_EQ(service.notices()[0].summary, QStringLiteral("Checking for new mail failed"));
    EXPECT_EQ(service.notices()[0].body.toStdString(), denied);
    EXPECT_EQ(window.checkCountdown(), 1);

    // A check the user starts keeps its box.
    window.commandAction("CheckMail2Click")->trigger();
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "error");
    EXPECT_EQ(ui.shown[0].title, "Access Denied Error");
    EXPECT_EQ(ui.shown[0].text, denied);
}
