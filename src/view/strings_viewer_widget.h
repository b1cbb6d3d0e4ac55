// `TStringsViewer`: the read-only text control every message is read in (the preview pane and
// the viewer window's body). It paints what TextViewerModel answers and turns the mouse, the
// keys and the scroll bars into model calls; links, quotes, the selection and Copy are the
// model's rules.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "view/text_viewer_rules.h"

class QMenu;

namespace tavik {

// Shows `Lines` (stored text: UTF-8, old lines Windows-1252) in one fixed-pitch font with both
// scroll bars (only the vertical one while long lines wrap, as they do at first), characters the font lacks taken from fallback fonts at their own widths; quoted lines in `QuotedColor`,
// links blue and underlined (red while being clicked), the selection in the highlight colours.
// A focused viewer keeps Ctrl+A, Ctrl+C and Ctrl+X for itself, even where the program uses them
// as shortcuts. A left press on a link raises OnLinkClicked; the right button opens the pop-up
// menu and leaves the selection for its Copy.
class TStringsViewer : public QAbstractScrollArea {
    Q_OBJECT
public:
    // The key under which the message windows keep "Wrap Long Lines" in their layout sections.
    static constexpr const char* kWrapLongLinesKey = "WrapLongLines";

    explicit TStringsViewer(QWidget* parent = nullptr);

    // `Lines`: replacing them scrolls to the top and clears the selection; OnChange follows.
    void SetLines(std::vector<std::string> lines);
    void AddLine(std::string line);
    void AddLines(const std::vector<std::string>& lines);
    void Clear();
    const std::vector<std::string>& Lines() const { return model_.Lines(); }

    // `Font`: any font given is made fixed-pitch (setFont works the same way).
    void SetFont(const QFont& font) { setFont(font); }
    // `Color`: the background, initially the system's window colour.
    void SetColor(const QColor& color);
    QColor Color() const { return color_; }
    // `QuotedColor`: text colour of quoted lines, used at the next painting.
    void SetQuotedColor(const QColor& color);
    QColor QuotedColor() const { return quotedColor_; }
    // `PopupMenu` (not owned): shown on a right click.
    void SetPopupMenu(QMenu* menu) { popup_ = menu; }
    QMenu* PopupMenu() const { return popup_; }

    // "Wrap Long Lines": lines wider than the window are shown on several rows (on at first).
    // Lines, Copy, Save and Print keep the lines as they are.
    void SetWrapLongLines(bool wrap);
    bool WrapLongLines() const { return model_.WrapLongLines(); }

    // Copy: the selection to the clipboard (nothing without one). Select all.
    void Copy();
    void SelectAll();

    // Events, called only when set: a link pressed (in the order recorded), and Lines changed.
    std::function<void(TStringsViewer&, const std::string& link)> OnLinkClicked;
    std::function<void(TStringsViewer&)> OnChange;

    // The rules behind the painting, for tests and the owner (positions, link table, selection).
    TextViewerModel& model() { return model_; }
    const TextViewerModel& model() const { return model_; }

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void applyFixedPitch();
    void linesChanged();
    void updateScrollBars();
    double characterWidth(std::string_view character);

    TextViewerModel model_;
    QColor color_;
    QColor quotedColor_;
    QMenu* popup_ = nullptr;
    std::vector<std::size_t> flashing_; // links drawn red while their click is reported
    std::unordered_map<std::string, double> widths_; // measured characters of the current font
    bool fixingFont_ = false;
    bool syncingBars_ = false;
    int wheelRows_ = 0; // wheel turns not yet a whole row, in eighths of a degree times rows
};

} // namespace tavik
