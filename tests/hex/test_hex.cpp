// Intel HEX to flash image conversion: result codes with their log lines,
// placement by address, and generated files checked against GNU objcopy and
// srec_cat.

#include "programming/HexConversion.h"
#include "tests/support/TestData.h"
#include "tests/support/LogCapture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include <sys/stat.h>

using namespace hexrecords;

namespace {

const QString kLabel = QStringLiteral("KX_SI_USBXpressDev::ConvertHex2BinFile");
constexpr quint32 kFlashBase = 0x08000000;

QByteArray dataRecord(quint16 address, const QByteArray& data)
{
    return record(0x00, address, data);
}

const QByteArray kEof = ":00000001FF";

QByteArray lines(const QList<QByteArray>& records, const QByteArray& eol = "\r\n")
{
    QByteArray text;
    for (const QByteArray& r : records)
        text += r + eol;
    return text;
}

QByteArray pattern(int n, int seed = 0)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<char>((i * 7 + seed * 13 + (i >> 8)) & 0xFF);
    return b;
}

struct Outcome
{
    qint8 result = 0;
    QByteArray image;
    bool imageOpen = false;
    qint64 imagePosition = -1;
    bool hexOpen = true;
};

// A format error: the result, the hex file closed, the image emptied and closed.
bool refused(const Outcome& o, qint8 result)
{
    return o.result == result && !o.hexOpen && !o.imageOpen && o.image.isEmpty();
}

} // namespace

class TestHex : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void missingFile();
    void unreadableFile();
    void fewerThanThreeRecordLines();
    void imageFileCannotBeOpened();
    void lineWithoutStartCode();
    void wrongChecksum();
    void recordShorterThanItsByteCount();
    void lineLengthLimit();
    void dataOutsideFlash();
    void fileWithoutData();
    void malformedExtendedAddress();
    void successLeavesImageOpenAtStart();
    void sizeLine();
    void endOfFileRecord();
    void contiguousFileGivesTheConcatenation();
    void placementByAddress();
    void nonHexCharacterIsRefused();
    void secondConversionStartsEmpty();
    void generatedFilesMatchObjcopyAndSrecCat();

private:
    QString writeHex(const QByteArray& content, const QString& name = QStringLiteral("in.hex"));
    Outcome convert(const QByteArray& content, QTemporaryFile* bin = nullptr);
    Outcome convertPath(const QString& path, QTemporaryFile* bin);

    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryFile m_bin; // one image file for all conversions, as the device keeps one
};

void TestHex::initTestCase()
{
    const QString base =
        qEnvironmentVariableIsSet("TIVAKO_TEST_TMP") ? qEnvironmentVariable("TIVAKO_TEST_TMP") : QDir::tempPath();
    m_dir = std::make_unique<QTemporaryDir>(base + QStringLiteral("/hex-XXXXXX"));
    QVERIFY(m_dir->isValid());
}

QString TestHex::writeHex(const QByteArray& content, const QString& name)
{
    const QString path = m_dir->filePath(name);
    if (!writeFile(path, content))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

Outcome TestHex::convertPath(const QString& path, QTemporaryFile* bin)
{
    if (bin == nullptr)
        bin = &m_bin;
    QFile hex(path);
    Outcome o;
    o.result = convertHex2BinFile(&hex, bin);
    o.hexOpen = hex.isOpen();
    o.imageOpen = bin->isOpen();
    if (o.imageOpen) {
        o.imagePosition = bin->pos();
        o.image = bin->readAll();
        bin->seek(0);
    } else if (!bin->fileName().isEmpty()) {
        QFile f(bin->fileName());
        if (f.open(QIODevice::ReadOnly))
            o.image = f.readAll();
    }
    return o;
}

Outcome TestHex::convert(const QByteArray& content, QTemporaryFile* bin)
{
    return convertPath(writeHex(content), bin);
}

void TestHex::missingFile()
{
    LogCapture log;
    QFile hex(m_dir->filePath("does-not-exist.hex"));
    QCOMPARE(convertHex2BinFile(&hex, &m_bin), qint8(-1));
    QVERIFY(!hex.isOpen());
    QCOMPARE(log.lines().size(), 0);
    QFile unnamed;
    QCOMPARE(convertHex2BinFile(&unnamed, &m_bin), qint8(-1));
    QCOMPARE(convertHex2BinFile(nullptr, &m_bin), qint8(-1));
}

void TestHex::unreadableFile()
{
    // A folder and a FIFO exist but are no files to read (a FIFO used to
    // hold the conversion in its open until somebody wrote to it).
    const QString folder = m_dir->filePath("folder.hex");
    QVERIFY(QDir().mkpath(folder));
    const QString fifo = m_dir->filePath("fifo.hex");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& path : {folder, fifo}) {
        LogCapture log;
        const Outcome o = convertPath(path, &m_bin);
        QCOMPARE(o.result, qint8(-2));
        QVERIFY(!o.hexOpen);
        QCOMPARE(log.statuses(kLabel), QStringList{"Path: " + path});
        QCOMPARE(log.errors(kLabel), QStringList{"Not a regular file: " + path});
    }
}

