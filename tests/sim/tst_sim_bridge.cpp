// The simulated bridge's contract (devices, handles, statuses, lines, latch,
// plugging), the firmware model as the loader sees it, and the environment
// that configures the backend.

#include "tests/support/SimTestSupport.h"

#include <cstdlib>

namespace {

std::string productString(BridgeBackend& backend, uint32_t device, uint8_t selector, BRIDGE_STATUS* status = nullptr)
{
    char buffer[BRIDGE_MAX_PRODUCT_STRING] = {};
    BRIDGE_STATUS s = backend.getProductString(device, buffer, selector);
    if (status)
        *status = s;
    return s == SI_SUCCESS ? buffer : "";
}

uint32_t deviceCount(BridgeBackend& backend)
{
    uint32_t n = 0;
    if (backend.getNumDevices(&n) != SI_SUCCESS)
        return 9999;
    return n;
}

std::string statusLine(uint32_t seconds, bool identity)
{
    char line[QUADREL_STATUS_MAX];
    size_t n = quadrel_format_status(line, sizeof line, seconds, identity ? 1 : 0);
    return std::string(line, n);
}

// Every operation that takes a handle, except close, answers status.
void expectEveryHandleOperation(BridgeBackend& backend, BRIDGE_HANDLE handle, BRIDGE_STATUS status)
{
    uint32_t n = 0, s = 0;
    uint8_t byte = 0x7F;
    QCOMPARE(backend.setBaudRate(handle, 115200), status);
    QCOMPARE(backend.setLineControl(handle, BRIDGE_LINE_8E1), status);
    QCOMPARE(backend.writeLatch(handle, 1, 1), status);
    QCOMPARE(backend.checkRxQueue(handle, &n, &s), status);
    QCOMPARE(backend.read(handle, &byte, 1, &n), status);
    QCOMPARE(backend.write(handle, &byte, 1, &n), status);
    QCOMPARE(backend.flushBuffers(handle, 1, 1), status);
}

} // namespace

class TestSimBridge : public QObject
{
    Q_OBJECT

    std::shared_ptr<ManualSimClock> m_clock;

    SimOptions manualOptions(int boards = 1)
    {
        SimOptions options = fastOptions(boards);
        m_clock = std::make_shared<ManualSimClock>();
        options.clock = m_clock;
        return options;
    }

private slots:
    // ---- devices ----

