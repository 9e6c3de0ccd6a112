// The virtual board under the loader's threading, for ThreadSanitizer: a
// polling worker, a GUI thread that sends commands and resets the board, and
// a thread that plugs, opens and closes other boards, all at once.

#include "tests/support/SimTestSupport.h"
#include "tests/support/Wait.h"

#include <atomic>
#include <thread>

class TestVirtualBoardThreads : public QObject
{
    Q_OBJECT

private slots:
    void workerGuiAndPluggingAtOnce()
    {
        SimBridgeBackend backend(fastOptions(3));
        backend.board(0)->setFlash(0, bootableImage());
        SimHost gui(backend);
        QVERIFY(gui.open(0) == SI_SUCCESS && gui.enterFirmware());
        std::atomic<bool> stop{false};
        std::atomic<int> confirmations{0}, badStatuses{0};
        std::thread worker([&, handle = gui.handle()] {
            TlvFeeder reader;
            std::string text;
            for (Bytes buffer(4096); !stop.load(); std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
                uint32_t n = 0, status = 0, count = 0;
                if (backend.checkRxQueue(handle, &n, &status) == SI_SUCCESS && n > 0 &&
                    backend.read(handle, buffer.data(), std::min<uint32_t>(n, 4096), &n) == SI_SUCCESS)
                    text += reader.feed(fromBytes(Bytes(buffer.begin(), buffer.begin() + n))).toStdString();
                for (size_t at; (at = text.find("HardwareID set to")) != std::string::npos; text.erase(0, at + 1))
                    confirmations.fetch_add(1);
                backend.getNumDevices(&count);
                for (uint32_t i = 0; i < count; ++i) {
                    char name[BRIDGE_MAX_PRODUCT_STRING];
                    const BRIDGE_STATUS s = backend.getProductString(i, name, SI_RETURN_SERIAL_NUMBER);
                    badStatuses += s != SI_SUCCESS && s != SI_DEVICE_NOT_FOUND; // gone since the count: fine
                }
            }
        });
        std::thread plugger([&] {
            for (bool in = true; !stop.load(); in = !in, std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
                in ? backend.unplug(1) : backend.plug(1);
                BRIDGE_HANDLE h = nullptr;
                uint32_t count = 0;
                if (backend.getNumDevices(&count) == SI_SUCCESS && backend.open(count - 1, &h) == SI_SUCCESS)
                    backend.setBaudRate(h, 115200), backend.close(h);
            }
        });
        for (int i = 0; i < 40; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
            gui.sendText("setHWqd\r");
            if (i % 10 == 5)
                gui.enterFirmware();
            backend.board(0)->counters();
            backend.board(2)->mode();
        }
        waitUntil([&] { return confirmations.load() >= 40; }, 20000);
        stop.store(true);
        worker.join();
        plugger.join();
        QCOMPARE(badStatuses.load(), 0);
        QCOMPARE(confirmations.load(), 40);
        QVERIFY(backend.board(0)->identityStored());
    }
};

QTEST_GUILESS_MAIN(TestVirtualBoardThreads)
#include "tst_virtual_board_threads.moc"
