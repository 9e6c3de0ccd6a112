// The worker loop of the bridge device: polls the open link, moves received
// bytes into the receive ring, hands them to the console or the TLV decoder,
// drives the bootloader session and refreshes the device list.

#include "bridge/KX_SI_USBXpressDev.h"

#include "app/Log.h"
#include "bridge/BridgeStatusNames.h"
#include "bridge/ByteRing.h"
#include "tlv/KX_Debug_TLV_Server.h"

namespace {

const char kLabelRun[] = "KX_SI_USBXpressDev::run";
const char kLabelAvailable[] = "KX_SI_USBXpressDev::BytesAvailable";
const char kLabelRead[] = "KX_SI_USBXpressDev::ReadData";

using Clock = std::chrono::steady_clock;

// Time between two device-list refreshes: a thousand and one cycles of at
// least a millisecond each, as the list was refreshed when the worker polled.
// Plug events refresh it at once where the backend reports them.
const std::chrono::milliseconds kRefreshInterval(1001);

// While the bridge still holds bytes that did not fit, the worker looks
// again after this long, as often as the polling loop did.
const std::chrono::milliseconds kRetryRead(1);

// Decoded text is moved out of the decoder in pieces of this size.
const int kTlvChunk = 256;

} // namespace

void KX_SI_USBXpressDev::run()
{
    while (m_Running.load()) {
        runWorkerCycle();
        waitForWork();
    }
    logStatus(kLabelRun, "Thread END");
    m_WorkerFinished.store(true, std::memory_order_release);
}

void KX_SI_USBXpressDev::runWorkerCycle()
{
    m_RxLeftInBridge = false;
    if (m_Connected.load()) {
        const quint16 waiting = BytesAvailable();
        if (waiting > 0) {
            ReadData(waiting); // checks the link again under the handle lock
            // While a session is armed the receive ring belongs to it.
            if (!m_BootloaderActive.load())
                handOnReceived();
        }
    }

    if (m_BootloaderActive.load())
        bootloaderStep();

    const Clock::time_point now = Clock::now();
    if (m_RefreshNow || now >= m_RefreshDue) {
        m_RefreshNow = false;
        m_RefreshDue = now + kRefreshInterval;
        fillListOfDevice();
    } else {
        announceDeviceList(); // one held back until somebody listens
    }
}

void KX_SI_USBXpressDev::waitForWork()
{
    const Clock::time_point now = Clock::now();
    Clock::time_point until = m_RefreshDue;
    if (m_BootloaderActive.load()) {
        // A step that took bytes or moved on may have the next one ready; a
        // refused or lost session is ended at once too.
        if (m_BlProgressed || blStepReady() || !m_Connected.load())
            return;
        until = std::min(until, m_BlDeadline);
    }
    if (m_Connected.load()) {
        if (m_RxLeftInBridge)
            until = std::min(until, now + kRetryRead);
        // A backend whose arrivals are scheduled says when the next is due.
        const std::chrono::nanoseconds next = BridgeUntilNextEvent();
        if (next <= std::chrono::nanoseconds::zero())
            return;
        if (next < until - now)
            until = now + std::chrono::duration_cast<Clock::duration>(next);
    }
    if (until <= now)
        return;
    if (m_Wake.waitUntil(until) & BRIDGE_WAKE_DEVICES)
        m_RefreshNow = true;
}

quint16 KX_SI_USBXpressDev::BytesAvailable()
{
    uint32_t waiting = 0;
    uint32_t queueStatus = 0;
    BRIDGE_STATUS status = SI_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(m_HandleLock);
        // The GUI thread may have closed the link since the cycle looked.
        if (!m_Connected.load())
            return 0;
        status = BridgeCheckRxQueue(m_Handle, &waiting, &queueStatus);
    }
    // The count is 16 bits wide; a larger backlog must read as a full one,
    // never wrap to a small or empty one.
    const quint16 count = waiting > 0xFFFF ? quint16(0xFFFF) : static_cast<quint16>(waiting);
    if (status == SI_SUCCESS)
        return count;
    if (status == SI_DEVICE_NOT_FOUND) {
        linkLost(kLabelAvailable);
        return 0;
    }
    if (reportBridgeFailure(kLabelAvailable, status, {SI_INVALID_HANDLE, SI_INVALID_PARAMETER, SI_DEVICE_IO_FAILED}))
        return 0;
    logError(kLabelAvailable, "SI Unkown Error %d", static_cast<int>(status));
    return count;
}

