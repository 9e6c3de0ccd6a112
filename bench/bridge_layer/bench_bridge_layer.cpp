// Prints one JSON line: the time BridgeCheckRxQueue takes (it must never wait
// on the USB) while a board streams at about 115200 baud, and the time of a
// device count with four bridges attached whose names are already known.

#include "bridge/BridgeLibrary.h"
#include "bridge/usb/Cp210xBridgeBackend.h"
#include "bridge/usb/RecordingUsbTransport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

} // namespace

int main()
{
    RecordingUsbTransport usb;
    uint64_t board = 0;
    for (uint8_t port = 1; port <= 4; ++port) {
        RecordingUsbTransport::Bridge bridge;
        bridge.portPath = {port};
        bridge.serial = "B" + std::to_string(port);
        uint64_t key = usb.plug(bridge);
        if (port == 1)
            board = key;
    }
    bridgeInstallBackend(std::make_shared<Cp210xBridgeBackend>(usb.lend()));

    uint32_t count = 0;
    BridgeGetNumDevices(&count); // names read here, once
    const int refreshes = 2000;
    auto start = Clock::now();
    for (int i = 0; i < refreshes; ++i)
        BridgeGetNumDevices(&count);
    double refreshMicros = micros(Clock::now() - start) / refreshes;

    BRIDGE_HANDLE handle = nullptr;
    if (BridgeOpen(0, &handle) != SI_SUCCESS) {
        std::printf("{\"error\":\"open failed\"}\n");
        return 1;
    }

    // About 11.5 bytes per millisecond, in 64-byte packets.
    std::atomic<bool> streaming{true};
    std::thread board_thread([&] {
        std::vector<uint8_t> packet(64, 0x55);
        while (streaming.load()) {
            usb.sendFromBoard(board, 0, packet);
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
