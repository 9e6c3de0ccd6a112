// The virtual board: its ROM bootloader against ST's USART protocol, line,
// wire and flash timing, what starts after reset, and the flash file.

#include "tests/support/SimTestSupport.h"

class TestVirtualBoard : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir{qEnvironmentVariable("TIVAKO_TEST_TMP", QDir::tempPath()) + "/sim-XXXXXX"};
    std::shared_ptr<ManualSimClock> m_clock;
    std::unique_ptr<SimBridgeBackend> m_backend;
    std::unique_ptr<SimHost> m_host;

    SimBoard& board() { return *m_backend->board(0); }
    SimHost& host() { return *m_host; }
    void start(SimTiming timing = SimTiming::Fast, const QString& flashPath = QString())
    {
        m_host.reset();
        m_backend.reset();
        SimOptions options = fastOptions(2);
        options.timing = timing;
        options.clock = m_clock = std::make_shared<ManualSimClock>();
        options.flashPath = flashPath.toStdString();
        m_backend = std::make_unique<SimBridgeBackend>(options);
        m_host = std::make_unique<SimHost>(*m_backend);
        QCOMPARE(host().open(), BRIDGE_STATUS(SI_SUCCESS));
    }
    // One word a step: what the host sends (cNN a command, aNNNNNNNN an
    // address, dHEX a data frame, zN one of N zeros, xHEX raw; '!' spoils the
    // last byte), '>', the answer in hex, in real time '@' the milliseconds
    // until all of it shows.
    void run(SimHost& on, const QByteArray& script)
    {
        for (const QByteArray& step : script.simplified().split(' ')) {
            const QList<QByteArray> parts = step.split('>'), answer = parts.value(1).split('@');
            const QByteArray arg = parts[0].mid(1).replace('!', "");
            Bytes out = step[0] == 'c'   ? commandFrame(uint8_t(arg.toUInt(nullptr, 16)))
                        : step[0] == 'a' ? addressFrame(arg.toUInt(nullptr, 16))
                        : step[0] == 'd' ? dataFrame(bytesOf(QByteArray::fromHex(arg)))
                        : step[0] == 'z' ? dataFrame(Bytes(arg.toUInt(), 0))
                                         : bytesOf(QByteArray::fromHex(arg));
            out.back() ^= parts[0].endsWith('!');
            const Bytes expected = bytesOf(QByteArray::fromHex(answer[0]));
            m_clock->setNs((m_clock->nowNs() / 1000000 + 1) * 1000000);
            const int64_t sent = m_clock->nowNs();
            Bytes reply = on.exchange(out);
            for (int ms = 0; ms < 1000 && reply.size() < expected.size(); ++ms) {
                m_clock->advanceMs(1);
                const Bytes more = on.take();
                reply.insert(reply.end(), more.begin(), more.end());
            }
            COMPARE_BYTES(reply, expected);
            if (answer.size() > 1)
                QCOMPARE(m_clock->nowNs() - sent, answer[1].toLongLong() * 1000000);
        }
    }

