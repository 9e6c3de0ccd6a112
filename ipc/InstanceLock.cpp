#include "ipc/InstanceLock.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSharedMemory>

#include <cerrno>
#include <csignal>
#include <sys/types.h>

QString instanceLockPath(const QString& key, const QString& role)
{
    // The facility's native key is already a file-name-safe, collision-free
    // form of the key; only its last component is used so that the lock is a
    // file in the temporary folder whatever the platform's key looks like.
    QSharedMemory keyOnly(key);
    const QString base = QFileInfo(keyOnly.nativeKey()).fileName();
    return QDir::tempPath() + QLatin1Char('/') + base + QLatin1Char('.') + role + QLatin1String(".lock");
}

InstanceLockState probeInstanceLock(const QString& key, const QString& role)
{
    const QString path = instanceLockPath(key, role);
    QLockFile probe(path);
    // A file whose holder has died is left in place: it is the only trace
    // that tells a crashed holder from a program that keeps no lock file.
    qint64 pid = 0;
    QString host, application;
    if (QFileInfo::exists(path) && probe.getLockInfo(&pid, &host, &application) && pid > 0 &&
        ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return InstanceLockState::Free;
    probe.setStaleLockTime(0); // only a dead owner makes the lock stale, never its age
    if (probe.tryLock(0)) {
        probe.unlock();
        return InstanceLockState::Free;
    }
    return probe.error() == QLockFile::LockFailedError ? InstanceLockState::Held : InstanceLockState::Unknown;
}
