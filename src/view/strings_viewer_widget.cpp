#include "view/strings_viewer_widget.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>

#include "window_common/text_conversion.h"

namespace tavik {

namespace {

bool isControlOnly(const QKeyEvent* key)
{
    return (key->modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier;
}

// The keys the viewer keeps from the program's shortcuts while it has the focus.
bool isOwnShortcut(const QKeyEvent* key)
{
    return isControlOnly(key) && (key->key() == Qt::Key_A || key->key() == Qt::Key_C || key->key() == Qt::Key_X);
}

} // namespace

TStringsViewer::TStringsViewer(QWidget* parent) : QAbstractScrollArea(parent)
{
    setObjectName(QStringLiteral("TStringsViewer"));
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setMouseTracking(true);
    viewport()->setAutoFillBackground(false);
    color_ = palette().color(QPalette::Base);
    quotedColor_ = QColor::fromRgb(quotedColorRgb(0));
    model_.OnChange = [this] { linesChanged(); };
    model_.OnLinkClicked = [this](const std::string& link) {
        if (OnLinkClicked)
            OnLinkClicked(*this, link);
    };
    model_.SetCharacterWidths([this](std::string_view character) { return characterWidth(character); });
    applyFixedPitch();
    SetWrapLongLines(true);
    resize(100, 50);
}

void TStringsViewer::SetWrapLongLines(bool wrap)
{
    model_.SetWrapLongLines(wrap);
    // Wrapped text never runs off to the right.
    setHorizontalScrollBarPolicy(wrap ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAlwaysOn);
    model_.SetSurfaceSize(viewport()->width(), viewport()->height());
    updateScrollBars();
    viewport()->update();
}

void TStringsViewer::applyFixedPitch()
{
    QFont f = font();
    if (!QFontInfo(f).fixedPitch()) {
        QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        if (f.pointSizeF() > 0)
            fixed.setPointSizeF(f.pointSizeF());
        else if (f.pixelSize() > 0)
            fixed.setPixelSize(f.pixelSize());
        fixed.setBold(f.bold());
        fixed.setItalic(f.italic());
        f = fixed;
    }
    f.setFixedPitch(true);
    f.setStyleHint(QFont::TypeWriter);
    f.setKerning(false);
    // Every character takes a whole number of pixels, so columns, the selection and the link
    // rectangles stay on the grid the model counts in, however long the line.
    f.setLetterSpacing(QFont::AbsoluteSpacing, 0);
    const qreal advance = QFontMetricsF(f).horizontalAdvance(QLatin1Char('M'));
    const int cell = std::max(1, qRound(advance));
    f.setLetterSpacing(QFont::AbsoluteSpacing, cell - advance);
    fixingFont_ = true;
    setFont(f);
    fixingFont_ = false;
    widths_.clear();
    model_.SetMetrics(cell, QFontMetrics(f).height() + 1);
    updateScrollBars();
    viewport()->update();
}

void TStringsViewer::changeEvent(QEvent* event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange && !fixingFont_)
        applyFixedPitch();
}

void TStringsViewer::SetLines(std::vector<std::string> lines) { model_.SetLines(std::move(lines)); }
void TStringsViewer::AddLine(std::string line) { model_.AddLine(std::move(line)); }
void TStringsViewer::AddLines(const std::vector<std::string>& lines) { model_.AddLines(lines); }
void TStringsViewer::Clear() { model_.Clear(); }

void TStringsViewer::linesChanged()
{
    updateScrollBars();
    viewport()->update();
    if (OnChange)
        OnChange(*this);
}

void TStringsViewer::SetColor(const QColor& color)
{
    color_ = color;
    viewport()->update();
}

void TStringsViewer::SetQuotedColor(const QColor& color)
{
    quotedColor_ = color;
    viewport()->update();
}

void TStringsViewer::Copy()
{
    if (std::optional<std::string> text = model_.Copy())
        QGuiApplication::clipboard()->setText(fromStored(*text));
}

void TStringsViewer::SelectAll()
{
    model_.SelectAll();
    viewport()->update();
}

void TStringsViewer::updateScrollBars()
{
    syncingBars_ = true;
    QScrollBar* v = verticalScrollBar();
    v->setRange(0, model_.MaxVerticalPosition());
    v->setSingleStep(1);
    v->setPageStep(model_.VerticalPage());
    v->setValue(model_.VerticalPosition());
    QScrollBar* h = horizontalScrollBar();
    h->setRange(0, model_.MaxHorizontalPosition());
    h->setSingleStep(1);
    h->setPageStep(model_.HorizontalPage());
    h->setValue(model_.HorizontalPosition());
    syncingBars_ = false;
}

void TStringsViewer::scrollContentsBy(int, int)
{
    if (syncingBars_)
        return;
    model_.SetVerticalPosition(verticalScrollBar()->value());
    model_.SetHorizontalPosition(horizontalScrollBar()->value());
    viewport()->update();
}

void TStringsViewer::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    model_.SetSurfaceSize(viewport()->width(), viewport()->height());
    updateScrollBars();
}

double TStringsViewer::characterWidth(std::string_view character)
{
    const std::string key(character);
    auto known = widths_.find(key);
    if (known != widths_.end())
        return known->second;
    // Measured as drawn: Qt takes a glyph the fixed-pitch font lacks from a fallback font, at
    // that font's width (CJK and emoji are wider than a cell).
    const double width = QFontMetricsF(font()).horizontalAdvance(fromStored(character));
    widths_.emplace(key, width);
    return width;
}

