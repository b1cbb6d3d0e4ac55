// The reading widgets offscreen: the text viewer (links, pointer, selection, keys, Copy), the
// mailbox list widget (rows, header sort, clicks, selection, drops), the attachment strip and
// the two small dialogs of the message windows.
#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QFontInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QToolButton>
#include <QtMath>
#include <QVBoxLayout>

#include "ui/ui_test_support.h"
#include "view/attachment_strip_widget.h"
#include "view/mailbox_list_widget.h"
#include "view/strings_viewer_widget.h"
#include "window_common/crypt_password_dialog.h"
#include "window_common/message_drag.h"
#include "window_common/text_conversion.h"
#include "window_common/transfer_dialog.h"

namespace tavik::test {
namespace {

// ---- Text viewer ----

class StringsViewerTest : public UiTest {
protected:
    StringsViewerTest()
    {
        viewer.resize(600, 300);
        viewer.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    }
    // Surface point of the middle of character `column` (1-based) on visible row `row`.
    QPoint at(int column, int row) const
    {
        const TextViewerModel& m = viewer.model();
        return QPoint(kTextLeftMargin + (column - 1) * m.CharWidth() + m.CharWidth() / 2,
                      row * m.LineHeight() + m.LineHeight() / 2);
    }
    // Paints now, so the link table describes the surface.
    void paint() { viewer.viewport()->repaint(); }
    QWidget* surface() { return viewer.viewport(); }

