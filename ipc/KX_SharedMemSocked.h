#ifndef TIVAKO_IPC_KX_SHAREDMEMSOCKED_H
#define TIVAKO_IPC_KX_SHAREDMEMSOCKED_H

// The loader's side of the block shared with the debug monitor. The thread
// watches the block every millisecond and turns the monitor's requests into
// signals; the accessors are called from the GUI thread. Every access goes
// through the block's system-wide lock, one field at a time.

#include <QLockFile>
#include <QSharedMemory>
#include <QString>
#include <QThread>

#include <atomic>
#include <mutex>

class KX_SharedMemSocked : public QThread
{
    Q_OBJECT

public:
    // Joins the block named Key or creates it, then starts the thread.
    explicit KX_SharedMemSocked(const QString& Key);
    // Stops the thread, withdraws a pending request and leaves the block.
    ~KX_SharedMemSocked() override;

    KX_SharedMemSocked(const KX_SharedMemSocked&) = delete;
    KX_SharedMemSocked& operator=(const KX_SharedMemSocked&) = delete;

    bool isStatusZuvodEriroraSet();
    bool isStatusProgrammingRequestSet();
    QString getPath2Hexfile();

    // true also takes this loader's instance lock, false releases it.
    void setStatusZuvodErirora(bool Status);
    void setStatusTivakoConnection(bool Status);
    void setNameOfConnectedDevice(const QString& Name);
    void setProgrammingResult(qint32 Result);

    // True when the block says a loader is present AND that loader is still
    // alive. A loader that crashed leaves its presence flag set in the block;
    // this tells such a stale mark apart from a running instance. Meant to be
    // asked right after construction, before setStatusZuvodErirora(true).
    bool isOtherLoaderRunning();

signals:
    void SIGNAL_ProgrammingRequestPendig();
    void SIGNAL_ProgrammingFinished(qint16 eResult);

protected:
    void run() override;
    void connectNotify(const QMetaMethod& signal) override;

private:
    bool lockBlock(const char* label, bool quiet = false);
    void unlockBlock();
    bool readFlag(const char* label, int offset);
    void writeFlag(const char* label, int offset, bool value);

    QSharedMemory m_SharedMemory;
    uchar* m_pSharedBlock;
    std::atomic<quint8> m_StatusZuvodErirora;
    quint8 m_LastProgrammingRequest;
    qint32 m_LastProgrammingResult;
    QString m_Key;
    std::atomic<quint8> m_Run;
    // Set once SIGNAL_ProgrammingRequestPendig has a receiver. The thread
    // runs from construction on, before the owner has connected; a request
    // that is already pending then must wait for the receiver, not be lost.
    std::atomic<bool> m_RequestHeard;
    // Set by the thread as its last step and read by the destructor after
    // wait(): an ordering that thread checkers can see (QThread::wait()
    // gives it inside the uninstrumented framework only).
    std::atomic<bool> m_RunFinished;

    // QSharedMemory keeps its "locked by me" state per object, so the GUI
    // thread and the watch thread must not use its lock at the same time:
    // this mutex serialises them in front of the system-wide lock. (A
    // standard mutex, so that thread checkers see the ordering it gives.)
    std::mutex m_BlockMutex;
    // Held while this loader is marked present; dies with the process.
    QLockFile m_InstanceLock;
};

#endif
