// The mailbox window and the viewer window offscreen, on a real store in a temporary profile:
// preview layout, counters, header button, pane and strip switches, navigation, delete, move,
// save, decryption, the list's notices to viewer windows, the layout kept in "custom.ini", and
// the main window's routing of the message commands.
#include <filesystem>
#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QToolButton>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>

#include "addressbook/address_book.h"
#include "peers/peer_fixtures.h"
#include "pop3/attachment_store.h"
#include "smtp/new_message_window.h"
#include "smtp/rc4.h"
#include "ui/main_window_support.h"
#include "window_common/folder_tree_widget.h"
#include "view/attachment_strip_widget.h"
#include "view/mailbox_list_widget.h"
#include "view/mailbox_window.h"
#include "view/strings_viewer_widget.h"
#include "view/view_mail_window.h"

namespace tavik::test {
namespace {

constexpr int kInbox = 1, kSent = 2, kDrafts = 4, kTrash = 5, kFolder = 6;

using Lines = std::vector<std::string>;

// A message as the tests store it: header lines, an empty line, the body.
struct Mail {
    std::string from = "Ann Smith <ann@example.org>";
    std::string subject = "s";
    char flag = 'V';
    Lines text;
    int attachStart = 0, attachEnd = 0;
    std::string date = "Wed, 9 Dec 2026 10:00:00";
};

// The attachment and link commands, recorded.
class RecordingLinks : public AttachmentLinkCommands {
public:
    explicit RecordingLinks(std::vector<std::string>& log) : log_(log) {}
    void InViewBtnClick(MessageWindowKind kind, TStringsViewer&, int n) override { note("display", kind, std::to_string(n)); }
    void ViewBtnClick(MessageWindowKind kind, int n) override { note("launch", kind, std::to_string(n)); }
    void SpeedButtonSaveClick(MessageWindowKind kind, int n) override { note("save", kind, std::to_string(n)); }
    void MemoLinkClicked(MessageWindowKind kind, const std::string& link) override { note("link", kind, link); }

private:
    void note(const char* what, MessageWindowKind kind, const std::string& arg)
    {
        log_.push_back(std::string(what) + (kind == MessageWindowKind::Mailbox ? " mailbox " : " viewer ") + arg);
    }
    std::vector<std::string>& log_;
};

// The tests are the windows' host: a store with six mailboxes, an attachment store, settings, a
// window area for the child windows.
class MessageWindowsTest : public UiTest, public MessageWindowHost, public ComposeHost {
protected:
    MessageWindowsTest() : profile_(dir_.path()), links_(linkLog)
    {
        store_.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash", "m5=Friends"};
        store_.SetMailBoxDirectory(profile_ + "mailboxe/");
        attachments_.SetAttachmentDirectory(profile_ + "attach/");
        settings_.AutoAddAddress = false;
        area_ = std::make_unique<QMdiArea>();
        area_->resize(1000, 760);
        area_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(area_.get()));
    }

    TNMailBox& Mailbox() override { return store_; }
    TAttachmentManager& attachments() override { return attachments_; }
    ProfileSettings& settings() override { return settings_; }
    const std::string& ProfileDirectory() const override { return profile_; }
    QIcon statusPicture(const std::string& name) const override
    {
        return QIcon(QStringLiteral(":/pictures/") + fromStored(name) + QStringLiteral(".png"));
    }
    QMdiArea* mdiArea() const override { return area_.get(); }
    void addViewerWindow(QWidget* window) override
    {
        QMdiSubWindow* sub = area_->addSubWindow(window);
        sub->setAttribute(Qt::WA_DeleteOnClose);
        sub->resize(600, 500);
        sub->show();
        area_->setActiveSubWindow(sub);
    }
    void MessagesDropped(int target, const MessageDrag& drag) override { drops.push_back({target, drag}); }
    AttachmentLinkCommands& attachmentLinkCommands() override { return links_; }
    // Reply, edit and forward open their windows here.
    const MailboxList& mailboxList() override { return store_.MailBoxes; }
    TMimeManager* mimeManager() override { return nullptr; }
    TNewMessageForm* newComposition() override
    {
        composed.push_back(std::make_unique<TNewMessageForm>(*static_cast<ComposeHost*>(this)));
        composed.back()->show();
        return composed.back().get();
    }
    std::vector<std::unique_ptr<TNewMessageForm>> composed;

    void append(int mailbox, Mail m)
    {
        store_.SetCurrentMailBoxNumber(mailbox);
        store_.Msg_From = m.from;
        store_.Msg_To = "me@here";
        store_.Msg_Subject = m.subject;
        store_.Msg_Date = m.date;
        store_.Msg_Flag = m.flag;
        store_.Msg_AttachStart = m.attachStart;
        store_.Msg_AttachEnd = m.attachEnd;
        store_.Msg_Text = m.text.empty() ? Lines{"From: " + m.from, "Subject: " + m.subject, "", "Body of " + m.subject}
                                         : m.text;
        store_.AppendMessage();
    }
    // Messages "s1" to "sn" in mailbox `mailbox`.
    void fill(int mailbox, int n, char flag = 'V')
    {
        for (int i = 1; i <= n; ++i) {
            Mail m;
            m.subject = "s" + std::to_string(i);
            m.flag = flag;
            append(mailbox, m);
        }
    }
    int messagesIn(int mailbox)
    {
        store_.SetCurrentMailBoxNumber(mailbox);
        return store_.CurrentMailBoxMessages();
    }
    std::string subjectOf(int mailbox, int n)
    {
        store_.SetCurrentMailBoxNumber(mailbox);
        store_.SetMsg_Number(n);
        return store_.Msg_Subject;
    }
    char flagOf(int mailbox, int n)
    {
        store_.SetCurrentMailBoxNumber(mailbox);
        store_.SetMsg_Number(n);
        return store_.Msg_Flag;
    }

    TMailboxForm* openMailbox(int n)
    {
        auto* form = new TMailboxForm(*this, n);
        form->Open();
        QMdiSubWindow* sub = area_->addSubWindow(form);
        sub->setAttribute(Qt::WA_DeleteOnClose);
        sub->resize(900, 700);
        sub->show();
        area_->setActiveSubWindow(sub);
        return form;
    }
    static QPoint rowPoint(TMailboxForm* form, int row)
    {
        MailboxListWidget* list = form->list();
        return list->visualRect(list->itemModel()->index(row, 2)).center();
    }
    static void clickRow(TMailboxForm* form, int row, Qt::KeyboardModifiers mods = {})
    {
        QTest::mouseClick(form->list()->viewport(), Qt::LeftButton, mods, rowPoint(form, row));
    }
    // A double click as the window system delivers it: a click, then the second press.
    static void doubleClickRow(TMailboxForm* form, int row)
    {
        QTest::mouseClick(form->list()->viewport(), Qt::LeftButton, {}, rowPoint(form, row));
        QTest::mouseDClick(form->list()->viewport(), Qt::LeftButton, {}, rowPoint(form, row));
    }
    // Opens a viewer window on the message of `row` with a double click.
    TViewMailForm* openViewer(TMailboxForm* form, int row)
    {
        const int before = static_cast<int>(viewers().size());
        doubleClickRow(form, row);
        std::vector<TViewMailForm*> now = viewers();
        EXPECT_EQ(static_cast<int>(now.size()), before + 1);
        return now.empty() ? nullptr : now.back();
    }
    std::vector<TViewMailForm*> viewers() const
    {
        std::vector<TViewMailForm*> out;
        for (QMdiSubWindow* sub : area_->subWindowList())
            if (auto* v = qobject_cast<TViewMailForm*>(sub->widget()); v && sub->isVisible())
                out.push_back(v);
        return out;
    }
    std::string layoutFile() const { return profile_ + "custom.ini"; }

