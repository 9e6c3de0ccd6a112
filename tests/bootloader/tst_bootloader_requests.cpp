// Start requests that cannot become a write: no device, no file, no path, a
// hex file the conversion refuses, a session in a state it cannot go on
// from, a session aborted from outside. Each ends with exactly one result -1
// and, unless it was already writing, leaves the chip alone.

#include "tests/support/SessionRig.h"

#include <QtTest>

#include <atomic>

#include <sys/stat.h>

namespace {

const QByteArray kIdle = redLine("Bootloader IDEL -> set this->m_BootloaderActive = false");
const QByteArray kStart = msgLine("<br>Bootloader Start!!");

// A device driven cycle by cycle on the test thread, so that a test can put
// the session into a state no fault on the wire leads to.
class SteppedDevice : public KX_SI_USBXpressDev
{
public:
    SteppedDevice() : KX_SI_USBXpressDev(ManualCycles()) {}
    void armInState(int state, const QString& path)
    {
        m_HexFilePath = path;
        m_BlState = state;
        m_BootloaderActive.store(true);
    }
    bool active() const { return m_BootloaderActive.load(); }
    int state() const { return m_BlState; }
};

} // namespace

class TestBootloaderRequests : public BoardSuite
{
    Q_OBJECT

private:
    QString goodHex() { return hexFile("good.hex", randomBytes(700, 21)); }
    // The chip was not touched: nothing was sent to it, and the only latch
    // and line-control calls are those of the final hand-back to user mode.
    void verifyChipUntouched(bool handedBack)
    {
        QVERIFY(m_rig->proxy().writes().empty());
        std::vector<std::pair<int, int>> latches;
        std::vector<int> lines;
        for (const ProxyBackend::Event& e : m_rig->proxy().events()) {
            if (e.kind == ProxyBackend::Event::Latch)
                latches.emplace_back(e.mask, e.value);
            else if (e.kind == ProxyBackend::Event::LineControl)
                lines.push_back(e.line);
        }
        if (handedBack) {
            QCOMPARE(latches, (std::vector<std::pair<int, int>>{{0x01, 0x00}, {0x02, 0x02}, {0x01, 0x01}}));
            QCOMPARE(lines, std::vector<int>{BRIDGE_LINE_8N1});
        } else {
            QVERIFY(latches.empty());
            QVERIFY(lines.empty());
        }
        QCOMPARE(board()->flash(), std::vector<uint8_t>(kSimFlashSize, 0xff));
    }

private slots:
    void init() { QVERIFY(setUpBoard()); }
    void cleanup() { tearDownBoard(); }

    void requestWhileDisconnected()
    {
        QVERIFY(waitUntil([this] { return !m_rig->device().getDeviceList().isEmpty(); }, 5000));
        m_rig->start(goodHex());
        QVERIFY(m_rig->waitForEnd(10000));
        QCOMPARE(m_rig->finishes(), QList<int>{-1});
        QCOMPARE(m_rig->messages(),
                 redLine("Bootloader Fail -> Device not connected!!") + redLine("Bootloader Fail -> disconnect \xb5"
                                                                                "C during write firmware!!"));
        verifyChipUntouched(false);
    }

    void missingFileBeforeAnySession()
    {
        QVERIFY(m_rig->openFirstDevice());
        const QString path = m_dir.filePath("nowhere.hex");
        m_rig->start(path);
        QVERIFY(m_rig->waitForEnd(10000));
        QCOMPARE(m_rig->finishes(), QList<int>{-1});
        // No path was ever accepted: the session ends at once, without the
        // closing message.
        QCOMPARE(m_rig->messages(), redLine("Hex-File not found under-> \"" + path.toLatin1() + "\"") +
                                        redLine("Bootloader Fail -> invalid file path!!"));
        verifyChipUntouched(false);
    }

    void pathsThatAreNoRegularFile()
    {
        // A FIFO held the worker in its open for good (and with it the
        // program's end); every one of these is refused without opening
        // anything in a way that could block.
        QVERIFY(m_rig->openFirstDevice());
        const QString fifo = m_dir.filePath("pipe.hex");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const QStringList paths = {QString(), m_dir.path(), fifo};
        QByteArray expected;
        for (const QString& path : paths) {
            m_rig->start(path);
            QVERIFY2(m_rig->waitForFinishes(int(expected.count("invalid file path")) + 1, 10000), qPrintable(path));
            expected += redLine("Hex-File not found under-> \"" + path.toLatin1() + "\"") +
                        redLine("Bootloader Fail -> invalid file path!!");
        }
        pump(300);
        QCOMPARE(m_rig->finishes(), (QList<int>{-1, -1, -1}));
        QCOMPARE(m_rig->messages(), expected);
        verifyChipUntouched(false);
    }

