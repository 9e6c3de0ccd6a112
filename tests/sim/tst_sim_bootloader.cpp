// The virtual board's ROM bootloader against the exchanges of ST's USART
// bootloader protocol, driven through the simulated bridge like a loader.

#include "tests/support/SimTestSupport.h"

namespace {
const uint8_t ACK = 0x79, NACK = 0x1F;
}

class TestSimBootloader : public QObject
{
    Q_OBJECT

    std::unique_ptr<SimBridgeBackend> m_backend;
    std::unique_ptr<SimHost> m_host;

    SimBoard& board() { return *m_backend->board(0); }
    SimHost& host() { return *m_host; }

    // Erase everything, write data at address, all in the bootloader.
    void write(uint32_t address, const Bytes& data, uint8_t expectLast = ACK)
    {
        COMPARE_BYTES(host().exchange(commandFrame(0x31)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(addressFrame(address)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(dataFrame(data)), Bytes{expectLast});
    }
    Bytes read(uint32_t address, size_t n)
    {
        if (host().exchange(commandFrame(0x11)) != Bytes{ACK} || host().exchange(addressFrame(address)) != Bytes{ACK})
            return {};
        Bytes reply = host().exchange({uint8_t(n - 1), uint8_t((n - 1) ^ 0xFF)});
        if (reply.empty() || reply[0] != ACK)
            return {};
        return Bytes(reply.begin() + 1, reply.end());
    }
    void globalErase()
    {
        COMPARE_BYTES(host().exchange(commandFrame(0x43)), Bytes{ACK});
        COMPARE_BYTES(host().exchange({0xFF, 0x00}), Bytes{ACK});
    }

private slots:
    void init()
    {
        m_backend = std::make_unique<SimBridgeBackend>(fastOptions());
        m_host = std::make_unique<SimHost>(*m_backend);
        QCOMPARE(host().open(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host().enterBootloader());
        QCOMPARE(board().mode(), SimBoardMode::Bootloader);
    }
    void cleanup()
    {
        m_host.reset();
        m_backend.reset();
    }

    void synchronisesThenAnswersTheIdentityCommands()
    {
        // Before the synchronisation byte nothing is answered.
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), Bytes{});
        QVERIFY(!board().bootloaderSynchronised());
        COMPARE_BYTES(host().exchange({0x7F}), Bytes{ACK});
        QVERIFY(board().bootloaderSynchronised());

        COMPARE_BYTES(host().exchange(commandFrame(0x00)),
                      (Bytes{ACK, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92, ACK}));
        COMPARE_BYTES(host().exchange(commandFrame(0x01)), (Bytes{ACK, 0x22, 0x00, 0x00, ACK}));
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
        // A command split over two writes is the same command.
        host().send({0x02});
        COMPARE_BYTES(host().exchange({0xFD}), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
    }

    void aSecondSyncByteIsACommandByte()
    {
        QVERIFY(host().sync());
        // 0x7F now starts a command; it is answered only with the next byte,
        // and no complement makes it a known command.
        COMPARE_BYTES(host().exchange({0x7F}), Bytes{});
        COMPARE_BYTES(host().exchange({0x7F}), Bytes{NACK});
        COMPARE_BYTES(host().exchange({0x7F, 0x80}), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
    }

    void wrongComplementsAndUnknownCommandsAreNacked()
    {
        QVERIFY(host().sync());
        COMPARE_BYTES(host().exchange({0x02, 0xFC}), Bytes{NACK});
        COMPARE_BYTES(host().exchange({0x31, 0xCF}), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x44)), Bytes{NACK}); // extended erase: not in version 2.2
        COMPARE_BYTES(host().exchange(commandFrame(0x03)), Bytes{NACK});
        // After each refusal the next command is taken as usual.
        COMPARE_BYTES(host().exchange(commandFrame(0x01)), (Bytes{ACK, 0x22, 0x00, 0x00, ACK}));
        auto events = board().bootloaderEvents();
        QCOMPARE(events.size(), size_t(5));
        QVERIFY(!events[0].acked);
        QVERIFY(events[4].acked);
        QCOMPARE(int(events[4].command), 0x01);
    }

    void eraseWriteAndReadBack()
    {
        QVERIFY(host().sync());
        board().setFlash(0, bytesOf(randomBytes(kSimFlashSize, 1)));
        globalErase();
        QVERIFY(board().flash() == Bytes(kSimFlashSize, 0xFF));

        const Bytes first = bytesOf(randomBytes(256, 2));
        const Bytes last = bytesOf(randomBytes(256, 3));
        write(0x08000000, first);
        write(0x0801FF00, last);
        COMPARE_BYTES(read(0x08000000, 256), first);
        COMPARE_BYTES(read(0x0801FF00, 256), last);
        COMPARE_BYTES(read(0x08000100, 4), Bytes(4, 0xFF));
        const Bytes flash = board().flash();
        QVERIFY(Bytes(flash.begin(), flash.begin() + 256) == first);
        QVERIFY(Bytes(flash.end() - 256, flash.end()) == last);

        // The loader's block pattern: 1000 bytes as 256, 256, 256 and 232.
        globalErase();
        const Bytes image = bytesOf(randomBytes(1000, 4));
        for (size_t at = 0; at < image.size(); at += 256) {
            size_t n = std::min<size_t>(256, image.size() - at);
            write(0x08000000 + uint32_t(at), Bytes(image.begin() + long(at), image.begin() + long(at + n)));
        }
        const Bytes after = board().flash();
        QVERIFY(Bytes(after.begin(), after.begin() + 1000) == image);
    }

    void erasesPagesFromAList()
    {
        QVERIFY(host().sync());
        board().setFlash(0, Bytes(4 * kSimFlashPageSize, 0x00));
        COMPARE_BYTES(host().exchange(commandFrame(0x43)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(pageListFrame({0, 2})), Bytes{ACK});
        const Bytes flash = board().flash();
        auto page = [&](size_t p) {
            return Bytes(flash.begin() + long(p * 1024), flash.begin() + long(p * 1024 + 1024));
        };
        QVERIFY(page(0) == Bytes(1024, 0xFF));
        QVERIFY(page(1) == Bytes(1024, 0x00));
        QVERIFY(page(2) == Bytes(1024, 0xFF));
        QVERIFY(page(3) == Bytes(1024, 0x00));

        // Refusals: bad checksum, a page past the end, a global code without its 0x00.
        Bytes bad = pageListFrame({1});
        bad.back() ^= 0x01;
        COMPARE_BYTES(host().exchange(commandFrame(0x43)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(bad), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x43)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(pageListFrame({1, 128})), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x43)), Bytes{ACK});
        COMPARE_BYTES(host().exchange({0xFF, 0x01}), Bytes{NACK});
        QVERIFY(page(1) == Bytes(1024, 0x00)); // nothing refused was erased
        QVERIFY(board().flash()[1024] == 0x00);
    }

