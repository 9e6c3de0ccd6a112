#include "ipc/KX_SharedMemSocked.h"

#include "app/Log.h"
#include "ipc/InstanceLock.h"
#include "ipc/SharedBlock.h"

#include <QMetaMethod>

#include <limits>

namespace {

// A probe of another program holds the instance lock for a moment only; a
// short wait rides over it without delaying start-up noticeably.
constexpr int kInstanceLockWaitMs = 200;

qint16 toSignalValue(qint32 result)
{
    return static_cast<qint16>(
        qBound<qint32>(std::numeric_limits<qint16>::min(), result, std::numeric_limits<qint16>::max()));
}

} // namespace

using namespace SharedBlock;

KX_SharedMemSocked::KX_SharedMemSocked(const QString& Key)
    : m_SharedMemory(Key), m_pSharedBlock(nullptr), m_StatusZuvodErirora(0), m_LastProgrammingRequest(0),
      m_LastProgrammingResult(0), m_Key(Key), m_Run(1), m_RequestHeard(false), m_RunFinished(false),
      m_InstanceLock(instanceLockPath(Key, QLatin1String(kLoaderLockRole)))
{
    const char* label = "KX_SharedMemSocked::KX_SharedMemSocked";
    m_InstanceLock.setStaleLockTime(0); // held for the loader's whole life; only its death frees it

    if (m_SharedMemory.attach(QSharedMemory::ReadWrite)) {
        if (m_SharedMemory.size() >= kBlockSize) {
            m_pSharedBlock = static_cast<uchar*>(m_SharedMemory.data());
            logStatus(label, "Join Sharedmemory %d Bytes", m_SharedMemory.size());
        } else {
            // Another program's block under this key: using it would reach
            // past its end.
            logError(label, "Sharedmemory too small: %d Bytes", m_SharedMemory.size());
            m_SharedMemory.detach();
        }
    }
    if (!m_pSharedBlock) {
        if (m_SharedMemory.create(kBlockSize, QSharedMemory::ReadWrite))
            m_pSharedBlock = static_cast<uchar*>(m_SharedMemory.data());
        else
            logError(label, "Unabel to create Sharedmomory");
        logStatus(label, "Create Sharedmemory %d Bytes", m_pSharedBlock ? m_SharedMemory.size() : 0);
        if (m_pSharedBlock && lockBlock(label)) {
            writeByte(m_pSharedBlock, kStatusZuvodErirora, 0);
            writeProgrammingResult(m_pSharedBlock, 0);
            writeByte(m_pSharedBlock, kProgrammingRequest, 0);
            writeByte(m_pSharedBlock, kStatusTivakoConnection, 0);
            writeByte(m_pSharedBlock, kPath2Hexfile, 0);
            unlockBlock();
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
        // The monitor may be writing at this moment, so the lock is taken
        // when it can be; a broken lock must not keep the request pending.
        const bool locked = lockBlock(label);
        if (readByte(m_pSharedBlock, kProgrammingRequest) != 0) {
            writeByte(m_pSharedBlock, kProgrammingRequest, 0);
            logError(label, "Kill Pending");
        }
        if (locked)
            unlockBlock();
        m_pSharedBlock = nullptr;
        m_SharedMemory.detach();
        logStatus(label, "Detach SharedMemory");
    }
    if (m_InstanceLock.isLocked())
        m_InstanceLock.unlock();
}

bool KX_SharedMemSocked::lockBlock(const char* label, bool quiet)
{
    if (!m_pSharedBlock) {
        logError(label, "Sharedmemory not set!");
        return false;
    }
    m_BlockMutex.lock();
    if (!m_SharedMemory.lock()) {
        if (!quiet)
            logError(label, "Unable to lock Sharedmemory: %s", qUtf8Printable(m_SharedMemory.errorString()));
        m_BlockMutex.unlock();
        return false;
    }
    return true;
}

void KX_SharedMemSocked::unlockBlock()
{
    m_SharedMemory.unlock();
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

void KX_SharedMemSocked::setStatusZuvodErirora(bool Status)
{
    const char* label = "KX_SharedMemSocked::setStatusZuvodErirora";
    if (!m_pSharedBlock) {
        logError(label, "Sharedmemory not set!");
        return;
    }
    if (Status && !m_InstanceLock.isLocked() && !m_InstanceLock.tryLock(kInstanceLockWaitMs))
        logStatus(label, "Instance lock held by another loader");
    if (!lockBlock(label))
        return;
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
    // Holding the lock ourselves means no live loader held it when we
    // marked ourselves present: the flag is our own.
    if (m_InstanceLock.isLocked())
        return false;
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
    while (m_Run.load()) {
        // At rest the block is looked at every 20 ms; from a request until its
        // result has been reset, every millisecond, so the exchange's edges
        // are seen as promptly as ever.
        bool exchangeInFlight = false;
        if (m_pSharedBlock) {
            if (lockBlock(label, lockFailing)) {
                lockFailing = false;
                const WatchEvents events = watchPass(m_pSharedBlock, m_LastProgrammingRequest, m_LastProgrammingResult,
                                                     m_StatusZuvodErirora.load() != 0, m_RequestHeard.load());
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
        msleep(exchangeInFlight ? 1 : 20);
    }
    logStatus(label, "Thread END");
    m_RunFinished.store(true, std::memory_order_release);
}
