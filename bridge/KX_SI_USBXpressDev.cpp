#include "bridge/KX_SI_USBXpressDev.h"

#include "app/Log.h"
#include "bridge/BridgeStatusNames.h"
#include "bridge/ByteRing.h"
#include "tlv/KX_Debug_TLV_Server.h"

#include <QMetaMethod>

#include <cstring>

// The ring buffers are indexed by the byte_ring operations.
static_assert(KX_SI_USBXpressDev::kRingSize == byte_ring::kSize, "ring buffers and ring positions disagree");

namespace {

const char kLabelDestructor[] = "KX_SI_USBXpressDev::~KX_SI_USBXpressDev";
const char kLabelFill[] = "KX_SI_USBXpressDev::fillListOfDevice";
const char kLabelNum[] = "KX_SI_USBXpressDev::getNumUSBdevs";
const char kLabelInfo[] = "KX_SI_USBXpressDev::getDeviceInfo";
const char kLabelOpen[] = "KX_SI_USBXpressDev::openDevice";
const char kLabelClose[] = "KX_SI_USBXpressDev::closeDev";
const char kLabelSend[] = "KX_SI_USBXpressDev::sendData";
const char kLabelFlush[] = "KX_SI_USBXpressDev::flushBuffers";
const char kLabelReset[] = "KX_SI_USBXpressDev::setReset";
const char kLabelBoot0[] = "KX_SI_USBXpressDev::setBoot0";
const char kLabelBootMode[] = "KX_SI_USBXpressDev::SetBootModeTivako";
const char kLabelMsgRing[] = "KX_SI_USBXpressDev::writeMsgRing";

const uint32_t kBaudRate = 115200;
const unsigned long kLineSettleMs = 50;

// Latch bits of the board's control lines; both lines are active low.
const uint8_t kResetMask = 0x01;
const uint8_t kBoot0Mask = 0x02;

// Device numbers are kept in 16 bits and the open one in a signed 16-bit
// field, so an enumeration is cut off there.
const uint32_t kMaxDevices = 0x7FFF;

} // namespace

KX_SI_USBXpressDev::KX_SI_USBXpressDev() : KX_SI_USBXpressDev(true) {}

KX_SI_USBXpressDev::KX_SI_USBXpressDev(ManualCycles) : KX_SI_USBXpressDev(false) {}

KX_SI_USBXpressDev::KX_SI_USBXpressDev(bool startWorker)
    : QThread(nullptr), m_TLVServer(nullptr), m_RxReadIndex(0), m_RxWriteIndex(0), m_MsgReadIndex(0),
      m_MsgWriteIndex(0), m_TlvReadIndex(0), m_TlvWriteIndex(0), m_Connected(false), m_Handle(nullptr), m_Running(true),
      m_OpenDeviceNumber(-1), m_RefreshDue(), m_DeviceListChanged(true), m_BootloaderActive(false), m_BlTimeout(0),
      m_BlRetries(-1), m_BlBlocksLeft(0), m_BlBytesLeft(0), m_BlWriteAddress(0), m_TLVMode(false),
      m_BlState(SM_FW_Idle), m_RxOverflow(false), m_TlvOverflow(false), m_MsgOverflow(false)
{
    m_TLVServer = new KX_Debug_TLV_Server();
    if (startWorker)
        start(QThread::InheritPriority);
}

KX_SI_USBXpressDev::~KX_SI_USBXpressDev()
{
    m_Running.store(false);
    m_Wake.wake(BRIDGE_WAKE_HOST);
    // The worker may be inside a session step that uses the session files, so
    // they are closed only once its last cycle is over.
    wait();
    m_WorkerFinished.load(std::memory_order_acquire);
    if (m_BinFile.isOpen()) {
        m_BinFile.close();
        logStatus(kLabelDestructor, "Close Binary Firmware File");
    }
    if (m_HexFwFile.isOpen()) {
        m_HexFwFile.close();
        logStatus(kLabelDestructor, "Close Hex Firmware File");
    }
    delete m_TLVServer;
    m_TLVServer = nullptr;
}

// ---------------------------------------------------------------------------
// Device list

quint32 KX_SI_USBXpressDev::getNumUSBdevs()
{
    uint32_t count = 0;
    const BRIDGE_STATUS status = BridgeGetNumDevices(&count);
    if (status != SI_SUCCESS) {
        reportBridgeFailure(kLabelNum, status, {SI_INVALID_PARAMETER, SI_DEVICE_NOT_FOUND});
        return 0;
    }
    if (count > kMaxDevices) {
        logError(kLabelNum, "Device count %u out of range, only %u listed", count, kMaxDevices);
        count = kMaxDevices;
    }
    return count;
}

