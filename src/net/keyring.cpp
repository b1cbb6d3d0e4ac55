#include "net/keyring.h"

#include <QEventLoop>
#include <QTimer>
#include <qt6keychain/keychain.h>

namespace tavik {

namespace {

// The name the entries carry in the keyring's own window.
const QString kService = QStringLiteral("Tavik mail");

KeyringStatus statusOf(QKeychain::Error error)
{
    switch (error) {
    case QKeychain::NoError: return KeyringStatus::Ok;
    case QKeychain::EntryNotFound: return KeyringStatus::NotFound;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented: return KeyringStatus::NoKeyring;
    case QKeychain::AccessDeniedByUser:
    case QKeychain::AccessDenied: return KeyringStatus::Locked;
    default: return KeyringStatus::Failed;
    }
}

// Runs a job to its end; a job that does not end in time counts as a failure.
KeyringAnswer run(QKeychain::Job& job, const std::string& key, int timeoutMs)
{
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    job.setKey(QString::fromStdString(key));
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    job.start();
    if (!finished)
        loop.exec();
    KeyringAnswer answer;
    if (!finished) {
        answer.detail = "The keyring did not answer in time.";
        return answer;
    }
    answer.status = statusOf(job.error());
    answer.detail = job.errorString().toStdString();
    // No session bus, no Secret Service on it, or one without a collection to keep passwords in:
    // QtKeychain passes each on in the bus's own words as OtherError.
    static const char* const kAbsent[] = {"org.freedesktop.secrets", "ServiceUnknown", "autolaunch", "dbus-launch",
                                          "Could not connect", "Object does not exist at path"};
    if (answer.status == KeyringStatus::Failed)
        for (const char* words : kAbsent)
            if (answer.detail.find(words) != std::string::npos)
                answer.status = KeyringStatus::NoKeyring;
    return answer;
}

} // namespace

std::string keyringKey(const std::string& programDirectory, const std::string& user, const std::string& service,
                       const std::string& server)
{
    return service + "://" + server + " for " + user + " in " + programDirectory;
}

KeyringAnswer SecretServiceKeyring::read(const std::string& key)
{
    QKeychain::ReadPasswordJob job(kService);
    KeyringAnswer answer = run(job, key, timeoutMs_);
    if (answer.status == KeyringStatus::Ok)
        answer.secret = job.textData().toStdString();
    return answer;
}

KeyringAnswer SecretServiceKeyring::write(const std::string& key, const std::string& secret)
{
    QKeychain::WritePasswordJob job(kService);
    job.setTextData(QString::fromStdString(secret));
    return run(job, key, timeoutMs_);
}

KeyringAnswer SecretServiceKeyring::remove(const std::string& key)
{
    QKeychain::DeletePasswordJob job(kService);
    KeyringAnswer answer = run(job, key, timeoutMs_);
    if (answer.status == KeyringStatus::NotFound)
        answer.status = KeyringStatus::Ok;
    return answer;
}

} // namespace tavik
