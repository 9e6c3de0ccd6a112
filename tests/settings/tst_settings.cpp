// The settings store on real files, each test in its own application-data folder.

#include "resources/TivakoResources.h"
#include "settings/KX_XML_Settings.h"
#include "tests/support/TestData.h"

#include <QtTest>

#include <unistd.h>

namespace {

QByteArray document(const QByteArray& path, const QByteArray& name, int mode)
{
    return "<?xml version=\"1.0\"?>\n<Settings>\n    <SettingsPathHexFile>" + path +
           "</SettingsPathHexFile>\n    <SettingsUsbDevName>" + name + "</SettingsUsbDevName>\n"
           "    <SettingsDebugComMode> " + QByteArray::number(mode) + "</SettingsDebugComMode>\n</Settings>\n";
}

QByteArray mode(const char* text)
{
    return QByteArray("<Settings><SettingsDebugComMode>") + text + "</SettingsDebugComMode></Settings>";
}

QByteArray resourceImage()
{
    tivakoInitResources();
    return readFile(QStringLiteral(":/hex/RozazerEvu_1_0_54.hex"));
}

// A private application-data root; with content given, the store's folder and file exist.
struct DataHome
{
    QTemporaryDir dir;
    QString folder = dir.path() + "/share/" + QCoreApplication::applicationName();
    QString file = folder + "/Settings.xml";
    QString copy = folder + "/firmware/RozazerEvu_1_0_54.hex";
    explicit DataHome(const QByteArray* settings = nullptr)
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path() + "/share"));
        if (settings && !(QDir().mkpath(folder + "/firmware") && writeFile(file, *settings)))
            qFatal("cannot prepare %s", qPrintable(folder));
    }
};

} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT

private slots:
    // From a first start on a fresh account (folders missing) to the next, where no temporary
    // file can be made beside Settings.xml: it is rewritten in place. Root may write anywhere,
    // so that start runs as another user (nobody).
    void valuesRoundTrip()
    {
        DataHome home;
        const QString path = QString::fromUtf8("/home/j\xc3\xbcrgen/\xce\xa9mega \xe5\x9b\xba.hex");
        const QString name = QStringLiteral("CP2102 <Bridge> & \"Controller\" 0001");
        {
            KX_XML_Settings store;
            QCOMPARE(readFile(store.getPathQuadrelHexFile()), resourceImage());
            store.setPathHexFile(path);
            store.setUsbDevName(name);
            store.setDebugComMode(1);
        }
        for (QString f = home.file; geteuid() == 0 && f.size() >= home.dir.path().size(); f = QFileInfo(f).path())
            QCOMPARE(::chown(QFile::encodeName(f).constData(), 65534, 65534), 0);
        QVERIFY(QFile::setPermissions(home.folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QVERIFY(geteuid() != 0 || ::seteuid(65534) == 0);
        {
            KX_XML_Settings store;
            QCOMPARE(store.getPathHexFile(), path);
            QCOMPARE(store.getUsbDevName(), name);
            store.setUsbDevName(QString());
        }
        QVERIFY(getuid() != 0 || ::seteuid(0) == 0);
        QFile::setPermissions(home.folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(readFile(home.file), document(path.toUtf8(), "", 1));
    }

    // What is read from a file, told by the whole document written back for it.
    void fileIsRead_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray none = document("", "", 0);
        QTest::newRow("mode spaced") << mode("\n\t 7 \n") << document("", "", 7);
        QTest::newRow("mode word") << mode("TLV") << none;
        QTest::newRow("mode and text") << mode(" 1x") << none;
        QTest::newRow("depth, later wins, unknown element ends the settings")
            << QByteArray("<R><Settings><SettingsPathHexFile>/1</SettingsPathHexFile><SettingsPathHexFile>/2"
                          "</SettingsPathHexFile><C/><SettingsDebugComMode>1</SettingsDebugComMode></Settings>"
                          "<Settings><SettingsUsbDevName>D</SettingsUsbDevName></Settings></R>")
            << document("/2", "D", 0);
        QTest::newRow("cut off") << QByteArray("<Settings><SettingsPathHexFile>/p</SettingsPathHexFile><Settings")
                                 << document("/p", "", 0);
        QTest::newRow("element in a key") << QByteArray("<Settings><SettingsUsbDevName>D<b/></SettingsUsbDevName>"
                                                        "<SettingsDebugComMode>1</SettingsDebugComMode></Settings>")
                                          << none;
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe<Settings>\x01", 14) << none;
        QTest::newRow("bad UTF-8") << QByteArray("<Settings><SettingsUsbDevName>D</SettingsUsbDevName>"
                                                 "<SettingsPathHexFile>\xff</SettingsPathHexFile></Settings>") << none;
        QTest::newRow("longer old file") << document(QByteArray(3000, 'p'), "n", 1) + "<!-- more -->\n"
                                         << document(QByteArray(3000, 'p'), "n", 1);
    }

    void fileIsRead()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, expected);
        DataHome home(&content);
        delete new KX_XML_Settings;
        QCOMPARE(readFile(home.file), expected);
    }

    // Only an empty copy is made again, anything else may be the user's own image; a link where
    // the copy belongs is never written through, and nothing is made below a data root that is a file.
    void firmwareCopyRepairedOnlyWhenEmpty()
    {
        const QByteArray own = ":00000001FF\r\n";
        DataHome home(&own);
        for (const QByteArray& content : {QByteArray(), own}) {
            QVERIFY(writeFile(home.copy, content));
            delete new KX_XML_Settings;
            QCOMPARE(readFile(home.copy), content.isEmpty() ? resourceImage() : own);
        }
        const QString target = home.dir.filePath("elsewhere.hex");
        QVERIFY(QFile::remove(home.copy) && QFile::link(target, home.copy));
        delete new KX_XML_Settings;
        QVERIFY(!QFileInfo::exists(target));
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.file));
        KX_XML_Settings().writeXMLFile();
        QCOMPARE(readFile(home.file), document("", "", 0));
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
