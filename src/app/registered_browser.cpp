#include "app/registered_browser.h"

#include <QProcess>
#include <QStringList>

#include "view/browser_command.h"

namespace tavik {

namespace {

// xdg-settings is a shell script that asks the desktop; it answers at once or is stuck.
constexpr int kXdgSettingsTimeoutMs = 5000;
// Its answer is one desktop entry name.
constexpr qint64 kMaxAnswerBytes = 4096;

// Runs one of the xdg tools with an argument list (never a shell); its standard output, or
// nullopt when it is missing, fails or hangs.
std::optional<QByteArray> runXdgTool(const QString& tool, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(tool, arguments);
    if (!process.waitForStarted(kXdgSettingsTimeoutMs))
        return std::nullopt;
    if (!process.waitForFinished(kXdgSettingsTimeoutMs)) {
        process.kill();
        process.waitForFinished(kXdgSettingsTimeoutMs);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}

} // namespace

bool setDefaultMailProgram()
{
    const QString entry = QStringLiteral(TAVIK_APP_ID ".desktop");
    if (!runXdgTool(QStringLiteral("xdg-mime"), {QStringLiteral("default"), entry, QStringLiteral("x-scheme-handler/mailto")}))
        return false;
    // Desktops that keep their own choice (GNOME, KDE) hear it too; xdg-mime's answer counts.
    runXdgTool(QStringLiteral("xdg-settings"),
               {QStringLiteral("set"), QStringLiteral("default-url-scheme-handler"), QStringLiteral("mailto"), entry});
    return true;
}

std::optional<std::string> registeredWebBrowser()
{
    const std::optional<QByteArray> output =
        runXdgTool(QStringLiteral("xdg-settings"), {QStringLiteral("get"), QStringLiteral("default-web-browser")});
    if (!output)
        return std::nullopt;
    const QByteArray answer = output->left(kMaxAnswerBytes).trimmed();
    if (answer.isEmpty() || answer.contains('\n'))
        return std::nullopt;
    return browserOfDesktopEntry(answer.toStdString());
}

} // namespace tavik
