#include "bridge/usb/Cp210xBridgeBackend.h"

#include "app/Log.h"
#include "bridge/usb/Cp210xIds.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <cstring>
#include <deque>
#include <thread>

namespace {

// ---- CP210x vendor requests (Silicon Labs AN571) ----
const uint8_t kToInterface = 0x41; // vendor request, host to interface
const uint8_t kToDevice = 0x40;    // vendor request, host to device
const uint8_t kFromDevice = 0xC0;  // vendor request, device to host

const uint8_t kFromInterface = 0xC1; // vendor request, interface to host

const uint8_t kIfcEnable = 0x00;
const uint8_t kSetLineCtl = 0x03;
const uint8_t kSetMhs = 0x07;
const uint8_t kPurge = 0x12;
const uint8_t kSetFlow = 0x13;
const uint8_t kGetFlow = 0x14;
const uint8_t kSetBaudRate = 0x1E;
const uint8_t kVendorSpecific = 0xFF;

const uint16_t kGetFirmwareVersion = 0x0010;
const uint16_t kGetPartNumber = 0x370B;
const uint16_t kWriteLatch = 0x37E1;

// SET_MHS: DTR and RTS levels, each with its write-enable bit.
const uint16_t kMhsDtr = 0x0001;
const uint16_t kMhsRts = 0x0002;
const uint16_t kMhsDtrMask = 0x0100;
const uint16_t kMhsRtsMask = 0x0200;

// GET/SET_FLOW: the control-handshake word and the flow-replace word.
const uint32_t kDtrMask = 0x00000003;
const uint32_t kDtrActive = 0x00000001;
const uint32_t kCtsHandshake = 0x00000008;
const uint32_t kDsrHandshake = 0x00000010;
const uint32_t kDcdHandshake = 0x00000020;
const uint32_t kDsrSensitivity = 0x00000040;
const uint32_t kAutoTransmit = 0x00000001; // XON/XOFF on what the chip sends
const uint32_t kAutoReceive = 0x00000002;  // XON/XOFF on what it receives
const uint32_t kRtsMask = 0x000000C0;
const uint32_t kRtsActive = 0x00000040;

const uint16_t kPurgeTransmit = 0x0005; // two bits, one per chip generation
const uint16_t kPurgeReceive = 0x000A;

bool idLess(const Cp210xId& a, const Cp210xId& b)
{
    return a.vendorId != b.vendorId ? a.vendorId < b.vendorId : a.productId < b.productId;
}

// Part numbers that GET_PARTNUM reports.
enum PartNumber : int {
    kPartCp2103 = 0x03,
    kPartCp2104 = 0x04,
    kPartCp2105 = 0x05,
    kPartCp2108 = 0x08,
    kPartCp2102nQfn28 = 0x20,
    kPartCp2102nQfn24 = 0x21,
    kPartCp2102nQfn20 = 0x22,
};

const unsigned kControlTimeoutMs = 1000;
const unsigned kReaderTimeoutMs = 50; // bounds how long a close waits for the reader
const int kReaderChunk = 4096;        // a whole number of packets, so nothing overflows
const size_t kRxCapacity = 1u << 20;  // the reader pauses above this, it never drops
const int kReaderFailureLimit = 5;

const BRIDGE_STATUS kSuccess = SI_SUCCESS;
const BRIDGE_STATUS kInvalidHandle = SI_INVALID_HANDLE;

enum class Transfer { Control, Read, Write };

// The nearest status for a libusb failure of an open link.
BRIDGE_STATUS statusFromUsb(int error, Transfer transfer)
{
    switch (error) {
    case LIBUSB_SUCCESS:
        return SI_SUCCESS;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return SI_DEVICE_NOT_FOUND;
    case LIBUSB_ERROR_TIMEOUT:
        if (transfer == Transfer::Read)
            return SI_READ_TIMED_OUT;
        if (transfer == Transfer::Write)
            return SI_WRITE_TIMED_OUT;
        return SI_DEVICE_IO_FAILED;
    case LIBUSB_ERROR_INVALID_PARAM:
        return SI_INVALID_PARAMETER;
    case LIBUSB_ERROR_NO_MEM:
        return SI_SYSTEM_ERROR_CODE;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return SI_FUNCTION_NOT_SUPPORTED;
    default: // I/O, stall, overflow, interrupted, access, busy, other
        return SI_DEVICE_IO_FAILED;
    }
}

// Opening has only a few statuses that callers recognise as a failure;
// everything that keeps a device from being opened reports as not found,
// as the vendor's library does.
BRIDGE_STATUS statusFromOpen(int error)
{
    switch (error) {
    case LIBUSB_SUCCESS:
        return SI_SUCCESS;
    case LIBUSB_ERROR_INVALID_PARAM:
        return SI_INVALID_PARAMETER;
    case LIBUSB_ERROR_NO_MEM:
        return SI_GLOBAL_DATA_ERROR;
    default:
        return SI_DEVICE_NOT_FOUND;
    }
}

uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The name of a bridge whose own strings cannot be read. Only the factory
// ids of the multi-port parts say which part it is.
const char* fallbackName(uint16_t productId)
{
    switch (productId) {
    case 0xEA70:
        return "CP2105 Dual USB to UART Bridge";
    case 0xEA71:
        return "CP2108 Quad USB to UART Bridge";
    default:
        return "CP210x USB to UART Bridge";
    }
}

std::string location(const UsbDeviceInfo& device)
{
    std::string text = std::to_string(device.bus) + "-";
    for (size_t i = 0; i < device.portPath.size(); ++i) {
        if (i)
            text += ".";
        text += std::to_string(device.portPath[i]);
    }
    return text;
}

bool locationLess(const UsbDeviceInfo& a, const UsbDeviceInfo& b)
{
    if (a.bus != b.bus)
        return a.bus < b.bus;
    return a.portPath < b.portPath;
}

} // namespace

