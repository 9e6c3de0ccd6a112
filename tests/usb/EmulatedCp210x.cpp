#include "EmulatedCp210x.h"

#include "sim/SimClock.h"

#include <glib/gstdio.h>
#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Vendor requests of the CP210x family (Silicon Labs AN571).
enum : uint8_t {
    kIfcEnable = 0x00,
    kSetBaudDiv = 0x01,
    kSetLineCtl = 0x03,
    kGetLineCtl = 0x04,
    kSetMhs = 0x07,
    kGetMdmSts = 0x08,
    kGetCommStatus = 0x10,
    kPurge = 0x12,
    kSetFlow = 0x13,
    kGetFlow = 0x14,
    kGetBaudRate = 0x1D,
    kSetBaudRate = 0x1E,
    kVendorSpecific = 0xFF,
};
enum : uint16_t { kGetFirmwareVersion = 0x0010, kGetPartNumber = 0x370B, kWriteLatch = 0x37E1, kReadLatch = 0x00C2 };

uint16_t le16(const uint8_t* p)
{
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

uint16_t factoryProductId(Cp210xPart part)
{
    switch (part) {
    case Cp210xPart::Cp2105:
        return 0xEA70;
    case Cp210xPart::Cp2108:
        return 0xEA71;
    default:
        return 0xEA60;
    }
}

std::string hex(const uint8_t* data, int length)
{
    std::string text;
    char byte[4];
    for (int i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof(byte), i ? " %02X" : "%02X", data[i]);
        text += byte;
    }
    return text;
}

} // namespace

// ---------------------------------------------------------------------------

EmulatedCp210x::EmulatedCp210x(UMockdevTestbed* testbed, const EmulatedCp210xConfig& config, int deviceNumber)
    : m_testbed(testbed), m_config(config), m_deviceNumber(deviceNumber)
{
    if (m_config.productId == 0)
        m_config.productId = factoryProductId(m_config.part);
    auto clock = std::make_shared<SteadySimClock>();
    for (int i = 0; i < interfaceCount(); ++i)
        m_uarts[uint8_t(i)].port.flow[1] = m_config.flowReplace;
    for (uint8_t number : m_config.boardPorts) {
        SimBoardConfig boardConfig;
        boardConfig.number = number + 1;
        boardConfig.timing = SimTiming::Fast;
        boardConfig.output = m_config.output;
        auto board = std::make_unique<SimBoard>(boardConfig, clock);
        if (!m_config.flashImage.empty()) {
            board->setFlash(0, m_config.flashImage);
            board->unplug();
            board->plug();
        }
        m_uarts[number].board = std::move(board);
    }
    m_handler = umockdev_ioctl_base_new();
    g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(&EmulatedCp210x::onIoctl), this);
    g_signal_connect(m_handler, "client-vanished", G_CALLBACK(&EmulatedCp210x::onVanished), this);
    plug(deviceNumber);
}

EmulatedCp210x::~EmulatedCp210x()
{
    if (attached())
        unplug();
    g_signal_handlers_disconnect_by_data(m_handler, this);
    std::lock_guard<std::mutex> lock(m_mutex);
    releaseUrbs();
}

int EmulatedCp210x::interfaceCount() const
{
    switch (m_config.part) {
    case Cp210xPart::Cp2105:
        return 2;
    case Cp210xPart::Cp2108:
        return 4;
    default:
        return 1;
    }
}

uint8_t EmulatedCp210x::partNumber() const
{
    switch (m_config.part) {
    case Cp210xPart::Cp2102n:
        return 0x20;
    case Cp210xPart::Cp2104:
        return 0x04;
    case Cp210xPart::Cp2105:
        return 0x05;
    case Cp210xPart::Cp2108:
        return 0x08;
    }
    return 0;
}

SimBoard* EmulatedCp210x::board(uint8_t interfaceNumber) const
{
    auto it = m_uarts.find(interfaceNumber);
    return it == m_uarts.end() ? nullptr : it->second.board.get();
}

