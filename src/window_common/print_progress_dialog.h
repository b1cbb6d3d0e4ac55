// Printing a message text: the print and page-setup dialogs (behind an interface tests
// replace), the printer the program keeps for the whole process, and `TPrintProgress`, which
// prints a text viewer's lines with QPainter, line by line, and can be cancelled between lines.
#pragma once

#include <QDialog>
#include <QFont>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QPrinter;
class QProgressBar;
class QPushButton;

namespace tavik {

// The system's print dialog and printer-setup dialog. The program uses Qt's; tests install one
// that answers at once (and points the printer at a PDF file), so printing never blocks a test.
class PrinterDialogs {
public:
    virtual ~PrinterDialogs() = default;
    // The print dialog on `printer`: true when the user confirmed it (the printer then holds the
    // choices made).
    virtual bool askPrint(QPrinter& printer, QWidget* parent) = 0;
    // The printer-setup dialog on `printer`: true when confirmed.
    virtual bool askPrintSetup(QPrinter& printer, QWidget* parent) = 0;
};

// The dialogs in use, Qt's unless others were installed. Never null.
PrinterDialogs& printerDialogs();
// Installs `dialogs` (not owned; it must outlive its use); nullptr restores Qt's.
void setPrinterDialogs(PrinterDialogs* dialogs);

// QPrintDialog and QPageSetupDialog. The print dialog offers no page range, selection or
// current page: a message is always printed whole.
class QtPrinterDialogs : public PrinterDialogs {
public:
    bool askPrint(QPrinter& printer, QWidget* parent) override;
    bool askPrintSetup(QPrinter& printer, QWidget* parent) override;
};

// The printer of the process: what Print Setup chooses serves every later Print. Created on
// first use, lives until the program ends.
QPrinter& programPrinter();

// `TPrintProgress`, caption "Print Progress": "Printing document...", a progress strip and
// "Cancel". The caller sets Lines and Font and shows it modally with exec(); once it is on
// screen it posts itself a notice and, when that arrives, prints: one job on the printer,
// the lines in order while Cancelled is false, the events handled between lines so "Cancel"
// works. The job is ended and sent also after a cancel; then the dialog closes with Accepted.
// A printer that refuses to start or to begin a page ends the job with a message and the
// dialog closes with Rejected. Closing the window or Esc counts as Cancel.
class TPrintProgress : public QDialog {
    Q_OBJECT
public:
    explicit TPrintProgress(QPrinter& printer, QWidget* parent = nullptr);

    // The lines to print (not owned; they are copied when printing begins, so a text viewer
    // that changes meanwhile cannot pull them away).
    const std::vector<std::string>* Lines = nullptr;
    // The message's header block, printed in bold above the lines on the first page; empty for
    // none.
    std::vector<std::string> Header;
    // The font to print in (a text viewer's Font).
    QFont Font;
    // Set by "Cancel": no further line is printed.
    bool Cancelled = false;

    // "Cancel".
    void CancelBtnClick();
    // Called after each line has been written (its index): for tests that cancel midway.
    std::function<void(int line)> OnLinePrinted;

    // After printing: the text lines written and the pages of the job.
    int linesPrinted() const { return linesPrinted_; }
    int pagesPrinted() const { return pagesPrinted_; }
    bool printing() const { return printing_; }

    // Controls, for tests.
    QLabel* messageLabel() const { return label_; }
    QProgressBar* progressStrip() const { return progress_; }
    QPushButton* cancelButton() const { return cancel_; }

    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

private:
    void Print();

    QPrinter& printer_;
    QLabel* label_;
    QProgressBar* progress_;
    QPushButton* cancel_;
    bool started_ = false;
    bool printing_ = false;
    int linesPrinted_ = 0;
    int pagesPrinted_ = 0;
};

// The Print command of a mailbox or viewer window: the print dialog on `printer`; when it is
// confirmed, a TPrintProgress prints `header` (a header block's lines, or none) and `lines` (a
// text viewer's Lines) in `font` (its Font) as one job. True when a job was printed, whole or
// cancelled; false when the dialog was cancelled or the printer failed (which has been shown).
bool printMessageLines(QWidget* parent, const std::vector<std::string>& lines, const QFont& font,
                       QPrinter& printer = programPrinter(), const std::vector<std::string>& header = {});

// "Print Setup": the printer-setup dialog on `printer`, whose settings later printing uses.
// Nothing is stored by the program.
void runPrintSetup(QWidget* parent, QPrinter& printer = programPrinter());

} // namespace tavik
