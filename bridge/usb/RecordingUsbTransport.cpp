#include "bridge/usb/RecordingUsbTransport.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>

// Endpoints of interface i: bulk IN 0x81 + i, bulk OUT 0x01 + i.
class RecordingLink : public UsbDeviceLink
{
public:
    RecordingLink(RecordingUsbTransport* transport, uint64_t key) : m_transport(transport), m_key(key) {}
    ~RecordingLink() override { m_transport->linkClosed(m_key); }

    int claimInterface(uint8_t interfaceNumber) override { return m_transport->linkClaim(m_key, interfaceNumber); }
    int releaseInterface(uint8_t interfaceNumber) override { return m_transport->linkRelease(m_key, interfaceNumber); }
    int controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                        uint16_t length, unsigned) override
    {
        return m_transport->linkControl(m_key, requestType, request, value, index, data, length);
    }
    int clearHalt(uint8_t) override { return 0; }
    int bulkTransfer(uint8_t endpoint, uint8_t* data, int length, int* transferred, unsigned timeoutMs) override
    {
        return m_transport->linkBulk(m_key, endpoint, data, length, transferred, timeoutMs);
    }

private:
    RecordingUsbTransport* m_transport;
    uint64_t m_key;
};

namespace {

class LentTransport : public UsbTransport
{
public:
    explicit LentTransport(UsbTransport* target) : m_target(target) {}
    int listDevices(const std::function<bool(uint16_t, uint16_t)>& wanted, std::vector<UsbDeviceInfo>* devices) override
    {
        return m_target->listDevices(wanted, devices);
    }
    int readStrings(uint64_t key, std::string* product, std::string* serial) override
    {
        return m_target->readStrings(key, product, serial);
    }
    int open(uint64_t key, std::unique_ptr<UsbDeviceLink>* link) override { return m_target->open(key, link); }

private:
    UsbTransport* m_target;
};

} // namespace

std::unique_ptr<UsbTransport> RecordingUsbTransport::lend()
{
    return std::unique_ptr<UsbTransport>(new LentTransport(this));
}

// ---- scripting ----

uint64_t RecordingUsbTransport::plug(const Bridge& bridge)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t key = ++m_lastKey;
    m_attached[key].bridge = bridge;
    return key;
}

void RecordingUsbTransport::unplug(uint64_t key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_attached.find(key);
    if (it != m_attached.end())
        it->second.present = false;
    m_changed.notify_all();
}

void RecordingUsbTransport::failList(int error, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listFailures.push_back(Failure{error, count, -1});
}

void RecordingUsbTransport::failStrings(int error, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stringFailures.push_back(Failure{error, count, -1});
}

void RecordingUsbTransport::failOpen(int error, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_openFailures.push_back(Failure{error, count, -1});
}

void RecordingUsbTransport::failClaim(int error, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_claimFailures.push_back(Failure{error, count, -1});
}

void RecordingUsbTransport::failControl(uint8_t request, int error, int count, int value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_controlFailures[request].push_back(Failure{error, count, value});
}

void RecordingUsbTransport::failBulkOut(int error, int count, int moved)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bulkOutFailures.push_back(Failure{error, count, moved});
}

void RecordingUsbTransport::limitBulkOut(int bytesPerTransfer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bulkOutLimit = bytesPerTransfer;
}

void RecordingUsbTransport::failBulkIn(int error, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bulkInFailures.push_back(Failure{error, count, -1});
    m_changed.notify_all();
}

void RecordingUsbTransport::sendFromBoard(uint64_t key, uint8_t interfaceNumber, const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto& queue = m_attached[key].fromBoard[interfaceNumber];
    queue.insert(queue.end(), bytes.begin(), bytes.end());
    m_changed.notify_all();
}

// ---- inspection ----

std::vector<RecordingUsbTransport::Setup> RecordingUsbTransport::setups() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_setups;
}

void RecordingUsbTransport::clearSetups()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_setups.clear();
}

std::vector<std::string> RecordingUsbTransport::events() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

void RecordingUsbTransport::clearEvents()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}

std::vector<uint8_t> RecordingUsbTransport::sentToBoard(uint64_t key, uint8_t interfaceNumber) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_attached.find(key);
    if (it == m_attached.end())
        return {};
    auto sent = it->second.toBoard.find(interfaceNumber);
    return sent == it->second.toBoard.end() ? std::vector<uint8_t>() : sent->second;
}

int RecordingUsbTransport::listCalls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_listCalls;
}

int RecordingUsbTransport::stringReads() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stringReads;
}

int RecordingUsbTransport::openLinks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openLinks;
}

bool RecordingUsbTransport::isClaimed(uint64_t key, uint8_t interfaceNumber) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_attached.find(key);
    if (it == m_attached.end())
        return false;
    auto claimed = it->second.claimed.find(interfaceNumber);
    return claimed != it->second.claimed.end() && claimed->second;
}

// ---- helpers ----

int RecordingUsbTransport::take(std::deque<Failure>& failures, int value, int* extra)
{
    if (failures.empty())
        return 0;
    Failure& front = failures.front();
    if (value >= 0 && front.value >= 0 && front.value != value)
        return 0;
    int error = front.error;
    if (extra)
        *extra = front.value;
    if (front.count > 0 && --front.count == 0)
        failures.pop_front();
    return error;
}

void RecordingUsbTransport::event(const std::string& text)
{
    m_events.push_back(text);
}

// ---- UsbTransport ----

