#ifndef TIVAKO_IPC_BLOCKIPC_H
#define TIVAKO_IPC_BLOCKIPC_H

// The System V objects behind a QSharedMemory block: the segment and the
// semaphore that serves as the block's system-wide lock. QSharedMemory can
// neither wait for its lock with a time limit nor tell who owns the block;
// these functions reach the same objects directly, so that every program
// that locks the block through QSharedMemory still shares the one lock.

#include <QString>

class QSharedMemory;

namespace BlockIpc {

// Id of the segment / of the lock's semaphore of memory's key, or -1 when
// there is none (yet).
int segmentId(const QSharedMemory& memory);
int semaphoreId(const QSharedMemory& memory);

// Empty when the object was created by and belongs to this process's
// effective user and nobody else may reach it; otherwise what is wrong.
QString foreignSegment(int shmid);
QString foreignSemaphore(int semid);

enum class LockResult {
    Locked,
    Busy, // somebody else held it for the whole time
    Gone, // the semaphore has been removed
    Failed,
};

// Takes the lock, waiting at most timeoutMs. The lock is undone by the
// kernel if the process dies holding it, as with QSharedMemory's own.
LockResult lockWithin(int semid, int timeoutMs);
void unlock(int semid);

} // namespace BlockIpc

#endif