int KX_SI_USBXpressDev::getDeviceInfo(USBDeviceEntry* candidate)
{
    char text[BRIDGE_MAX_PRODUCT_STRING];
    QString* fields[2] = {&candidate->Description, &candidate->SerialNumber};
    const uint8_t selectors[2] = {SI_RETURN_DESCRIPTION, SI_RETURN_SERIAL_NUMBER};
    for (int i = 0; i < 2; ++i) {
        std::memset(text, 0, sizeof(text));
        const BRIDGE_STATUS status = BridgeGetProductString(candidate->DeviceNumber, text, selectors[i]);
        if (status == SI_SUCCESS) {
            *fields[i] = QString::fromLatin1(text, static_cast<int>(strnlen(text, sizeof(text))));
        } else if (reportBridgeFailure(kLabelInfo, status, {SI_INVALID_PARAMETER, SI_DEVICE_NOT_FOUND})) {
            return -1;
        }
    }
    return 1;
}

void KX_SI_USBXpressDev::fillListOfDevice()
{
    const quint32 count = getNumUSBdevs();

    // Only this thread changes the list, so it is rebuilt on a copy and
    // swapped in whole: a reader never sees it half done.
    QList<USBDeviceEntry> list;
    {
        std::lock_guard<std::mutex> lock(m_DeviceListLock);
        list = m_DeviceList;
    }
    for (USBDeviceEntry& entry : list)
        entry.Present = false;

    for (quint32 i = 0; i < count; ++i) {
        USBDeviceEntry candidate;
        candidate.DeviceNumber = static_cast<quint16>(i);
        if (getDeviceInfo(&candidate) < 0)
            break;
        bool known = false;
        for (USBDeviceEntry& entry : list) {
            if (entry.SerialNumber == candidate.SerialNumber) {
                entry.Present = true;
                entry.DeviceNumber = candidate.DeviceNumber;
                known = true;
                break;
            }
        }
        if (!known) {
            logStatus(kLabelFill, "Add Device Index");
            candidate.Present = true;
            list.append(candidate);
            m_DeviceListChanged = true;
        }
    }

    // The open device is told by its serial number: its device number can
    // shift when another device goes away.
    bool everOpened = false;
    QString openSerial;
    {
        std::lock_guard<std::mutex> lock(m_HandleLock);
        everOpened = m_OpenDeviceNumber.load() >= 0;
        openSerial = m_OpenSerialNumber;
    }
    int index = 0;
    while (index < list.size()) {
        if (list.at(index).Present) {
            ++index;
            continue;
        }
        if (everOpened && list.at(index).SerialNumber == openSerial)
            closeDev(true);
        logStatus(kLabelFill, "Remove Device Index %d", index);
        list.removeAt(index);
        m_DeviceListChanged = true;
    }

    {
        std::lock_guard<std::mutex> lock(m_DeviceListLock);
        m_DeviceList.swap(list);
    }
    announceDeviceList();
}

namespace {
const QMetaMethod& deviceListSignal()
{
    static const QMetaMethod method = QMetaMethod::fromSignal(&KX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable);
    return method;
}
} // namespace

void KX_SI_USBXpressDev::announceDeviceList()
{
    // The worker starts inside the constructor, so its first refresh can come
    // before the owner has connected to the signal. An announcement that
    // nobody can hear yet is held until somebody connects (connectNotify
    // wakes the worker for it).
    if (m_DeviceListChanged && isSignalConnected(deviceListSignal())) {
        emit SIGNAL_newDeviceListAvailable();
        m_DeviceListChanged = false;
    }
}

void KX_SI_USBXpressDev::connectNotify(const QMetaMethod& signal)
{
    if (signal == deviceListSignal())
        m_Wake.wake(BRIDGE_WAKE_HOST);
    QThread::connectNotify(signal);
}

QStringList KX_SI_USBXpressDev::getDeviceList()
{
    QList<USBDeviceEntry> list;
    {
        std::lock_guard<std::mutex> lock(m_DeviceListLock);
        list = m_DeviceList;
    }
    QStringList names;
    names.reserve(list.size());
    for (const USBDeviceEntry& entry : list)
        names.append(entry.Description + QStringLiteral(" [0x") + entry.SerialNumber + QStringLiteral("]"));
    return names;
}

// ---------------------------------------------------------------------------
// Link