void KX_SI_USBXpressDev::ReadData(quint16 bytesWaiting)
{
    // Never ask for more than the read buffer holds, nor for more than the
    // receive ring has room for while it has any: the rest waits in the
    // bridge for the next cycles. Only when the ring is full are bytes read
    // to be dropped, so the link keeps moving and the loss is reported.
    uint32_t wanted = bytesWaiting < kReadBufferSize ? bytesWaiting : static_cast<uint32_t>(kReadBufferSize);
    const uint32_t room = byte_ring::kCapacity - getRxCount();
    if (room > 0 && wanted > room)
        wanted = room;
    m_RxLeftInBridge = wanted < bytesWaiting;
    uint32_t got = 0;
    BRIDGE_STATUS status = SI_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(m_HandleLock);
        if (!m_Connected.load())
            return;
        status = BridgeRead(m_Handle, m_ReadBuffer, wanted, &got, nullptr);
    }
    if (status == SI_DEVICE_NOT_FOUND) {
        linkLost(kLabelRead);
        return;
    }
    if (reportBridgeFailure(kLabelRead, status,
                            {SI_INVALID_HANDLE, SI_READ_ERROR, SI_INVALID_PARAMETER, SI_INVALID_REQUEST_LENGTH,
                             SI_DEVICE_IO_FAILED, SI_SYSTEM_ERROR_CODE, SI_READ_TIMED_OUT, SI_IO_PENDING}))
        return;
    if (got > wanted) {
        logError(kLabelRead, "Read reported %u bytes for %u asked", got, wanted);
        got = wanted;
    }
    byte_ring::writeReporting(m_RxBuffer, m_RxReadIndex, m_RxWriteIndex, m_ReadBuffer, got, &m_RxOverflow, kLabelRead,
                              "Receive");
}

void KX_SI_USBXpressDev::handOnReceived()
{
    if (!m_TLVMode.load()) {
        emit SIGNAL_newDataAvailable(0);
        return;
    }

    {
        std::lock_guard<std::mutex> lock(m_RxReadLock);
        const quint16 start = m_RxReadIndex.load(std::memory_order_relaxed);
        const quint16 count = byte_ring::fillLevel(start, m_RxWriteIndex.load(std::memory_order_acquire));
        quint16 used = m_TLVServer->ReceiveBytes(m_RxBuffer, start, count, byte_ring::kSize);
        if (used > count)
            used = count;
        byte_ring::consume(m_RxReadIndex, used);
    }

    const quint16 decoded = m_TLVServer->OutputBufferLength();
    if (decoded == 0)
        return;
    quint8 chunk[kTlvChunk];
    int inChunk = 0;
    for (quint16 i = 0; i < decoded; ++i) {
        m_TLVServer->GetOutputByte(&chunk[inChunk++]);
        if (inChunk == kTlvChunk || i + 1 == decoded) {
            byte_ring::writeReporting(m_TlvBuffer, m_TlvReadIndex, m_TlvWriteIndex, chunk, inChunk, &m_TlvOverflow,
                                      kLabelRun, "Decoded-text");
            inChunk = 0;
        }
    }
    emit SIGNAL_newDataAvailable(2);
}

void KX_SI_USBXpressDev::bootloaderStep()
{
    if (m_Connected.load()) {
        const int stateBefore = m_BlState;
        const quint16 waitingBefore = getRxCount();
        WriteFirmware_Handler();
        m_BlProgressed = m_BlState != stateBefore || getRxCount() != waitingBefore;
        return;
    }
    // The link went away (or never was there) while a session was armed. A
    // request that reached the mailbox meanwhile ends with this report too.
    blTakeRequest();
    putMsgLine(QStringLiteral("\x1b[31m") +
               QString::fromUtf8("Bootloader Fail -> disconnect µC during write firmware!!") +
               QStringLiteral("\x1b[0m"));
    blMarkFinishSent();
    emit SIGNAL_FirmwareWriteFinish(-1);
    blReleaseSession();
}