    TStringsViewer viewer;
};

TEST_F(StringsViewerTest, FontIsFixedPitchOnACharacterGrid)
{
    EXPECT_TRUE(QFontInfo(viewer.font()).fixedPitch());
    QFont proportional(QStringLiteral("DejaVu Sans"), 13);
    viewer.SetFont(proportional);
    EXPECT_TRUE(QFontInfo(viewer.font()).fixedPitch());
    EXPECT_EQ(QFontInfo(viewer.font()).pointSize(), 13);
    // Every character advances by the model's CharWidth, so columns and links stay put.
    const QFontMetricsF fm(viewer.font());
    EXPECT_NEAR(fm.horizontalAdvance(QStringLiteral("Mi.@ W")), 6.0 * viewer.model().CharWidth(), 0.6);
    EXPECT_EQ(viewer.model().LineHeight(), QFontMetrics(viewer.font()).height() + 1);
    // Long lines wrap at first, so there is nothing to scroll to the right.
    EXPECT_EQ(viewer.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(viewer.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST_F(StringsViewerTest, LinkPressReportsEveryLinkUnderThePointerInOrderInRed)
{
    viewer.SetLines({"see http://a.example/x@y.z now", "plain"});
    paint();
    ASSERT_EQ(viewer.model().LinkTable().size(), 2u);
    std::vector<std::string> reported;
    std::vector<bool> drawnRed;
    viewer.OnLinkClicked = [&](TStringsViewer& v, const std::string& link) {
        reported.push_back(link);
        // While a link is reported it is drawn in red.
        const QImage image = v.viewport()->grab().toImage();
        const LinkEntry& e = v.model().LinkTable().front();
        bool red = false;
        for (int x = e.left; x < e.right && !red; ++x)
            for (int y = e.top; y < e.bottom && !red; ++y) {
                const QColor c = image.pixelColor(x * image.width() / v.viewport()->width(),
                                                  y * image.height() / v.viewport()->height());
                red = c.red() > 200 && c.green() < 80 && c.blue() < 80;
            }
        drawnRed.push_back(red);
    };
    // "x@y.z" lies inside the web link: one press raises both, the web link first.
    QTest::mousePress(surface(), Qt::LeftButton, {}, at(22, 0));
    QTest::mouseRelease(surface(), Qt::LeftButton, {}, at(22, 0));
    EXPECT_EQ(reported, (std::vector<std::string>{"http://a.example/x@y.z", "x@y.z"}));
    EXPECT_EQ(drawnRed, (std::vector<bool>{true, true}));
    // A press beside the links reports nothing; the right button never does.
    reported.clear();
    QTest::mouseClick(surface(), Qt::LeftButton, {}, at(2, 0));
    QTest::mouseClick(surface(), Qt::RightButton, {}, at(8, 0));
    EXPECT_TRUE(reported.empty());
}

TEST_F(StringsViewerTest, HandPointerOverLinksOnly)
{
    viewer.SetLines({"mail bob@example.org today"});
    paint();
    QTest::mouseMove(surface(), at(8, 0));
    EXPECT_EQ(surface()->cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseMove(surface(), at(2, 0));
    EXPECT_EQ(surface()->cursor().shape(), Qt::ArrowCursor);
}

TEST_F(StringsViewerTest, MouseSelectionCopiesWithCrLfAndTheRightButtonKeepsIt)
{
    viewer.SetLines({"first line", "second line", "third"});
    QApplication::clipboard()->setText(QStringLiteral("before"));
    QTest::mousePress(surface(), Qt::LeftButton, {}, at(7, 0));
    QTest::mouseMove(surface(), at(4, 2));
    QTest::mouseRelease(surface(), Qt::LeftButton, {}, at(4, 2));
    ASSERT_TRUE(viewer.model().HasSelection());
    // The pop-up menu's button leaves the selection for its Copy.
    QTest::mousePress(surface(), Qt::RightButton, {}, at(2, 1));
    QTest::mouseRelease(surface(), Qt::RightButton, {}, at(2, 1));
    viewer.Copy();
    // From character 7 of the first line to character 4 of the third (the pointer's column
    // counts the 10-pixel margin as one character).
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("line\r\nsecond line\r\nthir"));
}

TEST_F(StringsViewerTest, KeysSelectCopyClearAndScroll)
{
    std::vector<std::string> lines;
    for (int i = 0; i < 100; ++i)
        lines.push_back("line " + std::to_string(i));
    viewer.SetLines(lines);
    viewer.setFocus();
    QApplication::clipboard()->setText(QStringLiteral("before"));
    QTest::keyClick(&viewer, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("before")); // nothing selected
    QTest::keyClick(&viewer, Qt::Key_A, Qt::ControlModifier);
    EXPECT_TRUE(viewer.model().HasSelection());
    QTest::keyClick(&viewer, Qt::Key_X, Qt::ControlModifier);
    const QString all = QApplication::clipboard()->text();
    EXPECT_TRUE(all.startsWith(QStringLiteral("line 0\r\nline 1\r\n")));
    EXPECT_TRUE(all.endsWith(QStringLiteral("\r\nline 99")));
    EXPECT_EQ(viewer.Lines().size(), 100u); // Ctrl+X removes nothing
    QTest::keyClick(&viewer, Qt::Key_Escape);
    EXPECT_FALSE(viewer.model().HasSelection());

    QTest::keyClick(&viewer, Qt::Key_Down);
    QTest::keyClick(&viewer, Qt::Key_Right);
    EXPECT_EQ(viewer.model().VerticalPosition(), 2);
    EXPECT_EQ(viewer.verticalScrollBar()->value(), 2);
    QTest::keyClick(&viewer, Qt::Key_PageDown);
    EXPECT_EQ(viewer.model().VerticalPosition(), 2 + viewer.model().VerticalPage());
    QTest::keyClick(&viewer, Qt::Key_End);
    EXPECT_EQ(viewer.model().VerticalPosition(), 99);
    QTest::keyClick(&viewer, Qt::Key_Home);
    EXPECT_EQ(viewer.model().VerticalPosition(), 0);
    // The scroll bar drives the text too.
    viewer.verticalScrollBar()->setValue(40);
    EXPECT_EQ(viewer.model().VerticalPosition(), 40);
    EXPECT_EQ(viewer.verticalScrollBar()->maximum(), 99);
}

TEST_F(StringsViewerTest, NewLinesClearTheSelectionAndAnEmptyTextHasNothingToSelect)
{
    viewer.SetLines({"abc"});
    viewer.SelectAll();
    ASSERT_TRUE(viewer.model().HasSelection());
    viewer.SetLines({"other"});
    EXPECT_FALSE(viewer.model().HasSelection());
    viewer.Clear();
    QApplication::clipboard()->setText(QStringLiteral("kept"));
    viewer.SelectAll();
    viewer.Copy();
    EXPECT_FALSE(viewer.model().HasSelection());
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("kept"));
    EXPECT_EQ(viewer.verticalScrollBar()->maximum(), 0);
    paint();
    EXPECT_TRUE(viewer.model().LinkTable().empty());
}

TEST_F(StringsViewerTest, OnChangeFollowsTheLines)
{
    int changes = 0;
    viewer.OnChange = [&](TStringsViewer&) { ++changes; };
    viewer.SetLines({"a"});
    viewer.AddLine("b");
    viewer.AddLines({"c", "d"});
    viewer.Clear();
    EXPECT_EQ(changes, 4);
}

TEST_F(StringsViewerTest, QuotedLinesAreDrawnInTheQuotedColour)
{
    viewer.SetLines({"> quoted line of text", "plain line of text"});
    viewer.SetQuotedColor(QColor(0x00, 0x80, 0x00));
    const QImage image = viewer.viewport()->grab().toImage();
    auto hasGreen = [&](int row) {
        const int lh = viewer.model().LineHeight();
        for (int y = row * lh; y < (row + 1) * lh; ++y)
            for (int x = 0; x < viewer.viewport()->width(); ++x) {
                const QColor c = image.pixelColor(x * image.width() / viewer.viewport()->width(),
                                                  y * image.height() / viewer.viewport()->height());
                if (c.green() > 90 && c.red() < 60 && c.blue() < 60)
                    return true;
            }
        return false;
    };
    EXPECT_TRUE(hasGreen(0));
    EXPECT_FALSE(hasGreen(1));
}

// Lines of every script the viewer must show (UTF-8), and one line written by the 8-bit program.
const std::vector<std::string> kScripts = {
    "Gr\xc3\xbc\xc3\x9f" "e aus Z\xc3\xbcrich",                                // Grüße aus Zürich
    "\xce\x9a\xce\xb1\xce\xbb\xce\xb7\xce\xbc\xce\xad\xcf\x81\xce\xb1", // Καλημέρα
    "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82",                     // Привет
    "\xe4\xbd\xa0\xe5\xa5\xbd \xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf", // 你好 こんにちは
    "\xf0\x9f\x98\x80 smile",                                                       // 😀 smile
};

// A surface point on the character `at` of `line` (shown on visible row `row`), measured in the
// viewer's font: the pointer's columns put the first character at CharWidth, the margin being
// column 0.
QPoint onCharacter(const TStringsViewer& viewer, const QString& line, int at, int row)
{
    const QFontMetricsF fm(viewer.font());
    const qreal left = fm.horizontalAdvance(line.left(at));
    const qreal right = fm.horizontalAdvance(line.left(at + 1));
    const TextViewerModel& m = viewer.model();
    return QPoint(qRound(m.CharWidth() + (left + right) / 2), row * m.LineHeight() + m.LineHeight() / 2);
}

TEST_F(StringsViewerTest, SelectingAcrossCjkByPixelsCopiesWholeCharacters)
{
    const QString line = QStringLiteral("ab\u4f60\u597d\u4e16\u754c cd"); // ab你好世界 cd
    viewer.SetLines({toStored(line)});
    QApplication::clipboard()->setText(QStringLiteral("before"));
    // From the middle of 好 to the middle of 界: 好 and 世.
    QTest::mousePress(surface(), Qt::LeftButton, {}, onCharacter(viewer, line, 3, 0));
    QTest::mouseMove(surface(), onCharacter(viewer, line, 5, 0));
    QTest::mouseRelease(surface(), Qt::LeftButton, {}, onCharacter(viewer, line, 5, 0));
    viewer.Copy();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("\u597d\u4e16"));
    // The highlight covers those two as drawn.
    const QFontMetricsF fm(viewer.font());
    const PaintedLine painted = viewer.model().Paint().front();
    EXPECT_NEAR(painted.highlightLeft, kTextLeftMargin + fm.horizontalAdvance(line.left(3)), 1);
    EXPECT_NEAR(painted.highlightRight, kTextLeftMargin + fm.horizontalAdvance(line.left(5)), 1);

    // Every script, and the old 8-bit line, reaches the clipboard as its own characters.
    std::vector<std::string> lines = kScripts;
    lines.push_back("Gr\xfc\xdf" "e, Ren\xe9");
    viewer.SetLines(lines);
    viewer.SelectAll();
    viewer.Copy();
    QStringList expected;
    for (const std::string& l : kScripts)
        expected << QString::fromUtf8(l.data(), static_cast<qsizetype>(l.size()));
    expected << QStringLiteral("Gr\u00fc\u00dfe, Ren\u00e9");
    EXPECT_EQ(QApplication::clipboard()->text(), expected.join(QStringLiteral("\r\n")));
}

TEST_F(StringsViewerTest, ALinkAfterCjkTextIsHitWhereItIsDrawn)
{
    const QString line = QStringLiteral("\u4f60\u597d\u3001see http://x.org/a"); // 你好、see http://x.org/a
    viewer.SetLines({toStored(line)});
    paint();
    ASSERT_EQ(viewer.model().LinkTable().size(), 1u);
    const QFontMetricsF fm(viewer.font());
    const LinkEntry link = viewer.model().LinkTable()[0];
    EXPECT_NEAR(link.left, kTextLeftMargin + fm.horizontalAdvance(line.left(7)), 1);
    EXPECT_NEAR(link.right, kTextLeftMargin + fm.horizontalAdvance(line), 1);
    // The blue of the link is drawn inside its rectangle, and a click on its middle reports it.
    const QImage image = viewer.viewport()->grab().toImage();
    const qreal scale = image.devicePixelRatio();
    int blueFrom = -1, blueTo = -1;
    for (int x = 0; x < viewer.viewport()->width(); ++x)
        for (int y = link.top; y < link.bottom; ++y) {
            const QColor c = image.pixelColor(qFloor(x * scale), qFloor(y * scale));
            if (c.blue() > 200 && c.red() < 80 && c.green() < 80) {
                blueTo = x;
                if (blueFrom < 0)
                    blueFrom = x;
            }
        }
    EXPECT_GE(blueFrom, link.left - 1);
    EXPECT_LE(blueTo, link.right + 1);
    EXPECT_GT(blueTo - blueFrom, (link.right - link.left) / 2);
    std::vector<std::string> reported;
    viewer.OnLinkClicked = [&](TStringsViewer&, const std::string& l) { reported.push_back(l); };
    QTest::mouseClick(surface(), Qt::LeftButton, {}, QPoint((link.left + link.right) / 2, link.top + 2));
    EXPECT_EQ(reported, (std::vector<std::string>{"http://x.org/a"}));

    // A long line's extent is measured: unwrapped, the scroll range reaches its last wide character.
    viewer.SetWrapLongLines(false);
    viewer.SetLines({toStored(QString(300, QChar(0x4f60)))});
    paint();
    const int columns = qCeil(300 * fm.horizontalAdvance(QString(QChar(0x4f60))) / viewer.model().CharWidth());
    EXPECT_NEAR(viewer.horizontalScrollBar()->maximum(), columns - 1, 2);
}

TEST_F(StringsViewerTest, LongLinesWrapAtTheWindowsWidthAndKeepTheirLinksAndText)
{
    const TextViewerModel& m = viewer.model();
    const int perRow = (surface()->width() - kTextLeftMargin) / m.CharWidth();
    std::string words;
    while (static_cast<int>(words.size()) < 3 * perRow)
        words += "word ";
    const std::string url = "http://example.org/" + std::string(static_cast<std::size_t>(perRow), 'p');
    viewer.SetLines({words, url});
    paint();
    const int rows = m.RowCount(0);
    EXPECT_GE(rows, 3);
    EXPECT_EQ(m.RowCount(1), 2);
    // The link's second row reports the whole link.
    std::vector<std::string> reported;
    viewer.OnLinkClicked = [&](TStringsViewer&, const std::string& link) { reported.push_back(link); };
    QTest::mouseClick(surface(), Qt::LeftButton, {}, at(3, rows + 1));
    EXPECT_EQ(reported, (std::vector<std::string>{url}));
    // A selection over rows copies the line's own text, with no line break put in.
    QTest::mousePress(surface(), Qt::LeftButton, {}, at(2, 0));
    QTest::mouseMove(surface(), at(3, 1));
    QTest::mouseRelease(surface(), Qt::LeftButton, {}, at(3, 1));
    viewer.Copy();
    const std::string copied = toStored(QApplication::clipboard()->text());
    EXPECT_EQ(copied, words.substr(1, copied.size()));
    EXPECT_GT(copied.size(), viewer.model().Paint().front().text.size()); // into the second row

    viewer.SetWrapLongLines(false);
    EXPECT_EQ(viewer.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(m.RowCount(0), 1);
    paint();
    EXPECT_GT(viewer.horizontalScrollBar()->maximum(), 0);
}

TEST_F(StringsViewerTest, AnOldWindows1252LineShowsAsItsCharacters)
{
    // Drawn exactly as the same characters stored as UTF-8.
    viewer.SetLines({"Gr\xc3\xbc\xc3\x9f" "e, Ren\xc3\xa9 \xe2\x82\xac" "5"});
    const QImage utf8 = viewer.viewport()->grab().toImage();
    viewer.SetLines({"Gr\xfc\xdf" "e, Ren\xe9 \x80" "5"});
    const QImage old = viewer.viewport()->grab().toImage();
    EXPECT_EQ(old, utf8);
    viewer.SetLines({"Gr?e, Ren? ?5"});
    EXPECT_NE(viewer.viewport()->grab().toImage(), utf8);
}

// ---- Mailbox list widget ----

class ListWidgetTest : public UiTest {
protected:
    ListWidgetTest()
    {
        store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash", "m5=Friends"};
        store.SetMailBoxDirectory(dir.path() + "mailboxe/");
    }
    void append(int mailbox, const std::string& from, const std::string& subject, char flag,
                std::vector<std::string> text = {"From: x", "", "body"}, int attach = 0)
    {
        store.SetCurrentMailBoxNumber(mailbox);
        store.Msg_From = from;
        store.Msg_To = "me@here";
        store.Msg_Subject = subject;
        store.Msg_Date = "Wed, 9 Dec 2026 10:00:00 +0100";
        store.Msg_Flag = flag;
        store.Msg_AttachStart = attach;
        store.Msg_AttachEnd = attach;
        store.Msg_Text = std::move(text);
        store.AppendMessage();
    }
    void open(MailboxListWidget& list, int mailbox)
    {
        list.applyLook(listLookFor(mailbox));
        list.pictureOf = [](const std::string& name) {
            return QIcon(QStringLiteral(":/pictures/") + fromStored(name) + QStringLiteral(".png"));
        };
        list.viewer().SetMailbox(&store);
        list.viewer().SetMailboxNumber(mailbox);
        list.resize(700, 300);
        list.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&list));
    }
    static std::vector<std::string> subjects(const NMailboxViewer& list)
    {
        std::vector<std::string> s;
        for (int line = 0; line < list.Count(); ++line)
            s.push_back(list.ItemAt(line).Subject);
        return s;
    }
    QPoint rowPoint(MailboxListWidget& list, int row, int column = 2)
    {
        return list.visualRect(list.itemModel()->index(row, column)).center();
    }
    QPoint headerPoint(MailboxListWidget& list, int column)
    {
        QHeaderView* h = list.header();
        return QPoint(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, h->height() / 2);
    }

    TempDir dir;
    TNMailBox store;
};

TEST_F(ListWidgetTest, RowsShowTextsPicturesAndBoldUnreadLines)
{
    append(1, "Ann <ann@x>", "first", 'V', {"X-Priority: 1", "", "b"}, 7);
    append(1, "bob@x", "second", 'U');
    MailboxListWidget list;
    QAbstractItemModelTester tester(list.itemModel(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    open(list, 1);
    MailboxListItemModel* m = list.itemModel();
    ASSERT_EQ(m->rowCount(), 2);
    EXPECT_EQ(m->index(0, 1).data().toString(), QStringLiteral("Ann"));
    EXPECT_EQ(m->index(0, 3).data().toString(), QStringLiteral("09 Dec 2026 10:00"));
    EXPECT_EQ(m->index(0, 4).data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignRight | Qt::AlignVCenter));
    EXPECT_EQ(m->index(0, 0).data(MailboxListItemModel::kStatusPicturesRole).toStringList(),
              (QStringList{QStringLiteral("MAIL_ATTACHMENT2"), QStringLiteral("MAIL_READ"), QStringLiteral("MAIL_URGENT")}));
    EXPECT_EQ(m->index(1, 0).data(MailboxListItemModel::kStatusPicturesRole).toStringList(),
              (QStringList{QStringLiteral("MAIL_UNREAD")}));
    EXPECT_FALSE(m->index(0, 2).data(Qt::FontRole).isValid());
    EXPECT_TRUE(m->index(1, 2).data(Qt::FontRole).value<QFont>().bold());
    // Rows are as high as the font's letters plus 4, and hold a picture.
    EXPECT_EQ(list.visualRect(m->index(0, 0)).height(),
              std::max(QFontMetrics(list.font()).height() + 4, 18));
    // The store's notices reach the rows (the tester checks every signal on the way).
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(2);
    store.SetMessageFlag('V');
    EXPECT_FALSE(m->index(1, 2).data(Qt::FontRole).isValid());
    append(1, "carl@x", "third", 'U');
    EXPECT_EQ(m->rowCount(), 3);
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(1);
    store.MoveMessage(store.MailboxKey(5));
    EXPECT_EQ(m->rowCount(), 2);
    EXPECT_EQ(m->index(0, 2).data().toString(), QStringLiteral("second"));
    store.EmptyMailbox(1);
    EXPECT_EQ(m->rowCount(), 0);
}

TEST_F(ListWidgetTest, CaptionsOfEachMailboxAndColumnsNoNarrowerThanTheirCaptions)
{
    MailboxListWidget inbox, sent;
    open(inbox, 1);
    open(sent, 2);
    QStringList captions;
    for (int c = 0; c < kColumnCount; ++c)
        captions << sent.itemModel()->headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(captions, (QStringList{QStringLiteral("Status"), QStringLiteral("To"), QStringLiteral("Subject"),
                                     QStringLiteral("Date"), QStringLiteral("Size")}));
    EXPECT_EQ(inbox.itemModel()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("From"));
    inbox.setColumnWidths({1, 1, 1, 1, 1});
    for (int c = 0; c < kColumnCount; ++c) {
        const QString caption = inbox.itemModel()->headerData(c, Qt::Horizontal).toString();
        EXPECT_GE(inbox.header()->sectionSize(c), QFontMetrics(inbox.header()->font()).horizontalAdvance(caption))
            << c;
    }
    inbox.header()->resizeSection(2, 3);
    EXPECT_EQ(inbox.header()->sectionSize(2), inbox.minimumColumnWidth(2));
}

TEST_F(ListWidgetTest, HeaderPressAndReleaseAtOnePointSorts)
{
    append(1, "b", "beta", 'V');
    append(1, "a", "alpha", 'V');
    append(1, "c", "gamma", 'V');
    MailboxListWidget list;
    open(list, 1);
    QWidget* head = list.header()->viewport();
    const QPoint subject = headerPoint(list, 2);
    QTest::mouseClick(head, Qt::LeftButton, {}, subject);
    EXPECT_EQ(subjects(list.viewer()), (std::vector<std::string>{"alpha", "beta", "gamma"}));
    QTest::mouseClick(head, Qt::RightButton, {}, subject);
    EXPECT_EQ(subjects(list.viewer()), (std::vector<std::string>{"gamma", "beta", "alpha"}));
    // Date sorts by arrival, newest first in normal order.
    QTest::mouseClick(head, Qt::LeftButton, {}, headerPoint(list, 3));
    EXPECT_EQ(subjects(list.viewer()), (std::vector<std::string>{"gamma", "alpha", "beta"}));
    // Released elsewhere: no sort.
    QTest::mousePress(head, Qt::LeftButton, {}, subject);
    QTest::mouseRelease(head, Qt::LeftButton, {}, subject + QPoint(5, 0));
    EXPECT_EQ(subjects(list.viewer()), (std::vector<std::string>{"gamma", "alpha", "beta"}));
    // The rows follow the sorted order.
    EXPECT_EQ(list.itemModel()->index(0, 2).data().toString(), QStringLiteral("gamma"));
}

TEST_F(ListWidgetTest, ClicksDoubleClicksAndMultiSelection)
{
    for (const char* s : {"one", "two", "three", "four"})
        append(1, "x", s, 'V');
    MailboxListWidget list;
    open(list, 1);
    NMailboxViewer& v = list.viewer();
    std::vector<int> clicked, doubled;
    v.OnMessageClick = [&](NMailboxViewer&, int m) { clicked.push_back(m); };
    v.OnMessageDoubleClick = [&](NMailboxViewer&, int m) { doubled.push_back(m); };
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, rowPoint(list, 1));
    EXPECT_EQ(clicked, (std::vector<int>{2}));
    EXPECT_EQ(v.ItemIndex(), 1);
    QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::ControlModifier, rowPoint(list, 3));
    EXPECT_EQ(v.SelectedMessages(), (std::vector<int>{2, 4}));
    // The click reports the first selected line's message.
    EXPECT_EQ(clicked.back(), 2);
    QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::ShiftModifier, rowPoint(list, 0));
    EXPECT_EQ(v.SelectedMessages(), (std::vector<int>{1, 2, 3, 4}));
    // As the window system delivers it: a click, then the second press.
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, rowPoint(list, 2));
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, rowPoint(list, 2));
    EXPECT_EQ(doubled, (std::vector<int>{3}));
    // Return opens as a double click does.
    list.setFocus();
    QTest::keyClick(&list, Qt::Key_Return);
    EXPECT_EQ(doubled, (std::vector<int>{3, 3}));
    // The keys move the selection and show each message as a click does.
    list.setFocus();
    QTest::keyClick(&list, Qt::Key_Down);
    EXPECT_EQ(v.ItemIndex(), 3);
    EXPECT_EQ(clicked.back(), 4);
    // A selection the list makes itself shows in the view.
    v.SelectPrevious();
    EXPECT_EQ(list.currentIndex().row(), 2);
    EXPECT_TRUE(list.selectionModel()->isRowSelected(2, QModelIndex()));
    EXPECT_FALSE(list.selectionModel()->isRowSelected(3, QModelIndex()));
    // A sort keeps the selection with its message.
    list.sortList(kColumnSubject, true); // four one three two
    EXPECT_EQ(v.MessageAt(v.ItemIndex()), 3);
    EXPECT_EQ(list.currentIndex().row(), 2);
    EXPECT_TRUE(list.selectionModel()->isRowSelected(2, QModelIndex()));
}

