#include "ipc/KX_SharedMemSocked.h"

#include "app/Log.h"
#include "ipc/BlockIpc.h"
#include "ipc/InstanceLock.h"
#include "ipc/SharedBlock.h"

#include <QMetaMethod>
#include <QSystemSemaphore>

#include <limits>
#include <vector>

namespace {

// A probe of another program holds the instance lock for a moment only; a
// short wait rides over it without delaying start-up noticeably.
constexpr int kInstanceLockWaitMs = 200;
// Longest wait for the block's lock. A peer holds it for a few field reads;
// one that holds it longer is stuck or hostile, and the pass is skipped.
constexpr int kBlockLockWaitMs = 100;
// How often a loader that stands by looks whether it can serve.
constexpr int kStandByCheckMs = 250;

qint16 toSignalValue(qint32 result)
{
    return static_cast<qint16>(
        qBound<qint32>(std::numeric_limits<qint16>::min(), result, std::numeric_limits<qint16>::max()));
}

// Mappings that were left to the process's end because their lock could not
// be had in time; kept reachable so that they do not count as leaks.
std::mutex g_LeftMappingsMutex;
std::vector<std::unique_ptr<QSharedMemory>>& leftMappings()
{
    static std::vector<std::unique_ptr<QSharedMemory>> left;
    return left;
}

} // namespace

using namespace SharedBlock;

KX_SharedMemSocked::KX_SharedMemSocked(const QString& Key)
    : m_SharedMemory(std::make_unique<QSharedMemory>(Key)), m_SemaphoreId(-1), m_pSharedBlock(nullptr),
      m_StatusZuvodErirora(0), m_LastProgrammingRequest(0), m_LastProgrammingResult(0), m_Key(Key), m_Run(1),
      m_RequestHeard(false), m_RunFinished(false), m_InstanceLock(instanceLockPath(Key, QLatin1String(kLoaderLockRole))),
      m_OtherLoaderServes(false), m_StandingBy(false), m_LockBusyReported(false)
{
    const char* label = "KX_SharedMemSocked::KX_SharedMemSocked";
    m_InstanceLock.setStaleLockTime(0); // held for the loader's whole life; only its death frees it

    // The lock comes first: QSharedMemory takes it, without a time limit,
    // to attach, create and detach.
    m_Lock = std::make_unique<QSystemSemaphore>(Key, 1, QSystemSemaphore::Open);
    m_SemaphoreId = BlockIpc::semaphoreId(*m_SharedMemory);
    const QString foreignLock = BlockIpc::foreignSemaphore(m_SemaphoreId);
    if (!foreignLock.isEmpty()) {
        refuseBlock(label, foreignLock);
    } else if (BlockIpc::lockWithin(m_SemaphoreId, kBlockLockWaitMs) != BlockIpc::LockResult::Locked) {
        refuseBlock(label, QStringLiteral("its lock is held by another process"));
    } else {
        BlockIpc::unlock(m_SemaphoreId);
        if (m_SharedMemory->attach(QSharedMemory::ReadWrite)) {
            const QString foreign = BlockIpc::foreignSegment(BlockIpc::segmentId(*m_SharedMemory));
            if (!foreign.isEmpty()) {
                refuseBlock(label, foreign);
                leaveBlock();
            } else if (m_SharedMemory->size() < kBlockSize) {
                // Another program's block under this key: using it would
                // reach past its end.
                logError(label, "Sharedmemory too small: %d Bytes", m_SharedMemory->size());
                leaveBlock();
            } else {
                m_pSharedBlock = static_cast<uchar*>(m_SharedMemory->data());
                logStatus(label, "Join Sharedmemory %d Bytes", m_SharedMemory->size());
            }
        } else if (m_SharedMemory->error() == QSharedMemory::PermissionDenied) {
            refuseBlock(label, QStringLiteral("its segment belongs to another user"));
        }
        if (!m_pSharedBlock && m_Refusal.isEmpty()) {
            if (m_SharedMemory->create(kBlockSize, QSharedMemory::ReadWrite))
                m_pSharedBlock = static_cast<uchar*>(m_SharedMemory->data());
            else
                logError(label, "Unabel to create Sharedmomory");
            logStatus(label, "Create Sharedmemory %d Bytes", m_pSharedBlock ? m_SharedMemory->size() : 0);
            if (m_pSharedBlock) {
                const QString foreign = BlockIpc::foreignSegment(BlockIpc::segmentId(*m_SharedMemory));
                if (!foreign.isEmpty()) {
                    m_pSharedBlock = nullptr;
                    refuseBlock(label, foreign);
                    leaveBlock();
                }
            }
            if (m_pSharedBlock && lockBlock(label)) {
                writeByte(m_pSharedBlock, kStatusZuvodErirora, 0);
                writeProgrammingResult(m_pSharedBlock, 0);
                writeByte(m_pSharedBlock, kProgrammingRequest, 0);
                writeByte(m_pSharedBlock, kStatusTivakoConnection, 0);
                writeByte(m_pSharedBlock, kPath2Hexfile, 0);
                unlockBlock();
            }
        }
    }
    start();
}

