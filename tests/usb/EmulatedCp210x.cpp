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

// CP210x vendor requests (Silicon Labs AN571).
enum : uint8_t { kIfcEnable = 0x00, kSetLineCtl = 0x03, kPurge = 0x12, kSetFlow = 0x13, kGetFlow = 0x14 };
enum : uint8_t { kSetBaudRate = 0x1E, kVendorSpecific = 0xFF };
enum : uint16_t { kGetFirmwareVersion = 0x0010, kGetPartNumber = 0x370B, kWriteLatch = 0x37E1 };

uint16_t le16(const uint8_t* p)
{
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p)
{
    return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16;
}

std::string format(const char* pattern, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0)
{
    char text[32];
    std::snprintf(text, sizeof(text), pattern, a, b, c, d);
    return text;
}

template <typename T> T* resolved(UMockdevIoctlData* arg, UMockdevIoctlData** keep = nullptr)
{
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), &error);
    g_clear_error(&error);
    if (!data)
        return nullptr;
    if (keep)
        *keep = data;
    else
        g_object_unref(data); // the argument keeps its own reference
    return reinterpret_cast<T*>(data->data);
}

usbdevfs_urb* fields(UMockdevIoctlData* urb)
{
    return reinterpret_cast<usbdevfs_urb*>(urb->data);
}

void finish(usbdevfs_urb* u, int result)
{
    u->status = result < 0 ? result : 0;
    u->actual_length = result < 0 ? 0 : result;
}

} // namespace

EmulatedCp210x::EmulatedCp210x(UMockdevTestbed* testbed, const EmulatedCp210xConfig& config, int deviceNumber)
    : m_testbed(testbed), m_config(config), m_deviceNumber(deviceNumber)
{
    if (m_config.productId == 0)
        m_config.productId = m_config.part == Cp210xPart::Cp2105   ? 0xEA70
                             : m_config.part == Cp210xPart::Cp2108 ? 0xEA71
                                                                   : 0xEA60;
    auto clock = std::make_shared<SteadySimClock>();
    for (int i = 0; i < interfaceCount(); ++i)
        m_uarts[uint8_t(i)];
    for (uint8_t number : m_config.boardPorts) {
        SimBoardConfig boardConfig;
        boardConfig.number = number + 1;
        boardConfig.output = m_config.output;
        m_uarts[number].board = std::make_unique<SimBoard>(boardConfig, clock);
    }
    m_handler = umockdev_ioctl_base_new();
    g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(&EmulatedCp210x::onIoctl), this);
    g_signal_connect(m_handler, "client-vanished", G_CALLBACK(&EmulatedCp210x::onVanished), this);
    plug(deviceNumber);
}

EmulatedCp210x::~EmulatedCp210x()
{
    unplug();
    g_signal_handlers_disconnect_by_data(m_handler, this);
    for (Urb& urb : m_urbs)
        drop(urb);
}

int EmulatedCp210x::interfaceCount() const
{
    return m_config.part == Cp210xPart::Cp2105 ? 2 : m_config.part == Cp210xPart::Cp2108 ? 4 : 1;
}

SimBoard* EmulatedCp210x::board(uint8_t interfaceNumber) const
{
    auto it = m_uarts.find(interfaceNumber);
    return it == m_uarts.end() ? nullptr : it->second.board.get();
}

void EmulatedCp210x::failBulkIn(int status, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_halted = status == -EPIPE;
    m_failStatus = status;
    m_failCount = m_halted ? 0 : count;
}

std::string EmulatedCp210x::deviceNode() const
{
    return format("/dev/bus/usb/001/%03u", unsigned(m_deviceNumber));
}

void EmulatedCp210x::unplug()
{
    std::string path, node;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_attached)
            return;
        m_attached = false;
        // URBs in flight end as the kernel ends them on a disconnect.
        for (Urb& urb : m_urbs) {
            if (!urb.done)
                finish(fields(urb.urb), -ESHUTDOWN);
            urb.done = true;
        }
        for (auto& entry : m_uarts) {
            entry.second.port = Port();
            entry.second.session = 0;
            if (entry.second.board)
                entry.second.board->unplug();
        }
        m_latch = 0xFFFF;
        path = m_sysfsPath;
        node = deviceNode();
    }
    umockdev_testbed_uevent(m_testbed, path.c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, path.c_str());
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    g_unlink((std::string(root) + node).c_str());
    g_free(root);
}

