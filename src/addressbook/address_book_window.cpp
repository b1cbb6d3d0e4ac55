#include "addressbook/address_book_window.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QMenu>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedLayout>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include "profile/file_util.h"
#include "profile/ini_file.h"
#include "profile/user_registry.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

const char* const kPictureFilter =
    "JPEG files (*.JPG)|*.jpg|GIF files (*.gif)|*.GIF|BMP files (*.bmp)|*.BMP|All files (*.*)|*.*";

// Column captions when no list is shown, so the grid still has its nine columns.
const char* const kDefaultColumns[kAddressColumns] = {"Name",    "e-m@il",  "Organization", "e-m@il at work", "Phone",
                                                      "Address", "City",    "Comments",     "Photo"};

// Where the window keeps its fonts, column widths and panel sizes.
const char* const kLayoutFile = "custom.ini";
const char* const kLayoutSection = "AddressBook";
const char* const kFontKeys[] = {"ListsFont", "GridFont", "SendListFont"};


QPushButton* namedButton(const char* caption, QWidget* parent)
{
    auto* b = new QPushButton(QString::fromLatin1(caption), parent);
    b->setAutoDefault(false);
    return b;
}

} // namespace

template <typename F>
bool TMyAddressForm::guarded(F&& command)
{
    bool ok = true;
    try {
        command();
    } catch (const FileError& e) {
        userInteraction().error(kUserMessageTitle, e.what());
        ok = false;
    }
    return ok;
}

TMyAddressForm::TMyAddressForm(const std::string& profileDirectory, std::vector<std::string> sendList,
                               QWidget* parent)
    : QDialog(parent), model_(profileDirectory), profileDirectory_(profileDirectory)
{
    setWindowTitle(QStringLiteral("Address Book . . ."));
    buildWidgets();
    readLayout();
    model_.sendList = std::move(sendList);
    guarded([&] { model_.open(); });
    refreshLists();
    refreshGrid();
    refreshSendList(model_.sendList.empty() ? -1 : static_cast<int>(model_.sendList.size()) - 1);
}

