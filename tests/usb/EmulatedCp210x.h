#ifndef TIVAKO_TESTS_USB_EMULATEDCP210X_H
#define TIVAKO_TESTS_USB_EMULATEDCP210X_H

// A CP210x bridge for the real libusb, emulated with umockdev (run under umockdev-wrapper), a virtual board
// behind its first UART. Models only what the CP210x backend uses. GIO's headers come before Qt's `signals`.

#include <glib/gstdio.h>
#include <umockdev.h>

#include "sim/SimBoard.h"

#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

enum class Cp210xPart { Cp2102n, Cp2104, Cp2105, Cp2108 };

struct EmulatedCp210xConfig
{
    EmulatedCp210xConfig(std::string serial = "0001", uint8_t port = 1, uint16_t vendorId = 0x10C4,
                         uint16_t productId = 0, Cp210xPart part = Cp210xPart::Cp2104)
        : part(part), vendorId(vendorId), productId(productId), serial(std::move(serial)), port(port)
    {
    }
    Cp210xPart part;
    uint16_t vendorId;
    uint16_t productId; // 0: the part's factory id
    std::string product = "CP2104 USB to UART Bridge Controller";
    std::string serial;
    uint8_t port;                           // on the root hub of bus 1
    uint8_t firmwareVersion[3] = {1, 0, 8}; // CP2102N only
    // As the last owner left them: CTS/DSR handshake, RTS flow, XON/XOFF both ways.
    uint32_t flow[2] = {0x19, 0xC3};
};

class EmulatedCp210x
{
    template <typename F> auto locked(F f) -> decltype(f())
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f();
    }

public:
    struct Port
    {
        bool enabled = false;
        uint32_t flow[4] = {0, 0, 0x80, 0x80}; // GET/SET_FLOW words
        int connects = 0;                      // kernel driver asked back
        uint64_t session = 0;                  // the board's, on interface 0
    };

    EmulatedCp210x(UMockdevTestbed* testbed, const EmulatedCp210xConfig& config, int deviceNumber)
        : m_testbed(testbed), m_config(config), m_board(SimBoardConfig(), std::make_shared<SteadySimClock>())
    {
        const int interfaces[] = {1, 1, 2, 4};
        const uint16_t productIds[] = {0xEA60, 0xEA60, 0xEA70, 0xEA71};
        m_ports.resize(size_t(interfaces[int(config.part)]));
        m_config.productId = config.productId ? config.productId : productIds[int(config.part)];
        g_autofree gchar* root = umockdev_testbed_get_root_dir(m_testbed);
        m_root = root;
        m_handler = umockdev_ioctl_base_new();
        g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(&EmulatedCp210x::onIoctl), this);
        plug(deviceNumber);
    }

    ~EmulatedCp210x()
    {
        unplug();
        g_signal_handlers_disconnect_by_data(m_handler, this);
        for (Urb& urb : m_urbs)
            drop(urb);
    }

    int interfaceCount() const { return int(m_ports.size()); }
    SimBoard* board() { return &m_board; } // behind interface 0
    // "TT RR VVVV IIII" plus " [data]" (to the chip) or " <n" (from it); "claim n",
    // "release n", "connect n", "clear-halt EE"; "read EE": first read of an enabled port.
    QStringList requests() { return locked([&] { return m_requests; }); }
    Port port(uint8_t interfaceNumber) { return locked([&] { return m_ports.at(interfaceNumber); }); }
    // While held, bulk-IN URBs stay pending until a receive purge hands them what the board sent (bytes on the bus).
    void holdBulkIn(bool hold) { locked([&] { m_holdBulkIn = hold; }); }
    // The next `count` bulk-IN URBs end with `status`; -EPIPE stalls until cleared.
    void failBulkIn(int status, int count) { locked([&] { m_fail = {status, status == -EPIPE ? -1 : count}; }); }
    int failuresLeft() { return locked([&] { return m_fail.second; }); }
    int discards() { return locked([&] { return m_discards; }); } // reads ended by time-out
    // The next interface request with this code finds the device gone.
    void vanishOnRequest(uint8_t request) { locked([&] { m_vanishOn = request; }); }

    // Gone: URBs in flight end, further ioctls get ENODEV, udev hears of it.
    void unplug()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_attached)
                return;
            m_attached = false;
            for (Urb& urb : m_urbs) // as the kernel ends them on a disconnect
                if (!urb.done)
                    finish(urb, -ESHUTDOWN);
            std::fill(m_ports.begin(), m_ports.end(), Port());
            m_board.unplug();
        }
        umockdev_testbed_uevent(m_testbed, m_sysfsPath.constData(), "remove");
        umockdev_testbed_remove_device(m_testbed, m_sysfsPath.constData());
        g_unlink(qPrintable(m_root + node()));
    }

    void plug(int deviceNumber)
    {
        locked([&] {
            m_deviceNumber = deviceNumber;
            for (Port& port : m_ports)
                std::copy(m_config.flow, m_config.flow + 2, port.flow);
            if (!m_board.isPlugged())
                m_board.plug();
        });
        // In place before the node appears: libusb may open it at once.
        umockdev_testbed_attach_ioctl(m_testbed, qPrintable(node()), m_handler, nullptr);
        auto text = [](const char* pattern, int value) { return QString::asprintf(pattern, value).toLatin1(); };
        g_autofree gchar* path = umockdev_testbed_add_device(
            m_testbed, "usb", text("1-%d", m_config.port).constData(), nullptr, "busnum", "1\n", "devnum",
            text("%d\n", deviceNumber).constData(), "idVendor", text("%04x\n", m_config.vendorId).constData(),
            "idProduct", text("%04x\n", m_config.productId).constData(), "bConfigurationValue", "1\n", "dev",
            text("189:%d\n", deviceNumber - 1).constData(), nullptr, "DEVTYPE", "usb_device", "DEVNAME",
            qPrintable(node()), "BUSNUM", "001", "DEVNUM", text("%03d", deviceNumber).constData(), nullptr);
        // The testbed makes usbfs nodes only for recorded devices.
        g_mkdir_with_parents(qPrintable(m_root + "/dev/bus/usb/001"), 0755);
        g_file_set_contents(qPrintable(m_root + node()), "", 0, nullptr);
        const uint16_t v = m_config.vendorId, p = m_config.productId, total = uint16_t(9 + m_ports.size() * 23);
        std::vector<uint8_t> raw = {18, 1, 0, 2, 0, 0, 0, 64, uint8_t(v), uint8_t(v >> 8), uint8_t(p),
                                    uint8_t(p >> 8), 0, 1, 1, 2, 3, 1, 9, 2, uint8_t(total), uint8_t(total >> 8),
                                    uint8_t(interfaceCount()), 1, 0, 0x80, 50};
        for (uint8_t i = 0; i < interfaceCount(); ++i)
            raw.insert(raw.end(), {9, 4, i, 0, 2, 0xFF, 0, 0, 0, 7, 5, uint8_t(0x81 + i), 2, 64, 0, 0, 7, 5,
                                   uint8_t(0x01 + i), 2, 64, 0, 0});
        umockdev_testbed_set_attribute_binary(m_testbed, path, "descriptors", raw.data(), int(raw.size()));
        m_sysfsPath = path; // written and read on the test's thread only
        locked([&] { m_attached = true; });
        umockdev_testbed_uevent(m_testbed, m_sysfsPath.constData(), "add");
    }

