#include "view/attachment_strip_widget.h"

#include "view/message_window_host.h"
#include "view/strings_viewer_widget.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QVBoxLayout>

#include "view/mime_manager.h"
#include "window_common/resources.h"
#include "window_common/text_conversion.h"

namespace tavik {

namespace {

constexpr int kEntryHeight = 33;
constexpr std::size_t kFirstRowRoom = 86;
constexpr int kRowsRole = Qt::UserRole + 1;
constexpr int kIconRole = Qt::UserRole + 2;

// Draws an entry: the selection, the type's icon and the two rows.
class AttachmentEntryDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override
    {
        return QSize(option.rect.width() > 0 ? option.rect.width() : 400, kEntryHeight);
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem plain = option;
        initStyleOption(&plain, index);
        plain.text.clear();
        plain.icon = QIcon();
        QStyle* style = plain.widget ? plain.widget->style() : nullptr;
        if (style)
            style->drawControl(QStyle::CE_ItemViewItem, &plain, painter, plain.widget);
        const QRect r = option.rect;
        const QString iconName = index.data(kIconRole).toString();
        if (!iconName.isEmpty()) {
            const QIcon icon(QStringLiteral(":/pictures/") + iconName + QStringLiteral(".png"));
            icon.paint(painter, QRect(r.left() + 4, r.top() + (r.height() - 24) / 2, 24, 24));
        }
        const QStringList rows = index.data(kRowsRole).toStringList();
        painter->save();
        painter->setPen(option.palette.color(option.state & QStyle::State_Selected ? QPalette::HighlightedText
                                                                                   : QPalette::Text));
        const int left = r.left() + 34;
        const int half = r.height() / 2;
        for (int i = 0; i < rows.size() && i < 2; ++i)
            painter->drawText(QRect(left, r.top() + i * half, r.width() - 36, half), Qt::AlignVCenter | Qt::TextSingleLine,
                              rows[i]);
        painter->restore();
    }
};

QToolButton* stripButton(const char* text, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setText(QString::fromLatin1(text));
    button->setToolTip(QString::fromLatin1(text).remove(QLatin1Char('&')));
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return button;
}

} // namespace

std::string attachmentSizeText(std::int32_t size)
{
    if (size < 1024)
        return std::to_string(size);
    if (size < 1048576)
        return std::to_string(size / 1024) + "K";
    return std::to_string(size / 1048576) + "M";
}

std::vector<std::string> attachmentEntryRows(const TMIMEAttachment& record)
{
    std::string first = "Name: " + (record.FileName.empty() ? std::string("<none>") : record.FileName) +
                        "   Size: " + attachmentSizeText(record.Size) +
                        "   Type: " + (record.ContentType.empty() ? std::string("<none>") : record.ContentType);
    if (first.size() > kFirstRowRoom)
        first.resize(kFirstRowRoom);
    return {first, "Description: " + (record.Description.empty() ? std::string("<none>") : record.Description)};
}

std::string attachmentIconName(const std::string& contentType)
{
    const std::string major = contentType.substr(0, contentType.find('/'));
    for (const char* name : {"application", "audio", "image", "message", "text", "video"})
        if (major == name)
            return mimeIconName(contentType);
    return {};
}

AttachmentStripWidget::AttachmentStripWidget(MessageWindowKind kind, QWidget* parent) : QWidget(parent)
{
    ensureResources();
    setObjectName(QStringLiteral("AttachmentStrip"));
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("AttachmentList"));
    list_->setItemDelegate(new AttachmentEntryDelegate(list_));
    list_->setUniformItemSizes(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    const bool mailbox = kind == MessageWindowKind::Mailbox;
    display_ = stripButton(mailbox ? "Dis&play attachment" : "&In View", this);
    launch_ = stripButton(mailbox ? "&Launch asociated application" : "&Out View", this);
    save_ = stripButton(mailbox ? "Sa&ve attachment to disk" : "Sa&ve", this);
    connect(display_, &QToolButton::clicked, this, [this] { run(OnDisplay); });
    connect(launch_, &QToolButton::clicked, this, [this] { run(OnLaunch); });
    connect(save_, &QToolButton::clicked, this, [this] { run(OnSave); });
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] { run(OnDisplay); });
    auto* buttons = new QVBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(2);
    buttons->addWidget(display_);
    buttons->addWidget(launch_);
    buttons->addWidget(save_);
    buttons->addStretch(1);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(4);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);
}

void AttachmentStripWidget::SetAttachments(TAttachmentManager& store, const std::vector<int>& numbers)
{
    list_->clear();
    for (int n : numbers) {
        TMIMEAttachment record;
        record.ContentType.clear();
        try {
            record = store.GetAttachment(n);
        } catch (const FileError&) {
            // Listed all the same: the commands on it report the store's error.
        }
        auto* item = new QListWidgetItem(QString::number(n), list_);
        QStringList rows;
        for (const auto& row : attachmentEntryRows(record))
            rows << fromStored(row);
        item->setData(kRowsRole, rows);
        item->setData(kIconRole, fromStored(attachmentIconName(record.ContentType)));
        item->setToolTip(rows.join(QLatin1Char('\n')));
    }
}

void AttachmentStripWidget::ClearAttachments() { list_->clear(); }

int AttachmentStripWidget::SelectedAttachment() const
{
    const QList<QListWidgetItem*> items = list_->selectedItems();
    return items.isEmpty() ? 0 : items.front()->text().toInt();
}

void AttachmentStripWidget::SetListFont(const QFont& font) { list_->setFont(font); }
QFont AttachmentStripWidget::ListFont() const { return list_->font(); }

void AttachmentStripWidget::run(const std::function<void(int)>& command) const
{
    const int n = SelectedAttachment();
    if (n > 0 && command)
        command(n);
}

void connectAttachmentCommands(MessageWindowHost& host, MessageWindowKind kind, TStringsViewer& text,
                               AttachmentStripWidget& strip)
{
    text.OnLinkClicked = [&host, kind](TStringsViewer&, const std::string& link) {
        host.attachmentLinkCommands().MemoLinkClicked(kind, link);
    };
    strip.OnDisplay = [&host, kind, &text](int n) { host.attachmentLinkCommands().InViewBtnClick(kind, text, n); };
    strip.OnLaunch = [&host, kind](int n) { host.attachmentLinkCommands().ViewBtnClick(kind, n); };
    strip.OnSave = [&host, kind](int n) { host.attachmentLinkCommands().SpeedButtonSaveClick(kind, n); };
}

} // namespace tavik