    std::vector<std::string> linkLog;
    std::vector<std::pair<int, MessageDrag>> drops;

private:
    TempDir dir_;
    std::string profile_;
    TNMailBox store_;
    TAttachmentManager attachments_;
    ProfileSettings settings_;
    RecordingLinks links_;

protected:
    // Declared last: the windows go before the store they are registered with.
    std::unique_ptr<QMdiArea> area_;
};

const Lines kAnnText = {"Return-Path: <ann@example.org>", "From: Ann Smith <ann@example.org>", "to: lower@x",
                        "Reply-To: other@x", "To: Me <me@here>", "Subject: Hello", "", "Dear me,", "> quoted",
                        "bye"};

// ---- Mailbox window ----

TEST_F(MessageWindowsTest, ClickShowsThePreviewLaidOutInColumn13AndLeavesTheFlag)
{
    Mail ann;
    ann.subject = "Hello";
    ann.flag = 'U';
    ann.text = kAnnText;
    append(kInbox, ann);
    fill(kInbox, 1, 'U');
    TMailboxForm* form = openMailbox(kInbox);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("New Mail"));
    EXPECT_EQ(form->messageCounter()->text(), QStringLiteral("   2 message(s)   "));
    EXPECT_EQ(form->unreadCounter()->text(), QStringLiteral("   2 unread message(s)   "));
    EXPECT_EQ(form->headerButton()->text(), QStringLiteral("   Show all &headers   "));

    clickRow(form, 0);
    EXPECT_EQ(form->currentMessage(), 1);
    EXPECT_EQ(form->preview()->Lines(), (Lines{"From:       Ann Smith <ann@example.org>", "To:         Me <me@here>",
                                               "Subject:    Hello", " ", "Dear me,", "> quoted", "bye"}));
    // The preview leaves the flag alone.
    EXPECT_EQ(flagOf(kInbox, 1), 'U');
    EXPECT_EQ(form->unreadCounter()->text(), QStringLiteral("   2 unread message(s)   "));

    // The header button shows every header line and one more blank line, and back.
    form->headerButton()->click();
    EXPECT_TRUE(form->ShowAllHeaders());
    EXPECT_EQ(form->headerButton()->text(), QStringLiteral("   Hide all &headers   "));
    Lines all = {"From:       Ann Smith <ann@example.org>", "To:         Me <me@here>", "Subject:    Hello", " "};
    all.insert(all.end(), kAnnText.begin(), kAnnText.begin() + 6);
    all.insert(all.end(), {" ", "Dear me,", "> quoted", "bye"});
    EXPECT_EQ(form->preview()->Lines(), all);
    form->headerButton()->click();
    EXPECT_EQ(form->preview()->Lines().size(), 7u);
    EXPECT_EQ(form->headerButton()->text(), QStringLiteral("   Show all &headers   "));
}

TEST_F(MessageWindowsTest, QuotedColourComesFromTheTableAndOutOfRangeIsBlack)
{
    fill(kInbox, 1);
    TMailboxForm* form = openMailbox(kInbox);
    settings().QuotedColor = 12;
    form->ViewMessage(1);
    EXPECT_EQ(form->preview()->QuotedColor(), QColor(0x00, 0x00, 0xFF));
    for (int bad : {16, -1, 1000}) {
        settings().QuotedColor = bad;
        form->ViewMessage(1);
        EXPECT_EQ(form->preview()->QuotedColor(), QColor(0, 0, 0)) << bad;
    }
}

TEST_F(MessageWindowsTest, ShowingTheWindowTakesShowAllHeadersFromTheSettings)
{
    fill(kInbox, 1);
    settings().FullHeaders = true;
    TMailboxForm* form = openMailbox(kInbox);
    EXPECT_TRUE(form->ShowAllHeaders());
    EXPECT_EQ(form->headerButton()->text(), QStringLiteral("   Hide all &headers   "));
    form->ViewMessage(1);
    EXPECT_EQ(form->preview()->Lines(),
              (Lines{"From:       Ann Smith <ann@example.org>", "To:         ", "Subject:    s1", " ",
                     "From: Ann Smith <ann@example.org>", "Subject: s1", " ", "Body of s1"}));
}

TEST_F(MessageWindowsTest, CountersHideThePreviewAndTheAttachmentsButtonTheStrip)
{
    Mail with;
    with.subject = "with";
    with.attachStart = 3;
    with.attachEnd = 4;
    append(kInbox, with);
    fill(kInbox, 1);
    TMailboxForm* form = openMailbox(kInbox);
    EXPECT_TRUE(form->attachmentsButton()->isHidden());
    EXPECT_FALSE(form->attachmentStripShown());

    form->ViewMessage(1);
    EXPECT_FALSE(form->attachmentsButton()->isHidden());
    ASSERT_TRUE(form->attachmentStripShown());
    ASSERT_EQ(form->attachmentStrip()->list()->count(), 2);
    EXPECT_EQ(form->attachmentStrip()->list()->item(0)->text(), QStringLiteral("3"));
    EXPECT_EQ(form->attachmentStrip()->list()->item(1)->text(), QStringLiteral("4"));
    form->attachmentsButton()->click();
    EXPECT_FALSE(form->attachmentStripShown());
    // The strip keeps the visibility the user gave it from message to message.
    form->ViewMessage(1);
    EXPECT_FALSE(form->attachmentStripShown());
    form->attachmentsButton()->click();
    EXPECT_TRUE(form->attachmentStripShown());
    form->ViewMessage(2);
    EXPECT_TRUE(form->attachmentsButton()->isHidden());
    EXPECT_FALSE(form->attachmentStripShown());

    QTest::mouseClick(form->messageCounter(), Qt::LeftButton);
    EXPECT_FALSE(form->previewPaneShown());
    QTest::mouseClick(form->unreadCounter(), Qt::LeftButton);
    EXPECT_TRUE(form->previewPaneShown());
    QTest::mouseClick(form->counterStrip(), Qt::LeftButton, {}, QPoint(form->counterStrip()->width() / 2, 3));
    EXPECT_FALSE(form->previewPaneShown());
    // The buttons on the strip are not a click on the strip.
    form->headerButton()->click();
    EXPECT_FALSE(form->previewPaneShown());
}

TEST_F(MessageWindowsTest, NextAndPreviousFollowTheDisplayOrderAndStopAtTheEnds)
{
    fill(kInbox, 3);
    TMailboxForm* form = openMailbox(kInbox);
    form->NextMessage();
    EXPECT_EQ(form->currentMessage(), 1);
    form->NextMessage();
    form->NextMessage();
    EXPECT_EQ(form->currentMessage(), 3);
    form->NextMessage();
    EXPECT_EQ(form->currentMessage(), 3);
    EXPECT_EQ(form->list()->viewer().ItemIndex(), 2);
    form->PreviousMessage();
    EXPECT_EQ(form->currentMessage(), 2);
    form->PreviousMessage();
    form->PreviousMessage();
    EXPECT_EQ(form->currentMessage(), 1);
    EXPECT_EQ(form->preview()->Lines()[2], "Subject:    s1");
    // Sorted newest first, message 1 is the last line.
    form->list()->sortList(kColumnDate, true);
    form->NextMessage();
    EXPECT_EQ(form->currentMessage(), 1);
    form->PreviousMessage();
    EXPECT_EQ(form->currentMessage(), 2);
}

TEST_F(MessageWindowsTest, DeleteAsksThenMovesTheSelectedMessagesToTrash)
{
    fill(kInbox, 3);
    TMailboxForm* form = openMailbox(kInbox);
    clickRow(form, 0);
    clickRow(form, 2, Qt::ControlModifier);
    ASSERT_EQ(form->list()->viewer().SelectedMessages(), (std::vector<int>{1, 3}));
    ui.yesNo = {false, true};
    form->deleteMessages();
    EXPECT_EQ(messagesIn(kInbox), 3);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "question");
    EXPECT_EQ(ui.shown[0].title, "Tavik mail");
    EXPECT_EQ(ui.shown[0].text, "Are you sure you want to delete the selected message(s)?");
    form->deleteMessages();
    EXPECT_EQ(messagesIn(kInbox), 1);
    EXPECT_EQ(messagesIn(kTrash), 2);
    EXPECT_EQ(subjectOf(kTrash, 1), "s1");
    EXPECT_EQ(subjectOf(kTrash, 2), "s3");
    EXPECT_EQ(form->list()->viewer().Count(), 1);
    EXPECT_TRUE(form->preview()->Lines().empty());
    EXPECT_EQ(form->currentMessage(), 0);
    EXPECT_EQ(form->messageCounter()->text(), QStringLiteral("   1 message(s)   "));
}

