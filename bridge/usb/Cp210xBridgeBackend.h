#ifndef TIVAKO_BRIDGE_USB_CP210XBRIDGEBACKEND_H
#define TIVAKO_BRIDGE_USB_CP210XBRIDGEBACKEND_H

// Silicon Labs CP210x USB-to-UART bridges driven directly over USB (libusb),
// for systems without the vendor's library. Each UART interface of a bridge
// is one device; devices are numbered in bus and port order.

#include "bridge/BridgeLibrary.h"
#include "bridge/usb/UsbTransport.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class Cp210xLink;

class Cp210xBridgeBackend : public BridgeBackend
{
public:
    explicit Cp210xBridgeBackend(std::unique_ptr<UsbTransport> transport);
    // Closes every link still open, so the kernel gets its serial ports back.
    ~Cp210xBridgeBackend() override;
    Cp210xBridgeBackend(const Cp210xBridgeBackend&) = delete;
    Cp210xBridgeBackend& operator=(const Cp210xBridgeBackend&) = delete;

    const char* name() const override { return "usb"; }

    BRIDGE_STATUS getNumDevices(uint32_t* numDevices) override;
    BRIDGE_STATUS getProductString(uint32_t deviceNum, char* buffer, uint8_t selector) override;
    BRIDGE_STATUS open(uint32_t deviceNum, BRIDGE_HANDLE* handle) override;
    BRIDGE_STATUS close(BRIDGE_HANDLE handle) override;
    BRIDGE_STATUS setBaudRate(BRIDGE_HANDLE handle, uint32_t baudRate) override;
    BRIDGE_STATUS setLineControl(BRIDGE_HANDLE handle, uint16_t lineControl) override;
    BRIDGE_STATUS writeLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch) override;
    BRIDGE_STATUS checkRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue, uint32_t* queueStatus) override;
    BRIDGE_STATUS read(BRIDGE_HANDLE handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned) override;
    BRIDGE_STATUS write(BRIDGE_HANDLE handle, const void* buffer, uint32_t bytesToWrite,
                        uint32_t* bytesWritten) override;
    BRIDGE_STATUS flushBuffers(BRIDGE_HANDLE handle, uint8_t flushTransmit, uint8_t flushReceive) override;

    // Ids of the table this backend takes on (the Linux cp210x driver's).
    static bool isSupported(uint16_t vendorId, uint16_t productId);
    // Reads TIVAKO_USB_IDS: "vvvv:pppp" hex pairs joined by commas; false
    // for anything else.
    static bool parseExtraIds(const char* text, std::vector<std::pair<uint16_t, uint16_t>>* ids);
    // The table's ids and those of TIVAKO_USB_IDS.
    bool accepts(uint16_t vendorId, uint16_t productId) const;

private:
    struct Entry
    {
        uint64_t key;
        UsbInterfaceInfo interface;
        uint16_t productId;
        std::string description;
        std::string serial;
    };
    struct Strings
    {
        std::string product;
        std::string serial;
    };

    void refreshLocked();
    std::shared_ptr<Cp210xLink> linkFor(BRIDGE_HANDLE handle) const;

    std::unique_ptr<UsbTransport> m_transport;
    std::vector<std::pair<uint16_t, uint16_t>> m_extraIds; // from TIVAKO_USB_IDS

    // Guards the device table and the string cache. Taken before
    // m_linksMutex when both are needed.
    std::mutex m_tableMutex;
    std::vector<Entry> m_table;
    bool m_counted = false;
    std::map<uint64_t, Strings> m_strings; // by transport key
    bool m_listFailureLogged = false;

    mutable std::mutex m_linksMutex;
    std::map<uintptr_t, std::shared_ptr<Cp210xLink>> m_links;
    uintptr_t m_lastHandleId = 0;
};

// The backend over the real USB stack.
std::shared_ptr<BridgeBackend> createCp210xBridgeBackend();

#endif