    void writeRefusals_data()
    {
        QTest::addColumn<uint32_t>("address");
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("addressRefused");
        QTest::addColumn<int>("corrupt"); // 0 none, 1 address checksum, 2 data checksum
        QTest::newRow("unaligned address") << 0x08000002u << 4 << true << 0;
        QTest::newRow("length not a multiple of 4") << 0x08000000u << 3 << false << 0;
        QTest::newRow("length 233") << 0x08000000u << 233 << false << 0;
        QTest::newRow("address checksum") << 0x08000000u << 4 << true << 1;
        QTest::newRow("data checksum") << 0x08000000u << 256 << false << 2;
        QTest::newRow("past the flash") << 0x08020000u << 4 << true << 0;
        QTest::newRow("across the end of flash") << 0x0801FFFCu << 8 << false << 0;
        QTest::newRow("system memory") << 0x1FFFF000u << 4 << true << 0;
        QTest::newRow("option bytes") << 0x1FFFF800u << 16 << true << 0;
        QTest::newRow("peripherals") << 0x40013800u << 4 << true << 0;
        QTest::newRow("bootloader's own RAM") << 0x20000000u << 4 << true << 0;
        QTest::newRow("past the RAM") << 0x20004FFCu << 8 << false << 0;
    }
    void writeRefusals()
    {
        QFETCH(uint32_t, address);
        QFETCH(int, length);
        QFETCH(bool, addressRefused);
        QFETCH(int, corrupt);
        QVERIFY(host().sync());
        const Bytes before = board().flash();
        COMPARE_BYTES(host().exchange(commandFrame(0x31)), Bytes{ACK});
        Bytes addr = addressFrame(address);
        if (corrupt == 1)
            addr[4] ^= 0x40;
        if (addressRefused) {
            COMPARE_BYTES(host().exchange(addr), Bytes{NACK});
        } else {
            COMPARE_BYTES(host().exchange(addr), Bytes{ACK});
            Bytes data = dataFrame(Bytes(size_t(length), 0x00));
            if (corrupt == 2)
                data.back() ^= 0x01;
            COMPARE_BYTES(host().exchange(data), Bytes{NACK});
        }
        QVERIFY(board().flash() == before);
        // The bootloader waits for the next command afterwards.
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
    }

