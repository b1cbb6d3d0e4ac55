#include "window_common/print_progress_dialog.h"

#include <algorithm>
#include <climits>

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "profile/user_registry.h"
#include "view/print_layout.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

const char* const kPrinterNotStarted = "The printer could not start the print job.";
const char* const kPrinterStopped = "The printer stopped in the middle of the print job.";
// Printers that may print to the paper's edge get this much room at every side.
constexpr double kMinimumMarginMillimetres = 15.0;

PrinterDialogs* installedDialogs = nullptr;

// The notice TPrintProgress posts itself on showing.
QEvent::Type startPrintingEvent()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// A font sized in pixels would print at the printer's pixels, a few dots high: it is given
// the point size it has on the screen.
QFont printerFont(QFont font)
{
    if (font.pointSizeF() <= 0 && font.pixelSize() > 0) {
        qreal dpi = 96;
        if (QScreen* screen = QGuiApplication::primaryScreen())
            dpi = screen->logicalDotsPerInchY();
        font.setPointSizeF(font.pixelSize() * 72.0 / dpi);
    }
    return font;
}

} // namespace

PrinterDialogs& printerDialogs()
{
    static QtPrinterDialogs qtDialogs;
    return installedDialogs ? *installedDialogs : qtDialogs;
}

void setPrinterDialogs(PrinterDialogs* dialogs) { installedDialogs = dialogs; }

bool QtPrinterDialogs::askPrint(QPrinter& printer, QWidget* parent)
{
    printer.setPrintRange(QPrinter::AllPages);
    QPrintDialog dialog(&printer, parent);
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
    dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
    dialog.setOption(QAbstractPrintDialog::PrintCurrentPage, false);
    return dialog.exec() == QDialog::Accepted;
}

bool QtPrinterDialogs::askPrintSetup(QPrinter& printer, QWidget* parent)
{
    QPageSetupDialog dialog(&printer, parent);
    return dialog.exec() == QDialog::Accepted;
}

QPrinter& programPrinter()
{
    static QPrinter* printer = new QPrinter(QPrinter::HighResolution);
    return *printer;
}

TPrintProgress::TPrintProgress(QPrinter& printer, QWidget* parent) : QDialog(parent), printer_(printer)
{
    setObjectName(QStringLiteral("TPrintProgress"));
    setWindowTitle(QStringLiteral("Print Progress"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    label_ = new QLabel(QStringLiteral("Printing document..."), this);
    progress_ = new QProgressBar(this);
    progress_->setTextVisible(false);
    progress_->setRange(0, 1);
    progress_->setValue(0);
    progress_->setMinimumWidth(280);
    progress_->setFixedHeight(14);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    connect(cancel_, &QPushButton::clicked, this, &TPrintProgress::CancelBtnClick);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel_);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 16, 18, 14);
    layout->setSpacing(10);
    layout->addWidget(label_);
    layout->addWidget(progress_);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TPrintProgress::CancelBtnClick() { Cancelled = true; }

void TPrintProgress::reject()
{
    // Esc and the close button stop the printing; the dialog closes when the job has ended.
    Cancelled = true;
}

void TPrintProgress::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!started_) {
        started_ = true;
        QCoreApplication::postEvent(this, new QEvent(startPrintingEvent()));
    }
}

bool TPrintProgress::event(QEvent* event)
{
    if (event->type() == startPrintingEvent()) {
        Print();
        return true;
    }
    return QDialog::event(event);
}

