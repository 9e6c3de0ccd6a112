// The loader's texts: its log lines, the board's debug (TLV) frames, Intel HEX files turned into flash images
// (checked against objcopy and srec_cat); and the loader itself, which ends cleanly on SIGTERM and SIGINT.

#include "app/Log.h"
#include "programming/HexConversion.h"
#include "resources/TivakoResources.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Process.h"
#include "tests/support/TestData.h"
#include "tests/support/TlvFeeder.h"
#include "tests/support/Wait.h"

#include <QtTest>

#include <csignal>
#include <random>
#include <thread>
#include <tuple>

#include <sys/stat.h>

using namespace hexrecords;
using namespace tlvframes;

namespace {

const QString kHex = QStringLiteral("KX_SI_USBXpressDev::ConvertHex2BinFile");
const QString kTlv = QStringLiteral("KX_Debug_TLV_Server::");
const QByteArray kAb = QByteArray::fromHex("AA0500F00200616246FE"); // "ab" in one text item
const QByteArray kEof = ":00000001FF";

// As the log writes it: cut to its buffer without splitting a character, an error line still ending its colour.
QByteArray expectedLine(bool error, const QByteArray& label, const QByteArray& message)
{
    const QString l = QString::fromUtf8(label), m = QString::fromUtf8(message);
    QByteArray line = (error ? errorLine(l, m) : statusLine(l, m)).toUtf8();
    const QByteArray reset = error ? "\x1b[0m" : "";
    if (line.size() < kLogLineBufferSize)
        return line;
    line.truncate(kLogLineBufferSize - 1 - reset.size());
    while (QString::fromUtf8(line).toUtf8() != line)
        line.chop(1);
    return line + reset;
}

const auto lines = [](const QList<QByteArray>& rows, const QByteArray& eol = "\r\n") { return rows.join(eol) + eol; };
const auto data = [](quint16 address, const QByteArray& bytes) { return record(0x00, address, bytes); };

// Writes a random file as tools write it to `path`: linear, segment or plain 16-bit addresses;
// regions that neither overlap nor touch, often at a 64 KiB page's end; records of 0..16 bytes,
// at times shuffled. Returns the commands that convert it with objcopy and srec_cat.
QByteArray generateHex(QRandomGenerator& rng, const QString& path)
{
    const int mode = rng.bounded(3);
    const bool lower = rng.bounded(2);
    const quint32 span = mode == 2 ? 0x10000 : 0x20000;
    std::vector<quint32> starts;
    for (int i = rng.bounded(1, 5); i > 0; --i)
        starts.push_back(rng.bounded(3) ? rng.bounded(span)
                                        : ((rng.bounded(span >> 16) + 1) << 16) - rng.bounded(1, 40));
    std::sort(starts.begin(), starts.end());
    std::vector<std::pair<quint32, QByteArray>> pieces;
    quint32 last = 0; // one past the last byte
    for (size_t i = 0; i < starts.size(); ++i) {
        const quint32 end = qMin(i + 1 < starts.size() ? starts[i + 1] - 1 : span, starts[i] + rng.bounded(1, 3000));
        for (quint32 at = starts[i], n = 0; at < end; at += n) {
            n = qMin<quint32>(rng.bounded(17), end - at);
            n = mode == 1 ? n : qMin(n, 0x10000 - (at & 0xFFFF)); // a record stays in its 64 KiB
            pieces.emplace_back(at, randomBytes(rng, int(n)));
            last = n ? at + n : last;
        }
    }
    if (rng.bounded(3) == 0)
        std::shuffle(pieces.begin(), pieces.end(), std::mt19937(rng.generate()));
    QList<QByteArray> records;
    quint32 base = 0xFFFFFFFF;
    for (const auto& [at, bytes] : pieces) {
        // Any segment that reaches the record without leaving its 64 KiB.
        const quint32 segment = at / 16 - rng.bounded(qMin(at / 16, 0xFFEu) + 1);
        const quint32 next = mode == 0 ? (0x08000000 + at) >> 16 : mode == 1 ? segment : 0;
        if (mode != 2 && (next != base || rng.bounded(4) == 0))
            records << record(mode ? 0x02 : 0x04, 0, QByteArray(1, char(next >> 8)) + char(next), lower);
        base = next;
        records << record(0x00, quint16(mode == 1 ? at - 16 * base : at), bytes, lower);
    }
    while (records.size() < 3)
        records.prepend(record(mode == 1 ? 0x03 : 0x05, 0, QByteArray::fromHex("08000131"), lower));
    if (rng.bounded(10))
        records << record(0x01, 0, {}, lower);
    writeFile(path, lines(records, rng.bounded(2) ? "\r\n" : "\n"));
    return QString("objcopy -I ihex -O binary --gap-fill 0xFF '%1' '%1.objcopy'\n"
                   "srec_cat '%1' -Intel -offset %2 -fill 0xFF 0 %3 -o '%1.srec' -Binary\n")
        .arg(path, mode ? "0" : "-0x08000000", QString::number(last))
        .toUtf8();
}

} // namespace

