#include "app/login_dialog.h"

#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/new_user_fields_widget.h"
#include "profile/file_util.h"
#include "window_common/resources.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

std::string unsafeProfileMessage(const UserRegistry& registry, int index)
{
    const std::string& name = registry.userNames.at(static_cast<std::size_t>(index));
    const std::string& dir = registry.userDirectories.at(static_cast<std::size_t>(index));
    return "The profile of user " + name + " cannot be opened:\r\nits directory \"" + dir +
           "\" in \"Login.ini\" is not a plain name\r\ninside the \"users\" directory.";
}

TLoginForm::TLoginForm(const std::string& programDirectory, UserRegistry& registry, QWidget* parent)
    : QDialog(parent), programDirectory_(programDirectory), registry_(registry)
{
    ensureResources();
    setObjectName(QStringLiteral("TLoginForm"));
    setWindowTitle(QStringLiteral("Login . . . "));

    auto* picture = new QLabel(this);
    picture->setPixmap(QIcon(QStringLiteral(":/pictures/tavik.png")).pixmap(48, 48));
    picture->setAlignment(Qt::AlignTop);

    users_ = new QComboBox(this);
    users_->setEditable(true);
    users_->setInsertPolicy(QComboBox::NoInsert);
    users_->setMinimumWidth(200);
    auto* usersLabel = new QLabel(QStringLiteral("User Login:"), this);
    usersLabel->setBuddy(users_);
    password_ = new QLineEdit(this);
    password_->setEchoMode(QLineEdit::Password);
    passwordLabel_ = new QLabel(QStringLiteral("Password:"), this);
    passwordLabel_->setBuddy(password_);
    ok_ = new QPushButton(QStringLiteral("OK"), this);
    newUser_ = new QPushButton(QStringLiteral("New User"), this);
    ok_->setDefault(true);

    auto* loginGrid = new QGridLayout;
    loginGrid->addWidget(usersLabel, 0, 0);
    loginGrid->addWidget(users_, 0, 1);
    loginGrid->addWidget(passwordLabel_, 1, 0);
    loginGrid->addWidget(password_, 1, 1);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ok_);
    buttons->addWidget(newUser_);
    buttons->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(picture);
    top->addSpacing(8);
    top->addLayout(loginGrid, 1);
    top->addSpacing(8);
    top->addLayout(buttons);

    newUserPanel_ = new QFrame(this);
    auto* panelFrame = static_cast<QFrame*>(newUserPanel_);
    panelFrame->setFrameShape(QFrame::StyledPanel);
    fields_ = new NewUserFieldsWidget(newUserPanel_);
    add_ = new QPushButton(QStringLiteral("Add"), newUserPanel_);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), newUserPanel_);
    auto* panelButtons = new QVBoxLayout;
    panelButtons->addWidget(add_);
    panelButtons->addWidget(cancel_);
    panelButtons->addStretch();
    auto* panel = new QHBoxLayout(newUserPanel_);
    panel->addWidget(fields_, 1);
    panel->addSpacing(8);
    panel->addLayout(panelButtons);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(newUserPanel_);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(users_, &QComboBox::currentTextChanged, this, &TLoginForm::userChosen);
    connect(ok_, &QPushButton::clicked, this, &TLoginForm::okClicked);
    // The editable combo keeps Return for itself; in this dialog Return means OK.
    connect(users_->lineEdit(), &QLineEdit::returnPressed, this, [this] {
        if (!isExpanded())
            okClicked();
    });
    connect(newUser_, &QPushButton::clicked, this, [this] { setExpanded(true); });
    connect(add_, &QPushButton::clicked, this, &TLoginForm::addClicked);
    connect(cancel_, &QPushButton::clicked, this, [this] {
        fields_->clear();
        setExpanded(false);
    });

    LoadUsers(programDirectory_, registry_);
    refillUsers();
    setExpanded(false);
}

bool TLoginForm::isExpanded() const { return !newUserPanel_->isHidden(); }

void TLoginForm::refillUsers()
{
    const QSignalBlocker block(users_);
    users_->clear();
    for (const auto& name : registry_.userNames)
        users_->addItem(fromStored(name));
    users_->setCurrentIndex(0);
    userChosen(users_->currentText());
}

void TLoginForm::userChosen(const QString& login)
{
    const int index = findUserByLogin(registry_, toStored(login));
    const bool protectedUser = userHasPassword(registry_, index);
    passwordLabel_->setEnabled(protectedUser);
    password_->setEnabled(protectedUser);
    if (protectedUser)
        password_->clear();
}

void TLoginForm::okClicked()
{
    UserResult result = logIn(registry_, toStored(users_->currentText()), toStored(password_->text()));
    if (result.outcome == UserOutcome::Unchanged)
        return;
    if (!result.succeeded()) {
        userInteraction().inform(result.title, result.text);
        // A wrong password ends the program; an unknown name may be corrected.
        if (result.outcome == UserOutcome::PasswordIncorrect)
            reject();
        return;
    }
    try {
        profileDirectoryOfUser(programDirectory_, registry_, registry_.currentUser);
    } catch (const FileError&) {
        const int refused = registry_.currentUser;
        registry_.currentUser = 0;
        userInteraction().error(kUserMessageTitle, unsafeProfileMessage(registry_, refused));
        return;
    }
    accept();
}

void TLoginForm::setExpanded(bool expanded)
{
    newUserPanel_->setVisible(expanded);
    newUser_->setEnabled(!expanded);
    ok_->setDefault(!expanded);
    add_->setDefault(expanded);
    if (expanded)
        fields_->loginField()->setFocus();
    else
        users_->setFocus();
}

void TLoginForm::addClicked()
{
    UserResult result;
    try {
        result = AddUser(programDirectory_, registry_, fields_->newUser(false));
    } catch (const FileError& e) {
        userInteraction().error(kUserMessageTitle, e.what());
        return;
    }
    if (!result.text.empty())
        userInteraction().inform(result.title, result.text);
    if (result.succeeded()) {
        const QSignalBlocker block(users_);
        users_->addItem(fromStored(registry_.userNames.back()));
    }
    if (result.succeeded() || result.outcome == UserOutcome::CannotCreateDirectory) {
        fields_->clear();
        setExpanded(false);
    }
}

} // namespace tavik
