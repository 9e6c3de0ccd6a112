// The contract of a bridge backend, through the library's operations, over
// every backend that works without hardware.

#include "sim/SimBridgeBackend.h"
#include "tests/bridge_layer/ScriptedBridgeBackend.h"

#include <QtTest>

namespace {

using Devices = std::vector<ScriptedBridgeBackend::Device>;

std::string text(uint32_t device, uint8_t selector, BRIDGE_STATUS expected = SI_SUCCESS)
{
    char buffer[BRIDGE_MAX_PRODUCT_STRING];
    std::memset(buffer, 'x', sizeof buffer);
    return BridgeGetProductString(device, buffer, selector) == expected ? buffer : "<other status>";
}

// Bytes waiting, or 9999 when the queue check fails or its status differs.
uint32_t waiting(BRIDGE_HANDLE handle, uint32_t expectedQueueStatus)
{
    uint32_t n = 0, status = 9;
    return BridgeCheckRxQueue(handle, &n, &status) == SI_SUCCESS && status == expectedQueueStatus ? n : 9999;
}

void expectHandleRefused(BRIDGE_HANDLE handle, BRIDGE_STATUS status)
{
    uint32_t n = 0, s = 0;
    uint8_t byte = 0x7F;
    QCOMPARE(BridgeSetBaudRate(handle, 115200), status);
    QCOMPARE(BridgeSetLineControl(handle, BRIDGE_LINE_8E1), status);
    QCOMPARE(BridgeWriteLatch(handle, 1, 1), status);
    QCOMPARE(BridgeCheckRxQueue(handle, &n, &s), status);
    QCOMPARE(BridgeRead(handle, &byte, 1, &n), status);
    QCOMPARE(BridgeWrite(handle, &byte, 1, &n), status);
    QCOMPARE(BridgeFlushBuffers(handle, 1, 1), status);
}

} // namespace

class BridgeBackendsTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { bridgeInstallBackend(nullptr); }

    void contract_data()
    {
        QTest::addColumn<bool>("virtualBoard");
        QTest::newRow("scripted") << false;
        QTest::newRow("virtual board") << true;
    }

    // Two devices; the first is a board whose bootloader answers 0x7F with 0x79.
    void contract()
    {
        QFETCH(bool, virtualBoard);
        SimOptions options;
        options.boards = 2;
        auto sim = std::make_shared<SimBridgeBackend>(options);
        auto board = std::make_shared<ScriptedBridgeBackend>(
            Devices{{"Tivako Virtual Board", "VB0001"}, {"Tivako Virtual Board", "VB0002"}});
        bridgeInstallBackend(virtualBoard ? std::shared_ptr<BridgeBackend>(sim) : board);
        auto answer = [&] { virtualBoard ? void() : board->feedRx("\x79"); };
        uint32_t n = 0;
        QCOMPARE(BridgeGetNumDevices(&n), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(n, 2u);
        QCOMPARE(text(1, SI_RETURN_DESCRIPTION) + " " + text(1, SI_RETURN_SERIAL_NUMBER),
                 "Tivako Virtual Board VB0002");
        QCOMPARE(text(2, SI_RETURN_SERIAL_NUMBER, SI_DEVICE_NOT_FOUND) + text(0, 2, SI_INVALID_PARAMETER), "");

        BRIDGE_HANDLE handle = nullptr, other = nullptr;
        QCOMPARE(BridgeOpen(2, &other), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(BridgeOpen(0, &handle), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeOpen(0, &other), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND)); // one host at a time
        QCOMPARE(BridgeSetBaudRate(handle, 0), BRIDGE_STATUS(SI_INVALID_BAUDRATE));
        QCOMPARE(BridgeSetBaudRate(handle, 115200), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeSetLineControl(handle, BRIDGE_LINE_8E1), BRIDGE_STATUS(SI_SUCCESS));
        // Reset held, BOOT0 set, reset released: the latch keeps the bits outside the mask.
        QCOMPARE(BridgeWriteLatch(handle, 0x01, 0x00), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeWriteLatch(handle, 0x02, 0x00), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeWriteLatch(handle, 0x01, 0xFF), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(int(virtualBoard ? sim->board(0)->latch() : board->state().latch), 0xFD);

        const uint8_t sync = 0x7F, get[2] = {0x00, 0xFF};
        uint8_t reply[4] = {};
        QCOMPARE(BridgeWrite(handle, &sync, 1, &n), BRIDGE_STATUS(SI_SUCCESS));
        answer();
        QCOMPARE(waiting(handle, 2), 1u);
        QCOMPARE(BridgeRead(handle, reply, 4, &n), BRIDGE_STATUS(SI_SUCCESS)); // takes what waits
        QCOMPARE(n, 1u);
        QCOMPARE(int(reply[0]), 0x79);
        QCOMPARE(BridgeWrite(handle, get, 2, &n), BRIDGE_STATUS(SI_SUCCESS));
        answer();
        QVERIFY(waiting(handle, 2) > 0);
        QCOMPARE(BridgeFlushBuffers(handle, 0, 1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(waiting(handle, 0), 0u);

        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_INVALID_HANDLE));
        // Closed, never issued, or null: refused, and nothing reaches a device.
        for (BRIDGE_HANDLE stale : {handle, bridgeHandleFromId(0x1234), BRIDGE_HANDLE(nullptr)})
            expectHandleRefused(stale, SI_INVALID_HANDLE);
        QCOMPARE(BridgeOpen(0, &other), BRIDGE_STATUS(SI_SUCCESS));
        if (virtualBoard) { // a vanished board fails as USB reports it, until its handle is closed
            QVERIFY(sim->unplug(0) && sim->plug(0));
            expectHandleRefused(other, SI_DEVICE_NOT_FOUND);
            QCOMPARE(BridgeClose(other), BRIDGE_STATUS(SI_SUCCESS));
            QCOMPARE(BridgeClose(other), BRIDGE_STATUS(SI_INVALID_HANDLE));
        }
    }
};

QTEST_GUILESS_MAIN(BridgeBackendsTest)
#include "tst_bridge_backends.moc"