class TestText : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir{qEnvironmentVariable("TIVAKO_TEST_TMP", QDir::tempPath()) + "/text-XXXXXX"};

    const QString m_hex = m_dir.filePath("in.hex");
    QString hexFile(const QByteArray& text) { return writeFile(m_hex, text) ? m_hex : QString(); }

private slots:
    void initTestCase() { LogCapture::install(); }
    void init() { LogCapture::clear(); }

    // Lines of any length (around the buffer's too), with percent signs and
    // two- to four-byte characters, from four threads at once: each one whole.
    void logLines()
    {
        const QByteArray pieces[] = {"a", "%d", "\xc3\xa4", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
        QRandomGenerator rng(1234);
        std::vector<std::tuple<bool, QByteArray, QByteArray>> calls;
        QStringList expected;
        for (int row = 0; row < 400; ++row) {
            const bool error = rng.bounded(2);
            const QByteArray label(rng.bounded(8) ? rng.bounded(1, 30) : rng.bounded(2030, 2060), 'L');
            QByteArray message;
            for (int length = rng.bounded(2) ? rng.bounded(1950, 2060) : rng.bounded(50); message.size() < length;)
                message += pieces[rng.bounded(5)];
            calls.emplace_back(error, label, message);
            expected << QString::fromUtf8(expectedLine(error, label, message));
        }
        std::vector<std::thread> threads; // not a QThreadPool: ThreadSanitizer sees a join, not Qt's wait
        for (size_t t = 0; t < 4; ++t)
            threads.emplace_back([&calls, t] {
                for (size_t i = t; i < calls.size(); i += 4) {
                    const auto& [error, label, message] = calls[i];
                    (error ? logError : logStatus)(label.constData(), "%s", message.constData());
                }
            });
        for (std::thread& thread : threads)
            thread.join();
        QStringList written = LogCapture::lines();
        written.sort();
        expected.sort();
        QCOMPARE(written, expected);
    }

    void hex_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QString>("error"); // empty: no error line
        auto fails = [](const char* name, const QByteArray& text, int result, const QString& error = {}) {
            QTest::newRow(name) << text << result << QByteArray() << error;
        };
        auto image = [](const char* name, const QByteArray& text, const QByteArray& image) {
            QTest::newRow(name) << text << 1 << image << QString();
        };
        const QByteArray a = randomBytes(16, 1), b = randomBytes(16, 2), c = randomBytes(18, 3);
        const QByteArray r = data(0, a), one = data(0, QByteArray(1, '\0'));
        auto spoilt = [&](int at, char c) { return lines({r, r, QByteArray(one).replace(at, 1, &c, 1)}); };
        const QString nonHex = QStringLiteral("No hexadecimal digit at position %1: 0x%2");
        const QString outside = QStringLiteral("Data record @ 0x%1 outside the flash (0x08000000..0x0801ffff)");
        fails("third line empty", lines({r, r, "", r}), -3);
        fails("empty line", lines({r, r, r, "", kEof}), -5, "Startcode missing");
        fails("19 bytes: the line end is a line", lines({data(0, a + "xyz"), r, kEof}), -5, "Startcode missing");
        fails("checksum of data", lines({r, r, ":0100100002EE"}), -6, "Wrong Checksum CAL: 0xed DataRead 0xee missing");
        fails("32 bytes cut at 49", lines({r, data(16, a + a), kEof}), -6,
              "Record shorter than its byte count: 49 characters, 75 needed");
        fails("linear, 3 bytes", lines({r, record(0x04, 0, a.left(3)), kEof}), -6,
              "Extended address record with 3 data bytes");
        fails("count digit", spoilt(2, 'Z'), -6, nonHex.arg(2).arg("5a"));
        fails("data digit", spoilt(10, 'g'), -6, nonHex.arg(10).arg("67"));
        fails("across the end", lines({r, linearBase(0x0801), data(0xFFF8, a)}), -7, outside.arg("0801fff8"));
        fails("past the alias", lines({r, linearBase(0x0010), one}), -7, outside.arg("00100000"));
        fails("address wraps", lines({r, linearBase(0xFFFF), data(0xFFFF, a)}), -7, outside.arg("ffffffff"));
        fails("data after the end", lines({kEof, r, kEof}), -8, "No data record in the hex file, nothing to write");
        // What the comparison with objcopy and srec_cat below does not reach.
        image("later record wins", lines({r, data(16, a), data(8, b)}), a.left(8) + b + a.right(8));
        image("segment, then linear", lines({record(0x02, 0, "\x10\x01"), linearBase(0x0800), r}), a);
        image("boot alias meets flash", lines({r, linearBase(0x0800), data(16, b), linearBase(0), data(8, b)}),
              a.left(8) + b + b.right(8));
        image("unknown record type", lines({r, record(0x07, 0, b), data(16, b)}), a + b);
        image("18 bytes, a 49-byte line", lines({data(0, c), data(18, c), kEof}), c + c);
        image("empty record outside", lines({r, linearBase(0x2000), data(0, {}), kEof}), a);
        image("nothing after the end", lines({r, data(16, b), kEof, data(32, a), "garbage"}), a + b);
        image("no end, no last line end", lines({r, r}, "\n") + data(16, b), a + b);
        // objcopy's image starts at the lowest address with data, so it ends srec_cat's; that one, moved to the
        // flash base and filled from there, is ours.
        QRandomGenerator rng(4711);
        // One shell for all: a process per file is slow from a sanitizer build.
        ProcessOptions tools{QProcessEnvironment::systemEnvironment(), "set -e\n", 240000};
        for (int i = 0; i < 240; ++i)
            tools.stdinText += generateHex(rng, m_dir.filePath(QString("gen-%1.hex").arg(i)));
        const ProcessRun run = runProcess("/bin/sh", {}, tools);
        QVERIFY2(run.exitCode == 0, run.err.right(1000).constData()); // scripts/deps installs the tools
        for (int i = 0; i < 240; ++i) {
            const QString path = m_dir.filePath(QString("gen-%1.hex").arg(i));
            const QByteArray srec = readFile(path + ".srec");
            QVERIFY2(srec.endsWith(readFile(path + ".objcopy")), qPrintable(path));
            image(qPrintable(QFileInfo(path).fileName()), readFile(path), srec);
        }
    }

    // An earlier run's image file holds bytes, and is open when the conversion is to fail; neither may leave a trace.
    void hex()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, result);
        QFETCH(QByteArray, image);
        QFETCH(QString, error);
        QTemporaryFile bin;
        QVERIFY(bin.open() && bin.write(QByteArray(0x30000, 'z')) == 0x30000);
        if (result == 1)
            bin.close();
        QFile in(hexFile(text));
        QCOMPARE(int(convertHex2BinFile(&in, &bin)), result);
        QCOMPARE(LogCapture::errors(kHex).join('\n'), error);
        QVERIFY(!in.isOpen());
        QCOMPARE(bin.isOpen(), result == 1 || result == -3); // -3: refused before the image file is touched
        QCOMPARE(bin.isOpen() ? bin.readAll() : readFile(bin.fileName()), image); // read where the conversion left it
        if (result != 1) {
            QFile good(hexFile(lines({data(0, "abcd"), data(4, "efgh"), kEof})));
            QCOMPARE(convertHex2BinFile(&good, &bin), qint8(1));
            QCOMPARE(bin.readAll(), QByteArray("abcdefgh"));
        }
    }

    void hexFiles()
    {
        QTemporaryFile bin, unopenable(m_dir.filePath("no-such-folder/image-XXXXXX.bin"));
        QFile missing(m_dir.filePath("missing.hex"));
        QVERIFY(convertHex2BinFile(&missing, &bin) == -1 && convertHex2BinFile(nullptr, &bin) == -1);
        QCOMPARE(LogCapture::lines(), QStringList());
        QFile in(hexFile(lines({data(0, "ab"), data(2, "cd"), kEof})));
        QCOMPARE(convertHex2BinFile(&in, &unopenable), qint8(-4));
        // No files to read; a FIFO once held the conversion until written to.
        const QString folder = m_dir.filePath("folder.hex"), fifo = m_dir.filePath("fifo.hex");
        QVERIFY(QDir().mkpath(folder) && ::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        for (const QString& path : {folder, fifo}) {
            LogCapture::clear();
            QFile notRegular(path);
            QCOMPARE(convertHex2BinFile(&notRegular, &bin), qint8(-2));
            QCOMPARE(LogCapture::linesOf(kHex),
                     (QStringList{statusLine(kHex, "Path: " + path), errorLine(kHex, "Not a regular file: " + path)}));
        }
    }

    // Boundaries first; then streams of good frames (random items, unknown tags, random escapes), frames with
    // a bad checksum and stray bytes, fed in random pieces: exactly the good text.
    void tlvFrames_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<int>("chunk");
        QTest::addColumn<QByteArray>("text");
        auto row = [](const char* name, const QByteArray& wire, const QByteArray& text, int chunk = 4095) {
            QTest::newRow(name) << wire << chunk << text;
        };
        const QByteArray cd = frame(item(0xF2, "cd")), longest(4087, 'x');
        QByteArray overrun = item(0xF0, "ok") + item(0xF0, "abc");
        overrun[6] = 100;
        // Any byte may be escaped, and two escapes count as one.
        row("escapes, a byte a call", QByteArray::fromHex("AA0700F00400558A55755555414263FD"),
            QByteArray::fromHex("AA556142"), 1);
        row("an escaped head starts no frame", kAb + "\x55\x8A" + frame(item(0xF0, "xy")).mid(1) + cd, "abcd");
        row("item overruns its frame", frame(overrun) + kAb, "okab");
        row("item length near 0xFFFF", frame(overrun.replace(6, 2, "\xFD\xFF")), "ok");
        row("item header cut by the frame end", frame(item(0xF0, "ok") + "\xF0\x01"), "ok");
        row("longest frame", escape(frame(item(0xF0, longest))), longest, 1000);
        row("one byte longer", escape(frame(item(0xF0, QByteArray(4088, 'y')))) + kAb, "ab", 512);
        row("length that would swallow the next frame", QByteArray::fromHex("AA000F") + kAb + cd, "abcd");
        for (quint32 seed = 1; seed <= 150; ++seed) {
            QRandomGenerator rng(seed);
            QByteArray wire, expected;
            for (int p = rng.bounded(1, 60); p > 0; --p) {
                const int kind = rng.bounded(4);
                QByteArray payload;
                for (int i = kind < 2 ? rng.bounded(4) : 0; i > 0; --i) {
                    const auto tag = static_cast<uint8_t>(rng.bounded(2) ? 0xEF + rng.bounded(5) : rng.bounded(256));
                    const QByteArray value = randomBytes(rng, rng.bounded(200));
                    payload += item(tag, value);
                    expected += tag >= 0xF0 && tag <= 0xF2 ? value : QByteArray();
                }
                QByteArray bad = frame(item(0xF0, randomBytes(rng, rng.bounded(100))));
                const int at = bad.size() - 1 - rng.bounded(2);
                bad[at] = static_cast<char>(bad[at] ^ (1 + rng.bounded(255)));
                // An escape byte at the end of stray bytes must not reach into the next head.
                const QByteArray noise = randomBytes(rng, rng.bounded(p % 10 == 9 ? 5000 : 40)).replace('\xAA', '*');
                wire += kind < 2 ? escape(frame(payload), &rng) : kind == 2 ? escape(bad, &rng) : noise;
            }
            row(qPrintable(QString("random stream %1").arg(seed)), wire, expected, seed % 4 ? rng.bounded(1, 1025) : 1);
        }
    }

    void tlvFrames()
    {
        QFETCH(QByteArray, wire);
        QFETCH(int, chunk);
        QFETCH(QByteArray, text);
        TlvFeeder feeder;
        QCOMPARE(feeder.feed(wire, chunk), text);
        QCOMPARE(feeder.decoder.HeadBufferLength(), 0);
    }

    void tlvLimits()
    {
        // Undrained output stops at 4095 bytes; unread text is never overwritten.
        TlvFeeder full;
        full.feed(escape(frame(item(0xF0, QByteArray(3000, 'a')))) + escape(frame(item(0xF0, QByteArray(2000, 'b')))),
                  4095, false);
        QCOMPARE(full.drain(), QByteArray(3000, 'a') + QByteArray(1095, 'b'));
        QCOMPARE(LogCapture::errors(kTlv + "WriteOutputBuffer"),
                 QStringList{"OutputBuffer full, 905 decoded bytes dropped"});
        QCOMPARE(full.feed(kAb), QByteArray("ab"));
        // Stray bytes beyond the receive buffer are dropped, the frame after them is not.
        QCOMPARE(TlvFeeder().feed(QByteArray(10000, 'n') + kAb, 3000), QByteArray("ab"));
        QVERIFY(LogCapture::errors(kTlv + "ReceiveBytes").value(0).startsWith("Receive buffer full: 4095 undecoded"));
        QCOMPARE(TlvFeeder().feed(QByteArray(1000, '\xAA') + kAb), QByteArray("ab"));
        // One call beyond both the receive buffer and the head ring: all decoded.
        QByteArray wire, text;
        for (int i = 0; wire.size() < 12000; ++i) {
            wire += frame(item(0xF0, QByteArray::number(i) + ' '));
            text += QByteArray::number(i) + ' ';
        }
        LogCapture::clear();
        TlvFeeder big;
        const auto n = static_cast<uint16_t>(wire.size());
        QCOMPARE(big.decoder.ReceiveBytes(reinterpret_cast<const uint8_t*>(wire.constData()), 0, n, n), n);
        QCOMPARE(big.drain(), text.left(4095));
        QCOMPARE(LogCapture::lines(), QStringList());
        uint8_t byte = 0x42; // an empty queue gives nothing
        QVERIFY(big.decoder.GetOutputByte(&byte) == 0xFF && big.decoder.GetOutputByte(nullptr) == 0xFF && byte == 0x42);
    }

    // Nothing but log lines on stderr while it runs; SIGTERM and SIGINT end its event loop, and it with 0. A new
    // flash file of its virtual board gets the built-in firmware, an existing (erased) one is kept.
    void loaderStops()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("the suite's thread checks only: the loader does not run under ThreadSanitizer");