void TMyAddressForm::buildWidgets()
{
    pages_ = new QTabWidget(this);

    // The address book page: lists, grid, picture, send list.
    auto* book = new QWidget(pages_);
    lists_ = new QListWidget(book);
    lists_->setToolTip(QStringLiteral("Double click to show a list"));
    grid_ = new QTableWidget(0, static_cast<int>(kAddressColumns), book);
    grid_->setSelectionMode(QAbstractItemView::SingleSelection);
    grid_->installEventFilter(this);

    picture_ = new QLabel(book);
    picture_->setToolTip(QStringLiteral("Doble click to Stretch/Non Stretch"));
    picture_->setAlignment(Qt::AlignCenter);
    picture_->installEventFilter(this);
    picture_->hide();
    noPicture_ = new QLabel(QStringLiteral("Image not available . . ."), book);
    noPicture_->setAlignment(Qt::AlignCenter);
    auto* pictureBox = new QWidget(book);
    pictureBox->setMinimumSize(160, 160);
    auto* pictureLayout = new QVBoxLayout(pictureBox);
    pictureLayout->addWidget(noPicture_);
    pictureLayout->addWidget(picture_, 1);
    QPushButton* pictureButton = namedButton("Picture", book);
    pictureButton->setObjectName(QStringLiteral("Picture"));

    QPushButton* to = namedButton("To", book);
    QPushButton* cc = namedButton("cc", book);
    QPushButton* bcc = namedButton("Bcc", book);
    copyAll_ = new QCheckBox(QStringLiteral("Copy all entries"), book);
    send_ = new QListWidget(book);
    QPushButton* remove = namedButton("Remove selected person", book);
    QPushButton* clear = namedButton("Clear people send list", book);
    QPushButton* copy = namedButton("Copy to selected list", book);
    copy->setToolTip(QStringLiteral("Copy the selected person to the selected list"));

    auto* right = new QVBoxLayout;
    right->addWidget(pictureBox, 1);
    right->addWidget(pictureButton);
    auto* top = new QHBoxLayout;
    top->addWidget(grid_, 3);
    top->addLayout(right);
    auto* sendButtons = new QVBoxLayout;
    sendButtons->addWidget(to);
    sendButtons->addWidget(cc);
    sendButtons->addWidget(bcc);
    sendButtons->addWidget(copyAll_);
    sendButtons->addStretch();
    auto* sendActions = new QVBoxLayout;
    sendActions->addWidget(remove);
    sendActions->addWidget(clear);
    sendActions->addStretch();
    auto* bottom = new QHBoxLayout;
    bottom->addLayout(sendButtons);
    bottom->addWidget(send_, 1);
    bottom->addLayout(sendActions);
    // The grid and the send list share the page through a splitter the user may move.
    bookSplit_ = new QSplitter(Qt::Vertical, book);
    auto* topBox = new QWidget(bookSplit_);
    topBox->setLayout(top);
    top->setContentsMargins(0, 0, 0, 0);
    auto* bottomBox = new QWidget(bookSplit_);
    bottomBox->setLayout(bottom);
    bottom->setContentsMargins(0, 0, 0, 0);
    bookSplit_->addWidget(topBox);
    bookSplit_->addWidget(bottomBox);
    bookSplit_->setStretchFactor(0, 3);
    bookSplit_->setStretchFactor(1, 1);
    auto* bookLayout = new QVBoxLayout(book);
    bookLayout->addWidget(bookSplit_);
    pages_->addTab(book, QStringLiteral("Address Book"));

    // The "Group List" page: making and deleting lists.
    auto* group = new QWidget(pages_);
    newName_ = new QLineEdit(group);
    newFile_ = new QLineEdit(group);
    QPushButton* add = namedButton("Add", group);
    QPushButton* cancelAdd = namedButton("Cancel", group);
    cancelAdd->setObjectName(QStringLiteral("CancelAdd"));
    QPushButton* del = namedButton("Delete List", group);
    auto* form = new QGridLayout(group);
    form->addWidget(new QLabel(QStringLiteral("New Mailing List name:"), group), 0, 0);
    form->addWidget(newName_, 0, 1);
    form->addWidget(new QLabel(QStringLiteral("File name of the Mailing List:"), group), 1, 0);
    form->addWidget(newFile_, 1, 1);
    auto* groupButtons = new QHBoxLayout;
    groupButtons->addWidget(add);
    groupButtons->addWidget(cancelAdd);
    groupButtons->addWidget(del);
    groupButtons->addStretch();
    form->addLayout(groupButtons, 2, 0, 1, 2);
    form->setRowStretch(3, 1);
    pages_->addTab(group, QStringLiteral("Group List"));

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    // The list of lists stands beside both pages: "Delete List" and "Copy to selected list" act
    // on its selected entry.
    mainSplit_ = new QSplitter(Qt::Horizontal, this);
    auto* leftBox = new QWidget(mainSplit_);
    auto* left = new QVBoxLayout(leftBox);
    left->setContentsMargins(0, 0, 0, 0);
    left->addWidget(lists_, 1);
    left->addWidget(copy);
    mainSplit_->addWidget(leftBox);
    mainSplit_->addWidget(pages_);
    mainSplit_->setStretchFactor(0, 1);
    mainSplit_->setStretchFactor(1, 4);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(mainSplit_, 1);
    layout->addWidget(buttons);
    resize(900, 560);

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(lists_, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { switchList(lists_->row(item)); });
    connect(grid_, &QTableWidget::cellClicked, this, [this](int row, int) { showPicture(row); });
    connect(pictureButton, &QPushButton::clicked, this, &TMyAddressForm::choosePicture);
    connect(to, &QPushButton::clicked, this, [this] { addToSend(kSendListTo); });
    connect(cc, &QPushButton::clicked, this, [this] { addToSend(kSendListCc); });
    connect(bcc, &QPushButton::clicked, this, [this] { addToSend(kSendListBcc); });
    connect(copyAll_, &QCheckBox::toggled, this, [this](bool on) { model_.copyAllEntries = on; });
    connect(remove, &QPushButton::clicked, this, [this] {
        const int row = send_->currentRow();
        if (row < 0 || row >= static_cast<int>(model_.sendList.size()))
            return;
        model_.sendList.erase(model_.sendList.begin() + row);
        refreshSendList(std::min(row, static_cast<int>(model_.sendList.size()) - 1));
    });
    connect(clear, &QPushButton::clicked, this, [this] {
        model_.sendList.clear();
        refreshSendList(-1);
    });
    connect(copy, &QPushButton::clicked, this, &TMyAddressForm::copyToSelectedList);
    connect(add, &QPushButton::clicked, this, &TMyAddressForm::addList);
    connect(cancelAdd, &QPushButton::clicked, this, [this] {
        newName_->clear();
        newFile_->clear();
    });
    connect(del, &QPushButton::clicked, this, &TMyAddressForm::deleteList);

    // "Set Font" for the list of lists, the entries and the send list.
    QWidget* const fontTargets[] = {lists_, grid_, send_};
    for (int i = 0; i < 3; ++i) {
        QWidget* target = fontTargets[i];
        target->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(target, &QWidget::customContextMenuRequested, this, [this, target](const QPoint& at) {
            QMenu menu(this);
            menu.addAction(QStringLiteral("Set Font"), this, [this, target] { setFontOf(target); });
            menu.exec(target->mapToGlobal(at));
        });
    }
}

