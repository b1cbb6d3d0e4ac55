#include "profile/profile_lock.h"

#include <QFile>
#include <QLockFile>
#include <QString>

namespace tavik {

ProfileLock::ProfileLock(const std::string& profileDirectory)
    : path_(profileDirectory + "tavik.lock"),
      lock_(std::make_unique<QLockFile>(QFile::decodeName(QByteArray::fromStdString(path_))))
{
    // Age alone never makes the lock stale: the program keeps a profile open for days.
    lock_->setStaleLockTime(0);
}

ProfileLock::~ProfileLock() = default;

bool ProfileLock::tryLock()
{
    return lock_->isLocked() || lock_->tryLock(0);
}

void ProfileLock::unlock()
{
    lock_->unlock();
}

bool ProfileLock::isLocked() const
{
    return lock_->isLocked();
}

std::string ProfileLock::holder() const
{
    qint64 pid = 0;
    QString host, app;
    if (!lock_->getLockInfo(&pid, &host, &app))
        return {};
    std::string text = "process " + std::to_string(pid);
    if (!app.isEmpty())
        text += " (" + app.toStdString() + ")";
    if (!host.isEmpty())
        text += " on " + host.toStdString();
    return text;
}

} // namespace tavik