void EmulatedCp210x::plug(int deviceNumber)
{
    std::string node;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deviceNumber = deviceNumber;
        node = deviceNode();
        for (auto& entry : m_uarts) {
            entry.second.port.flow[0] = m_config.flow[0];
            entry.second.port.flow[1] = m_config.flow[1];
            if (entry.second.board && !entry.second.board->isPlugged())
                entry.second.board->plug();
        }
    }
    // The handler is in place before the node appears: libusb may open it
    // as soon as it hears of the device.
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_testbed, node.c_str(), m_handler, &error))
        std::fprintf(stderr, "EmulatedCp210x: no ioctl handler: %s\n", error ? error->message : "?");
    g_clear_error(&error);
    const std::string vendor = format("%04x\n", m_config.vendorId), product = format("%04x\n", m_config.productId);
    const std::string devnum = format("%u\n", unsigned(deviceNumber));
    const std::string dev = format("189:%u\n", unsigned(deviceNumber - 1)); // usb_device: major 189
    gchar* path = umockdev_testbed_add_device(
        m_testbed, "usb", format("1-%u", m_config.port).c_str(), nullptr, "busnum", "1\n", "devnum", devnum.c_str(),
        "idVendor", vendor.c_str(), "idProduct", product.c_str(), "speed", "12\n", "bConfigurationValue", "1\n",
        "dev", dev.c_str(), nullptr, "DEVTYPE", "usb_device", "DEVNAME", node.c_str(), "BUSNUM", "001", "DEVNUM",
        format("%03u", unsigned(deviceNumber)).c_str(), nullptr);
    // The testbed makes usbfs nodes only for recorded devices.
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

std::vector<uint8_t> EmulatedCp210x::descriptors() const
{
    const int interfaces = interfaceCount(), total = 9 + interfaces * 23;
    const uint16_t v = m_config.vendorId, p = m_config.productId;
    std::vector<uint8_t> d = {18, 1, 0, 2, 0, 0, 0, 64, uint8_t(v), uint8_t(v >> 8), uint8_t(p), uint8_t(p >> 8),
                              0, 1, 1, 2, 3, 1};
    d.insert(d.end(), {9, 2, uint8_t(total), uint8_t(total >> 8), uint8_t(interfaces), 1, 0, 0x80, 50});
    for (int i = 0; i < interfaces; ++i) {
        d.insert(d.end(), {9, 4, uint8_t(i), 0, 2, 0xFF, 0, 0, 0});
        d.insert(d.end(), {7, 5, uint8_t(0x81 + i), 2, 64, 0, 0, 7, 5, uint8_t(0x01 + i), 2, 64, 0, 0});
    }
    return d;
}

void EmulatedCp210x::drop(Urb& urb)
{
    if (urb.buffer)
        g_object_unref(urb.buffer);
    g_object_unref(urb.urb);
}

bool EmulatedCp210x::presentLocked(UMockdevIoctlClient* client) const
{
    return m_attached && umockdev_ioctl_client_get_devnode(client) == deviceNode();
}

int EmulatedCp210x::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    const int error = static_cast<EmulatedCp210x*>(self)->handle(
        client, umockdev_ioctl_client_get_request(client), umockdev_ioctl_client_get_arg(client));
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
    return TRUE;
}

void EmulatedCp210x::onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    // URBs of a closed file are never reaped.
    auto* bridge = static_cast<EmulatedCp210x*>(self);
    std::lock_guard<std::mutex> lock(bridge->m_mutex);
    auto& urbs = bridge->m_urbs;
    for (Urb& urb : urbs) {
        if (urb.client == client)
            drop(urb);
    }
    urbs.erase(std::remove_if(urbs.begin(), urbs.end(), [&](const Urb& u) { return u.client == client; }), urbs.end());
}