void TMyAddressForm::setFontOf(QWidget* target)
{
    if (std::optional<QFont> font = userInteraction().askFont("Set Font", target->font()))
        target->setFont(*font);
}

void TMyAddressForm::readLayout()
{
    IniFile ini;
    try {
        ini = IniFile(profileDirectory_ + kLayoutFile);
    } catch (const std::exception&) {
        return; // the window opens with its own sizes
    }
    QWidget* const targets[] = {lists_, grid_, send_};
    for (int i = 0; i < 3; ++i) {
        QFont font;
        if (fontFromText(ini.readString(kLayoutSection, kFontKeys[i]), font))
            targets[i]->setFont(font);
    }
    for (int c = 0; c < static_cast<int>(kAddressColumns); ++c) {
        const long long w = ini.readInteger(kLayoutSection, "ColumnWidth" + std::to_string(c + 1), -1);
        if (w > 0 && w <= 4000)
            grid_->setColumnWidth(c, static_cast<int>(w));
    }
    const long long w = ini.readInteger(kLayoutSection, "Width", -1), h = ini.readInteger(kLayoutSection, "Height", -1);
    if (w >= 300 && w <= 8000 && h >= 200 && h <= 8000)
        resize(static_cast<int>(w), static_cast<int>(h));
    const auto restore = [&ini](QSplitter* split, const char* key) {
        const std::string state = ini.readString(kLayoutSection, key);
        if (!state.empty())
            split->restoreState(QByteArray::fromBase64(QByteArray::fromStdString(state)));
    };
    restore(mainSplit_, "ListsSplitter");
    restore(bookSplit_, "SendListSplitter");
}

void TMyAddressForm::writeLayout()
{
    try {
        IniFile ini(profileDirectory_ + kLayoutFile);
        QWidget* const targets[] = {lists_, grid_, send_};
        for (int i = 0; i < 3; ++i)
            ini.writeString(kLayoutSection, kFontKeys[i], fontText(targets[i]->font()));
        for (int c = 0; c < static_cast<int>(kAddressColumns); ++c)
            ini.writeInteger(kLayoutSection, "ColumnWidth" + std::to_string(c + 1), grid_->columnWidth(c));
        ini.writeInteger(kLayoutSection, "Width", width());
        ini.writeInteger(kLayoutSection, "Height", height());
        ini.writeString(kLayoutSection, "ListsSplitter", mainSplit_->saveState().toBase64().toStdString());
        ini.writeString(kLayoutSection, "SendListSplitter", bookSplit_->saveState().toBase64().toStdString());
        ini.save();
    } catch (const std::exception& e) {
        userInteraction().error(kUserMessageTitle, e.what());
    }
}

