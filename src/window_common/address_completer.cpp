#include "window_common/address_completer.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStringListModel>
#include <QTextBlock>

#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {
// Longer than any address; beyond it the piece is no address being typed.
constexpr int kMaxTypedLength = 256;
} // namespace

struct AddressCompleter::Source {
    std::string profileDirectory;
    AddressCompletion completion;
    bool stale = true;

    const AddressCompletion& current()
    {
        if (stale) {
            completion = loadAddressCompletion(profileDirectory);
            stale = false;
        }
        return completion;
    }
};

AddressCompleter::AddressCompleter(QPlainTextEdit* field, std::shared_ptr<Source> source)
    : QObject(field), field_(field), source_(std::move(source)), completer_(new QCompleter(this)),
      model_(new QStringListModel(this))
{
    completer_->setModel(model_);
    completer_->setWidget(field_);
    completer_->setCompletionMode(QCompleter::UnfilteredPopupCompletion);
    completer_->setMaxVisibleItems(static_cast<int>(kMaxAddressProposals));
    // Installed after the completer's own filter, so it sees the keys first: Enter and Tab accept
    // here (the field would take Enter as a line break), Esc closes the list and goes no further,
    // so it cannot reach the window.
    completer_->popup()->installEventFilter(this);
    field_->installEventFilter(this);
    connect(completer_, qOverload<const QModelIndex&>(&QCompleter::activated), this,
            [this](const QModelIndex& index) { accept(index.row()); });
    connect(field_, &QPlainTextEdit::textChanged, this, [this] { textChanged(); });
}

AddressCompleter::~AddressCompleter() = default;

bool AddressCompleter::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == field_) {
        // The address book may have changed while the focus was elsewhere.
        if (event->type() == QEvent::FocusIn && static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason)
            source_->stale = true;
        return false;
    }
    if (event->type() != QEvent::KeyPress)
        return false;
    QAbstractItemView* popup = completer_->popup();
    switch (static_cast<QKeyEvent*>(event)->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Tab: {
        const QModelIndex current = popup->currentIndex();
        accept(current.isValid() ? current.row() : 0);
        return true;
    }
    case Qt::Key_Escape:
        popup->hide();
        return true;
    default:
        return false;
    }
}

void AddressCompleter::currentPiece(int& start, int& end, QString& typed) const
{
    const QTextCursor cursor = field_->textCursor();
    const QString line = cursor.block().text();
    const int at = cursor.positionInBlock();
    start = at > 0 ? line.lastIndexOf(QLatin1Char(','), at - 1) + 1 : 0;
    end = line.indexOf(QLatin1Char(','), at);
    if (end < 0)
        end = static_cast<int>(line.size());
    typed = line.mid(start, at - start).trimmed();
}

void AddressCompleter::textChanged()
{
    QAbstractItemView* popup = completer_->popup();
    if (inserting_ || !(field_->hasFocus() || popup->isVisible()))
        return;
    int start = 0, end = 0;
    QString typed;
    currentPiece(start, end, typed);
    shown_.clear();
    if (!typed.isEmpty() && typed.size() <= kMaxTypedLength)
        shown_ = source_->current().proposals(toStored(typed));
    if (shown_.empty()) {
        popup->hide();
        return;
    }
    QStringList texts;
    for (const AddressProposal& p : shown_)
        texts << fromStored(p.shown);
    model_->setStringList(texts);
    QRect at = field_->cursorRect();
    at.setWidth(std::max(popup->sizeHintForColumn(0) + popup->verticalScrollBar()->sizeHint().width(), 240));
    completer_->complete(at);
    popup->setCurrentIndex(completer_->completionModel()->index(0, 0));
}

void AddressCompleter::accept(int row)
{
    completer_->popup()->hide();
    if (row < 0 || row >= static_cast<int>(shown_.size()))
        return;
    const AddressProposal proposal = shown_[static_cast<std::size_t>(row)];
    int start = 0, end = 0;
    QString typed;
    currentPiece(start, end, typed);

    QTextCursor cursor = field_->textCursor();
    const QTextBlock block = cursor.block();
    const int blockAt = block.position();
    const QString line = block.text();
    // The field sends one recipient a line: addresses typed before a comma keep their line, and
    // what followed the piece goes on a line after the new one.
    QString before = start > 0 ? line.left(start - 1) : QString();
    while (!before.isEmpty() && before.back().isSpace())
        before.chop(1);
    QString after = line.mid(end);
    if (after.startsWith(QLatin1Char(',')))
        after = after.mid(1);
    after = after.trimmed();

    QStringList inserted;
    for (const std::string& l : proposal.lines)
        inserted << fromStored(l);
    QString text = before.isEmpty() ? QString() : before + QLatin1Char('\n');
    text += inserted.join(QLatin1Char('\n'));
    const int cursorAt = static_cast<int>(text.size());
    const bool last = !block.next().isValid();
    // A new empty line after the last one, ready for the next address.
    const bool newLine = last && after.isEmpty();
    if (!after.isEmpty() || newLine)
        text += QLatin1Char('\n') + after;

    inserting_ = true;
    cursor.beginEditBlock();
    cursor.setPosition(blockAt);
    cursor.setPosition(blockAt + static_cast<int>(line.size()), QTextCursor::KeepAnchor);
    cursor.insertText(text);
    cursor.endEditBlock();
    cursor.setPosition(blockAt + cursorAt + (newLine ? 1 : 0));
    field_->setTextCursor(cursor);
    inserting_ = false;
    shown_.clear();
}

void installAddressCompleters(std::initializer_list<QPlainTextEdit*> fields, const std::string& profileDirectory)
{
    auto source = std::make_shared<AddressCompleter::Source>();
    source->profileDirectory = profileDirectory;
    for (QPlainTextEdit* field : fields)
        new AddressCompleter(field, source);
}

void rememberRecipients(const std::string& profileDirectory, const std::string& title,
                        std::initializer_list<const std::vector<std::string>*> lineLists)
{
    std::vector<std::string> used;
    for (const std::vector<std::string>* lines : lineLists)
        used.insert(used.end(), lines->begin(), lines->end());
    try {
        recordRecentAddresses(profileDirectory, used);
    } catch (const std::exception& e) {
        userInteraction().error(title, e.what());
    }
}

} // namespace tavik
