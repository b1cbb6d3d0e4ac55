// Printing offscreen: the print and setup dialogs answered by a stand-in that points the printer
// at a PDF file, TPrintProgress printing text lines, and the PDF read back with pdftotext.
#include <QFile>
#include <QLabel>
#include <QMdiArea>
#include <QPrinter>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <cstdio>
#include <deque>

#include "pop3/attachment_store.h"
#include "store/mailbox_store.h"
#include "ui/ui_test_support.h"
#include "view/mailbox_window.h"
#include "view/message_window_host.h"
#include "view/strings_viewer_widget.h"
#include "window_common/print_progress_dialog.h"
#include "window_common/text_conversion.h"

using namespace tavik;
using namespace tavik::test;

namespace {

using Lines = std::vector<std::string>;

// The print dialog confirmed (or not) at once, the printer pointed at a PDF file; the setup
// dialog runs `setup` on the printer.
class PdfPrinterDialogs : public PrinterDialogs {
public:
    std::deque<bool> printAnswers;
    std::string pdf;
    std::function<void(QPrinter&)> setup;
    std::vector<QPrinter*> printed, setUp;

    bool askPrint(QPrinter& printer, QWidget*) override
    {
        printed.push_back(&printer);
        if (printAnswers.empty()) {
            ADD_FAILURE() << "unexpected print dialog";
            return false;
        }
        const bool yes = printAnswers.front();
        printAnswers.pop_front();
        if (yes)
            printer.setOutputFileName(pathFromBytes(pdf));
        return yes;
    }
    bool askPrintSetup(QPrinter& printer, QWidget*) override
    {
        setUp.push_back(&printer);
        if (setup)
            setup(printer);
        return true;
    }
};

// pdftotext's or pdfinfo's output for a file.
std::string poppler(const char* tool, const std::string& pdf, QStringList options = {})
{
    QProcess process;
    options << pathFromBytes(pdf);
    if (QString::fromLatin1(tool) == QStringLiteral("pdftotext"))
        options << QStringLiteral("-");
    process.start(QString::fromLatin1(tool), options);
    EXPECT_TRUE(process.waitForFinished(30000)) << tool;
    EXPECT_EQ(process.exitCode(), 0) << tool << ": " << process.readAllStandardError().toStdString();
    return process.readAllStandardOutput().toStdString();
}

// A line as pdftotext gives it back: blanks at the ends dropped, runs of blanks as one.
std::string normalised(const std::string& line)
{
    std::string out;
    for (char c : line) {
        if (c == ' ' && (out.empty() || out.back() == ' '))
            continue;
        out.push_back(c);
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

// The printed text's lines without the blank ones, normalised, its page numbers apart, and its
// pages.
struct Printed {
    Lines lines;
    Lines pageNumbers;
    int pages = 0;
};
Printed readPdf(const std::string& pdf)
{
    Printed out;
    // -layout keeps each printed line one line, however its blanks space it.
    const std::string text = poppler("pdftotext", pdf, {QStringLiteral("-layout")});
    std::string line;
    for (char c : text) {
        if (c == '\f')
            ++out.pages;
        if (c == '\n' || c == '\f') {
            line = normalised(line);
            if (line.rfind("Page ", 0) == 0 && line.find(" of ") != std::string::npos)
                out.pageNumbers.push_back(line);
            else if (!line.empty())
                out.lines.push_back(line);
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    return out;
}

class Printing : public UiTest {
protected:
    Printing()
    {
        dialogs.pdf = home() + "out.pdf";
        setPrinterDialogs(&dialogs);
        font.setFamily(QStringLiteral("DejaVu Sans Mono"));
        font.setPointSize(10);
    }
    ~Printing() override { setPrinterDialogs(nullptr); }

    bool print(const Lines& lines)
    {
        dialogs.printAnswers.push_back(true);
        return printMessageLines(nullptr, lines, font, printer);
    }
    bool pdfExists() const { return QFile::exists(pathFromBytes(dialogs.pdf)); }

    PdfPrinterDialogs dialogs;
    QPrinter printer{QPrinter::HighResolution};
    QFont font;
};

TEST_F(Printing, AnEmptyTextIsAJobWithoutLines)
{
    EXPECT_TRUE(print({}));
    ASSERT_TRUE(pdfExists());
    const Printed p = readPdf(dialogs.pdf);
    EXPECT_TRUE(p.lines.empty());
    EXPECT_EQ(p.pages, 1);
    EXPECT_EQ(p.pageNumbers, Lines{"Page 1 of 1"});
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(Printing, OneLinePrintsThatLineInTheViewersFont)
{
    EXPECT_TRUE(print({"Dear Zo\xeb, the meeting is at ten."}));
    const Printed p = readPdf(dialogs.pdf);
    EXPECT_EQ(p.lines, Lines{"Dear Zo\xc3\xab, the meeting is at ten."}); // pdftotext writes UTF-8
    EXPECT_EQ(p.pages, 1);
    EXPECT_NE(poppler("pdffonts", dialogs.pdf).find("DejaVuSansMono"), std::string::npos);
}

TEST_F(Printing, GreekCyrillicAndCjkPrintAsTheirCharacters)
{
    const std::string greek = "\xce\x9a\xce\xb1\xce\xbb\xce\xb7\xce\xbc\xce\xad\xcf\x81\xce\xb1"; // Καλημέρα
    const std::string russian = "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82";               // Привет
    const std::string hello = "\xe4\xbd\xa0\xe5\xa5\xbd";                                             // 你好
    const std::string japanese = "\xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf"; // こんにちは
    std::string longCjk; // no blank to wrap at: cut between characters
    for (int i = 0; i < 150; ++i)
        longCjk += hello;
    EXPECT_TRUE(print({greek + " " + russian, hello + " " + japanese, "Gr\xfc\xdf" "e", longCjk}));
    const Printed p = readPdf(dialogs.pdf);
    ASSERT_GE(p.lines.size(), 5u);
    EXPECT_EQ(p.lines[0], greek + " " + russian);
    EXPECT_EQ(p.lines[1], hello + " " + japanese);
    EXPECT_EQ(p.lines[2], "Gr\xc3\xbc\xc3\x9f" "e");
    std::string rejoined;
    for (std::size_t i = 3; i < p.lines.size(); ++i)
        rejoined += p.lines[i];
    EXPECT_EQ(rejoined, longCjk);
    EXPECT_GT(p.lines.size(), 4u);
}

TEST_F(Printing, TheProgressDialogIsOnScreenWhilePrintingAndCountsTheLines)
{
    const Lines lines{"one", "two", "three", "four"};
    TPrintProgress progress(printer);
    printer.setOutputFileName(pathFromBytes(dialogs.pdf));
    progress.Lines = &lines;
    progress.Font = font;
    EXPECT_EQ(progress.windowTitle(), QStringLiteral("Print Progress"));
    EXPECT_EQ(progress.messageLabel()->text(), QStringLiteral("Printing document..."));
    EXPECT_EQ(progress.cancelButton()->text(), QStringLiteral("Cancel"));
    std::vector<int> strip;
    std::vector<bool> visible;
    progress.OnLinePrinted = [&](int line) {
        if (const char* dir = std::getenv("TAVIK_SCREENSHOT_DIR"); dir && line == 1)
            progress.grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/print_progress.png"));
        strip.push_back(progress.progressStrip()->value() * 100 / progress.progressStrip()->maximum());
        visible.push_back(progress.isVisible() && progress.printing());
    };
    EXPECT_EQ(progress.exec(), QDialog::Accepted);
    EXPECT_EQ(strip, (std::vector<int>{25, 50, 75, 100}));
    EXPECT_EQ(visible, (std::vector<bool>{true, true, true, true}));
    EXPECT_EQ(progress.linesPrinted(), 4);
    EXPECT_EQ(readPdf(dialogs.pdf).lines, lines);
}

TEST_F(Printing, CancelStopsBetweenLinesAndTheJobKeepsWhatWasWritten)
{
    const Lines lines{"first", "second", "third", "fourth", "fifth"};
    printer.setOutputFileName(pathFromBytes(dialogs.pdf));
    {
        // Cancel before the first line: an empty job, closed as always.
        TPrintProgress progress(printer);
        progress.Lines = &lines;
        progress.Font = font;
        progress.cancelButton()->click();
        EXPECT_EQ(progress.exec(), QDialog::Accepted);
        EXPECT_EQ(progress.linesPrinted(), 0);
        ASSERT_TRUE(pdfExists());
        const Printed p = readPdf(dialogs.pdf);
        EXPECT_TRUE(p.lines.empty());
        EXPECT_EQ(p.pages, 1);
    }
    {
        // Cancel pressed while the second line is out: it is the last one printed.
        TPrintProgress progress(printer);
        progress.Lines = &lines;
        progress.Font = font;
        progress.OnLinePrinted = [&](int line) {
            if (line == 1)
                progress.cancelButton()->click();
        };
        EXPECT_EQ(progress.exec(), QDialog::Accepted);
        EXPECT_EQ(progress.linesPrinted(), 2);
        EXPECT_EQ(readPdf(dialogs.pdf).lines, (Lines{"first", "second"}));
    }
    {
        // Esc is Cancel too, and does not close the dialog under the printing loop.
        TPrintProgress progress(printer);
        progress.Lines = &lines;
        progress.Font = font;
        progress.OnLinePrinted = [&](int line) {
            if (line == 2)
                QTest::keyClick(&progress, Qt::Key_Escape);
        };
        EXPECT_EQ(progress.exec(), QDialog::Accepted);
        EXPECT_EQ(readPdf(dialogs.pdf).lines, (Lines{"first", "second", "third"}));
    }
}

TEST_F(Printing, ACancelledPrintDialogPrintsNothing)
{
    dialogs.printAnswers.push_back(false);
    EXPECT_FALSE(printMessageLines(nullptr, {"text"}, font, printer));
    EXPECT_FALSE(pdfExists());
    EXPECT_EQ(dialogs.printed.size(), 1u);
}

TEST_F(Printing, LongLinesWrapAndFullPagesBreak)
{
    std::string words;
    for (int i = 1; i <= 120; ++i)
        words += (i > 1 ? " " : "") + std::string("word") + std::to_string(1000 + i);
    Lines lines{words, "\tindented by a tab"};
    for (int i = 1; i <= 150; ++i)
        lines.push_back("line " + std::to_string(i));
    EXPECT_TRUE(print(lines));
    const Printed p = readPdf(dialogs.pdf);

    // The long line comes out over several lines, cut between words, every word kept in order.
    std::string rejoined;
    std::size_t i = 0;
    for (; i < p.lines.size() && p.lines[i].rfind("word", 0) == 0; ++i) {
        EXPECT_LT(p.lines[i].size(), words.size());
        rejoined += (rejoined.empty() ? "" : " ") + p.lines[i];
    }
    EXPECT_GT(i, 3u);
    EXPECT_EQ(rejoined, words);
    ASSERT_LT(i, p.lines.size());
    EXPECT_EQ(p.lines[i], "indented by a tab");
    // Every numbered line once, in order, over more than one page.
    Lines numbered(p.lines.begin() + static_cast<long>(i) + 1, p.lines.end());
    ASSERT_EQ(numbered.size(), 150u);
    for (int n = 1; n <= 150; ++n)
        EXPECT_EQ(numbered[n - 1], "line " + std::to_string(n));
    EXPECT_GE(p.pages, 3);
    ASSERT_EQ(p.pageNumbers.size(), static_cast<std::size_t>(p.pages));
    for (int n = 1; n <= p.pages; ++n)
        EXPECT_EQ(p.pageNumbers[n - 1], "Page " + std::to_string(n) + " of " + std::to_string(p.pages));
}

TEST_F(Printing, PrintSetupChoicesServeTheNextPrint)
{
    dialogs.setup = [](QPrinter& p) { p.setPageOrientation(QPageLayout::Landscape); };
    runPrintSetup(nullptr, printer);
    ASSERT_EQ(dialogs.setUp.size(), 1u);
    EXPECT_EQ(dialogs.setUp[0], &printer);
    EXPECT_TRUE(print({"landscape"}));
    const std::string info = poppler("pdfinfo", dialogs.pdf);
    const std::size_t at = info.find("Page size:");
    ASSERT_NE(at, std::string::npos);
    double width = 0, height = 0;
    ASSERT_EQ(std::sscanf(info.c_str() + at, "Page size: %lf x %lf", &width, &height), 2);
    EXPECT_GT(width, height);
    // The program keeps one printer for every command.
    EXPECT_EQ(&programPrinter(), &programPrinter());
}

TEST_F(Printing, APrinterThatCannotStartIsReportedNotPrinted)
{
    dialogs.pdf = home() + "no/such/dir/out.pdf";
    EXPECT_FALSE(print({"text"}));
    EXPECT_EQ(ui.textsOf("error"), Lines{"The printer could not start the print job."});
}

// A mailbox window on a real store, as the main window hosts it.
class PrintingMailbox : public Printing, public MessageWindowHost {
protected:
    PrintingMailbox()
    {
        store_.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store_.SetMailBoxDirectory(home() + "mailboxe/");
        attachments_.SetAttachmentDirectory(home() + "attach/");
        settings_.AutoAddAddress = false;
        store_.SetCurrentMailBoxNumber(1);
        store_.Msg_From = "Ann Smith <ann@example.org>";
        store_.Msg_To = "me@example.org";
        store_.Msg_Subject = "Minutes";
        store_.Msg_Date = "Wed, 9 Dec 2026 10:00:00";
        store_.Msg_Flag = 'V';
        store_.Msg_Text = {"Received: from relay.example.org", "From: Ann Smith <ann@example.org>",
                           "To: me@example.org", "Subject: Minutes", "X-Tracking: 42", "", "The minutes follow."};
        store_.AppendMessage();
    }
    TNMailBox& Mailbox() override { return store_; }
    TAttachmentManager& attachments() override { return attachments_; }
    ProfileSettings& settings() override { return settings_; }
    const std::string& ProfileDirectory() const override { return home(); }
    QIcon statusPicture(const std::string&) const override { return {}; }
    QMdiArea* mdiArea() const override { return area_.get(); }
    void addViewerWindow(QWidget* window) override { delete window; }
    void MessagesDropped(int, const MessageDrag&) override {}
    AttachmentLinkCommands& attachmentLinkCommands() override { return links_; }

    TNMailBox store_;
    TAttachmentManager attachments_;
    ProfileSettings settings_;
    AttachmentLinkCommands links_;
    std::unique_ptr<QMdiArea> area_ = std::make_unique<QMdiArea>();
};

TEST_F(PrintingMailbox, ShowAllHeadersPrintsTheHeaderLinesToo)
{
    TMailboxForm window(*this, 1);
    window.Open();
    window.ViewMessage(1);
    TStringsViewer* preview = window.preview();

    EXPECT_TRUE(print(preview->Lines()));
    Printed p = readPdf(dialogs.pdf);
    EXPECT_EQ(p.lines.back(), "The minutes follow.");
    for (const std::string& line : p.lines)
        EXPECT_EQ(line.find("X-Tracking"), std::string::npos) << line;

    window.headerButtonClick();
    ASSERT_TRUE(window.ShowAllHeaders());
    EXPECT_TRUE(print(preview->Lines()));
    p = readPdf(dialogs.pdf);
    for (const char* header : {"Received: from relay.example.org", "X-Tracking: 42"})
        EXPECT_NE(std::find(p.lines.begin(), p.lines.end(), header), p.lines.end()) << header;
    // Exactly the viewer's lines, in its order.
    Lines shown;
    for (const std::string& line : preview->Lines()) {
        const std::string t = normalised(line);
        if (!t.empty())
            shown.push_back(t);
    }
    EXPECT_EQ(p.lines, shown);
}

TEST_F(PrintingMailbox, TheHeaderBlockTakesThePlaceOfThePreviewsOwnLines)
{
    TMailboxForm window(*this, 1);
    window.Open();
    window.ViewMessage(1);
    dialogs.printAnswers.push_back(true);
    window.printMessage();
    const Printed p = readPdf(dialogs.pdf);
    EXPECT_EQ(p.lines, (Lines{"From: Ann Smith <ann@example.org>", "To: me@example.org",
                              "Date: Wed, 9 Dec 2026 10:00:00", "Subject: Minutes", "The minutes follow."}));
    EXPECT_EQ(p.pageNumbers, Lines{"Page 1 of 1"});
}

} // namespace