// The usbfs ioctls; returns 0 or the errno the call fails with.
int EmulatedCp210x::handle(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg)
{
    if (request == USBDEVFS_SUBMITURB)
        return submit(client, arg);
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
        return reap(client, arg); // also after a disconnect
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!presentLocked(client))
        return ENODEV;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        if (auto* caps = resolved<uint32_t>(arg))
            *caps = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        return 0;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        const unsigned* number = resolved<unsigned>(arg);
        if (!number || int(*number) >= interfaceCount())
            return EINVAL;
        m_requests.push_back(format(request == USBDEVFS_CLAIMINTERFACE ? "claim %u" : "release %u", *number));
        return 0;
    }
    case USBDEVFS_IOCTL: {
        auto* command = resolved<usbdevfs_ioctl>(arg);
        if (!command || command->ioctl_code != int(USBDEVFS_CONNECT))
            return ENODATA; // no kernel driver bound to take it from
        ++m_uarts[uint8_t(command->ifno)].port.connects;
        m_requests.push_back(format("connect %u", unsigned(command->ifno)));
        return 0;
    }
    case USBDEVFS_GETDRIVER:
        return ENODATA;
    case USBDEVFS_CLEAR_HALT:
        if (const unsigned* endpoint = resolved<unsigned>(arg))
            m_requests.push_back(format("clear-halt %02X", *endpoint));
        m_halted = false;
        return 0;
    case USBDEVFS_DISCARDURB: {
        const unsigned long address = *reinterpret_cast<unsigned long*>(arg->data);
        for (Urb& urb : m_urbs) {
            if (urb.urb->client_addr == address && urb.client == client && !urb.done) {
                finish(fields(urb.urb), -ENOENT);
                urb.done = true;
                ++m_discards;
                return 0;
            }
        }
        return EINVAL;
    }
    default:
        return ENOTTY;
    }
}

int EmulatedCp210x::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    Urb entry;
    entry.client = client;
    usbdevfs_urb* u = resolved<usbdevfs_urb>(arg, &entry.urb);
    if (!u)
        return EFAULT;
    GError* error = nullptr;
    if (u->buffer_length > 0)
        entry.buffer = umockdev_ioctl_data_resolve(entry.urb, offsetof(usbdevfs_urb, buffer),
                                                   size_t(u->buffer_length), &error);
    g_clear_error(&error);
    uint8_t* buffer = entry.buffer ? entry.buffer->data : nullptr;
    finish(u, 0);
    const bool isControl = u->type == USBDEVFS_URB_TYPE_CONTROL, in = (u->endpoint & 0x80) != 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    // The device may have gone since the ioctl came in: the kernel refuses a
    // URB on a disconnected file as a whole, it never half-accepts one.
    int refused = !presentLocked(client) ? ENODEV : !buffer ? EFAULT : 0;
    if (!refused && (isControl ? u->buffer_length < 8 : u->type != USBDEVFS_URB_TYPE_BULK))
        refused = EINVAL;
    if (refused) {
        drop(entry);
        return refused;
    }
    Uart& uart = m_uarts[uint8_t(isControl ? 0 : (u->endpoint & 0x0F) - 1)];
    if (isControl) {
        const uint16_t length = uint16_t(std::min<int>(le16(buffer + 6), u->buffer_length - 8));
        finish(u, control(buffer, buffer + 8, length)); // the setup packet is not counted
        entry.done = true;
    } else if (!in) {
        uint32_t written = 0;
        if (uart.board && uart.session && uart.port.enabled)
            uart.board->write(uart.session, buffer, uint32_t(u->buffer_length), &written);
        finish(u, u->buffer_length);
        entry.done = true;
    } else if (!uart.readSeen && uart.port.enabled) {
        uart.readSeen = true;
        m_requests.push_back(format("read %02X", u->endpoint));
    }
    m_urbs.push_back(entry);
    return 0;
}

