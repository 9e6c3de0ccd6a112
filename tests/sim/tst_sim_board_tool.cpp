// tivako-board on a pseudo-terminal, driven by a bootloader client nobody
// here wrote: Debian's stm32flash. The suite owns every process it starts
// and kills it, even when a check fails.

#include "tests/support/SimTestSupport.h"
#include "tests/support/Process.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char* kTool = TIVAKO_BINARY_DIR "/tools/tivako-board/tivako-board";

QString tempPath(const QString& name)
{
    const QString dir = testTempDir() + "/board-tool";
    QDir().mkpath(dir);
    return dir + "/" + name;
}

struct Run
{
    int exitCode = -1;
    bool finished = false;
    QString output;
    qint64 ms = 0;
};

Run runStm32flash(const QStringList& arguments, int timeoutMs = 120000)
{
    ProcessOptions options;
    options.timeoutMs = timeoutMs;
    options.mergeOutput = true;
    const ProcessRun run = runProcess(QStringLiteral("stm32flash"), arguments, options);
    return {run.exitCode, run.finished, QString::fromLocal8Bit(run.out), run.ms};
}

} // namespace

class TestSimBoardTool : public QObject
{
    Q_OBJECT

    QProcess m_board;
    QString m_pty;

    // Starts tivako-board and takes the slave path from its first line.
    bool startBoard(const QStringList& arguments, const QString& flashFile)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("TIVAKO_SIM_TIMING");
        env.remove("TIVAKO_SIM_OUTPUT");
        env.insert("TIVAKO_SIM_FLASH", flashFile);
        m_board.setProcessEnvironment(env);
        m_board.start(kTool, arguments);
        if (!m_board.waitForStarted(5000))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (!m_board.canReadLine() && timer.elapsed() < 5000)
            m_board.waitForReadyRead(100);
        m_pty = QString::fromLocal8Bit(m_board.readLine()).trimmed();
        return m_pty.startsWith("/dev/");
    }
    // SIGTERM and wait: the tool saves its flash on the way out.
    int stopBoard()
    {
        m_board.terminate();
        if (!m_board.waitForFinished(10000)) {
            m_board.kill();
            m_board.waitForFinished(5000);
            return -1;
        }
        return m_board.exitStatus() == QProcess::NormalExit ? m_board.exitCode() : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(kTool), kTool);
        QVERIFY2(!QStandardPaths::findExecutable("stm32flash").isEmpty(),
                 "stm32flash is not installed (scripts/deps installs it)");
    }
    void cleanup()
    {
        if (m_board.state() != QProcess::NotRunning) {
            m_board.kill();
            m_board.waitForFinished(5000);
        }
    }

    void stm32flashWritesAndVerifiesARandomImage()
    {
        const QString flash = tempPath("written.bin");
        const QString image = tempPath("random.bin");
        QFile::remove(flash);
        const Bytes random = bytesOf(randomBytes(kSimFlashSize, uint32_t(QDateTime::currentMSecsSinceEpoch())));
        QVERIFY(writeFile(image, fromBytes(random)));
        QVERIFY(startBoard({}, flash));

        Run write = runStm32flash({"-m", "8n1", "-b", "115200", "-w", image, "-v", m_pty});
        QVERIFY2(write.finished && write.exitCode == 0, qPrintable(write.output.right(2000)));
        QVERIFY(write.output.contains("Wrote and verified address 0x08020000"));

        // A second client on the same board: it finds the bootloader already
        // synchronised, as a chip that was not reset in between.
        Run info = runStm32flash({"-m", "8n1", m_pty});
        QVERIFY2(info.finished && info.exitCode == 0, qPrintable(info.output));
        QVERIFY2(info.output.contains("Device ID    : 0x0410"), qPrintable(info.output));
        QVERIFY(info.output.contains("Version      : 0x22"));

        QCOMPARE(stopBoard(), 0);
        QVERIFY(fileBytes(flash) == random);
    }

    void aFreshBoardReportsItsId()
    {
        const QString flash = tempPath("id.bin");
        QFile::remove(flash);
        QVERIFY(startBoard({}, flash));
        Run info = runStm32flash({"-m", "8n1", m_pty});
        QVERIFY2(info.finished && info.exitCode == 0, qPrintable(info.output));
        QVERIFY2(info.output.contains("Device ID    : 0x0410"), qPrintable(info.output));
        QCOMPARE(stopBoard(), 0);
        QVERIFY(!QFile::exists(flash)); // nothing changed, nothing written
    }

    void realtimePacesTheBytes()
    {
        // Reading 4 KB back takes at least its wire time: 4096 x 11 bits at 115200.
        const QString flash = tempPath("paced.bin");
        const Bytes content = bytesOf(randomBytes(kSimFlashSize, 99));
        QVERIFY(writeFile(flash, fromBytes(content)));
        QVERIFY(startBoard({"--realtime"}, flash));
        const QString out = tempPath("readback.bin");
        QFile::remove(out);
        Run read = runStm32flash({"-m", "8n1", "-b", "115200", "-r", out, "-S", "0x08000000:4096", m_pty});
        QVERIFY2(read.finished && read.exitCode == 0, qPrintable(read.output));
        QVERIFY2(read.ms >= 391, QByteArray::number(read.ms));
        QVERIFY(fileBytes(out) == Bytes(content.begin(), content.begin() + 4096));
        QCOMPARE(stopBoard(), 0);
    }

    void goStartsTheFirmwareOnTheTerminal()
    {
        const QString flash = tempPath("go.bin");
        Bytes image = bootableImage(kSimFlashSize);
        QVERIFY(writeFile(flash, fromBytes(image)));
        QVERIFY(startBoard({}, flash));
        Run go = runStm32flash({"-m", "8n1", "-g", "0x0", m_pty});
        QVERIFY2(go.finished && go.exitCode == 0, qPrintable(go.output));

        // The firmware talks on the terminal now: a status line within two seconds.
        int fd = ::open(m_pty.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        FrameReader reader;
        std::string text;
        QElapsedTimer timer;
        timer.start();
        bool sent = false;
        while (timer.elapsed() < 8000 && text.find("HardwareID set to Quadrel") == std::string::npos) {
            uint8_t buffer[512];
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                text += reader.feed(Bytes(buffer, buffer + n));
            if (!sent && text.find("Uptime") != std::string::npos) {
                sent = ::write(fd, "setHWqd\r", 8) == 8;
            }
            QThread::msleep(5);
        }
        ::close(fd);
        QVERIFY2(text.find("Uptime") != std::string::npos, text.c_str());
        QVERIFY2(text.find("HardwareID set to Quadrel") != std::string::npos, text.c_str());
        QCOMPARE(stopBoard(), 0);
    }

    void userModeAndBadArguments()
    {
        const QString flash = tempPath("user.bin");
        QVERIFY(writeFile(flash, fromBytes(bootableImage(1024))));
        QVERIFY(startBoard({"--user", "--output", "ascii"}, flash));
        int fd = ::open(m_pty.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        std::string text;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 6000 && text.find("Uptime") == std::string::npos) {
            char buffer[256];
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                text.append(buffer, size_t(n));
            QThread::msleep(5);
        }
        ::close(fd);
        QVERIFY2(text.find("Uptime 1 s") != std::string::npos, text.c_str());
        QCOMPARE(stopBoard(), 0);

        ProcessOptions options;
        options.timeoutMs = 5000;
        ProcessRun bad = runProcess(kTool, {"--bogus"}, options);
        QVERIFY(bad.finished);
        QCOMPARE(bad.exitCode, 2);
        QVERIFY(QString::fromLocal8Bit(bad.err).contains("usage"));
        options.env.insert("TIVAKO_SIM_TIMING", "sometimes");
        bad = runProcess(kTool, QStringList(), options);
        QVERIFY(bad.finished);
        QCOMPARE(bad.exitCode, 2);
        QVERIFY(QString::fromLocal8Bit(bad.err).contains("TIVAKO_SIM_TIMING"));
    }
};

QTEST_GUILESS_MAIN(TestSimBoardTool)
#include "tst_sim_board_tool.moc"