QPushButton* TMyAddressForm::button(const QString& caption) const
{
    // "Cancel" names the dialog's button; the group page's one is "CancelAdd".
    for (QPushButton* b : findChildren<QPushButton*>()) {
        if (!b->objectName().isEmpty()) {
            if (b->objectName() == caption)
                return b;
            continue;
        }
        if (b->text() == caption)
            return b;
    }
    return nullptr;
}

bool TMyAddressForm::pictureStretched() const { return picture_->hasScaledContents(); }

void TMyAddressForm::pullGrid()
{
    if (model_.grid.empty())
        return;
    const int rows = grid_->rowCount();
    model_.grid.resize(static_cast<std::size_t>(rows) + 1);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < static_cast<int>(kAddressColumns); ++c) {
            QTableWidgetItem* item = grid_->item(r, c);
            std::string& cell = model_.grid[static_cast<std::size_t>(r) + 1][static_cast<std::size_t>(c)];
            const QString text = item ? item->text() : QString();
            // A cell left as it was keeps its bytes, old 8-bit ones too.
            if (fromStored(cell) != text)
                cell = toStored(text);
        }
}

void TMyAddressForm::refreshGrid()
{
    QStringList headers;
    for (std::size_t c = 0; c < kAddressColumns; ++c) {
        const std::string& text = model_.grid.empty() ? std::string() : model_.grid[0][c];
        headers << (text.empty() ? QString::fromLatin1(kDefaultColumns[c]) : fromStored(text));
    }
    grid_->setHorizontalHeaderLabels(headers);
    const int rows = model_.grid.empty() ? 0 : static_cast<int>(model_.grid.size()) - 1;
    grid_->setRowCount(rows);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < static_cast<int>(kAddressColumns); ++c)
            grid_->setItem(r, c,
                           new QTableWidgetItem(fromStored(model_.grid[static_cast<std::size_t>(r) + 1]
                                                                      [static_cast<std::size_t>(c)])));
}

void TMyAddressForm::refreshLists()
{
    lists_->clear();
    for (const std::string& name : model_.lists().names)
        lists_->addItem(fromStored(name));
    if (model_.currentList() >= 0)
        lists_->setCurrentRow(model_.currentList());
}

void TMyAddressForm::refreshSendList(int select)
{
    send_->clear();
    for (const std::string& entry : model_.sendList)
        send_->addItem(fromStored(entry));
    if (select >= 0 && select < send_->count())
        send_->setCurrentRow(select);
}

std::size_t TMyAddressForm::selectedRow() const
{
    const int row = grid_->currentRow();
    return row < 0 ? 0 : static_cast<std::size_t>(row) + 1;
}

void TMyAddressForm::showPicture(int tableRow)
{
    picture_->hide();
    picture_->clear();
    noPicture_->show();
    QTableWidgetItem* item = grid_->item(tableRow, static_cast<int>(kColumnPhoto));
    if (!item || item->text().isEmpty())
        return;
    const QString path = item->text();
    QPixmap pixmap;
    if (!QFileInfo(path).isFile() || !pixmap.load(path))
        return;
    picture_->setPixmap(pixmap);
    noPicture_->hide();
    picture_->show();
}

void TMyAddressForm::choosePicture()
{
    const int row = grid_->currentRow();
    if (row < 0)
        return;
    QTableWidgetItem* item = grid_->item(row, static_cast<int>(kColumnPhoto));
    const std::string current = item ? pathToBytes(item->text()) : std::string();
    std::optional<std::string> chosen = userInteraction().askOpenFile("Picture selection . . .", current, kPictureFilter);
    if (!chosen)
        return;
    const QFileInfo info(pathFromBytes(*chosen));
    if (!info.isFile())
        return;
    if (!item) {
        item = new QTableWidgetItem;
        grid_->setItem(row, static_cast<int>(kColumnPhoto), item);
    }
    item->setText(info.absoluteFilePath());
    showPicture(row);
}

