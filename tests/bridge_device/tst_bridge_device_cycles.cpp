// The worker loop's cycles against the scripted backend, one cycle at a
// time on the test thread: receive, hand-on in plain and TLV mode, the
// queue-check and read statuses, ring overflow, the session and lost-device
// steps and the refresh cadence.

#include "tests/support/DeviceTestSupport.h"

#include "tests/bridge_layer/ScriptedBridgeBackend.h"

#include <QSignalSpy>
#include <QtTest>

#include <chrono>
#include <thread>

#include <memory>

using Call = ScriptedBridgeBackend::Call;
using Device = ScriptedBridgeBackend::Device;
using Effect = ScriptedBridgeBackend::Effect;

namespace {

const char kAvailable[] = "KX_SI_USBXpressDev::BytesAvailable";
const char kRead[] = "KX_SI_USBXpressDev::ReadData";

QList<int> dataTypes(const QSignalSpy& spy)
{
    QList<int> types;
    for (const QList<QVariant>& args : spy)
        types.append(args.at(0).toInt());
    return types;
}

} // namespace

class BridgeDeviceCyclesTest : public QObject
{
    Q_OBJECT

private:
    std::shared_ptr<ScriptedBridgeBackend> m_backend;
    std::unique_ptr<KX_SI_USBXpressDev> m_device;
    std::unique_ptr<QSignalSpy> m_data;

    std::vector<int64_t> readSizes() const
    {
        std::vector<int64_t> sizes;
        for (const Call& call : m_backend->calls("BridgeRead"))
            sizes.push_back(call.args.at(1));
        return sizes;
    }

    void makeOpenDevice()
    {
        m_backend = std::make_shared<ScriptedBridgeBackend>(std::vector<Device>{{"Tivako", "S1"}});
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev(KX_SI_USBXpressDev::ManualCycles{}));
        m_device->runWorkerCycle();
        QCOMPARE(m_device->openDevice(0), 1);
        m_backend->clearCalls();
        m_data.reset(new QSignalSpy(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_newDataAvailable));
    }

