// The simulated bridge under the loader's threading: a polling worker, a GUI
// thread that sends commands and resets the board, and boards that come and
// go, all at once. Run under ThreadSanitizer in the threads label.

#include "tests/support/SimTestSupport.h"

#include <QElapsedTimer>

#include <atomic>
#include <thread>

namespace {
const uint8_t ACK = 0x79;
}

class TestSimThreads : public QObject
{
    Q_OBJECT

private slots:
    void workerGuiAndPluggingAtOnce()
    {
        SimBridgeBackend backend(fastOptions(3));
        backend.board(0)->setFlash(0, bootableImage());
        SimHost gui(backend);
        QCOMPARE(gui.open(0), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(gui.enterFirmware());

        std::atomic<bool> stop{false};
        std::atomic<int> confirmations{0};
        std::atomic<int> badStatuses{0};
        const BRIDGE_HANDLE handle = gui.handle();

        // The worker: polls the queue, reads, decodes, refreshes the device list.
        std::thread worker([&] {
            FrameReader reader;
            std::string text;
            Bytes buffer(4096);
            int cycle = 0;
            while (!stop.load()) {
                uint32_t n = 0, status = 0;
                if (backend.checkRxQueue(handle, &n, &status) == SI_SUCCESS && n > 0) {
                    uint32_t got = 0;
                    n = std::min<uint32_t>(n, 4096);
                    if (backend.read(handle, buffer.data(), n, &got) == SI_SUCCESS) {
                        text += reader.feed(Bytes(buffer.begin(), buffer.begin() + got));
                        size_t at;
                        while ((at = text.find("HardwareID set to")) != std::string::npos) {
                            confirmations.fetch_add(1);
                            text.erase(0, at + 1);
                        }
                    }
                }
                if (++cycle % 10 == 0) {
                    uint32_t count = 0;
                    if (backend.getNumDevices(&count) == SI_SUCCESS) {
                        for (uint32_t i = 0; i < count; ++i) {
                            char name[BRIDGE_MAX_PRODUCT_STRING];
                            BRIDGE_STATUS s = backend.getProductString(i, name, SI_RETURN_SERIAL_NUMBER);
                            // A board may vanish between the count and the query.
                            if (s != SI_SUCCESS && s != SI_DEVICE_NOT_FOUND)
                                badStatuses.fetch_add(1);
                        }
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        // Boards 2 and 3 come and go; one host opens and closes board 3.
        std::thread plugger([&] {
            bool in = true;
            while (!stop.load()) {
                in ? backend.unplug(1) : backend.plug(1);
                in = !in;
                BRIDGE_HANDLE h = nullptr;
                uint32_t count = 0;
                backend.getNumDevices(&count);
                if (backend.open(count - 1, &h) == SI_SUCCESS) {
                    backend.setBaudRate(h, 115200);
                    backend.close(h);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });

        // The GUI thread: commands, resets and inspection.
        for (int i = 0; i < 40; ++i) {
            QCOMPARE(gui.sendText("setHWqd\r"), BRIDGE_STATUS(SI_SUCCESS));
            if (i % 10 == 5)
                QVERIFY(gui.enterFirmware());
            backend.board(0)->counters();
            backend.board(2)->mode();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // Every command is answered once; give a slow (sanitized) worker time to read.
        QElapsedTimer waited;
        waited.start();
        while (confirmations.load() < 40 && waited.elapsed() < 10000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop.store(true);
        worker.join();
        plugger.join();
        QCOMPARE(badStatuses.load(), 0);
        QCOMPARE(confirmations.load(), 40);
        QVERIFY(backend.board(0)->identityStored());
    }

    void closingWhileAnotherThreadReads()
    {
        SimBridgeBackend backend(fastOptions());
        std::atomic<BRIDGE_HANDLE> current{nullptr};
        std::atomic<bool> stop{false};
        std::atomic<int> unexpected{0};
        BRIDGE_HANDLE h = nullptr;
        QCOMPARE(backend.open(0, &h), BRIDGE_STATUS(SI_SUCCESS));
        current.store(h);
        std::thread reader([&] {
            uint8_t buffer[16];
            while (!stop.load()) {
                uint32_t n = 0, status = 0;
                BRIDGE_HANDLE mine = current.load();
                BRIDGE_STATUS s1 = backend.checkRxQueue(mine, &n, &status);
                BRIDGE_STATUS s2 = backend.read(mine, buffer, sizeof buffer, &n);
                BRIDGE_STATUS s3 = backend.write(mine, "\x7f", 1, &n);
                for (BRIDGE_STATUS s : {s1, s2, s3})
                    if (s != SI_SUCCESS && s != SI_INVALID_HANDLE)
                        unexpected.fetch_add(1);
            }
        });
        for (int i = 0; i < 300; ++i) {
            BRIDGE_HANDLE old = current.load();
            QCOMPARE(backend.close(old), BRIDGE_STATUS(SI_SUCCESS));
            BRIDGE_HANDLE fresh = nullptr;
            QCOMPARE(backend.open(0, &fresh), BRIDGE_STATUS(SI_SUCCESS));
            current.store(fresh);
        }
        stop.store(true);
        reader.join();
        QCOMPARE(unexpected.load(), 0);
        backend.close(current.load());
    }

    void realtimeSessionOnOneThreadInspectionOnAnother()
    {
        SimOptions options = fastOptions();
        options.timing = SimTiming::Realtime;
        SimBridgeBackend backend(options);
        std::atomic<bool> done{false};
        std::atomic<bool> ok{false};
        const Bytes image = bytesOf(randomBytes(2048, 21));
        std::thread session([&] {
            SimHost host(backend);
            bool good = host.open() == SI_SUCCESS && host.enterBootloader();
            host.send({0x7F});
            good = good && host.takeAtLeast(1) == Bytes{ACK};
            host.send(commandFrame(0x43));
            good = good && host.takeAtLeast(1) == Bytes{ACK};
            host.send({0xFF, 0x00});
            good = good && host.takeAtLeast(1) == Bytes{ACK};
            for (size_t at = 0; good && at < image.size(); at += 256) {
                host.send(commandFrame(0x31));
                good = host.takeAtLeast(1) == Bytes{ACK};
                host.send(addressFrame(kSimFlashBase + uint32_t(at)));
                good = good && host.takeAtLeast(1) == Bytes{ACK};
                host.send(dataFrame(Bytes(image.begin() + long(at), image.begin() + long(at + 256))));
                good = good && host.takeAtLeast(1) == Bytes{ACK};
            }
            ok.store(good);
            done.store(true);
        });
        int looks = 0;
        while (!done.load()) {
            uint32_t count = 0;
            backend.getNumDevices(&count);
            backend.board(0)->counters();
            backend.board(0)->nextEventNs();
            ++looks;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        session.join();
        QVERIFY(ok.load());
        QVERIFY(looks > 5);
        const Bytes flash = backend.board(0)->flash();
        QVERIFY(Bytes(flash.begin(), flash.begin() + long(image.size())) == image);
    }
};

QTEST_GUILESS_MAIN(TestSimThreads)
#include "tst_sim_threads.moc"
