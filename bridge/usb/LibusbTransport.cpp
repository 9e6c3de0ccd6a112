#include "bridge/usb/UsbTransport.h"

#include <libusb.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace {

// Owns the libusb context; links keep it alive until they are gone.
class LibusbContext
{
public:
    LibusbContext() : m_status(libusb_init(&m_context))
    {
        if (m_status == LIBUSB_SUCCESS) {
            // The backend logs what matters itself; libusb's own chatter on
            // stderr would only confuse users.
            libusb_set_option(m_context, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
        } else {
            m_context = nullptr;
        }
    }
    ~LibusbContext()
    {
        if (m_context)
            libusb_exit(m_context);
    }
    LibusbContext(const LibusbContext&) = delete;
    LibusbContext& operator=(const LibusbContext&) = delete;

    libusb_context* get() const { return m_context; }
    int status() const { return m_status; }

private:
    libusb_context* m_context = nullptr;
    int m_status;
};

class LibusbLink : public UsbDeviceLink
{
public:
    LibusbLink(std::shared_ptr<LibusbContext> context, libusb_device_handle* handle)
        : m_context(std::move(context)), m_handle(handle)
    {
        // Lets the kernel's serial driver step aside on claim and come back
        // on release. Not every platform can; claiming then simply fails
        // while the driver holds the interface.
        libusb_set_auto_detach_kernel_driver(m_handle, 1);
    }
    ~LibusbLink() override { libusb_close(m_handle); }

    int claimInterface(uint8_t interfaceNumber) override { return libusb_claim_interface(m_handle, interfaceNumber); }
    int releaseInterface(uint8_t interfaceNumber) override
    {
        return libusb_release_interface(m_handle, interfaceNumber);
    }
    int controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                        uint16_t length, unsigned timeoutMs) override
    {
        return libusb_control_transfer(m_handle, requestType, request, value, index, data, length, timeoutMs);
    }
    int bulkTransfer(uint8_t endpoint, uint8_t* data, int length, int* transferred, unsigned timeoutMs) override
    {
        *transferred = 0;
        return libusb_bulk_transfer(m_handle, endpoint, data, length, transferred, timeoutMs);
    }
    int clearHalt(uint8_t endpoint) override { return libusb_clear_halt(m_handle, endpoint); }

private:
    std::shared_ptr<LibusbContext> m_context;
    libusb_device_handle* m_handle;
};

class LibusbTransport : public UsbTransport
{
public:
    ~LibusbTransport() override
    {
        for (auto& known : m_known)
            libusb_unref_device(known.first);
    }

    int listDevices(const std::function<bool(uint16_t, uint16_t)>& wanted, std::vector<UsbDeviceInfo>* devices) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        devices->clear();
        int status = ensureContext();
        if (status != LIBUSB_SUCCESS)
            return status;
        libusb_device** list = nullptr;
        ssize_t count = libusb_get_device_list(m_context->get(), &list);
        if (count < 0)
            return static_cast<int>(count);