int EmulatedCp210x::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    // A handle reaps only the URBs of its own open file.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt)
            g_usleep(1000); // the node always polls ready: an empty answer at once would spin a core
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool present = presentLocked(client);
        for (auto it = m_urbs.begin(); it != m_urbs.end(); ++it) {
            if (it->client != client)
                continue;
            // After a disconnect every URB of the old file ends; one left
            // pending would keep libusb waiting for it for good.
            if (!it->done && !present)
                finish(fields(it->urb), -ESHUTDOWN);
            if (!it->done && present && !m_holdBulkIn)
                bulkIn(*it);
            if (!it->done && present)
                continue;
            // Written back through the data objects, so that this reap's
            // reply carries status, length and what came in.
            usbdevfs_urb* u = fields(it->urb);
            int32_t status[2] = {u->status, u->actual_length};
            umockdev_ioctl_data_update(it->urb, offsetof(usbdevfs_urb, status), reinterpret_cast<guint8*>(status), 4);
            umockdev_ioctl_data_update(it->urb, offsetof(usbdevfs_urb, actual_length),
                                       reinterpret_cast<guint8*>(status + 1), 4);
            const bool control = u->type == USBDEVFS_URB_TYPE_CONTROL;
            const bool in = control ? (it->buffer->data[0] & 0x80) != 0 : (u->endpoint & 0x80) != 0;
            if (in && u->actual_length > 0) {
                const int length = std::min(int(it->buffer->data_len), u->actual_length + (control ? 8 : 0));
                std::vector<guint8> copy(it->buffer->data, it->buffer->data + length);
                umockdev_ioctl_data_update(it->buffer, 0, copy.data(), length);
            }
            GError* error = nullptr;
            if (UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error)) {
                umockdev_ioctl_data_set_ptr(pointer, 0, it->urb);
                g_object_unref(pointer);
            }
            g_clear_error(&error);
            drop(*it); // the reply holds its own references
            m_urbs.erase(it);
            return 0;
        }
        if (!present)
            return ENODEV;
    }
    return EAGAIN;
}

// Moves what the board sent into a pending bulk-IN URB, or ends it with the
// failure set for it.
int EmulatedCp210x::bulkIn(Urb& urb)
{
    usbdevfs_urb* u = fields(urb.urb);
    Uart& uart = m_uarts[uint8_t((u->endpoint & 0x0F) - 1)];
    int result = m_halted ? -EPIPE : m_failCount > 0 ? (--m_failCount, m_failStatus) : 0;
    uint32_t waiting = 0, status = 0, got = 0;
    if (!result && uart.board && uart.session && uart.port.enabled &&
        uart.board->checkRxQueue(uart.session, &waiting, &status) == SI_SUCCESS && waiting > 0) {
        uart.board->read(uart.session, urb.buffer->data, std::min<uint32_t>(waiting, u->buffer_length), &got);
        result = int(got);
    }
    if (result) {
        finish(u, result);
        urb.done = true;
    }
    return result;
}

int EmulatedCp210x::control(const uint8_t* setup, uint8_t* data, uint16_t length)
{
    const uint8_t type = setup[0], request = setup[1];
    const uint16_t value = le16(setup + 2), index = le16(setup + 4);
    if (type == 0x80 && request == 6 && value >> 8 == 3) { // GET_DESCRIPTOR, string
        const uint8_t which = uint8_t(value);
        if (which > 3)
            return -EPIPE;
        std::string text = which == 1 ? "Silicon Labs" : which == 2 ? m_config.product : m_config.serial;
        std::vector<uint8_t> reply = {uint8_t(2 + 2 * text.size()), 3};
        for (char c : text)
            reply.insert(reply.end(), {uint8_t(c), 0});
        if (which == 0)
            reply = {4, 3, 0x09, 0x04}; // US English
        const int n = std::min<int>(length, int(reply.size()));
        std::memcpy(data, reply.data(), size_t(n));
        return n;
    }
    if ((type & 0x60) != 0x40)
        return -EPIPE;
    std::string line = format("%02X %02X %04X %04X", type, request, value, index);
    if (type & 0x80)
        line += " <" + std::to_string(length);
    for (int i = 0; !(type & 0x80) && i < length; ++i)
        line += format(i ? " %02X" : " [%02X", data[i]);
    m_requests.push_back(line + (!(type & 0x80) && length ? "]" : ""));
    return vendor(type, request, value, index, data, length);
}