TEST_F(MessageWindowsTest, DeleteInTrashDoesNothing)
{
    fill(kTrash, 2);
    TMailboxForm* form = openMailbox(kTrash);
    clickRow(form, 0);
    form->deleteMessages();
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(messagesIn(kTrash), 2);
    EXPECT_EQ(form->currentMessage(), 1);
}

TEST_F(MessageWindowsTest, MoveOffersEveryMailboxAndAFailureStopsAndIsShownOnce)
{
    fill(kInbox, 3);
    TMailboxForm* form = openMailbox(kInbox);
    clickRow(form, 1);
    ui.moveTargets = {std::nullopt, kFolder};
    form->moveMessages();
    EXPECT_EQ(ui.moveTargetNames, (Lines{"New Mail", "Sent", "To Send", "Drafts", "Trash", "Friends"}));
    EXPECT_EQ(messagesIn(kInbox), 3);
    form->moveMessages();
    EXPECT_EQ(messagesIn(kInbox), 2);
    EXPECT_EQ(subjectOf(kFolder, 1), "s2");

    // The target's index is gone: the move stops at once, nothing moves, the error shows once.
    ASSERT_EQ(std::remove((ProfileDirectory() + "mailboxe/m3.idx").c_str()), 0);
    clickRow(form, 0);
    clickRow(form, 1, Qt::ControlModifier);
    ui.shown.clear();
    form->moveMessagesTo(kDrafts);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "error");
    EXPECT_NE(ui.shown[0].text.find("m3.idx"), std::string::npos);
    EXPECT_EQ(messagesIn(kInbox), 2);
    EXPECT_EQ(form->list()->viewer().Count(), 2);
    // The same selection goes elsewhere afterwards.
    form->moveMessagesTo(kTrash);
    EXPECT_EQ(messagesIn(kTrash), 2);
    EXPECT_EQ(form->list()->viewer().Count(), 0);
}

TEST_F(MessageWindowsTest, SaveWritesThePreviewLinesEndedByCrLf)
{
    fill(kInbox, 1);
    TMailboxForm* form = openMailbox(kInbox);
    form->ViewMessage(1);
    const std::string path = ProfileDirectory() + "saved.txt";
    ui.files = {std::nullopt, path};
    form->saveMessage();
    EXPECT_TRUE(fileBytes(path).empty());
    form->saveMessage();
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[1].kind, "save");
    EXPECT_EQ(ui.shown[1].title, "Save Message Text");
    EXPECT_EQ(ui.shown[1].text, "Text|*.txt");
    EXPECT_EQ(fileBytes(path),
              "From:       Ann Smith <ann@example.org>\r\nTo:         \r\nSubject:    s1\r\n \r\nBody of s1\r\n");
}

TEST_F(MessageWindowsTest, EncipheredPreviewWithTheRightAndAWrongPassword)
{
    const Lines plain = {"Meet me at noon.", "Bring the key."};
    Lines text = {"From: Eve <eve@x>", "X-Encoder: RC4 internal sesame", "X-Encoder-Verify: True", ""};
    for (const auto& line : plain) {
        ASSERT_EQ(cipherLineRisk(line, "sesame"), CipherLineRisk::None) << line;
        text.push_back(EncipherLine(line, "sesame"));
    }
    Mail enciphered;
    enciphered.text = text;
    append(kInbox, enciphered);
    Mail verifyOnly;
    verifyOnly.text = {"From: a@x", "X-Encoder-Verify: True", "", "plain text"};
    append(kInbox, verifyOnly);
    TMailboxForm* form = openMailbox(kInbox);

    ui.decoderPasswords = {std::string("sesame"), std::string("wrong"), std::nullopt};
    form->ViewMessage(1);
    ASSERT_EQ(ui.textsOf("decoder").size(), 1u);
    EXPECT_EQ(ui.shown.back().title, "Decoder Password . . .");
    EXPECT_EQ(Lines(form->preview()->Lines().begin() + 4, form->preview()->Lines().end()), plain);
    form->ViewMessage(1);
    const Lines wrong(form->preview()->Lines().begin() + 4, form->preview()->Lines().end());
    ASSERT_EQ(wrong.size(), 2u);
    EXPECT_NE(wrong, plain);
    EXPECT_EQ(wrong[0], EncipherLine(text[4], "wrong"));
    // Closed without OK: the stored lines as they are.
    form->ViewMessage(1);
    EXPECT_EQ(form->preview()->Lines().back(), text.back());
    // "X-Encoder-Verify:" alone asks nothing.
    form->ViewMessage(2);
    EXPECT_EQ(ui.textsOf("decoder").size(), 3u);
    EXPECT_EQ(form->preview()->Lines().back(), "plain text");
}

TEST_F(MessageWindowsTest, PopupMarksTheSelectedMessageAndAddsItsSender)
{
    fill(kInbox, 2, 'V');
    TMailboxForm* form = openMailbox(kInbox);
    clickRow(form, 1);
    form->markMessage('U');
    EXPECT_EQ(flagOf(kInbox, 2), 'U');
    EXPECT_EQ(form->unreadCounter()->text(), QStringLiteral("   1 unread message(s)   "));
    EXPECT_TRUE(form->list()->viewer().IsBold(1));
    form->markMessage('V');
    EXPECT_EQ(form->unreadCounter()->text(), QStringLiteral("   0 unread message(s)   "));
    EXPECT_FALSE(IsKnownSender(ProfileDirectory(), "Ann Smith <ann@example.org>"));
    form->addPersonToAddressBook();
    EXPECT_TRUE(IsKnownSender(ProfileDirectory(), "Ann Smith <ann@example.org>"));
    QStringList entries;
    for (QAction* a : form->popupMenu()->actions())
        entries << a->text();
    EXPECT_EQ(entries, (QStringList{QStringLiteral("&Reply"), QStringLiteral("Reply to &all"), QStringLiteral("E&dit"),
                                    QString(), QStringLiteral("Add person to address book"), QStringLiteral("Mark message as ..."),
                                    QStringLiteral("Set Font"), QStringLiteral("Wrap Long Lines"), QString(),
                                    QStringLiteral("Copy")}));
}

TEST_F(MessageWindowsTest, PreviewAddsTheSenderWhenAutoAddAddressIsSet)
{
    fill(kInbox, 1);
    settings().AutoAddAddress = true;
    TMailboxForm* form = openMailbox(kInbox);
    form->ViewMessage(1);
    EXPECT_TRUE(IsKnownSender(ProfileDirectory(), "Ann Smith <ann@example.org>"));
}

TEST_F(MessageWindowsTest, ColumnWidthsAndFontsAreKeptInCustomIni)
{
    fill(kInbox, 1);
    TMailboxForm* first = openMailbox(kInbox);
    TMailboxForm* other = openMailbox(kFolder);
    first->list()->setColumnWidths({70, 210, 300, 150, 81});
    first->parentWidget()->close();
    ASSERT_TRUE(waitFor([&] { return area_->subWindowList().size() == 1; }));
    EXPECT_EQ(iniLines(layoutFile(), "MailBoxViewer"),
              (Lines{"ColumnWidth1=70", "ColumnWidth2=210", "ColumnWidth3=300", "ColumnWidth4=150", "ColumnWidth5=81"}));
    TMailboxForm* again = openMailbox(kInbox);
    EXPECT_EQ(again->list()->columnWidths(), (std::vector<int>{70, 210, 300, 150, 81}));

    // A font for the messages list goes to every open mailbox window and to later ones.
    QFont font(QStringLiteral("DejaVu Serif"), 15);
    ui.fonts = {font};
    again->setFontOfPart(TMailboxForm::Part::MessagesList);
    EXPECT_EQ(again->list()->font().family(), QStringLiteral("DejaVu Serif"));
    EXPECT_EQ(other->list()->font().family(), QStringLiteral("DejaVu Serif"));
    EXPECT_NE(IniFile(layoutFile()).readString("MailBoxViewer", "ListFont").find("DejaVu Serif,15"), std::string::npos);
    other->parentWidget()->close();
    ASSERT_TRUE(waitFor([&] { return area_->subWindowList().size() == 1; }));
    TMailboxForm* later = openMailbox(kFolder);
    EXPECT_EQ(later->list()->font().family(), QStringLiteral("DejaVu Serif"));
}