KX_SharedMemSocked::~KX_SharedMemSocked()
{
    const char* label = "KX_SharedMemSocked::~KX_SharedMemSocked";
    m_Run.store(0);
    wait();
    m_RunFinished.load(std::memory_order_acquire);
    if (m_pSharedBlock) {
        // Only the loader that serves the block withdraws a request: one
        // that stands by leaves the serving loader's request alone.
        if (!m_OtherLoaderServes.load() && lockBlock(label)) {
            if (readByte(m_pSharedBlock, kProgrammingRequest) != 0) {
                writeByte(m_pSharedBlock, kProgrammingRequest, 0);
                logError(label, "Kill Pending");
            }
            unlockBlock();
        }
        m_pSharedBlock = nullptr;
        leaveBlock();
        logStatus(label, "Detach SharedMemory");
    }
    std::lock_guard<std::mutex> serve(m_ServeMutex);
    if (m_InstanceLock.isLocked())
        m_InstanceLock.unlock();
}

void KX_SharedMemSocked::refuseBlock(const char* label, const QString& why)
{
    m_Refusal = QStringLiteral("the shared block \"%1\" is not used: %2").arg(m_Key, why);
    logError(label, "Sharedmemory \"%s\" not used, %s", qUtf8Printable(m_Key), qUtf8Printable(why));
}

void KX_SharedMemSocked::leaveBlock()
{
    if (!m_SharedMemory->isAttached())
        return;
    // QSharedMemory::detach() waits for the lock without a limit.
    if (BlockIpc::lockWithin(m_SemaphoreId, kBlockLockWaitMs) == BlockIpc::LockResult::Locked) {
        BlockIpc::unlock(m_SemaphoreId);
        m_SharedMemory->detach();
        return;
    }
    logError("KX_SharedMemSocked::leaveBlock", "Sharedmemory lock held by another process; left to the end of the program");
    std::lock_guard<std::mutex> lock(g_LeftMappingsMutex);
    leftMappings().push_back(std::move(m_SharedMemory));
    m_SharedMemory = std::make_unique<QSharedMemory>();
}

QString KX_SharedMemSocked::linkRefusal() const
{
    return m_Refusal;
}

bool KX_SharedMemSocked::isServing() const
{
    return m_StatusZuvodErirora.load() != 0;
}

bool KX_SharedMemSocked::lockBlock(const char* label, bool quiet)
{
    if (!m_pSharedBlock) {
        logError(label, "Sharedmemory not set!");
        return false;
    }
    m_BlockMutex.lock();
    BlockIpc::LockResult result = BlockIpc::lockWithin(m_SemaphoreId, kBlockLockWaitMs);
    if (result == BlockIpc::LockResult::Gone) {
        // The loader that made the lock has removed it on leaving; the
        // facility makes it anew (as any of its users would), and it is
        // ours only when it passes the same test as at the start.
        m_Lock.reset(); // first: the old object removes the key file it made
        m_Lock = std::make_unique<QSystemSemaphore>(m_Key, 1, QSystemSemaphore::Open);
        m_SemaphoreId = BlockIpc::semaphoreId(*m_SharedMemory);
        if (BlockIpc::foreignSemaphore(m_SemaphoreId).isEmpty())
            result = BlockIpc::lockWithin(m_SemaphoreId, kBlockLockWaitMs);
    }
    if (result != BlockIpc::LockResult::Locked) {
        if (!quiet && !m_LockBusyReported.exchange(true))
            logError(label, "Sharedmemory lock not free within %d ms, skipped", kBlockLockWaitMs);
        m_BlockMutex.unlock();
        return false;
    }
    m_LockBusyReported.store(false);
    return true;
}

