// The STM32 ROM-bootloader session of the bridge device: the start slot and
// the state machine that the worker loop steps once per cycle.
//
// Thread roles: SLOT_StartFirmwareUpdate runs on the GUI thread and touches
// only the request mailbox, the message ring and m_BootloaderActive; every
// other session field belongs to the worker thread. A request is stored in
// the mailbox and m_BootloaderActive is raised under the same lock, and the
// worker clears the flag under that lock only when no request waits, so a
// request can never be lost between the end of one session and the next.

#include "bridge/KX_SI_USBXpressDev.h"

#include "app/Log.h"
#include "programming/RegularFile.h"

#include <chrono>
#include <mutex>

namespace {

const char kLabel[] = "KX_SI_USBXpressDev::WriteFirmware_Handler";

constexpr quint8 kAck = 0x79;
constexpr quint8 kNack = 0x1f;
constexpr quint16 kSupportedProductId = 0x0410;
constexpr quint32 kFlashBase = 0x08000000;
constexpr quint32 kBlockBytes = 256;
// The bootloader programs whole words: a short last block is filled up to
// the next multiple of four with the erased value.
constexpr quint32 kWriteAlignment = 4;
constexpr quint8 kErasedByte = 0xFF;

// Reply time-outs in milliseconds: what a hundred, a thousand and five
// thousand cycles of the millisecond polling loop lasted at the least. The
// worker now sleeps until a reply or the deadline, so they run on the clock.
constexpr quint16 kSyncTimeout = 100;
constexpr quint16 kCommandTimeout = 1000;
constexpr quint16 kDataTimeout = 5000;

constexpr qint16 kRetriesUnarmed = -1;
constexpr qint16 kRetriesArmed = 5;

bool isWaitingState(int state)
{
    switch (state) {
    case KX_SI_USBXpressDev::SM_FW_EnterBootloaderReceive:
    case KX_SI_USBXpressDev::SM_FW_GetDeviceIDReceive:
    case KX_SI_USBXpressDev::SM_FW_EraseReceive:
    case KX_SI_USBXpressDev::SM_FW_GlobalEraseReceive:
    case KX_SI_USBXpressDev::SM_FW_WriteFileReceiveCMD:
    case KX_SI_USBXpressDev::SM_FW_WriteFileReceiveAddr:
    case KX_SI_USBXpressDev::SM_FW_WriteFileReceiveData:
        return true;
    default:
        return false;
    }
}

bool isSendingState(int state)
{
    switch (state) {
    case KX_SI_USBXpressDev::SM_FW_EnterBootloaderSend:
    case KX_SI_USBXpressDev::SM_FW_GetDeviceIDSend:
    case KX_SI_USBXpressDev::SM_FW_EraseSend:
    case KX_SI_USBXpressDev::SM_FW_GlobalEraseSend:
    case KX_SI_USBXpressDev::SM_FW_WriteFileSendCMD:
    case KX_SI_USBXpressDev::SM_FW_WriteFileSendAddr:
    case KX_SI_USBXpressDev::SM_FW_WriteFileSendData:
        return true;
    default:
        return false;
    }
}

QString red(const QString& message)
{
    return QStringLiteral("\x1b[31m") + message + QStringLiteral("\x1b[0m");
}

} // namespace

void KX_SI_USBXpressDev::SLOT_StartFirmwareUpdate(QString Path2HexFile)
{
    bool accepted = false;
    if (!m_Connected.load(std::memory_order_acquire)) {
        putMsgLine(red(QStringLiteral("Bootloader Fail -> Device not connected!!")));
    } else {
        // Opened without blocking and checked as opened: a FIFO or a device
        // under the path must not hold the GUI thread or the worker.
        if (!isReadableRegularFile(Path2HexFile)) {
            // The console reads HTML; the path is shown as text.
            putMsgLine(red(QStringLiteral("Hex-File not found under-> \"") + Path2HexFile.toHtmlEscaped() +
                           QStringLiteral("\"")));
        } else {
            putMsgLine(QStringLiteral("<br>Bootloader Start!!"));
            accepted = true;
        }
    }

    std::lock_guard<std::mutex> lock(m_BlRequestLock);
    const bool armsAnew = !m_BootloaderActive.load(std::memory_order_acquire);
    if (accepted) {
        m_BlRequest = BlAcceptedRequest;
        m_BlRequestPath = Path2HexFile;
        m_BlRequestArmsAnew = armsAnew;
    } else if (armsAnew || m_BlFinishSent) {
        // Whatever still lies in the mailbox was left behind by a session
        // that a lost device ended; this refusal replaces it. A session that
        // has already sent its finish (it is resetting the board) cannot
        // answer for this request either: the refusal gets its own ending.
        m_BlRequest = BlRefusedRequest;
        m_BlRequestPath.clear();
        m_BlRequestArmsAnew = true;
    }
    // A refusal while a session runs changes nothing: the session goes on
    // and its finish answers both.
    m_BootloaderActive.store(true, std::memory_order_release);
    m_Wake.wake(BRIDGE_WAKE_HOST);
}