// One open UART interface: its requests, and a reader thread that keeps
// pulling the bulk-IN endpoint into a host buffer so that asking how much has
// arrived never waits on the USB. The reader starts only once the line is
// configured, so nothing received at the previous owner's settings is kept.
class Cp210xLink
{
public:
    Cp210xLink(std::unique_ptr<UsbDeviceLink> usb, const UsbInterfaceInfo& interface, uint64_t key)
        : m_usb(std::move(usb)), m_interface(interface), m_key(key)
    {
    }

    ~Cp210xLink() { stopReader(); }

    uint64_t key() const { return m_key; }
    uint8_t interfaceNumber() const { return m_interface.number; }

    // Claims and enables the UART, learns the part and puts the line into a
    // defined state: no flow control, DTR and RTS active, both directions
    // purged. Baud rate and line control are the caller's.
    int start()
    {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        int result = m_usb->claimInterface(m_interface.number);
        if (result < 0)
            return result;
        result = configureLocked();
        if (result < 0)
            m_usb->releaseInterface(m_interface.number);
        return result;
    }

    // Purge, disable the UART and hand the interface back to the kernel.
    // Returns the first failure, but always goes through every step.
    int shutdown()
    {
        stopReader();
        std::lock_guard<std::mutex> lock(m_controlMutex);
        m_closed = true;
        int first = LIBUSB_SUCCESS;
        auto keep = [&first](int result) {
            if (result < 0 && first == LIBUSB_SUCCESS)
                first = result;
        };
        keep(request(kPurge, kPurgeTransmit | kPurgeReceive));
        keep(request(kIfcEnable, 0));
        keep(m_usb->releaseInterface(m_interface.number));
        return first;
    }

    BRIDGE_STATUS setBaudRate(uint32_t baudRate)
    {
        // The range the CP210x family covers; the chip picks the nearest
        // rate it can make within that.
        if (baudRate < 300 || baudRate > 3000000)
            return SI_INVALID_BAUDRATE;
        uint8_t data[4] = {static_cast<uint8_t>(baudRate), static_cast<uint8_t>(baudRate >> 8),
                           static_cast<uint8_t>(baudRate >> 16), static_cast<uint8_t>(baudRate >> 24)};
        std::lock_guard<std::mutex> lock(m_controlMutex);
        if (m_closed)
            return SI_INVALID_HANDLE;
        int result =
            m_usb->controlTransfer(kToInterface, kSetBaudRate, 0, m_interface.number, data, 4, kControlTimeoutMs);
        if (result == LIBUSB_ERROR_PIPE)
            return SI_INVALID_BAUDRATE; // the chip refused the rate
        if (result < 0)
            return statusFromUsb(result, Transfer::Control);
        m_baudRate.store(baudRate);
        startReaderWhenConfiguredLocked();
        return SI_SUCCESS;
    }