void TStringsViewer::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), color_);
    model_.SetSurfaceSize(viewport()->width(), viewport()->height());
    const std::vector<PaintedLine> lines = model_.Paint();
    const QFont plain = font();
    QFont underlined = plain;
    underlined.setUnderline(true);
    const int ascent = QFontMetrics(plain).ascent();
    const int lh = model_.LineHeight();
    const QColor textColor = palette().color(QPalette::Text);
    painter.setFont(plain);
    for (const PaintedLine& line : lines) {
        // Drawn as one string, so each character the font lacks comes from a fallback font.
        const std::string_view onSurface =
            std::string_view(line.text).substr(line.shownFrom, line.shownTo - line.shownFrom);
        const QString shown = fromStored(onSurface);
        const int baseline = line.y + ascent;
        painter.setPen(line.quoted ? quotedColor_ : textColor);
        painter.drawText(QPoint(line.shownX, baseline), shown);
        if (line.highlighted && line.highlightRight > line.highlightLeft) {
            const QRect highlight(line.highlightLeft, line.y, line.highlightRight - line.highlightLeft, lh);
            painter.fillRect(highlight, palette().color(QPalette::Highlight));
            painter.setPen(palette().color(QPalette::HighlightedText));
            painter.setClipRect(highlight);
            painter.drawText(QPoint(line.shownX, baseline), shown);
            painter.setClipping(false);
        }
        if (!line.links.empty()) {
            painter.setFont(underlined);
            for (std::size_t index : line.links) {
                const LinkEntry& link = model_.LinkTable()[index];
                const bool red = std::find(flashing_.begin(), flashing_.end(), index) != flashing_.end();
                painter.setPen(QColor::fromRgb(red ? kClickedLinkRgb : kLinkRgb));
                painter.drawText(QPoint(link.left, baseline), fromStored(link.shown));
            }
            painter.setFont(plain);
        }
    }
    painter.end();
    // The horizontal range grows with the longest line painted.
    if (horizontalScrollBar()->maximum() != model_.MaxHorizontalPosition())
        updateScrollBars();
}

void TStringsViewer::mousePressEvent(QMouseEvent* event)
{
    setFocus(Qt::MouseFocusReason);
    event->accept();
    // The right button opens the pop-up menu; starting a new selection there would leave its
    // Copy nothing to copy.
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint at = event->position().toPoint();
    flashing_.clear();
    if (OnLinkClicked) {
        const std::vector<LinkEntry>& table = model_.LinkTable();
        for (std::size_t i = 0; i < table.size(); ++i)
            if (at.x() >= table[i].left && at.x() <= table[i].right && at.y() >= table[i].top &&
                at.y() <= table[i].bottom)
                flashing_.push_back(i);
        if (!flashing_.empty())
            viewport()->repaint();
    }
    model_.MousePress(at.x(), at.y());
    flashing_.clear();
    viewport()->update();
}

void TStringsViewer::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint at = event->position().toPoint();
    viewport()->setCursor(model_.IsOverLink(at.x(), at.y()) ? Qt::PointingHandCursor : Qt::ArrowCursor);
    if (model_.Selecting()) {
        model_.MouseMove(at.x(), at.y());
        viewport()->update();
    }
}

void TStringsViewer::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && model_.Selecting()) {
        model_.MouseRelease();
        viewport()->update();
    }
}

void TStringsViewer::wheelEvent(QWheelEvent* event)
{
    if (!model_.WrapLongLines()) {
        QAbstractScrollArea::wheelEvent(event);
        return;
    }
    // Rows, not lines: one wrapped paragraph may be taller than the window.
    wheelRows_ += event->angleDelta().y() * QApplication::wheelScrollLines();
    const int rows = wheelRows_ / 120;
    wheelRows_ -= rows * 120;
    event->accept();
    if (rows == 0)
        return;
    model_.ScrollRows(-rows);
    updateScrollBars();
    viewport()->update();
}

void TStringsViewer::contextMenuEvent(QContextMenuEvent* event)
{
    if (popup_)
        popup_->exec(event->globalPos());
}

bool TStringsViewer::event(QEvent* event)
{
    // Ctrl+A is also the main window's address book: a focused viewer selects instead.
    // Esc clears a selection first; without one it is the window's (which closes a viewer).
    if (event->type() == QEvent::ShortcutOverride && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape &&
        static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier && model_.HasSelection()) {
        event->accept();
        return true;
    }
    if (event->type() == QEvent::ShortcutOverride && isOwnShortcut(static_cast<QKeyEvent*>(event))) {
        event->accept();
        return true;
    }
    return QAbstractScrollArea::event(event);
}

void TStringsViewer::keyPressEvent(QKeyEvent* event)
{
    if (isOwnShortcut(event)) {
        if (event->key() == Qt::Key_A)
            SelectAll();
        else
            Copy(); // Ctrl+X copies too: the text is read-only
        return;
    }
    ScrollKey scroll;
    switch (event->key()) {
    case Qt::Key_Escape:
        model_.ClearSelection();
        viewport()->update();
        return;
    case Qt::Key_Up:
    case Qt::Key_Left:
        scroll = ScrollKey::LineUp;
        break;
    case Qt::Key_Down:
    case Qt::Key_Right:
        scroll = ScrollKey::LineDown;
        break;
    case Qt::Key_PageUp:
        scroll = ScrollKey::PageUp;
        break;
    case Qt::Key_PageDown:
        scroll = ScrollKey::PageDown;
        break;
    case Qt::Key_Home:
        scroll = ScrollKey::Home;
        break;
    case Qt::Key_End:
        scroll = ScrollKey::End;
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    model_.Scroll(scroll);
    updateScrollBars();
    viewport()->update();
}

} // namespace tavik
