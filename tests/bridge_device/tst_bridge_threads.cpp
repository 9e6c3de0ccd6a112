// The bridge device with its worker thread: what the GUI thread and the
// worker share under concurrent use, and a run against the virtual board.

#include "tests/bridge_device/DeviceRig.h"

#include "quadrel_texts.h"
#include "tests/support/SimTestSupport.h"
#include "tests/support/Wait.h"

#include <atomic>
#include <thread>

class BridgeThreadsTest : public QObject
{
    Q_OBJECT

    DeviceRig m_rig;
    QByteArray m_rx, m_tlv; // taken from the rings as the worker announces them

    void listen(KX_SI_USBXpressDev* device)
    {
        // The device as context: its announcements still queued when it is gone are dropped with it.
        connect(device, &KX_SI_USBXpressDev::SIGNAL_newDataAvailable, device, [this, device](quint8 type) {
            type == 0 ? m_rx += drain(*device) : m_tlv += drain(*device, &KX_SI_USBXpressDev::getTlvByte);
        });
    }

private slots:
    void cleanup()
    {
        m_rig.device.reset();
        bridgeInstallBackend(nullptr);
        m_rx.clear();
        m_tlv.clear();
    }

    // The worker never uses a handle the GUI thread closed: that would show as
    // a failing queue check or read.
    void closeAndReopenWhileTheWorkerReads()
    {
        m_rig.start({{"Tivako", "S1"}}, false);
        listen(m_rig.device.get());
        QVERIFY(waitUntil([&] { return m_rig.device->getDeviceList().size() == 1; }));
        LogCapture log;
        std::atomic<bool> stop{false};
        std::thread board([&] {
            for (quint32 seed = 0; !stop.load(); ++seed) {
                m_rig.backend->feedRx(randomBytes(50, seed).toStdString());
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        for (int i = 0; i < 60; ++i) {
            QCOMPARE(m_rig.device->openDevice(0), 1);
            QTest::qWait(3);
            QCOMPARE(m_rig.device->closeDev(), 1);
        }
        stop.store(true);
        board.join();
        // Only a receive ring that the busy test thread let fill may be reported.
        const QStringList lines = log.linesOf(label("BytesAvailable")) + log.linesOf(label("ReadData"));
        QVERIFY2(lines.filter("Receive ring full").size() == lines.size(), qPrintable(lines.join('\n')));
        const std::vector<std::string> calls = m_rig.backend->state().calls;
        QVERIFY(std::count(calls.begin(), calls.end(), "BridgeRead") > 0);
    }

    // The virtual board's firmware through the worker: decoded text in TLV
    // mode, the wire's frames in plain mode.
    void againstTheVirtualBoard()
    {
        SimOptions options;
        auto clock = std::make_shared<ManualSimClock>();
        options.clock = clock;
        auto sim = std::make_shared<SimBridgeBackend>(options);
        sim->board(0)->setFlash(0, bootableImage(256));
        bridgeInstallBackend(sim);
        m_rig.device.reset(new KX_SI_USBXpressDev());
        KX_SI_USBXpressDev& device = *m_rig.device;
        listen(&device);
        QVERIFY(waitUntil([&] { return device.getDeviceList() == QStringList{"Tivako Virtual Board [0xVB0001]"}; }));
        device.setTLVMode(true);
        QCOMPARE(device.openDevice(0), 1);
        device.resetBoard();
        QVERIFY(waitUntil([&] { return m_tlv == QUADREL_TEXT_GREETING; }, 5000));
        QCOMPARE(device.sendData(QUADREL_COMMAND_SET_IDENTITY, QUADREL_COMMAND_SET_IDENTITY_LENGTH), quint16(1));
        QVERIFY(waitUntil([&] { return m_tlv.endsWith(QUADREL_TEXT_IDENTITY_SET); }, 5000));
        device.setTLVMode(false);
        clock->advanceMs(1000);
        QVERIFY(waitUntil([&] { return TlvFeeder().feed(m_rx) == "Uptime 1 s, HardwareID Quadrel\r\n"; }, 5000));
        QVERIFY(m_tlv.endsWith(QUADREL_TEXT_IDENTITY_SET)); // nothing decoded in plain mode
    }
};

QTEST_GUILESS_MAIN(BridgeThreadsTest)
#include "tst_bridge_threads.moc"