void TestHex::fewerThanThreeRecordLines()
{
    const QByteArray one = dataRecord(0, pattern(16));
    const QList<QByteArray> bad = {
        "",
        lines({one}),
        lines({one, kEof}),
        lines({one, one}) + "\r\n" + lines({one}),                         // third line empty
        "x" + lines({one, one, one}),                                      // first line
        lines({one}) + " " + lines({one, one}),                            // second line
        QByteArray(":") + QByteArray(120, '0') + "\n" + lines({one, one}), // 99-byte limit splits line one
    };
    for (const QByteArray& content : bad) {
        LogCapture log;
        const Outcome o = convert(content);
        QCOMPARE(o.result, qint8(-3));
        QVERIFY(!o.hexOpen);
        QCOMPARE(log.errors(kLabel), QStringList());
    }
    // Three lines are enough, even when the third has no line end.
    QCOMPARE(convert(lines({one, one}) + kEof).result, qint8(1));
}

void TestHex::imageFileCannotBeOpened()
{
    QTemporaryFile bin(m_dir->filePath("no-such-folder/image-XXXXXX.bin"));
    LogCapture log;
    const Outcome o = convert(lines({dataRecord(0, pattern(4)), dataRecord(4, pattern(4)), kEof}), &bin);
    QCOMPARE(o.result, qint8(-4));
    QVERIFY(!o.hexOpen);
    QVERIFY(!o.imageOpen);
    QCOMPARE(log.errors(kLabel), QStringList());
}

void TestHex::lineWithoutStartCode()
{
    const QByteArray r = dataRecord(0, pattern(16));
    for (const QByteArray& content :
         {lines({r, r, r}) + "\r\n" + lines({r, kEof}), lines({r, r, r}, "\n") + "\n" + lines({r, kEof}, "\n"),
          lines({r, r, r}) + "0" + lines({r, kEof})}) {
        LogCapture log;
        const Outcome o = convert(content);
        QVERIFY2(refused(o, qint8(-5)), qPrintable(QString::number(o.result)));
        QCOMPARE(log.errors(kLabel), QStringList{"Startcode missing"});
    }
}

void TestHex::wrongChecksum()
{
    const QByteArray good = linearBase(0x0800); // checksum 0xF2
    QCOMPARE(good, QByteArray(":020000040800F2"));
    QByteArray bad = good;
    bad.chop(2);
    bad += "F3";
    LogCapture log;
    const Outcome o = convert(lines({dataRecord(0, pattern(16)), good, bad, kEof}));
    QVERIFY2(refused(o, qint8(-6)), qPrintable(QString::number(o.result)));
    QCOMPARE(log.errors(kLabel), QStringList{"Wrong Checksum CAL: 0xf2 DataRead 0xf3 missing"});

    // Data bytes take part in the sum as well.
    QByteArray data = dataRecord(0x10, pattern(16));
    data[12] = data[12] == '0' ? '1' : '0';
    log.clear();
    QCOMPARE(convert(lines({good, good, data, kEof})).result, qint8(-6));
    QCOMPARE(log.errors(kLabel).size(), 1);
    QVERIFY(log.errors(kLabel).first().startsWith("Wrong Checksum CAL: 0x"));
}