int KX_SI_USBXpressDev::openDevice(quint16 index)
{
    USBDeviceEntry entry;
    {
        std::lock_guard<std::mutex> lock(m_DeviceListLock);
        if (index >= m_DeviceList.size()) {
            logError(kLabelOpen, "Device to Open not exist");
            return -1;
        }
        entry = m_DeviceList.at(index);
    }

    std::lock_guard<std::mutex> lock(m_HandleLock);
    if (m_Connected.load()) {
        logError(kLabelOpen, "Device already open");
        return -1;
    }
    BRIDGE_HANDLE handle = nullptr;
    BRIDGE_STATUS status = BridgeOpen(entry.DeviceNumber, &handle);
    if (reportBridgeFailure(kLabelOpen, status, {SI_INVALID_PARAMETER, SI_GLOBAL_DATA_ERROR, SI_DEVICE_NOT_FOUND}))
        return -1;
    m_Handle = handle;

    // A device that went away since it was opened fails here too.
    status = BridgeSetBaudRate(m_Handle, kBaudRate);
    bool failed = reportBridgeFailure(kLabelOpen, status,
                                      {SI_INVALID_HANDLE, SI_INVALID_PARAMETER, SI_DEVICE_IO_FAILED,
                                       SI_INVALID_BAUDRATE, SI_DEVICE_NOT_FOUND});
    if (!failed) {
        status = BridgeSetLineControl(m_Handle, BRIDGE_LINE_8N1);
        failed = reportBridgeFailure(kLabelOpen, status,
                                     {SI_INVALID_HANDLE, SI_INVALID_PARAMETER, SI_DEVICE_IO_FAILED,
                                      SI_DEVICE_NOT_FOUND});
    }
    if (failed) {
        // A half-configured link is given back, so the device stays openable.
        BridgeClose(m_Handle);
        m_Handle = nullptr;
        return -1;
    }

    m_OpenDeviceNumber.store(static_cast<qint16>(entry.DeviceNumber));
    m_OpenSerialNumber = entry.SerialNumber;
    m_Connected.store(true);
    // Bytes may already wait: the worker looks at once, not at its next deadline.
    m_Wake.wake(BRIDGE_WAKE_HOST);
    return 1;
}

int KX_SI_USBXpressDev::closeDev(bool announce)
{
    BRIDGE_STATUS status = SI_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(m_HandleLock);
        if (!m_Connected.load()) {
            logError(kLabelClose, "Device not open");
            return -1;
        }
        status = BridgeClose(m_Handle);
        if (status == SI_SUCCESS) {
            m_Connected.store(false);
            m_Handle = nullptr;
        }
    }
    if (status != SI_SUCCESS) {
        reportBridgeStatus(kLabelClose, status);
        return -1;
    }
    if (announce)
        emit SIGNAL_connectionClosed();
    return 1;
}

void KX_SI_USBXpressDev::linkLost(const char* label)
{
    reportBridgeStatus(label, SI_DEVICE_NOT_FOUND);
    {
        // Closed here, so the refresh that no longer finds the device has
        // nothing left to close.
        std::lock_guard<std::mutex> lock(m_HandleLock);
        m_OpenDeviceNumber.store(-1);
        m_OpenSerialNumber.clear();
    }
    if (closeDev(true) == 1) {
        // A bridge plugged back within one refresh keeps its entry; the
        // list is announced anyway, so the window reconnects it.
        m_DeviceListChanged = true;
    }
}

bool KX_SI_USBXpressDev::isConnected()
{
    return m_Connected.load();
}

quint16 KX_SI_USBXpressDev::sendData(const char* data, quint16 length)
{
    BRIDGE_STATUS status = SI_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(m_HandleLock);
        if (!m_Connected.load())
            return 0xFFFF;
        if (!data && length > 0) {
            logError(kLabelSend, "No data to send");
            return 0xFFFF;
        }
        uint32_t written = 0;
        status = BridgeWrite(m_Handle, data, length, &written, nullptr);
    }
    if (reportBridgeFailure(kLabelSend, status,
                            {SI_INVALID_HANDLE, SI_WRITE_ERROR, SI_INVALID_PARAMETER, SI_INVALID_REQUEST_LENGTH,
                             SI_DEVICE_IO_FAILED, SI_FUNCTION_NOT_SUPPORTED, SI_SYSTEM_ERROR_CODE, SI_WRITE_TIMED_OUT,
                             SI_IO_PENDING, SI_DEVICE_NOT_FOUND}))
        return 0xFFFF;
    return 1;
}

