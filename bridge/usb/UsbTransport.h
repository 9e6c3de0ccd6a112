#ifndef TIVAKO_BRIDGE_USB_USBTRANSPORT_H
#define TIVAKO_BRIDGE_USB_USBTRANSPORT_H

// The seam between the CP210x backend and the USB stack: just the handful of
// USB actions the backend needs. The real one is libusb (tests run it against
// emulated bridges); the bridge-layer benchmark puts in a stand-in. Results
// are libusb's: 0 or a byte count on success, a negative LIBUSB_ERROR_* code
// on failure.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct UsbInterfaceInfo
{
    uint8_t number = 0;
    uint8_t bulkIn = 0;  // endpoint address, 0 when the interface has none
    uint8_t bulkOut = 0; // endpoint address, 0 when the interface has none
    uint16_t inPacketSize = 64;
};

struct UsbDeviceInfo
{
    // The transport's name for this attachment of the device; a device that
    // is unplugged and plugged in again gets a new key.
    uint64_t key = 0;
    uint8_t bus = 0;
    std::vector<uint8_t> portPath;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::vector<UsbInterfaceInfo> interfaces;
};

// An opened device. Calls may come from several threads at once (the reader
// thread's bulk-IN beside control requests), as libusb allows.
class UsbDeviceLink
{
public:
    virtual ~UsbDeviceLink() = default;
    // Claims the interface, detaching a kernel driver first and handing the
    // interface back to it on release.
    virtual int claimInterface(uint8_t interfaceNumber) = 0;
    virtual int releaseInterface(uint8_t interfaceNumber) = 0;
    // A control transfer; for device-to-host requests data receives up to
    // length bytes. Returns the number of bytes moved or an error.
    virtual int controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                                uint16_t length, unsigned timeoutMs) = 0;
    // A bulk transfer on the endpoint. *transferred is valid also when the
    // result is an error (a time-out may still have moved bytes).
    virtual int bulkTransfer(uint8_t endpoint, uint8_t* data, int length, int* transferred, unsigned timeoutMs) = 0;
    // Clears a halt (stall) of the endpoint.
    virtual int clearHalt(uint8_t endpoint) = 0;
};

class UsbTransport
{
public:
    virtual ~UsbTransport() = default;
    // Lists the attached devices that `wanted` accepts (by vendor and product
    // id). Returns how many USB devices of any kind the system has (root hubs
    // included, so 0 means there is no USB at all), or an error.
    virtual int listDevices(const std::function<bool(uint16_t vendorId, uint16_t productId)>& wanted,
                            std::vector<UsbDeviceInfo>* devices) = 0;
    // Reads the product and serial-number strings of a listed device,
    // as 8-bit Latin-1 text. Returns 0 or an error.
    virtual int readStrings(uint64_t key, std::string* product, std::string* serial) = 0;
    virtual int open(uint64_t key, std::unique_ptr<UsbDeviceLink>* link) = 0;
    // Handles what the USB stack has queued for its own event handling
    // (hot-plug notices) without waiting; called while no link is open, when
    // nothing else would.
    virtual void drainEvents() {}
};

// The libusb-1.0 transport. libusb is started on first use; when it cannot
// start, every call reports LIBUSB_ERROR_NOT_SUPPORTED.
std::unique_ptr<UsbTransport> createLibusbTransport();

// Turns a USB string descriptor (length byte, type byte, UTF-16LE text) into
// Latin-1 text; characters beyond Latin-1 become '?'.
std::string latin1FromStringDescriptor(const uint8_t* descriptor, int length);

#endif
