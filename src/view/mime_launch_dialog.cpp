#include "view/mime_launch_dialog.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

#include "view/mime_manager.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

const char* const kTitle = "Tavik mail";
const char* const kBrowseTitle = "Select a viewer application";
// Programs have no extension here: the dialog offers every file and the choice is checked.
const char* const kProgramFilter = "Programs (*)";
const char* const kNoApplication = "An invalid or no application was selected.";
const char* const kNotAProgram = "The file you selected is not a program. Please select an executable file.";
const char* const kPathTooLong = "The path of the application is longer than 255 characters.";

// Whether the launch could find what `application` names: an existing file as it stands (a
// path with blanks included), else the first word of it as a command line.
bool namesProgram(const std::string& application)
{
    if (application.empty())
        return false;
    if (QFileInfo(pathFromBytes(application)).isFile())
        return true;
    auto words = parseDesktopExec(application);
    if (!words || words->empty() || (*words)[0].empty())
        return false;
    const std::string& program = (*words)[0];
    if (program.find('/') != std::string::npos)
        return QFileInfo(pathFromBytes(program)).isFile();
    return !QStandardPaths::findExecutable(pathFromBytes(program)).isEmpty();
}

} // namespace

TMimeLaunchForm::TMimeLaunchForm(const std::string& application, const std::vector<std::string>& prompt,
                                 QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("TMimeLaunchForm"));
    setWindowTitle(QStringLiteral("MIME Viewer Apllication"));

    QStringList lines;
    for (const std::string& line : prompt)
        lines << fromStored(line);
    prompt_ = new QLabel(lines.join(QLatin1Char('\n')), this);
    prompt_->setObjectName(QStringLiteral("promptLabel"));

    application_ = new QLineEdit(pathFromBytes(application), this);
    application_->setObjectName(QStringLiteral("applicationEdit"));
    application_->setReadOnly(true);
    application_->setMinimumWidth(320);
    browse_ = new QPushButton(QStringLiteral("Browse..."), this);
    connect(browse_, &QPushButton::clicked, this, &TMimeLaunchForm::BrowseBtnClick);

    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok_->setDefault(true);
    QPushButton* cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    // OK decides itself whether the dialog may end.
    connect(ok_, &QPushButton::clicked, this, &TMimeLaunchForm::OKBtnClick);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* row = new QGridLayout;
    auto* label = new QLabel(QStringLiteral("Application:"), this);
    label->setBuddy(application_);
    row->addWidget(label, 0, 0);
    row->addWidget(application_, 0, 1);
    row->addWidget(browse_, 0, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt_);
    layout->addLayout(row);
    layout->addWidget(buttons);
}

std::string TMimeLaunchForm::application() const { return pathToBytes(application_->text()); }

void TMimeLaunchForm::BrowseBtnClick()
{
    std::string directory;
    const QFileInfo current(application_->text());
    if (current.isFile())
        directory = pathToBytes(current.absolutePath());
    if (auto chosen = askViewerApplication(directory))
        application_->setText(pathFromBytes(*chosen));
}

void TMimeLaunchForm::OKBtnClick()
{
    const std::string chosen = application();
    if (!namesProgram(chosen)) {
        userInteraction().inform(kTitle, kNoApplication);
        return;
    }
    // The registry keeps 255 bytes; a cut path would name another program.
    if (chosen.size() > kMimeApplicationMax) {
        userInteraction().inform(kTitle, kPathTooLong);
        return;
    }
    accept();
}

std::optional<std::string> askViewerApplication(const std::string& directory)
{
    auto chosen = userInteraction().askOpenFile(kBrowseTitle, directory, kProgramFilter);
    if (!chosen || chosen->empty())
        return std::nullopt;
    const QFileInfo info(pathFromBytes(*chosen));
    if (!info.isFile() || !info.isExecutable()) {
        userInteraction().inform(kTitle, kNotAProgram);
        return std::nullopt;
    }
    if (chosen->size() > kMimeApplicationMax) {
        userInteraction().inform(kTitle, kPathTooLong);
        return std::nullopt;
    }
    return chosen;
}

std::optional<std::string> chooseViewer(QWidget* parent, TMimeManager& mime, const std::string& type,
                                        const std::string& suggestion, const std::vector<std::string>& prompt)
{
    TMimeLaunchForm form(suggestion, prompt, parent);
    if (form.exec() != QDialog::Accepted)
        return std::nullopt;
    std::string application = form.application();
    mime.SetViewer(type, application);
    return application;
}

} // namespace tavik
