#include "view/mime_editor_dialog.h"

#include <algorithm>
#include <utility>

#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "view/mime_launch_dialog.h"
#include "view/mime_manager.h"
#include "view/mime_type_dialog.h"
#include "window_common/resources.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

const char* const kTitle = "Tavik mail";
const char* const kRegistryFull = "The MIME type registry is full: it holds at most 2000 types.";
constexpr int kEntryRole = Qt::UserRole;
constexpr int kLineRole = Qt::UserRole + 1;
constexpr int kIconRole = Qt::UserRole + 2;

std::string lowerAscii(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The number of the entry StoreEntry put `e` into: the first with its type and extension.
int storedIndex(const TMimeManager& mime, const MimeTypeEntry& e)
{
    const std::string type = lowerAscii(e.TypeName.substr(0, kMimeTypeNameMax));
    const std::string extension = lowerAscii(e.Extension.substr(0, kMimeExtensionMax));
    for (int i = 1; i <= mime.Count(); ++i) {
        const MimeTypeEntry old = mime.GetEntry(i);
        if (lowerAscii(old.TypeName) == type && lowerAscii(old.Extension) == extension)
            return i;
    }
    return 0;
}

} // namespace

std::string mimeEditorLine(const TMimeManager& mime, int number)
{
    const MimeTypeEntry e = mime.GetEntry(number);
    return lowerAscii(e.TypeName + "|" + e.Extension + "|" + e.Application + "|" + std::to_string(number));
}

std::string mimeEditorIconName(const std::string& line)
{
    switch (line.empty() ? '\0' : line[0]) {
    case 'a':
        return line.size() > 1 && line[1] == 'u' ? "MIME_AUDIO" : "MIME_APPLICATION";
    case 'i':
        return "MIME_IMAGE";
    case 'm':
        return "MIME_MESSAGE";
    case 't':
        return "MIME_TEXT";
    case 'v':
        return "MIME_VIDEO";
    default:
        return {};
    }
}

TMimeEditor::TMimeEditor(TMimeManager& mime, QWidget* parent) : QDialog(parent), mime_(mime)
{
    setObjectName(QStringLiteral("TMimeEditor"));
    setWindowTitle(QStringLiteral("Mime Types"));

    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("typeList"));
    list_->setHeaderLabels({QStringLiteral("MIME Type"), QStringLiteral("Extension"), QStringLiteral("Application")});
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setMinimumSize(520, 260);
    list_->header()->resizeSection(0, 200);
    list_->header()->resizeSection(1, 70);
    connect(list_, &QTreeWidget::currentItemChanged, this, [this] { showSelected(); });

    auto readOnlyField = [this](const char* name) {
        auto* field = new QLineEdit(this);
        field->setObjectName(QString::fromLatin1(name));
        field->setReadOnly(true);
        return field;
    };
    type_ = readOnlyField("typeField");
    description_ = readOnlyField("descriptionField");
    extension_ = readOnlyField("extensionField");
    application_ = readOnlyField("applicationField");
    auto* details = new QGridLayout;
    int row = 0;
    for (auto [text, field] : {std::pair{"MIME Type:", type_}, std::pair{"Description:", description_},
                               std::pair{"Default Extension:", extension_},
                               std::pair{"Viewer Application:", application_}}) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        label->setBuddy(field);
        details->addWidget(label, row, 0);
        details->addWidget(field, row, 1);
        ++row;
    }

    auto* buttonColumn = new QVBoxLayout;
    auto addButton = [&](const char* text, void (TMimeEditor::*handler)()) {
        auto* b = new QPushButton(QString::fromLatin1(text), this);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, handler);
        buttonColumn->addWidget(b);
        buttons_.push_back(b);
    };
    addButton("Browse", &TMimeEditor::BrowseBtnClick);
    addButton("New", &TMimeEditor::NewBtnClick);
    addButton("Edit", &TMimeEditor::EditBtnClick);
    addButton("Delete", &TMimeEditor::DeleteBtnClick);
    buttonColumn->addStretch();
    addButton("Close", &TMimeEditor::accept);

    auto* left = new QVBoxLayout;
    left->addWidget(list_, 1);
    left->addLayout(details);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left, 1);
    layout->addLayout(buttonColumn);

    fill(0);
}

std::vector<std::string> TMimeEditor::lines() const
{
    std::vector<std::string> out;
    for (int i = 0; i < list_->topLevelItemCount(); ++i)
        out.push_back(toStored(list_->topLevelItem(i)->data(0, kLineRole).toString()));
    return out;
}

int TMimeEditor::selectedEntry() const
{
    const QTreeWidgetItem* item = list_->currentItem();
    return item ? item->data(0, kEntryRole).toInt() : 0;
}