void KX_SI_USBXpressDev::blTakeRequest()
{
    int request;
    QString path;
    bool armsAnew;
    {
        std::lock_guard<std::mutex> lock(m_BlRequestLock);
        request = m_BlRequest;
        path = m_BlRequestPath;
        armsAnew = m_BlRequestArmsAnew;
        m_BlRequest = BlNoRequest;
    }
    if (request == BlAcceptedRequest) {
        // A request during a session restarts it; each session begins with
        // a full set of retries.
        m_HexFilePath = path;
        m_HexFwFile.setFileName(path);
        m_BlState = SM_FW_ConvertHexFile;
        m_BlRetries = kRetriesUnarmed;
        m_BlTimeout = 0;
        m_BlDeadline = {};
    } else if (request == BlRefusedRequest && armsAnew) {
        // A refused request ends through the idle state, never by resuming
        // a session that a lost device left half-way.
        m_BlState = SM_FW_Idle;
    } else if (request == BlAbortRequest) {
        // Stopped from outside: the idle state ends the session as a failure,
        // and that ending takes the board out of its bootloader.
        if (m_BlState != SM_FW_Idle)
            putMsgLine(red(QStringLiteral("Bootloader Fail -> aborted")));
        m_BlState = SM_FW_Idle;
    }
}

void KX_SI_USBXpressDev::abortFirmwareUpdate()
{
    std::lock_guard<std::mutex> lock(m_BlRequestLock);
    if (!m_BootloaderActive.load(std::memory_order_acquire) || m_BlFinishSent)
        return;
    // Replaces a request that the worker has not taken yet: that request's
    // answer is this abort's finish.
    m_BlRequest = BlAbortRequest;
    m_BlRequestPath.clear();
    m_Wake.wake(BRIDGE_WAKE_HOST);
}

bool KX_SI_USBXpressDev::firmwareUpdateActive()
{
    return m_BootloaderActive.load(std::memory_order_acquire);
}

void KX_SI_USBXpressDev::blMarkFinishSent()
{
    std::lock_guard<std::mutex> lock(m_BlRequestLock);
    m_BlFinishSent = true;
}

void KX_SI_USBXpressDev::blReleaseSession()
{
    std::lock_guard<std::mutex> lock(m_BlRequestLock);
    m_BlFinishSent = false;
    if (m_BlRequest != BlNoRequest)
        return; // the flag stays up: the next step starts or refuses the new request
    m_BootloaderActive.store(false, std::memory_order_release);
}

void KX_SI_USBXpressDev::blDropReceived(bool logEachByte)
{
    quint8 byte;
    while (getRxCount() > 0 && getRxByte(&byte) == 1) {
        if (logEachByte)
            logStatus(kLabel, "KILL Byte!");
    }
}

void KX_SI_USBXpressDev::blEndSession(qint8 result)
{
    if (result == 1) {
        putMsgLine(QString());
        blDropReceived(true);
    } else {
        blDropReceived(true);
        putMsgLine(red(QStringLiteral("Bootloader IDEL -> set this->m_BootloaderActive = false")));
    }
    // The board is handed back before the outcome is told: a board left in
    // reset runs no firmware, whatever was written, and is no success.
    if (!SetBootModeTivako(false)) {
        logError(kLabel, "Board held in reset: it could not be released after the session");
        putMsgLine(red(QStringLiteral("Board held in reset: it could not be released after writing")));
        result = -1;
    }
    blMarkFinishSent();
    emit SIGNAL_FirmwareWriteFinish(result);
    m_BlState = SM_FW_Idle;
    blReleaseSession();
}