void TMyAddressForm::addToSend(const char* prefix)
{
    pullGrid();
    const int last = model_.addToSendList(prefix, selectedRow());
    refreshSendList(last);
}

void TMyAddressForm::copyToSelectedList()
{
    const int target = lists_->currentRow();
    if (target < 0)
        return;
    pullGrid();
    const int row = grid_->currentRow();
    guarded([&] { model_.copyToList(static_cast<std::size_t>(target), selectedRow()); });
    refreshGrid();
    if (row >= 0)
        grid_->setCurrentCell(row, 0);
}

void TMyAddressForm::switchList(int index)
{
    if (index < 0)
        return;
    // The shown grid is written before another list is read, so no edit is lost by switching.
    pullGrid();
    guarded([&] { model_.showList(index); });
    refreshGrid();
    refreshLists();
    showPicture(-1);
}

void TMyAddressForm::addList()
{
    pullGrid();
    UserNotice notice;
    const bool ok = guarded([&] { notice = model_.addList(toStored(newName_->text()), toStored(newFile_->text())); });
    if (ok && notice.kind == UserNotice::Kind::None) {
        newName_->clear();
        newFile_->clear();
    } else if (notice.kind != UserNotice::Kind::None) {
        userInteraction().inform(kUserMessageTitle, notice.text);
    }
    refreshLists();
    refreshGrid();
}

void TMyAddressForm::deleteList()
{
    const int index = lists_->currentRow();
    if (index < 0)
        return;
    const UserNotice notice = model_.askDeleteList(static_cast<std::size_t>(index));
    if (notice.kind == UserNotice::Kind::Warning) {
        userInteraction().warn(kUserMessageTitle, notice.text);
        return;
    }
    if (notice.kind != UserNotice::Kind::Question || !userInteraction().askYesNo(kUserMessageTitle, notice.text))
        return;
    pullGrid();
    guarded([&] { model_.deleteList(static_cast<std::size_t>(index)); });
    refreshLists();
    refreshGrid();
}

void TMyAddressForm::insertRow()
{
    if (model_.currentList() < 0 || model_.grid.empty())
        return;
    pullGrid();
    const int row = grid_->currentRow();
    const std::size_t at = row < 0 ? model_.grid.size() : static_cast<std::size_t>(row) + 1;
    model_.insertRow(at);
    refreshGrid();
    grid_->setCurrentCell(static_cast<int>(at) - 1, std::max(grid_->currentColumn(), 0));
}

void TMyAddressForm::deleteRow()
{
    const int row = grid_->currentRow();
    if (model_.currentList() < 0 || row < 0)
        return;
    pullGrid();
    guarded([&] { model_.deleteRow(static_cast<std::size_t>(row) + 1); });
    refreshGrid();
    if (grid_->rowCount() > 0)
        grid_->setCurrentCell(std::min(row, grid_->rowCount() - 1), 0);
}

bool TMyAddressForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == grid_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Insert && key->modifiers() == Qt::NoModifier) {
            insertRow();
            return true;
        }
        if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::ControlModifier) {
            deleteRow();
            return true;
        }
    }
    if (watched == picture_ && event->type() == QEvent::MouseButtonDblClick) {
        picture_->setScaledContents(!picture_->hasScaledContents());
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TMyAddressForm::done(int result)
{
    if (!closed_) {
        closed_ = true;
        // An open cell editor holds the last typed text; commit it before saving.
        if (QWidget* editor = grid_->focusWidget(); editor && editor != grid_)
            grid_->setFocus();
        pullGrid();
        guarded([&] { model_.close(); });
        writeLayout();
    }
    QDialog::done(result);
}

bool runAddressBook(QWidget* parent, const std::string& profileDirectory, std::vector<std::string>& sendList)
{
    TMyAddressForm form(profileDirectory, sendList, parent);
    if (form.exec() != QDialog::Accepted)
        return false;
    sendList = form.sendList();
    return true;
}

} // namespace tavik