    BRIDGE_STATUS setLineControl(uint16_t lineControl)
    {
        unsigned stopBits = lineControl & 0x0F;
        unsigned parity = (lineControl >> 4) & 0x0F;
        unsigned dataBits = lineControl >> 8;
        // One, one and a half or two stop bits; none, odd, even, mark or
        // space parity; five to eight data bits.
        if (stopBits > 2 || parity > 4 || dataBits < 5 || dataBits > 8)
            return SI_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(m_controlMutex);
        if (m_closed)
            return SI_INVALID_HANDLE;
        int result = request(kSetLineCtl, lineControl);
        if (result < 0)
            return statusFromUsb(result, Transfer::Control);
        m_lineSet = true;
        startReaderWhenConfiguredLocked();
        return SI_SUCCESS;
    }

    BRIDGE_STATUS writeLatch(uint8_t mask, uint8_t latch)
    {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        if (m_closed)
            return SI_INVALID_HANDLE;
        int result;
        switch (m_partNumber) {
        case kPartCp2103:
        case kPartCp2104:
        case kPartCp2102nQfn28:
        case kPartCp2102nQfn24:
        case kPartCp2102nQfn20:
            result = m_usb->controlTransfer(kToDevice, kVendorSpecific, kWriteLatch,
                                            static_cast<uint16_t>(latch << 8 | mask), nullptr, 0, kControlTimeoutMs);
            break;
        case kPartCp2105: {
            uint8_t data[2] = {mask, latch};
            result = m_usb->controlTransfer(kToInterface, kVendorSpecific, kWriteLatch, m_interface.number, data, 2,
                                            kControlTimeoutMs);
            break;
        }
        case kPartCp2108: {
            // One 16-pin latch for the whole chip; each port owns a group of
            // four pins (GPIO 4n to 4n+3 for interface n).
            const unsigned shift = 4u * (m_interface.number & 3u);
            const uint16_t wideMask = static_cast<uint16_t>(mask & 0x0F) << shift;
            const uint16_t wideLatch = static_cast<uint16_t>(latch & 0x0F) << shift;
            uint8_t data[4] = {static_cast<uint8_t>(wideMask), static_cast<uint8_t>(wideMask >> 8),
                               static_cast<uint8_t>(wideLatch), static_cast<uint8_t>(wideLatch >> 8)};
            result = m_usb->controlTransfer(kToInterface, kVendorSpecific, kWriteLatch, m_interface.number, data, 4,
                                            kControlTimeoutMs);
            break;
        }
        default: // CP2101, CP2102, CP2109 and unknown parts have no GPIO latch
            return SI_FUNCTION_NOT_SUPPORTED;
        }
        return statusFromUsb(result < 0 ? result : 0, Transfer::Control);
    }

    BRIDGE_STATUS flush(bool transmit, bool receive)
    {
        uint16_t what = (transmit ? kPurgeTransmit : 0) | (receive ? kPurgeReceive : 0);
        if (what == 0)
            return SI_SUCCESS;
        // The reader finishes the transfer it is in before the chip is
        // purged, and its bytes go with the purge: nothing that arrived
        // before the flush can show up after it.
        std::unique_lock<std::mutex> gate(m_readerGate, std::defer_lock);
        if (receive)
            gate.lock();
        int result;
        {
            std::lock_guard<std::mutex> lock(m_controlMutex);
            if (m_closed)
                return SI_INVALID_HANDLE;
            result = request(kPurge, what);
        }
        if (receive) {
            std::lock_guard<std::mutex> lock(m_rxMutex);
            m_rx.clear();
        }
        return statusFromUsb(result < 0 ? result : 0, Transfer::Control);
    }

    BRIDGE_STATUS checkRxQueue(uint32_t* numBytesInQueue, uint32_t* queueStatus)
    {
        std::lock_guard<std::mutex> lock(m_rxMutex);
        // Bytes that arrived before a failure are still handed out first.
        if (m_rx.empty() && m_rxError != LIBUSB_SUCCESS)
            return statusFromUsb(m_rxError, Transfer::Read);
        *numBytesInQueue = static_cast<uint32_t>(m_rx.size());
        *queueStatus = m_rx.empty() ? 0u : 2u; // "bytes waiting", as the vendor's library reports it
        return SI_SUCCESS;
    }

