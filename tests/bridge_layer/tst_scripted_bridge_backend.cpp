// The scripted test backend itself: what it records, how scripted statuses
// are used up, the link state it models, and use from two threads.

#include "tests/bridge_layer/ScriptedBridgeBackend.h"

#include <QtTest>

#include <atomic>
#include <thread>

using Call = ScriptedBridgeBackend::Call;
using Effect = ScriptedBridgeBackend::Effect;

class TestScriptedBridgeBackend : public QObject
{
    Q_OBJECT

private slots:
    void recordsEveryCallWithArgumentsDataAndStatus()
    {
        ScriptedBridgeBackend backend({{"Tivako", "A1"}});
        uint32_t count = 0;
        char text[BRIDGE_MAX_PRODUCT_STRING];
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(backend.getNumDevices(&count), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.getProductString(0, text, SI_RETURN_SERIAL_NUMBER), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(QByteArray(text), QByteArray("A1"));
        QCOMPARE(backend.open(0, &handle), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.openHandle(), handle);
        uint32_t moved = 0;
        QCOMPARE(backend.write(handle, "\x7f\x00\x11", 3, &moved), BRIDGE_STATUS(SI_SUCCESS));
        backend.feedRx(std::vector<uint8_t>{0x79, 0x1F});
        uint8_t in[4] = {};
        QCOMPARE(backend.read(handle, in, 4, &moved), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(moved, 2u);
        QCOMPARE(backend.writeLatch(bridgeHandleFromId(77), 1, 0), BRIDGE_STATUS(SI_INVALID_HANDLE));

        std::vector<Call> calls = backend.calls();
        QCOMPARE(calls.size(), size_t(6));
        QCOMPARE(calls[0].op, std::string("BridgeGetNumDevices"));
        QVERIFY(calls[0].args.empty());
        QCOMPARE(calls[1].args, (std::vector<int64_t>{0, SI_RETURN_SERIAL_NUMBER}));
        QCOMPARE(calls[2].args, (std::vector<int64_t>{0}));
        QCOMPARE(calls[3].op, std::string("BridgeWrite"));
        QCOMPARE(calls[3].args, (std::vector<int64_t>{1, 3}));
        QCOMPARE(calls[3].data, (std::vector<uint8_t>{0x7f, 0x00, 0x11}));
        QCOMPARE(calls[4].args, (std::vector<int64_t>{1, 4}));
        QCOMPARE(calls[4].data, (std::vector<uint8_t>{0x79, 0x1F}));
        QCOMPARE(calls[5].args, (std::vector<int64_t>{0, 1, 0})); // a foreign handle is recorded as 0
        QCOMPARE(calls[5].status, BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(backend.written(), (std::vector<uint8_t>{0x7f, 0x00, 0x11}));

        backend.clearCalls();
        backend.clearWritten();
        QVERIFY(backend.calls().empty());
        QVERIFY(backend.written().empty());
    }

    void scriptedStatusesAreUsedUpInOrder()
    {
        ScriptedBridgeBackend backend({{"Tivako", "A1"}});
        backend.setStatus("BridgeGetNumDevices", SI_SUCCESS, 1);
        backend.setStatus("BridgeGetNumDevices", SI_DEVICE_NOT_FOUND, 2);
        backend.setStatus("BridgeGetNumDevices", SI_INVALID_PARAMETER, 1);
        std::vector<BRIDGE_STATUS> seen;
        for (int i = 0; i < 6; ++i) {
            uint32_t count = 0;
            seen.push_back(backend.getNumDevices(&count));
        }
        QCOMPARE(seen, (std::vector<BRIDGE_STATUS>{SI_SUCCESS, SI_DEVICE_NOT_FOUND, SI_DEVICE_NOT_FOUND,
                                                   SI_INVALID_PARAMETER, SI_SUCCESS, SI_SUCCESS}));

        backend.setStatus("BridgeWriteLatch", SI_FUNCTION_NOT_SUPPORTED); // always
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(backend.open(0, &handle), BRIDGE_STATUS(SI_SUCCESS));
        for (int i = 0; i < 5; ++i)
            QCOMPARE(backend.writeLatch(handle, 0x01, 0x00), BRIDGE_STATUS(SI_FUNCTION_NOT_SUPPORTED));
        QCOMPARE(backend.latch(), uint8_t(0xFF)); // skipped: the latch never moved
        backend.clearStatus("BridgeWriteLatch");
        QCOMPARE(backend.writeLatch(handle, 0x01, 0x00), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.latch(), uint8_t(0xFE));

        // Zero or nonsense counts script nothing.
        backend.setStatus("BridgeClose", SI_SYSTEM_ERROR_CODE, 0);
        backend.setStatus("BridgeClose", SI_SYSTEM_ERROR_CODE, -5);
        backend.setStatus("BridgeRead", SI_READ_ERROR);
        backend.clearStatuses();
        uint8_t byte;
        uint32_t moved = 0;
        QCOMPARE(backend.read(handle, &byte, 1, &moved), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.close(handle), BRIDGE_STATUS(SI_SUCCESS));
    }

    void effectSkipLeavesStateAndApplyChangesIt()
    {
        ScriptedBridgeBackend backend({{"Tivako", "A1"}});
        BRIDGE_HANDLE handle = nullptr;
        backend.setStatus("BridgeOpen", SI_DEVICE_NOT_FOUND, 1);
        QCOMPARE(backend.open(0, &handle), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QVERIFY(handle == nullptr);
        QVERIFY(!backend.isOpen());

        // A status callers do not treat as failure, with the device opened.
        backend.setStatus("BridgeOpen", SI_READ_ERROR, 1, Effect::Apply);
        QCOMPARE(backend.open(0, &handle), BRIDGE_STATUS(SI_READ_ERROR));
        QVERIFY(handle != nullptr);
        QVERIFY(backend.isOpen());
        QCOMPARE(backend.openDeviceNumber(), 0);

        backend.setStatus("BridgeWrite", SI_WRITE_TIMED_OUT, 1, Effect::Apply);
        uint32_t moved = 0;
        QCOMPARE(backend.write(handle, "ab", 2, &moved), BRIDGE_STATUS(SI_WRITE_TIMED_OUT));
        QCOMPARE(backend.writtenText(), std::string("ab"));
        backend.setStatus("BridgeWrite", SI_WRITE_ERROR, 1);
        moved = 0;
        QCOMPARE(backend.write(handle, "cd", 2, &moved), BRIDGE_STATUS(SI_WRITE_ERROR));
        QCOMPARE(moved, 0u);
        QCOMPARE(backend.writtenText(), std::string("ab"));
        QCOMPARE(backend.calls("BridgeWrite").back().data, (std::vector<uint8_t>{'c', 'd'}));

        backend.feedRx(std::string("xyz"));
        backend.setStatus("BridgeRead", SI_READ_ERROR, 1);
        uint8_t in[3];
        QCOMPARE(backend.read(handle, in, 3, &moved), BRIDGE_STATUS(SI_READ_ERROR));
        QCOMPARE(backend.rxPending(), size_t(3));

        backend.setStatus("BridgeClose", SI_SYSTEM_ERROR_CODE, 1);
        QCOMPARE(backend.close(handle), BRIDGE_STATUS(SI_SYSTEM_ERROR_CODE));
        QVERIFY(backend.isOpen());
        QCOMPARE(backend.close(handle), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(!backend.isOpen());
        QCOMPARE(backend.openDeviceNumber(), -1);
    }

    void modelsOneLink()
    {
        ScriptedBridgeBackend backend;
        uint32_t count = 5;
        QCOMPARE(backend.getNumDevices(&count), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(count, 0u);
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(backend.open(0, &handle), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        char text[BRIDGE_MAX_PRODUCT_STRING];
        QCOMPARE(backend.getProductString(0, text, SI_RETURN_DESCRIPTION), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));

        backend.setDevices({{"One", "1"}, {"Two", "2"}});
        QCOMPARE(backend.devices().size(), size_t(2));
        QCOMPARE(backend.getProductString(1, text, 7), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(backend.getProductString(1, text, SI_RETURN_DESCRIPTION), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(QByteArray(text), QByteArray("Two"));

        QCOMPARE(backend.open(1, &handle), BRIDGE_STATUS(SI_SUCCESS));
        BRIDGE_HANDLE second = nullptr;
        QCOMPARE(backend.open(0, &second), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND)); // one link at a time
        QCOMPARE(backend.setBaudRate(handle, 0), BRIDGE_STATUS(SI_INVALID_BAUDRATE));
        QCOMPARE(backend.setBaudRate(handle, 115200), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.baudRate(), 115200u);
        QCOMPARE(backend.setLineControl(handle, BRIDGE_LINE_8E1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.lineControl(), uint16_t(0x0820));

        backend.setLatch(0x00);
        QCOMPARE(backend.writeLatch(handle, 0x03, 0xFF), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.latch(), uint8_t(0x03)); // bits outside the mask stay
        QCOMPARE(backend.writeLatch(handle, 0x02, 0x00), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.latch(), uint8_t(0x01));

        uint32_t waiting = 9, queue = 9;
        QCOMPARE(backend.checkRxQueue(handle, &waiting, &queue), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(waiting, 0u);
        QCOMPARE(queue, 0u);
        backend.feedRx(std::string("hello"));
        QCOMPARE(backend.checkRxQueue(handle, &waiting, &queue), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(waiting, 5u);
        QCOMPARE(queue, 2u);
        backend.setQueueStatus(1);
        QCOMPARE(backend.checkRxQueue(handle, &waiting, &queue), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(queue, 1u);
        char in[8] = {};
        uint32_t moved = 0;
        QCOMPARE(backend.read(handle, in, 3, &moved), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(QByteArray(in, int(moved)), QByteArray("hel"));
        QCOMPARE(backend.flushBuffers(handle, 0, 1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.rxPending(), size_t(0));

        QCOMPARE(backend.close(handle), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.close(handle), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(backend.setBaudRate(handle, 9600), BRIDGE_STATUS(SI_INVALID_HANDLE));
        // A new open gives a new handle; the old one stays dead.
        QCOMPARE(backend.open(0, &second), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(second != handle);
        QCOMPARE(backend.writeLatch(handle, 1, 1), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(backend.calls("BridgeOpen").size(), size_t(4));
    }

    void workerThreadAndTestThreadShareIt()
    {
        ScriptedBridgeBackend backend({{"Tivako", "A1"}});
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(backend.open(0, &handle), BRIDGE_STATUS(SI_SUCCESS));
        std::atomic<bool> running{true};
        std::vector<uint8_t> received;
        // A polling loop like the bridge worker's.
        std::thread worker([&] {
            while (running.load()) {
                uint32_t waiting = 0, queue = 0;
                if (backend.checkRxQueue(handle, &waiting, &queue) == SI_SUCCESS && waiting) {
                    std::vector<uint8_t> chunk(waiting);
                    uint32_t moved = 0;
                    if (backend.read(handle, chunk.data(), waiting, &moved) == SI_SUCCESS)
                        received.insert(received.end(), chunk.begin(), chunk.begin() + moved);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        for (int i = 0; i < 50; ++i)
            backend.feedRx(std::vector<uint8_t>{uint8_t(i)});
        QVERIFY(backend.waitForCalls("BridgeCheckRxQueue", 20, std::chrono::seconds(10)));
        QTRY_COMPARE_WITH_TIMEOUT(backend.rxPending(), size_t(0), 10000);
        running.store(false);
        worker.join();
        QCOMPARE(received.size(), size_t(50));
        for (int i = 0; i < 50; ++i)
            QCOMPARE(received[size_t(i)], uint8_t(i));
        QVERIFY(!backend.waitForCalls("BridgeOpen", 2, std::chrono::milliseconds(20)));
    }
};

QTEST_GUILESS_MAIN(TestScriptedBridgeBackend)
#include "tst_scripted_bridge_backend.moc"