void TestHex::recordShorterThanItsByteCount()
{
    const QByteArray full = dataRecord(0, pattern(8));
    const QList<QByteArray> cut = {full.left(full.size() - 2), full.left(12), QByteArray(":"), QByteArray(":10")};
    for (const QByteArray& line : cut) {
        for (const QByteArray& eol : {QByteArray("\r\n"), QByteArray("\n"), QByteArray()}) {
            // The record is the last line so that nothing could be read past it.
            LogCapture log;
            const Outcome o = convert(lines({full, full}) + line + eol);
            QVERIFY2(refused(o, qint8(-6)), qPrintable(QString::number(o.result)));
            QCOMPARE(log.errors(kLabel).size(), 1);
            QVERIFY(log.errors(kLabel).first().startsWith("Record shorter than its byte count"));
        }
    }
}

void TestHex::lineLengthLimit()
{
    // 16 data bytes with CR LF: 45 bytes; 18 with CR LF: exactly 49.
    QCOMPARE(dataRecord(0, pattern(16)).size() + 2, 45);
    QCOMPARE(convert(lines({dataRecord(0, pattern(16)), dataRecord(16, pattern(16)), kEof})).result, qint8(1));
    QCOMPARE(dataRecord(0, pattern(18)).size() + 2, 49);
    Outcome o = convert(lines({dataRecord(0, pattern(18)), dataRecord(18, pattern(18)), kEof}));
    QCOMPARE(o.result, qint8(1));
    QCOMPARE(o.image, pattern(18) + pattern(18));

    // 19 bytes: the record itself fits the limit, its line end is read as the
    // next line, which lacks the start code.
    LogCapture log;
    o = convert(lines({dataRecord(0, pattern(19)), dataRecord(19, pattern(4)), kEof}));
    QCOMPARE(o.result, qint8(-5));
    QCOMPARE(log.errors(kLabel), QStringList{"Startcode missing"});

    // 32 bytes (77 with CR LF) are cut at the limit: the record is short.
    log.clear();
    QCOMPARE(dataRecord(0, pattern(32)).size() + 2, 77);
    o = convert(lines({dataRecord(0, pattern(16)), dataRecord(16, pattern(32)), kEof}));
    QCOMPARE(o.result, qint8(-6));
    QCOMPARE(log.errors(kLabel), QStringList{"Record shorter than its byte count: 49 characters, 75 needed"});
}

