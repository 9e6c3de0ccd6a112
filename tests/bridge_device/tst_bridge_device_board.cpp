// The bridge device with its real worker thread against the virtual board
// (fast timing, a clock the test moves): board text through the decoder, raw
// bytes in plain mode, mode switches, unplugging, shifted device numbers and
// a flood bigger than a ring.

#include "sim/SimBridgeBackend.h"

#include "tests/support/DeviceTestSupport.h"

#include "quadrel_texts.h"
#include "tests/support/TlvFeeder.h"

#include <QRegularExpression>
#include <QtTest>

#include <memory>

namespace {

const char kRead[] = "KX_SI_USBXpressDev::ReadData";
const char kRun[] = "KX_SI_USBXpressDev::run";
const char kFill[] = "KX_SI_USBXpressDev::fillListOfDevice";

// Flash contents the board's model boots: a stack pointer in RAM and a reset
// vector in flash, then filler.
std::vector<uint8_t> bootableImage()
{
    std::vector<uint8_t> image(256, 0xFF);
    const uint32_t sp = 0x20002000, reset = 0x08000101;
    for (int i = 0; i < 4; ++i) {
        image[size_t(i)] = uint8_t(sp >> (8 * i));
        image[size_t(4 + i)] = uint8_t(reset >> (8 * i));
    }
    return image;
}

// Decodes raw wire bytes with a decoder of its own.
QByteArray decodeAll(const QByteArray& raw)
{
    return TlvFeeder().feed(raw);
}

// Lines of the flood and status output; checks that each whole line is one
// the board sends and that the flood numbers rise. Returns the number of
// lines that are not whole board lines.
int badLines(const QByteArray& text, int* floodLines)
{
    static const QRegularExpression flood(QStringLiteral("^Flood (\\d{10})$"));
    static const QRegularExpression other(QStringLiteral("^(Uptime \\d+ s|\\x1b\\[32m.* ready\\x1b\\[0m)$"));
    int bad = 0;
    qint64 last = -1;
    *floodLines = 0;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (i == lines.size() - 1 && line.isEmpty())
            break;
        if (!line.endsWith('\r')) {
            ++bad;
            continue;
        }
        line.chop(1);
        const QString s = QString::fromLatin1(line);
        const QRegularExpressionMatch m = flood.match(s);
        if (m.hasMatch()) {
            const qint64 n = m.captured(1).toLongLong();
            if (n <= last)
                ++bad;
            last = n;
            ++*floodLines;
        } else if (!other.match(s).hasMatch()) {
            ++bad;
        }
    }
    return bad;
}

} // namespace

class BridgeDeviceBoardTest : public QObject
{
    Q_OBJECT

private:
    std::shared_ptr<ManualSimClock> m_clock;
    std::shared_ptr<SimBridgeBackend> m_backend;
    std::unique_ptr<KX_SI_USBXpressDev> m_device;
    std::unique_ptr<SignalLog> m_signals;

    void start(int boards, SimOutput output)
    {
        SimOptions options;
        options.boards = boards;
        options.timing = SimTiming::Fast;
        options.output = output;
        m_clock = std::make_shared<ManualSimClock>();
        options.clock = m_clock;
        m_backend = std::make_shared<SimBridgeBackend>(options);
        for (int i = 0; i < boards; ++i)
            m_backend->board(size_t(i))->setFlash(0, bootableImage());
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev());
        m_signals.reset(new SignalLog(m_device.get()));
        QTRY_VERIFY_WITH_TIMEOUT(m_signals->countOf("list") >= 1, 5000);
        QCOMPARE(m_device->getDeviceList().size(), boards);
    }

    // Opens row `row` and restarts the board so that its firmware greets.
    void openAndRestart(quint16 row, size_t board)
    {
        QCOMPARE(m_device->openDevice(row), 1);
        m_device->resetBoard();
        QTRY_COMPARE_WITH_TIMEOUT(m_backend->board(board)->mode(), SimBoardMode::Firmware, 2000);
    }

    void waitForList(int count)
    {
        QTRY_VERIFY_WITH_TIMEOUT(m_signals->countOf("list") >= count, 5000);
        QCOMPARE(m_signals->countOf("list"), count);
    }

