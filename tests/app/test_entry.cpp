// The program as a whole: started offscreen, it shows its window and runs
// until told to stop; SIGTERM and SIGINT end its event loop normally, so the
// window is torn down and the exit code is the loop's. It writes nothing on
// stderr but its own log lines, and a virtual board's new flash file starts
// with the built-in firmware.

#include "resources/TivakoResources.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

namespace {

const char kStarted[] = "RidivuDizerozoDuveze::RidivuDizerozoDuveze: Start Programm";

// Starts the loader and waits until its window exists; *err gets what it
// wrote on stderr so far.
bool startLoader(QProcess& loader, QByteArray* errOut = nullptr)
{
    loader.setProgram(QStringLiteral(TIVAKO_LOADER_PATH));
    loader.setProcessChannelMode(QProcess::SeparateChannels);
    loader.start();
    if (!loader.waitForStarted(10000))
        return false;
    QByteArray scratch;
    QByteArray& err = errOut ? *errOut : scratch;
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

// Every stderr line is one of the program's own log lines.
QString foreignLine(const QByteArray& err)
{
    static const QRegularExpression logLine(
        QStringLiteral("^(STATUS\\[\x1b\\[32mZidiVevuro\x1b\\[0m\\]|\x1b\\[31mERROR\\[\x1b\\[32mZidiVevuro\x1b\\[31m\\])->"));
    for (const QByteArray& line : err.split('\n'))
        if (!line.isEmpty() && !logLine.match(QString::fromUtf8(line)).hasMatch())
            return QString::fromUtf8(line);
    return QString();
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

    // The run command's first start: the virtual board's flash file is new,
    // so it starts with the built-in firmware and runs at once; a second
    // start keeps the file as it is, erased or not. Nothing but log lines on
    // stderr either time.
    void firstRunBoardHasFirmware()
    {
        const QString flash = QString::fromLocal8Bit(qgetenv("TIVAKO_TEST_TMP")) + "/first-run-flash.bin";
        QFile::remove(flash);
        const QByteArray image = tivakoBuiltInFirmwareImage();
        QVERIFY(image.size() > 1024);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TIVAKO_BRIDGE", "sim");
        env.insert("TIVAKO_SIM_FLASH", flash);

        for (const QByteArray& expected : {image, QByteArray(64 * 1024, char(0xFF))}) {
            QProcess loader;
            loader.setProcessEnvironment(env);
            QByteArray err;
            QVERIFY2(startLoader(loader, &err), err.constData());
            QVERIFY(err.contains("flash read from " + flash.toUtf8()));
            // The start as a whole, window shown; what a sanitizer reports at
            // exit is not the program's.
            QVERIFY(!loader.waitForFinished(500));
            err += loader.readAllStandardError();
            QVERIFY2(foreignLine(err).isEmpty(), qPrintable(foreignLine(err)));
            QCOMPARE(::kill(pid_t(loader.processId()), SIGTERM), 0);
            QVERIFY(loader.waitForFinished(20000));
            QCOMPARE(loader.exitCode(), 0);
            QCOMPARE(fileBytes(flash).left(expected.size()), expected);
            // The second start finds a file erased by the user.
            QFile erased(flash);
            QVERIFY(erased.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(erased.write(QByteArray(64 * 1024, char(0xFF))) == 64 * 1024);
        }
    }
};

QTEST_GUILESS_MAIN(TestEntry)
#include "test_entry.moc"
