#include "app/new_user_dialog.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/interaction_adapters.h"
#include "app/new_user_fields_widget.h"
#include "profile/file_util.h"
#include "profile/profile_lock.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

TNewUserForm::TNewUserForm(const std::string& programDirectory, UserRegistry& registry, QWidget* parent)
    : QDialog(parent), programDirectory_(programDirectory), registry_(registry)
{
    setObjectName(QStringLiteral("TNewUserForm"));
    setWindowTitle(QStringLiteral("Add/Delete Users . . ."));

    users_ = new QComboBox(this);
    users_->setMinimumWidth(200);
    auto* usersLabel = new QLabel(QStringLiteral("Users List:"), this);
    usersLabel->setBuddy(users_);
    delete_ = new QPushButton(QStringLiteral("Delete User"), this);
    auto* usersRow = new QHBoxLayout;
    usersRow->addWidget(usersLabel);
    usersRow->addWidget(users_, 1);
    usersRow->addWidget(delete_);

    auto* group = new QGroupBox(QStringLiteral("New User"), this);
    fields_ = new NewUserFieldsWidget(group);
    add_ = new QPushButton(QStringLiteral("Add"), group);
    auto* groupLayout = new QHBoxLayout(group);
    groupLayout->addWidget(fields_, 1);
    auto* addColumn = new QVBoxLayout;
    addColumn->addWidget(add_);
    addColumn->addStretch();
    groupLayout->addLayout(addColumn);

    close_ = new QPushButton(QStringLiteral("Close"), this);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(close_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(usersRow);
    layout->addWidget(group);
    layout->addLayout(bottom);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(users_, &QComboBox::currentIndexChanged, this, [this](int index) { delete_->setEnabled(index > 0); });
    connect(add_, &QPushButton::clicked, this, &TNewUserForm::addClicked);
    connect(delete_, &QPushButton::clicked, this, &TNewUserForm::deleteClicked);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    add_->setDefault(true);
    refillUsers();
}

void TNewUserForm::refillUsers()
{
    users_->clear();
    for (const auto& name : registry_.userNames)
        users_->addItem(fromStored(name));
    users_->setCurrentIndex(0);
    delete_->setEnabled(false);
}

void TNewUserForm::addClicked()
{
    UserResult result;
    try {
        result = AddUser(programDirectory_, registry_, fields_->newUser(true));
    } catch (const FileError& e) {
        userInteraction().error(kUserMessageTitle, e.what());
        return;
    }
    if (!result.text.empty())
        userInteraction().inform(result.title, result.text);
    if (result.succeeded()) {
        users_->addItem(fromStored(registry_.userNames.back()));
        fields_->clear();
    }
}

void TNewUserForm::deleteClicked()
{
    const int index = users_->currentIndex();
    if (index <= 0 || index >= registry_.size())
        return;
    // A profile another program has open is not pulled from under it. The lock is held until the
    // directory is gone, so nobody opens it meanwhile.
    std::unique_ptr<ProfileLock> lock;
    if (index != registry_.currentUser) {
        try {
            const std::string profile = profileDirectoryOfUser(programDirectory_, registry_, index);
            if (fileExists(profile)) {
                lock = std::make_unique<ProfileLock>(profile);
                if (!lock->tryLock()) {
                    std::string who = lock->holder();
                    userInteraction().inform(kUserMessageTitle,
                                             "User " + registry_.userNames[static_cast<std::size_t>(index)] +
                                                 " has his profile open in another program" +
                                                 (who.empty() ? std::string() : " (" + who + ")") +
                                                 ".\r\nUser not deleted.");
                    return;
                }
            }
        } catch (const FileError&) {
            // A directory outside "users/": DeleteUser removes the entry and never touches it.
        }
    }
    InteractionUserQuestions questions;
    UserResult result;
    try {
        result = DeleteUser(programDirectory_, registry_, index, questions);
    } catch (const FileError& e) {
        userInteraction().error(kUserMessageTitle, e.what());
        refillUsers();
        return;
    }
    if (!result.text.empty())
        userInteraction().inform(result.title, result.text);
    if (result.succeeded())
        refillUsers();
}

} // namespace tavik