void KX_SharedMemSocked::unlockBlock()
{
    BlockIpc::unlock(m_SemaphoreId);
    m_BlockMutex.unlock();
}

bool KX_SharedMemSocked::readFlag(const char* label, int offset)
{
    if (!lockBlock(label))
        return false;
    const bool set = readByte(m_pSharedBlock, offset) != 0;
    unlockBlock();
    return set;
}

void KX_SharedMemSocked::writeFlag(const char* label, int offset, bool value)
{
    if (!lockBlock(label))
        return;
    writeByte(m_pSharedBlock, offset, value ? 1 : 0);
    unlockBlock();
}

bool KX_SharedMemSocked::isStatusZuvodEriroraSet()
{
    return readFlag("KX_SharedMemSocked::isStatusZuvodEriroraSet", kStatusZuvodErirora);
}

bool KX_SharedMemSocked::isStatusProgrammingRequestSet()
{
    return readFlag("KX_SharedMemSocked::isStatusProgrammingRequestSet", kProgrammingRequest);
}

QString KX_SharedMemSocked::getPath2Hexfile()
{
    const char* label = "KX_SharedMemSocked::getPath2Hexfile";
    if (!lockBlock(label))
        return QString();
    bool valid = false;
    const QString path = readPath2Hexfile(m_pSharedBlock, &valid);
    unlockBlock();
    if (!valid)
        logError(label, "Path2Hexfile not terminated inside its %d Bytes", int(kPath2HexfileSize));
    return path;
}

bool KX_SharedMemSocked::tryToServe(int waitMs)
{
    if (m_InstanceLock.isLocked())
        return true;
    if (m_InstanceLock.tryLock(waitMs))
        return true;
    // A lock file that cannot be examined says nothing about other loaders.
    return m_InstanceLock.error() != QLockFile::LockFailedError;
}

void KX_SharedMemSocked::setStatusZuvodErirora(bool Status)
{
    const char* label = "KX_SharedMemSocked::setStatusZuvodErirora";
    if (!m_pSharedBlock) {
        logError(label, "Sharedmemory not set!");
        return;
    }
    std::lock_guard<std::mutex> serve(m_ServeMutex);
    if (Status && !tryToServe(kInstanceLockWaitMs)) {
        // Another live loader serves the block; its flag and its requests
        // are left to it.
        logStatus(label, "Instance lock held by another loader, standing by");
        m_OtherLoaderServes.store(true);
        m_StandingBy.store(true);
        return;
    }
    m_StandingBy.store(false);
    if (!Status && m_StatusZuvodErirora.load() == 0)
        return; // never marked present: the flag is somebody else's
    m_OtherLoaderServes.store(false);
    if (!lockBlock(label)) {
        // A busy lock must not leave a loader unannounced for good: the link
        // thread marks it present on one of its next passes.
        if (Status)
            m_StandingBy.store(true);
        return;
    }
    writeByte(m_pSharedBlock, kStatusZuvodErirora, Status ? 1 : 0);
    unlockBlock();
    m_StatusZuvodErirora.store(Status ? 1 : 0);
    if (!Status && m_InstanceLock.isLocked())
        m_InstanceLock.unlock();
}

void KX_SharedMemSocked::setStatusTivakoConnection(bool Status)
{
    writeFlag("KX_SharedMemSocked::setStatusTivakoConnection", kStatusTivakoConnection, Status);
}

void KX_SharedMemSocked::setNameOfConnectedDevice(const QString& Name)
{
    const char* label = "KX_SharedMemSocked::setNameOfConnectedDevice";
    if (!lockBlock(label))
        return;
    const QByteArray utf8 = Name.toUtf8();
    const int written = writeText(m_pSharedBlock, kNameOfConnectedDevice, kNameOfConnectedDeviceSize, utf8);
    unlockBlock();
    if (written < utf8.size())
        logError(label, "Name cut to %d of %d Bytes", written, utf8.size());
}

