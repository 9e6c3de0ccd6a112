// The program as a whole: started offscreen, it shows its window and runs
// until told to stop; SIGTERM and SIGINT end its event loop normally, so the
// window is torn down and the exit code is the loop's.

#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {

const char kStarted[] = "RidivuDizerozoDuveze::RidivuDizerozoDuveze: Start Programm";

// Starts the loader and waits until its window exists.
bool startLoader(QProcess& loader)
{
    loader.setProgram(QStringLiteral(TIVAKO_LOADER_PATH));
    loader.setProcessChannelMode(QProcess::SeparateChannels);
    loader.start();
    if (!loader.waitForStarted(10000))
        return false;
    QByteArray err;
    QElapsedTimer clock;
    clock.start();
    while (!err.contains(kStarted) && clock.elapsed() < 30000) {
        if (loader.state() != QProcess::Running)
            return false;
        loader.waitForReadyRead(200);
        err += loader.readAllStandardError();
    }
    return err.contains(kStarted);
}

} // namespace

class TestEntry : public QObject
{
    Q_OBJECT

private slots:
    void stopSignals_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    // Either signal ends the program normally with exit code 0, not by the
    // signal's default action.
    void stopSignals()
    {
        QFETCH(int, signalNumber);
        QProcess loader;
        QVERIFY2(startLoader(loader), loader.readAllStandardError().constData());
        // The loop keeps running until the signal arrives.
        QVERIFY(!loader.waitForFinished(300));
        QCOMPARE(::kill(pid_t(loader.processId()), signalNumber), 0);
        QVERIFY(loader.waitForFinished(20000));
        QCOMPARE(loader.exitStatus(), QProcess::NormalExit);
        QCOMPARE(loader.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestEntry)
#include "test_entry.moc"