TEST_F(MessageWindowsTest, WrapLongLinesIsOnAtFirstAndKeptInCustomIni)
{
    auto wrapAction = [](QMenu* menu) {
        for (QAction* a : menu->actions())
            if (a->text() == QStringLiteral("Wrap Long Lines"))
                return a;
        return static_cast<QAction*>(nullptr);
    };
    fill(kInbox, 1);
    TMailboxForm* form = openMailbox(kInbox);
    TMailboxForm* other = openMailbox(kFolder);
    QAction* wrap = wrapAction(form->popupMenu());
    ASSERT_NE(wrap, nullptr);
    EXPECT_TRUE(wrap->isCheckable() && wrap->isChecked());
    EXPECT_TRUE(form->preview()->WrapLongLines());
    // Turned off: in every open mailbox window and in later ones.
    wrap->trigger();
    EXPECT_FALSE(form->preview()->WrapLongLines());
    EXPECT_FALSE(other->preview()->WrapLongLines());
    EXPECT_EQ(iniLines(layoutFile(), "MailBoxViewer"), (Lines{"WrapLongLines=0"}));
    other->parentWidget()->close();
    ASSERT_TRUE(waitFor([&] { return area_->subWindowList().size() == 1; }));
    TMailboxForm* later = openMailbox(kFolder);
    EXPECT_FALSE(later->preview()->WrapLongLines());
    EXPECT_FALSE(wrapAction(later->popupMenu())->isChecked());

    // The viewer window keeps its own choice.
    TViewMailForm* viewer = openViewer(form, 0);
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->body()->WrapLongLines());
    wrapAction(viewer->popupMenu())->trigger();
    EXPECT_FALSE(viewer->body()->WrapLongLines());
    EXPECT_EQ(iniLines(layoutFile(), "ViewMail"), (Lines{"WrapLongLines=0"}));
    viewer->closeWindow();
    ASSERT_TRUE(waitFor([&] { return viewers().empty(); }));
    TViewMailForm* next = openViewer(form, 0);
    ASSERT_NE(next, nullptr);
    EXPECT_FALSE(next->body()->WrapLongLines());
    EXPECT_FALSE(wrapAction(next->popupMenu())->isChecked());
}

TEST_F(MessageWindowsTest, AfterCompressionTheListShowsItsMessagesAgain)
{
    fill(kInbox, 4);
    TMailboxForm* form = openMailbox(kInbox);
    Mailbox().SetCurrentMailBoxNumber(kInbox);
    Mailbox().SetMsg_Number(2);
    Mailbox().MoveMessage(Mailbox().MailboxKey(kTrash));
    form->ViewMessage(3); // was message 4
    Mailbox().SetCurrentMailBoxNumber(kInbox);
    ASSERT_GT(Mailbox().CurrentNMailBoxTrash(), 0);
    Mailbox().CompressMailbox();
    NMailboxViewer& list = form->list()->viewer();
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.ItemAt(0).Subject, "s1");
    EXPECT_EQ(list.ItemAt(2).Subject, "s4");
    EXPECT_EQ(form->messageCounter()->text(), QStringLiteral("   3 message(s)   "));
    EXPECT_EQ(form->currentMessage(), 3);
    form->NextMessage();
    EXPECT_EQ(form->currentMessage(), 3);
    EXPECT_EQ(form->preview()->Lines()[2], "Subject:    s4");
}

TEST_F(MessageWindowsTest, ADamagedMessageLeavesTheWindowOpenAndIsToldOnce)
{
    fill(kInbox, 3);
    // Message 2's text is sent beyond the end of the text file.
    const std::string idx = ProfileDirectory() + "mailboxe/m0.idx";
    std::string bytes = fileBytes(idx);
    MailboxRecord r = decodeMailboxRecord(bytes.data() + 2 * kIndexRecordSize);
    r.Offset = 100000;
    bytes.replace(2 * kIndexRecordSize, kIndexRecordSize, encodeMailboxRecord(r));
    writeBytes(idx, bytes);

    TMailboxForm* form = openMailbox(kInbox);
    EXPECT_EQ(ui.textsOf("warn"),
              (std::vector<std::string>{"1 message of \"New Mail\" is damaged and cannot be read (message 2). The other "
                                        "messages can be read. \"tavikctl repair 1\" mends the mailbox's index."}));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].title, "Tavik mail");
    EXPECT_EQ(form->messageCounter()->text(), QStringLiteral("   3 message(s)   "));
    clickRow(form, 2);
    EXPECT_EQ(form->preview()->Lines()[2], "Subject:    s3");
}

TEST_F(MessageWindowsTest, LinksAndAttachmentButtonsReachTheirCommands)
{
    Mail m;
    m.attachStart = 7;
    m.attachEnd = 7;
    m.text = {"From: a@x", "", "see https://example.org/page now"};
    append(kInbox, m);
    TMailboxForm* form = openMailbox(kInbox);
    form->ViewMessage(1);
    TStringsViewer* preview = form->preview();
    preview->viewport()->repaint();
    const TextViewerModel& model = preview->model();
    ASSERT_FALSE(model.LinkTable().empty());
    const LinkEntry& link = model.LinkTable().back();
    const QPoint at((link.left + link.right) / 2, (link.top + link.bottom) / 2);
    QTest::mouseClick(preview->viewport(), Qt::LeftButton, {}, at);
    form->attachmentStrip()->list()->setCurrentRow(0);
    form->attachmentStrip()->displayButton()->click();
    form->attachmentStrip()->launchButton()->click();
    form->attachmentStrip()->saveButton()->click();
    EXPECT_EQ(linkLog, (Lines{"link mailbox https://example.org/page", "display mailbox 7", "launch mailbox 7",
                              "save mailbox 7"}));
}

TEST_F(MessageWindowsTest, ListDropsGoToTheHost)
{
    TMailboxForm* form = openMailbox(kFolder);
    form->list()->OnMessagesDropped(MessageDrag{kInbox, {2}});
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(drops[0].first, kFolder);
    EXPECT_EQ(drops[0].second.messages, (std::vector<int>{2}));
}

// ---- Viewer window ----

TEST_F(MessageWindowsTest, DoubleClickOpensAViewerThatMarksTheMessageViewed)
{
    Mail ann;
    ann.subject = "Hello";
    ann.flag = 'U';
    ann.text = kAnnText;
    ann.date = "Thu, 7 Mar 2024 19:25:51";
    append(kInbox, ann);
    TMailboxForm* form = openMailbox(kInbox);
    ASSERT_EQ(form->unreadCounter()->text(), QStringLiteral("   1 unread message(s)   "));
    TViewMailForm* viewer = openViewer(form, 0);
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->list(), &form->list()->viewer());
    EXPECT_EQ(viewer->mailboxNumber(), kInbox);
    EXPECT_EQ(viewer->messageNumber(), 1);
    EXPECT_EQ(viewer->headerLabel(0)->text(), QStringLiteral("From:  "));
    EXPECT_EQ(viewer->headerLabel(1)->text(), QStringLiteral("Subject:  "));
    EXPECT_EQ(viewer->headerLabel(2)->text(), QStringLiteral("Date:  "));
    EXPECT_EQ(viewer->fromValue()->text(), QStringLiteral("Ann Smith <ann@example.org>"));
    EXPECT_EQ(viewer->subjectValue()->text(), QStringLiteral("Hello"));
    EXPECT_EQ(viewer->dateValue()->text(), QStringLiteral("Thu, 7 Mar 2024 19:25:51"));
    EXPECT_EQ(viewer->windowTitle(), QStringLiteral("Hello"));
    EXPECT_EQ(viewer->parentWidget()->windowTitle(), QStringLiteral("Hello"));
    EXPECT_EQ(viewer->body()->Lines(), (Lines{"Dear me,", "> quoted", "bye"}));
    EXPECT_TRUE(viewer->attachmentStrip()->isHidden());
    // Shown in a viewer window, an unread message is viewed.
    EXPECT_EQ(flagOf(kInbox, 1), 'V');
    EXPECT_EQ(form->unreadCounter()->text(), QStringLiteral("   0 unread message(s)   "));
    EXPECT_FALSE(form->list()->viewer().IsBold(0));
    EXPECT_EQ(form->list()->viewer().OpenViewerSlots()[0].window, viewer);
    // A second double click raises the same window.
    doubleClickRow(form, 0);
    EXPECT_EQ(viewers().size(), 1u);
    EXPECT_EQ(area_->activeSubWindow(), viewer->parentWidget());
}

