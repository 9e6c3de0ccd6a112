// Prints one JSON line: the time BridgeCheckRxQueue takes (it must never wait
// on the USB) while a board streams at about 115200 baud, and the time of a
// device count with four bridges attached whose names are already known.

#include "bridge/BridgeLibrary.h"
#include "bridge/usb/Cp210xBridgeBackend.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

// Bytes a board sends, queued for the bulk-IN endpoint of the open port.
struct Stream
{
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::vector<uint8_t>> packets;

    void send(std::vector<uint8_t> packet)
    {
        std::lock_guard<std::mutex> lock(mutex);
        packets.push_back(std::move(packet));
        arrived.notify_one();
    }
};

// A CP2104 as the backend sees it through the USB seam: every request
// succeeds, reads take what the board streamed.
class BenchLink : public UsbDeviceLink
{
public:
    explicit BenchLink(Stream& stream) : m_stream(stream) {}
    int claimInterface(uint8_t) override { return 0; }
    int releaseInterface(uint8_t) override { return 0; }
    int controlTransfer(uint8_t requestType, uint8_t, uint16_t value, uint16_t, uint8_t* data, uint16_t length,
                        unsigned) override
    {
        if (!(requestType & 0x80))
            return length;
        std::fill(data, data + length, 0);
        if (value == 0x370B && length) // the part number
            data[0] = 0x04;
        return length;
    }
    int bulkTransfer(uint8_t endpoint, uint8_t* data, int length, int* transferred, unsigned timeoutMs) override
    {
        *transferred = 0;
        if (!(endpoint & 0x80)) {
            *transferred = length;
            return 0;
        }
        std::unique_lock<std::mutex> lock(m_stream.mutex);
        if (!m_stream.arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                       [&] { return !m_stream.packets.empty(); }))
            return LIBUSB_ERROR_TIMEOUT;
        std::vector<uint8_t> packet = std::move(m_stream.packets.front());
        m_stream.packets.pop_front();
        *transferred = std::min<int>(length, int(packet.size()));
        std::copy(packet.begin(), packet.begin() + *transferred, data);
        return 0;
    }
    int clearHalt(uint8_t) override { return 0; }

private:
    Stream& m_stream;
};

class BenchTransport : public UsbTransport
{
public:
    explicit BenchTransport(Stream& stream) : m_stream(stream) {}
    int listDevices(const std::function<bool(uint16_t, uint16_t)>& wanted,
                    std::vector<UsbDeviceInfo>* devices) override
    {
        devices->clear();
        for (uint8_t port = 1; port <= 4; ++port) {
            UsbDeviceInfo info;
            info.key = port;
            info.bus = 1;
            info.portPath = {port};
            info.vendorId = 0x10C4;
            info.productId = 0xEA60;
            UsbInterfaceInfo uart;
            uart.bulkIn = 0x81;
            uart.bulkOut = 0x01;
            info.interfaces.push_back(uart);
            if (wanted(info.vendorId, info.productId))
                devices->push_back(info);
        }
        return 5; // with the root hub
    }
    int readStrings(uint64_t key, std::string* product, std::string* serial) override
    {
        *product = "CP2104 USB to UART Bridge Controller";
        *serial = "B" + std::to_string(key);
        return 0;
    }
    int open(uint64_t, std::unique_ptr<UsbDeviceLink>* link) override
    {
        link->reset(new BenchLink(m_stream));
        return 0;
    }

private:
    Stream& m_stream;
};

} // namespace

int main()
{
    Stream stream;
    bridgeInstallBackend(std::make_shared<Cp210xBridgeBackend>(std::make_unique<BenchTransport>(stream)));

    uint32_t count = 0;
    BridgeGetNumDevices(&count); // names read here, once
    const int refreshes = 2000;
    auto start = Clock::now();
    for (int i = 0; i < refreshes; ++i)
        BridgeGetNumDevices(&count);
    double refreshMicros = micros(Clock::now() - start) / refreshes;

    BRIDGE_HANDLE handle = nullptr;
    if (BridgeOpen(0, &handle) != SI_SUCCESS || BridgeSetBaudRate(handle, 115200) != SI_SUCCESS ||
        BridgeSetLineControl(handle, BRIDGE_LINE_8N1) != SI_SUCCESS) {
        std::printf("{\"error\":\"open failed\"}\n");
        return 1;
    }

    // About 11.5 bytes per millisecond, in 64-byte packets.
    std::atomic<bool> streaming{true};
    std::thread board_thread([&] {
        std::vector<uint8_t> packet(64, 0x55);
        while (streaming.load()) {
            stream.send(packet);
            std::this_thread::sleep_for(std::chrono::microseconds(5500));
        }
    });

    std::vector<double> checks;
    const int cycles = 3000;
    checks.reserve(cycles);
    uint64_t received = 0;
    std::vector<uint8_t> buffer(65536);
    for (int i = 0; i < cycles; ++i) {
        uint32_t waiting = 0, queue = 0;
        auto before = Clock::now();
        BridgeCheckRxQueue(handle, &waiting, &queue);
        checks.push_back(micros(Clock::now() - before));
        if (waiting) {
            uint32_t got = 0;
            BridgeRead(handle, buffer.data(), std::min<uint32_t>(waiting, 65536), &got);
            received += got;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the worker's cycle
    }
    streaming.store(false);
    board_thread.join();
    BridgeClose(handle);
    bridgeInstallBackend(nullptr);

    std::sort(checks.begin(), checks.end());
    double sum = 0;
    for (double c : checks)
        sum += c;
    std::printf("{\"bench\":\"bridge_layer\",\"check_rx_queue_us_mean\":%.2f,\"check_rx_queue_us_p99\":%.2f,"
                "\"check_rx_queue_us_max\":%.2f,\"check_rx_queue_limit_us\":3000,\"bytes_received\":%llu,"
                "\"device_count_us_mean\":%.2f,\"devices\":%u}\n",
                sum / checks.size(), checks[checks.size() * 99 / 100], checks.back(),
                static_cast<unsigned long long>(received), refreshMicros, count);
    return 0;
}
