#include "app/new_user_fields_widget.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include "window_common/text_conversion.h"

namespace tavik {

NewUserFieldsWidget::NewUserFieldsWidget(QWidget* parent) : QWidget(parent)
{
    login_ = new QLineEdit(this);
    directory_ = new QLineEdit(this);
    password_ = new QLineEdit(this);
    confirmation_ = new QLineEdit(this);
    login_->setObjectName(QStringLiteral("newUserLogin"));
    directory_->setObjectName(QStringLiteral("newUserDirectory"));
    password_->setObjectName(QStringLiteral("newUserPassword"));
    confirmation_->setObjectName(QStringLiteral("newUserConfirmation"));
    password_->setEchoMode(QLineEdit::Password);
    confirmation_->setEchoMode(QLineEdit::Password);
    password_->setMaxLength(static_cast<int>(kMaxUserPasswordLength));
    confirmation_->setMaxLength(static_cast<int>(kMaxUserPasswordLength));
    directory_->setMaxLength(static_cast<int>(kMaxUserDirectoryLength));

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    auto row = [&](int r, const char* text, QLineEdit* field, bool optional) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        label->setBuddy(field);
        grid->addWidget(label, r, 0);
        grid->addWidget(field, r, 1);
        if (optional) {
            auto* note = new QLabel(QStringLiteral("(Not required)"), this);
            note->setEnabled(false);
            grid->addWidget(note, r, 2);
        }
    };
    row(0, "New User Login:", login_, false);
    row(1, "New User Directory:", directory_, false);
    row(2, "Password:", password_, true);
    row(3, "Confirm Password:", confirmation_, true);
    grid->setColumnStretch(1, 1);

    // The directory follows the login as typed; a later edit of the directory stands.
    connect(login_, &QLineEdit::textEdited, directory_, &QLineEdit::setText);
}

NewUser NewUserFieldsWidget::newUser(bool createTempDirectory) const
{
    NewUser user;
    user.login = toStored(login_->text());
    user.directory = pathToBytes(directory_->text());
    user.password = toStored(password_->text());
    user.confirmation = toStored(confirmation_->text());
    user.createTempDirectory = createTempDirectory;
    return user;
}

void NewUserFieldsWidget::clear()
{
    login_->clear();
    directory_->clear();
    password_->clear();
    confirmation_->clear();
}

} // namespace tavik