int RecordingUsbTransport::listDevices(const std::function<bool(uint16_t, uint16_t)>& wanted,
                                       std::vector<UsbDeviceInfo>* devices)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_listCalls;
    devices->clear();
    if (int error = take(m_listFailures))
        return error;
    int present = 0;
    for (const auto& attached : m_attached) {
        const Bridge& bridge = attached.second.bridge;
        if (!attached.second.present)
            continue;
        ++present;
        if (!wanted(bridge.vendorId, bridge.productId))
            continue;
        UsbDeviceInfo info;
        info.key = attached.first;
        info.bus = bridge.bus;
        info.portPath = bridge.portPath;
        info.vendorId = bridge.vendorId;
        info.productId = bridge.productId;
        for (int i = 0; i < bridge.interfaces; ++i) {
            UsbInterfaceInfo interface;
            interface.number = static_cast<uint8_t>(i);
            interface.bulkIn = static_cast<uint8_t>(0x81 + i);
            interface.bulkOut = static_cast<uint8_t>(0x01 + i);
            info.interfaces.push_back(interface);
        }
        devices->push_back(std::move(info));
    }
    return present;
}

int RecordingUsbTransport::readStrings(uint64_t key, std::string* product, std::string* serial)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_stringReads;
    event("strings " + std::to_string(key));
    auto it = m_attached.find(key);
    if (it == m_attached.end() || !it->second.present)
        return LIBUSB_ERROR_NO_DEVICE;
    if (int error = take(m_stringFailures))
        return error;
    *product = it->second.bridge.product;
    *serial = it->second.bridge.serial;
    return 0;
}

int RecordingUsbTransport::open(uint64_t key, std::unique_ptr<UsbDeviceLink>* link)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_attached.find(key);
    if (it == m_attached.end() || !it->second.present)
        return LIBUSB_ERROR_NO_DEVICE;
    if (int error = take(m_openFailures))
        return error;
    event("open " + std::to_string(key));
    ++m_openLinks;
    link->reset(new RecordingLink(this, key));
    return 0;
}

int RecordingUsbTransport::linkClaim(uint64_t key, uint8_t interfaceNumber)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Attached& attached = m_attached[key];
    if (!attached.present)
        return LIBUSB_ERROR_NO_DEVICE;
    if (int error = take(m_claimFailures))
        return error;
    if (interfaceNumber >= attached.bridge.interfaces)
        return LIBUSB_ERROR_NOT_FOUND;
    if (attached.claimed[interfaceNumber])
        return LIBUSB_ERROR_BUSY;
    attached.claimed[interfaceNumber] = true;
    event("claim " + std::to_string(key) + "/" + std::to_string(interfaceNumber));
    return 0;
}

int RecordingUsbTransport::linkRelease(uint64_t key, uint8_t interfaceNumber)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Attached& attached = m_attached[key];
    attached.claimed[interfaceNumber] = false;
    event("release " + std::to_string(key) + "/" + std::to_string(interfaceNumber));
    return attached.present ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int RecordingUsbTransport::linkControl(uint64_t key, uint8_t requestType, uint8_t request, uint16_t value,
                                       uint16_t index, uint8_t* data, uint16_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Setup setup;
    setup.device = key;
    setup.requestType = requestType;
    setup.request = request;
    setup.value = value;
    setup.index = index;
    setup.length = length;
    const bool toDevice = (requestType & 0x80) == 0;
    if (toDevice && data && length)
        setup.data.assign(data, data + length);
    m_setups.push_back(setup);

    Attached& attached = m_attached[key];
    if (!attached.present)
        return LIBUSB_ERROR_NO_DEVICE;
    auto failures = m_controlFailures.find(request);
    if (failures != m_controlFailures.end()) {
        if (int error = take(failures->second, value))
            return error;
    }
    if (toDevice)
        return length;
    // The device-to-host requests the backend makes: GET_PARTNUM.
    if (request == 0xFF && value == 0x370B && length >= 1 && data) {
        data[0] = attached.bridge.partNumber;
        return 1;
    }
    return LIBUSB_ERROR_PIPE; // a real chip stalls requests it does not know
}

int RecordingUsbTransport::linkBulk(uint64_t key, uint8_t endpoint, uint8_t* data, int length, int* transferred,
                                    unsigned timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    *transferred = 0;
    Attached& attached = m_attached[key];
    if (!attached.present)
        return LIBUSB_ERROR_NO_DEVICE;
    if ((endpoint & 0x80) == 0) {
        uint8_t interfaceNumber = static_cast<uint8_t>(endpoint - 0x01);
        int moved = 0;
        int error = take(m_bulkOutFailures, -1, &moved);
        int accept = error ? std::min(moved, length) : length;
        if (!error && m_bulkOutLimit > 0)
            accept = std::min(accept, m_bulkOutLimit);
        auto& sent = attached.toBoard[interfaceNumber];
        sent.insert(sent.end(), data, data + accept);
        *transferred = accept;
        return error;
    }
    uint8_t interfaceNumber = static_cast<uint8_t>(endpoint - 0x81);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!attached.present)
            return LIBUSB_ERROR_NO_DEVICE;
        if (int error = take(m_bulkInFailures))
            return error;
        auto& queue = attached.fromBoard[interfaceNumber];
        if (!queue.empty()) {
            int count = std::min<int>(length, static_cast<int>(queue.size()));
            std::copy(queue.begin(), queue.begin() + count, data);
            queue.erase(queue.begin(), queue.begin() + count);
            *transferred = count;
            return 0;
        }
        if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout)
            return LIBUSB_ERROR_TIMEOUT;
    }
}

void RecordingUsbTransport::linkClosed(uint64_t key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_openLinks;
    event("close " + std::to_string(key));
}
