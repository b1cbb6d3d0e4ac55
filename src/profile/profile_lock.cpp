#include "profile/profile_lock.h"

#include <QFile>
#include <QLockFile>
#include <QString>

#include <sys/stat.h>

#include "profile/file_util.h"

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
    if (lock_->isLocked())
        return true;
    // QLockFile creates the file as the umask allows; a profile's files are its owner's alone,
    // from the moment they exist.
    const mode_t previous = ::umask(0777 & ~kPrivateFileMode);
    bool locked = lock_->tryLock(0);
    // A lock file that names no holder was left by a process that died (or lost the power)
    // between creating and filling it: Qt never calls that stale, and the profile would stay
    // shut for good. The removal is refused while a live process holds the file's own lock.
    qint64 pid = 0;
    QString host, app;
    if (!locked && lock_->error() == QLockFile::LockFailedError && !lock_->getLockInfo(&pid, &host, &app) &&
        lock_->removeStaleLockFile())
        locked = lock_->tryLock(0);
    ::umask(previous);
    return locked;
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
