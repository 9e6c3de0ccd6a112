#ifndef TIVAKO_BRIDGE_USB_RECORDINGUSBTRANSPORT_H
#define TIVAKO_BRIDGE_USB_RECORDINGUSBTRANSPORT_H

// A USB transport without USB, for tests of the CP210x backend: it plays a
// set of attached bridges, records every setup packet, claim, release and
// bulk-OUT byte, answers the few device-to-host requests the backend makes,
// and fails the requests a test picks with the libusb error it picks.
// Thread-safe; bulk-IN waits honour their time-out, so readers never spin.

#include "bridge/usb/UsbTransport.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class RecordingUsbTransport : public UsbTransport
{
public:
    struct Setup
    {
        uint64_t device = 0; // the device's key
        uint8_t requestType = 0;
        uint8_t request = 0;
        uint16_t value = 0;
        uint16_t index = 0;
        uint16_t length = 0;
        std::vector<uint8_t> data; // what the host sent (host-to-device requests)
    };

    struct Bridge
    {
        uint8_t bus = 1;
        std::vector<uint8_t> portPath{1};
        uint16_t vendorId = 0x10C4;
        uint16_t productId = 0xEA60;
        std::string product = "CP2104 USB to UART Bridge Controller";
        std::string serial = "0001";
        uint8_t partNumber = 0x04; // what GET_PARTNUM answers
        int interfaces = 1;        // UART interfaces, numbered from 0
    };

    // A transport that forwards to this one, for a backend that wants to own
    // its transport while the test keeps the recorder (which must outlive it).
    std::unique_ptr<UsbTransport> lend();

    // Plugs a bridge in; returns its key. Keys are never reused.
    uint64_t plug(const Bridge& bridge);
    // Pulls it out: its open links fail from now on with NO_DEVICE.
    void unplug(uint64_t key);

    // Failure injection. A failure applies to the next `count` matching
    // actions (-1: all of them) and then lapses.
    void failList(int error, int count = -1);
    void failStrings(int error, int count = -1);
    void failOpen(int error, int count = -1);
    void failClaim(int error, int count = -1);
    // Control requests with this bRequest (and, if given, this wValue).
    void failControl(uint8_t request, int error, int count = -1, int value = -1);
    // Bulk OUT: the failing transfer still moves `moved` bytes first.
    void failBulkOut(int error, int count = -1, int moved = 0);
    // Bulk OUT moves at most this many bytes per transfer (0: no limit).
    void limitBulkOut(int bytesPerTransfer);
    void failBulkIn(int error, int count = -1);

    // Bytes the chip "received on its UART": handed to the next bulk-IN
    // transfers of that interface.
    void sendFromBoard(uint64_t key, uint8_t interfaceNumber, const std::vector<uint8_t>& bytes);

    // ---- inspection ----
    std::vector<Setup> setups() const;
    void clearSetups();
    // "open K", "claim K/I", "release K/I", "close K", "strings K" in order.
    std::vector<std::string> events() const;
    void clearEvents();
    std::vector<uint8_t> sentToBoard(uint64_t key, uint8_t interfaceNumber) const;
    int listCalls() const;
    int stringReads() const;
    int openLinks() const;
    bool isClaimed(uint64_t key, uint8_t interfaceNumber) const;

    // ---- UsbTransport ----
    int listDevices(const std::function<bool(uint16_t, uint16_t)>& wanted,
                    std::vector<UsbDeviceInfo>* devices) override;
    int readStrings(uint64_t key, std::string* product, std::string* serial) override;
    int open(uint64_t key, std::unique_ptr<UsbDeviceLink>* link) override;

private:
    friend class RecordingLink;

    struct Failure
    {
        int error;
        int count;
        int value; // control: wValue to match, -1 any; bulk OUT: bytes moved
    };
    struct Attached
    {
        Bridge bridge;
        bool present = true;
        std::map<uint8_t, bool> claimed;
        std::map<uint8_t, std::deque<uint8_t>> fromBoard;
        std::map<uint8_t, std::vector<uint8_t>> toBoard;
    };

    // Expects m_mutex held. Returns 0 when no failure applies.
    static int take(std::deque<Failure>& failures, int value = -1, int* extra = nullptr);
    void event(const std::string& text);

    int linkClaim(uint64_t key, uint8_t interfaceNumber);
    int linkRelease(uint64_t key, uint8_t interfaceNumber);
    int linkControl(uint64_t key, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                    uint16_t length);
    int linkBulk(uint64_t key, uint8_t endpoint, uint8_t* data, int length, int* transferred, unsigned timeoutMs);
    void linkClosed(uint64_t key);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<uint64_t, Attached> m_attached;
    uint64_t m_lastKey = 0;
    std::vector<Setup> m_setups;
    std::vector<std::string> m_events;
    std::deque<Failure> m_listFailures, m_stringFailures, m_openFailures, m_claimFailures, m_bulkOutFailures,
        m_bulkInFailures;
    std::map<uint8_t, std::deque<Failure>> m_controlFailures;
    int m_bulkOutLimit = 0;
    int m_listCalls = 0;
    int m_stringReads = 0;
    int m_openLinks = 0;
};

#endif