    void missingFileAfterASession()
    {
        QVERIFY(m_rig->openFirstDevice());
        m_rig->start(goodHex());
        QVERIFY(m_rig->waitForEnd(30000));
        QCOMPARE(m_rig->finishes(), QList<int>{1});
        m_rig->proxy().clearEvents();
        const QByteArray before = m_rig->messages();

        const QString path = m_dir.filePath("gone.hex");
        m_rig->start(path);
        QVERIFY(m_rig->waitForFinishes(2, 10000));
        pump(400);
        QCOMPARE(m_rig->finishes(), (QList<int>{1, -1}));
        QCOMPARE(m_rig->messages().mid(before.size()),
                 redLine("Hex-File not found under-> \"" + path.toLatin1() + "\"") + kIdle);
        // The refused request did not write anything; it only handed the
        // board back to its firmware.
        QVERIFY(m_rig->proxy().writes().empty());
    }

    void refusalWhileTheEndingSessionResetsTheBoard()
    {
        // A request refused after the session has sent its finish, while it
        // still hands the board back, must get a finish of its own: nobody
        // would answer it otherwise (a monitor would wait for ever).
        QVERIFY(m_rig->openFirstDevice());
        const QString path = m_dir.filePath("gone.hex");
        bool once = true;
        QObject::connect(
            &m_rig->device(), &KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, &m_rig->device(),
            [this, path, &once](qint8) {
                if (once) {
                    once = false;
                    m_rig->start(path);
                }
            },
            Qt::DirectConnection);
        m_rig->start(goodHex());
        QVERIFY(m_rig->waitForFinishes(2, 30000));
        pump(400);
        QCOMPARE(m_rig->finishes(), (QList<int>{1, -1}));
        QVERIFY(m_rig->messages().endsWith(redLine("Hex-File not found under-> \"" + path.toLatin1() + "\"") + kIdle));
    }

    void abortEndsTheSessionOnce()
    {
        // Stopped mid-write, the session ends as a failure does: one result,
        // the board reset into its firmware, the link free to close. An abort
        // once the finish has gone out changes nothing.
        QVERIFY(m_rig->openFirstDevice());
        // Aborted from the worker itself at the second acknowledged block's
        // star (after the start line, the write line and the first star):
        // the test thread may be too slow to catch a fast board mid-write.
        std::atomic<int> messages{0};
        QObject::connect(
            &m_rig->device(), &KX_SI_USBXpressDev::SIGNAL_newDataAvailable, &m_rig->device(),
            [this, &messages](quint8 type) {
                if (type == 1 && ++messages == 5)
                    m_rig->device().abortFirmwareUpdate();
            },
            Qt::DirectConnection);
        m_rig->start(hexFile("big.hex", randomBytes(6000, 4)));
        QVERIFY(m_rig->waitForEnd(30000));
        QCOMPARE(m_rig->finishes(), QList<int>{-1});
        QVERIFY(m_rig->messages().endsWith("\n***" + redLine("Bootloader Fail -> aborted") + kIdle));
        QVERIFY(!m_rig->device().firmwareUpdateActive());
        QCOMPARE(board()->latch() & 0x03, 0x03);
        QVERIFY(board()->mode() != SimBoardMode::Bootloader && board()->mode() != SimBoardMode::Reset);

        QObject::connect(
            &m_rig->device(), &KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, &m_rig->device(),
            [this](qint8) { m_rig->device().abortFirmwareUpdate(); }, Qt::DirectConnection);
        m_rig->start(goodHex());
        QVERIFY(m_rig->waitForFinishes(2, 30000));
        pump(400);
        QCOMPARE(m_rig->finishes(), (QList<int>{-1, 1}));
        QVERIFY(!m_rig->device().firmwareUpdateActive());
    }

