// The committed firmware image: its Intel HEX layout, its contents against two
// independent converters (binutils and the loader's own), its vector table,
// the copy compiled into the resources, and that it is what firmware/ builds.

#include "HexImage.h"
#include "tests/support/Process.h"
#include "tests/support/TestData.h"

#include "programming/HexConversion.h"
#include "resources/TivakoResources.h"

#include <QFile>
#include <QResource>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtEndian>
#include <QtTest>

namespace {

const QString kHexPath = QStringLiteral(TIVAKO_SOURCE_DIR "/resources/hex/RozazerEvu_1_0_54.hex");
constexpr quint32 kRamBase = 0x20000000u;
constexpr quint32 kRamTop = 0x20002000u; // 8 KB, the emulator's RAM

quint32 word(const QByteArray& image, int index)
{
    return qFromLittleEndian<quint32>(image.constData() + 4 * index);
}

} // namespace

class TestFirmwareImage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layoutIsStrict();
    void contentsMatchBinutils();
    void contentsMatchLoaderConversion();
    void vectorTableIsSane();
    void resourceHoldsTheImageUncompressed();
    void imageIsWhatTheSourcesBuild();

private:
    QByteArray m_text;
    HexImage m_image;
};

void TestFirmwareImage::initTestCase()
{
    m_text = readFile(kHexPath);
    QVERIFY2(!m_text.isEmpty(), qPrintable(kHexPath + QStringLiteral(" is missing or empty")));
    m_image = HexImage::parse(m_text);
}

void TestFirmwareImage::layoutIsStrict()
{
    QVERIFY2(m_image.error.isEmpty(), qPrintable(m_image.error));
    // Small, and every data record full but the last.
    QVERIFY(m_image.data.size() >= 512);
    QVERIFY2(m_image.data.size() <= 16 * 1024, qPrintable(QString::number(m_image.data.size())));
    QCOMPARE(m_image.dataRecords, (m_image.data.size() + 15) / 16);
    QCOMPARE(m_text.count('\n'), m_image.dataRecords + 3);
    QVERIFY(m_text.startsWith(":020000040800F2\r\n"));
    QVERIFY(m_text.endsWith("\r\n:00000001FF\r\n"));
}

void TestFirmwareImage::contentsMatchBinutils()
{
    QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    if (objcopy.isEmpty())
        objcopy = QStandardPaths::findExecutable(QStringLiteral("arm-none-eabi-objcopy"));
    QVERIFY2(!objcopy.isEmpty(), "objcopy (binutils) is needed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString bin = dir.filePath(QStringLiteral("image.bin"));
    ProcessOptions options;
    options.timeoutMs = 30000;
    const ProcessRun run = runProcess(
        objcopy, {QStringLiteral("-I"), QStringLiteral("ihex"), QStringLiteral("-O"), QStringLiteral("binary"), kHexPath, bin},
        options);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(readFile(bin), m_image.data);
}

void TestFirmwareImage::contentsMatchLoaderConversion()
{
    QFile hex(kHexPath);
    QTemporaryFile bin;
    QCOMPARE(int(convertHex2BinFile(&hex, &bin)), 1);
    QCOMPARE(bin.readAll(), m_image.data);
}

void TestFirmwareImage::vectorTableIsSane()
{
    const QByteArray& image = m_image.data;
    constexpr int kVectors = 16 + 43;
    QVERIFY(image.size() >= 4 * kVectors);
    const quint32 end = HexImage::kFlashBase + static_cast<quint32>(image.size());
    const auto isCodeAddress = [end](quint32 v) { return (v & 1u) && v > HexImage::kFlashBase && v < end; };

    const quint32 sp = word(image, 0);
    QVERIFY2(sp > kRamBase && sp <= kRamTop && sp % 8 == 0, qPrintable(QString::number(sp, 16)));
    const quint32 reset = word(image, 1);
    QVERIFY2(isCodeAddress(reset), qPrintable(QString::number(reset, 16)));
    QCOMPARE(m_image.startAddress, reset);

    for (int i = 2; i < kVectors; ++i) {
        const quint32 v = word(image, i);
        const bool reserved = (i >= 7 && i <= 10) || i == 13;
        if (reserved)
            QVERIFY2(v == 0, qPrintable(QStringLiteral("reserved vector %1").arg(i)));
        else
            QVERIFY2(isCodeAddress(v), qPrintable(QStringLiteral("vector %1 = 0x%2").arg(i).arg(v, 0, 16)));
    }
    // SysTick and USART1 have handlers of their own.
    const quint32 unexpected = word(image, 2);
    QVERIFY(word(image, 15) != unexpected);
    QVERIFY(word(image, 16 + 37) != unexpected);
}

void TestFirmwareImage::resourceHoldsTheImageUncompressed()
{
    tivakoInitResources();
    const QString path = QStringLiteral(":/hex/RozazerEvu_1_0_54.hex");
    QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    QCOMPARE(readFile(path), m_text);
}

void TestFirmwareImage::imageIsWhatTheSourcesBuild()
{
    if (QStandardPaths::findExecutable(QStringLiteral("arm-none-eabi-gcc")).isEmpty())
        QSKIP("no ARM cross compiler here; scripts/build-firmware --check runs in CI");
    ProcessOptions options;
    options.timeoutMs = 120000;
    options.mergeOutput = true;
    const ProcessRun run =
        runProcess(QStringLiteral(TIVAKO_SOURCE_DIR "/scripts/build-firmware"), {QStringLiteral("--check")}, options);
    QVERIFY2(run.exitCode == 0, run.out.constData());
}

QTEST_GUILESS_MAIN(TestFirmwareImage)
#include "tst_firmware_image.moc"