private:
    struct Urb
    {
        UMockdevIoctlData* urb = nullptr;
        UMockdevIoctlData* buffer = nullptr;
        UMockdevIoctlClient* client = nullptr; // the open file it came on
        bool done = false;
        usbdevfs_urb* fields() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
    };

    static uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
    QString node() const { return QString::asprintf("/dev/bus/usb/001/%03d", m_deviceNumber); }
    bool presentLocked(UMockdevIoctlClient* client) const
    {
        return m_attached && node() == umockdev_ioctl_client_get_devnode(client);
    }
    static void finish(Urb& urb, int result)
    {
        urb.fields()->status = std::min(result, 0);
        urb.fields()->actual_length = std::max(result, 0);
        urb.done = true;
    }
    static void drop(Urb& urb)
    {
        g_clear_object(&urb.buffer);
        g_object_unref(urb.urb);
    }
    template <typename T> static T* peek(UMockdevIoctlData* arg)
    {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr);
        g_object_unref(data); // the argument keeps its own reference
        return reinterpret_cast<T*>(data->data);
    }

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
    {
        const int error = static_cast<EmulatedCp210x*>(self)->handle(client, umockdev_ioctl_client_get_request(client),
                                                                      umockdev_ioctl_client_get_arg(client));
        umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
        return TRUE;
    }

    // The usbfs ioctls; 0 or the errno the call fails with.
    int handle(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg)
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
            *peek<uint32_t>(arg) = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            return 0;
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
            m_requests << QString(request == USBDEVFS_CLAIMINTERFACE ? "claim %1" : "release %1")
                              .arg(*peek<unsigned>(arg));
            return 0;
        case USBDEVFS_IOCTL: {
            auto* command = peek<usbdevfs_ioctl>(arg);
            if (command->ioctl_code != int(USBDEVFS_CONNECT))
                return ENODATA; // no kernel driver bound to take it from
            ++m_ports.at(size_t(command->ifno)).connects;
            m_requests << QString("connect %1").arg(command->ifno);
            return 0;
        }
        case USBDEVFS_CLEAR_HALT:
            m_requests << QString::asprintf("clear-halt %02X", *peek<unsigned>(arg));
            m_fail = {0, 0};
            return 0;
        case USBDEVFS_DISCARDURB:
            for (Urb& urb : m_urbs) {
                if (urb.urb->client_addr == *reinterpret_cast<unsigned long*>(arg->data) && !urb.done) {
                    finish(urb, -ENOENT);
                    ++m_discards;
                    return 0;
                }
            }
            return EINVAL;
        default:
            return request == USBDEVFS_GETDRIVER ? ENODATA : ENOTTY;
        }
    }

    int submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
    {
        Urb entry{umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr), nullptr, client, false};
        usbdevfs_urb* u = entry.fields();
        if (u->buffer_length > 0)
            entry.buffer = umockdev_ioctl_data_resolve(entry.urb, offsetof(usbdevfs_urb, buffer),
                                                       size_t(u->buffer_length), nullptr);
        uint8_t* buffer = entry.buffer ? entry.buffer->data : nullptr;
        const bool control = u->type == USBDEVFS_URB_TYPE_CONTROL, in = (u->endpoint & 0x80) != 0;
        std::lock_guard<std::mutex> lock(m_mutex);
        // Gone since the ioctl came in: the kernel refuses a URB on a disconnected file whole, never half of it.
        if (!presentLocked(client)) {
            drop(entry);
            return ENODEV;
        }
        Port& port = m_ports.at(control ? 0 : (u->endpoint & 0x0F) - 1);
        uint32_t written = 0;
        if (control) { // the setup packet is not counted in what moved
            finish(entry, vendor(buffer, buffer + 8, uint16_t(std::min<int>(le16(buffer + 6), u->buffer_length - 8))));
        } else if (!in) {
            m_board.write(port.session, buffer, uint32_t(u->buffer_length), &written);
            finish(entry, u->buffer_length);
        } else if (port.enabled && !m_requests.contains(QString::asprintf("read %02X", u->endpoint))) {
            m_requests << QString::asprintf("read %02X", u->endpoint);
        }
        m_urbs.push_back(entry);
        return 0;
    }

    // A handle reaps only the URBs of its own open file.
    int reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const bool present = presentLocked(client);
            for (auto it = m_urbs.begin(); it != m_urbs.end(); ++it) {
                // After a disconnect every URB of the old file ends: one left pending keeps libusb waiting.
                if (it->client == client && !it->done && !present)
                    finish(*it, -ESHUTDOWN);
                if (it->client == client && !it->done && !m_holdBulkIn)
                    bulkIn(*it);
                if (it->client != client || !it->done)
                    continue;
                // Written back through the data objects, for this reap's reply to carry.
                const auto put = [&](size_t at, int32_t field) {
                    umockdev_ioctl_data_update(it->urb, at, reinterpret_cast<guint8*>(&field), 4);
                };
                put(offsetof(usbdevfs_urb, status), it->fields()->status);
                put(offsetof(usbdevfs_urb, actual_length), it->fields()->actual_length);
                std::vector<guint8> copy(it->buffer->data, it->buffer->data + it->buffer->data_len);
                umockdev_ioctl_data_update(it->buffer, 0, copy.data(), copy.size());
                UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
                umockdev_ioctl_data_set_ptr(pointer, 0, it->urb);
                g_object_unref(pointer);
                drop(*it); // the reply holds its own references
                m_urbs.erase(it);
                return 0;
            }
            if (!present)
                return ENODEV;
        }
        g_usleep(1000); // the node always polls ready: an empty answer at once would spin a core
        return EAGAIN;
    }

    // Moves what the board sent into a pending bulk-IN URB, or fails it as set.
    void bulkIn(Urb& urb)
    {
        const uint64_t session = m_ports.at((urb.fields()->endpoint & 0x0F) - 1).session;
        uint32_t waiting = 0, status = 0, got = 0;
        if (m_fail.second != 0) {
            m_fail.second -= m_fail.second > 0;
            finish(urb, m_fail.first);
        } else if (session && m_board.checkRxQueue(session, &waiting, &status) == SI_SUCCESS && waiting > 0) {
            m_board.read(session, urb.buffer->data, std::min<uint32_t>(waiting, urb.fields()->buffer_length), &got);
            finish(urb, int(got));
        }
    }

    // A control request: the data length, or -EPIPE for one the chip stalls.
    // Without a session (other ports, board gone) the board refuses the call.
    int vendor(const uint8_t* setup, uint8_t* data, uint16_t length)
    {
        const uint8_t type = setup[0], request = setup[1];
        const uint16_t value = le16(setup + 2), index = le16(setup + 4);
        const auto reply = [&](const void* bytes, size_t size) {
            std::memcpy(data, bytes, std::min<size_t>(length, size));
            return int(std::min<size_t>(length, size));
        };
        if (type == 0x80 && request == 6 && value >> 8 == 3) { // GET_DESCRIPTOR, string
            const std::string text = value == 0x302 ? m_config.product : m_config.serial;
            std::vector<uint8_t> bytes = {uint8_t(2 + 2 * text.size()), 3};
            for (char c : text)
                bytes.insert(bytes.end(), {uint8_t(c), 0});
            if (value == 0x300)
                bytes = {4, 3, 0x09, 0x04}; // US English
            return reply(bytes.data(), bytes.size());
        }
        if ((type & 0x60) != 0x40)
            return -EPIPE;
        QString line = QString::asprintf("%02X %02X %04X %04X", type, request, value, index);
        for (int i = 0; !(type & 0x80) && i < length; ++i)
            line += QString::asprintf(i ? " %02X" : " [%02X", data[i]);
        m_requests << line + (type & 0x80 ? QString(" <%1").arg(length) : length ? "]" : "");
        const uint8_t parts[] = {0x20, 0x04, 0x05, 0x08};
        if (type == 0xC0 && request == 0xFF && value == 0x370B) // GET_PARTNUM
            return reply(&parts[int(m_config.part)], 1);
        if (type == 0xC0 && value == 0x0010 && m_config.part == Cp210xPart::Cp2102n) // GET_FW_VER
            return reply(m_config.firmwareVersion, 3);
        if (type == 0x40 && request == 0xFF && value == 0x37E1 && m_ports.size() == 1) { // latch: mask, value
            m_board.writeLatch(m_ports[0].session, uint8_t(index), uint8_t(index >> 8));
            return 0;
        }
        if (type == 0x41 && request == m_vanishOn) {
            m_vanishOn = -1;
            return -ENODEV;
        }
        if ((type != 0x41 && type != 0xC1) || index >= m_ports.size())
            return -EPIPE;
        Port& port = m_ports[index];
        const uint64_t session = port.session;
        if (type == 0xC1 && request == 0x14) // GET_FLOW, both little-endian
            return reply(port.flow, 16);
        if (request == 0x00 && type == 0x41) { // IFC_ENABLE
            port.enabled = value != 0;
            if (index == 0 && value && !session)
                m_board.open(&port.session);
            else if (session && !value)
                m_board.close(std::exchange(port.session, 0));
        } else if (request == 0x1E && type == 0x41 && length == 4) { // SET_BAUDRATE
            m_board.setBaudRate(session, le16(data) | uint32_t(le16(data + 2)) << 16);
        } else if (request == 0x03 && type == 0x41) { // SET_LINE_CTL
            m_board.setLineControl(session, value);
        } else if (request == 0x13 && type == 0x41 && length == 16) { // SET_FLOW
            std::memcpy(port.flow, data, 16);
        } else if (request == 0x12 && type == 0x41) { // PURGE
            for (Urb& urb : m_urbs)
                if (m_holdBulkIn && (value & 0x0A) && !urb.done && urb.fields()->endpoint == 0x81 + index)
                    bulkIn(urb);
            m_board.flushBuffers(session, (value & 0x05) ? 1 : 0, (value & 0x0A) ? 1 : 0);
        } else if (type != 0x41 || (request != 0x07 && request != 0xFF)) {
            return -EPIPE; // SET_MHS and the multi-port parts' latch: taken, the board does not care
        }
        return 0;
    }

    UMockdevTestbed* m_testbed;
    EmulatedCp210xConfig m_config;
    SimBoard m_board;
    QString m_root;
    QByteArray m_sysfsPath;
    UMockdevIoctlBase* m_handler = nullptr;

    std::mutex m_mutex; // all below; ioctls come on umockdev's thread
    int m_deviceNumber = 0;
    bool m_attached = false;
    std::vector<Port> m_ports;
    QStringList m_requests;
    std::vector<Urb> m_urbs;
    bool m_holdBulkIn = false;
    std::pair<int, int> m_fail{0, 0}; // status, URBs left to fail (-1: until cleared)
    int m_vanishOn = -1;
    int m_discards = 0;
};

#endif