TEST_F(MessageWindowsTest, ViewerWithFullHeadersAndAttachmentsAndOnlyCapitalUIsMarked)
{
    Mail m;
    m.flag = 'u';
    m.attachStart = 2;
    m.attachEnd = 3;
    append(kInbox, m);
    fill(kInbox, 1);
    settings().FullHeaders = true;
    TMailboxForm* form = openMailbox(kInbox);
    TViewMailForm* viewer = openViewer(form, 0);
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->body()->Lines(), (Lines{"From: Ann Smith <ann@example.org>", "Subject: s", "", "Body of s"}));
    EXPECT_FALSE(viewer->attachmentStrip()->isHidden());
    EXPECT_EQ(viewer->attachmentStrip()->list()->count(), 2);
    EXPECT_EQ(flagOf(kInbox, 1), 'u');
    // The bar collapses the strip to itself and restores it.
    const int height = viewer->bodySplitter()->sizes().value(1);
    EXPECT_GT(height, 0);
    EXPECT_FALSE(viewer->attachmentStripCollapsed());
    viewer->toggleAttachmentStrip();
    EXPECT_TRUE(viewer->attachmentStripCollapsed());
    EXPECT_EQ(viewer->bodySplitter()->sizes().value(1), 0);
    EXPECT_FALSE(viewer->attachmentBar()->isHidden());
    viewer->toggleAttachmentStrip();
    EXPECT_FALSE(viewer->attachmentStripCollapsed());
    EXPECT_EQ(viewer->bodySplitter()->sizes().value(1), height);
    // A message without attachments hides the strip and its bar.
    viewer->ShowMessage(kInbox, 2);
    EXPECT_TRUE(viewer->attachmentStrip()->isHidden());
    EXPECT_TRUE(viewer->attachmentBar()->isHidden());
}

TEST_F(MessageWindowsTest, ViewerNextAndPreviousUseTheListsOrderAndRaiseOpenWindows)
{
    fill(kInbox, 3);
    TMailboxForm* form = openMailbox(kInbox);
    form->list()->sortList(kColumnDate, true); // 3 2 1
    TViewMailForm* viewer = openViewer(form, 0);
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->messageNumber(), 3);
    viewer->previousMessage();
    EXPECT_EQ(viewer->messageNumber(), 3);
    viewer->nextMessage();
    EXPECT_EQ(viewer->messageNumber(), 2);
    EXPECT_EQ(viewer->windowTitle(), QStringLiteral("s2"));
    EXPECT_EQ(form->list()->viewer().OpenViewerSlots()[0].message, 2);
    viewer->nextMessage();
    viewer->nextMessage();
    EXPECT_EQ(viewer->messageNumber(), 1);
    // The window of the next message is raised instead.
    TViewMailForm* other = openViewer(form, 1); // message 2
    ASSERT_NE(other, nullptr);
    area_->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(viewer->parentWidget()));
    viewer->previousMessage();
    EXPECT_EQ(viewer->messageNumber(), 1);
    EXPECT_EQ(area_->activeSubWindow(), other->parentWidget());
}

TEST_F(MessageWindowsTest, ViewerDeleteMovesItsMessageToTrashAndTheListClosesIt)
{
    fill(kInbox, 5);
    TMailboxForm* form = openMailbox(kInbox);
    TViewMailForm* second = openViewer(form, 1);
    TViewMailForm* fourth = openViewer(form, 3);
    ASSERT_TRUE(second && fourth);
    ui.yesNo = {true, true};
    second->deleteMessages();
    EXPECT_EQ(ui.textsOf("question"), (Lines{"Are you sure you want to delete the selected message(s)?"}));
    ASSERT_TRUE(waitFor([&] { return viewers().size() == 1; }));
    EXPECT_EQ(subjectOf(kTrash, 1), "s2");
    // The later window was renumbered and deletes the message it shows.
    EXPECT_EQ(fourth->messageNumber(), 3);
    fourth->deleteMessages();
    ASSERT_TRUE(waitFor([&] { return viewers().empty(); }));
    EXPECT_EQ(subjectOf(kTrash, 2), "s4");
    EXPECT_EQ(messagesIn(kInbox), 3);
    for (const auto& slot : form->list()->viewer().OpenViewerSlots())
        EXPECT_EQ(slot.window, nullptr);
}

TEST_F(MessageWindowsTest, ViewerDeleteInTrashDoesNothingAndMoveUsesTheDialog)
{
    fill(kTrash, 1);
    fill(kInbox, 1);
    TMailboxForm* trash = openMailbox(kTrash);
    TViewMailForm* viewer = openViewer(trash, 0);
    ASSERT_NE(viewer, nullptr);
    viewer->deleteMessages();
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(viewers().size(), 1u);
    ui.moveTargets = {kInbox};
    viewer->moveMessages();
    ASSERT_TRUE(waitFor([&] { return viewers().empty(); }));
    EXPECT_EQ(messagesIn(kTrash), 0);
    EXPECT_EQ(messagesIn(kInbox), 2);
}

TEST_F(MessageWindowsTest, DoubleClickOnTheHeaderBlockClosesTheViewerAndFreesItsSlot)
{
    fill(kInbox, 1);
    TMailboxForm* form = openMailbox(kInbox);
    TViewMailForm* viewer = openViewer(form, 0);
    ASSERT_NE(viewer, nullptr);
    QTest::mouseDClick(viewer->subjectValue(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return viewers().empty(); }));
    EXPECT_EQ(form->list()->viewer().OpenViewerSlots()[0].window, nullptr);
    // The list opens a new one for the message.
    EXPECT_NE(openViewer(form, 0), nullptr);
}

TEST_F(MessageWindowsTest, ClosingTheMailboxWindowClosesItsViewers)
{
    fill(kInbox, 3);
    TMailboxForm* form = openMailbox(kInbox);
    TViewMailForm* a = openViewer(form, 0);
    TViewMailForm* b = openViewer(form, 2);
    ASSERT_TRUE(a && b);
    form->parentWidget()->close();
    ASSERT_TRUE(waitFor([&] { return area_->subWindowList().empty(); }));
    // The store no longer knows the list: a change of the mailbox reaches nothing freed.
    fill(kInbox, 1);
    EXPECT_EQ(messagesIn(kInbox), 4);
}