private slots:
    void cleanup()
    {
        m_data.reset();
        m_device.reset();
        bridgeInstallBackend(nullptr);
        m_backend.reset();
    }

    void closedCycleOnlyRefreshes()
    {
        m_backend = std::make_shared<ScriptedBridgeBackend>(std::vector<Device>{{"Tivako", "S1"}});
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev(KX_SI_USBXpressDev::ManualCycles{}));
        for (int i = 0; i < 10; ++i)
            m_device->runWorkerCycle();
        QCOMPARE(m_backend->callNames(),
                 (std::vector<std::string>{"BridgeGetNumDevices", "BridgeGetProductString", "BridgeGetProductString"}));
    }

    void plainModeOneAnnouncementPerCycle()
    {
        makeOpenDevice();
        m_device->runWorkerCycle();
        QCOMPARE(m_data->count(), 0); // nothing waiting, nothing read
        QCOMPARE(m_backend->callNames(), std::vector<std::string>{"BridgeCheckRxQueue"});

        m_backend->feedRx("Uptime 1 s\r\n");
        m_device->runWorkerCycle();
        QCOMPARE(dataTypes(*m_data), QList<int>{0});
        const std::vector<Call> reads = m_backend->calls("BridgeRead");
        QCOMPARE(reads.size(), size_t(1));
        QCOMPARE(reads[0].args, (std::vector<int64_t>{1, 12}));
        m_backend->feedRx("ab");
        m_device->runWorkerCycle();
        QCOMPARE(dataTypes(*m_data), (QList<int>{0, 0}));
        // The bytes stay in the receive ring for the console.
        QCOMPARE(m_device->getRxCount(), quint16(14));
        QCOMPARE(drainRx(*m_device), QByteArray("Uptime 1 s\r\nab"));
        quint8 untouched = 0x42;
        QCOMPARE(m_device->getRxByte(&untouched), quint8(0xFF));
        QCOMPARE(untouched, quint8(0x42));
        QCOMPARE(m_device->getTlvCount(), quint16(0));
    }

    void readStatuses_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::newRow("0x01") << 0x01 << "SI_INVALID_HANDLE";
        QTest::newRow("0x02") << 0x02 << "SI_READ_ERROR";
        QTest::newRow("0x06") << 0x06 << "SI_INVALID_PARAMETER";
        QTest::newRow("0x07") << 0x07 << "SI_INVALID_REQUEST_LENGTH";
        QTest::newRow("0x08") << 0x08 << "SI_DEVICE_IO_FAILED";
        QTest::newRow("0x0C") << 0x0C << "SI_SYSTEM_ERROR_CODE";
        QTest::newRow("0x0D") << 0x0D << "SI_READ_TIMED_OUT";
        QTest::newRow("0x0F") << 0x0F << "SI_IO_PENDING";
        QTest::newRow("0x03 copies") << 0x03 << "";
        QTest::newRow("0x0E copies") << 0x0E << "";
    }

    void readStatuses()
    {
        QFETCH(int, status);
        QFETCH(QString, line);
        makeOpenDevice();
        LogCapture log;
        m_backend->feedRx("xyz");
        m_backend->setStatus("BridgeRead", static_cast<BRIDGE_STATUS>(status), 1, Effect::Apply);
        m_device->runWorkerCycle();
        // Announced even when the read failed.
        QCOMPARE(dataTypes(*m_data), QList<int>{0});
        if (line.isEmpty()) {
            QVERIFY(log.lines().isEmpty());
            QCOMPARE(drainRx(*m_device), QByteArray("xyz"));
        } else {
            QCOMPARE(log.lines(), QStringList{errorLine(kRead, line)});
            QCOMPARE(m_device->getRxCount(), quint16(0));
        }
    }

    void failingQueueCheckReadsNothing_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::newRow("0x01") << 0x01 << "SI_INVALID_HANDLE";
        QTest::newRow("0x06") << 0x06 << "SI_INVALID_PARAMETER";
        QTest::newRow("0x08") << 0x08 << "SI_DEVICE_IO_FAILED";
    }

    void failingQueueCheckReadsNothing()
    {
        QFETCH(int, status);
        QFETCH(QString, line);
        makeOpenDevice();
        LogCapture log;
        m_backend->feedRx("waiting");
        // The queue check reports the bytes but fails.
        m_backend->setStatus("BridgeCheckRxQueue", static_cast<BRIDGE_STATUS>(status), 1, Effect::Apply);
        m_device->setTLVMode(false);
        m_device->runWorkerCycle();
        QCOMPARE(m_backend->callCount("BridgeRead"), size_t(0));
        QCOMPARE(m_data->count(), 0);
        QCOMPARE(log.lines(), QStringList{errorLine(kAvailable, line)});
        // The next cycle tries again.
        m_device->runWorkerCycle();
        QCOMPARE(dataTypes(*m_data), QList<int>{0});
        QCOMPARE(drainRx(*m_device), QByteArray("waiting"));
    }

    void otherQueueStatusStillReads()
    {
        makeOpenDevice();
        LogCapture log;
        m_backend->feedRx("go on");
        m_backend->setStatus("BridgeCheckRxQueue", SI_READ_ERROR, 1, Effect::Apply);
        m_device->runWorkerCycle();
        QCOMPARE(log.lines(), QStringList{errorLine(kAvailable, "SI Unkown Error 2")});
        QCOMPARE(dataTypes(*m_data), QList<int>{0});
        QCOMPARE(drainRx(*m_device), QByteArray("go on"));
    }

    void tlvModeAnnouncesOnlyDecodedText()
    {
        makeOpenDevice();
        m_device->setTLVMode(true);
        const QByteArray frame = tlvFrame("Uptime 7 s");
        // Half a frame: the decoder gets it, nothing is decoded yet.
        m_backend->feedRx(bytesOf(frame.left(6)));
        m_device->runWorkerCycle();
        QCOMPARE(m_data->count(), 0);
        QCOMPARE(m_device->getRxCount(), quint16(0));
        m_backend->feedRx(bytesOf(frame.mid(6) + tlvFrame("\x1b[32mok\x1b[0m", 0xF2)));
        m_device->runWorkerCycle();
        QCOMPARE(dataTypes(*m_data), QList<int>{2});
        QCOMPARE(drainTlv(*m_device), QByteArray("Uptime 7 s\x1b[32mok\x1b[0m"));
        QCOMPARE(m_device->getRxCount(), quint16(0));
        // Bytes with no frame in them: decoded nothing, announced nothing.
        m_backend->feedRx("plain text");
        m_device->runWorkerCycle();
        QCOMPARE(dataTypes(*m_data), QList<int>{2});
    }

    void tlvFrameWithEscapes()
    {
        makeOpenDevice();
        m_device->setTLVMode(true);
        const QByteArray text("\xaa\x55 ab", 5);
        const QByteArray frame = tlvFrame(text);
        QVERIFY(frame.count(static_cast<char>(0xAA)) == 1);
        m_backend->feedRx(bytesOf(frame));
        m_device->runWorkerCycle();
        QCOMPARE(drainTlv(*m_device), text);
    }

    void plainBytesLeftAtSwitchGoToDecoder()
    {
        makeOpenDevice();
        const QByteArray frame = tlvFrame("hello");
        m_backend->feedRx(bytesOf(frame.left(4)));
        m_device->runWorkerCycle(); // plain: stays in the ring
        QCOMPARE(dataTypes(*m_data), QList<int>{0});
        QCOMPARE(m_device->getRxCount(), quint16(4));
        m_device->setTLVMode(true);
        m_backend->feedRx(bytesOf(frame.mid(4)));
        m_device->runWorkerCycle();
        QCOMPARE(dataTypes(*m_data), (QList<int>{0, 2}));
        QCOMPARE(drainTlv(*m_device), QByteArray("hello"));
        m_device->setTLVMode(false);
        m_backend->feedRx("raw");
        m_device->runWorkerCycle();
        QCOMPARE(dataTypes(*m_data), (QList<int>{0, 2, 0}));
        QCOMPARE(drainRx(*m_device), QByteArray("raw"));
    }

    void readsWhatTheRingCanTake()
    {
        makeOpenDevice();
        const QByteArray flood = randomBytes(10000, 0);
        m_backend->feedRx(bytesOf(flood));
        QByteArray got;
        for (int i = 0; i < 3; ++i) {
            m_device->runWorkerCycle();
            got.append(drainRx(*m_device));
        }
        QCOMPARE(readSizes(), (std::vector<int64_t>{4095, 4095, 10000 - 2 * 4095}));
        QCOMPARE(got, flood);
        QCOMPARE(m_data->count(), 3);

        // A console that took only part: the read asks for the room left.
        m_backend->clearCalls();
        m_backend->feedRx(bytesOf(randomBytes(5000, 0)));
        m_device->runWorkerCycle();
        for (int i = 0; i < 1000; ++i) {
            quint8 byte;
            QCOMPARE(m_device->getRxByte(&byte), quint8(1));
        }
        m_device->runWorkerCycle();
        QCOMPARE(readSizes(), (std::vector<int64_t>{4095, 905}));
        QCOMPARE(m_device->getRxCount(), quint16(4000));
    }

    void receiveOverflowDropsAndReportsOncePerEpisode()
    {
        makeOpenDevice();
        LogCapture log;
        const QByteArray flood = randomBytes(9000, 0);
        m_backend->feedRx(bytesOf(flood));
        for (int i = 0; i < 3; ++i)
            m_device->runWorkerCycle(); // nobody reads the ring meanwhile
        // Once the ring is full, reads go on (never above the 4096-byte
        // buffer) and what they bring is dropped, reported once.
        QCOMPARE(readSizes(), (std::vector<int64_t>{4095, 4096, 9000 - 4095 - 4096}));
        QCOMPARE(m_device->getRxCount(), quint16(4095));
        QCOMPARE(log.linesOf(kRead), QStringList{errorLine(kRead, "Receive ring full, 4096 bytes dropped")});
        // What was kept is the stream's start, unchanged.
        QCOMPARE(drainRx(*m_device), flood.left(4095));

        // Room again: the episode is over; the next overflow is reported anew.
        m_backend->feedRx(bytesOf(randomBytes(100, 0)));
        m_device->runWorkerCycle();
        QCOMPARE(drainRx(*m_device), randomBytes(100, 0));
        m_backend->feedRx(bytesOf(randomBytes(4095 + 10, 0)));
        m_device->runWorkerCycle();
        m_device->runWorkerCycle();
        QCOMPARE(log.linesOf(kRead).size(), 2);
        QCOMPARE(log.linesOf(kRead).last(), errorLine(kRead, "Receive ring full, 10 bytes dropped"));
    }

    void decodedTextOverflowIsReported()
    {
        makeOpenDevice();
        m_device->setTLVMode(true);
        LogCapture log;
        // 50 frames of 100 text bytes: more than the decoded-text ring holds.
        QByteArray text;
        for (int i = 0; i < 50; ++i) {
            const QByteArray piece = randomBytes(100, i);
            text.append(piece);
            m_backend->feedRx(bytesOf(tlvFrame(piece)));
            m_device->runWorkerCycle();
        }
        QCOMPARE(m_device->getTlvCount(), quint16(4095));
        QCOMPARE(log.linesOf("KX_SI_USBXpressDev::run"),
                 QStringList{errorLine("KX_SI_USBXpressDev::run", "Decoded-text ring full, 5 bytes dropped")});
        QCOMPARE(drainTlv(*m_device), text.left(4095));
    }

    void messageRingKeepsWhatFits()
    {
        makeOpenDevice();
        LogCapture log;
        const QByteArray big = randomBytes(5000, 0);
        QCOMPARE(m_device->writeMsgRing(big.constData(), 3000), quint16(3000));
        QCOMPARE(m_device->writeMsgRing(big.constData() + 3000, 2000), quint16(1095));
        QCOMPARE(m_device->writeMsgRing(big.constData() + 3000, 10), quint16(0));
        QCOMPARE(log.lines(),
                 QStringList{errorLine("KX_SI_USBXpressDev::writeMsgRing", "Message ring full, 905 bytes dropped")});
        QCOMPARE(drainMsg(*m_device), big.left(4095));
        QCOMPARE(m_device->writeMsgRing("ok", 2), quint16(2));
        QCOMPARE(drainMsg(*m_device), QByteArray("ok"));
    }

    void ringsWrapAround()
    {
        makeOpenDevice();
        QByteArray all;
        for (int round = 0; round < 7; ++round) {
            const QByteArray chunk = randomBytes(1500, round * 7);
            m_backend->feedRx(bytesOf(chunk));
            m_device->runWorkerCycle();
            QCOMPARE(m_device->getRxCount(), quint16(1500));
            QCOMPARE(drainRx(*m_device), chunk);
        }
    }

    void refreshFirstThenOncePerInterval()
    {
        // The list is refreshed in the first cycle and then once 1001 ms
        // have passed, however many cycles ran meanwhile.
        using Clock = std::chrono::steady_clock;
        m_backend = std::make_shared<ScriptedBridgeBackend>();
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev(KX_SI_USBXpressDev::ManualCycles{}));
        std::vector<std::pair<Clock::time_point, Clock::time_point>> refreshes; // around the cycle
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(2300);
        int cycles = 0;
        while (Clock::now() < end) {
            const size_t before = m_backend->callCount("BridgeGetNumDevices");
            const Clock::time_point start = Clock::now();
            m_device->runWorkerCycle();
            ++cycles;
            if (m_backend->callCount("BridgeGetNumDevices") != before)
                refreshes.emplace_back(start, Clock::now());
            if (cycles == 1)
                QCOMPARE(refreshes.size(), size_t(1));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        QVERIFY(refreshes.size() >= 2);
        QVERIFY(refreshes.size() <= 3);
        for (size_t i = 1; i < refreshes.size(); ++i)
            QVERIFY(refreshes[i].second - refreshes[i - 1].first >= std::chrono::milliseconds(1001));
    }

    void armedSessionGetsTheBytes()
    {
        makeOpenDevice();
        m_device->setTLVMode(true);
        QSignalSpy finish(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish);
        m_backend->feedRx(bytesOf(tlvFrame("not for the console")));
        // A refused request still arms a session, which then fails.
        m_device->SLOT_StartFirmwareUpdate(QStringLiteral("/nonexistent/firmware.hex"));
        m_data->clear();
        m_device->runWorkerCycle();
        QCOMPARE(m_backend->callCount("BridgeRead"), size_t(1));
        QVERIFY(!dataTypes(*m_data).contains(0));
        QVERIFY(!dataTypes(*m_data).contains(2));
        for (int i = 0; i < 5 && finish.isEmpty(); ++i)
            m_device->runWorkerCycle();
        QCOMPARE(finish.count(), 1);
        QCOMPARE(finish.at(0).at(0).value<qint8>(), qint8(-1));
        QCOMPARE(m_device->getTlvCount(), quint16(0));
    }

    void sessionArmedWhileClosedReportsLostDevice()
    {
        m_backend = std::make_shared<ScriptedBridgeBackend>();
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev(KX_SI_USBXpressDev::ManualCycles{}));
        QSignalSpy finish(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish);
        QSignalSpy data(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_newDataAvailable);
        m_device->SLOT_StartFirmwareUpdate(QStringLiteral("/tmp/any.hex"));
        drainMsg(*m_device);
        data.clear();
        m_device->runWorkerCycle();
        QCOMPARE(finish.count(), 1);
        QCOMPARE(finish.at(0).at(0).value<qint8>(), qint8(-1));
        QCOMPARE(dataTypes(data), QList<int>{1});
        const QByteArray expected = QByteArray("\x1b[31mBootloader Fail -> disconnect ") + char(0xB5) +
                                    QByteArray("C during write firmware!!\x1b[0m");
        QVERIFY2(drainMsg(*m_device).contains(expected), "lost-device message missing");
        // Disarmed: later cycles say nothing more and touch no latch.
        for (int i = 0; i < 5; ++i)
            m_device->runWorkerCycle();
        QCOMPARE(finish.count(), 1);
        QCOMPARE(m_backend->callCount("BridgeWriteLatch"), size_t(0));
    }
};

QTEST_GUILESS_MAIN(BridgeDeviceCyclesTest)
#include "tst_bridge_device_cycles.moc"
