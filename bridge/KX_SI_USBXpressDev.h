#ifndef TIVAKO_BRIDGE_KX_SI_USBXPRESSDEV_H
#define TIVAKO_BRIDGE_KX_SI_USBXPRESSDEV_H

// The program's only door to the USB-UART bridge: device list, open/close,
// send, flush, the reset and BOOT0 lines, the three console rings and the
// worker thread that polls the open link. The bootloader session's members
// are declared here too; they live in programming/.
//
// Threads: the object belongs to the GUI thread; run() and everything it
// calls execute on the worker thread. Shared state is made safe like this:
//  - flags are atomics;
//  - every bridge call that uses m_Handle, and every change of m_Handle or
//    m_Connected, happens under m_HandleLock, held for single library calls
//    only (never across a sleep or a whole cycle);
//  - the device list is rebuilt by the worker on a private copy and swapped
//    in under m_DeviceListLock; readers copy what they need under it;
//  - each ring has one writer side and atomic positions (release on write,
//    acquire on read); the message ring's two writers share
//    m_MsgWriteLock, and the receive ring's consumers (console, decoder,
//    bootloader session) share m_RxReadLock. A writer never overwrites
//    unread bytes: what does not fit is dropped and logged once per episode.

#include "bridge/BridgeLibrary.h"

#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QThread>

#include <atomic>
#include <chrono>
#include <mutex>

class KX_Debug_TLV_Server;

struct USBDeviceEntry
{
    QString Description;
    QString SerialNumber;
    quint16 DeviceNumber = 0;
    bool Present = false;
};

class KX_SI_USBXpressDev : public QThread
{
    Q_OBJECT

public:
    enum { kRingSize = 4096, kReadBufferSize = 4096 };

    // Bootloader states (m_BlState).
    enum {
        SM_FW_Idle = 0,
        SM_FW_ConvertHexFile = 1,
        SM_FW_EnterBootloaderSend = 2,
        SM_FW_EnterBootloaderReceive = 3,
        SM_FW_GetDeviceIDSend = 4,
        SM_FW_GetDeviceIDReceive = 5,
        SM_FW_EraseSend = 6,
        SM_FW_EraseReceive = 7,
        SM_FW_GlobalEraseSend = 8,
        SM_FW_GlobalEraseReceive = 9,
        SM_FW_WriteFileStart = 10,
        SM_FW_WriteFileSendCMD = 11,
        SM_FW_WriteFileReceiveCMD = 12,
        SM_FW_WriteFileSendAddr = 13,
        SM_FW_WriteFileReceiveAddr = 14,
        SM_FW_WriteFileSendData = 15,
        SM_FW_WriteFileReceiveData = 16,
        SM_FW_Finish = 17,
    };

    // Starts the worker thread at once.
    KX_SI_USBXpressDev();
    // Builds the object without starting the worker; the caller then drives
    // the loop itself with runWorkerCycle() on its own thread (the suites), or
    // only lists the devices once with fillListOfDevice() (tivako-flash).
    struct ManualCycles
    {
    };
    explicit KX_SI_USBXpressDev(ManualCycles);
    ~KX_SI_USBXpressDev() override;

    // ---- device list ----
    void fillListOfDevice();
    QStringList getDeviceList();

    // ---- link ----
    int openDevice(quint16 index);
    int closeDev(bool announce = false);
    bool isConnected();
    quint16 sendData(const char* data, quint16 length);
    int flushBuffers();
    int setReset(bool active);
    int setBoot0(bool active);
    // True when the board has been let out of reset afterwards.
    bool SetBootModeTivako(bool boot);
    void resetBoard();
    void setTLVMode(bool tlv);

    // ---- rings ----
    quint16 getRxCount();
    quint16 getMsgCount();
    quint16 getTlvCount();
    quint8 getRxByte(quint8* byte);
    quint8 getMsgByte(quint8* byte);
    quint8 getTlvByte(quint8* byte);

    // Appends bytes to the message ring; safe from any thread. Returns how
    // many were stored (the rest did not fit and was dropped with one error
    // line per overflow episode). Does not emit anything.
    quint16 writeMsgRing(const char* data, quint32 length);

