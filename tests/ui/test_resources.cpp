// The compiled-in images: every path the window and its items use exists,
// has the size the layout was drawn for, is stored uncompressed and holds a
// real drawing.

#include "resources/TivakoResources.h"

#include <QColor>
#include <QDirIterator>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QResource>
#include <QtTest>

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { tivakoInitResources(); }

    void images_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        const QSize s32(32, 32);
        const QSize s16(16, 16);
        const QSize s8(8, 8);
        const struct
        {
            const char* path;
            QSize size;
        } rows[] = {
            {":/img/Rador2.png", QSize(118, 21)}, {":/img/Close_8.png", s8},          {":/img/Scan_1_32x32.png", s32},
            {":/img/Connect_32.png", s32},        {":/img/Delete_1_32x32.png", s32},  {":/img/Reset_32.png", s32},
            {":/img/Werkstueck_32.png", s32},     {":/img/Document_32x32.png", s32},  {":/img/DocClose_32.png", s32},
            {":/img/Update_32x32.png", s32},      {":/img/Connect_16.png", s16},      {":/img/Dot.png", QSize(11, 11)},
            {":/img/Close_8_blue.png", s8},       {":/img/Close_8_bluedark.png", s8}, {":/img/File_16.png", s16},
            {":/img/Scan_2_32x32.png", s32},      {":/img/quadrel32.png", s32},       {":/img/Import_32x32.png", s32},
            {":/img/Delete_2_32x32.png", s32},    {":/img/Disconnect_32.png", s32},
        };
        for (const auto& row : rows)
            QTest::newRow(row.path) << QString::fromLatin1(row.path) << row.size;
    }

    // Each image is a PNG of the listed size with a visible drawing in it: a
    // fair share of opaque pixels, and not all of one colour.
    void images()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        QImageReader reader(path);
        QCOMPARE(reader.format(), QByteArray("png"));
        const QImage image = reader.read().convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.size(), size);

        int opaque = 0;
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb p = image.pixel(x, y);
                if (qAlpha(p) >= 128) {
                    ++opaque;
                    colours.insert(p | 0xFF000000u);
                }
            }
        }
        const int pixels = size.width() * size.height();
        QVERIFY2(opaque * 10 >= pixels, qPrintable(QString("only %1 of %2 pixels drawn").arg(opaque).arg(pixels)));
        QVERIFY2(opaque < pixels || colours.size() > 1, "a single flat colour");
    }

    // The checked radio indicator is a dot in the accent colour, centred with
    // a transparent rim so it sits inside the indicator's border.
    void dotIsCentredAccent()
    {
        const QImage dot = QImage(":/img/Dot.png").convertToFormat(QImage::Format_ARGB32);
        const QColor centre = dot.pixelColor(5, 5);
        QCOMPARE(centre.alpha(), 255);
        QCOMPARE(centre.rgb(), QColor(0, 145, 220).rgb());
        for (const QPoint corner : {QPoint(0, 0), QPoint(10, 0), QPoint(0, 10), QPoint(10, 10)})
            QCOMPARE(dot.pixelColor(corner).alpha(), 0);
    }

    // The window icon holds the four sizes a desktop asks for; the image
    // plugin that reads .ico files is part of the installation.
    void windowIconHoldsFourSizes()
    {
        QVERIFY(QImageReader::supportedImageFormats().contains("ico"));
        QImageReader reader(":/img/VIRovozIvivevu.ico");
        QCOMPARE(reader.format(), QByteArray("ico"));
        QCOMPARE(reader.imageCount(), 4);
        QList<int> sizes;
        for (int i = 0; i < reader.imageCount(); ++i) {
            QVERIFY(reader.jumpToImage(i));
            const QImage image = reader.read();
            QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
            QCOMPARE(image.width(), image.height());
            // The tile's centre is opaque in every size.
            QCOMPARE(image.pixelColor(image.width() / 2, image.height() / 2).alpha(), 255);
            sizes << image.width();
        }
        std::sort(sizes.begin(), sizes.end());
        QCOMPARE(sizes, (QList<int>{16, 32, 48, 256}));

        const QIcon icon(":/img/VIRovozIvivevu.ico");
        for (int s : {16, 32, 48, 256})
            QVERIFY2(icon.availableSizes().contains(QSize(s, s)), qPrintable(QString::number(s)));
    }

    // Nothing under :/img or :/hex is compressed, so every image and the
    // firmware image can be mapped straight from the binary.
    void storedUncompressed()
    {
        int files = 0;
        for (const char* root : {":/img", ":/hex"}) {
            QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                const QResource resource(path);
                QVERIFY2(resource.isValid(), qPrintable(path));
                QVERIFY2(resource.compressionAlgorithm() == QResource::NoCompression, qPrintable(path));
                ++files;
            }
        }
        QVERIFY(files >= 21);
    }
};

QTEST_MAIN(TestResources)
#include "test_resources.moc"
