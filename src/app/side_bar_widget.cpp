#include "app/side_bar_widget.h"

#include <QAction>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace tavik {

SideBarWidget::SideBarWidget(QWidget* parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("SideBar"));
    setFrameShape(QFrame::NoFrame);
    setAutoFillBackground(true);
    setStyleSheet(QStringLiteral(
        "#SideBar { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #24497d, stop:1 #1b3a66); }"
        "#SideBar QLabel { color: #b9cbe6; font-weight: bold; padding: 10px 6px 2px 6px; }"
        "#SideBar QToolButton { color: #ffffff; border: none; padding: 3px 6px; text-align: left; }"
        "#SideBar QToolButton:hover { color: #ffe9a8; text-decoration: underline; }"
        "#SideBar QToolButton:disabled { color: #6f86aa; }"));
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(6, 4, 6, 4);
    layout_->setSpacing(0);
}

void SideBarWidget::addGroup(const QString& caption)
{
    auto* label = new QLabel(caption, this);
    layout_->addWidget(label);
}

QToolButton* SideBarWidget::addLink(const QString& text, QAction* action)
{
    auto* button = new QToolButton(this);
    button->setObjectName(QStringLiteral("link:") + text);
    button->setText(text);
    button->setIcon(action->icon());
    button->setIconSize(QSize(16, 16));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setToolTip(action->toolTip());
    button->setCursor(Qt::PointingHandCursor);
    button->setAutoRaise(true);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button->setEnabled(action->isEnabled());
    connect(action, &QAction::changed, button, [button, action] { button->setEnabled(action->isEnabled()); });
    connect(button, &QToolButton::clicked, action, &QAction::trigger);
    layout_->addWidget(button);
    return button;
}

QToolButton* SideBarWidget::link(const QString& text) const
{
    return findChild<QToolButton*>(QStringLiteral("link:") + text);
}

void SideBarWidget::finish() { layout_->addStretch(1); }

} // namespace tavik