    // ---- bootloader session (programming/) ----
    void putMsgLine(QString text);
    void putMsgText(QString text, bool lineBreak);
    void WriteFirmware_Handler();
    qint8 ConvertHex2BinFile(QFile* hexFile, QTemporaryFile* binFile);
    // For callers without a window (tivako-flash), from any thread: ends an
    // armed or running session through the failure ending, which resets the
    // board into its own firmware; the finish signal says -1. Does nothing
    // when no session is armed or its finish has already gone out.
    void abortFirmwareUpdate();
    // True from an accepted or refused start request until the session has
    // handed the board back (after its finish signal the ending still resets
    // the board); the link may be closed only once this is false.
    bool firmwareUpdateActive();

private:
    // A start request travels from the slot (GUI thread) to the session
    // (worker thread) through this one-entry mailbox; the worker takes it at
    // its next step, so the session's fields stay the worker's alone.
    enum BlRequestKind { BlNoRequest, BlAcceptedRequest, BlRefusedRequest, BlAbortRequest };
    std::mutex m_BlRequestLock;
    int m_BlRequest = BlNoRequest;    // under m_BlRequestLock
    QString m_BlRequestPath;          // under m_BlRequestLock
    bool m_BlRequestArmsAnew = false; // under m_BlRequestLock: the request armed an idle device
    bool m_BlFinishSent = false;      // under m_BlRequestLock: the session's finish has gone out
    void blTakeRequest();
    void blMarkFinishSent();
    void blReleaseSession();
    void blEndSession(qint8 result);
    void blDropReceived(bool logEachByte);
    // The reply wait ran out and no reply moved the session on.
    bool blWaitRanOut() const;
    void blReplyTimeout(const char* stateName);
    bool blWritePhaseAck(const char* stateName);
    void blSendDataBlock();
    void blStep();
    void blArmTimeout(quint16 ms);
    bool blStepReady();

public:
    // ---- worker ----
    // One pass of the worker loop without its wait. run() calls it; with
    // ManualCycles a test calls it instead.
    void runWorkerCycle();

signals:
    void SIGNAL_newDataAvailable(quint8 DataType);
    void SIGNAL_connectionClosed();
    void SIGNAL_newDeviceListAvailable();
    void SIGNAL_FirmwareWriteFinish(qint8 Result);

public slots:
    void SLOT_StartFirmwareUpdate(QString Path2HexFile);

protected:
    void run() override;
    void connectNotify(const QMetaMethod& signal) override;

private:
    explicit KX_SI_USBXpressDev(bool startWorker);

    quint32 getNumUSBdevs();
    int getDeviceInfo(USBDeviceEntry* candidate);
    quint16 BytesAvailable();
    void ReadData(quint16 bytesWaiting);
    void handOnReceived();
    // The open handle's device is gone (unplugged, or its reader gave up):
    // closed and announced at once, as a removal is.
    void linkLost(const char* label);
    void bootloaderStep();
    void announceDeviceList();
    void waitForWork();

protected:
    KX_Debug_TLV_Server* m_TLVServer;
    quint8 m_RxBuffer[kRingSize];
    std::atomic<quint16> m_RxReadIndex;
    std::atomic<quint16> m_RxWriteIndex;
    quint8 m_MsgBuffer[kRingSize];
    std::atomic<quint16> m_MsgReadIndex;
    std::atomic<quint16> m_MsgWriteIndex;
    quint8 m_TlvBuffer[kRingSize];
    std::atomic<quint16> m_TlvReadIndex;
    std::atomic<quint16> m_TlvWriteIndex;
    std::atomic<bool> m_Connected;
    BRIDGE_HANDLE m_Handle; // only under m_HandleLock
    std::atomic<bool> m_Running;
    std::atomic<qint16> m_OpenDeviceNumber;
    std::chrono::steady_clock::time_point m_RefreshDue; // worker only: next device-list refresh
    QList<USBDeviceEntry> m_DeviceList;                 // written by the worker only, swapped under m_DeviceListLock
    bool m_DeviceListChanged;                           // worker only
    std::atomic<bool> m_BootloaderActive;
    QString m_HexFilePath;
    quint16 m_BlTimeout;
    qint16 m_BlRetries;
    QFile m_HexFwFile;
    QTemporaryFile m_BinFile;
    quint16 m_BlBlocksLeft;
    quint32 m_BlBytesLeft;
    quint32 m_BlWriteAddress;
    std::atomic<bool> m_TLVMode;
    int m_BlState;

    // Synchronisation and bookkeeping beyond the fields above.
    std::mutex m_HandleLock;
    std::mutex m_DeviceListLock;
    std::mutex m_MsgWriteLock;
    std::mutex m_RxReadLock;
    QString m_OpenSerialNumber;           // identity of the device opened last; under m_HandleLock
    bool m_RxOverflow;                    // worker only
    bool m_TlvOverflow;                   // worker only
    bool m_MsgOverflow;                   // under m_MsgWriteLock
    quint8 m_ReadBuffer[kReadBufferSize]; // the worker's read buffer
    // The worker sleeps on this until the link, the host or a deadline has
    // work for it.
    BridgeWakeListener m_Wake;
    bool m_RxLeftInBridge = false;                      // worker only: the last read left bytes behind
    bool m_BlProgressed = false;                        // worker only: the last session step took bytes or moved on
    bool m_RefreshNow = false;                          // worker only: a device arrived or left
    std::chrono::steady_clock::time_point m_BlDeadline; // worker only: when the reply wait ends
    // Raised by the worker as its very last step; the destructor reads it
    // after wait(), so everything the worker did is ordered before the
    // members are torn down, visibly to thread checkers too.
    std::atomic<bool> m_WorkerFinished{false};
};

#endif