std::vector<std::string> EmulatedCp210x::requests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void EmulatedCp210x::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

EmulatedCp210x::Port EmulatedCp210x::port(uint8_t interfaceNumber)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Uart* uart = uartFor(interfaceNumber);
    return uart ? uart->port : Port();
}

uint16_t EmulatedCp210x::latch()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_latch;
}

void EmulatedCp210x::holdBulkIn(bool hold)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdBulkIn = hold;
}

void EmulatedCp210x::failBulkIn(uint8_t interfaceNumber, int status, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Uart* uart = uartFor(interfaceNumber)) {
        // A stall lasts until the host clears it.
        if (status == -EPIPE) {
            uart->halted = true;
            return;
        }
        uart->failStatus = status;
        uart->failCount = count;
    }
}

int EmulatedCp210x::clearHalts(uint8_t endpoint)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clearHalts[endpoint];
}

int EmulatedCp210x::failuresLeft(uint8_t interfaceNumber)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Uart* uart = uartFor(interfaceNumber);
    return uart ? uart->failCount : 0;
}

int EmulatedCp210x::discards()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_discards;
}

void EmulatedCp210x::vanishOnRequest(uint8_t request)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vanishOn = request;
}

void EmulatedCp210x::deliverOnPurge(bool deliver)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deliverOnPurge = deliver;
}

std::string EmulatedCp210x::sysfsPath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sysfsPath;
}

std::string EmulatedCp210x::deviceNode() const
{
    char node[64];
    std::snprintf(node, sizeof(node), "/dev/bus/usb/001/%03d", m_deviceNumber);
    return node;
}

int EmulatedCp210x::deviceNumber() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_deviceNumber;
}

bool EmulatedCp210x::attached() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_attached;
}

void EmulatedCp210x::unplug()
{
    std::string path;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_attached)
            return;
        m_attached = false;
        // URBs in flight end as the kernel ends them on a disconnect.
        for (Urb& urb : m_urbs) {
            if (!urb.done) {
                auto* u = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
                u->status = -ESHUTDOWN;
                u->actual_length = 0;
                urb.done = true;
            }
        }
        for (auto& entry : m_uarts) {
            Uart& uart = entry.second;
            uart.port = Port();
            uart.port.flow[1] = m_config.flowReplace;
            uart.session = 0;
            uart.heldForXon.clear();
            if (uart.board)
                uart.board->unplug();
        }
        m_latch = 0xFFFF;
        path = m_sysfsPath;
    }
    umockdev_testbed_uevent(m_testbed, path.c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, path.c_str());
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    g_unlink((std::string(root) + deviceNode()).c_str());
    g_free(root);
}

void EmulatedCp210x::plug(int deviceNumber)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deviceNumber = deviceNumber;
        for (auto& entry : m_uarts) {
            if (entry.second.board && !entry.second.board->isPlugged())
                entry.second.board->plug();
        }
    }
    // The handler has to be in place before the node appears: libusb may
    // open it as soon as it hears of the device.
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_testbed, deviceNode().c_str(), m_handler, &error)) {
        std::fprintf(stderr, "EmulatedCp210x: cannot attach the ioctl handler: %s\n",
                     error ? error->message : "?");
        g_clear_error(&error);
    }
    addToSysfs();
}

std::vector<uint8_t> EmulatedCp210x::descriptors() const
{
    const int interfaces = interfaceCount();
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
    d.push_back(uint8_t(m_config.vendorId));
    d.push_back(uint8_t(m_config.vendorId >> 8));
    d.push_back(uint8_t(m_config.productId));
    d.push_back(uint8_t(m_config.productId >> 8));
    d.insert(d.end(), {0x00, 0x01, 1, 2, 3, 1});
    const int total = 9 + interfaces * (9 + 7 + 7);
    d.insert(d.end(), {9, 2, uint8_t(total), uint8_t(total >> 8), uint8_t(interfaces), 1, 0, 0x80, 50});
    for (int i = 0; i < interfaces; ++i) {
        d.insert(d.end(), {9, 4, uint8_t(i), 0, 2, 0xFF, 0, 0, 0});
        d.insert(d.end(), {7, 5, uint8_t(0x81 + i), 2, 64, 0, 0});
        d.insert(d.end(), {7, 5, uint8_t(0x01 + i), 2, 64, 0, 0});
    }
    return d;
}

