#include "view/attachment_dialog.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "smtp/stored_copy.h"
#include "view/mime_launch_dialog.h"
#include "view/mime_manager.h"
#include "view/mime_type_dialog.h"
#include "window_common/resources.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

const char* const kTitle = "Tavik mail";
const char* const kTooMany = "A message can carry at most 50 attachments.";
const char* const kPathTooLong = "The path of this file is longer than 255 characters; it cannot be attached.";
const char* const kLaunchFailed = "An error occured while launching the viewer application.";
const char* const kRegistryFull = "The MIME type registry is full: it holds at most 2000 types.";
constexpr int kPathRole = Qt::UserRole;
constexpr std::size_t kMinorTypeMax = 25;

std::string fileNamePart(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The extension of a path's last component, without the dot; empty when it has none.
std::string extensionOf(const std::string& path)
{
    const std::string name = fileNamePart(path);
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

// The local files a drag carries.
std::vector<std::string> droppedFiles(const QMimeData* data)
{
    std::vector<std::string> paths;
    if (!data)
        return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            paths.push_back(pathToBytes(url.toLocalFile()));
    return paths;
}

} // namespace

TAttachmentForm::TAttachmentForm(TMimeManager& mime, std::vector<TOutgoingAttachment> attachments,
                                 const std::string& startDirectory, QWidget* parent)
    : QDialog(parent), mime_(mime), attachments_(std::move(attachments))
{
    setObjectName(QStringLiteral("TAttachmentForm"));
    setWindowTitle(QStringLiteral("Message Attachments"));

    auto newButton = [this](const char* text, void (TAttachmentForm::*handler)()) {
        auto* b = new QPushButton(QString::fromLatin1(text), this);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, handler);
        buttons_.push_back(b);
        return b;
    };

    // The file side: a path line over the entries of one directory.
    path_ = new QLineEdit(this);
    path_->setObjectName(QStringLiteral("pathEdit"));
    // Return there goes to the directory typed (eventFilter), never to the OK button.
    path_->installEventFilter(this);
    fileModel_ = new QFileSystemModel(this);
    fileModel_->setFilter(QDir::AllDirs | QDir::Files | QDir::NoDot);
    files_ = new QListView(this);
    files_->setObjectName(QStringLiteral("fileList"));
    files_->setModel(fileModel_);
    files_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    files_->setDragEnabled(true);
    files_->setDragDropMode(QAbstractItemView::DragOnly);
    files_->setDefaultDropAction(Qt::CopyAction); // a drag never moves the user's file
    files_->setMinimumSize(240, 280);
    connect(files_, &QListView::doubleClicked, this, &TAttachmentForm::fileActivated);

    QPushButton* add = newButton("Add Attachment >>>", &TAttachmentForm::AddBtnClick);
    QPushButton* remove = newButton("Remove Attachment <<<", &TAttachmentForm::RemoveBtnClick);

    // The attachment side.
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("attachmentList"));
    list_->setMinimumSize(240, 180);
    list_->setAcceptDrops(true);
    list_->viewport()->setAcceptDrops(true);
    list_->viewport()->installEventFilter(this);
    connect(list_, &QListWidget::currentRowChanged, this, [this] { showSelected(); });

    location_ = new QLineEdit(this);
    location_->setObjectName(QStringLiteral("locationEdit"));
    location_->setReadOnly(true);
    name_ = new QLineEdit(this);
    name_->setObjectName(QStringLiteral("nameEdit"));
    name_->setMaxLength(static_cast<int>(kAttachmentNameRoom));
    type_ = new QComboBox(this);
    type_->setObjectName(QStringLiteral("typeBox"));
    type_->setEditable(true);
    type_->setInsertPolicy(QComboBox::NoInsert);
    type_->lineEdit()->setMaxLength(static_cast<int>(kAttachmentMimeTypeRoom));
    description_ = new QLineEdit(this);
    description_->setObjectName(QStringLiteral("descriptionEdit"));
    description_->setMaxLength(static_cast<int>(kAttachmentDescriptionRoom));
    // Every edit goes into the descriptor at once, so no way of leaving a field loses it.
    connect(name_, &QLineEdit::textChanged, this, &TAttachmentForm::commitFields);
    connect(description_, &QLineEdit::textChanged, this, &TAttachmentForm::commitFields);
    connect(type_, &QComboBox::currentTextChanged, this, &TAttachmentForm::commitFields);
    QPushButton* newType = newButton("New type", &TAttachmentForm::NewTypeBtnClick);
    QPushButton* view = newButton("View Attachment", &TAttachmentForm::ViewBtnClick);

    auto* fields = new QGridLayout;
    int row = 0;
    const std::initializer_list<std::pair<const char*, QWidget*>> rows{
        {"Location:", location_}, {"Name:", name_}, {"MIME Type:", type_}, {"Description:", description_}};
    for (const auto& [text, field] : rows) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        label->setBuddy(field);
        fields->addWidget(label, row, 0);
        fields->addWidget(field, row, 1);
        ++row;
    }
    auto* typeButtons = new QHBoxLayout;
    typeButtons->addWidget(newType);
    typeButtons->addWidget(view);
    typeButtons->addStretch();
    fields->addLayout(typeButtons, row, 1);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    buttons_.push_back(ok);
    buttons_.push_back(cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* fileSide = new QVBoxLayout;
    fileSide->addWidget(path_);
    fileSide->addWidget(files_, 1);
    auto* middle = new QVBoxLayout;
    middle->addStretch();
    middle->addWidget(add);
    middle->addWidget(remove);
    middle->addStretch();
    auto* attachmentSide = new QVBoxLayout;
    attachmentSide->addWidget(list_, 1);
    attachmentSide->addLayout(fields);
    auto* columns = new QHBoxLayout;
    columns->addLayout(fileSide, 1);
    columns->addLayout(middle);
    columns->addLayout(attachmentSide, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(columns, 1);
    layout->addWidget(buttons);

    if (startDirectory.empty() || !setDirectory(startDirectory))
        setDirectory(pathToBytes(QDir::homePath()));
    fillTypes();
    rebuildList(attachments_.empty() ? -1 : 0);
}

QPushButton* TAttachmentForm::button(const QString& text) const
{
    for (QPushButton* b : buttons_)
        if (b->text() == text)
            return b;
    return nullptr;
}

std::string TAttachmentForm::directory() const { return pathToBytes(fileModel_->rootPath()); }

bool TAttachmentForm::setDirectory(const std::string& directory)
{
    const QFileInfo info(pathFromBytes(directory));
    if (directory.empty() || !info.isDir())
        return false;
    const QString path = QDir::cleanPath(info.absoluteFilePath());
    files_->setRootIndex(fileModel_->setRootPath(path));
    path_->setText(path);
    return true;
}

void TAttachmentForm::fileActivated(const QModelIndex& index)
{
    const QString path = QDir::cleanPath(fileModel_->filePath(index));
    if (fileModel_->isDir(index))
        setDirectory(pathToBytes(path));
    else
        addFiles({pathToBytes(path)});
}

int addAttachmentFiles(TMimeManager& mime, std::vector<TOutgoingAttachment>& attachments,
                       const std::vector<std::string>& paths)
{
    int added = 0;
    for (const std::string& path : paths) {
        if (QFileInfo(pathFromBytes(path)).isDir())
            continue;
        bool listed = false;
        for (const TOutgoingAttachment& a : attachments)
            listed = listed || a.Path == path;
        if (listed)
            continue;
        if (attachments.size() >= kMaxComposedAttachments) {
            userInteraction().inform(kTitle, kTooMany);
            break;
        }
        // The record holds 255 bytes of path; a cut path would send another file.
        if (path.size() > kAttachmentPathRoom) {
            userInteraction().inform(kTitle, kPathTooLong);
            continue;
        }
        TOutgoingAttachment a;
        a.Path = path;
        a.Name = toStored(pathFromBytes(fileNamePart(path)));
        a.MimeType = mime.TypeOfFile(path).substr(0, kAttachmentMimeTypeRoom);
        attachments.push_back(std::move(a));
        ++added;
    }
    return added;
}

int TAttachmentForm::addFiles(const std::vector<std::string>& paths)
{
    const int added = addAttachmentFiles(mime_, attachments_, paths);
    if (added > 0)
        rebuildList(static_cast<int>(attachments_.size()) - 1);
    return added;
}

void TAttachmentForm::AddBtnClick()
{
    std::vector<std::string> paths;
    for (const QModelIndex& index : files_->selectionModel()->selectedIndexes())
        if (!fileModel_->isDir(index))
            paths.push_back(pathToBytes(fileModel_->filePath(index)));
    addFiles(paths);
}

void TAttachmentForm::RemoveBtnClick()
{
    const int row = shownRow();
    if (row < 0)
        return;
    attachments_.erase(attachments_.begin() + row);
    rebuildList(std::min(row, static_cast<int>(attachments_.size()) - 1));
}

void TAttachmentForm::NewTypeBtnClick()
{
    const int row = shownRow();
    if (row < 0)
        return;
    const std::string extension = extensionOf(attachments_[static_cast<std::size_t>(row)].Path);
    TNewMimeTypeForm form(this);
    form.setMajorType("application");
    form.setExtension(extension);
    if (!extension.empty())
        form.setMinorType(("x-" + extension).substr(0, kMinorTypeMax));
    if (form.exec() != QDialog::Accepted)
        return;
    const MimeTypeEntry entry = form.newEntry();
    if (!mime_.StoreEntry(entry)) {
        userInteraction().inform(kTitle, kRegistryFull);
        return;
    }
    fillTypes();
    const int index = type_->findText(fromStored(entry.TypeName), Qt::MatchFixedString);
    if (index >= 0)
        type_->setCurrentIndex(index);
    else
        type_->setEditText(fromStored(entry.TypeName));
    commitFields();
}

void TAttachmentForm::ViewBtnClick()
{
    const int row = shownRow();
    if (row < 0)
        return;
    commitFields();
    const TOutgoingAttachment& a = attachments_[static_cast<std::size_t>(row)];
    const std::string path = a.Path;
    const std::string type = a.MimeType;
    if (!mime_.HasViewer(type)) {
        const std::string suggestion = mime_.SuggestViewer(path);
        std::vector<std::string> prompt{"No application has been defined for MIME type " + type + "."};
        if (!suggestion.empty()) {
            prompt.emplace_back("It is suggested that you use the application below to view ");
            prompt.emplace_back("this document. You may change this by pressing the Change button.");
        } else {
            prompt.emplace_back("Please press the Change button to select a viewer application for this MIME type");
        }
        if (!chooseViewer(this, mime_, type, suggestion, prompt))
            return;
    }
    if (!mime_.LaunchViewer(path, type))
        userInteraction().error(kTitle, kLaunchFailed);
}

bool TAttachmentForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == path_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (!setDirectory(pathToBytes(path_->text())))
                path_->setText(pathFromBytes(directory()));
            return true;
        }
    }
    if (watched == list_->viewport()) {
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDropEvent*>(event);
            if (!droppedFiles(drag->mimeData()).empty()) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            const std::vector<std::string> paths = droppedFiles(drop->mimeData());
            if (paths.empty()) {
                drop->ignore();
            } else {
                // The file list offers a move; the file itself must stay where it is.
                drop->setDropAction(Qt::CopyAction);
                drop->accept();
                addFiles(paths);
            }
            return true;
        }
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TAttachmentForm::fillTypes()
{
    const QSignalBlocker quiet(type_);
    const QString shown = type_->currentText();
    type_->clear();
    for (int i = 1; i <= mime_.Count(); ++i) {
        const std::string name = mime_.GetEntry(i).TypeName;
        type_->addItem(mimeTypePicture(name), fromStored(name));
    }
    type_->setCurrentIndex(-1);
    type_->setEditText(shown);
}

