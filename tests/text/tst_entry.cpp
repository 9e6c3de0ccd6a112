// The loader as a whole: SIGTERM and SIGINT end its event loop normally (exit
// code 0, window torn down). A virtual board's new flash file starts with the
// built-in firmware, an existing one is kept. Nothing but log lines on stderr.

#include "resources/TivakoResources.h"
#include "tests/support/TestData.h"

#include <QProcess>
#include <QtTest>

#include <csignal>

class TestEntry : public QObject
{
    Q_OBJECT

private slots:
    void stopSignals_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<bool>("flashExists");
        QTest::newRow("SIGTERM, new flash file") << int(SIGTERM) << false;
        QTest::newRow("SIGINT, erased flash file kept") << int(SIGINT) << true;
    }

    void stopSignals()
    {
        QFETCH(int, signalNumber);
        QFETCH(bool, flashExists);
        const QString flash = qEnvironmentVariable("TIVAKO_TEST_TMP") + "/entry-flash.bin";
        const QByteArray erased(64 * 1024, '\xFF');
        QFile::remove(flash);
        if (flashExists)
            QVERIFY(writeFile(flash, erased));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TIVAKO_BRIDGE", "sim");
        env.insert("TIVAKO_SIM_FLASH", flash);

        QProcess loader;
        loader.setProcessEnvironment(env);
        loader.start(QStringLiteral(TIVAKO_LOADER_PATH), QStringList());
        QVERIFY(loader.waitForStarted(10000));
        QByteArray err;
        const QByteArray started = "RidivuDizerozoDuveze::RidivuDizerozoDuveze: Start Programm";
        QElapsedTimer clock;
        clock.start();
        while (!err.contains(started) && loader.state() == QProcess::Running && clock.elapsed() < 30000) {
            loader.waitForReadyRead(200);
            err += loader.readAllStandardError();
        }
        QVERIFY2(err.contains(started), err.constData());
        // The loop keeps running until the signal arrives. What a sanitizer
        // reports at exit is not the program's: stderr is judged before it.
        QVERIFY(!loader.waitForFinished(500));
        err += loader.readAllStandardError();
        for (const QByteArray& line : err.split('\n'))
            QVERIFY2(line.isEmpty() || line.startsWith("STATUS[\x1b[32mZidiVevuro\x1b[0m]->") ||
                         line.startsWith("\x1b[31mERROR[\x1b[32mZidiVevuro\x1b[31m]->"),
                     line.constData());
        QCOMPARE(::kill(pid_t(loader.processId()), signalNumber), 0);
        QVERIFY(loader.waitForFinished(20000));
        QCOMPARE(loader.exitStatus(), QProcess::NormalExit);
        QCOMPARE(loader.exitCode(), 0);
        const QByteArray expected = flashExists ? erased : tivakoBuiltInFirmwareImage();
        QVERIFY(expected.size() > 1024);
        QCOMPARE(readFile(flash).left(expected.size()), expected);
    }
};

QTEST_GUILESS_MAIN(TestEntry)
#include "tst_entry.moc"