void EmulatedCp210x::addToSysfs()
{
    // Attributes end with a newline, as the kernel writes them.
    char name[16], busnum[8], devnum[8], vendor[8], product[8], interfaces[8], productProperty[32], dev[24];
    std::snprintf(name, sizeof(name), "1-%u", m_config.port);
    std::snprintf(busnum, sizeof(busnum), "%d\n", 1);
    std::snprintf(devnum, sizeof(devnum), "%d\n", m_deviceNumber);
    std::snprintf(vendor, sizeof(vendor), "%04x\n", m_config.vendorId);
    std::snprintf(product, sizeof(product), "%04x\n", m_config.productId);
    std::snprintf(interfaces, sizeof(interfaces), "%2d\n", interfaceCount());
    // The node is made from the device's numbers (usb_device: major 189).
    std::snprintf(dev, sizeof(dev), "189:%d\n", m_deviceNumber - 1);
    const std::string productText = m_config.product + "\n";
    const std::string serialText = m_config.serial + "\n";
    std::snprintf(productProperty, sizeof(productProperty), "%x/%x/100", m_config.vendorId, m_config.productId);
    const std::string node = deviceNode();
    char busProperty[8], devProperty[8];
    std::snprintf(busProperty, sizeof(busProperty), "%03d", 1);
    std::snprintf(devProperty, sizeof(devProperty), "%03d", m_deviceNumber);
    gchar* path = umockdev_testbed_add_device(
        m_testbed, "usb", name, nullptr, "busnum", busnum, "devnum", devnum, "idVendor", vendor, "idProduct", product,
        "speed", "12\n", "bConfigurationValue", "1\n", "bNumInterfaces", interfaces, "manufacturer", "Silicon Labs\n",
        "product", productText.c_str(), "serial", serialText.c_str(), "dev", dev, nullptr, "DEVTYPE", "usb_device",
        "DEVNAME", node.c_str(), "BUSNUM", busProperty, "DEVNUM", devProperty, "PRODUCT", productProperty, nullptr);
    // usbfs nodes are plain files in the testbed; umockdev only makes them
    // for devices read from a recording.
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    const std::string file = std::string(root) + node;
    g_free(root);
    gchar* folder = g_path_get_dirname(file.c_str());
    g_mkdir_with_parents(folder, 0755);
    g_free(folder);
    g_file_set_contents(file.c_str(), "", 0, nullptr);
    std::vector<uint8_t> raw = descriptors();
    umockdev_testbed_set_attribute_binary(m_testbed, path, "descriptors", raw.data(), int(raw.size()));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sysfsPath = path;
        m_attached = true;
    }
    umockdev_testbed_uevent(m_testbed, path, "add");
    g_free(path);
}

void EmulatedCp210x::record(const std::string& line)
{
    m_requests.push_back(line);
}

void EmulatedCp210x::releaseUrbs()
{
    for (Urb& urb : m_urbs) {
        if (urb.buffer)
            g_object_unref(urb.buffer);
        g_object_unref(urb.urb);
    }
    m_urbs.clear();
}

EmulatedCp210x::Uart* EmulatedCp210x::uartFor(uint8_t interfaceNumber)
{
    auto it = m_uarts.find(interfaceNumber);
    return it == m_uarts.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------------------
// usbfs

int EmulatedCp210x::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    static_cast<EmulatedCp210x*>(self)->handle(client);
    return TRUE;
}

void EmulatedCp210x::onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    // URBs of a closed file are never reaped.
    auto* bridge = static_cast<EmulatedCp210x*>(self);
    std::lock_guard<std::mutex> lock(bridge->m_mutex);
    for (auto it = bridge->m_urbs.begin(); it != bridge->m_urbs.end();) {
        if (it->client != client) {
            ++it;
            continue;
        }
        if (it->buffer)
            g_object_unref(it->buffer);
        g_object_unref(it->urb);
        it = bridge->m_urbs.erase(it);
    }
}