private slots:
    void cleanup()
    {
        m_device.reset();
        m_signals.reset();
        bridgeInstallBackend(nullptr);
        m_backend.reset();
        m_clock.reset();
    }

    void boardTextArrivesDecoded()
    {
        start(1, SimOutput::Tlv);
        QCOMPARE(m_device->getDeviceList(), QStringList{"Tivako Virtual Board [0xVB0001]"});
        m_device->setTLVMode(true);
        openAndRestart(0, 0);
        SimBoard& board = *m_backend->board(0);
        QCOMPARE(board.baudRate(), 115200u);
        QCOMPARE(board.lineControl(), uint16_t(0x0800));
        QTRY_COMPARE_WITH_TIMEOUT(m_signals->tlv, QByteArray(QUADREL_TEXT_GREETING), 2000);

        m_clock->advanceMs(1000);
        QTRY_VERIFY_WITH_TIMEOUT(m_signals->tlv.endsWith("Uptime 1 s\r\n"), 2000);
        QCOMPARE(m_device->sendData(QUADREL_COMMAND_SET_IDENTITY, QUADREL_COMMAND_SET_IDENTITY_LENGTH), quint16(1));
        QTRY_VERIFY_WITH_TIMEOUT(m_signals->tlv.endsWith(QUADREL_TEXT_IDENTITY_SET), 2000);
        m_clock->advanceMs(1000);
        QTRY_VERIFY_WITH_TIMEOUT(m_signals->tlv.endsWith("Uptime 2 s, HardwareID Quadrel\r\n"), 2000);
        QVERIFY(!m_signals->events.contains("data0"));
        QVERIFY(m_signals->rx.isEmpty());
    }

    void plainModeDeliversRawBytes()
    {
        start(1, SimOutput::Tlv);
        openAndRestart(0, 0);
        // The frames themselves, as they came off the wire.
        QTRY_COMPARE_WITH_TIMEOUT(decodeAll(m_signals->rx), QByteArray(QUADREL_TEXT_GREETING), 2000);
        QCOMPARE(quint8(m_signals->rx.at(0)), quint8(0xAA));
        QVERIFY(!m_signals->events.contains("data2"));

        // A board that sends plain text: exactly that text.
        m_backend->board(0)->setOutput(SimOutput::Ascii);
        m_signals->rx.clear();
        m_device->resetBoard();
        m_clock->advanceMs(1000);
        QTRY_COMPARE_WITH_TIMEOUT(m_signals->rx, QByteArray(QUADREL_TEXT_GREETING "Uptime 1 s\r\n"), 2000);
    }

    void switchingModesMidStream()
    {
        start(1, SimOutput::Tlv);
        openAndRestart(0, 0);
        m_backend->board(0)->flood(40000);
        for (int step = 0; step < 300; ++step) {
            if (step % 30 == 0)
                m_device->setTLVMode((step / 30) % 2 == 1);
            m_clock->advanceMs(5);
            QTest::qWait(2);
        }
        m_backend->board(0)->flood(0);
        QTest::qWait(100);
        QVERIFY(m_signals->countOf("data0") > 0);
        QVERIFY(m_signals->countOf("data2") > 0);
        // What the decoder delivered is whole lines only, even where a frame
        // was split by a switch.
        int floodLines = 0;
        QCOMPARE(badLines(m_signals->tlv, &floodLines), 0);
        QVERIFY(floodLines > 100);
        QVERIFY(decodeAll(m_signals->rx).contains("Flood "));
    }

    void unplugClosesThenAnnounces()
    {
        start(1, SimOutput::Tlv);
        openAndRestart(0, 0);
        LogCapture log;
        QVERIFY(m_backend->unplug(0));
        QTRY_VERIFY_WITH_TIMEOUT(m_signals->countOf("list") == 2, 5000);
        QCOMPARE(m_signals->events.mid(m_signals->events.indexOf("closed")), (QStringList{"closed", "list"}));
        QVERIFY(!m_device->isConnected());
        QVERIFY(m_device->getDeviceList().isEmpty());
        QCOMPARE(log.linesOf(kFill), QStringList{statusLine(kFill, "Remove Device Index 0")});

        // Plugged in again: listed again and can be opened again.
        QVERIFY(m_backend->plug(0));
        waitForList(3);
        QCOMPARE(m_device->getDeviceList(), QStringList{"Tivako Virtual Board [0xVB0001]"});
        QCOMPARE(m_device->openDevice(0), 1);
    }

    void boardWithShiftedNumberIsStillKnown()
    {
        start(2, SimOutput::Tlv);
        m_device->setTLVMode(true);
        openAndRestart(1, 1); // VB0002, device number 1
        QTRY_VERIFY_WITH_TIMEOUT(m_signals->tlv.contains("ready"), 2000);

        QVERIFY(m_backend->unplug(0)); // VB0002 becomes number 0
        waitForList(2);
        QVERIFY(m_device->isConnected());
        QCOMPARE(m_device->getDeviceList(), QStringList{"Tivako Virtual Board [0xVB0002]"});
        const size_t third = m_backend->addBoard(); // VB0003 takes number 1
        m_backend->board(third)->setFlash(0, bootableImage());
        waitForList(3);
        QVERIFY(m_backend->unplug(third));
        waitForList(4);
        QVERIFY(m_device->isConnected());
        QCOMPARE(m_signals->countOf("closed"), 0);
        // The link still carries the board's text.
        m_clock->advanceMs(1000);
        QTRY_VERIFY_WITH_TIMEOUT(m_signals->tlv.endsWith("Uptime 1 s\r\n"), 2000);

        QVERIFY(m_backend->unplug(1));
        waitForList(5);
        QCOMPARE(m_signals->countOf("closed"), 1);
        QVERIFY(!m_device->isConnected());
        QVERIFY(!m_backend->board(1)->isOpen());
    }

    void floodBiggerThanARingIsReportedNotGarbled_data()
    {
        QTest::addColumn<bool>("tlv");
        QTest::newRow("plain") << false;
        QTest::newRow("tlv") << true;
    }

    void floodBiggerThanARingIsReportedNotGarbled()
    {
        QFETCH(bool, tlv);
        start(1, tlv ? SimOutput::Tlv : SimOutput::Ascii);
        m_device->setTLVMode(tlv);
        openAndRestart(0, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!(tlv ? m_signals->tlv : m_signals->rx).isEmpty(), 2000);
        LogCapture log;
        m_backend->board(0)->flood(200000);
        // 20 KB arrive while the console does not read.
        m_clock->advanceMs(100);
        QThread::msleep(300);
        m_backend->board(0)->flood(0);
        QTest::qWait(200);

        const char* label = tlv ? kRun : kRead;
        const QString ring = tlv ? QStringLiteral("Decoded-text") : QStringLiteral("Receive");
        const QStringList reports = log.linesOf(label);
        QVERIFY2(!reports.isEmpty(), "overflow not reported");
        for (const QString& line : reports)
            QVERIFY(line.contains(ring + QStringLiteral(" ring full, ")));
        int floodLines = 0;
        const QByteArray text = tlv ? m_signals->tlv : m_signals->rx;
        // A loss can cut at most one line per overflow episode.
        QVERIFY(badLines(text, &floodLines) <= reports.size());
        QVERIFY(floodLines >= 200);
        QVERIFY(floodLines < 1000); // much was lost, as reported

        // The link goes on normally afterwards.
        m_clock->advanceMs(1000);
        QTRY_VERIFY_WITH_TIMEOUT((tlv ? m_signals->tlv : m_signals->rx).endsWith(" s\r\n"), 2000);
    }
};

QTEST_GUILESS_MAIN(BridgeDeviceBoardTest)
#include "tst_bridge_device_board.moc"
