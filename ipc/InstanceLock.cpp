#include "ipc/InstanceLock.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSharedMemory>

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
    QLockFile probe(instanceLockPath(key, role));
    probe.setStaleLockTime(0); // only a dead owner makes the lock stale, never its age
    if (probe.tryLock(0)) {
        probe.unlock();
        return InstanceLockState::Free;
    }
    return probe.error() == QLockFile::LockFailedError ? InstanceLockState::Held : InstanceLockState::Unknown;
}