namespace {

template <typename T> T* resolved(UMockdevIoctlData* arg, UMockdevIoctlData** out = nullptr)
{
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), &error);
    if (!data) {
        g_clear_error(&error);
        return nullptr;
    }
    if (out)
        *out = data;
    else
        g_object_unref(data); // the argument keeps its own reference
    return reinterpret_cast<T*>(data->data);
}

} // namespace

void EmulatedCp210x::handle(UMockdevIoctlClient* client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const std::string node = umockdev_ioctl_client_get_devnode(client);

    bool present;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        present = m_attached && node == deviceNode();
    }
    // URBs in flight may still be reaped after a disconnect; nothing else.
    if (!present && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        if (auto* caps = resolved<uint32_t>(arg))
            *caps = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        unsigned number = 0;
        if (request == USBDEVFS_DISCONNECT_CLAIM) {
            if (auto* claim = resolved<usbdevfs_disconnect_claim>(arg))
                number = claim->interface;
        } else if (auto* value = resolved<unsigned>(arg)) {
            number = *value;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        Uart* uart = uartFor(uint8_t(number));
        if (!uart) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        const bool claim = request != USBDEVFS_RELEASEINTERFACE;
        uart->port.claimed = claim;
        record((claim ? "claim " : "release ") + std::to_string(number));
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    case USBDEVFS_IOCTL: {
        auto* command = resolved<usbdevfs_ioctl>(arg);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (command && command->ioctl_code == int(USBDEVFS_CONNECT)) {
            if (Uart* uart = uartFor(uint8_t(command->ifno)))
                ++uart->port.connects;
            record("connect " + std::to_string(command->ifno));
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
        // No kernel driver is bound to take the interface away from.
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return;
    }
    case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return;
    case USBDEVFS_CLEAR_HALT: {
        unsigned endpoint = 0;
        if (auto* value = resolved<unsigned>(arg))
            endpoint = *value;
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_clearHalts[uint8_t(endpoint)];
        if (Uart* uart = uartFor(uint8_t((endpoint & 0x0F) - 1)))
            uart->halted = false;
        char line[32];
        std::snprintf(line, sizeof(line), "clear-halt %02X", endpoint);
        record(line);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    case USBDEVFS_SUBMITURB:
        submit(client, arg);
        return;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap(client, arg);
        return;
    case USBDEVFS_DISCARDURB:
        discard(client, arg);
        return;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return;
    }
}

void EmulatedCp210x::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* urbData = nullptr;
    auto* urb = resolved<usbdevfs_urb>(arg, &urbData);
    if (!urb) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    UMockdevIoctlData* bufferData = nullptr;
    if (urb->buffer_length > 0) {
        GError* error = nullptr;
        bufferData = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), size_t(urb->buffer_length),
                                                 &error);
        g_clear_error(&error);
        if (!bufferData) {
            g_object_unref(urbData);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    uint8_t* buffer = bufferData ? bufferData->data : nullptr;

    Urb entry;
    entry.urb = urbData;
    entry.buffer = bufferData;
    entry.clientAddress = urbData->client_addr;
    entry.client = client;
    urb->status = 0;
    urb->actual_length = 0;

    std::lock_guard<std::mutex> lock(m_mutex);
    // The device may have gone since the ioctl came in: the kernel refuses a
    // URB on a disconnected file as a whole, it never half-accepts one.
    if (!m_attached || umockdev_ioctl_client_get_devnode(client) != deviceNode()) {
        g_object_unref(urbData);
        if (bufferData)
            g_object_unref(bufferData);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (urb->buffer_length < 8) {
            g_object_unref(urbData);
            if (bufferData)
                g_object_unref(bufferData);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        const uint16_t length = le16(buffer + 6);
        const uint16_t room = uint16_t(std::min<int>(length, urb->buffer_length - 8));
        const int result = control(buffer[0], buffer[1], le16(buffer + 2), le16(buffer + 4), buffer + 8, room);
        // The setup packet is not counted in what a control URB moved.
        urb->status = result < 0 ? result : 0;
        urb->actual_length = result < 0 ? 0 : result;
        entry.done = true;
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && !(urb->endpoint & 0x80)) {
        bulkOut(uint8_t((urb->endpoint & 0x0F) - 1), buffer, urb->buffer_length);
        urb->actual_length = urb->buffer_length;
        entry.done = true;
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK) {
        // The first read of an enabled port shows where reading began.
        if (Uart* uart = uartFor(uint8_t((urb->endpoint & 0x0F) - 1)); uart && !uart->readSeen) {
            uart->readSeen = true;
            char line[16];
            std::snprintf(line, sizeof(line), "read %02X", urb->endpoint);
            record(line);
        }
    } else {
        g_object_unref(urbData);
        if (bufferData)
            g_object_unref(bufferData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    m_urbs.push_back(entry);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedCp210x::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    // URBs belong to the open file they were submitted on: libusb opens a
    // device once per handle, and a handle reaps only its own.
    const std::string node = umockdev_ioctl_client_get_devnode(client);
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const bool current = m_attached && node == deviceNode();
            auto found = m_urbs.end();
            for (auto it = m_urbs.begin(); it != m_urbs.end(); ++it) {
                if (it->client != client)
                    continue;
                if (!it->done && !current) {
                    // After a disconnect every URB of the old file ends, as
                    // the kernel ends them; one left pending would keep
                    // libusb waiting for it for good.
                    auto* u = reinterpret_cast<usbdevfs_urb*>(it->urb->data);
                    u->status = -ESHUTDOWN;
                    u->actual_length = 0;
                    it->done = true;
                }
                if (!it->done && !m_holdBulkIn) {
                    auto* u = reinterpret_cast<usbdevfs_urb*>(it->urb->data);
                    const int moved = bulkIn(uint8_t((u->endpoint & 0x0F) - 1), it->buffer ? it->buffer->data : nullptr,
                                             u->buffer_length);
                    if (moved != 0) {
                        u->status = moved < 0 ? moved : 0;
                        u->actual_length = moved < 0 ? 0 : moved;
                        it->done = true;
                    }
                }
                if (it->done) {
                    found = it;
                    break;
                }
            }
            if (found != m_urbs.end()) {
                GError* error = nullptr;
                UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
                g_clear_error(&error);
                if (pointer) {
                    markForReply(*found);
                    umockdev_ioctl_data_set_ptr(pointer, 0, found->urb);
                    g_object_unref(pointer);
                }
                // The reply holds its own references until it is written back.
                if (found->buffer)
                    g_object_unref(found->buffer);
                g_object_unref(found->urb);
                m_urbs.erase(found);
                umockdev_ioctl_client_complete(client, 0, 0);
                return;
            }
            if (!current) {
                umockdev_ioctl_client_complete(client, -1, ENODEV);
                return;
            }
        }
        // umockdev's node always polls ready, so libusb asks again at once:
        // an empty answer comes a little later, or it would spin a core.
        if (attempt == 0)
            g_usleep(1000);
    }
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
}

void EmulatedCp210x::markForReply(Urb& urb)
{
    // What the URB carries back is written again through the data object, so
    // that the reply of this reap writes it to the client.
    auto* u = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
    int32_t fields[2] = {u->status, u->actual_length};
    umockdev_ioctl_data_update(urb.urb, offsetof(usbdevfs_urb, status), reinterpret_cast<guint8*>(&fields[0]), 4);
    umockdev_ioctl_data_update(urb.urb, offsetof(usbdevfs_urb, actual_length), reinterpret_cast<guint8*>(&fields[1]),
                               4);
    const bool control = u->type == USBDEVFS_URB_TYPE_CONTROL;
    const bool in = control ? urb.buffer && (urb.buffer->data[0] & 0x80) : (u->endpoint & 0x80) != 0;
    if (urb.buffer && in && u->actual_length > 0) {
        const int length = std::min(urb.buffer->data_len, u->actual_length + (control ? 8 : 0));
        std::vector<guint8> copy(urb.buffer->data, urb.buffer->data + length);
        umockdev_ioctl_data_update(urb.buffer, 0, copy.data(), length);
    }
}

void EmulatedCp210x::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    const unsigned long address = *reinterpret_cast<unsigned long*>(arg->data);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Urb& urb : m_urbs) {
        if (urb.clientAddress == address && urb.client == client && !urb.done) {
            auto* u = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
            u->status = -ENOENT;
            u->actual_length = 0;
            urb.done = true;
            ++m_discards;
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

// ---------------------------------------------------------------------------
// The chip

int EmulatedCp210x::control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                            uint16_t length)
{
    if (requestType == 0x80 && request == 6) { // GET_DESCRIPTOR
        const uint8_t type = uint8_t(value >> 8);
        const uint8_t which = uint8_t(value);
        std::vector<uint8_t> reply;
        if (type == 1) {
            std::vector<uint8_t> all = descriptors();
            reply.assign(all.begin(), all.begin() + 18);
        } else if (type == 2) {
            std::vector<uint8_t> all = descriptors();
            reply.assign(all.begin() + 18, all.end());
        } else if (type == 3) {
            if (which == 0) {
                reply = {4, 3, 0x09, 0x04};
            } else {
                const std::string text =
                    which == 1 ? "Silicon Labs" : which == 2 ? m_config.product : which == 3 ? m_config.serial : "";
                if (which > 3)
                    return -EPIPE;
                reply = {uint8_t(2 + 2 * text.size()), 3};
                for (char c : text) {
                    reply.push_back(uint8_t(c));
                    reply.push_back(0);
                }
            }
        } else {
            return -EPIPE;
        }
        const int n = std::min<int>(length, int(reply.size()));
        std::memcpy(data, reply.data(), size_t(n));
        return n;
    }
    if ((requestType & 0x60) != 0x40)
        return -EPIPE; // other standard and class requests: not modelled
    std::string line;
    char head[32];
    std::snprintf(head, sizeof(head), "%02X %02X %04X %04X", requestType, request, value, index);
    line = head;
    if (requestType & 0x80)
        line += " <" + std::to_string(length);
    else if (length)
        line += " [" + hex(data, length) + "]";
    record(line);
    return vendorRequest(requestType, request, value, index, data, length);
}

int EmulatedCp210x::vendorRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                                  uint16_t length)
{
    const bool multiPortLatch = m_config.part == Cp210xPart::Cp2105 || m_config.part == Cp210xPart::Cp2108;
    if (requestType == 0xC0 && request == kVendorSpecific) {
        if (value == kGetPartNumber && length >= 1) {
            data[0] = partNumber();
            return 1;
        }
        if (value == kGetFirmwareVersion && m_config.part == Cp210xPart::Cp2102n && length >= 3) {
            std::memcpy(data, m_config.firmwareVersion, 3);
            return 3;
        }
        if (value == kReadLatch && !multiPortLatch && length >= 1) {
            data[0] = uint8_t(m_latch);
            return 1;
        }
        return -EPIPE;
    }
    if (requestType == 0x40 && request == kVendorSpecific && value == kWriteLatch && !multiPortLatch) {
        writeLatch(index & 0xFF, index >> 8);
        return 0;
    }
    if ((requestType != 0x41 && requestType != 0xC1))
        return -EPIPE;
    if (requestType == 0x41 && request == m_vanishOn) {
        m_vanishOn = -1;
        return -ENODEV;
    }
    Uart* uart = uartFor(uint8_t(index));
    if (!uart)
        return -EPIPE;
    Port& port = uart->port;
    SimBoard* board = uart->board.get();
    if (requestType == 0xC1) {
        switch (request) {
        case kGetFlow:
            if (length < 16)
                return -EPIPE;
            for (int i = 0; i < 4; ++i)
                put32(data + 4 * i, port.flow[i]);
            return 16;
        case kGetBaudRate:
            if (length < 4)
                return -EPIPE;
            put32(data, port.baud);
            return 4;
        case kGetLineCtl:
            if (length < 2)
                return -EPIPE;
            data[0] = uint8_t(port.lineControl);
            data[1] = uint8_t(port.lineControl >> 8);
            return 2;
        case kGetMdmSts:
            if (length < 1)
                return -EPIPE;
            data[0] = uint8_t(port.modemLines & 0x03);
            return 1;
        case kGetCommStatus:
            std::memset(data, 0, length);
            return length;
        default:
            return -EPIPE;
        }
    }
    switch (request) {
    case kIfcEnable:
        port.enabled = value != 0;
        uart->readSeen = false;
        if (board && port.enabled && uart->session == 0) {
            board->open(&uart->session);
            board->setBaudRate(uart->session, port.baud);
            board->setLineControl(uart->session, port.lineControl);
            writeLatch(0, 0); // the board sees the latch as it stands
        } else if (board && !port.enabled && uart->session != 0) {
            board->close(uart->session);
            uart->session = 0;
        }
        return 0;
    case kSetBaudDiv:
        return 0;
    case kSetBaudRate:
        if (length < 4)
            return -EPIPE;
        port.baud = le32(data);
        if (board && uart->session)
            board->setBaudRate(uart->session, port.baud);
        return 0;
    case kSetLineCtl:
        port.lineControl = value;
        if (board && uart->session)
            board->setLineControl(uart->session, value);
        return 0;
    case kSetMhs:
        if (value & 0x0100)
            port.modemLines = uint16_t((port.modemLines & ~1u) | (value & 1u));
        if (value & 0x0200)
            port.modemLines = uint16_t((port.modemLines & ~2u) | (value & 2u));
        return 0;
    case kSetFlow:
        if (length < 16)
            return -EPIPE;
        for (int i = 0; i < 4; ++i)
            port.flow[i] = le32(data + 4 * i);
        // Early CP2102N firmware (1.0.4 and older) takes the flow-replace
        // bits from the XON-limit word (erratum CP2102N_E104).
        if (m_config.part == Cp210xPart::Cp2102n && m_config.firmwareVersion[0] <= 1 &&
            m_config.firmwareVersion[1] == 0 && m_config.firmwareVersion[2] <= 4)
            port.flow[1] = port.flow[2];
        if (!(port.flow[1] & 0x01)) {
            port.xoffReceived = false;
            if (board && uart->session && !uart->heldForXon.empty()) {
                uint32_t written = 0;
                board->write(uart->session, uart->heldForXon.data(), uint32_t(uart->heldForXon.size()), &written);
            }
            uart->heldForXon.clear();
        }
        return 0;
    case kPurge:
        if (m_deliverOnPurge && (value & 0x0A)) {
            for (Urb& urb : m_urbs) {
                auto* u = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
                if (urb.done || u->type != USBDEVFS_URB_TYPE_BULK || u->endpoint != 0x81 + index)
                    continue;
                const int moved = bulkIn(uint8_t(index), urb.buffer ? urb.buffer->data : nullptr, u->buffer_length);
                if (moved > 0) {
                    u->actual_length = moved;
                    u->status = 0;
                    urb.done = true;
                }
                break;
            }
        }
        if (board && uart->session)
            board->flushBuffers(uart->session, (value & 0x05) ? 1 : 0, (value & 0x0A) ? 1 : 0);
        if (value & 0x05)
            uart->heldForXon.clear();
        return 0;
    case kVendorSpecific:
        if (value != kWriteLatch || !multiPortLatch)
            return -EPIPE;
        if (m_config.part == Cp210xPart::Cp2105) {
            if (length < 2)
                return -EPIPE;
            // Each CP2105 port has its own latch byte.
            const unsigned shift = 8u * index;
            writeLatch(uint16_t(data[0] << shift), uint16_t(data[1] << shift));
        } else {
            if (length < 4)
                return -EPIPE;
            writeLatch(le16(data), le16(data + 2));
        }
        return 0;
    default:
        return -EPIPE;
    }
}

void EmulatedCp210x::writeLatch(uint16_t mask, uint16_t value)
{
    m_latch = uint16_t((m_latch & ~mask) | (value & mask));
    // Each port's board hangs on that port's own pins: GPIO 4n and 4n+1 of a
    // CP2108, bits 0 and 1 of the port's byte on a CP2105, GPIO0/1 else.
    for (auto& entry : m_uarts) {
        Uart& uart = entry.second;
        if (!uart.board || !uart.session)
            continue;
        unsigned shift = 0;
        if (m_config.part == Cp210xPart::Cp2108)
            shift = 4u * entry.first;
        else if (m_config.part == Cp210xPart::Cp2105)
            shift = 8u * entry.first;
        uart.board->writeLatch(uart.session, 0x03, uint8_t((m_latch >> shift) & 0x03));
    }
}

void EmulatedCp210x::bulkOut(uint8_t interfaceNumber, const uint8_t* data, int length)
{
    Uart* uart = uartFor(interfaceNumber);
    if (!uart || !uart->board || !uart->session || !uart->port.enabled || length <= 0)
        return;
    if (uart->port.xoffReceived) {
        uart->heldForXon.insert(uart->heldForXon.end(), data, data + length);
        return;
    }
    uint32_t written = 0;
    uart->board->write(uart->session, data, uint32_t(length), &written);
}

int EmulatedCp210x::bulkIn(uint8_t interfaceNumber, uint8_t* data, int length)
{
    Uart* uart = uartFor(interfaceNumber);
    if (!uart || !data)
        return 0;
    if (uart->halted)
        return -EPIPE;
    if (uart->failCount > 0) {
        --uart->failCount;
        return uart->failStatus;
    }
    if (!uart->board || !uart->session || !uart->port.enabled)
        return 0;
    uint32_t waiting = 0, status = 0;
    if (uart->board->checkRxQueue(uart->session, &waiting, &status) != SI_SUCCESS || waiting == 0)
        return 0;
    uint32_t got = 0;
    uart->board->read(uart->session, data, std::min<uint32_t>(waiting, uint32_t(length)), &got);
    if (!(uart->port.flow[1] & 0x01))
        return int(got);
    // XON/XOFF on transmit: the chip takes both characters for itself.
    int kept = 0;
    for (uint32_t i = 0; i < got; ++i) {
        if (data[i] == 0x13) {
            uart->port.xoffReceived = true;
        } else if (data[i] == 0x11) {
            uart->port.xoffReceived = false;
            if (!uart->heldForXon.empty()) {
                uint32_t written = 0;
                uart->board->write(uart->session, uart->heldForXon.data(), uint32_t(uart->heldForXon.size()),
                                   &written);
                uart->heldForXon.clear();
            }
        } else {
            data[kept++] = data[i];
        }
    }
    return kept;
}

// ---------------------------------------------------------------------------

EmulatedUsb::EmulatedUsb()
{
    m_testbed = umockdev_testbed_new();
}

EmulatedUsb::~EmulatedUsb()
{
    m_bridges.clear();
    g_object_unref(m_testbed);
}

bool EmulatedUsb::available()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
}

EmulatedCp210x* EmulatedUsb::plug(const EmulatedCp210xConfig& config)
{
    m_bridges.push_back(std::make_unique<EmulatedCp210x>(m_testbed, config, m_nextDeviceNumber++));
    return m_bridges.back().get();
}

void EmulatedUsb::replug(EmulatedCp210x* bridge)
{
    bridge->unplug();
    bridge->plug(m_nextDeviceNumber++);
}

void EmulatedUsb::remove(EmulatedCp210x* bridge)
{
    for (auto it = m_bridges.begin(); it != m_bridges.end(); ++it) {
        if (it->get() == bridge) {
            m_bridges.erase(it);
            return;
        }
    }
}