    BRIDGE_STATUS read(uint8_t* buffer, uint32_t bytesToRead, uint32_t* bytesReturned)
    {
        std::lock_guard<std::mutex> lock(m_rxMutex);
        if (m_rx.empty() && bytesToRead && m_rxError != LIBUSB_SUCCESS)
            return statusFromUsb(m_rxError, Transfer::Read);
        size_t count = std::min<size_t>(bytesToRead, m_rx.size());
        std::copy(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(count), buffer);
        m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(count));
        *bytesReturned = static_cast<uint32_t>(count);
        return SI_SUCCESS;
    }

    BRIDGE_STATUS write(const uint8_t* data, uint32_t length, uint32_t* bytesWritten)
    {
        // Time enough for the bytes to leave at the line's rate, twice over,
        // plus a second for the USB (9600 baud assumed until a rate is set);
        // bounded, so a stalled line is reported, not waited out.
        uint32_t baud = m_baudRate.load();
        if (baud == 0)
            baud = 9600;
        unsigned timeoutMs = static_cast<unsigned>(std::min<uint64_t>(1000 + 20000ull * length / baud, 30000));
        std::vector<uint8_t> copy(data, data + length); // libusb wants a writable buffer
        uint32_t done = 0;
        std::lock_guard<std::mutex> lock(m_writeMutex);
        {
            std::lock_guard<std::mutex> controlLock(m_controlMutex);
            if (m_closed)
                return SI_INVALID_HANDLE;
        }
        while (done < length) {
            int moved = 0;
            int result = m_usb->bulkTransfer(m_interface.bulkOut, copy.data() + done, static_cast<int>(length - done),
                                             &moved, timeoutMs);
            done += static_cast<uint32_t>(std::max(moved, 0));
            *bytesWritten = done;
            if (result < 0)
                return statusFromUsb(result, Transfer::Write);
            if (moved <= 0 && done < length)
                return SI_WRITE_ERROR; // the stack took nothing and reported no reason
        }
        return SI_SUCCESS;
    }

