#ifndef TIVAKO_TESTS_USB_EMULATEDCP210X_H
#define TIVAKO_TESTS_USB_EMULATEDCP210X_H

// A Silicon Labs CP210x bridge for the real libusb, emulated with umockdev:
// the device shows up in an emulated sysfs (descriptors, strings, bus and
// device number) and answers the usbfs ioctls libusb sends to its node
// (claims, URBs, discards, the kernel-driver hand-over). Behind each UART
// port sits a virtual board's chip (SimBoard), so the ROM bootloader and the
// firmware answer through the emulated bridge as they would through a real
// one.
//
// The process must run with libumockdev-preload.so preloaded (CTest starts
// the usb suites through umockdev-wrapper). Test-only code.

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
    uint8_t port = 1; // port on the root hub of bus 1
    // A virtual board behind each of these UART interfaces, flash empty
    // unless an image is given.
    std::vector<uint8_t> boardPorts = {0};
    std::vector<uint8_t> flashImage;
    SimOutput output = SimOutput::Ascii;
    // CP2102N firmware version reported by GET_FW_VER.
    uint8_t firmwareVersion[3] = {1, 0, 8};
    // The flow-replace word as the last owner left it: the kernel's default
    // termios (IXON) gives AUTO_TRANSMIT and RTS on; IXOFF adds AUTO_RECEIVE.
    uint32_t flowReplace = 0x41;
};

// One emulated bridge.
class EmulatedCp210x
{
public:
    // The UART port state the host set, as the chip keeps it.
    struct Port
    {
        bool enabled = false;
        uint32_t baud = 9600;
        uint16_t lineControl = 0x0800;
        // GET/SET_FLOW: control handshake, flow replace (see the config),
        // XON and XOFF limits.
        uint32_t flow[4] = {0x01, 0x41, 0x80, 0x80};
        uint16_t modemLines = 0x0003; // DTR bit 0, RTS bit 1
        bool xoffReceived = false;    // output paused by a received XOFF
        bool claimed = false;
        int connects = 0; // USBDEVFS_IOCTL CONNECT: the kernel driver asked back
    };

    EmulatedCp210x(UMockdevTestbed* testbed, const EmulatedCp210xConfig& config, int deviceNumber);
    ~EmulatedCp210x();
    EmulatedCp210x(const EmulatedCp210x&) = delete;
    EmulatedCp210x& operator=(const EmulatedCp210x&) = delete;

    const EmulatedCp210xConfig& config() const { return m_config; }
    int interfaceCount() const;
    uint8_t partNumber() const;
    // The board behind a UART interface, or nullptr.
    SimBoard* board(uint8_t interfaceNumber) const;

    // Control requests as they arrived, each as "TT RR VVVV IIII" (type,
    // request, value, index in hex) plus " [data]" for host-to-device data
    // or " <n" for a device-to-host request of n bytes; standard requests
    // (descriptors) are left out. Claims and releases appear as "claim n",
    // "release n", "connect n", "clear-halt EE"; "read EE" is the first
    // bulk-IN URB after the port was enabled.
    std::vector<std::string> requests();
    void clearRequests();
    Port port(uint8_t interfaceNumber);
    uint16_t latch(); // the GPIO latch as the chip holds it (CP2108: all 16 pins)
    // Pauses bulk-IN answers: URBs stay pending (a busy USB).
    void holdBulkIn(bool hold);
    // The next `count` bulk-IN URBs of the interface end with this status
    // (a negative errno); -EPIPE stalls the endpoint until it is cleared.
    void failBulkIn(uint8_t interfaceNumber, int status, int count);
    int clearHalts(uint8_t endpoint);
    // Failures set with failBulkIn that are still to come, and how many
    // URBs were discarded (reads that ended by time-out).
    int failuresLeft(uint8_t interfaceNumber);
    int discards();
    // The next interface request with this code finds the device gone.
    void vanishOnRequest(uint8_t request);
    // While bulk-IN is held, a purge first hands what the board sent to the
    // URB in flight, as a chip may have it on the bus when the purge comes.
    void deliverOnPurge(bool deliver);

    // ---- attachment ----
    std::string sysfsPath() const;
    std::string deviceNode() const;
    int deviceNumber() const;
    bool attached() const;
    // Unplugged: every URB fails, every further ioctl reports ENODEV, udev
    // hears "remove", the device leaves sysfs and the boards lose power.
    void unplug();
    // Plugged back under a new device number; the boards power up again.
    void plug(int deviceNumber);

private:
    struct Urb
    {
        UMockdevIoctlData* urb = nullptr;    // the client's usbdevfs_urb, resolved
        UMockdevIoctlData* buffer = nullptr; // its buffer, resolved
        unsigned long clientAddress = 0;
        UMockdevIoctlClient* client = nullptr; // the open file it came on
        bool done = false;
    };
    struct Uart
    {
        Port port;
        std::unique_ptr<SimBoard> board;
        uint64_t session = 0;
        std::vector<uint8_t> heldForXon; // host bytes the chip holds back after XOFF
        int failStatus = 0;
        int failCount = 0;
        bool readSeen = false;
        bool halted = false; // bulk-IN stalled until CLEAR_HALT
    };

    static int onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static void onVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    void handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    static void markForReply(Urb& urb);
    // A control request: fills *data for device-to-host requests; returns
    // the data length or a negative errno (-EPIPE: the chip stalls).
    int control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                uint16_t length);
    int vendorRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                      uint16_t length);
    void writeLatch(uint16_t mask, uint16_t value);
    void bulkOut(uint8_t interfaceNumber, const uint8_t* data, int length);
    // Fills a bulk-IN URB from the board; returns the byte count, 0 when
    // nothing has arrived, or a negative errno.
    int bulkIn(uint8_t interfaceNumber, uint8_t* data, int length);
    Uart* uartFor(uint8_t interfaceNumber);
    std::vector<uint8_t> descriptors() const;
    void addToSysfs();
    void record(const std::string& line);
    void releaseUrbs();

    UMockdevTestbed* m_testbed;
    EmulatedCp210xConfig m_config;
    UMockdevIoctlBase* m_handler = nullptr;

    mutable std::mutex m_mutex; // everything below; the handler runs on umockdev's thread
    int m_deviceNumber;
    bool m_attached = false;
    std::string m_sysfsPath;
    std::map<uint8_t, Uart> m_uarts;
    uint16_t m_latch = 0xFFFF;
    std::vector<std::string> m_requests;
    std::vector<Urb> m_urbs;
    bool m_holdBulkIn = false;
    std::map<uint8_t, int> m_clearHalts;
    int m_vanishOn = -1;
    int m_discards = 0;
    bool m_deliverOnPurge = false;
};

// Owns the umockdev testbed and the bridges in it.
class EmulatedUsb
{
public:
    EmulatedUsb();
    ~EmulatedUsb();
    EmulatedUsb(const EmulatedUsb&) = delete;
    EmulatedUsb& operator=(const EmulatedUsb&) = delete;

    // True when the process runs under umockdev's preload library.
    static bool available();

    EmulatedCp210x* plug(const EmulatedCp210xConfig& config);
    // Unplugs and plugs again under a new device number.
    void replug(EmulatedCp210x* bridge);
    void remove(EmulatedCp210x* bridge);

private:
    UMockdevTestbed* m_testbed = nullptr;
    std::vector<std::unique_ptr<EmulatedCp210x>> m_bridges;
    int m_nextDeviceNumber = 2; // 1 is the root hub
};

#endif
