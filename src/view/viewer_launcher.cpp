#include "view/viewer_launcher.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace tavik {

namespace {

// QProcess takes QStrings and turns them back into file-system bytes; only bytes that survive
// that round trip unchanged may be passed, or the program would open another file.
bool toProcessString(const std::string& bytes, QString& out)
{
    if (bytes.find('\0') != std::string::npos)
        return false;
    QByteArray raw(bytes.data(), static_cast<qsizetype>(bytes.size()));
    out = QFile::decodeName(raw);
    return QFile::encodeName(out) == raw;
}

bool toProcessArguments(const std::string& program, const std::vector<std::string>& arguments, QString& qProgram,
                        QStringList& qArguments)
{
    if (program.empty() || !toProcessString(program, qProgram))
        return false;
    for (const std::string& a : arguments) {
        QString q;
        if (!toProcessString(a, q))
            return false;
        qArguments << q;
    }
    return true;
}

int remainingMs(const QDeadlineTimer& deadline) { return static_cast<int>(deadline.remainingTime()); }

} // namespace

ViewerLauncher::ViewerLauncher(int queryTimeoutMs) : queryTimeoutMs_(queryTimeoutMs) {}

bool ViewerLauncher::startProgram(const std::string& program, const std::vector<std::string>& arguments)
{
    QString qProgram;
    QStringList qArguments;
    if (!toProcessArguments(program, arguments, qProgram, qArguments))
        return false;
    qint64 pid = 0;
    if (!QProcess::startDetached(qProgram, qArguments, QString(), &pid))
        return false;
    lastProcessId_ = pid;
    return true;
}

std::optional<std::string> ViewerLauncher::queryProgram(const std::string& program,
                                                        const std::vector<std::string>& arguments)
{
    QString qProgram;
    QStringList qArguments;
    if (!toProcessArguments(program, arguments, qProgram, qArguments))
        return std::nullopt;
    QDeadlineTimer deadline(queryTimeoutMs_);
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(qProgram, qArguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(remainingMs(deadline)))
        return std::nullopt;
    QByteArray output;
    auto giveUp = [&process] {
        process.kill();
        process.waitForFinished(-1);
        return std::nullopt;
    };
    // Read as it comes so that a tool that writes without end is stopped at the limit.
    while (process.waitForReadyRead(remainingMs(deadline))) {
        output += process.readAllStandardOutput();
        if (output.size() > kMaxQueryOutput)
            return giveUp();
    }
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(remainingMs(deadline)))
        return giveUp();
    output += process.readAllStandardOutput();
    if (output.size() > kMaxQueryOutput || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return std::string(output.constData(), static_cast<std::size_t>(output.size()));
}

} // namespace tavik