TEST_F(ListWidgetTest, DropsFromAnotherMailboxesListOnly)
{
    append(1, "x", "moved", 'V');
    MailboxListWidget inbox, folder, otherFolder;
    open(inbox, 1);
    open(folder, 6);
    open(otherFolder, 6);
    std::unique_ptr<QMimeData> fromInbox(messageDragMimeData(MessageDrag{1, {1}}));
    std::unique_ptr<QMimeData> fromFolder(messageDragMimeData(MessageDrag{6, {1}}));
    EXPECT_TRUE(folder.acceptsDrag(&inbox, fromInbox.get()));
    EXPECT_FALSE(folder.acceptsDrag(&folder, fromFolder.get()));      // its own
    EXPECT_FALSE(folder.acceptsDrag(&otherFolder, fromFolder.get())); // the mailbox it shows
    EXPECT_FALSE(folder.acceptsDrag(&inbox, fromFolder.get()));       // not what that list shows
    EXPECT_FALSE(folder.acceptsDrag(nullptr, fromInbox.get()));       // from outside the program
    QMimeData foreign;
    foreign.setText(QStringLiteral("1:1"));
    EXPECT_FALSE(folder.acceptsDrag(&inbox, &foreign));

    // A drop from outside the program is refused and moves nothing.
    std::vector<MessageDrag> dropped;
    folder.OnMessagesDropped = [&](const MessageDrag& d) { dropped.push_back(d); };
    const QPoint at = folder.viewport()->rect().center();
    QDragEnterEvent enter(at, Qt::MoveAction, fromInbox.get(), Qt::LeftButton, {});
    QApplication::sendEvent(folder.viewport(), &enter);
    EXPECT_FALSE(enter.isAccepted());
    QDropEvent drop(at, Qt::MoveAction, fromInbox.get(), Qt::LeftButton, {});
    QApplication::sendEvent(folder.viewport(), &drop);
    EXPECT_TRUE(dropped.empty());
}