private:
    // An interface request without data.
    int request(uint8_t code, uint16_t value)
    {
        return m_usb->controlTransfer(kToInterface, code, value, m_interface.number, nullptr, 0, kControlTimeoutMs);
    }

    int configureLocked()
    {
        int result = request(kIfcEnable, 1);
        if (result < 0)
            return result;
        // The part decides how the latch is written; the product id cannot
        // tell, it may be a customer's own.
        uint8_t number = 0;
        result = m_usb->controlTransfer(kFromDevice, kVendorSpecific, kGetPartNumber, m_interface.number, &number, 1,
                                        kControlTimeoutMs);
        if (result == LIBUSB_ERROR_NO_DEVICE)
            return result;
        // A chip that cannot tell (the oldest CP2101) has no latch.
        m_partNumber = result == 1 ? number : -1;
        const bool flowErratum = hasFlowErratumLocked();

        // The chip keeps the flow control the last owner set (a tty's
        // default turns on XON/XOFF), and bootloader and TLV traffic carry
        // 0x11 and 0x13: flow control off, everything else as it was.
        uint8_t flow[16] = {};
        result = m_usb->controlTransfer(kFromInterface, kGetFlow, 0, m_interface.number, flow, sizeof(flow),
                                        kControlTimeoutMs);
        if (result < 0)
            return result;
        if (result != static_cast<int>(sizeof(flow)))
            return LIBUSB_ERROR_IO;
        uint32_t handshake = le32(flow);
        uint32_t replace = le32(flow + 4);
        handshake &= ~(kDtrMask | kCtsHandshake | kDsrHandshake | kDcdHandshake | kDsrSensitivity);
        handshake |= kDtrActive;
        replace &= ~(kAutoTransmit | kAutoReceive | kRtsMask);
        replace |= kRtsActive;
        put32(flow, handshake);
        put32(flow + 4, replace);
        // Early CP2102N firmware reads the flow-replace bits from the XON
        // limit's place (erratum CP2102N_E104); there they get the same.
        if (flowErratum)
            put32(flow + 8, replace);
        result = m_usb->controlTransfer(kToInterface, kSetFlow, 0, m_interface.number, flow, sizeof(flow),
                                        kControlTimeoutMs);
        if (result < 0)
            return result;
        result = request(kSetMhs, kMhsDtr | kMhsRts | kMhsDtrMask | kMhsRtsMask);
        if (result < 0)
            return result;
        result = request(kPurge, kPurgeTransmit | kPurgeReceive);
        return result < 0 ? result : LIBUSB_SUCCESS;
    }

    bool hasFlowErratumLocked()
    {
        if (m_partNumber != kPartCp2102nQfn28 && m_partNumber != kPartCp2102nQfn24 &&
            m_partNumber != kPartCp2102nQfn20)
            return false;
        uint8_t version[3] = {};
        int result = m_usb->controlTransfer(kFromDevice, kVendorSpecific, kGetFirmwareVersion, 0, version,
                                            sizeof(version), kControlTimeoutMs);
        if (result != static_cast<int>(sizeof(version)))
            return true; // cannot tell: the layout that is right for both
        return (version[0] << 16 | version[1] << 8 | version[2]) <= 0x010004;
    }

    void startReaderWhenConfiguredLocked()
    {
        if (m_readerStarted || !m_lineSet || m_baudRate.load() == 0)
            return;
        m_readerStarted = true;
        m_reader = std::thread([this] { readLoop(); });
    }

    void stopReader()
    {
        m_stop.store(true);
        if (m_reader.joinable())
            m_reader.join();
    }

    void readLoop()
    {
        std::vector<uint8_t> chunk(kReaderChunk);
        int failures = 0; // in a row
        while (!m_stop.load()) {
            bool full;
            {
                std::lock_guard<std::mutex> lock(m_rxMutex);
                full = m_rx.size() >= kRxCapacity;
            }
            if (full) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            int moved = 0;
            int result;
            {
                std::lock_guard<std::mutex> gate(m_readerGate);
                result = m_usb->bulkTransfer(m_interface.bulkIn, chunk.data(), kReaderChunk, &moved, kReaderTimeoutMs);
                if (moved > 0) {
                    std::lock_guard<std::mutex> lock(m_rxMutex);
                    m_rx.insert(m_rx.end(), chunk.begin(), chunk.begin() + moved);
                }
                if (moved > 0)
                    bridgeWake(BRIDGE_WAKE_RECEIVED); // the host sleeps until bytes come
            }
            if (result == LIBUSB_SUCCESS || result == LIBUSB_ERROR_TIMEOUT) {
                failures = 0;
                if (result == LIBUSB_SUCCESS && moved <= 0) // an empty packet: do not spin on a chatty bus
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (result != LIBUSB_ERROR_NO_DEVICE && ++failures < kReaderFailureLimit) {
                // A stalled endpoint stays stalled until it is cleared.
                if (result == LIBUSB_ERROR_PIPE && m_usb->clearHalt(m_interface.bulkIn) == LIBUSB_ERROR_NO_DEVICE)
                    result = LIBUSB_ERROR_NO_DEVICE;
                else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    continue;
                }
            }
            logError("Cp210xBridgeBackend::read", "receiving from interface %u stopped: %s", m_interface.number,
                     libusb_error_name(result));
            // A reader that cannot go on leaves a link that is as good as
            // gone: the handle reports so, and its owner closes it.
            std::lock_guard<std::mutex> lock(m_rxMutex);
            m_rxError = LIBUSB_ERROR_NO_DEVICE;
            return;
        }
    }

    std::unique_ptr<UsbDeviceLink> m_usb;
    const UsbInterfaceInfo m_interface;
    const uint64_t m_key;

    std::mutex m_controlMutex; // one request at a time; guards the fields below
    bool m_closed = false;
    int m_partNumber = -1;
    bool m_lineSet = false;
    bool m_readerStarted = false;
    std::mutex m_writeMutex; // keeps concurrent writes from interleaving
    std::atomic<uint32_t> m_baudRate{0};

    std::mutex m_readerGate; // held by the reader across one transfer and its store
    std::mutex m_rxMutex;
    std::deque<uint8_t> m_rx;
    int m_rxError = LIBUSB_SUCCESS;

    std::atomic<bool> m_stop{false};
    std::thread m_reader;
};

// ---- the backend ----

Cp210xBridgeBackend::Cp210xBridgeBackend(std::unique_ptr<UsbTransport> transport) : m_transport(std::move(transport))
{
    const char* extra = std::getenv("TIVAKO_USB_IDS");
    if (!parseExtraIds(extra, &m_extraIds)) {
        logError("Cp210xBridgeBackend", "TIVAKO_USB_IDS=%s: not a list of vvvv:pppp hex ids; none taken", extra);
        m_extraIds.clear();
    }
}

Cp210xBridgeBackend::~Cp210xBridgeBackend()
{
    std::map<uintptr_t, std::shared_ptr<Cp210xLink>> links;
    {
        std::lock_guard<std::mutex> lock(m_linksMutex);
        links.swap(m_links);
    }
    for (auto& link : links)
        link.second->shutdown();
}

