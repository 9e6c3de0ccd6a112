// The bridge device with its real worker thread against the scripted
// backend: what the GUI thread and the worker share (rings, flags, handle,
// device list) under concurrent use.

#include "tests/support/DeviceTestSupport.h"

#include "tests/bridge_layer/ScriptedBridgeBackend.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <thread>

using Device = ScriptedBridgeBackend::Device;

namespace {

const char kAvailable[] = "KX_SI_USBXpressDev::BytesAvailable";
const char kRead[] = "KX_SI_USBXpressDev::ReadData";

// The scripted backend with a gate in the queue check: while the gate is
// shut, a queue check waits inside the library, as a slow USB transfer would.
class GatedBackend : public ScriptedBridgeBackend
{
public:
    using ScriptedBridgeBackend::ScriptedBridgeBackend;

    BRIDGE_STATUS checkRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue, uint32_t* queueStatus) override
    {
        {
            std::unique_lock<std::mutex> lock(m_gateLock);
            if (m_shut) {
                m_waiting = true;
                m_gateChanged.notify_all();
                m_gateChanged.wait(lock, [this] { return !m_shut; });
                m_waiting = false;
            }
        }
        note("check");
        return ScriptedBridgeBackend::checkRxQueue(handle, numBytesInQueue, queueStatus);
    }
    BRIDGE_STATUS close(BRIDGE_HANDLE handle) override
    {
        note("close");
        return ScriptedBridgeBackend::close(handle);
    }

    void shut()
    {
        std::lock_guard<std::mutex> lock(m_gateLock);
        m_shut = true;
    }
    bool waitUntilHeld()
    {
        std::unique_lock<std::mutex> lock(m_gateLock);
        return m_gateChanged.wait_for(lock, std::chrono::seconds(5), [this] { return m_waiting; });
    }
    void open()
    {
        std::lock_guard<std::mutex> lock(m_gateLock);
        m_shut = false;
        m_gateChanged.notify_all();
    }
    std::vector<std::string> notes()
    {
        std::lock_guard<std::mutex> lock(m_gateLock);
        return m_notes;
    }

private:
    void note(const char* what)
    {
        std::lock_guard<std::mutex> lock(m_gateLock);
        m_notes.push_back(what);
    }
    std::mutex m_gateLock;
    std::condition_variable m_gateChanged;
    bool m_shut = false;
    bool m_waiting = false;
    std::vector<std::string> m_notes;
};

} // namespace

class BridgeDeviceThreadsTest : public QObject
{
    Q_OBJECT

private:
    std::shared_ptr<ScriptedBridgeBackend> m_backend;
    std::unique_ptr<KX_SI_USBXpressDev> m_device;
    std::unique_ptr<SignalLog> m_signals;

    void start(std::vector<Device> devices)
    {
        m_backend = std::make_shared<ScriptedBridgeBackend>(std::move(devices));
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev());
        m_signals.reset(new SignalLog(m_device.get()));
        QTRY_VERIFY_WITH_TIMEOUT(m_signals->countOf("list") == 1, 5000);
    }