// ---- Attachment strip and dialogs ----

TEST(AttachmentEntries, SizeTextsAndRows)
{
    EXPECT_EQ(attachmentSizeText(0), "0");
    EXPECT_EQ(attachmentSizeText(1023), "1023");
    EXPECT_EQ(attachmentSizeText(1024), "1K");
    EXPECT_EQ(attachmentSizeText(1048575), "1023K");
    EXPECT_EQ(attachmentSizeText(1048576), "1M");
    TMIMEAttachment a;
    a.FileName = "notes.txt";
    a.ContentType = "text/plain";
    a.Size = 2048;
    EXPECT_EQ(attachmentEntryRows(a),
              (std::vector<std::string>{"Name: notes.txt   Size: 2K   Type: text/plain", "Description: <none>"}));
    TMIMEAttachment empty;
    empty.ContentType.clear();
    empty.FileName.clear();
    empty.Description = "d";
    EXPECT_EQ(attachmentEntryRows(empty),
              (std::vector<std::string>{"Name: <none>   Size: 0   Type: <none>", "Description: d"}));
    a.ContentType = std::string(120, 't');
    EXPECT_EQ(attachmentEntryRows(a)[0].size(), 86u);
}

TEST_F(ListWidgetTest, AttachmentStripListsNumbersAndReportsTheSelectedOne)
{
    TAttachmentManager attachments;
    attachments.SetAttachmentDirectory(dir.path() + "attach/");
    TMIMEAttachment a;
    a.FileName = "photo.jpg";
    a.ContentType = "image/jpeg";
    const int n = attachments.RegisterAttachment(a);
    AttachmentStripWidget strip(MessageWindowKind::Viewer);
    EXPECT_EQ(strip.displayButton()->text(), QStringLiteral("&In View"));
    EXPECT_EQ(strip.launchButton()->text(), QStringLiteral("&Out View"));
    EXPECT_EQ(strip.saveButton()->text(), QStringLiteral("Sa&ve"));
    std::vector<std::string> calls;
    strip.OnDisplay = [&](int k) { calls.push_back("display " + std::to_string(k)); };
    strip.OnLaunch = [&](int k) { calls.push_back("launch " + std::to_string(k)); };
    strip.OnSave = [&](int k) { calls.push_back("save " + std::to_string(k)); };
    strip.SetAttachments(attachments, {n, n + 1}); // the second has no record
    ASSERT_EQ(strip.list()->count(), 2);
    EXPECT_EQ(strip.list()->item(0)->text(), QString::number(n));
    EXPECT_EQ(strip.list()->item(1)->text(), QString::number(n + 1));
    strip.displayButton()->click(); // nothing selected: nothing reported
    EXPECT_TRUE(calls.empty());
    strip.list()->setCurrentRow(0);
    strip.displayButton()->click();
    strip.launchButton()->click();
    strip.saveButton()->click();
    EXPECT_EQ(calls, (std::vector<std::string>{"display " + std::to_string(n), "launch " + std::to_string(n),
                                               "save " + std::to_string(n)}));
    AttachmentStripWidget mailbox(MessageWindowKind::Mailbox);
    EXPECT_EQ(mailbox.displayButton()->text(), QStringLiteral("Dis&play attachment"));
    EXPECT_EQ(mailbox.launchButton()->text(), QStringLiteral("&Launch asociated application"));
    EXPECT_EQ(mailbox.saveButton()->text(), QStringLiteral("Sa&ve attachment to disk"));
}