bool Cp210xBridgeBackend::isSupported(uint16_t vendorId, uint16_t productId)
{
    const Cp210xId wanted{vendorId, productId};
    return std::binary_search(std::begin(kCp210xIds), std::end(kCp210xIds), wanted, idLess);
}

bool Cp210xBridgeBackend::parseExtraIds(const char* text, std::vector<std::pair<uint16_t, uint16_t>>* ids)
{
    ids->clear();
    if (!text)
        return true;
    const std::string value = text;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(',', start);
        if (end == std::string::npos)
            end = value.size();
        const std::string item = value.substr(start, end - start);
        if (!item.empty()) {
            unsigned vendor = 0, product = 0;
            char tail = 0;
            if (item.size() != 9 || std::sscanf(item.c_str(), "%4x:%4x%c", &vendor, &product, &tail) != 2)
                return false;
            ids->emplace_back(static_cast<uint16_t>(vendor), static_cast<uint16_t>(product));
        }
        start = end + 1;
    }
    return true;
}

bool Cp210xBridgeBackend::accepts(uint16_t vendorId, uint16_t productId) const
{
    if (isSupported(vendorId, productId))
        return true;
    return std::find(m_extraIds.begin(), m_extraIds.end(), std::make_pair(vendorId, productId)) != m_extraIds.end();
}

void Cp210xBridgeBackend::refreshLocked()
{
    m_counted = true;
    bool anyOpen;
    {
        std::lock_guard<std::mutex> lock(m_linksMutex);
        anyOpen = !m_links.empty();
    }
    if (!anyOpen)
        m_transport->drainEvents();
    std::vector<UsbDeviceInfo> devices;
    int result = m_transport->listDevices([this](uint16_t vendorId, uint16_t productId) { return accepts(vendorId, productId); }, &devices);
    if (result <= 0) {
        // Once per outage: containers and build machines often have no USB
        // at all, and the list is refreshed every second.
        if (!m_listFailureLogged)
            logError("Cp210xBridgeBackend::getNumDevices", "no USB access, no bridge can be listed: %s",
                     result < 0 ? libusb_error_name(result) : "the system has no USB devices");
        m_listFailureLogged = true;
        m_table.clear();
        return;
    }
    m_listFailureLogged = false;
    std::stable_sort(devices.begin(), devices.end(), locationLess);

    std::map<uint64_t, Strings> strings;
    std::vector<Entry> table;
    for (const UsbDeviceInfo& device : devices) {
        auto cached = m_strings.find(device.key);
        if (cached != m_strings.end()) {
            strings[device.key] = cached->second;
        } else {
            Strings read;
            int status = m_transport->readStrings(device.key, &read.product, &read.serial);
            if (status < 0) {
                logError("Cp210xBridgeBackend::getNumDevices",
                         "cannot read the names of the bridge at USB %s (%s); is the udev rule installed?",
                         location(device).c_str(), libusb_error_name(status));
            }
            // Without names the bridge is still listed, known by where it is.
            if (read.product.empty())
                read.product = fallbackName(device.productId);
            if (read.serial.empty())
                read.serial = location(device);
            strings[device.key] = read;
        }
        const Strings& names = strings[device.key];

        std::vector<UsbInterfaceInfo> uarts;
        for (const UsbInterfaceInfo& interface : device.interfaces) {
            if (interface.bulkIn && interface.bulkOut)
                uarts.push_back(interface);
        }
        std::sort(uarts.begin(), uarts.end(),
                  [](const UsbInterfaceInfo& a, const UsbInterfaceInfo& b) { return a.number < b.number; });
        for (const UsbInterfaceInfo& interface : uarts) {
            Entry entry{device.key, interface, device.productId, names.product, names.serial};
            // The ports of a multi-port bridge share the chip's serial number;
            // each needs a name of its own.
            if (uarts.size() > 1) {
                entry.description += " (interface " + std::to_string(interface.number) + ")";
                entry.serial += "-" + std::to_string(interface.number);
            }
            table.push_back(std::move(entry));
        }
    }
    m_strings.swap(strings);
    m_table.swap(table);
}

BRIDGE_STATUS Cp210xBridgeBackend::getNumDevices(uint32_t* numDevices)
{
    std::lock_guard<std::mutex> lock(m_tableMutex);
    refreshLocked();
    *numDevices = static_cast<uint32_t>(m_table.size());
    return SI_SUCCESS;
}

