#ifndef TIVAKO_IPC_KX_SHAREDMEMSOCKED_H
#define TIVAKO_IPC_KX_SHAREDMEMSOCKED_H

// The loader's side of the block shared with the debug monitor. The thread
// watches the block every millisecond and turns the monitor's requests into
// signals; the accessors are called from the GUI thread. Every access goes
// through the block's system-wide lock, one field at a time, and waits for
// it a limited time only: a peer that holds it stalls nothing here.
//
// A block (or its lock) that is not this user's alone is not used at all:
// whoever could write it could have any file flashed.
//
// Of several loaders on one block only one serves it: the one that holds the
// loader lock file marks itself present and answers requests; the others
// stand by and take over when it has gone.

#include <QLockFile>
#include <QSharedMemory>
#include <QString>
#include <QSystemSemaphore>
#include <QThread>

#include <atomic>
#include <memory>
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

    // true takes this loader's instance lock and marks it present; while
    // another live loader holds that lock, this one stands by instead and
    // touches neither the flag nor requests. false releases both.
    void setStatusZuvodErirora(bool Status);
    void setStatusTivakoConnection(bool Status);
    void setNameOfConnectedDevice(const QString& Name);
    void setProgrammingResult(qint32 Result);

    // True when the block says a loader is present AND that loader is still
    // alive. A loader that crashed leaves its presence flag set in the block;
    // this tells such a stale mark apart from a running instance. Meant to be
    // asked right after construction, before setStatusZuvodErirora(true).
    bool isOtherLoaderRunning();

    // Why the block is not used (not this user's own, its lock held), or
    // empty when it is or when there simply is none.
    QString linkRefusal() const;
    // True while this loader serves the block's requests.
    bool isServing() const;

signals:
    void SIGNAL_ProgrammingRequestPendig();
    void SIGNAL_ProgrammingFinished(qint16 eResult);

protected:
    void run() override;
    void connectNotify(const QMetaMethod& signal) override;

private:
    bool lockBlock(const char* label, bool quiet = false);
    void unlockBlock();
    void refuseBlock(const char* label, const QString& why);
    // Lets go of the segment; when its lock cannot be had in time the
    // mapping is left to the process's end instead of waiting for it.
    void leaveBlock();
    // Takes the instance lock; expects m_ServeMutex held.
    bool tryToServe(int waitMs);
    bool readFlag(const char* label, int offset);
    void writeFlag(const char* label, int offset, bool value);

    std::unique_ptr<QSharedMemory> m_SharedMemory;
    int m_SemaphoreId;
    QString m_Refusal;
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
    // Used by the GUI thread and, while standing by, by the watch thread.
    QLockFile m_InstanceLock;
    // Serialises taking and giving up the service (instance lock, presence
    // flag) between the GUI thread and a take-over by the watch thread.
    std::mutex m_ServeMutex;
    // Another live loader serves the block: its requests and flag are not ours.
    std::atomic<bool> m_OtherLoaderServes;
    // Standing by: the watch thread takes over once that loader has gone.
    std::atomic<bool> m_StandingBy;
    // The block's lock as the facility keeps it (made here when missing,
    // and made anew when the program that made it has removed it on leaving).
    std::unique_ptr<QSystemSemaphore> m_Lock;
    // A busy lock is reported once per episode, not for every pass.
    std::atomic<bool> m_LockBusyReported;
};

#endif
