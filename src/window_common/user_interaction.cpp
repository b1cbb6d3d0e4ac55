#include "window_common/user_interaction.h"

#include <QApplication>
#include <QColorDialog>
#include <QFileDialog>
#include <QFontDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QStringList>

#include "window_common/certificate_dialog.h"
#include "window_common/crypt_password_dialog.h"
#include "window_common/item_name_dialog.h"
#include "window_common/password_dialog.h"
#include "window_common/text_conversion.h"
#include "window_common/transfer_dialog.h"

namespace tavik {

namespace {

UserInteraction* installed = nullptr;

// "Text|*.txt|All files|*.*" (the program's filter form) as Qt's "Text (*.txt);;All files (*.*)".
QString qtFilter(const std::string& filter)
{
    const QStringList parts = fromStored(filter).split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        out << parts[i] + QStringLiteral(" (") + QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')) +
                   QLatin1Char(')');
    return out.join(QStringLiteral(";;"));
}

void showBox(QMessageBox::Icon icon, QWidget* parent, const std::string& title, const std::string& text)
{
    QMessageBox box(icon, fromStored(title), messageText(text), QMessageBox::Ok, parent);
    box.exec();
}

} // namespace

UserInteraction& userInteraction()
{
    static QtUserInteraction qtInteraction;
    return installed ? *installed : qtInteraction;
}

void setUserInteraction(UserInteraction* interaction) { installed = interaction; }

QWidget* QtUserInteraction::dialogParent()
{
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    return QApplication::activeWindow();
}

void QtUserInteraction::inform(const std::string& title, const std::string& text)
{
    showBox(QMessageBox::Information, dialogParent(), title, text);
}

void QtUserInteraction::warn(const std::string& title, const std::string& text)
{
    showBox(QMessageBox::Warning, dialogParent(), title, text);
}

void QtUserInteraction::error(const std::string& title, const std::string& text)
{
    showBox(QMessageBox::Critical, dialogParent(), title, text);
}

bool QtUserInteraction::askYesNo(const std::string& title, const std::string& question)
{
    QMessageBox box(QMessageBox::Question, fromStored(title), messageText(question), QMessageBox::Yes | QMessageBox::No,
                    dialogParent());
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> QtUserInteraction::askPassword(const std::string& userName)
{
    (void)userName; // the dialog's wording does not name the user
    TPwdForm form(dialogParent());
    if (form.exec() != QDialog::Accepted)
        return std::nullopt;
    return form.password();
}

std::optional<std::string> QtUserInteraction::askText(const std::string& title, const std::string& prompt,
                                                      const std::string& initial)
{
    TItemNameForm form(dialogParent(), fromStored(title), fromStored(prompt));
    form.setItemName(initial);
    if (form.exec() != QDialog::Accepted)
        return std::nullopt;
    return form.itemName();
}

std::optional<std::string> QtUserInteraction::askServerPassword(const std::string& title, const std::string& prompt)
{
    bool ok = false;
    const QString typed = QInputDialog::getText(dialogParent(), fromStored(title), messageText(prompt),
                                                QLineEdit::Password, QString(), &ok);
    if (!ok)
        return std::nullopt;
    return toStored(typed);
}

std::optional<QFont> QtUserInteraction::askFont(const std::string& title, const QFont& current)
{
    bool ok = false;
    QFont font = QFontDialog::getFont(&ok, current, dialogParent(), fromStored(title));
    if (!ok)
        return std::nullopt;
    return font;
}

std::optional<std::string> QtUserInteraction::askDecoderPassword()
{
    TCryptPwdForm form(dialogParent());
    if (form.exec() != QDialog::Accepted)
        return std::nullopt;
    return form.password();
}

std::optional<int> QtUserInteraction::askMoveTarget(const std::vector<std::string>& mailboxNames)
{
    TTransferForm form(mailboxNames, dialogParent());
    if (form.exec() != QDialog::Accepted || form.chosenMailbox() < 1)
        return std::nullopt;
    return form.chosenMailbox();
}

std::optional<QColor> QtUserInteraction::askColor(const std::string& title, const QColor& current)
{
    const QColor color = QColorDialog::getColor(current, dialogParent(), fromStored(title));
    if (!color.isValid())
        return std::nullopt;
    return color;
}

std::optional<std::string> QtUserInteraction::askOpenFile(const std::string& title, const std::string& directory,
                                                          const std::string& filter)
{
    QString path = QFileDialog::getOpenFileName(dialogParent(), fromStored(title), pathFromBytes(directory),
                                                qtFilter(filter));
    if (path.isEmpty())
        return std::nullopt;
    return pathToBytes(path);
}

std::optional<std::vector<std::string>> QtUserInteraction::askOpenFiles(const std::string& title,
                                                                       const std::string& directory,
                                                                       const std::string& filter)
{
    const QStringList paths = QFileDialog::getOpenFileNames(dialogParent(), fromStored(title), pathFromBytes(directory),
                                                            qtFilter(filter));
    if (paths.isEmpty())
        return std::nullopt;
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(paths.size()));
    for (const QString& path : paths)
        out.push_back(pathToBytes(path));
    return out;
}

std::optional<std::string> QtUserInteraction::askSaveFile(const std::string& title, const std::string& directory,
                                                          const std::string& filter)
{
    QString path = QFileDialog::getSaveFileName(dialogParent(), fromStored(title), pathFromBytes(directory),
                                                qtFilter(filter));
    if (path.isEmpty())
        return std::nullopt;
    return pathToBytes(path);
}

CertificateChoice QtUserInteraction::judgeCertificate(const PeerCertificateInfo& certificate)
{
    TCertificateForm form(certificate, dialogParent());
    form.exec();
    return form.choice();
}

} // namespace tavik