void TAttachmentForm::rebuildList(int select)
{
    {
        const QSignalBlocker quiet(list_);
        list_->clear();
        for (const TOutgoingAttachment& a : attachments_) {
            auto* item = new QListWidgetItem(mimeTypePicture(a.MimeType), fromStored(a.Name), list_);
            item->setData(kPathRole, pathFromBytes(a.Path));
        }
        list_->setCurrentRow(select < static_cast<int>(attachments_.size()) ? select : -1);
    }
    showSelected();
}

int TAttachmentForm::shownRow() const
{
    const int row = list_->currentRow();
    return row >= 0 && row < static_cast<int>(attachments_.size()) ? row : -1;
}

void TAttachmentForm::showSelected()
{
    const int row = shownRow();
    showing_ = true;
    if (row < 0) {
        location_->clear();
        name_->clear();
        type_->setCurrentIndex(-1);
        type_->setEditText(QString());
        description_->clear();
    } else {
        const TOutgoingAttachment& a = attachments_[static_cast<std::size_t>(row)];
        location_->setText(pathFromBytes(a.Path));
        name_->setText(fromStored(a.Name));
        const int index = type_->findText(fromStored(a.MimeType), Qt::MatchExactly);
        type_->setCurrentIndex(index);
        if (index < 0)
            type_->setEditText(fromStored(a.MimeType));
        description_->setText(fromStored(a.Description));
    }
    showing_ = false;
    const bool enabled = row >= 0;
    for (QWidget* w : std::initializer_list<QWidget*>{location_, name_, type_, description_, button(QStringLiteral("New type")),
                                                      button(QStringLiteral("View Attachment")),
                                                      button(QStringLiteral("Remove Attachment <<<"))})
        w->setEnabled(enabled);
}

void TAttachmentForm::commitFields()
{
    const int row = shownRow();
    if (showing_ || row < 0)
        return;
    TOutgoingAttachment& a = attachments_[static_cast<std::size_t>(row)];
    a.Name = toStored(name_->text());
    a.MimeType = toStored(type_->currentText()).substr(0, kAttachmentMimeTypeRoom);
    a.Description = toStored(description_->text());
    QListWidgetItem* item = list_->item(row);
    item->setText(fromStored(a.Name));
    item->setIcon(mimeTypePicture(a.MimeType));
}

bool runAttachmentDialog(QWidget* parent, TMimeManager& mime, std::vector<TOutgoingAttachment>& attachments,
                         const std::string& startDirectory, std::string* lastDirectory)
{
    TAttachmentForm form(mime, attachments, startDirectory, parent);
    const bool accepted = form.exec() == QDialog::Accepted;
    if (lastDirectory)
        *lastDirectory = form.directory();
    if (!accepted)
        return false;
    attachments = form.attachments();
    return true;
}

} // namespace tavik