TEST_F(MessageWindowsTest, ViewerSaveAndItsFontsAndColoursInCustomIni)
{
    fill(kInbox, 1);
    TMailboxForm* form = openMailbox(kInbox);
    TViewMailForm* viewer = openViewer(form, 0);
    ASSERT_NE(viewer, nullptr);
    const std::string path = ProfileDirectory() + "body.txt";
    ui.files = {path};
    viewer->saveMessage();
    EXPECT_EQ(fileBytes(path), "Body of s1\r\n");

    ui.fonts = {QFont(QStringLiteral("DejaVu Sans"), 14)};
    viewer->setFontOfPart(TViewMailForm::Part::Headers);
    EXPECT_EQ(viewer->fromValue()->font().pointSize(), 14);
    ui.colors = {QColor(0xff, 0xee, 0xcc)};
    viewer->setColorOfArea(TViewMailForm::Area::MailBodyBackground);
    EXPECT_EQ(viewer->body()->Color(), QColor(0xff, 0xee, 0xcc));
    const IniFile ini(layoutFile());
    EXPECT_EQ(ini.readString("ViewMail", "BodyColor"), "#ffeecc");
    EXPECT_NE(ini.readString("ViewMail", "HeadersFont").find("DejaVu Sans,14"), std::string::npos);
    // The next viewer window starts with them.
    viewer->closeWindow();
    ASSERT_TRUE(waitFor([&] { return viewers().empty(); }));
    TViewMailForm* next = openViewer(form, 0);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->body()->Color(), QColor(0xff, 0xee, 0xcc));
    EXPECT_EQ(next->fromValue()->font().pointSize(), 14);
    QStringList entries;
    for (QAction* a : next->popupMenu()->actions())
        entries << a->text();
    EXPECT_EQ(entries, (QStringList{QStringLiteral("Reply to &all"), QString(), QStringLiteral("&Copy to Clipboard"),
                                    QStringLiteral("Select Al&l"), QString(),
                                    QStringLiteral("Set Font"), QStringLiteral("Set Color"),
                                    QStringLiteral("Wrap Long Lines"), QString(),
                                    QStringLiteral("Add Sender to Address Book")}));
    next->addSenderToAddressBook();
    EXPECT_TRUE(IsKnownSender(ProfileDirectory(), "Ann Smith <ann@example.org>"));
}

TEST_F(MessageWindowsTest, StoreErrorsAreShownAndNeitherWindowShowsTheWrongMessage)
{
    fill(kInbox, 2);
    TMailboxForm* form = openMailbox(kInbox);
    form->ViewMessage(1);
    TViewMailForm* viewer = openViewer(form, 0);
    ASSERT_NE(viewer, nullptr);
    const Lines preview = form->preview()->Lines();
    // The texts are gone from under the index.
    writeBytes(ProfileDirectory() + "mailboxe/m0.mbx", "");
    ui.shown.clear();
    form->ViewMessage(2);
    ASSERT_EQ(ui.textsOf("error").size(), 1u);
    EXPECT_EQ(form->currentMessage(), 1);
    EXPECT_EQ(form->preview()->Lines(), preview);
    viewer->nextMessage();
    ASSERT_EQ(ui.textsOf("error").size(), 2u);
    EXPECT_EQ(viewer->messageNumber(), 2);
    EXPECT_TRUE(viewer->body()->Lines().empty());
    EXPECT_TRUE(viewer->subjectValue()->text().isEmpty());
}

// ---- Main window ----

class MainWindowReadingTest : public UiTest {};

// A check that files two messages into New Mail.
class FilingWorkflows : public WorkflowCommands {
public:
    void checkMail(TMainForm& window, CheckStart) override
    {
        appendMessage(window.Mailbox(), 1, "new one");
        appendMessage(window.Mailbox(), 1, "new two");
    }
};

// The profile the 8-bit program wrote (tests/data/latin1_profile) shows right in the windows.
TEST_F(MainWindowReadingTest, AProfileWrittenAsLatin1ShowsItsCharacters)
{
    std::filesystem::copy(testDataDir() + "latin1_profile/", home(), std::filesystem::copy_options::recursive |
                                                                         std::filesystem::copy_options::overwrite_existing);
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    QTreeWidgetItem* root = window.treeWidget()->topLevelItem(0);
    ASSERT_EQ(root->childCount(), 6);
    EXPECT_EQ(root->child(5)->text(0), QString::fromUtf8("Archiv K\xc3\xb6ln"));
    TMailboxForm* newMail = window.mailboxWindow(1);
    ASSERT_NE(newMail, nullptr);
    const QAbstractItemModel* rows = newMail->list()->itemModel();
    ASSERT_EQ(rows->rowCount(), 2);
    QStringList shown;
    for (int r = 0; r < 2; ++r)
        shown << rows->index(r, 1).data().toString() << rows->index(r, 2).data().toString();
    EXPECT_TRUE(shown.contains(QString::fromUtf8("Zo\xc3\xab Andr\xc3\xa9"))) << shown.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(shown.contains(QString::fromUtf8("R\xc3\xa9sum\xc3\xa9 f\xc3\xbcr K\xc3\xb6ln")));
    EXPECT_TRUE(shown.contains(QString::fromUtf8("Caf\xc3\xa9 cr\xc3\xa8me")));
    // The Windows-1252 message: its euro and quotes, line by line beside ASCII lines.
    for (int m = 1; m <= 2; ++m) {
        newMail->ViewMessage(m);
        QString text;
        for (const std::string& line : newMail->preview()->Lines())
            text += fromStored(line) + QLatin1Char('\n');
        if (text.contains(QStringLiteral("costs")))
            EXPECT_TRUE(text.contains(QString::fromUtf8("5 \xe2\x82\xac \xe2\x80\x93 na\xc3\xafve"))) << text.toStdString();
        else
            EXPECT_TRUE(text.contains(QString::fromUtf8("Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln"))) << text.toStdString();
    }
}

TEST_F(MainWindowReadingTest, OpenMailboxWindowGivesEachMailboxItsLook)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    TMailboxForm* newMail = window.mailboxWindow(1);
    ASSERT_NE(newMail, nullptr);
    EXPECT_EQ(newMail->list()->viewer().SectionNames()[1], "From");
    EXPECT_EQ(newMail->list()->viewer().Pictures.UnreadBitmap, "MAIL_UNREAD");
    window.OpenMailboxWindow(2);
    TMailboxForm* sent = window.mailboxWindow(2);
    ASSERT_NE(sent, nullptr);
    EXPECT_EQ(sent->list()->viewer().SectionNames()[1], "To");
    EXPECT_EQ(sent->list()->viewer().Pictures.ReadBitmap, "MAIL_SENT");
    EXPECT_EQ(sent->list()->viewer().Pictures.AttachmentBitmap, "MAIL_ATTACHMENT2");
    EXPECT_EQ(sent->list()->viewer().Pictures.PriorityBitmap, "MAIL_URGENT");
    EXPECT_EQ(window.mdiArea()->currentSubWindow()->windowTitle(), QStringLiteral("Sent"));
    window.OpenMailboxWindow(4);
    EXPECT_EQ(window.mailboxWindow(4)->list()->viewer().Pictures.UnreadBitmap, "MAIL_DRAFT");
    // Opening again raises the open window.
    window.OpenMailboxWindow(2);
    EXPECT_EQ(window.childWindows().size(), 3u);
    EXPECT_EQ(window.mdiArea()->currentSubWindow()->widget(), sent);
}

TEST_F(MainWindowReadingTest, MessageCommandsActOnTheActiveMailboxOrViewerWindow)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    for (const char* s : {"a", "b", "c", "d"})
        appendMessage(window.Mailbox(), 1, s);
    TMailboxForm* newMail = window.mailboxWindow(1);
    ASSERT_NE(newMail, nullptr);
    window.commandAction("NextBtnClick")->trigger();
    EXPECT_EQ(newMail->currentMessage(), 1);
    window.commandAction("NextBtnClick")->trigger();
    window.commandAction("NextBtnClick")->trigger();
    window.commandAction("PreviousBtnClick")->trigger();
    EXPECT_EQ(newMail->currentMessage(), 2);

    ui.yesNo = {true};
    window.commandAction("DeleteBtnClick")->trigger();
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 1), 3);
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 5), 1);

    newMail->list()->viewer().SetItemIndex(0);
    ui.moveTargets = {4};
    window.commandAction("FileBtnClick")->trigger();
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 4), 1);
    ASSERT_EQ(newMail->list()->viewer().Count(), 2); // c, d

    // A viewer window, active, takes the same commands.
    newMail->list()->viewer().SetItemIndex(0);
    newMail->list()->viewer().OpenSelected();
    auto* viewer = dynamic_cast<TViewMailForm*>(window.activeChild());
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->windowTitle(), QStringLiteral("c"));
    EXPECT_TRUE(window.commandAction("SaveBtnClick")->isEnabled());
    window.commandAction("NextBtnClick")->trigger();
    EXPECT_EQ(viewer->windowTitle(), QStringLiteral("d"));
    window.commandAction("PreviousBtnClick")->trigger();
    EXPECT_EQ(viewer->windowTitle(), QStringLiteral("c"));
    const std::string path = home() + "c.txt";
    ui.files = {path};
    window.commandAction("SaveBtnClick")->trigger();
    EXPECT_EQ(fileBytes(path), "Body of c\r\n");
    window.moveToMenu()->actions().at(5 - 1)->trigger(); // Trash
    ASSERT_TRUE(waitFor([&] { return dynamic_cast<TViewMailForm*>(window.activeChild()) == nullptr; }));
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), 5), 2);
    EXPECT_EQ(newMail->list()->viewer().Count(), 1);
}

