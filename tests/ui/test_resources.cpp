// The compiled-in resources the program loads: every image path its sources
// name is there and decodes, and the built-in firmware converts to an image
// the chip can start from.

#include "resources/TivakoResources.h"

#include <QDirIterator>
#include <QImageReader>
#include <QRegularExpression>
#include <QResource>
#include <QSet>
#include <QtEndian>
#include <QtTest>

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { tivakoInitResources(); }

    // Read from the sources, so that a path added to the window, its form or
    // its style sheets is checked without a list here to keep up.
    void everyImageTheSourcesNameDecodes()
    {
        const QRegularExpression path(QStringLiteral(":/img/[A-Za-z0-9_.-]+\\.(png|ico)"));
        QSet<QString> paths;
        for (const char* folder : {"/app", "/ui"}) {
            QDirIterator it(QStringLiteral(TIVAKO_SOURCE_DIR) + QLatin1String(folder),
                            {"*.cpp", "*.h", "*.ui", "*.qss"}, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                QFile file(it.next());
                QVERIFY(file.open(QIODevice::ReadOnly));
                auto matches = path.globalMatch(QString::fromUtf8(file.readAll()));
                while (matches.hasNext())
                    paths.insert(matches.next().captured(0));
            }
        }
        QVERIFY2(paths.size() >= 10, qPrintable(QStringList(paths.values()).join(' ')));
        for (const QString& p : paths) {
            QImageReader reader(p);
            const QImage image = reader.read();
            QVERIFY2(!image.isNull(), qPrintable(p + ": " + reader.errorString()));
        }
    }

    // The firmware is mapped straight from the binary, and converts to a
    // flat image whose stack pointer lies in RAM and whose reset vector is
    // Thumb code inside the image.
    void builtInFirmwareIsBootable()
    {
        QCOMPARE(QResource(QStringLiteral(":/hex/RozazerEvu_1_0_54.hex")).compressionAlgorithm(),
                 QResource::NoCompression);
        const QByteArray image = tivakoBuiltInFirmwareImage();
        QVERIFY(image.size() >= 512);
        const quint32 sp = qFromLittleEndian<quint32>(image.constData());
        const quint32 reset = qFromLittleEndian<quint32>(image.constData() + 4);
        QVERIFY2(sp > 0x20000000u && sp <= 0x20002000u, qPrintable(QString::number(sp, 16)));
        QVERIFY2((reset & 1u) && reset > 0x08000000u && reset < 0x08000000u + quint32(image.size()),
                 qPrintable(QString::number(reset, 16)));
    }
};

QTEST_MAIN(TestResources)
#include "test_resources.moc"
