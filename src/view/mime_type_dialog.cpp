#include "view/mime_type_dialog.h"

#include <algorithm>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

const char* const kTitle = "Tavik mail";
constexpr int kMinorTypeMax = 25;
constexpr int kHtmlDocumentIndex = 6;

std::string lowerAscii(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

} // namespace

const char* const TNewMimeTypeForm::kMajorTypes[6] = {"application", "audio", "image", "message", "text", "video"};

TNewMimeTypeForm::TNewMimeTypeForm(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TNewMimeTypeForm"));
    setWindowTitle(QStringLiteral("Define new MIME type"));

    major_ = new QComboBox(this);
    major_->setObjectName(QStringLiteral("majorTypeBox"));
    for (const char* major : kMajorTypes)
        major_->addItem(QString::fromLatin1(major));
    major_->addItem(QString::fromLatin1(kHtmlDocumentItem));
    minor_ = new QLineEdit(this);
    minor_->setObjectName(QStringLiteral("minorTypeEdit"));
    minor_->setMaxLength(kMinorTypeMax);
    description_ = new QLineEdit(this);
    description_->setObjectName(QStringLiteral("descriptionEdit"));
    description_->setMaxLength(static_cast<int>(kMimeDescriptionMax));
    extension_ = new QLineEdit(this);
    extension_->setObjectName(QStringLiteral("extensionEdit"));
    extension_->setMaxLength(static_cast<int>(kMimeExtensionMax));
    connect(major_, &QComboBox::currentIndexChanged, this, &TNewMimeTypeForm::majorTypeChosen);

    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok_->setDefault(true);
    QPushButton* cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    connect(ok_, &QPushButton::clicked, this, &TNewMimeTypeForm::OKBtnClick);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* grid = new QGridLayout;
    auto addLabel = [&](const char* text, QWidget* buddy, int row) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        label->setBuddy(buddy);
        grid->addWidget(label, row, 0);
    };
    addLabel("MIME type:", major_, 0);
    grid->addWidget(major_, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("/"), this), 0, 2);
    grid->addWidget(minor_, 0, 3);
    addLabel("Description:", description_, 1);
    grid->addWidget(description_, 1, 1, 1, 3);
    addLabel("Default extension:", extension_, 2);
    grid->addWidget(extension_, 2, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(buttons);
}

std::string TNewMimeTypeForm::majorType() const
{
    if (major_->currentIndex() == kHtmlDocumentIndex)
        return "text";
    return toStored(major_->currentText());
}

void TNewMimeTypeForm::setMajorType(const std::string& major)
{
    const QString wanted = fromStored(lowerAscii(major));
    for (int i = 0; i < major_->count(); ++i)
        if (i != kHtmlDocumentIndex && major_->itemText(i) == wanted) {
            major_->setCurrentIndex(i);
            return;
        }
    major_->addItem(wanted);
    major_->setCurrentIndex(major_->count() - 1);
}

std::string TNewMimeTypeForm::minorType() const { return toStored(minor_->text().trimmed()); }

void TNewMimeTypeForm::setMinorType(const std::string& minor)
{
    minor_->setMaxLength(std::max(kMinorTypeMax, static_cast<int>(minor.size())));
    minor_->setText(fromStored(minor));
}

std::string TNewMimeTypeForm::description() const { return toStored(description_->text()); }
void TNewMimeTypeForm::setDescription(const std::string& description) { description_->setText(fromStored(description)); }
std::string TNewMimeTypeForm::extension() const { return toStored(extension_->text().trimmed()); }
void TNewMimeTypeForm::setExtension(const std::string& extension) { extension_->setText(fromStored(extension)); }

MimeTypeEntry TNewMimeTypeForm::newEntry() const
{
    MimeTypeEntry e;
    e.TypeName = (majorType() + "/" + minorType()).substr(0, kMimeTypeNameMax);
    e.Description = description().substr(0, kMimeDescriptionMax);
    e.Extension = extension().substr(0, kMimeExtensionMax);
    return e;
}

void TNewMimeTypeForm::OKBtnClick()
{
    if (minorType().empty()) {
        userInteraction().inform(kTitle, "You must specify a MIME minor type");
        minor_->setFocus();
        return;
    }
    accept();
}

void TNewMimeTypeForm::majorTypeChosen(int index)
{
    if (index == kHtmlDocumentIndex)
        minor_->setText(QStringLiteral("html"));
}

} // namespace tavik