TEST_F(MainWindowReadingTest, AFocusedTextViewerOrListKeepsCtrlAForItself)
{
    WorkflowLog log;
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
    ASSERT_TRUE(startAndLogIn(window));
    appendMessage(window.Mailbox(), 1, "text");
    TMailboxForm* newMail = window.mailboxWindow(1);
    ASSERT_NE(newMail, nullptr);
    newMail->ViewMessage(1);
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    newMail->preview()->setFocus();
    ASSERT_TRUE(waitFor([&] { return newMail->preview()->hasFocus(); }));
    QTest::keyClick(newMail->preview(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_TRUE(newMail->preview()->model().HasSelection());
    EXPECT_TRUE(log.commands.empty());
    // A focused message list selects all its rows; Ctrl+Shift+B is the address book there.
    appendMessage(window.Mailbox(), 1, "more");
    newMail->list()->setFocus();
    ASSERT_TRUE(waitFor([&] { return newMail->list()->hasFocus(); }));
    QTest::keyClick(newMail->list(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(newMail->list()->viewer().SelectedMessages().size(), 2u);
    EXPECT_TRUE(log.commands.empty());
    QTest::keyClick(newMail->list(), Qt::Key_B, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(log.commands, (std::vector<std::string>{"addressBook"}));
    // Elsewhere Ctrl+A is the address book.
    window.treeWidget()->setFocus();
    ASSERT_TRUE(waitFor([&] { return window.treeWidget()->hasFocus(); }));
    QTest::keyClick(window.treeWidget(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(log.commands, (std::vector<std::string>{"addressBook", "addressBook"}));
}

TEST_F(MainWindowReadingTest, NewMailWindowSortsByDateAfterACheckFiledMail)
{
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<FilingWorkflows>());
    ASSERT_TRUE(startAndLogIn(window));
    appendMessage(window.Mailbox(), 1, "old");
    TMailboxForm* newMail = window.mailboxWindow(1);
    ASSERT_NE(newMail, nullptr);
    window.commandAction("CheckMail2Click")->trigger();
    NMailboxViewer& list = newMail->list()->viewer();
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.ItemAt(0).Subject, "new two");
    EXPECT_EQ(list.ItemAt(1).Subject, "new one");
    EXPECT_EQ(list.ItemAt(2).Subject, "old");
}

} // namespace
} // namespace tavik::test

namespace tavik::test {
namespace {

Lines plainText(const QPlainTextEdit* edit)
{
    Lines lines;
    for (const QString& l : edit->toPlainText().split(QLatin1Char('\n')))
        lines.push_back(toStored(l));
    return lines;
}

TEST_F(MessageWindowsTest, ReplyEditAndForwardFillACompositionFromEitherWindow)
{
    Mail m;
    m.subject = "Plans";
    m.from = "Ann Smith <ann@exam"; // the index keeps 80 characters; the header holds the whole address
    m.text = {"From: Ann Smith <ann@example.org>", "Subject: Plans", "X-Encoder: RC4 internal secret", "",
              "line 1", "", "line 3"};
    append(kInbox, m);
    ui.decoderPasswords = {std::nullopt, std::nullopt}; // the preview and the viewer ask; neither deciphers
    TMailboxForm* form = openMailbox(kInbox);
    clickRow(form, 0);

    form->replyMessage();
    ASSERT_EQ(composed.size(), 1u);
    TNewMessageForm* reply = composed.back().get();
    EXPECT_EQ(reply->SubjectEdt()->text(), QStringLiteral("Re: Plans"));
    EXPECT_EQ(reply->ToEdt()->toPlainText(), QStringLiteral("Ann Smith <ann@example.org>"));
    EXPECT_EQ(plainText(reply->Memo1()),
              (Lines{"On Wed, 9 Dec 2026 10:00:00, Ann Smith wrote:", "> line 1", "> ", "> line 3"}));
    EXPECT_EQ(flagOf(kInbox, 1), 'V'); // the mailbox window leaves the flag

    form->editMessage();
    EXPECT_EQ(composed.back()->SubjectEdt()->text(), QStringLiteral("Plans"));
    EXPECT_EQ(composed.back()->ToEdt()->toPlainText(), QStringLiteral("Ann Smith <ann@example.org>"));
    EXPECT_EQ(plainText(composed.back()->Memo1()), (Lines{"line 1", "", "line 3"}));

    // The viewer window carries the whole stored text, never the password, and marks "R".
    TViewMailForm* viewer = openViewer(form, 0);
    ASSERT_NE(viewer, nullptr);
    viewer->forwardMessage();
    EXPECT_EQ(composed.back()->SubjectEdt()->text(), QStringLiteral("(Fwd) Plans"));
    EXPECT_EQ(composed.back()->ToEdt()->toPlainText(), QString());
    EXPECT_EQ(plainText(composed.back()->Memo1()),
              (Lines{"------- Forwarded Message Follows -------", "From: Ann Smith <ann@example.org>", "Subject: Plans",
                     "X-Encoder: RC4 internal", "", "line 1", "", "line 3"}));
    EXPECT_EQ(flagOf(kInbox, 1), 'R');
}

// Reply to all from the list; a forward carries the original's attachment as a copy of its file,
// which reaches a real server whole.
TEST_F(MessageWindowsTest, ReplyToAllAndAForwardThatCarriesTheAttachment)
{
    const std::string bytes = std::string("%PDF-1.4\r\n") + '\0' + "\xff\xfe end";
    TMIMEAttachment a;
    a.FileName = "report.pdf";
    a.ContentType = "application/pdf";
    a.Size = static_cast<std::int32_t>(bytes.size());
    const int n = attachments().RegisterAttachment(a);
    const std::string original = attachments().GetAttachment(n).Location;
    writeBytes(original, bytes);
    Mail m;
    m.subject = "Plans";
    m.attachStart = m.attachEnd = n;
    m.text = {"From: Ann Smith <ann@example.org>", "To: Me <me@here.org>, bob@example.org",
              "Cc: Carol <carol@example.org>", "Date: Tue, 8 Dec 2026 09:15:02 +0100", "Subject: Plans", "",
              "see attached"};
    append(kInbox, m);
    settings().RetAddr = "me@here.org";
    TMailboxForm* form = openMailbox(kInbox);
    clickRow(form, 0);

    form->replyAllMessage();
    ASSERT_EQ(composed.size(), 1u);
    TNewMessageForm* all = composed.back().get();
    EXPECT_EQ(all->ToEdt()->toPlainText(), QStringLiteral("Ann Smith <ann@example.org>\nbob@example.org"));
    EXPECT_EQ(all->ccEdt()->toPlainText(), QStringLiteral("Carol <carol@example.org>"));
    EXPECT_EQ(plainText(all->Memo1()),
              (Lines{"On Tue, 8 Dec 2026 09:15:02 +0100, Ann Smith wrote:", "> see attached"}));

    form->forwardMessage();
    TNewMessageForm* forward = composed.back().get();
    EXPECT_EQ(plainText(forward->Memo1()),
              (Lines{"------- Forwarded Message Follows -------", "From: Ann Smith <ann@example.org>",
                     "Date: Tue, 8 Dec 2026 09:15:02 +0100", "To: Me <me@here.org>, bob@example.org",
                     "Subject: Plans", "", "see attached"}));
    ASSERT_EQ(forward->attachmentList().size(), 1u);
    const TOutgoingAttachment copy = forward->attachmentList()[0];
    EXPECT_EQ(copy.Name, "report.pdf");
    EXPECT_EQ(copy.MimeType, "application/pdf");
    EXPECT_NE(copy.Path, original);
    EXPECT_EQ(fileBytes(copy.Path), bytes);
    EXPECT_EQ(forward->AttachmentsLB()->count(), 1);

    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    settings().Name = "Me";
    settings().SmtpServer = "127.0.0.1";
    settings().SmtpPort = sink.port();
    forward->ToEdt()->setPlainText(QStringLiteral("dan@example.net"));
    forward->MailNowBtnClick();
    ASSERT_TRUE(sink.waitForMessages(1));
    checkWithPythonEmail(ProfileDirectory(), sink.messages().front().content,
                         R"({"headers": {"Subject": ["(Fwd) Plans"]},
                             "attachments": [{"content_type": "application/pdf", "params": {"name": "report.pdf"},
                               "cte": "base64", "disposition": "attachment", "disp_params": {"filename": "report.pdf"},
                               "description": null, "bytes": "%PDF-1.4\r\n\u0000\u00ff\u00fe end"}]})");
}

// Delete moves to Trash after the question and, in Trash, deletes for good after its own; Esc
// closes a viewer once its selection is gone; Ctrl+A in the list selects every row.
TEST_F(MessageWindowsTest, TheDeleteEscAndSelectAllKeys)
{
    fill(kInbox, 3);
    TMailboxForm* form = openMailbox(kInbox);
    area_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(area_.get()));
    MailboxListWidget* list = form->list();
    list->setFocus();
    QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(list->viewer().SelectedMessages().size(), 3u);

    clickRow(form, 0);
    ui.yesNo = {true};
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(ui.textsOf("question"), Lines{"Are you sure you want to delete the selected message(s)?"});
    EXPECT_EQ(messagesIn(kInbox), 2);
    EXPECT_EQ(messagesIn(kTrash), 1);

    TMailboxForm* trash = openMailbox(kTrash);
    clickRow(trash, 0);
    trash->list()->setFocus();
    ui.yesNo = {false, true};
    QTest::keyClick(trash->list(), Qt::Key_Delete);
    EXPECT_EQ(messagesIn(kTrash), 1);
    QTest::keyClick(trash->list(), Qt::Key_Delete);
    EXPECT_EQ(messagesIn(kTrash), 0);
    EXPECT_EQ(trash->list()->viewer().Count(), 0);
    EXPECT_EQ(ui.textsOf("question").back(),
              "Are you sure you want to delete the selected message(s) from Trash for good? They cannot be brought back.");

    TViewMailForm* viewer = openViewer(form, 0);
    ASSERT_NE(viewer, nullptr);
    viewer->body()->setFocus();
    viewer->body()->SelectAll();
    QTest::keyClick(viewer->body(), Qt::Key_Escape);
    EXPECT_FALSE(viewer->body()->model().HasSelection());
    EXPECT_EQ(viewers().size(), 1u);
    QTest::keyClick(viewer->body(), Qt::Key_Escape);
    ASSERT_TRUE(waitFor([&] { return viewers().empty(); }));
}

TEST_F(MessageWindowsTest, AnswersThePreviewAndTheViewerTakeTheWholeFields)
{
    const std::string from = "Dr. Annabel Featherstonehaugh-Cholmondeley <annabel.featherstonehaugh@example.org>";
    const std::string subject = "Minutes of the planning meeting held on the third of March";
    Mail m;
    m.from = from.substr(0, 80); // what the index keeps
    m.subject = subject.substr(0, 40);
    m.text = {"From: " + from, "Subject: " + subject, "", "text"};
    append(kInbox, m);
    TMailboxForm* form = openMailbox(kInbox);
    clickRow(form, 0);
    // The preview shows the whole subject too, not the index's 40 bytes.
    EXPECT_EQ(form->preview()->Lines()[2], "Subject:    " + subject);
    form->replyMessage();
    ASSERT_EQ(composed.size(), 1u);
    EXPECT_EQ(toStored(composed.back()->SubjectEdt()->text()), "Re: " + subject);
    EXPECT_EQ(toStored(composed.back()->ToEdt()->toPlainText()), from);
    form->addPersonToAddressBook();
    EXPECT_TRUE(IsKnownSender(ProfileDirectory(), from));
    EXPECT_FALSE(IsKnownSender(ProfileDirectory(), m.from));

    TViewMailForm* viewer = openViewer(form, 0);
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->windowTitle(), fromStored(subject));
    EXPECT_EQ(viewer->findChild<QLabel*>(QStringLiteral("SubjectValue"))->text(), fromStored(subject));
    viewer->editMessage();
    EXPECT_EQ(toStored(composed.back()->SubjectEdt()->text()), subject);
    EXPECT_EQ(toStored(composed.back()->ToEdt()->toPlainText()), from);
}

TEST_F(MessageWindowsTest, AReopenedDraftGoesToItsRecipientsAndReplacesTheOldOne)
{
    TNewMessageForm* draft = newComposition();
    draft->ToEdt()->setPlainText(QStringLiteral("Ann Smith <ann@example.org>\nbob@example.org"));
    draft->ccEdt()->setPlainText(QStringLiteral("carol@example.org"));
    draft->SubjectEdt()->setText(QStringLiteral("A subject longer than the index keeps of it"));
    draft->cbPriority()->setCurrentIndex(0);
    draft->Memo1()->setPlainText(QStringLiteral("first draft"));
    draft->spdbtnDraftClick();
    ASSERT_EQ(messagesIn(kDrafts), 1);

    TMailboxForm* form = openMailbox(kDrafts);
    clickRow(form, 0);
    form->editMessage();
    TNewMessageForm* reopened = composed.back().get();
    EXPECT_EQ(reopened->ToEdt()->toPlainText(), QStringLiteral("Ann Smith <ann@example.org>\nbob@example.org"));
    EXPECT_EQ(reopened->ccEdt()->toPlainText(), QStringLiteral("carol@example.org"));
    EXPECT_EQ(reopened->SubjectEdt()->text(), QStringLiteral("A subject longer than the index keeps of it"));
    EXPECT_EQ(reopened->cbPriority()->currentIndex(), 0);
    EXPECT_EQ(plainText(reopened->Memo1()), Lines{"first draft"});
    reopened->Memo1()->setPlainText(QStringLiteral("second draft"));
    reopened->spdbtnDraftClick();
    ASSERT_EQ(messagesIn(kDrafts), 1);
    TNMailBox& store = Mailbox();
    store.SetCurrentMailBoxNumber(kDrafts);
    store.SetMsg_Number(1);
    store.LoadMessageText();
    EXPECT_EQ(store.Msg_Text.back(), "second draft");

    // From a viewer window too, and a message that is not a draft is answered as before.
    TViewMailForm* viewer = openViewer(form, 0);
    ASSERT_NE(viewer, nullptr);
    viewer->editMessage();
    EXPECT_EQ(plainText(composed.back()->Memo1()), Lines{"second draft"});
    EXPECT_EQ(composed.back()->ccEdt()->toPlainText(), QStringLiteral("carol@example.org"));
    append(kInbox, Mail{});
    TMailboxForm* inbox = openMailbox(kInbox);
    clickRow(inbox, 0);
    inbox->editMessage();
    EXPECT_EQ(composed.back()->ToEdt()->toPlainText(), QStringLiteral("Ann Smith <ann@example.org>"));
    EXPECT_EQ(composed.back()->ccEdt()->toPlainText(), QString());
}

TEST_F(MessageWindowsTest, MarkAsReadMarksAMessageReadWhenThePreviewShowsIt)
{
    fill(kInbox, 2, 'U');
    TMailboxForm* form = openMailbox(kInbox);
    form->ViewMessage(1);
    EXPECT_EQ(flagOf(kInbox, 1), 'U'); // the option is off
    settings().MarkAsRead = true;
    form->ViewMessage(2);
    EXPECT_EQ(flagOf(kInbox, 2), 'V');
    EXPECT_EQ(form->unreadCounter()->text(), QStringLiteral("   1 unread message(s)   "));
}

} // namespace
} // namespace tavik::test