#endif
        const QString flash = m_dir.filePath("board-flash.bin");
        const QByteArray erased(64 * 1024, '\xFF');
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TIVAKO_BRIDGE", "sim");
        env.insert("TIVAKO_SIM_FLASH", flash);
        for (int signalNumber : {SIGTERM, SIGINT}) {
            const bool flashExists = QFile::exists(flash);
            QVERIFY(!flashExists || writeFile(flash, erased));
            QProcess loader;
            loader.setProcessEnvironment(env);
            loader.start(QStringLiteral(TIVAKO_LOADER_PATH), QStringList());
            QByteArray err;
            const auto started = [&] { return (err += loader.readAllStandardError()).contains("Start Programm"); };
            QVERIFY2(waitUntil(started, 30000), err.constData());
            QVERIFY(!loader.waitForFinished(500)); // the loop runs until the signal
            for (const QByteArray& line : (err + loader.readAllStandardError()).split('\n'))
                QVERIFY2(line.isEmpty() || line.startsWith("STATUS[\x1b[32mZidiVevuro\x1b[0m]->") ||
                             line.startsWith("\x1b[31mERROR[\x1b[32mZidiVevuro\x1b[31m]->"),
                         line.constData());
            QCOMPARE(::kill(pid_t(loader.processId()), signalNumber), 0);
            QVERIFY(loader.waitForFinished(20000));
            QVERIFY(loader.exitStatus() == QProcess::NormalExit && loader.exitCode() == 0);
            const QByteArray expected = flashExists ? erased : tivakoBuiltInFirmwareImage();
            QCOMPARE(readFile(flash).left(expected.size()), expected);
        }
    }
};

QTEST_GUILESS_MAIN(TestText)
#include "tst_text.moc"