    void enumeratesTheBoards()
    {
        SimBridgeBackend backend(fastOptions(3));
        QCOMPARE(QString(backend.name()), QString("sim"));
        QCOMPARE(deviceCount(backend), 3u);
        for (uint32_t i = 0; i < 3; ++i) {
            QCOMPARE(productString(backend, i, SI_RETURN_DESCRIPTION), std::string("Tivako Virtual Board"));
            QCOMPARE(productString(backend, i, SI_RETURN_SERIAL_NUMBER), simSerialForNumber(int(i) + 1));
        }
        QCOMPARE(productString(backend, 0, SI_RETURN_SERIAL_NUMBER), std::string("VB0001"));
        QCOMPARE(backend.boardBySerial("VB0003"), backend.board(2));
        QVERIFY(!backend.boardBySerial("VB0004"));

        BRIDGE_STATUS status = SI_SUCCESS;
        productString(backend, 3, SI_RETURN_DESCRIPTION, &status);
        QCOMPARE(status, BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        productString(backend, 0, 2, &status);
        QCOMPARE(status, BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(backend.getProductString(0, nullptr, SI_RETURN_DESCRIPTION), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(backend.getNumDevices(nullptr), BRIDGE_STATUS(SI_INVALID_PARAMETER));

        QCOMPARE(backend.addBoard(), size_t(3));
        QCOMPARE(deviceCount(backend), 4u);
        QCOMPARE(productString(backend, 3, SI_RETURN_SERIAL_NUMBER), std::string("VB0004"));
        SimBridgeBackend none(fastOptions(0));
        QCOMPARE(deviceCount(none), 0u);
    }

    void handlesAndTheirStatuses()
    {
        SimBridgeBackend backend(fastOptions(2));
        BRIDGE_HANDLE a = nullptr, b = nullptr, c = nullptr;
        QCOMPARE(backend.open(0, &a), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(a);
        QCOMPARE(backend.open(0, &c), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND)); // one host at a time
        QCOMPARE(backend.open(2, &c), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(backend.open(1, nullptr), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(backend.open(1, &b), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(a != b);
        QVERIFY(backend.board(0)->isOpen());
        QVERIFY(backend.board(1)->isOpen());

        QCOMPARE(backend.setBaudRate(a, 115200), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.board(0)->baudRate(), 115200u);
        QCOMPARE(backend.board(1)->baudRate(), uint32_t(kSimBridgeDefaultBaud));

        QCOMPARE(backend.close(a), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.close(a), BRIDGE_STATUS(SI_INVALID_HANDLE));
        expectEveryHandleOperation(backend, a, SI_INVALID_HANDLE);
        QCOMPARE(backend.close(nullptr), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(backend.close(reinterpret_cast<BRIDGE_HANDLE>(uintptr_t(0x1234))), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QVERIFY(!backend.board(0)->isOpen());

        // A new handle after a close; the old one stays dead.
        QCOMPARE(backend.open(0, &c), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(c != a);
        QCOMPARE(backend.setBaudRate(a, 115200), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(backend.close(c), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.close(b), BRIDGE_STATUS(SI_SUCCESS));
    }

    void lineSettingsAndTheirLimits()
    {
        SimBridgeBackend backend(fastOptions());
        SimHost host(backend);
        QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
        for (uint32_t bad : {0u, 299u, 3000001u})
            QCOMPARE(backend.setBaudRate(host.handle(), bad), BRIDGE_STATUS(SI_INVALID_BAUDRATE));
        for (uint32_t good : {300u, 115200u, 3000000u})
            QCOMPARE(backend.setBaudRate(host.handle(), good), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.board(0)->baudRate(), 3000000u);
        for (uint16_t bad : {uint16_t(0x0400), uint16_t(0x0900), uint16_t(0x0850), uint16_t(0x0803)})
            QCOMPARE(backend.setLineControl(host.handle(), bad), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        for (uint16_t good : {uint16_t(0x0500), uint16_t(0x0820), uint16_t(0x0841), uint16_t(0x0802)})
            QCOMPARE(backend.setLineControl(host.handle(), good), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.board(0)->lineControl(), uint16_t(0x0802));
        QCOMPARE(simByteTimeNs(115200, BRIDGE_LINE_8E1), int64_t(95486)); // 11 bits
        QCOMPARE(simByteTimeNs(115200, BRIDGE_LINE_8N1), int64_t(86806)); // 10 bits
        QCOMPARE(simFrameHalfBits(0x0501), 2 * 7 + 1);                    // 5 data bits, 1.5 stop bits
    }

    void theLatchKeepsUnmaskedBits()
    {
        SimBridgeBackend backend(fastOptions());
        SimHost host(backend);
        QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
        SimBoard& board = *backend.board(0);
        QCOMPARE(int(board.latch()), 0xFF);
        QVERIFY(host.latch(0x01, 0x00));
        QCOMPARE(int(board.latch()), 0xFE);
        QVERIFY(host.latch(0x02, 0xFF));
        QCOMPARE(int(board.latch()), 0xFE);
        QVERIFY(host.latch(0xF2, 0x00));
        QCOMPARE(int(board.latch()), 0x0C);
        QVERIFY(host.latch(0x00, 0x00));
        QCOMPARE(int(board.latch()), 0x0C);
    }

    void readWriteAndFlush()
    {
        SimBridgeBackend backend(manualOptions());
        backend.board(0)->setFlash(0, bootableImage());
        SimHost host(backend);
        QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host.enterFirmware());

        uint32_t n = 0, status = 99;
        QVERIFY(backend.checkRxQueue(host.handle(), &n, &status) == SI_SUCCESS);
        QVERIFY(n > 10);
        QCOMPARE(status, 2u);
        Bytes part(3);
        uint32_t got = 0;
        QCOMPARE(backend.read(host.handle(), part.data(), 3, &got), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(got, 3u);
        QCOMPARE(int(part[0]), 0xAA);
        QCOMPARE(host.waiting(), n - 3);
        QCOMPARE(backend.read(host.handle(), part.data(), kSimMaxRead + 1, &got),
                 BRIDGE_STATUS(SI_INVALID_REQUEST_LENGTH));
        QCOMPARE(backend.read(host.handle(), nullptr, 0, &got), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(got, 0u);

        // Flushing the receive side drops what waits.
        QCOMPARE(backend.flushBuffers(host.handle(), 0, 1), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(backend.checkRxQueue(host.handle(), &n, &status) == SI_SUCCESS);
        QCOMPARE(n, 0u);
        QCOMPARE(status, 0u);

        Bytes big(kSimMaxWrite + 1, 'x');
        QCOMPARE(backend.write(host.handle(), big.data(), uint32_t(big.size()), &got),
                 BRIDGE_STATUS(SI_INVALID_REQUEST_LENGTH));
        QCOMPARE(backend.write(host.handle(), nullptr, 0, &got), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.write(host.handle(), big.data(), kSimMaxWrite, &got), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(got, uint32_t(kSimMaxWrite));
    }

    // ---- plugging ----

    void unpluggingTheOpenBoard()
    {
        SimBridgeBackend backend(fastOptions(2));
        SimHost host(backend);
        QCOMPARE(host.open(0), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host.enterBootloader());
        BRIDGE_HANDLE old = host.handle();

        QVERIFY(backend.unplug(0));
        QCOMPARE(backend.board(0)->mode(), SimBoardMode::Unplugged);
        QCOMPARE(deviceCount(backend), 1u);
        // The remaining board moved up to number 0.
        QCOMPARE(productString(backend, 0, SI_RETURN_SERIAL_NUMBER), std::string("VB0002"));
        // Operations on the vanished board's handle fail as USB reports it.
        expectEveryHandleOperation(backend, old, SI_DEVICE_NOT_FOUND);

        // Plugged in again: first in the list again, powered up afresh, and
        // the old handle stays dead until it is closed.
        QVERIFY(backend.plug(0));
        QCOMPARE(deviceCount(backend), 2u);
        QCOMPARE(productString(backend, 0, SI_RETURN_SERIAL_NUMBER), std::string("VB0001"));
        QCOMPARE(productString(backend, 1, SI_RETURN_SERIAL_NUMBER), std::string("VB0002"));
        QCOMPARE(backend.setBaudRate(old, 115200), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(int(backend.board(0)->latch()), 0xFF);
        QCOMPARE(backend.board(0)->baudRate(), uint32_t(kSimBridgeDefaultBaud));
        QCOMPARE(backend.board(0)->mode(), SimBoardMode::Halted); // erased flash, BOOT0 at rest
        QCOMPARE(backend.close(old), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(backend.close(old), BRIDGE_STATUS(SI_INVALID_HANDLE));
        host.forget();

        QCOMPARE(host.open(0), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host.enterBootloader());
        QVERIFY(host.sync());
        QVERIFY(!backend.unplug(5));
        QVERIFY(!backend.plug(5));
    }

    // ---- the firmware ----

    void firmwareGreetsAndReportsEverySecond()
    {
        SimBridgeBackend backend(manualOptions());
        backend.board(0)->setFlash(0, bootableImage());
        SimHost host(backend);
        QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host.enterFirmware());
        FrameReader reader;
        QCOMPARE(reader.feed(host.take()), std::string(QUADREL_TEXT_GREETING));
        m_clock->advanceMs(999);
        QCOMPARE(reader.feed(host.take()), std::string());
        m_clock->advanceMs(1);
        QCOMPARE(reader.feed(host.take()), statusLine(1, false));
        m_clock->advanceMs(3000);
        QCOMPARE(reader.feed(host.take()), statusLine(2, false) + statusLine(3, false) + statusLine(4, false));
        QCOMPARE(backend.board(0)->firmwareUptime(), 4u);
        // Status lines are framed by the shared encoder, byte for byte.
        m_clock->advanceMs(1000);
        const std::string line = statusLine(5, false);
        Bytes frame(QUADREL_TLV_FRAME_MAX(line.size()));
        frame.resize(quadrel_tlv_encode(line.data(), line.size(), frame.data(), frame.size()));
        COMPARE_BYTES(host.take(), frame);
    }

    void identityCommandAndItsLife()
    {
        SimBridgeBackend backend(manualOptions());
        SimBoard& board = *backend.board(0);
        board.setFlash(0, bootableImage());
        SimHost host(backend);
        QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host.enterFirmware());
        FrameReader reader;
        reader.feed(host.take());

        host.sendText("set");
        QCOMPARE(reader.feed(host.take()), std::string());
        host.sendText("HWqd\r");
        QCOMPARE(reader.feed(host.take()), std::string(QUADREL_TEXT_IDENTITY_SET));
        QVERIFY(board.identityStored());
        m_clock->advanceMs(1000);
        QCOMPARE(reader.feed(host.take()), statusLine(1, true));
        host.sendText("bogus\r");
        QCOMPARE(reader.feed(host.take()), std::string(QUADREL_TEXT_UNKNOWN_COMMAND));

        // The backup registers keep it across a reset, not across power loss.
        QVERIFY(host.enterFirmware());
        m_clock->advanceMs(1000);
        QCOMPARE(reader.feed(host.take()), std::string(QUADREL_TEXT_GREETING) + statusLine(1, true));
        host.close();
        backend.unplug(0);
        backend.plug(0);
        QVERIFY(!board.identityStored());
        QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host.enterFirmware());
        m_clock->advanceMs(1000);
        QCOMPARE(reader.feed(host.take()), std::string(QUADREL_TEXT_GREETING) + statusLine(1, false));
    }

    void asciiOutputSendsTheSameTextUnframed()
    {
        SimOptions options = manualOptions();
        options.output = SimOutput::Ascii;
        SimBridgeBackend backend(options);
        backend.board(0)->setFlash(0, bootableImage());
        SimHost host(backend);
        QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host.enterFirmware());
        const Bytes greeting = host.take();
        QCOMPARE(std::string(greeting.begin(), greeting.end()), std::string(QUADREL_TEXT_GREETING));
        m_clock->advanceMs(1000);
        const Bytes status = host.take();
        QCOMPARE(std::string(status.begin(), status.end()), statusLine(1, false));
        backend.board(0)->setOutput(SimOutput::Tlv);
        m_clock->advanceMs(1000);
        FrameReader reader;
        QCOMPARE(reader.feed(host.take()), statusLine(2, false));
    }

    void theFirmwareLineIs8N1At115200()
    {
        SimBridgeBackend backend(manualOptions());
        SimBoard& board = *backend.board(0);
        board.setFlash(0, bootableImage());
        SimHost host(backend);
        QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host.enterBootloader());
        // Left at 8E1 after programming: the firmware's bytes do not come through.
        QVERIFY(host.boot(false, BRIDGE_LINE_8E1));
        QCOMPARE(board.mode(), SimBoardMode::Firmware);
        QCOMPARE(host.take(), Bytes{});
        host.sendText("setHWqd\r");
        QVERIFY(!board.identityStored());
        QCOMPARE(board.counters().lineErrorsAtChip, uint64_t(8));
        QVERIFY(board.counters().lineErrorsAtHost > 10);
        // A baud rate too far off fails the same way; a near one works.
        QVERIFY(host.line(57600, BRIDGE_LINE_8N1));
        m_clock->advanceMs(1000);
        QCOMPARE(host.take(), Bytes{});
        QVERIFY(host.line(115942, BRIDGE_LINE_8N1));
        m_clock->advanceMs(1000);
        FrameReader reader;
        QCOMPARE(reader.feed(host.take()), statusLine(2, false));
    }

    void outputBeforeOpeningIsLost()
    {
        SimBridgeBackend backend(manualOptions());
        backend.board(0)->setFlash(0, bootableImage());
        backend.unplug(0);
        backend.plug(0); // powers up into the firmware: latch at rest
        QCOMPARE(backend.board(0)->mode(), SimBoardMode::Firmware);
        m_clock->advanceMs(2500);
        SimHost host(backend);
        QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host.line(115200, BRIDGE_LINE_8N1));
        QCOMPARE(host.take(), Bytes{});
        m_clock->advanceMs(500);
        FrameReader reader;
        QCOMPARE(reader.feed(host.take()), statusLine(3, false));
    }

    // ---- environment ----

    void environmentConfiguresTheBackend_data()
    {
        QTest::addColumn<QByteArray>("boards");
        QTest::addColumn<QByteArray>("timing");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("error"); // empty: accepted
        QTest::newRow("defaults") << QByteArray() << QByteArray() << QByteArray() << "";
        QTest::newRow("all set") << QByteArray("3") << QByteArray("realtime") << QByteArray("ascii") << "";
        QTest::newRow("fast and tlv by name") << QByteArray("0") << QByteArray("fast") << QByteArray("tlv") << "";
        QTest::newRow("boards not a number")
            << QByteArray("two") << QByteArray() << QByteArray() << "TIVAKO_SIM_BOARDS";
        QTest::newRow("boards negative") << QByteArray("-1") << QByteArray() << QByteArray() << "TIVAKO_SIM_BOARDS";
        QTest::newRow("too many boards") << QByteArray("65") << QByteArray() << QByteArray() << "TIVAKO_SIM_BOARDS";
        QTest::newRow("boards with junk") << QByteArray("2x") << QByteArray() << QByteArray() << "TIVAKO_SIM_BOARDS";
        QTest::newRow("timing unknown") << QByteArray() << QByteArray("slow") << QByteArray() << "TIVAKO_SIM_TIMING";
        QTest::newRow("timing case") << QByteArray() << QByteArray("Realtime") << QByteArray() << "TIVAKO_SIM_TIMING";
        QTest::newRow("output unknown") << QByteArray() << QByteArray() << QByteArray("hex") << "TIVAKO_SIM_OUTPUT";
    }
    void environmentConfiguresTheBackend()
    {
        QFETCH(QByteArray, boards);
        QFETCH(QByteArray, timing);
        QFETCH(QByteArray, output);
        QFETCH(QString, error);
        auto set = [](const char* name, const QByteArray& value) {
            if (value.isNull())
                qunsetenv(name);
            else
                qputenv(name, value);
        };
        set("TIVAKO_SIM_BOARDS", boards);
        set("TIVAKO_SIM_TIMING", timing);
        set("TIVAKO_SIM_OUTPUT", output);
        const QString flash = testTempDir() + "/env-flash.bin";
        qputenv("TIVAKO_SIM_FLASH", flash.toLocal8Bit());

        std::string message;
        std::shared_ptr<SimBridgeBackend> backend = createSimBridgeBackend(&message);
        if (!error.isEmpty()) {
            QVERIFY(!backend);
            QVERIFY2(QString::fromStdString(message).contains(error), message.c_str());
            QVERIFY(!createSimBridgeBackend()); // without a message slot: an error line, no crash
        } else {
            QVERIFY2(backend, message.c_str());
            QCOMPARE(int(backend->boardCount()), boards.isNull() ? 1 : boards.toInt());
            QCOMPARE(backend->options().timing, timing == "realtime" ? SimTiming::Realtime : SimTiming::Fast);
            QCOMPARE(backend->options().output, output == "ascii" ? SimOutput::Ascii : SimOutput::Tlv);
            if (backend->boardCount() > 1) {
                QCOMPARE(QString::fromStdString(backend->board(0)->flashPath()), flash);
                QCOMPARE(QString::fromStdString(backend->board(1)->flashPath()), flash + ".VB0002");
            }
        }
        for (const char* name : {"TIVAKO_SIM_BOARDS", "TIVAKO_SIM_TIMING", "TIVAKO_SIM_OUTPUT", "TIVAKO_SIM_FLASH"})
            qunsetenv(name);
    }
};

QTEST_GUILESS_MAIN(TestSimBridge)
#include "tst_sim_bridge.moc"