void TPrintProgress::Print()
{
    const std::vector<std::string> lines = Lines ? *Lines : std::vector<std::string>();
    printing_ = true;
    progress_->setRange(0, std::max<int>(1, static_cast<int>(std::min<std::size_t>(lines.size(), INT_MAX))));
    progress_->setValue(0);

    QPainter painter;
    if (!painter.begin(&printer_)) {
        printing_ = false;
        userInteraction().error(kUserMessageTitle, kPrinterNotStarted);
        done(QDialog::Rejected);
        return;
    }
    const QFont font = printerFont(Font);
    QFont bold = font;
    bold.setBold(true);
    painter.setFont(font);
    const QFontMetrics metrics = painter.fontMetrics();
    const QFontMetrics boldMetrics(bold, &printer_);
    const int resolution = printer_.resolution();
    const QRect paint = printer_.pageLayout().paintRectPixels(resolution);
    const QRect paper = printer_.pageLayout().fullRectPixels(resolution);
    const int margin = qRound(kMinimumMarginMillimetres / 25.4 * resolution);
    // In the painter's coordinates, whose origin is the printable area's corner.
    QRect area(QPoint(std::max(paint.left(), paper.left() + margin), std::max(paint.top(), paper.top() + margin)),
               QPoint(std::min(paint.right(), paper.right() - margin), std::min(paint.bottom(), paper.bottom() - margin)));
    if (area.width() < paint.width() / 2 || area.height() < paint.height() / 2)
        area = paint; // a paper too small for the margins
    area.translate(-paint.topLeft());
    const int width = std::max(1, area.width());
    const int spacing = std::max(1, std::max(metrics.lineSpacing(), boldMetrics.lineSpacing()));
    // The page number takes the last row, with a blank row above it.
    const int rows = linesPerPage(area.height() - 2 * spacing, spacing);
    PageFlow flow(rows);
    const FitsPrintedLine fits = [&](const std::string& text) {
        return metrics.horizontalAdvance(fromStored(text)) <= width;
    };
    const FitsPrintedLine boldFits = [&](const std::string& text) {
        return boldMetrics.horizontalAdvance(fromStored(text)) <= width;
    };

    // The pages are counted before the first is printed, for "Page 1 of 3".
    std::vector<std::string> headerRows;
    for (const std::string& line : Header)
        for (std::string& piece : printedLines(line, boldFits))
            headerRows.push_back(std::move(piece));
    if (!headerRows.empty())
        headerRows.emplace_back();
    std::size_t totalRows = headerRows.size();
    for (const std::string& line : lines)
        totalRows += printedLines(line, fits).size();
    const int pages = static_cast<int>(std::min<std::size_t>((totalRows + rows - 1) / rows, INT_MAX - 1)) +
                      (totalRows == 0 ? 1 : 0);
    auto drawPageNumber = [&] {
        painter.setFont(font);
        painter.drawText(QRect(area.left(), area.bottom() - spacing + 1, area.width(), spacing), Qt::AlignCenter,
                         fromStored(pageNumberLine(flow.pages(), pages)));
    };
    auto drawRow = [&](const std::string& piece, const QFont& rowFont, int ascent) {
        if (flow.place()) {
            if (!printer_.newPage())
                return false;
            drawPageNumber();
        }
        painter.setFont(rowFont);
        painter.drawText(area.left(), area.top() + flow.row() * spacing + ascent, fromStored(piece));
        return true;
    };

    drawPageNumber();
    bool failed = false;
    for (const std::string& row : headerRows)
        if (!failed && !Cancelled)
            failed = !drawRow(row, bold, boldMetrics.ascent());
    for (std::size_t i = 0; i < lines.size() && !Cancelled && !failed; ++i) {
        for (const std::string& piece : printedLines(lines[i], fits)) {
            if (!drawRow(piece, font, metrics.ascent())) {
                failed = true;
                break;
            }
        }
        if (failed)
            break;
        ++linesPrinted_;
        progress_->setValue(static_cast<int>(std::min<std::size_t>(i + 1, INT_MAX)));
        if (OnLinePrinted)
            OnLinePrinted(static_cast<int>(i));
        QCoreApplication::processEvents();
    }
    pagesPrinted_ = flow.pages();
    const bool ended = painter.end();
    printing_ = false;
    if (failed || !ended) {
        userInteraction().error(kUserMessageTitle, failed ? kPrinterStopped : kPrinterNotStarted);
        done(QDialog::Rejected);
        return;
    }
    done(QDialog::Accepted);
}

bool printMessageLines(QWidget* parent, const std::vector<std::string>& lines, const QFont& font, QPrinter& printer,
                       const std::vector<std::string>& header)
{
    if (!printerDialogs().askPrint(printer, parent))
        return false;
    TPrintProgress progress(printer, parent);
    progress.Lines = &lines;
    progress.Header = header;
    progress.Font = font;
    return progress.exec() == QDialog::Accepted;
}

void runPrintSetup(QWidget* parent, QPrinter& printer) { printerDialogs().askPrintSetup(printer, parent); }

} // namespace tavik
