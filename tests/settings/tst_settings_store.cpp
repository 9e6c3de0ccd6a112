// The settings store on real files: each test points the application-data
// folder into its own temporary folder.

#include "resources/TivakoResources.h"
#include "settings/KX_XML_Settings.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestData.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const char kCtor[] = "KX_XML_Settings::KX_XML_Settings";
const char kRead[] = "KX_XML_Settings::readXMLFile";
const char kWrite[] = "KX_XML_Settings::writeXMLFile";
const char kDtor[] = "KX_XML_Settings::~KX_XML_Settings";
const char kHexName[] = "RozazerEvu_1_0_54.hex";

QByteArray document(const QByteArray& path, const QByteArray& name, int mode)
{
    auto element = [](const char* tag, const QByteArray& text) {
        return QByteArray("    <") + tag + ">" + text + "</" + tag + ">\n";
    };
    return QByteArray("<?xml version=\"1.0\"?>\n<Settings>\n") + element("SettingsPathHexFile", path) +
           element("SettingsUsbDevName", name) + element("SettingsDebugComMode", " " + QByteArray::number(mode)) +
           "</Settings>\n";
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

QByteArray resourceImage()
{
    tivakoInitResources();
    return readAll(QStringLiteral(":/hex/") + QLatin1String(kHexName));
}

// A private application-data root; the store's folder is the application's
// name below it.
class DataHome
{
public:
    explicit DataHome(const QString& below = QStringLiteral("share"))
    {
        m_Root = m_Dir.path() + QLatin1Char('/') + below;
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_Root));
    }
    QString root() const { return m_Root; }
    QString folder() const { return m_Root + QLatin1Char('/') + QCoreApplication::applicationName(); }
    QString settingsFile() const { return folder() + QStringLiteral("/Settings.xml"); }
    QString firmwareCopy() const { return folder() + QStringLiteral("/firmware/") + QLatin1String(kHexName); }
    bool prepare(const QByteArray& settings)
    {
        return QDir().mkpath(folder() + QStringLiteral("/firmware")) && writeFile(settingsFile(), settings) &&
               writeFile(firmwareCopy(), resourceImage());
    }

private:
    QTemporaryDir m_Dir;
    QString m_Root;
};

} // namespace

class SettingsStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LogCapture::install();
        QVERIFY2(resourceImage().size() > 1000, "the built-in firmware image is missing");
    }
    void cleanupTestCase() { LogCapture::uninstall(); }
    void init() { LogCapture::clear(); }

    void firstStartCreatesFolderFileAndFirmwareCopy()
    {
        DataHome home(QStringLiteral("fresh/account/.local/share")); // parents missing too
        QVERIFY(!QFileInfo::exists(home.root()));
        auto store = std::make_unique<KX_XML_Settings>();

        QVERIFY(QFileInfo(home.folder()).isDir());
        QVERIFY(QFileInfo(home.settingsFile()).isFile());
        QCOMPARE(QFileInfo(home.settingsFile()).size(), qint64(0));
        QVERIFY(QFileInfo(home.folder() + QStringLiteral("/firmware")).isDir());
        QCOMPARE(store->getPathQuadrelHexFile(), home.firmwareCopy());
        QCOMPARE(readAll(home.firmwareCopy()), resourceImage());
        QCOMPARE(store->getPathHexFile(), QString());
        QCOMPARE(store->getUsbDevName(), QString());

        QCOMPARE(
            LogCapture::linesOf(kCtor),
            QStringList() << statusLine(kCtor, QStringLiteral("create Folder \"%1\"").arg(home.folder()))
                          << statusLine(kCtor,
                                                    QStringLiteral("create Folder \"%1/firmware\"").arg(home.folder()))
                          << errorLine(kCtor, "Quadrel HexFile not exist")
                          << statusLine(kCtor, "Create New Quadrel Hex File"));
        QVERIFY(LogCapture::linesOf(kRead).isEmpty());

        store.reset();
        QCOMPARE(readAll(home.settingsFile()), document("", "", 0));
        QCOMPARE(LogCapture::linesOf(kWrite), QStringList() << statusLine(kWrite, "Write Content"));
        QCOMPARE(LogCapture::linesOf(kDtor), QStringList() << statusLine(kDtor, "Close File"));

        // The next start finds everything in place.
        LogCapture::clear();
        store = std::make_unique<KX_XML_Settings>();
        QCOMPARE(LogCapture::linesOf(kCtor), QStringList());
        QCOMPARE(LogCapture::linesOf(kRead), QStringList()
                                           << statusLine(kRead, "SE: SettingsPathHexFile->\"\"")
                                           << statusLine(kRead, "SE: SettingsUsbDevName->\"\"")
                                           << statusLine(kRead, "SE: SettingsDebugComMode->\" 0\""));
    }

    void valuesSurviveARestartAndReachDiskOnlyAtTheEnd()
    {
        DataHome home;
        QVERIFY(home.prepare(QByteArray()));
        const QString path =
            QString::fromUtf8("/home/j\xc3\xbcrgen/Firmware/\xce\xa9mega \xe5\x9b\xba\xe4\xbb\xb6.hex");
        const QString name = QStringLiteral("CP2102 USB to UART <Bridge> & \"Controller\" 0001");
        {
            KX_XML_Settings store;
            store.setPathHexFile(path);
            store.setUsbDevName(name);
            store.setDebugComMode(1);
            QCOMPARE(store.getPathHexFile(), path);
            QCOMPARE(store.getUsbDevName(), name);
            QCOMPARE(QFileInfo(home.settingsFile()).size(), qint64(0)); // nothing written yet
        }
        const QByteArray written = readAll(home.settingsFile());
        QVERIFY2(written.contains(path.toUtf8()), written.constData()); // UTF-8 on disk
        QVERIFY(written.contains("<SettingsDebugComMode> 1</SettingsDebugComMode>"));

        LogCapture::clear();
        {
            KX_XML_Settings store;
            QCOMPARE(store.getPathHexFile(), path);
            QCOMPARE(store.getUsbDevName(), name);
            QVERIFY(LogCapture::has(statusLine(kRead, "SE: SettingsDebugComMode->\" 1\"")));
            QVERIFY(LogCapture::has(statusLine(kRead, QStringLiteral("SE: SettingsPathHexFile->\"%1\"").arg(path))));
        }
        // Read and written back unchanged.
        QCOMPARE(readAll(home.settingsFile()), written);
    }

    void modeText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("mode");
        QTest::newRow("as written") << QByteArray(" 1") << 1;
        QTest::newRow("bare") << QByteArray("1") << 1;
        QTest::newRow("white space") << QByteArray("\n\t 7 \n") << 7;
        QTest::newRow("not a number") << QByteArray("TLV") << 0;
        QTest::newRow("negative") << QByteArray(" -1") << 0;
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("number then text") << QByteArray(" 1x") << 0;
    }

    void modeText()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, mode);
        DataHome home;
        QVERIFY(home.prepare("<Settings><SettingsDebugComMode>" + text + "</SettingsDebugComMode></Settings>"));
        {
            KX_XML_Settings store;
        }
        QCOMPARE(LogCapture::linesOf(kRead), QStringList() << statusLine(
                                           kRead, QStringLiteral("SE: SettingsDebugComMode->\" %1\"").arg(mode)));
        QCOMPARE(readAll(home.settingsFile()), document("", "", mode));
    }

    void keysInAnyOrderAndAtAnyDepth()
    {
        DataHome home;
        QVERIFY(home.prepare("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Root><Other a=\"1\">"
                             "<Settings><!-- note --><SettingsDebugComMode> 1</SettingsDebugComMode>"
                             "<SettingsUsbDevName>Dev A</SettingsUsbDevName>"
                             "<SettingsPathHexFile>/first.hex</SettingsPathHexFile>"
                             "<SettingsPathHexFile>/second.hex</SettingsPathHexFile>"
                             "</Settings></Other></Root>"));
        {
            KX_XML_Settings store;
            QCOMPARE(store.getPathHexFile(), QStringLiteral("/second.hex")); // the later one wins
            QCOMPARE(store.getUsbDevName(), QStringLiteral("Dev A"));
        }
        QCOMPARE(readAll(home.settingsFile()), document("/second.hex", "Dev A", 1));
    }

    void unknownElementEndsTheSettings()
    {
        DataHome home;
        QVERIFY(home.prepare("<Root><Settings><SettingsPathHexFile>/p.hex</SettingsPathHexFile>"
                             "<Colour>blue</Colour>"
                             "<SettingsDebugComMode> 1</SettingsDebugComMode>"
                             "<SettingsUsbDevName>late</SettingsUsbDevName></Settings>"
                             "<Settings><SettingsUsbDevName>second block</SettingsUsbDevName></Settings></Root>"));
        {
            KX_XML_Settings store;
            QCOMPARE(store.getPathHexFile(), QStringLiteral("/p.hex"));
            // Keys after the unknown element are not read, a later Settings
            // element is.
            QCOMPARE(store.getUsbDevName(), QStringLiteral("second block"));
        }
        QCOMPARE(readAll(home.settingsFile()), document("/p.hex", "second block", 0));
    }

    void malformedDocumentKeepsWhatWasRead_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("mode");
        QTest::newRow("cut off") << QByteArray("<Settings><SettingsDebugComMode> 1</SettingsDebugComMode>"
                                               "<SettingsPathHexFile>/p.hex</SettingsPathHexFile>"
                                               "<SettingsUsbDevName>Dev")
                                 << "/p.hex"
                                 << "" << 1;
        QTest::newRow("element inside a key")
            << QByteArray("<Settings><SettingsPathHexFile>/p.hex</SettingsPathHexFile>"
                          "<SettingsUsbDevName>D<b>e</b>v</SettingsUsbDevName>"
                          "<SettingsDebugComMode> 1</SettingsDebugComMode></Settings>")
            << "/p.hex"
            << "" << 0;
        QTest::newRow("wrong end tag") << QByteArray("<Settings><SettingsUsbDevName>Dev</SettingsUsbDevName>"
                                                     "<SettingsPathHexFile>/p.hex</Wrong>"
                                                     "<SettingsDebugComMode> 1</SettingsDebugComMode></Settings>")
                                       << ""
                                       << "Dev" << 0;
        QTest::newRow("not XML") << QByteArray("SettingsPathHexFile=/p.hex\n") << ""
                                 << "" << 0;
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe<Settings>\x01", 14) << ""
                                << "" << 0;
        // The reader rejects wrongly encoded text before it hands out any of
        // the document.
        QTest::newRow("bad UTF-8") << QByteArray("<Settings><SettingsUsbDevName>Dev</SettingsUsbDevName>"
                                                 "<SettingsPathHexFile>/p\xff\xfe.hex</SettingsPathHexFile>"
                                                 "</Settings>")
                                   << ""
                                   << "" << 0;
        QTest::newRow("text after the root") << QByteArray("<Settings><SettingsUsbDevName>Dev</SettingsUsbDevName>"
                                                           "</Settings>junk<x>")
                                             << ""
                                             << "Dev" << 0;
    }

    void malformedDocumentKeepsWhatWasRead()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(int, mode);
        DataHome home;
        QVERIFY(home.prepare(content));
        {
            KX_XML_Settings store;
            QCOMPARE(store.getPathHexFile(), path);
            QCOMPARE(store.getUsbDevName(), name);
        }
        // The rewritten file is a whole document again.
        QCOMPARE(readAll(home.settingsFile()), document(path.toUtf8(), name.toUtf8(), mode));
    }

    void shorterDocumentLeavesNoRemnant()
    {
        DataHome home;
        QVERIFY(home.prepare(document(QByteArray(3000, 'p'), QByteArray(500, 'n'), 1) + "<!-- trailing -->\n"));
        {
            KX_XML_Settings store;
            store.setPathHexFile(QString());
            store.setUsbDevName(QStringLiteral("d"));
        }
        QCOMPARE(readAll(home.settingsFile()), document("", "d", 1));
    }

    void rewriteReplacesTheFileWhole()
    {
        DataHome home;
        const QByteArray old = document("/old.hex", "old device", 0);
        QVERIFY(home.prepare(old));

        // A reader that opened the file before sees the old document in full:
        // the new one was written separately and put in its place.
        QFile earlier(home.settingsFile());
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        {
            KX_XML_Settings store;
            store.setPathHexFile(QStringLiteral("/new.hex"));
        }
        QCOMPARE(earlier.readAll(), old);
        QCOMPARE(readAll(home.settingsFile()), document("/new.hex", "old device", 0));
        // The folder holds no temporary remains.
        QCOMPARE(QDir(home.folder()).entryList(QDir::Files), QStringList() << QStringLiteral("Settings.xml"));
    }

    void fullDiskDuringWriteKeepsTheOldFile()
    {
        DataHome home;
        const QByteArray old = document("/old.hex", "", 0);
        QVERIFY(home.prepare(old));
        auto store = std::make_unique<KX_XML_Settings>();
        store->setPathHexFile(QString(400, QLatin1Char('x')));

        // No file may grow beyond 64 bytes while the store writes.
        rlimit saved;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved;
        small.rlim_cur = 64;
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        store.reset();
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);

        QCOMPARE(readAll(home.settingsFile()), old);
        const QStringList lines = LogCapture::linesOf(kWrite);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(1).contains(QStringLiteral("Unable to write settings file")), qPrintable(lines.at(1)));
        QCOMPARE(QDir(home.folder()).entryList(QDir::Files), QStringList() << QStringLiteral("Settings.xml"));
    }

    void readOnlyFolderWithWritableFile()
    {
        // No temporary file can be made beside Settings.xml: the file itself
        // is rewritten in place. Root may write anywhere, so the store runs
        // as another user then.
        QTemporaryDir base(QDir::tempPath() + QStringLiteral("/settings-ro-XXXXXX"));
        QVERIFY(base.isValid());
        const QString root = base.path() + QStringLiteral("/share");
        qputenv("XDG_DATA_HOME", QFile::encodeName(root));
        const QString folder = root + QLatin1Char('/') + QCoreApplication::applicationName();
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/firmware")));
        QVERIFY(writeFile(folder + QStringLiteral("/Settings.xml"), document("/old.hex", "", 0)));
        QVERIFY(writeFile(folder + QStringLiteral("/firmware/") + QLatin1String(kHexName), resourceImage()));
        const uid_t nobody = 65534;
        if (geteuid() == 0) {
            for (const QString& path : {base.path(), root, folder, folder + QStringLiteral("/Settings.xml")})
                QCOMPARE(::chown(QFile::encodeName(path).constData(), nobody, nobody), 0);
            QVERIFY(QFile::setPermissions(base.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                            QFileDevice::ExeOwner | QFileDevice::ExeOther));
        }
        QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const bool dropped = geteuid() == 0;
        if (dropped)
            QCOMPARE(::seteuid(nobody), 0);
        {
            KX_XML_Settings store;
            store.setPathHexFile(QStringLiteral("/new.hex"));
        }
        if (dropped)
            QCOMPARE(::seteuid(0), 0);
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(readAll(folder + QStringLiteral("/Settings.xml")), document("/new.hex", "", 0));
        QCOMPARE(LogCapture::linesOf(kWrite), QStringList() << statusLine(kWrite, "Write Content"));
    }

    void folderThatCannotBeUsed()
    {
        // The data root is a plain file: nothing can be created below it.
        QTemporaryDir dir;
        const QString blocker = dir.filePath(QStringLiteral("share"));
        QVERIFY(writeFile(blocker, "not a folder"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(blocker));
        const QString folder = blocker + QLatin1Char('/') + QCoreApplication::applicationName();
        {
            KX_XML_Settings store;
            QCOMPARE(store.getPathHexFile(), QString());
            store.setPathHexFile(QStringLiteral("/lost.hex"));
        }
        QCOMPARE(
            LogCapture::linesOf(kCtor),
            QStringList() << statusLine(kCtor, QStringLiteral("create Folder \"%1\"").arg(folder))
                          << errorLine(kCtor, "Unable to open settings file")
                          << statusLine(kCtor, QStringLiteral("create Folder \"%1/firmware\"").arg(folder))
                          << errorLine(kCtor, "Quadrel HexFile not exist")
                          << errorLine(kCtor, "Unable to open Quadrel hex file"));
        QCOMPARE(LogCapture::linesOf(kRead), QStringList() << errorLine(kRead, "File not open!"));
        QVERIFY(LogCapture::linesOf(kWrite).isEmpty()); // nothing written at the end
        QVERIFY(LogCapture::linesOf(kDtor).isEmpty());
        QCOMPARE(readAll(blocker), QByteArray("not a folder"));
    }

    void settingsFileThatCannotBeOpened()
    {
        DataHome home;
        QVERIFY(QDir().mkpath(home.settingsFile())); // a folder where the file should be
        {
            KX_XML_Settings store;
            QVERIFY(LogCapture::has(errorLine(kCtor, "Unable to open settings file")));
            QVERIFY(LogCapture::has(errorLine(kRead, "File not open!")));
        }
        QVERIFY(QFileInfo(home.settingsFile()).isDir());
        QCOMPARE(readAll(home.firmwareCopy()), resourceImage()); // the rest still works

        if (geteuid() == 0)
            return; // permissions do not stop root
        DataHome locked;
        QVERIFY(locked.prepare(document("/kept.hex", "", 0)));
        QVERIFY(QFile::setPermissions(locked.settingsFile(), QFileDevice::ReadOwner));
        LogCapture::clear();
        {
            KX_XML_Settings store;
            QVERIFY(LogCapture::has(errorLine(kCtor, "Unable to open settings file")));
        }
        QCOMPARE(readAll(locked.settingsFile()), document("/kept.hex", "", 0));
    }

    void firmwareCopyIsRepairedOnlyWhenEmpty()
    {
        DataHome home;
        QVERIFY(home.prepare(QByteArray()));
        QVERIFY(writeFile(home.firmwareCopy(), QByteArray()));
        {
            KX_XML_Settings store;
        }
        QVERIFY(LogCapture::has(errorLine(kCtor, "Quadrel HexFile not exist")));
        QVERIFY(LogCapture::has(statusLine(kCtor, "Create New Quadrel Hex File")));
        QCOMPARE(readAll(home.firmwareCopy()), resourceImage());

        // Anything else there is the user's and stays.
        const QByteArray own = ":020000040800F2\r\n:00000001FF\r\n";
        QVERIFY(writeFile(home.firmwareCopy(), own));
        LogCapture::clear();
        {
            KX_XML_Settings store;
        }
        QCOMPARE(readAll(home.firmwareCopy()), own);
        QVERIFY(LogCapture::linesOf(kCtor).isEmpty());

        // A link where the copy belongs is never written through: a dangling
        // one used to create the file it names.
        const QString target = home.root() + QStringLiteral("/elsewhere.hex");
        QVERIFY(QFile::remove(home.firmwareCopy()));
        QVERIFY(QFile::link(target, home.firmwareCopy()));
        LogCapture::clear();
        {
            KX_XML_Settings store;
        }
        QVERIFY(!QFileInfo::exists(target));
        QVERIFY(QFileInfo(home.firmwareCopy()).isSymLink());
        QVERIFY(LogCapture::has(errorLine(kCtor, "Unable to open Quadrel hex file")));
        QVERIFY(!LogCapture::has(statusLine(kCtor, "Create New Quadrel Hex File")));
    }
};

QTEST_GUILESS_MAIN(SettingsStoreTest)
#include "tst_settings_store.moc"