    void programmingNeedsErasedHalfWords()
    {
        QVERIFY(host().sync());
        globalErase();
        write(0x08000000, {0x11, 0x22, 0x33, 0x44, 0xFF, 0xFF, 0xFF, 0xFF});
        // Programmed half-words take nothing but zero; the failing block
        // keeps what went in before the failure.
        write(0x08000000, {0x00, 0x00, 0x00, 0x00});
        write(0x08000004, {0x55, 0x66, 0x77, 0x88});
        write(0x08000004, {0x55, 0x66, 0x77, 0x88}, NACK);
        COMPARE_BYTES(read(0x08000000, 8), (Bytes{0, 0, 0, 0, 0x55, 0x66, 0x77, 0x88}));
        write(0x08000008, {0xAA, 0xBB, 0xCC, 0xDD});
        write(0x08000008, {0x00, 0x00, 0x01, 0x02}, NACK);
        COMPARE_BYTES(read(0x08000008, 4), (Bytes{0x00, 0x00, 0xCC, 0xDD}));
    }

    void ramIsWritableAboveTheBootloadersArea()
    {
        QVERIFY(host().sync());
        const Bytes data = bytesOf(randomBytes(64, 9));
        write(0x20000200, data);
        COMPARE_BYTES(read(0x20000200, 64), data);
        COMPARE_BYTES(board().readMemory(0x20000200, 64), data);
    }