private slots:
    void init() { start(); }

    void bootloader_data()
    {
        QTest::addColumn<uint32_t>("baud");
        QTest::addColumn<int>("lineControl"); // negative: in real time
        QTest::addColumn<QByteArray>("script");
        const int e1 = BRIDGE_LINE_8E1;
        QTest::newRow("8E2") << 9600u << 0x0822 << QByteArray("x7F>79 c02>7901041079");
        QTest::newRow("8N1") << 115200u << int(BRIDGE_LINE_8N1) << QByteArray("x7F> c02>");
        QTest::newRow("7E1") << 115200u << 0x0720 << QByteArray("x7F> c02>");
        QTest::newRow("above the detectable baud") << 230400u << e1 << QByteArray("x7F> c02>");
        QTest::newRow("silent until synchronised, the identity, complements")
            << 115200u << e1
            << QByteArray("c02> x7F>79 c00>790B22000102112131436373829279 c01>7922000079 x02> xFD>7901041079 "
                          "x7F> x7F>1F x7F80>1F x02FC>1F c44>1F c03>1F");
        QTest::newRow("refusals")
            << 115200u << e1
            << QByteArray("x7F>79 c31>79 a08000002>1F c31>79 a08000000!>1F c31>79 a1FFFF800>1F c31>79 a20000000>1F "
                          "c31>79 a08000000>79 z3>1F c31>79 a08000000>79 z256!>1F c31>79 a0801FFFC>79 z8>1F "
                          "c11>79 a08000000>79 x0303>1F c11>79 a40000000>1F c11>79 a0801FFF0>79 x1FE0>1F "
                          "c31>79 a20000200>79 dCAFEF00D>79 c11>79 a20000200>79 x03FC>79CAFEF00D "
                          "c11>79 a08000000>79 x03FC>79FFFFFFFF c11>79 a1FFFF7E0>79 x01FE>798000 "
                          "c31>79 a20004FFC>79 z8>1F");
        QTest::newRow("page erase, programmed half-words take only zeros")
            << 115200u << e1
            << QByteArray("x7F>79 c31>79 a08000400>79 d11223344>79 c31>79 a08000800>79 d11223344>79 c43>79 d0002!>1F "
                          "c43>79 d0280>1F c43>79 xFF01>1F c31>79 a08000800>79 d00000102>1F c43>79 d0002>79 c31>79 "
                          "a08000400>79 d00000102>1F c11>79 a08000400>79 x03FC>7900003344 c11>79 a08000800>79 "
                          "x03FC>79FFFFFFFF");
        QTest::newRow("write and readout protection")
            << 115200u << e1
            << QByteArray("x7F>79 c63>79 d00>79 x7F>79 c31>79 a08000000>79 d12121212>1F c43>79 d03>1F c43>79 xFF00>1F "
                          "c31>79 a08001000>79 d12121212>79 c63>79 d20>1F c73>7979 x7F>79 c31>79 a08000000>79 "
                          "d12121212>79 c82>7979 x7F>79 c11>1F c31>1F c43>1F c63>1F c73>1F c82>1F c05>1F "
                          "c02>7901041079 c92>7979 x7F>79 "
                          "c11>79 a08001000>79 x03FC>79FFFFFFFF");
        QTest::newRow("real time: wire, erase and programming")
            << 115200u << -e1
            << QByteArray("x7F>79@1 c43>79 xFF00>79@31 c43>79 d01020304>79@121 c31>79 a08000000>79 z256>79@32 "
                          "c43>79 xFF007F80>79 x80>1F"); // busy: one byte waits, the next is lost
        QTest::newRow("real time: 9600 baud") << 9600u << -e1 << QByteArray("x7F>79@3 c02>7901041079@9");
        QTest::newRow("real time: 1200 baud, 1.5 stop bits")
            << 1200u << -0x0821 << QByteArray("x7F>79@19 c02>7901041079@66 c11>79 a08000000>79@58");
    }
    void bootloader()
    {
        QFETCH(uint32_t, baud);
        QFETCH(int, lineControl);
        QFETCH(QByteArray, script);
        if (lineControl < 0)
            start(SimTiming::Realtime);
        QVERIFY(host().enterBootloader(baud) && host().line(baud, uint16_t(std::abs(lineControl))));
        run(host(), script);
    }

    void resetBoot0AndGoDecideWhatRuns()
    {
        QVERIFY(host().latch(0x01, 0x00) && host().exchange({0x7F}).empty() && board().mode() == SimBoardMode::Reset);
        QVERIFY(host().enterFirmware() && board().mode() == SimBoardMode::Halted); // erased: no vector table
        Bytes image = bootableImage();
        board().setFlash(0, image);
        // BOOT0 counts at release only
        QVERIFY(host().enterFirmware() && host().latch(0x02, 0x00) && board().mode() == SimBoardMode::Firmware);
        QCOMPARE(TlvFeeder().feed(fromBytes(host().take())), QByteArray(QUADREL_TEXT_GREETING));
        QVERIFY(host().enterBootloader());
        run(host(), "x7F>79 c21>79 a40000000>1F c21>79 a08000000>79");
        QVERIFY(board().mode() == SimBoardMode::Firmware && host().enterBootloader());
        run(host(), "x7F>79 c21>79 a20001000>79");
        QCOMPARE(board().mode(), SimBoardMode::Halted); // code in RAM is not run
        image[3] = 0x30;                                // a stack outside RAM
        board().setFlash(0, image);
        QVERIFY(host().enterFirmware() && board().mode() == SimBoardMode::Halted);
    }

    // The switches a test uses to look inside, break and mend a board.
    void lookInsideAndFaults()
    {
        QVERIFY(host().enterBootloader(57600));
        board().dropBytes(SimDirection::ToBoard, 0, 1); // the first sync byte never arrives
        board().nack(SimNackPhase::Data, 0x43);
        board().replaceReply(0x02, {0x79, 0x31, 0x79});
        run(host(), "x7F> x7F>79 c01>7922000079 c02>793179 c02>7901041079 c43>79 d00>1F c63>79 d00>79 x7F>79");
        QVERIFY(board().baudRate() == 57600 && board().bootloaderSynchronised() && board().writeProtection() == 1);
        COMPARE_BYTES(board().readMemory(0x1FFFF800, 10), (Bytes{0xA5, 0x5A, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFE, 1}));
        board().setFlash(0, bootableImage());
        board().setOutput(SimOutput::Ascii);
        QVERIFY(!board().readoutProtected() && host().enterFirmware() && !host().take().empty());
        board().dropBytes(SimDirection::ToHost, 0, 1000);
        board().clearFaults();
        board().plug(); // powered already: no restart, no greeting again
        QVERIFY(host().sendText("hello\r") == SI_SUCCESS && board().firmwareUptime() == 0);
        QCOMPARE(fromBytes(host().take()), QByteArray(QUADREL_TEXT_UNKNOWN_COMMAND));
        board().flood(1e6); // unread for seconds: the board skips what nobody could take
        QVERIFY(board().nextEventNs() < m_clock->nowNs() + 1000000); // not only the next status line
        m_clock->advanceMs(2500);
        QVERIFY(board().firmwareUptime() == 2 && board().counters().overrunsAtHost > 2000000);
        board().clearFaults();
        const uint64_t flooded = board().counters().floodBytes;
        m_clock->advanceMs(2000);
        QVERIFY(flooded > 2000000 && board().counters().floodBytes == flooded);
        board().eraseFlash();
        COMPARE_BYTES(board().readMemory(0x08000000, 4), Bytes(4, 0xFF));
    }

    void bridgeEdges()
    {
        Bytes big(kSimMaxRead + 1);
        uint32_t n = 0;
        QVERIFY(m_backend->read(host().handle(), big.data(), kSimMaxRead + 1, &n) == SI_INVALID_REQUEST_LENGTH &&
                m_backend->write(host().handle(), big.data(), kSimMaxWrite + 1, &n) == SI_INVALID_REQUEST_LENGTH);
        board().silenceAfter(1);
        QVERIFY(board().close(99) == SI_INVALID_HANDLE && host().enterBootloader() && host().line(9600, 0x0720));
        run(host(), "x7F>"); // seven bits: only an agnostic chip takes them
        board().setHostFrameAgnostic(true);
        run(host(), "x7F>79 c02>");
        board().unplug();
        board().unplug();
        QVERIFY(board().counters().silencedByFault == 5 && host().send({0x7F}) == SI_DEVICE_NOT_FOUND);
        start(SimTiming::Realtime);
        QVERIFY(host().enterBootloader());
        const int64_t sent = m_clock->nowNs(); // beyond the bridge's FIFO a write waits
        QVERIFY(host().send(Bytes(kSimBridgeTxFifo + 60)) == SI_SUCCESS);
        QCOMPARE(m_clock->nowNs() - sent, 60 * simByteTimeNs(115200, BRIDGE_LINE_8E1));
    }

    void flashIsKeptInAFile()
    {
        const QString path = m_dir.filePath("flash.bin");
        start(SimTiming::Fast, path);
        board().setFlash(0, bootableImage(1024));
        Bytes flash = board().flash();
        m_clock->advanceMs(500);
        QVERIFY(board().isOpen() && !QFile::exists(path)); // once changes have rested a second
        m_clock->advanceMs(600);
        QVERIFY(board().isOpen() && readFile(path) == fromBytes(flash) && host().enterBootloader());
        run(host(), "x7F>79 c31>79 a08000400>79 d01020304>79");
        std::copy_n(Bytes{1, 2, 3, 4}.begin(), 4, flash.begin() + 1024);
        QVERIFY(host().enterFirmware() && readFile(path) == fromBytes(flash)); // and at a reset
        SimHost second(*m_backend);
        QVERIFY(second.open(1) == SI_SUCCESS && second.enterBootloader());
        run(second, "x7F>79 c31>79 a08000000>79 d01020304>79");
        QVERIFY(second.close() == SI_SUCCESS && QFile::exists(path + ".VB0002")); // at a close
        start(SimTiming::Fast, path); // a restart runs the firmware from the file
        QVERIFY(board().mode() == SimBoardMode::Firmware && board().flash() == flash && host().enterBootloader());
        run(host(), "x7F>79 c43>79 d00>79");
        start(); // and the end writes what had no time to rest
        QCOMPARE(readFile(path).left(1028), QByteArray(1024, '\xFF') + "\x01\x02\x03\x04");
        for (const QString& bad : {m_dir.path(), path + "/below"}) { // a folder, below a file: in memory only
            start(SimTiming::Fast, bad);
            board().setFlash(0, {0});
            QVERIFY(board().flash()[0] == 0 && !board().saveFlash() && !QFile::exists(bad + ".tmp"));
        }
        QVERIFY(writeFile(path, QByteArray(kSimFlashSize + 1, '\x01'))); // only what fits in the flash is kept
        start(SimTiming::Fast, path);
        QVERIFY(board().flash() == Bytes(kSimFlashSize, 1));
    }
};

QTEST_GUILESS_MAIN(TestVirtualBoard)
#include "tst_virtual_board.moc"
