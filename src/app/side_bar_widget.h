// The outlook-style side bar: columns of text links that run the main window's commands.
#pragma once

#include <QFrame>

class QAction;
class QToolButton;
class QVBoxLayout;

namespace tavik {

// A panel of links grouped under captions. Each link triggers an action of the main window and
// follows its enabled state; the link's own text is the side bar's short label ("Compose",
// "A.Book"). The main window owns the actions; the links are children of the panel.
class SideBarWidget : public QFrame {
    Q_OBJECT
public:
    explicit SideBarWidget(QWidget* parent = nullptr);

    // Starts a group under `caption`.
    void addGroup(const QString& caption);
    // Adds a link labelled `text` that triggers `action`; returns it.
    QToolButton* addLink(const QString& text, QAction* action);
    // The link labelled `text`, nullptr when none.
    QToolButton* link(const QString& text) const;
    // Ends the column (the rest of the panel stays empty).
    void finish();

private:
    QVBoxLayout* layout_;
};

} // namespace tavik