    void readMemoryChecksItsArguments()
    {
        QVERIFY(host().sync());
        // The length byte needs its complement.
        COMPARE_BYTES(host().exchange(commandFrame(0x11)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(addressFrame(0x08000000)), Bytes{ACK});
        COMPARE_BYTES(host().exchange({0x03, 0x03}), Bytes{NACK});
        // Unreadable addresses and ranges.
        COMPARE_BYTES(host().exchange(commandFrame(0x11)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(addressFrame(0x40000000)), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x11)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(addressFrame(0x0801FFF0)), Bytes{ACK});
        COMPARE_BYTES(host().exchange({0x1F, 0xE0}), Bytes{NACK});
        // The option bytes of an unprotected chip and the flash size register.
        COMPARE_BYTES(read(0x1FFFF800, 16), (Bytes{0xA5, 0x5A, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF,
                                                   0x00, 0xFF, 0x00, 0xFF, 0x00}));
        COMPARE_BYTES(read(0x1FFFF7E0, 2), (Bytes{0x80, 0x00}));
    }

    void lineSettingsMustMatchTheBootloader_data()
    {
        QTest::addColumn<uint32_t>("baud");
        QTest::addColumn<int>("lineControl");
        QTest::addColumn<bool>("syncs");
        QTest::newRow("8E1 115200") << 115200u << int(BRIDGE_LINE_8E1) << true;
        QTest::newRow("8E1 9600") << 9600u << int(BRIDGE_LINE_8E1) << true;
        QTest::newRow("8E2 (stop bits do not matter)") << 115200u << 0x0822 << true;
        QTest::newRow("8N1: parity forgotten") << 115200u << int(BRIDGE_LINE_8N1) << false;
        QTest::newRow("8O1") << 115200u << 0x0810 << false;
        QTest::newRow("7E1") << 115200u << 0x0720 << false;
        QTest::newRow("above the detectable baud") << 230400u << int(BRIDGE_LINE_8E1) << false;
        QTest::newRow("below the detectable baud") << 600u << int(BRIDGE_LINE_8E1) << false;
    }
    void lineSettingsMustMatchTheBootloader()
    {
        QFETCH(uint32_t, baud);
        QFETCH(int, lineControl);
        QFETCH(bool, syncs);
        QVERIFY(host().line(baud, uint16_t(lineControl)));
        COMPARE_BYTES(host().exchange({0x7F}), syncs ? Bytes{ACK} : Bytes{});
        QCOMPARE(board().bootloaderSynchronised(), syncs);
        QCOMPARE(board().counters().lineErrorsAtChip, syncs ? uint64_t(0) : uint64_t(1));
    }

    void theMeasuredBaudRateStaysUntilReset()
    {
        QVERIFY(host().sync());
        QVERIFY(host().line(57600, BRIDGE_LINE_8E1));
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), Bytes{});
        QCOMPARE(board().counters().lineErrorsAtChip, uint64_t(2));
        // Back at the measured rate it answers; a reset measures anew.
        QVERIFY(host().line(115200, BRIDGE_LINE_8E1));
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
        QVERIFY(host().enterBootloader(57600));
        QVERIFY(host().sync());
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
    }

    void answersAreLostWhenTheHostFrameChangesMidway()
    {
        QVERIFY(host().sync());
        QVERIFY(host().line(115200, BRIDGE_LINE_8E1));
        host().send({0x02});
        QVERIFY(host().line(115200, BRIDGE_LINE_8N1));
        COMPARE_BYTES(host().exchange({0xFD}), Bytes{}); // the complement itself is lost
        QVERIFY(host().line(115200, BRIDGE_LINE_8E1));
        COMPARE_BYTES(host().exchange({0xFD}), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
    }

    void resetAndBoot0DecideWhatStarts()
    {
        // Held in reset: bytes go nowhere.
        QVERIFY(host().latch(0x01, 0x00));
        QCOMPARE(board().mode(), SimBoardMode::Reset);
        COMPARE_BYTES(host().exchange({0x7F}), Bytes{});
        QCOMPARE(board().counters().lostNoListener, uint64_t(1));

        // BOOT0 inactive and an erased flash: the chip stays silent.
        QVERIFY(host().latch(0x02, 0x02));
        QVERIFY(host().latch(0x01, 0x01));
        QCOMPARE(board().mode(), SimBoardMode::Halted);
        QVERIFY(host().line(115200, BRIDGE_LINE_8N1));
        COMPARE_BYTES(host().exchange({'x', '\r'}), Bytes{});

        // With a valid vector table the firmware starts and greets.
        board().setFlash(0, bootableImage());
        QVERIFY(host().enterFirmware());
        QCOMPARE(board().mode(), SimBoardMode::Firmware);
        FrameReader reader;
        QVERIFY(QString::fromStdString(reader.feed(host().take())).contains("ready"));

        // BOOT0 counts only when reset is released.
        QVERIFY(host().latch(0x02, 0x00));
        QCOMPARE(board().mode(), SimBoardMode::Firmware);
        QVERIFY(host().latch(0x01, 0x00));
        QVERIFY(host().latch(0x01, 0x01));
        QCOMPARE(board().mode(), SimBoardMode::Bootloader);

        // A stack pointer outside RAM is no valid vector table.
        Bytes image = bootableImage();
        image[3] = 0x30;
        board().setFlash(0, image);
        QVERIFY(host().enterFirmware());
        QCOMPARE(board().mode(), SimBoardMode::Halted);
    }

    void goStartsTheFirmwareOrLeavesTheModel()
    {
        QVERIFY(host().sync());
        COMPARE_BYTES(host().exchange(commandFrame(0x21)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(addressFrame(0x40000000)), Bytes{NACK});
        QCOMPARE(board().mode(), SimBoardMode::Bootloader);

        board().setFlash(0, bootableImage());
        COMPARE_BYTES(host().exchange(commandFrame(0x21)), Bytes{ACK});
        // The firmware greets at 8N1, which an 8E1 host cannot take.
        COMPARE_BYTES(host().exchange(addressFrame(0x08000000)), Bytes{ACK});
        QCOMPARE(board().mode(), SimBoardMode::Firmware);
        uint8_t frame[256];
        const size_t greeting =
            quadrel_tlv_encode(QUADREL_TEXT_GREETING, sizeof QUADREL_TEXT_GREETING - 1, frame, sizeof frame);
        QCOMPARE(board().counters().lineErrorsAtHost, uint64_t(greeting));

        QVERIFY(host().enterBootloader());
        QVERIFY(host().sync());
        COMPARE_BYTES(host().exchange(commandFrame(0x21)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(addressFrame(0x20001000)), Bytes{ACK});
        QCOMPARE(board().mode(), SimBoardMode::Halted); // code in RAM: not modelled
    }

    void writeProtection()
    {
        QVERIFY(host().sync());
        globalErase();
        COMPARE_BYTES(host().exchange(commandFrame(0x63)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(dataFrame({0x00})), Bytes{ACK}); // sector 0: pages 0-3
        QCOMPARE(board().writeProtection(), 1u);
        // The chip resets itself: synchronise again.
        QVERIFY(!board().bootloaderSynchronised());
        QVERIFY(host().sync());
        write(0x08000000, Bytes(4, 0x12), NACK);
        write(0x08001000, Bytes(4, 0x12)); // page 4 is free
        COMPARE_BYTES(host().exchange(commandFrame(0x43)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(pageListFrame({3})), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x43)), Bytes{ACK});
        COMPARE_BYTES(host().exchange({0xFF, 0x00}), Bytes{NACK});
        COMPARE_BYTES(read(0x1FFFF808, 2), (Bytes{0xFE, 0x01}));
        // A sector number past 31 is refused.
        COMPARE_BYTES(host().exchange(commandFrame(0x63)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(dataFrame({32})), Bytes{NACK});

        COMPARE_BYTES(host().exchange(commandFrame(0x73)), (Bytes{ACK, ACK}));
        QCOMPARE(board().writeProtection(), 0u);
        QVERIFY(host().sync());
        write(0x08000000, Bytes(4, 0x12));
    }

    void readoutProtection()
    {
        QVERIFY(host().sync());
        board().setFlash(0, Bytes(64, 0x42));
        COMPARE_BYTES(host().exchange(commandFrame(0x82)), (Bytes{ACK, ACK}));
        QVERIFY(board().readoutProtected());
        QVERIFY(host().sync());
        for (uint8_t command : {0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82})
            COMPARE_BYTES(host().exchange(commandFrame(command)), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
        // Lifting it erases the flash.
        COMPARE_BYTES(host().exchange(commandFrame(0x92)), (Bytes{ACK, ACK}));
        QVERIFY(!board().readoutProtected());
        QVERIFY(host().sync());
        COMPARE_BYTES(read(0x08000000, 64), Bytes(64, 0xFF));
    }
};

QTEST_GUILESS_MAIN(TestSimBootloader)
#include "tst_sim_bootloader.moc"