bool TMimeEditor::selectEntry(int number)
{
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list_->topLevelItem(i);
        if (item->data(0, kEntryRole).toInt() == number) {
            list_->setCurrentItem(item);
            return true;
        }
    }
    return false;
}

QPushButton* TMimeEditor::button(const QString& text) const
{
    for (QPushButton* b : buttons_)
        if (b->text() == text)
            return b;
    return nullptr;
}

void TMimeEditor::fill(int select)
{
    std::vector<std::pair<std::string, int>> sorted;
    for (int i = 1; i <= mime_.Count(); ++i)
        sorted.emplace_back(mimeEditorLine(mime_, i), i);
    std::sort(sorted.begin(), sorted.end());

    const QSignalBlocker quiet(list_);
    list_->clear();
    for (const auto& [line, number] : sorted) {
        const MimeTypeEntry e = mime_.GetEntry(number);
        auto* item = new QTreeWidgetItem(list_);
        // Drawn from the entry itself: an application path may hold "|" as well.
        item->setText(0, fromStored(lowerAscii(e.TypeName)));
        item->setText(1, fromStored(lowerAscii(e.Extension)));
        item->setText(2, pathFromBytes(lowerAscii(e.Application)));
        const std::string icon = mimeEditorIconName(line);
        item->setIcon(0, resourcePicture(icon));
        item->setData(0, kIconRole, fromStored(icon));
        item->setData(0, kEntryRole, number);
        item->setData(0, kLineRole, fromStored(line));
    }
    if (!(select > 0 && selectEntry(select)) && list_->topLevelItemCount() > 0)
        list_->setCurrentItem(list_->topLevelItem(0));
    showSelected();
}

void TMimeEditor::showSelected()
{
    const int number = selectedEntry();
    if (number < 1 || number > mime_.Count()) {
        type_->clear();
        description_->clear();
        extension_->clear();
        application_->clear();
        return;
    }
    const MimeTypeEntry e = mime_.GetEntry(number);
    type_->setText(fromStored(e.TypeName));
    description_->setText(fromStored(e.Description));
    extension_->setText(fromStored(e.Extension));
    application_->setText(pathFromBytes(lowerAscii(e.Application)));
}

void TMimeEditor::store(const MimeTypeEntry& entry)
{
    if (!mime_.StoreEntry(entry)) {
        userInteraction().inform(kTitle, kRegistryFull);
        return;
    }
    fill(storedIndex(mime_, entry));
}

void TMimeEditor::BrowseBtnClick()
{
    const int number = selectedEntry();
    if (number == 0)
        return;
    MimeTypeEntry e = mime_.GetEntry(number);
    std::string directory;
    if (!e.Application.empty()) {
        const QFileInfo current(pathFromBytes(e.Application));
        if (current.isFile())
            directory = pathToBytes(current.absolutePath());
    }
    auto chosen = askViewerApplication(directory);
    if (!chosen)
        return;
    application_->setText(pathFromBytes(*chosen));
    e.ViewerSet = true;
    e.Application = *chosen;
    store(e);
}

void TMimeEditor::NewBtnClick()
{
    TNewMimeTypeForm form(this);
    form.setMajorType("application");
    if (form.exec() != QDialog::Accepted)
        return;
    store(form.newEntry());
}

void TMimeEditor::EditBtnClick()
{
    const int number = selectedEntry();
    if (number == 0)
        return;
    const MimeTypeEntry old = mime_.GetEntry(number);
    const std::size_t slash = old.TypeName.find('/');
    TNewMimeTypeForm form(this);
    form.setMajorType(old.TypeName.substr(0, slash));
    form.setMinorType(slash == std::string::npos ? std::string() : old.TypeName.substr(slash + 1));
    form.setDescription(old.Description);
    form.setExtension(old.Extension);
    if (form.exec() != QDialog::Accepted)
        return;
    MimeTypeEntry e = form.newEntry();
    e.ViewerSet = old.ViewerSet;
    e.Application = old.Application;
    store(e);
}

void TMimeEditor::DeleteBtnClick()
{
    const int number = selectedEntry();
    if (number == 0)
        return;
    const int row = list_->indexOfTopLevelItem(list_->currentItem());
    mime_.DeleteEntry(number);
    fill(0);
    // The next line takes the removed one's place, so deleting goes on down the list.
    if (row >= 0 && row < list_->topLevelItemCount())
        list_->setCurrentItem(list_->topLevelItem(row));
}

void runMimeEditor(QWidget* parent, TMimeManager& mime)
{
    TMimeEditor editor(mime, parent);
    editor.exec();
}

} // namespace tavik