TEST(TransferDialog, OkNeedsAnEntryAndADoubleClickChoosesAtOnce)
{
    application();
    TTransferForm form({"New Mail", "Sent", "To Send", "Drafts", "Trash", "Friends", "Work"});
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Move message(s) to . . . . "));
    ASSERT_EQ(form.mailboxList()->count(), 7);
    EXPECT_EQ(form.mailboxList()->item(6)->text(), QStringLiteral("Work"));
    // Entry i has picture min(i, 5): the user folders share the sixth.
    EXPECT_EQ(form.mailboxList()->item(5)->icon().pixmap(16).toImage(), transferPicture(5).pixmap(16).toImage());
    EXPECT_EQ(form.mailboxList()->item(6)->icon().pixmap(16).toImage(), transferPicture(5).pixmap(16).toImage());
    EXPECT_NE(form.mailboxList()->item(4)->icon().pixmap(16).toImage(), transferPicture(5).pixmap(16).toImage());
    form.show();
    form.mailboxList()->clearSelection();
    form.okButton()->click();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.result(), 0);
    form.mailboxList()->setCurrentRow(5);
    EXPECT_EQ(form.chosenMailbox(), 6);
    form.okButton()->click();
    EXPECT_EQ(form.result(), QDialog::Accepted);

    TTransferForm again({"New Mail", "Sent"});
    again.show();
    QListWidget* list = again.mailboxList();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
    EXPECT_EQ(again.result(), QDialog::Accepted);
    EXPECT_EQ(again.chosenMailbox(), 2);
}

TEST(DecoderPasswordDialog, CaptionTextsAndMaskedField)
{
    application();
    TCryptPwdForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Decoder Password . . ."));
    EXPECT_EQ(form.explanation()->text(),
              QStringLiteral("This message was encrypted using the internal Tavik encoder. Type the password to view it."));
    EXPECT_EQ(form.passwordField()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(form.okButton()->text(), QStringLiteral("OK"));
    form.passwordField()->setText(QStringLiteral("longer than eight"));
    EXPECT_EQ(form.password(), "longer than eight");
}

} // namespace
} // namespace tavik::test
