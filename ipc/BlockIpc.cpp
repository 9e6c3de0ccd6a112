#include "ipc/BlockIpc.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSharedMemory>

#include <cerrno>
#include <ctime>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

namespace BlockIpc {

namespace {

// QSharedMemory derives the file names of its segment and of its lock from
// the key in the same way and differs only in the prefix.
const char kSegmentPrefix[] = "qipc_sharedmemory_";
const char kSemaphorePrefix[] = "qipc_systemsem_";
// The project id that QSharedMemory gives ftok for both objects.
const int kProjectId = 'Q';

key_t ipcKey(const QString& keyFile)
{
    if (keyFile.isEmpty())
        return key_t(-1);
    return ::ftok(QFile::encodeName(keyFile).constData(), kProjectId);
}

QString semaphoreKeyFile(const QSharedMemory& memory)
{
    const QString native = memory.nativeKey();
    const QFileInfo info(native);
    QString name = info.fileName();
    if (!name.startsWith(QLatin1String(kSegmentPrefix)))
        return QString();
    name.replace(0, int(sizeof(kSegmentPrefix)) - 1, QLatin1String(kSemaphorePrefix));
    return info.path() + QLatin1Char('/') + name;
}

QString foreignPermissions(const ipc_perm& perm)
{
    const uid_t me = ::geteuid();
    if (perm.uid != me)
        return QStringLiteral("owned by user %1").arg(perm.uid);
    if (perm.cuid != me)
        return QStringLiteral("created by user %1").arg(perm.cuid);
    if ((perm.mode & 077) != 0)
        return QStringLiteral("open to others (mode %1)").arg(perm.mode & 0777, 3, 8, QLatin1Char('0'));
    return QString();
}

} // namespace

int segmentId(const QSharedMemory& memory)
{
    const key_t key = ipcKey(memory.nativeKey());
    return key == key_t(-1) ? -1 : ::shmget(key, 0, 0);
}

int semaphoreId(const QSharedMemory& memory)
{
    const key_t key = ipcKey(semaphoreKeyFile(memory));
    return key == key_t(-1) ? -1 : ::semget(key, 1, 0);
}

QString foreignSegment(int shmid)
{
    shmid_ds ds;
    if (shmid < 0 || ::shmctl(shmid, IPC_STAT, &ds) != 0)
        return QStringLiteral("its segment cannot be examined");
    const QString why = foreignPermissions(ds.shm_perm);
    return why.isEmpty() ? why : QStringLiteral("its segment is ") + why;
}

QString foreignSemaphore(int semid)
{
    semid_ds ds;
    if (semid < 0 || ::semctl(semid, 0, IPC_STAT, &ds) != 0)
        return QStringLiteral("its lock cannot be examined");
    const QString why = foreignPermissions(ds.sem_perm);
    return why.isEmpty() ? why : QStringLiteral("its lock is ") + why;
}

LockResult lockWithin(int semid, int timeoutMs)
{
    if (semid < 0)
        return LockResult::Gone;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = qMax<qint64>(0, timeoutMs - clock.elapsed());
        timespec wait;
        wait.tv_sec = static_cast<time_t>(left / 1000);
        wait.tv_nsec = static_cast<long>(left % 1000) * 1000000L;
        sembuf take;
        take.sem_num = 0;
        take.sem_op = -1;
        take.sem_flg = SEM_UNDO; // as QSharedMemory's lock: a dead holder releases it
        if (::semtimedop(semid, &take, 1, &wait) == 0)
            return LockResult::Locked;
        if (errno == EINTR && clock.elapsed() < timeoutMs)
            continue;
        if (errno == EAGAIN || errno == EINTR)
            return LockResult::Busy;
        if (errno == EIDRM || errno == EINVAL)
            return LockResult::Gone;
        return LockResult::Failed;
    }
}

void unlock(int semid)
{
    sembuf give;
    give.sem_num = 0;
    give.sem_op = 1;
    give.sem_flg = SEM_UNDO;
    int result;
    do {
        result = ::semop(semid, &give, 1);
    } while (result != 0 && errno == EINTR);
}

} // namespace BlockIpc