private slots:
    void cleanup()
    {
        m_device.reset();
        m_signals.reset();
        bridgeInstallBackend(nullptr);
        m_backend.reset();
    }

    void streamArrivesWholeAndInOrder()
    {
        start({{"Tivako", "S1"}});
        QCOMPARE(m_device->openDevice(0), 1);
        const int total = 60000;
        const QByteArray stream = randomBytes(total, 0);
        std::atomic<int> received{0};
        std::atomic<bool> stop{false};
        // The board sends in uneven pieces, never more than the console can
        // have fallen behind by.
        std::thread board([&] {
            int sent = 0;
            int piece = 1;
            while (sent < total && !stop.load()) {
                if (sent - received.load() > 2000) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    continue;
                }
                const int n = std::min(piece, total - sent);
                m_backend->feedRx(bytesOf(stream.mid(sent, n)));
                sent += n;
                piece = piece % 397 + 13;
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
        QElapsedTimer timer;
        timer.start();
        while (m_signals->rx.size() < total && timer.elapsed() < 60000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            received.store(m_signals->rx.size());
        }
        stop.store(true);
        board.join();
        QCOMPARE(m_signals->rx.size(), total);
        QVERIFY(m_signals->rx == stream);
        QVERIFY(!m_signals->events.contains("data2"));
    }

    void wakeUpsReachEveryListenerAndAreKept()
    {
        using Clock = std::chrono::steady_clock;
        BridgeWakeListener first;
        BridgeWakeListener second;
        // A wake that comes before the wait is not lost, and reasons pile up.
        std::thread([] { bridgeWake(BRIDGE_WAKE_RECEIVED); }).join();
        bridgeWake(BRIDGE_WAKE_DEVICES);
        QCOMPARE(first.waitUntil(Clock::now()), unsigned(BRIDGE_WAKE_RECEIVED | BRIDGE_WAKE_DEVICES));
        QCOMPARE(first.waitUntil(Clock::now()), 0u); // taken
        QCOMPARE(second.waitUntil(Clock::now()), unsigned(BRIDGE_WAKE_RECEIVED | BRIDGE_WAKE_DEVICES));
        // A listener's own wake reaches it alone; a sleeper is released by it.
        std::thread waker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            first.wake(BRIDGE_WAKE_HOST);
        });
        QCOMPARE(first.waitUntil(Clock::now() + std::chrono::seconds(30)), unsigned(BRIDGE_WAKE_HOST));
        waker.join();
        QCOMPARE(second.waitUntil(Clock::now()), 0u);
    }

    void restingWorkerSleepsUntilBytesCome()
    {
        start({{"Tivako", "S1"}});
        QCOMPARE(m_device->openDevice(0), 1);
        QTRY_VERIFY_WITH_TIMEOUT(m_backend->callCount("BridgeCheckRxQueue") > 0, 5000);
        // At rest the worker only wakes for its once-a-second refresh, where
        // a polling loop would look at the queue every millisecond.
        const size_t checks = m_backend->callCount("BridgeCheckRxQueue");
        QTest::qWait(300);
        QVERIFY(m_backend->callCount("BridgeCheckRxQueue") - checks <= 2);
        // Bytes wake it: they are read without waiting for a refresh. A
        // refresh that happens to fall in between spoils a round, not all.
        bool woken = false;
        for (int round = 0; round < 3 && !woken; ++round) {
            const size_t refreshes = m_backend->callCount("BridgeGetNumDevices");
            const int before = m_signals->rx.size();
            m_backend->feedRx("ping\n");
            QTRY_VERIFY_WITH_TIMEOUT(m_signals->rx.size() == before + 5, 5000);
            woken = m_backend->callCount("BridgeGetNumDevices") == refreshes;
        }
        QVERIFY(woken);
    }

    void closeAndReopenWhileWorkerPolls()
    {
        start({{"Tivako", "S1"}});
        LogCapture log;
        std::atomic<bool> stop{false};
        std::thread board([&] {
            int from = 0;
            while (!stop.load()) {
                m_backend->feedRx(bytesOf(randomBytes(50, from)));
                from += 50;
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        for (int i = 0; i < 60; ++i) {
            QCOMPARE(m_device->openDevice(0), 1);
            QTest::qWait(3);
            QCOMPARE(m_device->closeDev(), 1);
            QThread::usleep(static_cast<unsigned long>(200 * (i % 5)));
        }
        stop.store(true);
        board.join();
        // The worker never used a handle that the GUI thread had closed: that
        // would have shown as a failing queue check or read.
        QCOMPARE(log.linesOf(kAvailable), QStringList());
        QCOMPARE(log.linesOf(kRead), QStringList());
        QVERIFY(m_backend->callCount("BridgeRead") > 0);
        QVERIFY(!m_backend->isOpen());
    }

    void closeWaitsForTheCallInFlight()
    {
        auto backend = std::make_shared<GatedBackend>(std::vector<Device>{{"Tivako", "S1"}});
        m_backend = backend;
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev());
        m_signals.reset(new SignalLog(m_device.get()));
        QTRY_VERIFY_WITH_TIMEOUT(m_device->getDeviceList().size() == 1, 5000);
        QCOMPARE(m_device->openDevice(0), 1);
        m_backend->feedRx("pending");
        LogCapture log;

        backend->shut();
        QVERIFY(backend->waitUntilHeld()); // the worker is inside a queue check
        // That check reports its bytes with a status that is only logged, so
        // the worker spends a moment on its error line before it reads.
        m_backend->setStatus("BridgeCheckRxQueue", SI_RX_QUEUE_NOT_READY, 1, ScriptedBridgeBackend::Effect::Apply);
        std::atomic<bool> closed{false};
        std::thread gui([&] {
            m_device->closeDev();
            closed.store(true);
        });
        QThread::msleep(50);
        const bool closedEarly = closed.load();
        backend->open();
        gui.join();
        QVERIFY2(!closedEarly, "the handle was closed while the worker was using it");
        const std::vector<std::string> notes = backend->notes();
        QCOMPARE(notes.back(), std::string("close"));
        QCOMPARE(notes.at(notes.size() - 2), std::string("check"));
        // Whatever the worker did next, it did not use the closed handle.
        QTest::qWait(20);
        QCOMPARE(log.linesOf(kAvailable), QStringList{errorLine(kAvailable, "SI Unkown Error 3")});
        QCOMPARE(log.linesOf(kRead), QStringList());
        QVERIFY(!m_device->isConnected());
    }

    void guiNeverWaitsForTheBootModeWaits()
    {
        start({{"Tivako", "S1"}});
        QCOMPARE(m_device->openDevice(0), 1);
        std::thread session([&] {
            for (int i = 0; i < 3; ++i)
                m_device->SetBootModeTivako(i % 2 == 0);
        });
        qint64 longest = 0;
        QElapsedTimer overall;
        overall.start();
        while (overall.elapsed() < 250) {
            QElapsedTimer call;
            call.start();
            QCOMPARE(m_device->sendData("?", 1), quint16(1));
            m_device->getDeviceList();
            longest = std::max(longest, call.elapsed());
            QThread::msleep(2);
        }
        session.join();
        QVERIFY2(longest < 40, qPrintable(QStringLiteral("a call waited %1 ms").arg(longest)));
        QCOMPARE(m_backend->callCount("BridgeSetLineControl"), size_t(1 + 3));
    }

    void messageRingTakesBothWriters()
    {
        start({});
        // Two writers put fixed-size records; the reader sees every record
        // whole and each writer's records in order.
        const int perWriter = 20000;
        std::atomic<int> shortWrites{0};
        auto writer = [&](char tag) {
            for (int i = 0; i < perWriter; ++i) {
                while (m_device->getMsgCount() > 3000)
                    std::this_thread::yield();
                const QByteArray record = tag + QByteArray::number(i).rightJustified(5, '0') + '\n';
                if (m_device->writeMsgRing(record.constData(), static_cast<quint32>(record.size())) != record.size())
                    shortWrites.fetch_add(1);
            }
        };
        std::thread a(writer, 'A');
        std::thread b(writer, 'B');
        QByteArray all;
        QElapsedTimer timer;
        timer.start();
        while (all.size() < 2 * perWriter * 7 && timer.elapsed() < 20000)
            all.append(drainMsg(*m_device));
        a.join();
        b.join();
        QCOMPARE(shortWrites.load(), 0);
        QCOMPARE(all.size(), 2 * perWriter * 7);
        int next[2] = {0, 0};
        for (const QByteArray& record : all.split('\n')) {
            if (record.isEmpty())
                continue;
            QCOMPARE(record.size(), 6);
            const int who = record.at(0) == 'A' ? 0 : 1;
            QVERIFY(record.at(0) == 'A' || record.at(0) == 'B');
            QCOMPARE(record.mid(1).toInt(), next[who]);
            ++next[who];
        }
        QCOMPARE(next[0], perWriter);
        QCOMPARE(next[1], perWriter);
    }

    void unplugClosesThenAnnounces()
    {
        start({{"Tivako A", "A1"}, {"Tivako B", "B2"}});
        QCOMPARE(m_device->openDevice(1), 1);
        m_backend->setDevices({{"Tivako A", "A1"}});
        QTRY_VERIFY_WITH_TIMEOUT(m_signals->countOf("list") == 2, 5000);
        QCOMPARE(m_signals->events, (QStringList{"list", "closed", "list"}));
        QVERIFY(!m_device->isConnected());
        QCOMPARE(m_device->getDeviceList(), QStringList{"Tivako A [0xA1]"});
        // From then on the stale link is not polled any more.
        const size_t polls = m_backend->callCount("BridgeCheckRxQueue");
        QTest::qWait(50);
        QCOMPARE(m_backend->callCount("BridgeCheckRxQueue"), polls);
    }

    void lostDeviceEndsArmedSession()
    {
        start({});
        m_device->SLOT_StartFirmwareUpdate(QStringLiteral("/tmp/whatever.hex"));
        QTRY_VERIFY_WITH_TIMEOUT(m_signals->events.contains("finish:-1"), 5000);
        QTest::qWait(50);
        QCOMPARE(m_signals->countOf("finish:-1"), 1);
        QVERIFY(m_signals->msg.contains("disconnect"));
    }

    void destructionEndsTheThreadOnceAndLeavesTheLinkOpen()
    {
        start({{"Tivako", "S1"}});
        QCOMPARE(m_device->openDevice(0), 1);
        LogCapture log;
        m_device.reset();
        QCOMPARE(log.count(statusLine("KX_SI_USBXpressDev::run", "Thread END")), 1);
        QVERIFY(m_backend->isOpen());
        QCOMPARE(m_backend->callCount("BridgeClose"), size_t(0));
    }
};

QTEST_GUILESS_MAIN(BridgeDeviceThreadsTest)
#include "tst_bridge_device_threads.moc"