    void conversionFailure_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<int>("code");
        const QByteArray data = ":020000040800F2\r\n:0400000001020304F2\r\n:0400100001020304E2\r\n";
        QTest::newRow("fewer than three lines") << QByteArray(":00000001FF\r\n") << -3;
        QTest::newRow("start code missing") << data + "0400200001020304D2\r\n:00000001FF\r\n" << -5;
        QTest::newRow("wrong checksum") << data + ":0400200001020304D3\r\n:00000001FF\r\n" << -6;
        QTest::newRow("data outside flash")
            << QByteArray(":020000042000DA\r\n:0400000001020304F2\r\n:00000001FF\r\n") << -7;
        QTest::newRow("no data at all") << QByteArray(":020000040800F2\r\n:020000040800F2\r\n:00000001FF\r\n") << -8;
    }
    void conversionFailure()
    {
        QFETCH(QByteArray, hex);
        QFETCH(int, code);
        QVERIFY(m_rig->openFirstDevice());
        const QString path = m_dir.filePath("bad.hex");
        QVERIFY(writeFile(path, hex));
        m_rig->start(path);
        QVERIFY(m_rig->waitForEnd(10000));
        QCOMPARE(m_rig->finishes(), QList<int>{-1});
        QCOMPARE(m_rig->messages(),
                 kStart + redLine("Bootloader Fail -> ErrorCode " + QByteArray::number(code)) + kIdle);
        verifyChipUntouched(true);
    }

    void messageFunctionsWriteConsoleBytes()
    {
        m_rig.reset();
        SteppedDevice device;
        QSignalSpy announced(&device, &KX_SI_USBXpressDev::SIGNAL_newDataAvailable);
        // Latin-1 letters stay one byte each; anything else becomes one 0.
        device.putMsgLine(QString::fromUtf8("Gr\u00fc\u00dfe \u2211 \U0001F600!"));
        device.putMsgText(QStringLiteral("x"), true);
        device.putMsgText(QStringLiteral("\n*"), false);
        device.putMsgLine(QString());
        QCOMPARE(announced.count(), 4);
        for (const QList<QVariant>& arguments : announced)
            QCOMPARE(arguments.at(0).value<quint8>(), quint8(1));

        QByteArray expected("<br><b>Gr\xfc\xdf"
                            "e ");
        expected.append('\0');
        expected.append(' ');
        expected.append('\0');
        expected.append("!</b>\n<br>x\n*<br><b></b>\n");
        QByteArray bytes;
        quint8 byte = 0;
        while (device.getMsgByte(&byte) == 1)
            bytes.append(static_cast<char>(byte));
        QCOMPARE(bytes, expected);
    }

    void stateWithoutImageOrUnknown_data()
    {
        QTest::addColumn<int>("state");
        QTest::newRow("write phase without an image") << int(KX_SI_USBXpressDev::SM_FW_WriteFileStart);
        QTest::newRow("unknown state") << 42;
    }
    void stateWithoutImageOrUnknown()
    {
        QFETCH(int, state);
        // No worker thread here: the test runs the cycles itself.
        m_rig.reset();
        bridgeInstallBackend(m_sim);
        {
            SteppedDevice device;
            QList<int> finishes;
            QByteArray messages;
            QObject::connect(&device, &KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish,
                             [&finishes](qint8 r) { finishes.append(r); });
            device.runWorkerCycle(); // lists the board
            QCOMPARE(device.openDevice(0), 1);
            device.armInState(state, m_dir.filePath("any.hex"));
            device.runWorkerCycle();
            QVERIFY(device.active());
            QCOMPARE(device.state(), int(KX_SI_USBXpressDev::SM_FW_Idle));
            QVERIFY(finishes.isEmpty());
            device.runWorkerCycle();
            QVERIFY(!device.active());
            QCOMPARE(finishes, QList<int>{-1});
            device.runWorkerCycle();
            QCOMPARE(finishes, QList<int>{-1});
            quint8 byte = 0;
            while (device.getMsgByte(&byte) == 1)
                messages.append(static_cast<char>(byte));
            QCOMPARE(messages, redLine("Bootloader Fail -> invalid State " + QByteArray::number(state)) + kIdle);
            QCOMPARE(board()->latch() & 0x03, 0x03);
        }
        bridgeInstallBackend(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestBootloaderRequests)
#include "tst_bootloader_requests.moc"