void KX_SharedMemSocked::setProgrammingResult(qint32 Result)
{
    if (!lockBlock("KX_SharedMemSocked::setProgrammingResult"))
        return;
    writeProgrammingResult(m_pSharedBlock, Result);
    unlockBlock();
}

bool KX_SharedMemSocked::isOtherLoaderRunning()
{
    const char* label = "KX_SharedMemSocked::isOtherLoaderRunning";
    if (!readFlag(label, kStatusZuvodErirora))
        return false;
    {
        // Holding the lock ourselves means no live loader held it when we
        // marked ourselves present: the flag is our own.
        std::lock_guard<std::mutex> serve(m_ServeMutex);
        if (m_InstanceLock.isLocked())
            return false;
    }
    switch (probeInstanceLock(m_Key, QLatin1String(kLoaderLockRole))) {
    case InstanceLockState::Free:
        logStatus(label, "Presence mark left by a loader that has ended");
        return false;
    case InstanceLockState::Held:
        return true;
    case InstanceLockState::Unknown:
        break;
    }
    return true; // cannot tell: believe the block
}

void KX_SharedMemSocked::connectNotify(const QMetaMethod& signal)
{
    if (signal == QMetaMethod::fromSignal(&KX_SharedMemSocked::SIGNAL_ProgrammingRequestPendig))
        m_RequestHeard.store(true);
    QThread::connectNotify(signal);
}

void KX_SharedMemSocked::run()
{
    const char* label = "KX_SharedMemSocked::run";
    logStatus(label, "Thread Start");
    bool lockFailing = false;
    int standByCountdown = kStandByCheckMs;
    int sleptMs = 0;
    while (m_Run.load()) {
        if (m_pSharedBlock && m_StandingBy.load() && (standByCountdown -= sleptMs) <= 0) {
            standByCountdown = kStandByCheckMs;
            std::lock_guard<std::mutex> serve(m_ServeMutex);
            // The loader that served the block has gone: this one takes over.
            if (m_StandingBy.load() && tryToServe(0) && lockBlock(label)) {
                writeByte(m_pSharedBlock, kStatusZuvodErirora, 1);
                unlockBlock();
                m_StandingBy.store(false);
                m_OtherLoaderServes.store(false);
                m_StatusZuvodErirora.store(1);
                logStatus(label, "Serving the block now");
            }
        }
        // At rest the block is looked at every 20 ms; from a request until its
        // result has been reset, every millisecond, so the exchange's edges
        // are seen as promptly as ever.
        bool exchangeInFlight = false;
        if (m_pSharedBlock) {
            if (lockBlock(label, lockFailing)) {
                lockFailing = false;
                // Requests are served only by the loader marked present.
                const bool serving = m_StatusZuvodErirora.load() != 0;
                const WatchEvents events = watchPass(m_pSharedBlock, m_LastProgrammingRequest, m_LastProgrammingResult,
                                                     serving, m_RequestHeard.load() && serving);
                exchangeInFlight = SharedBlock::readByte(m_pSharedBlock, SharedBlock::kProgrammingRequest) == 1 ||
                                   SharedBlock::readProgrammingResult(m_pSharedBlock) != 0 ||
                                   m_LastProgrammingResult != 0;
                unlockBlock();
                // Emitted after the lock is released, so that a receiver
                // connected directly may call the accessors.
                if (events.requestPending)
                    emit SIGNAL_ProgrammingRequestPendig();
                if (events.finished) {
                    emit SIGNAL_ProgrammingFinished(toSignalValue(events.result));
                    logStatus(label, "Send SIGNAL Prog Finished");
                }
                if (events.idleReset)
                    logStatus(label, "Set to Idel-Mode");
            } else {
                lockFailing = true; // reported once, not every millisecond
            }
        }
        sleptMs = exchangeInFlight ? 1 : 20;
        msleep(static_cast<unsigned long>(sleptMs));
    }
    logStatus(label, "Thread END");
    m_RunFinished.store(true, std::memory_order_release);
}