BRIDGE_STATUS Cp210xBridgeBackend::getProductString(uint32_t deviceNum, char* buffer, uint8_t selector)
{
    std::lock_guard<std::mutex> lock(m_tableMutex);
    if (!m_counted)
        refreshLocked();
    if (deviceNum >= m_table.size())
        return SI_DEVICE_NOT_FOUND;
    const std::string* text;
    if (selector == SI_RETURN_DESCRIPTION)
        text = &m_table[deviceNum].description;
    else if (selector == SI_RETURN_SERIAL_NUMBER)
        text = &m_table[deviceNum].serial;
    else
        return SI_INVALID_PARAMETER;
    size_t length = std::min<size_t>(text->size(), BRIDGE_MAX_PRODUCT_STRING - 1);
    std::memcpy(buffer, text->data(), length);
    buffer[length] = '\0';
    return SI_SUCCESS;
}

BRIDGE_STATUS Cp210xBridgeBackend::open(uint32_t deviceNum, BRIDGE_HANDLE* handle)
{
    std::lock_guard<std::mutex> tableLock(m_tableMutex);
    if (!m_counted)
        refreshLocked();
    if (deviceNum >= m_table.size())
        return SI_DEVICE_NOT_FOUND;
    const Entry& entry = m_table[deviceNum];
    {
        std::lock_guard<std::mutex> lock(m_linksMutex);
        for (const auto& link : m_links) {
            if (link.second->key() == entry.key && link.second->interfaceNumber() == entry.interface.number) {
                logError("Cp210xBridgeBackend::open", "device %u is open already", deviceNum);
                return SI_DEVICE_NOT_FOUND;
            }
        }
    }
    std::unique_ptr<UsbDeviceLink> usb;
    int result = m_transport->open(entry.key, &usb);
    if (result < 0) {
        logError("Cp210xBridgeBackend::open", "cannot open device %u: %s", deviceNum, libusb_error_name(result));
        return statusFromOpen(result);
    }
    auto link = std::make_shared<Cp210xLink>(std::move(usb), entry.interface, entry.key);
    result = link->start();
    if (result < 0) {
        logError("Cp210xBridgeBackend::open", "cannot take over device %u: %s", deviceNum, libusb_error_name(result));
        return statusFromOpen(result);
    }
    std::lock_guard<std::mutex> lock(m_linksMutex);
    uintptr_t id = ++m_lastHandleId;
    m_links[id] = std::move(link);
    *handle = bridgeHandleFromId(id);
    return SI_SUCCESS;
}

std::shared_ptr<Cp210xLink> Cp210xBridgeBackend::linkFor(BRIDGE_HANDLE handle) const
{
    std::lock_guard<std::mutex> lock(m_linksMutex);
    auto it = m_links.find(bridgeHandleId(handle));
    return it == m_links.end() ? nullptr : it->second;
}

BRIDGE_STATUS Cp210xBridgeBackend::close(BRIDGE_HANDLE handle)
{
    std::shared_ptr<Cp210xLink> link;
    {
        std::lock_guard<std::mutex> lock(m_linksMutex);
        auto it = m_links.find(bridgeHandleId(handle));
        if (it == m_links.end())
            return SI_INVALID_HANDLE;
        link = std::move(it->second);
        m_links.erase(it);
    }
    // The handle is gone whatever the device answers: a bridge that was
    // unplugged must still close, or its caller could never let go of it.
    int result = link->shutdown();
    if (result < 0 && result != LIBUSB_ERROR_NO_DEVICE)
        logError("Cp210xBridgeBackend::close", "closing interface %u: %s", link->interfaceNumber(),
                 libusb_error_name(result));
    return SI_SUCCESS;
}

BRIDGE_STATUS Cp210xBridgeBackend::setBaudRate(BRIDGE_HANDLE handle, uint32_t baudRate)
{
    std::shared_ptr<Cp210xLink> link = linkFor(handle);
    return link ? link->setBaudRate(baudRate) : kInvalidHandle;
}

BRIDGE_STATUS Cp210xBridgeBackend::setLineControl(BRIDGE_HANDLE handle, uint16_t lineControl)
{
    std::shared_ptr<Cp210xLink> link = linkFor(handle);
    return link ? link->setLineControl(lineControl) : kInvalidHandle;
}

