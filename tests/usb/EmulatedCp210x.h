#ifndef TIVAKO_TESTS_USB_EMULATEDCP210X_H
#define TIVAKO_TESTS_USB_EMULATEDCP210X_H

// A CP210x bridge for the real libusb, emulated with umockdev: sysfs entry,
// descriptors and strings, and the usbfs ioctls libusb sends to its node.
// Behind each UART port sits a virtual board, so the ROM bootloader and the
// firmware answer through it. Models only what the CP210x backend uses.
// The process must run under umockdev-wrapper.

#include "sim/SimBoard.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

enum class Cp210xPart { Cp2102n, Cp2104, Cp2105, Cp2108 };

struct EmulatedCp210xConfig
{
    Cp210xPart part = Cp210xPart::Cp2104;
    uint16_t vendorId = 0x10C4;
    uint16_t productId = 0; // 0: the part's factory id
    std::string product = "CP2104 USB to UART Bridge Controller";
    std::string serial = "0001";
    uint8_t port = 1;                       // on the root hub of bus 1
    std::vector<uint8_t> boardPorts = {0};  // interfaces with a board behind them
    SimOutput output = SimOutput::Ascii;
    uint8_t firmwareVersion[3] = {1, 0, 8}; // CP2102N only
    // Handshake and flow-replace words as the last owner left them: CTS and
    // DSR handshake, RTS flow control, XON/XOFF both ways (`stty ixon ixoff`).
    uint32_t flow[2] = {0x19, 0xC3};
};

class EmulatedCp210x
{
    template <typename F> auto locked(F f)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f();
    }

public:
    struct Port
    {
        bool enabled = false;
        uint32_t flow[4] = {0, 0, 0x80, 0x80}; // GET/SET_FLOW words
        int connects = 0;                            // kernel driver asked back
    };

    EmulatedCp210x(UMockdevTestbed* testbed, const EmulatedCp210xConfig& config, int deviceNumber);
    ~EmulatedCp210x();

    int interfaceCount() const;
    SimBoard* board(uint8_t interfaceNumber) const;
    // Vendor requests as "TT RR VVVV IIII" plus " [data]" (to the chip) or
    // " <n" (from it); also "claim n", "release n", "connect n",
    // "clear-halt EE" and "read EE" (first bulk-IN URB of an enabled port).
    std::vector<std::string> requests() { return locked([&] { return m_requests; }); }
    void clearRequests() { locked([&] { m_requests.clear(); }); }
    Port port(uint8_t interfaceNumber) { return locked([&] { return m_uarts[interfaceNumber].port; }); }
    // While held, bulk-IN URBs stay pending until a receive purge, which
    // first hands them what the board sent (a chip with bytes on the bus).
    void holdBulkIn(bool hold) { locked([&] { m_holdBulkIn = hold; }); }
    // The next `count` bulk-IN URBs end with `status`; -EPIPE stalls the
    // endpoint until it is cleared.
    void failBulkIn(int status, int count);
    int failuresLeft() { return locked([&] { return m_failCount; }); }
    int discards() { return locked([&] { return m_discards; }); } // reads ended by time-out
    // The next interface request with this code finds the device gone.
    void vanishOnRequest(uint8_t request) { locked([&] { m_vanishOn = request; }); }
    void unplug(); // URBs fail, ioctls get ENODEV, udev hears "remove"
    void plug(int deviceNumber);

private:
    struct Urb
    {
        UMockdevIoctlData* urb = nullptr;
        UMockdevIoctlData* buffer = nullptr;
        UMockdevIoctlClient* client = nullptr; // the open file it came on
        bool done = false;
    };
    struct Uart
    {
        Port port;
        std::unique_ptr<SimBoard> board;
        uint64_t session = 0;
        bool readSeen = false;
    };

    static int onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    static void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    int handle(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg);
    int submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    int reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    int control(const uint8_t* setup, uint8_t* data, uint16_t length);
    int vendor(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length);
    void writeLatch(uint16_t mask, uint16_t value);
    int bulkIn(Urb& urb);
    bool presentLocked(UMockdevIoctlClient* client) const;
    std::string deviceNode() const;
    std::vector<uint8_t> descriptors() const;
    static void drop(Urb& urb);

    UMockdevTestbed* m_testbed;
    EmulatedCp210xConfig m_config;
    UMockdevIoctlBase* m_handler = nullptr;

    std::mutex m_mutex; // all below; ioctls come on umockdev's thread
    int m_deviceNumber;
    bool m_attached = false;
    std::string m_sysfsPath;
    std::map<uint8_t, Uart> m_uarts;
    uint16_t m_latch = 0xFFFF;
    std::vector<std::string> m_requests;
    std::vector<Urb> m_urbs;
    bool m_holdBulkIn = false;
    int m_failStatus = 0;
    int m_failCount = 0;
    bool m_halted = false;
    int m_vanishOn = -1;
    int m_discards = 0;
};

// The umockdev testbed and the bridges in it.
class EmulatedUsb
{
public:
    EmulatedUsb();
    ~EmulatedUsb();
    static bool available(); // running under umockdev's preload library
    EmulatedCp210x* plug(const EmulatedCp210xConfig& config);
    void replug(EmulatedCp210x* bridge); // back at once under a new device number
    void remove(EmulatedCp210x* bridge);

private:
    UMockdevTestbed* m_testbed = nullptr;
    std::vector<std::unique_ptr<EmulatedCp210x>> m_bridges;
    int m_nextDeviceNumber = 2; // 1 is the root hub
};

#endif
