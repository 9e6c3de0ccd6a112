// The board firmware: the texts and frames it shares with the virtual board,
// the built-in image converted and started, and the image under QEMU.

#include "tests/support/SimTestSupport.h"

#include "programming/HexConversion.h"
#include "quadrel_texts.h"
#include "resources/TivakoResources.h"
#include "tests/support/Process.h"
#include "tests/support/Wait.h"

static const QString kHex = TIVAKO_SOURCE_DIR "/resources/hex/RozazerEvu_1_0_54.hex";

class TestFirmware : public QObject
{
    Q_OBJECT

private slots:
    void statusLine()
    {
        char buf[QUADREL_STATUS_MAX];
        const QByteArray line = "Uptime 4294967295 s, HardwareID Quadrel\r\n";
        QCOMPARE(quadrel_format_status(buf, size_t(line.size()), 4294967295u, 1), size_t(0)); // no room for NUL
        QCOMPARE(quadrel_format_status(buf, sizeof buf, 4294967295u, 1), size_t(line.size()));
        QCOMPARE(QByteArray(buf), line);
        QCOMPARE(quadrel_format_status(buf, sizeof buf, 0, 0), size_t(12));
        QCOMPARE(QByteArray(buf), QByteArray("Uptime 0 s\r\n"));
    }

    void commands_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QList<int>>("events");
        const int id = QUADREL_COMMAND_IDENTITY, unknown = QUADREL_COMMAND_UNKNOWN;
        QTest::newRow("line feed does not end") << QByteArray("setHWqd\n") << QList<int>{};
        QTest::newRow("CR LF twice, empty lines") << QByteArray("setHWqd\r\n\r\r\nsetHWqd\r\n") << QList<int>{id, id};
        QTest::newRow("near misses") << QByteArray("xsetHWqd\rsetHWq\rsetHWqdd\rSETHWQD\r\xaa\x55\xff\r")
                                     << QList<int>{unknown, unknown, unknown, unknown, unknown};
        QTest::newRow("overlong, then command") << QByteArray(200, 's') + "\rsetHWqd\r" << QList<int>{unknown, id};
        QTest::newRow("overlong ending in command") << QByteArray(40, 's') + "setHWqd\r" << QList<int>{unknown};
    }
    void commands()
    {
        QFETCH(QByteArray, input);
        QFETCH(QList<int>, events);
        quadrel_command parser;
        quadrel_command_init(&parser);
        QList<int> got;
        for (const char ch : input) {
            if (const quadrel_command_event e = quadrel_command_feed(&parser, uint8_t(ch)))
                got << e;
        }
        QCOMPARE(got, events);
    }

    void framesMatchAnIndependentEncoder()
    {
        QRandomGenerator rng(20240603u);
        QByteArray stream, texts, decoded;
        for (int round = 0; round < 300; ++round) {
            QByteArray text = randomBytes(rng, round < 260 ? round : int(rng.bounded(3000)));
            for (char& c : text) // mostly head and escape bytes: every escape path
                c = rng.bounded(2) ? c : rng.bounded(2) ? '\xAA' : '\x55';
            std::vector<uint8_t> out(QUADREL_TLV_FRAME_MAX(size_t(text.size())));
            out.resize(quadrel_tlv_encode(text.constData(), size_t(text.size()), out.data(), out.size()));
            QCOMPARE(fromBytes(out), tlvFrame(text));
            stream += fromBytes(out);
            texts += text;
        }
        TlvFeeder loader; // split across calls, mid-frame and mid-escape
        for (int at = 0, piece = 1; at < stream.size(); at += piece, piece = 1 + int(rng.bounded(700u)))
            decoded += loader.feed(stream.mid(at, piece));
        QCOMPARE(decoded, texts);
        std::vector<uint8_t> big(QUADREL_TLV_FRAME_MAX(QUADREL_TLV_TEXT_MAX + 1u)), text(QUADREL_TLV_TEXT_MAX + 1u);
        QCOMPARE(quadrel_tlv_encode(text.data(), text.size(), big.data(), big.size()), size_t(0));
        QCOMPARE(quadrel_tlv_encode(text.data(), 3, big.data(), QUADREL_TLV_FRAME_MAX(3) - 1), size_t(0));
    }

    void builtInImageConvertsAndStarts()
    {
        tivakoInitResources();
        QCOMPARE(readFile(":/hex/RozazerEvu_1_0_54.hex"), readFile(kHex));
        QFile hex(kHex);
        QTemporaryFile bin;
        QCOMPARE(int(convertHex2BinFile(&hex, &bin)), 1);
        const QByteArray image = bin.readAll();
        QVERIFY(runProcess("objcopy", {"-I", "ihex", "-O", "binary", kHex, bin.fileName() + ".o"}).exitCode == 0);
        QCOMPARE(readFile(bin.fileName() + ".o"), image); // binutils agrees
        QFile::remove(bin.fileName() + ".o");
        SimBridgeBackend backend;
        backend.board(0)->setFlash(0, bytesOf(image));
        SimHost host(backend);
        QVERIFY(host.open() == SI_SUCCESS && host.enterFirmware());
        QCOMPARE(TlvFeeder().feed(fromBytes(host.take())), QByteArray(QUADREL_TEXT_GREETING));
    }

    void runsUnderQemu()
    {
        const QString qemu = QStandardPaths::findExecutable("qemu-system-arm");
        if (qemu.isEmpty())
            QSKIP("qemu-system-arm is not installed (scripts/deps installs it)");
        QProcess board; // USART1 on its stdin and stdout; timeout ends it should this suite be killed
        board.start("timeout", {"-s", "KILL", "60", qemu, "-M", "stm32vldiscovery", "-display", "none", "-monitor",
                                "none", "-serial", "stdio", "-device", "loader,file=" + kHex});
        TlvFeeder loader;
        QString text;
        const auto saw = [&](const QString& pattern) {
            return waitUntil(
                [&] {
                    text += QString::fromLatin1(loader.feed(board.readAllStandardOutput()));
                    return text.contains(QRegularExpression(pattern));
                },
                20000);
        };
        QVERIFY2(saw("Uptime"), qPrintable(text + board.readAllStandardError()));
        board.write("hello\r\n");
        QVERIFY2(saw("Unknown command.*\r\nUptime"), qPrintable(text));
        board.write("setHWqd\r");
        QVERIFY2(saw("HardwareID Quadrel\r\n"), qPrintable(text));
        board.terminate();
        board.waitForFinished(5000);
        const QString status = "(Uptime \\d+ s\r\n)", greeting = QUADREL_TEXT_GREETING;
        QVERIFY2(text.contains(QRegularExpression("^" + QRegularExpression::escape(greeting) + status +
                                                  "+\x1b\\[31mUnknown command\x1b\\[0m\r\n" + status +
                                                  "*\x1b\\[34mHardwareID set to Quadrel\x1b\\[0m\r\n"
                                                  "(Uptime \\d+ s, HardwareID Quadrel\r\n)+$")),
                 qPrintable(text));
        QList<int> seconds; // one status line a second
        for (auto m = QRegularExpression("Uptime (\\d+)").globalMatch(text); m.hasNext();)
            seconds << m.next().captured(1).toInt();
        for (int i = 1; i < seconds.size(); ++i)
            QCOMPARE(seconds[i], seconds[i - 1] + 1);
    }
};

QTEST_GUILESS_MAIN(TestFirmware)
#include "tst_firmware.moc"