BRIDGE_STATUS Cp210xBridgeBackend::writeLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch)
{
    std::shared_ptr<Cp210xLink> link = linkFor(handle);
    return link ? link->writeLatch(mask, latch) : kInvalidHandle;
}

BRIDGE_STATUS Cp210xBridgeBackend::checkRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue, uint32_t* queueStatus)
{
    std::shared_ptr<Cp210xLink> link = linkFor(handle);
    return link ? link->checkRxQueue(numBytesInQueue, queueStatus) : kInvalidHandle;
}

BRIDGE_STATUS Cp210xBridgeBackend::read(BRIDGE_HANDLE handle, void* buffer, uint32_t bytesToRead,
                                        uint32_t* bytesReturned)
{
    std::shared_ptr<Cp210xLink> link = linkFor(handle);
    return link ? link->read(static_cast<uint8_t*>(buffer), bytesToRead, bytesReturned) : kInvalidHandle;
}

BRIDGE_STATUS Cp210xBridgeBackend::write(BRIDGE_HANDLE handle, const void* buffer, uint32_t bytesToWrite,
                                         uint32_t* bytesWritten)
{
    std::shared_ptr<Cp210xLink> link = linkFor(handle);
    if (!link)
        return SI_INVALID_HANDLE;
    return bytesToWrite ? link->write(static_cast<const uint8_t*>(buffer), bytesToWrite, bytesWritten) : kSuccess;
}

BRIDGE_STATUS Cp210xBridgeBackend::flushBuffers(BRIDGE_HANDLE handle, uint8_t flushTransmit, uint8_t flushReceive)
{
    std::shared_ptr<Cp210xLink> link = linkFor(handle);
    return link ? link->flush(flushTransmit != 0, flushReceive != 0) : kInvalidHandle;
}

// ---- plug events ----
// Bridges the backend accepts arriving or leaving wake the host, so that its list
// and an automatic reconnect follow a plug at once instead of at the next
// refresh. Self-contained: its own libusb context and one thread that sleeps
// in libusb until an event comes. Where libusb has no hot-plug support the
// host's periodic refresh is all there is.

namespace {

class Cp210xPlugWatch
{
public:
    explicit Cp210xPlugWatch(const Cp210xBridgeBackend* backend)
    {
        if (libusb_init(&m_context) != LIBUSB_SUCCESS) {
            m_context = nullptr;
            return;
        }
        libusb_set_option(m_context, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
        if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) ||
            libusb_hotplug_register_callback(m_context,
                                             static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                                               LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                                             LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                             LIBUSB_HOTPLUG_MATCH_ANY, &onPlug, const_cast<Cp210xBridgeBackend*>(backend),
                                             &m_callback) != LIBUSB_SUCCESS) {
            libusb_exit(m_context);
            m_context = nullptr;
            return;
        }
        m_events = std::thread([this] {
            while (!m_stop.load())
                libusb_handle_events_completed(m_context, nullptr);
        });
    }
    ~Cp210xPlugWatch()
    {
        if (!m_context)
            return;
        m_stop.store(true);
        libusb_interrupt_event_handler(m_context);
        m_events.join();
        libusb_hotplug_deregister_callback(m_context, m_callback);
        libusb_exit(m_context);
    }
    Cp210xPlugWatch(const Cp210xPlugWatch&) = delete;
    Cp210xPlugWatch& operator=(const Cp210xPlugWatch&) = delete;

private:
    static int LIBUSB_CALL onPlug(libusb_context*, libusb_device* device, libusb_hotplug_event, void* backend)
    {
        // The id table has other vendors' ids too, so the filter is ours.
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS &&
            static_cast<const Cp210xBridgeBackend*>(backend)->accepts(descriptor.idVendor, descriptor.idProduct))
            bridgeWake(BRIDGE_WAKE_DEVICES);
        return 0; // stay registered
    }

    libusb_context* m_context = nullptr;
    libusb_hotplug_callback_handle m_callback = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_events;
};

class WatchedCp210xBridgeBackend : public Cp210xBridgeBackend
{
public:
    WatchedCp210xBridgeBackend() : Cp210xBridgeBackend(createLibusbTransport()), m_watch(this) {}

private:
    Cp210xPlugWatch m_watch;
};

} // namespace

std::shared_ptr<BridgeBackend> createCp210xBridgeBackend()
{
    return std::make_shared<WatchedCp210xBridgeBackend>();
}