void KX_SI_USBXpressDev::blArmTimeout(quint16 ms)
{
    m_BlTimeout = ms;
    m_BlDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

bool KX_SI_USBXpressDev::blStepReady()
{
    {
        std::lock_guard<std::mutex> lock(m_BlRequestLock);
        if (m_BlRequest != BlNoRequest)
            return true;
    }
    // Only the reply states have anything to wait for.
    return !isWaitingState(m_BlState);
}

// A reply that moved the session on came in time, however late this cycle
// started: the worker may be held up past the deadline.
bool KX_SI_USBXpressDev::blWaitRanOut() const
{
    return m_BlTimeout == 0 && isWaitingState(m_BlState);
}

void KX_SI_USBXpressDev::blReplyTimeout(const char* stateName)
{
    if (!blWaitRanOut())
        return;
    putMsgLine(red(QStringLiteral("Bootloader Fail -> Time Error ") + QLatin1String(stateName)));
    m_BlState = SM_FW_Idle;
}

bool KX_SI_USBXpressDev::blWritePhaseAck(const char* stateName)
{
    quint8 byte = 0;
    if (getRxCount() == 0 || getRxByte(&byte) != 1)
        return false;
    if (byte == kNack) {
        // The count includes the block that was refused.
        logError(kLabel, "%s -> Get NACK %d", stateName, m_BlBlocksLeft);
        m_BlState = SM_FW_Idle;
    }
    return byte == kAck; // any other byte is dropped
}

void KX_SI_USBXpressDev::blSendDataBlock()
{
    const quint32 count = qMin<quint32>(m_BlBytesLeft, kBlockBytes);
    const quint32 padded = (count + kWriteAlignment - 1) / kWriteAlignment * kWriteAlignment;
    char frame[kBlockBytes + 2];
    if (count == 0 || m_BinFile.read(frame + 1, count) != static_cast<qint64>(count)) {
        logError(kLabel, "Image read failed at 0x%08x", static_cast<unsigned>(m_BlWriteAddress));
        m_BlState = SM_FW_Idle;
        return;
    }
    for (quint32 i = count; i < padded; ++i)
        frame[1 + i] = static_cast<char>(kErasedByte);
    quint8 checksum = static_cast<quint8>(padded - 1);
    frame[0] = static_cast<char>(checksum);
    for (quint32 i = 0; i < padded; ++i)
        checksum ^= static_cast<quint8>(frame[1 + i]);
    frame[1 + padded] = static_cast<char>(checksum);
    sendData(frame, static_cast<quint16>(padded + 2));

    m_BlBytesLeft -= count;
    m_BlWriteAddress += count;
    blArmTimeout(kDataTimeout);
    m_BlState = SM_FW_WriteFileReceiveData;
}

void KX_SI_USBXpressDev::WriteFirmware_Handler()
{
    blTakeRequest();

    if (m_HexFilePath.isEmpty()) {
        putMsgLine(red(QStringLiteral("Bootloader Fail -> invalid file path!!")));
        blMarkFinishSent();
        emit SIGNAL_FirmwareWriteFinish(-1);
        blReleaseSession();
        return;
    }

    const int stateBefore = m_BlState;
    blStep();
    // The frame that follows a reply leaves in the cycle that brought the
    // reply: a cycle lost per exchange would cost a block three cycles.
    if (isWaitingState(stateBefore) && isSendingState(m_BlState))
        blStep();
}

void KX_SI_USBXpressDev::blStep()
{
    // m_BlTimeout holds the milliseconds left of the reply wait.
    if (m_BlTimeout > 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_BlDeadline - std::chrono::steady_clock::now());
        m_BlTimeout = left.count() <= 0 ? 0 : static_cast<quint16>(qMin<qint64>(left.count(), m_BlTimeout));
    }

    quint8 byte = 0;
    switch (m_BlState) {
    case SM_FW_Idle:
        if (m_BootloaderActive.load(std::memory_order_acquire))
            blEndSession(-1);
        break;

    case SM_FW_ConvertHexFile: {
        const qint8 result = ConvertHex2BinFile(&m_HexFwFile, &m_BinFile);
        if (result == 1) {
            m_BlState = SM_FW_EnterBootloaderSend;
        } else {
            putMsgLine(red(QStringLiteral("Bootloader Fail -> ErrorCode %1").arg(static_cast<int>(result))));
            m_BlState = SM_FW_Idle;
        }
        break;
    }

    case SM_FW_EnterBootloaderSend: {
        SetBootModeTivako(true);
        flushBuffers();
        // Bytes read before the flush (the board firmware's own output) must
        // not pass for the chip's reply.
        blDropReceived(false);
        const char sync = 0x7f;
        sendData(&sync, 1);
        blArmTimeout(kSyncTimeout);
        if (m_BlRetries == kRetriesUnarmed)
            m_BlRetries = kRetriesArmed;
        m_BlState = SM_FW_EnterBootloaderReceive;
        break;
    }

    case SM_FW_EnterBootloaderReceive:
        if (getRxCount() >= 1) {
            getRxByte(&byte);
            if (byte == kAck) {
                m_BlRetries = kRetriesUnarmed;
                m_BlState = SM_FW_GetDeviceIDSend;
            }
        }
        if (blWaitRanOut()) {
            if (m_BlRetries > 0) {
                --m_BlRetries;
                m_BlState = SM_FW_EnterBootloaderSend;
            } else {
                putMsgLine(red(QStringLiteral("Bootloader Fail -> EnterBootloader Time Error")));
                m_BlState = SM_FW_Idle;
            }
        }
        break;

    case SM_FW_GetDeviceIDSend: {
        flushBuffers();
        blDropReceived(false);
        const char getId[2] = {0x02, static_cast<char>(0xfd)};
        sendData(getId, 2);
        blArmTimeout(kCommandTimeout);
        if (m_BlRetries == kRetriesUnarmed)
            m_BlRetries = kRetriesArmed;
        m_BlState = SM_FW_GetDeviceIDReceive;
        break;
    }

    case SM_FW_GetDeviceIDReceive:
        if (getRxCount() >= 5) {
            getRxByte(&byte);
            if (byte != kAck) {
                logError(kLabel, "SM_FW_GetDeviceIDSend ACK1 miss");
                break;
            }
            quint8 count = 0;
            getRxByte(&count);
            quint16 id = 0;
            bool idComplete = false;
            if (count != 0xff) {
                // An ID cut short repeats its last byte for the missing ones.
                byte = count;
                for (int i = 0; i <= count; ++i) {
                    getRxByte(&byte);
                    id = static_cast<quint16>(id * 256u + byte);
                }
                idComplete = true;
            }
            if (idComplete && id == kSupportedProductId) {
                getRxByte(&byte);
                if (byte != kAck) {
                    logError(kLabel, "SM_FW_GetDeviceIDSend ACK2 miss");
                    m_BlState = SM_FW_Idle;
                    break;
                }
                m_BlState = SM_FW_EraseSend;
            } else if (m_BlRetries > 0) {
                --m_BlRetries;
                m_BlState = SM_FW_GetDeviceIDSend;
            } else {
                putMsgLine(red(QStringLiteral("Bootloader Fail -> STM32 ID: 0x%1 not supported")
                                   .arg(id, 4, 16, QLatin1Char('0'))));
                m_BlState = SM_FW_Idle;
            }
        }
        if (blWaitRanOut()) {
            byte = 0;
            if (getRxCount() > 0 && getRxByte(&byte) == 1 && byte == kNack)
                logError(kLabel, "SM_FW_GetDeviceIDSend NACK");
            putMsgLine(red(
                QStringLiteral("Bootloader Fail -> Time Error SM_FW_GetDeviceIDReceive %1 Bytes").arg(getRxCount())));
            m_BlState = SM_FW_Idle;
        }
        break;

    case SM_FW_EraseSend: {
        const char erase[2] = {0x43, static_cast<char>(0xbc)};
        sendData(erase, 2);
        blArmTimeout(kCommandTimeout);
        m_BlState = SM_FW_EraseReceive;
        break;
    }

    case SM_FW_EraseReceive:
        if (getRxCount() >= 1 && getRxByte(&byte) == 1 && byte == kAck)
            m_BlState = SM_FW_GlobalEraseSend;
        blReplyTimeout("SM_FW_EraseReceive");
        break;

    case SM_FW_GlobalEraseSend: {
        const char globalErase[2] = {static_cast<char>(0xff), 0x00};
        sendData(globalErase, 2);
        blArmTimeout(kCommandTimeout);
        m_BlState = SM_FW_GlobalEraseReceive;
        break;
    }

    case SM_FW_GlobalEraseReceive:
        if (getRxCount() >= 1 && getRxByte(&byte) == 1 && byte == kAck)
            m_BlState = SM_FW_WriteFileStart;
        blReplyTimeout("SM_FW_GlobalEraseReceive");
        break;

    case SM_FW_WriteFileStart: {
        if (!m_BinFile.isOpen()) {
            putMsgLine(red(QStringLiteral("Bootloader Fail -> invalid State") + QStringLiteral(" %1").arg(m_BlState)));
            m_BlState = SM_FW_Idle;
            break;
        }
        const qint64 size = m_BinFile.size();
        if (size <= 0 || !m_BinFile.seek(0)) {
            // The conversion refuses empty images before the chip is touched;
            // this only guards against an image that vanished since.
            putMsgLine(red(QStringLiteral("Bootloader Fail -> ErrorCode %1").arg(-8)));
            m_BlState = SM_FW_Idle;
            break;
        }
        m_BlWriteAddress = kFlashBase;
        m_BlBytesLeft = static_cast<quint32>(size);
        m_BlBlocksLeft = static_cast<quint16>((m_BlBytesLeft + kBlockBytes - 1) / kBlockBytes);
        putMsgLine(QStringLiteral("Write Firmware File:"));
        putMsgText(QStringLiteral("\n*"), false);
        m_BlState = SM_FW_WriteFileSendCMD;
        break;
    }

    case SM_FW_WriteFileSendCMD: {
        const char writeMemory[2] = {0x31, static_cast<char>(0xce)};
        sendData(writeMemory, 2);
        blArmTimeout(kCommandTimeout);
        m_BlState = SM_FW_WriteFileReceiveCMD;
        break;
    }

    case SM_FW_WriteFileReceiveCMD:
        if (blWritePhaseAck("SM_FW_WriteFileReceiveCMD"))
            m_BlState = SM_FW_WriteFileSendAddr;
        blReplyTimeout("SM_FW_WriteFileReceiveCMD");
        break;

    case SM_FW_WriteFileSendAddr: {
        const quint32 a = m_BlWriteAddress;
        const char frame[5] = {static_cast<char>(a >> 24), static_cast<char>(a >> 16), static_cast<char>(a >> 8),
                               static_cast<char>(a), static_cast<char>((a >> 24) ^ (a >> 16) ^ (a >> 8) ^ a)};
        sendData(frame, 5);
        blArmTimeout(kCommandTimeout);
        m_BlState = SM_FW_WriteFileReceiveAddr;
        break;
    }

    case SM_FW_WriteFileReceiveAddr:
        if (blWritePhaseAck("SM_FW_WriteFileReceiveAddr"))
            m_BlState = SM_FW_WriteFileSendData;
        blReplyTimeout("SM_FW_WriteFileReceiveAddr");
        break;

    case SM_FW_WriteFileSendData:
        blSendDataBlock();
        break;

    case SM_FW_WriteFileReceiveData:
        if (blWritePhaseAck("SM_FW_WriteFileReceiveData")) {
            --m_BlBlocksLeft;
            putMsgText(QStringLiteral("*"), false);
            m_BlState = m_BlBlocksLeft > 0 ? SM_FW_WriteFileSendCMD : SM_FW_Finish;
        }
        blReplyTimeout("SM_FW_WriteFileReceiveData");
        break;

    case SM_FW_Finish:
        blEndSession(1);
        break;

    default:
        putMsgLine(red(QStringLiteral("Bootloader Fail -> invalid State") + QStringLiteral(" %1").arg(m_BlState)));
        m_BlState = SM_FW_Idle;
        break;
    }
}