int EmulatedCp210x::vendor(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                           uint16_t length)
{
    const bool multiPort = interfaceCount() > 1;
    if (type == 0xC0 && request == kVendorSpecific && value == kGetPartNumber && length >= 1) {
        const uint8_t parts[] = {0x20, 0x04, 0x05, 0x08};
        data[0] = parts[int(m_config.part)];
        return 1;
    }
    if (type == 0xC0 && value == kGetFirmwareVersion && m_config.part == Cp210xPart::Cp2102n && length >= 3) {
        std::memcpy(data, m_config.firmwareVersion, 3);
        return 3;
    }
    if (type == 0x40 && request == kVendorSpecific && value == kWriteLatch && !multiPort) {
        writeLatch(index & 0xFF, index >> 8);
        return 0;
    }
    if (type == 0x41 && request == m_vanishOn) {
        m_vanishOn = -1;
        return -ENODEV;
    }
    if ((type != 0x41 && type != 0xC1) || int(index) >= interfaceCount())
        return -EPIPE;
    Uart& uart = m_uarts[uint8_t(index)];
    SimBoard* board = uart.session ? uart.board.get() : nullptr;
    if (type == 0xC1 && request == kGetFlow && length >= 16) {
        std::memcpy(data, uart.port.flow, 16); // little-endian host
        return 16;
    }
    if (type == 0xC1)
        return -EPIPE;
    switch (request) {
    case kIfcEnable:
        uart.port.enabled = value != 0;
        uart.readSeen = false;
        if (uart.board && uart.port.enabled && !uart.session) {
            uart.board->open(&uart.session);
            writeLatch(0, 0); // the board sees the latch as it stands
        } else if (board && !uart.port.enabled) {
            board->close(uart.session);
            uart.session = 0;
        }
        return 0;
    case kSetBaudRate:
        if (length < 4)
            return -EPIPE;
        if (board)
            board->setBaudRate(uart.session, le32(data));
        return 0;
    case kSetLineCtl:
        if (board)
            board->setLineControl(uart.session, value);
        return 0;
    case kSetFlow:
        if (length < 16)
            return -EPIPE;
        for (int i = 0; i < 4; ++i)
            uart.port.flow[i] = le32(data + 4 * i);
        return 0;
    case kPurge:
        for (Urb& urb : m_urbs) {
            usbdevfs_urb* u = fields(urb.urb);
            if (m_holdBulkIn && (value & 0x0A) && !urb.done && u->endpoint == 0x81 + index)
                bulkIn(urb);
        }
        if (board)
            board->flushBuffers(uart.session, (value & 0x05) ? 1 : 0, (value & 0x0A) ? 1 : 0);
        return 0;
    case kVendorSpecific:
        if (value != kWriteLatch || !multiPort || length < (interfaceCount() == 2 ? 2 : 4))
            return -EPIPE;
        // A CP2105 port has a latch byte of its own; a CP2108 one 16-pin latch.
        if (interfaceCount() == 2)
            writeLatch(uint16_t(data[0] << (8 * index)), uint16_t(data[1] << (8 * index)));
        else
            writeLatch(le16(data), le16(data + 2));
        return 0;
    default:
        return request == 0x07 ? 0 : -EPIPE; // SET_MHS: the boards have no use for DTR and RTS
    }
}

void EmulatedCp210x::writeLatch(uint16_t mask, uint16_t value)
{
    m_latch = uint16_t((m_latch & ~mask) | (value & mask));
    // A port's board hangs on that port's pins: GPIO 4n and 4n+1 of a
    // CP2108, bits 0 and 1 of the port's byte on a CP2105.
    const unsigned width = interfaceCount() == 2 ? 8 : interfaceCount() == 4 ? 4 : 0;
    for (auto& entry : m_uarts) {
        if (entry.second.board && entry.second.session)
            entry.second.board->writeLatch(entry.second.session, 0x03, uint8_t(m_latch >> (width * entry.first) & 3));
    }
}

EmulatedUsb::EmulatedUsb() : m_testbed(umockdev_testbed_new()) {}

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
    m_bridges.erase(std::find_if(m_bridges.begin(), m_bridges.end(), [&](auto& b) { return b.get() == bridge; }));
}
