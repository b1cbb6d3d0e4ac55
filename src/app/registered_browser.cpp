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

} // namespace

std::optional<std::string> registeredWebBrowser()
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(QStringLiteral("xdg-settings"), {QStringLiteral("get"), QStringLiteral("default-web-browser")});
    if (!process.waitForStarted(kXdgSettingsTimeoutMs))
        return std::nullopt;
    if (!process.waitForFinished(kXdgSettingsTimeoutMs)) {
        process.kill();
        process.waitForFinished(kXdgSettingsTimeoutMs);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    const QByteArray answer = process.readAllStandardOutput().left(kMaxAnswerBytes).trimmed();
    if (answer.isEmpty() || answer.contains('\n'))
        return std::nullopt;
    return browserOfDesktopEntry(answer.toStdString());
}

} // namespace tavik