void TestHex::dataOutsideFlash()
{
    // The flash of a part with ID 0x410 is at most 128 KiB: 0x08000000..0x0801FFFF.
    struct Case
    {
        quint16 upper;
        quint16 address;
        int size;
        const char* line;
    };
    const Case cases[] = {
        {0x2000, 0x0000, 16, "Data record @ 0x20000000 outside the flash (0x08000000..0x0801ffff)"},
        {0x0801, 0xFFF8, 16, "Data record @ 0x0801fff8 outside the flash (0x08000000..0x0801ffff)"},
        {0x0802, 0x0000, 1, "Data record @ 0x08020000 outside the flash (0x08000000..0x0801ffff)"},
        {0x0010, 0x0000, 4, "Data record @ 0x00100000 outside the flash (0x08000000..0x0801ffff)"},
        {0xFFFF, 0xFFFF, 16, "Data record @ 0xffffffff outside the flash (0x08000000..0x0801ffff)"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        const Outcome o = convert(
            lines({dataRecord(0, pattern(16)), linearBase(c.upper), dataRecord(c.address, pattern(c.size)), kEof}));
        QVERIFY2(refused(o, qint8(-7)), qPrintable(QString::number(o.result)));
        QCOMPARE(log.errors(kLabel), QStringList{c.line});
    }
    // The last flash bytes are fine, and so is their boot alias.
    Outcome o = convert(lines({linearBase(0x0801), dataRecord(0xFFF0, pattern(16)), kEof}));
    QCOMPARE(o.result, qint8(1));
    QCOMPARE(o.image.size(), 0x20000);
    QCOMPARE(o.image.right(16), pattern(16));
    QCOMPARE(o.image.left(0x1FFF0), QByteArray(0x1FFF0, '\xFF'));
    o = convert(lines({linearBase(0x0001), dataRecord(0xFFF0, pattern(16)), kEof}));
    QCOMPARE(o.result, qint8(1));
    QCOMPARE(o.image.size(), 0x20000);
    // An empty data record holds nothing, wherever it points.
    QCOMPARE(convert(lines({dataRecord(0, pattern(4)), linearBase(0x2000), dataRecord(0, {}), kEof})).result, qint8(1));
}

void TestHex::fileWithoutData()
{
    for (const QByteArray& content : {lines({linearBase(0x0800), linearBase(0x0800), kEof}),
                                      lines({dataRecord(0, {}), dataRecord(16, {}), dataRecord(32, {})}),
                                      lines({kEof, kEof, kEof}), lines({kEof, dataRecord(0, pattern(4)), kEof})}) {
        LogCapture log;
        const Outcome o = convert(content);
        QVERIFY2(refused(o, qint8(-8)), qPrintable(QString::number(o.result)));
        QCOMPARE(log.errors(kLabel), QStringList{"No data record in the hex file, nothing to write"});
    }
}

void TestHex::malformedExtendedAddress()
{
    for (quint8 type : {quint8(0x02), quint8(0x04)}) {
        for (int n : {0, 1, 3}) {
            LogCapture log;
            const Outcome o = convert(lines({dataRecord(0, pattern(4)), record(type, 0, pattern(n)), kEof}));
            QVERIFY2(refused(o, qint8(-6)), qPrintable(QString::number(o.result)));
            QCOMPARE(log.errors(kLabel), QStringList{QString("Extended address record with %1 data bytes").arg(n)});
        }
    }
}

void TestHex::successLeavesImageOpenAtStart()
{
    LogCapture log;
    const QString path = writeHex(lines({dataRecord(0, pattern(16)), dataRecord(16, pattern(16, 1)), kEof}));
    const Outcome o = convertPath(path, &m_bin);
    QCOMPARE(o.result, qint8(1));
    QVERIFY(!o.hexOpen);
    QVERIFY(o.imageOpen);
    QCOMPARE(o.imagePosition, qint64(0));
    QCOMPARE(o.image, pattern(16) + pattern(16, 1));
    QCOMPARE(log.statuses(kLabel), (QStringList{"Path: " + path, "HexFileSize: 0 kB; BinFileSize 0 kB"}));
    QCOMPARE(log.errors(kLabel), QStringList());
}

void TestHex::sizeLine()
{
    // A 45,000-byte hex file and a 16,384-byte image report 43 and 16.
    QByteArray text;
    int address = 0;
    while (address < 16384) {
        const int n = qMin(18, 16384 - address);
        text += dataRecord(static_cast<quint16>(address), pattern(n, address)) + "\r\n";
        address += n;
    }
    // Pad with extended-address records of 16 (LF) and 17 (CR LF) bytes.
    const QByteArray eof = kEof + "\r\n";
    int missing = 45000 - text.size() - eof.size();
    int crlf = 0;
    while ((missing - 17 * crlf) % 16 != 0)
        ++crlf;
    for (int i = 0; i < crlf; ++i)
        text += linearBase(0x0800) + "\r\n";
    for (int i = 0; i < (missing - 17 * crlf) / 16; ++i)
        text += linearBase(0x0800) + "\n";
    text += eof;
    QCOMPARE(text.size(), 45000);
    LogCapture log;
    const Outcome o = convert(text);
    QCOMPARE(o.result, qint8(1));
    QCOMPARE(o.image.size(), 16384);
    QCOMPARE(log.statuses(kLabel).last(), QString("HexFileSize: 43 kB; BinFileSize 16 kB"));
}

void TestHex::endOfFileRecord()
{
    const QByteArray a = dataRecord(0, pattern(16));
    const QByteArray b = dataRecord(16, pattern(16, 1));
    // Missing: converted to the last byte.
    Outcome o = convert(lines({a, b, a}, "\n"));
    QCOMPARE(o.result, qint8(1));
    QCOMPARE(o.image, pattern(16) + pattern(16, 1));
    o = convert(lines({a, a}) + b); // last line without line end
    QCOMPARE(o.result, qint8(1));
    QCOMPARE(o.image, pattern(16) + pattern(16, 1));
    // Whatever follows the first end-of-file record is not read.
    o = convert(lines({a, b, kEof, dataRecord(32, pattern(4)), "garbage", ":zz"}) + "\r\n\r\n");
    QCOMPARE(o.result, qint8(1));
    QCOMPARE(o.image.size(), 32);
}

void TestHex::contiguousFileGivesTheConcatenation()
{
    // One gap-free ascending range from the flash base, written the usual
    // ways: the image is the data fields joined.
    QRandomGenerator rng(7);
    for (int round = 0; round < 20; ++round) {
        QList<QByteArray> records;
        QByteArray joined;
        const bool withBase = round % 2 == 0;
        if (withBase)
            records << linearBase(0x0800);
        quint32 offset = 0;
        while (offset < 70000) {
            const int n = rng.bounded(0, 17);
            const quint32 in = offset & 0xFFFF;
            const int fit = static_cast<int>(qMin<quint32>(static_cast<quint32>(n), 0x10000 - in));
            if (in == 0 && offset > 0)
                records << linearBase(static_cast<quint16>((withBase ? 0x0800 : 0) + (offset >> 16)));
            const QByteArray data = pattern(fit, static_cast<int>(offset));
            records << dataRecord(static_cast<quint16>(in), data);
            joined += data;
            offset += static_cast<quint32>(fit);
        }
        records << record(0x05, 0, QByteArray::fromHex("08000101")) << kEof;
        const Outcome o = convert(lines(records, round % 3 ? "\r\n" : "\n"));
        QCOMPARE(o.result, qint8(1));
        QCOMPARE(o.image, joined);
    }
    // An extended-address record for the flash base between data records
    // leaves the image as if it were absent.
    const Outcome with =
        convert(lines({dataRecord(0, pattern(16)), linearBase(0x0800), dataRecord(16, pattern(16, 1)), kEof}));
    const Outcome without = convert(lines({dataRecord(0, pattern(16)), dataRecord(16, pattern(16, 1)), kEof}));
    QCOMPARE(with.result, qint8(1));
    QCOMPARE(with.image, without.image);
}

void TestHex::placementByAddress()
{
    const QByteArray a = pattern(16, 1);
    const QByteArray b = pattern(16, 2);
    const QByteArray ff(16, '\xFF');
    struct Case
    {
        const char* name;
        QList<QByteArray> records;
        QByteArray image;
    };
    const QList<Case> cases = {
        {"gap filled with the erased value", {dataRecord(0, a), dataRecord(32, b), kEof}, a + ff + b},
        {"out of order", {dataRecord(32, b), dataRecord(0, a), kEof}, a + ff + b},
        {"later record wins",
         {dataRecord(0, a), dataRecord(16, a), dataRecord(8, b), kEof},
         a.left(8) + b + a.right(8)},
        {"leading gap", {linearBase(0x0800), dataRecord(0x20, a), kEof}, ff + ff + a},
        {"second 64 KiB page",
         {dataRecord(0, a), linearBase(0x0801), dataRecord(0, b), kEof},
         a + QByteArray(0x10000 - 16, '\xFF') + b},
        {"segment address",
         {record(0x02, 0, QByteArray::fromHex("0100")), dataRecord(0x10, a), dataRecord(0, b), kEof},
         QByteArray(0x1000, '\xFF') + b + a},
        {"segment replaced by linear",
         {record(0x02, 0, QByteArray::fromHex("1000")), linearBase(0x0800), dataRecord(0, a), dataRecord(16, b)},
         a + b},
        {"boot alias and flash address meet",
         {dataRecord(0, a), linearBase(0x0800), dataRecord(16, b), linearBase(0), dataRecord(8, b)},
         a.left(8) + b + b.right(8)},
        {"start address records change nothing",
         {record(0x03, 0, QByteArray::fromHex("00000100")), dataRecord(0, a),
          record(0x05, 0, QByteArray::fromHex("08000101")), dataRecord(16, b), record(0x07, 0, a), kEof},
         a + b},
        {"lower-case digits",
         {record(0x04, 0, QByteArray::fromHex("0800"), true), record(0x00, 0x10, a, true), record(0x00, 0, b, true)},
         b + a},
    };
    for (const Case& c : cases) {
        const Outcome o = convert(lines(c.records));
        QVERIFY2(o.result == 1, c.name);
        QVERIFY2(o.image == c.image, c.name);
    }
}

void TestHex::nonHexCharacterIsRefused()
{
    // Each row: a record whose checksum is right if its bad characters read
    // as 0, which is how they used to be flashed.
    struct Case
    {
        QByteArray record;
        int position;
    };
    QByteArray badData = dataRecord(4, QByteArray(1, '\0'));
    badData.replace(9, 2, "0g");
    QByteArray badAddress = dataRecord(0, pattern(1));
    badAddress.replace(5, 1, "x");
    QByteArray badType = dataRecord(0, pattern(1));
    badType.replace(7, 1, " ");
    QByteArray badChecksum = dataRecord(0, pattern(1));
    badChecksum.replace(badChecksum.size() - 1, 1, "#");
    const Case cases[] = {
        {":04002000Z0XYq!_#DC", 9}, {":0Z000000FF", 2},   {badAddress, 5},
        {badType, 7},               {badData, 10},        {badChecksum, badChecksum.size() - 1},
    };
    for (const Case& c : cases) {
        LogCapture log;
        const Outcome o = convert(lines({dataRecord(0, pattern(4)), dataRecord(4, pattern(4)), c.record, kEof}));
        QVERIFY2(refused(o, qint8(-6)), c.record.constData());
        const QString expected = QStringLiteral("No hexadecimal digit at position %1: 0x%2")
                                     .arg(c.position)
                                     .arg(uchar(c.record.at(c.position)), 2, 16, QLatin1Char('0'));
        QCOMPARE(log.errors(kLabel), QStringList{expected});
    }
    // Lower-case digits are digits.
    const QByteArray lower = dataRecord(0, QByteArray("\xab\xcd\xef", 3)).toLower();
    const QByteArray next = dataRecord(3, QByteArray("\xfa", 1)).toLower();
    QCOMPARE(convert(lines({lower, next, kEof})).image, QByteArray("\xab\xcd\xef\xfa", 4));
}

void TestHex::secondConversionStartsEmpty()
{
    QTemporaryFile bin;
    const QByteArray big = lines({dataRecord(0, pattern(16)), dataRecord(16, pattern(16)), kEof});
    const QByteArray small = lines({dataRecord(0, pattern(4, 9)), dataRecord(4, pattern(4, 9)), kEof});
    QCOMPARE(convert(big, &bin).image.size(), 32);
    // Open from the first conversion: truncated, no stale tail.
    Outcome o = convert(small, &bin);
    QCOMPARE(o.result, qint8(1));
    QCOMPARE(o.image, pattern(4, 9) + pattern(4, 9));
    // After each failure the next conversion of a good file works.
    const QByteArray head = lines({dataRecord(0, pattern(4)), dataRecord(4, pattern(4)), dataRecord(8, pattern(4))});
    const QList<QPair<QByteArray, qint8>> broken = {
        {head + "\n" + kEof, -5},
        {head + ":00000001FE", -6},
        {head + lines({linearBase(0x2000), dataRecord(0, pattern(4))}), -7},
        {lines({kEof, kEof, kEof}), -8},
    };
    for (const auto& b : broken) {
        QCOMPARE(convert(b.first, &bin).result, b.second);
        QVERIFY(!bin.isOpen());
        o = convert(big, &bin);
        QCOMPARE(o.result, qint8(1));
        QCOMPARE(o.image.size(), 32);
    }
    // A caller that closed the image after a success still gets a fresh one.
    bin.close();
    o = convert(small, &bin);
    QCOMPARE(o.result, qint8(1));
    QCOMPARE(o.image.size(), 8);
}

namespace {

// A random hex file as linkers and tools write them, with what the oracles
// need to know about it.
struct GeneratedHex
{
    QByteArray text;
    quint32 lowestOffset = 0xFFFFFFFF; // lowest flash offset holding data
    quint32 end = 0;                   // one past the highest
    bool flashAddresses = false;       // records address 0x08xxxxxx, not the boot alias
};

GeneratedHex generateHex(QRandomGenerator& rng)
{
    enum Mode { Linear, Segment, Plain };
    const Mode mode = static_cast<Mode>(rng.bounded(3));
    const bool lower = rng.bounded(2);
    const QByteArray eol = rng.bounded(2) ? "\r\n" : "\n";
    const quint32 span = mode == Plain ? 0x10000 : 0x20000; // the whole 128 KiB flash

    // Up to four regions that neither overlap nor touch.
    struct Region
    {
        quint32 start, length;
    };
    std::vector<Region> regions;
    const int wanted = rng.bounded(1, 5);
    for (int tries = 0; static_cast<int>(regions.size()) < wanted && tries < 50; ++tries) {
        const quint32 length = rng.bounded(1, 3000);
        const quint32 start = rng.bounded(2) ? rng.bounded(span - length) : rng.bounded(8) * 0x1000;
        if (start + length > span)
            continue;
        const bool clash = std::any_of(regions.begin(), regions.end(), [&](const Region& r) {
            return start <= r.start + r.length && r.start <= start + length;
        });
        if (!clash)
            regions.push_back({start, length});
    }

    // Records of 0..16 bytes that do not cross a 64 KiB page of their base.
    struct Piece
    {
        quint32 offset;
        QByteArray data;
    };
    std::vector<Piece> pieces;
    GeneratedHex g;
    g.flashAddresses = mode == Linear;
    for (const Region& r : regions) {
        quint32 at = r.start;
        while (at < r.start + r.length) {
            quint32 n = qMin<quint32>(rng.bounded(0, 17), r.start + r.length - at);
            if (mode != Segment)
                n = qMin(n, 0x10000 - (at & 0xFFFF));
            const QByteArray data = randomBytes(rng, static_cast<int>(n));
            pieces.push_back({at, data});
            if (n > 0) {
                g.lowestOffset = qMin(g.lowestOffset, at);
                g.end = qMax(g.end, at + n);
            }
            at += n;
        }
    }
    if (rng.bounded(3) == 0)
        std::shuffle(pieces.begin(), pieces.end(), std::mt19937(rng.generate()));

    QList<QByteArray> records;
    qint64 base = -1;
    for (const Piece& p : pieces) {
        quint32 address = p.offset;
        if (mode == Linear) {
            const quint32 absolute = kFlashBase + p.offset;
            if (static_cast<qint64>(absolute >> 16) != base) {
                base = absolute >> 16;
                records << record(0x04, 0, QByteArray::fromHex(QByteArray::number(base, 16).rightJustified(4, '0')),
                                  lower);
            }
            address = absolute & 0xFFFF;
        } else if (mode == Segment) {
            // Any segment that reaches the record without leaving its 64 KiB.
            const quint32 n = static_cast<quint32>(p.data.size());
            const quint32 lowest = p.offset + n > 0x10000 ? (p.offset + n - 0x10000 + 15) / 16 : 0;
            const quint32 segment = lowest + rng.bounded(p.offset / 16 - lowest + 1);
            if (static_cast<qint64>(segment) != base || rng.bounded(4) == 0) {
                base = segment;
                records << record(0x02, 0, QByteArray::fromHex(QByteArray::number(segment, 16).rightJustified(4, '0')),
                                  lower);
            }
            address = p.offset - segment * 16;
        }
        records << record(0x00, static_cast<quint16>(address), p.data, lower);
        if (rng.bounded(40) == 0)
            records << record(mode == Segment ? 0x03 : 0x05, 0, QByteArray::fromHex("08000131"), lower);
    }
    while (records.size() < 3)
        records.prepend(record(0x05, 0, QByteArray::fromHex("08000131"), lower));
    if (rng.bounded(10) != 0)
        records << (lower ? QByteArray(":00000001ff") : kEof);
    g.text = lines(records, eol);
    return g;
}

QString shellQuoted(const QString& text)
{
    return '\'' + QString(text).replace('\'', QStringLiteral("'\\''")) + '\'';
}

} // namespace

void TestHex::generatedFilesMatchObjcopyAndSrecCat()
{
    const QString objcopy = QStandardPaths::findExecutable("objcopy");
    const QString srecCat = QStandardPaths::findExecutable("srec_cat");
    if (objcopy.isEmpty() || srecCat.isEmpty())
        QFAIL("objcopy (binutils) and srec_cat (srecord) are needed; scripts/deps installs them");

    QRandomGenerator rng(4711);
    const int batches = 8;
    const int perBatch = 50;
    int compared = 0;
    auto log = std::make_unique<LogCapture>(); // the status lines of the conversions are noise
    for (int batch = 0; batch < batches; ++batch) {
        // One shell runs both tools over a whole batch: far cheaper than a
        // process per file from a sanitizer build.
        std::vector<GeneratedHex> generated;
        QByteArray script = "set -e\n";
        for (int i = 0; i < perBatch; ++i) {
            generated.push_back(generateHex(rng));
            const GeneratedHex& g = generated.back();
            const QString path = writeHex(g.text, QString("gen-%1.hex").arg(i));
            const QString offset = g.flashAddresses ? QStringLiteral("-0x08000000") : QStringLiteral("0");
            script += QString("%1 -I ihex -O binary --gap-fill 0xFF %2 %2.objcopy\n"
                              "%3 %2 -Intel -offset %4 -fill 0xFF 0 %5 -o %2.srec -Binary 2>/dev/null\n")
                          .arg(shellQuoted(objcopy), shellQuoted(path), shellQuoted(srecCat), offset)
                          .arg(g.end)
                          .toUtf8();
        }
        QProcess shell;
        shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromUtf8(script)});
        QVERIFY(shell.waitForFinished(120000));
        QVERIFY2(shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0,
                 shell.readAllStandardError().constData());

        for (int i = 0; i < perBatch; ++i) {
            const GeneratedHex& g = generated[static_cast<size_t>(i)];
            const QString path = m_dir->filePath(QString("gen-%1.hex").arg(i));
            const Outcome o = convertPath(path, &m_bin);
            if (o.result != 1)
                QFAIL(qPrintable(QString("file %1: result %2\n%3").arg(path).arg(o.result).arg(QString(g.text))));
            QCOMPARE(static_cast<quint32>(o.image.size()), g.end);

            // objcopy's image starts at the lowest address that holds data.
            const QByteArray fromObjcopy = readFile(path + ".objcopy");
            const int lead = static_cast<int>(g.lowestOffset);
            if (o.image.left(lead) != QByteArray(lead, '\xFF') || o.image.mid(lead) != fromObjcopy)
                QFAIL(qPrintable(QString("%1 differs from objcopy (%2 vs %3 bytes from offset %4)")
                                     .arg(path)
                                     .arg(o.image.size() - lead)
                                     .arg(fromObjcopy.size())
                                     .arg(lead)));
            // srec_cat's, moved to the flash base and filled from there, is the whole image.
            if (o.image != readFile(path + ".srec"))
                QFAIL(qPrintable(QString("%1 differs from srec_cat").arg(path)));
            ++compared;
        }
    }
    log.reset();
    QCOMPARE(compared, batches * perBatch);
    qInfo("%d generated files matched objcopy and srec_cat", compared);
}

QTEST_GUILESS_MAIN(TestHex)
#include "test_hex.moc"
