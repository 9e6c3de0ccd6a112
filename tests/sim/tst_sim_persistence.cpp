// The virtual board keeps its flash in a file across runs: written once
// changes have rested, at every reset, close and unplug, and at the end.

#include "tests/support/SimTestSupport.h"

#include <QDir>
#include <QFile>

namespace {

const uint8_t ACK = 0x79;

QString tempDir()
{
    const QString dir = testTempDir() + "/persistence";
    QDir().mkpath(dir);
    return dir;
}

// Erases and writes image through the bootloader, as a loader does.
void program(SimHost& host, const Bytes& image)
{
    QVERIFY(host.enterBootloader());
    QVERIFY(host.sync());
    COMPARE_BYTES(host.exchange(commandFrame(0x43)), Bytes{ACK});
    COMPARE_BYTES(host.exchange({0xFF, 0x00}), Bytes{ACK});
    for (size_t at = 0; at < image.size(); at += 256) {
        const size_t n = std::min<size_t>(256, image.size() - at);
        COMPARE_BYTES(host.exchange(commandFrame(0x31)), Bytes{ACK});
        COMPARE_BYTES(host.exchange(addressFrame(kSimFlashBase + uint32_t(at))), Bytes{ACK});
        COMPARE_BYTES(host.exchange(dataFrame(Bytes(image.begin() + long(at), image.begin() + long(at + n)))),
                      Bytes{ACK});
    }
}

Bytes padded(const Bytes& image)
{
    Bytes flash(kSimFlashSize, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return flash;
}

} // namespace

class TestSimPersistence : public QObject
{
    Q_OBJECT

    QString m_path;
    std::shared_ptr<ManualSimClock> m_clock;

    SimOptions options(int boards = 1)
    {
        SimOptions o = fastOptions(boards);
        o.flashPath = m_path.toStdString();
        m_clock = std::make_shared<ManualSimClock>();
        o.clock = m_clock;
        return o;
    }

private slots:
    void init()
    {
        m_path = tempDir() + "/" + QTest::currentTestFunction() + ".bin";
        QFile::remove(m_path);
        QFile::remove(m_path + ".VB0002");
    }

    void programmedFirmwareRunsAfterARestart()
    {
        const Bytes image = bootableImage(3000);
        {
            SimBridgeBackend backend(options());
            QVERIFY(!QFile::exists(m_path)); // nothing changed yet
            SimHost host(backend);
            QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
            program(host, image);
            // Back to the firmware: the reset writes the file.
            QVERIFY(host.enterFirmware());
            QVERIFY(fileBytes(m_path) == padded(image));
        }
        SimBridgeBackend again(options());
        QVERIFY(again.board(0)->flash() == padded(image));
        // Powered up with the latch at rest: the new firmware runs.
        QCOMPARE(again.board(0)->mode(), SimBoardMode::Firmware);
        SimHost host(again);
        QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host.enterFirmware());
        FrameReader reader;
        QCOMPARE(reader.feed(host.take()), std::string(QUADREL_TEXT_GREETING));
    }

    void changesAreWrittenWhenTheyRestAndAtTheEnd()
    {
        const Bytes image = bytesOf(randomBytes(512, 3));
        {
            SimBridgeBackend backend(options());
            SimHost host(backend);
            QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
            program(host, image);
            m_clock->advanceMs(500);
            backend.board(0)->mode();
            QVERIFY(!QFile::exists(m_path));
            m_clock->advanceMs(600);
            backend.board(0)->mode(); // any look at the board after a second of rest
            QVERIFY(fileBytes(m_path) == padded(image));

            // The next change, not yet rested, is written at the end.
            COMPARE_BYTES(host.exchange(commandFrame(0x43)), Bytes{ACK});
            COMPARE_BYTES(host.exchange(pageListFrame({0})), Bytes{ACK});
            QVERIFY(fileBytes(m_path) == padded(image));
        }
        QVERIFY(fileBytes(m_path) == Bytes(kSimFlashSize, 0xFF));
    }

    void closeAndUnplugWriteTheFile()
    {
        SimBridgeBackend backend(options(2));
        SimHost host(backend);
        QCOMPARE(host.open(1), BRIDGE_STATUS(SI_SUCCESS));
        program(host, bytesOf(randomBytes(256, 4)));
        QVERIFY(!QFile::exists(m_path + ".VB0002"));
        QCOMPARE(host.close(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(fileBytes(m_path + ".VB0002") == padded(bytesOf(randomBytes(256, 4))));
        QVERIFY(!QFile::exists(m_path)); // the first board did not change

        QCOMPARE(host.open(0), BRIDGE_STATUS(SI_SUCCESS));
        program(host, bytesOf(randomBytes(256, 5)));
        backend.unplug(0);
        QVERIFY(fileBytes(m_path) == padded(bytesOf(randomBytes(256, 5))));
    }

    void shortLongAndUnreadableFiles()
    {
        // Shorter than the flash: the rest is erased.
        QVERIFY(writeFile(m_path, QByteArray(100, 0x11)));
        {
            SimBridgeBackend backend(options());
            Bytes expected(kSimFlashSize, 0xFF);
            std::fill(expected.begin(), expected.begin() + 100, 0x11);
            QVERIFY(backend.board(0)->flash() == expected);
        }
        // Longer: cut to the flash, with an error line.
        QVERIFY(writeFile(m_path, QByteArray(kSimFlashSize + 10, 0x22)));
        {
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("larger than the flash"));
            SimBridgeBackend backend(options());
            QVERIFY(backend.board(0)->flash() == Bytes(kSimFlashSize, 0x22));
        }
        // A folder where the file should be: erased flash, an error line, and
        // saving fails without harm.
        QFile::remove(m_path);
        QVERIFY(QDir().mkpath(m_path));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot read|cannot open"));
        SimBridgeBackend backend(options());
        QVERIFY(backend.board(0)->flash() == Bytes(kSimFlashSize, 0xFF));
        backend.board(0)->setFlash(0, {1, 2, 3, 4});
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot"));
        QVERIFY(!backend.board(0)->saveFlash());
        QCOMPARE(int(backend.board(0)->flash()[3]), 4);
        backend.board(0)->eraseFlash();
        QVERIFY(QDir(m_path).removeRecursively());
        QVERIFY(backend.board(0)->saveFlash()); // the place is free again
        QVERIFY(fileBytes(m_path) == Bytes(kSimFlashSize, 0xFF));
    }

    void aMissingFolderIsReportedNotFatal()
    {
        SimOptions o = options();
        o.flashPath = (tempDir() + "/no/such/folder/flash.bin").toStdString();
        SimBridgeBackend backend(o);
        backend.board(0)->setFlash(0, {9});
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot create"));
        QVERIFY(!backend.board(0)->saveFlash());
        QCOMPARE(int(backend.board(0)->flash()[0]), 9);
    }
};

QTEST_GUILESS_MAIN(TestSimPersistence)
#include "tst_sim_persistence.moc"