        std::map<libusb_device*, uint64_t> seen;
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device* device = list[i];
            libusb_device_descriptor descriptor;
            if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS)
                continue;
            if (!wanted(descriptor.idVendor, descriptor.idProduct))
                continue;
            UsbDeviceInfo info;
            auto known = m_known.find(device);
            if (known != m_known.end()) {
                info.key = known->second;
            } else {
                info.key = ++m_lastKey;
                libusb_ref_device(device);
            }
            seen[device] = info.key;
            info.bus = libusb_get_bus_number(device);
            uint8_t ports[8];
            int depth = libusb_get_port_numbers(device, ports, sizeof(ports));
            if (depth > 0)
                info.portPath.assign(ports, ports + depth);
            info.vendorId = descriptor.idVendor;
            info.productId = descriptor.idProduct;
            readInterfaces(device, &info.interfaces);
            devices->push_back(std::move(info));
        }
        libusb_free_device_list(list, 1);

        // Devices that are gone are let go; their keys are never used again.
        for (auto& known : m_known) {
            if (!seen.count(known.first))
                libusb_unref_device(known.first);
        }
        m_known = std::move(seen);
        return static_cast<int>(count);
    }

    int readStrings(uint64_t key, std::string* product, std::string* serial) override
    {
        libusb_device_handle* handle = nullptr;
        libusb_device_descriptor descriptor;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            libusb_device* device = find(key);
            if (!device)
                return LIBUSB_ERROR_NO_DEVICE;
            int status = libusb_get_device_descriptor(device, &descriptor);
            if (status == LIBUSB_SUCCESS)
                status = libusb_open(device, &handle);
            if (status != LIBUSB_SUCCESS)
                return status;
        }
        int status = readString(handle, descriptor.iProduct, product);
        if (status == LIBUSB_SUCCESS)
            status = readString(handle, descriptor.iSerialNumber, serial);
        libusb_close(handle);
        return status;
    }

    int open(uint64_t key, std::unique_ptr<UsbDeviceLink>* link) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        libusb_device* device = find(key);
        if (!device)
            return LIBUSB_ERROR_NO_DEVICE;
        libusb_device_handle* handle = nullptr;
        int status = libusb_open(device, &handle);
        if (status != LIBUSB_SUCCESS)
            return status;
        link->reset(new LibusbLink(m_context, handle));
        return LIBUSB_SUCCESS;
    }

    void drainEvents() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_context || !m_context->get())
            return;
        // libusb queues a notice for every device that comes or goes and
        // hands them out only from its event handling, which runs only
        // inside transfers: with no port open they would pile up.
        timeval zero{0, 0};
        libusb_handle_events_timeout_completed(m_context->get(), &zero, nullptr);
    }

private:
    int ensureContext()
    {
        if (!m_context)
            m_context = std::make_shared<LibusbContext>();
        return m_context->get() ? LIBUSB_SUCCESS : m_context->status();
    }

    libusb_device* find(uint64_t key) const
    {
        for (const auto& known : m_known) {
            if (known.second == key)
                return known.first;
        }
        return nullptr;
    }

    static void readInterfaces(libusb_device* device, std::vector<UsbInterfaceInfo>* interfaces)
    {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
            libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS)
            return;
        for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& interface = config->interface[i];
            if (interface.num_altsetting < 1)
                continue;
            const libusb_interface_descriptor& setting = interface.altsetting[0];
            UsbInterfaceInfo info;
            info.number = setting.bInterfaceNumber;
            for (uint8_t e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
                    continue;
                if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                    info.bulkIn = endpoint.bEndpointAddress;
                    info.inPacketSize = endpoint.wMaxPacketSize;
                } else {
                    info.bulkOut = endpoint.bEndpointAddress;
                }
            }
            interfaces->push_back(info);
        }
        libusb_free_config_descriptor(config);
    }

    static int readString(libusb_device_handle* handle, uint8_t index, std::string* text)
    {
        text->clear();
        if (index == 0)
            return LIBUSB_SUCCESS; // the device has no such string
        unsigned char buffer[255];
        // The first language the device offers; US English when it lists none.
        uint16_t language = 0x0409;
        int length = libusb_get_string_descriptor(handle, 0, 0, buffer, sizeof(buffer));
        if (length >= 4)
            language = static_cast<uint16_t>(buffer[2] | (buffer[3] << 8));
        length = libusb_get_string_descriptor(handle, index, language, buffer, sizeof(buffer));
        if (length < 0)
            return length;
        *text = latin1FromStringDescriptor(buffer, length);
        return LIBUSB_SUCCESS;
    }

    std::mutex m_mutex;
    std::shared_ptr<LibusbContext> m_context;
    std::map<libusb_device*, uint64_t> m_known; // each holds one reference
    uint64_t m_lastKey = 0;
};

} // namespace

std::unique_ptr<UsbTransport> createLibusbTransport()
{
    return std::unique_ptr<UsbTransport>(new LibusbTransport());
}

std::string latin1FromStringDescriptor(const uint8_t* descriptor, int length)
{
    std::string text;
    if (!descriptor || length < 2 || descriptor[1] != LIBUSB_DT_STRING)
        return text;
    // The descriptor's own length byte wins when it claims less than arrived.
    int end = std::min(length, static_cast<int>(descriptor[0]));
    for (int i = 2; i + 1 < end; i += 2) {
        unsigned unit = descriptor[i] | (descriptor[i + 1] << 8);
        // A NUL would cut the text short in the caller's C string.
        text.push_back(unit != 0 && unit <= 0xFF ? static_cast<char>(unit) : '?');
    }
    return text;
}