int KX_SI_USBXpressDev::flushBuffers()
{
    BRIDGE_STATUS status = SI_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(m_HandleLock);
        status = BridgeFlushBuffers(m_Handle, 1, 1);
    }
    return reportBridgeFailure(kLabelFlush, status, {SI_INVALID_HANDLE, SI_SYSTEM_ERROR_CODE}) ? -1 : 1;
}

namespace {

BRIDGE_STATUS writeLatchLocked(std::mutex& lock, BRIDGE_HANDLE& handle, uint8_t mask, uint8_t value)
{
    std::lock_guard<std::mutex> guard(lock);
    return BridgeWriteLatch(handle, mask, value);
}

bool latchFailed(const char* label, BRIDGE_STATUS status)
{
    return reportBridgeFailure(label, status,
                               {SI_INVALID_HANDLE, SI_INVALID_PARAMETER, SI_DEVICE_IO_FAILED, SI_FUNCTION_NOT_SUPPORTED,
                                SI_GLOBAL_DATA_ERROR, SI_DEVICE_NOT_FOUND});
}

} // namespace

int KX_SI_USBXpressDev::setReset(bool active)
{
    const BRIDGE_STATUS status = writeLatchLocked(m_HandleLock, m_Handle, kResetMask, active ? 0x00 : kResetMask);
    return latchFailed(kLabelReset, status) ? -1 : 1;
}

int KX_SI_USBXpressDev::setBoot0(bool active)
{
    const BRIDGE_STATUS status = writeLatchLocked(m_HandleLock, m_Handle, kBoot0Mask, active ? 0x00 : kBoot0Mask);
    return latchFailed(kLabelBoot0, status) ? -1 : 1;
}

bool KX_SI_USBXpressDev::SetBootModeTivako(bool boot)
{
    setReset(true);
    BRIDGE_STATUS status = SI_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(m_HandleLock);
        status = BridgeSetLineControl(m_Handle, boot ? BRIDGE_LINE_8E1 : BRIDGE_LINE_8N1);
    }
    if (reportBridgeFailure(kLabelBootMode, status, {SI_INVALID_HANDLE, SI_INVALID_PARAMETER, SI_DEVICE_IO_FAILED}))
        return false; // the board stays held in reset
    setBoot0(boot);
    QThread::msleep(kLineSettleMs);
    const bool released = setReset(false) == 1;
    QThread::msleep(kLineSettleMs);
    return released;
}

void KX_SI_USBXpressDev::resetBoard()
{
    setReset(true);
    setBoot0(false);
    QThread::msleep(kLineSettleMs);
    setReset(false);
    QThread::msleep(kLineSettleMs);
}

void KX_SI_USBXpressDev::setTLVMode(bool tlv)
{
    m_TLVMode.store(tlv);
}

// ---------------------------------------------------------------------------
// Rings

quint16 KX_SI_USBXpressDev::getRxCount()
{
    return byte_ring::count(m_RxReadIndex, m_RxWriteIndex);
}

quint16 KX_SI_USBXpressDev::getMsgCount()
{
    return byte_ring::count(m_MsgReadIndex, m_MsgWriteIndex);
}

quint16 KX_SI_USBXpressDev::getTlvCount()
{
    return byte_ring::count(m_TlvReadIndex, m_TlvWriteIndex);
}

quint8 KX_SI_USBXpressDev::getRxByte(quint8* byte)
{
    if (!byte)
        return 0xFF;
    // The console, the decoder and the bootloader session all take from this
    // ring; around a mode switch two of them may be at it at once.
    std::lock_guard<std::mutex> lock(m_RxReadLock);
    return byte_ring::take(m_RxBuffer, m_RxReadIndex, m_RxWriteIndex, byte);
}

quint8 KX_SI_USBXpressDev::getMsgByte(quint8* byte)
{
    if (!byte)
        return 0xFF;
    return byte_ring::take(m_MsgBuffer, m_MsgReadIndex, m_MsgWriteIndex, byte);
}

quint8 KX_SI_USBXpressDev::getTlvByte(quint8* byte)
{
    if (!byte)
        return 0xFF;
    return byte_ring::take(m_TlvBuffer, m_TlvReadIndex, m_TlvWriteIndex, byte);
}

quint16 KX_SI_USBXpressDev::writeMsgRing(const char* data, quint32 length)
{
    if (!data || length == 0)
        return 0;
    std::lock_guard<std::mutex> lock(m_MsgWriteLock);
    return byte_ring::writeReporting(m_MsgBuffer, m_MsgReadIndex, m_MsgWriteIndex,
                                     reinterpret_cast<const uint8_t*>(data), length, &m_MsgOverflow, kLabelMsgRing,
                                     "Message");
}
