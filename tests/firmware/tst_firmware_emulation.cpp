// Boots the committed firmware image on QEMU's STM32 board and talks to it
// over USART1 like the loader does: the frames must decode (with the loader's
// own decoder, and cleanly with a strict one) to the greeting and status
// lines, and the hardware-identity command must be confirmed and then show up
// in the next status line.

#include "FrameCheck.h"
#include "tests/support/TlvFeeder.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>
#include <signal.h>
#include <sys/types.h>

namespace {

const QString kHexPath = QStringLiteral(TIVAKO_SOURCE_DIR "/resources/hex/RozazerEvu_1_0_54.hex");
constexpr int kDeadlineMs = 20000;
// Should the test itself be killed, QEMU still goes away after this long.
constexpr int kEmulatorLifetimeS = 60;

const QByteArray kGreeting("\x1b[32mRozazerEvu firmware 1.0.54 ready\x1b[0m");
const QByteArray kConfirmation("\x1b[34mHardwareID set to Quadrel\x1b[0m");
const QByteArray kUnknown("\x1b[31mUnknown command\x1b[0m");
const QRegularExpression kStatus(QStringLiteral("^Uptime (\\d+) s(, HardwareID Quadrel)?$"));

// One emulated board. The destructor always ends QEMU, whatever happened.
class Emulator
{
public:
    ~Emulator() { stop(); }

    QString start()
    {
        const QString qemu = QStandardPaths::findExecutable(QStringLiteral("qemu-system-arm"));
        if (qemu.isEmpty())
            return QStringLiteral("qemu-system-arm is not installed (scripts/deps installs it)");
        if (!m_dir.isValid() || !m_server.listen(QHostAddress::LocalHost, 0))
            return QStringLiteral("no temporary folder or local port");
        m_pidFile = m_dir.filePath(QStringLiteral("qemu.pid"));

        // USART1 is the machine's first serial port; QEMU connects to us.
        QStringList args{QStringLiteral("-M"),
                         QStringLiteral("stm32vldiscovery"),
                         QStringLiteral("-nographic"),
                         QStringLiteral("-monitor"),
                         QStringLiteral("none"),
                         QStringLiteral("-pidfile"),
                         m_pidFile,
                         QStringLiteral("-device"),
                         QStringLiteral("loader,file=") + kHexPath,
                         QStringLiteral("-serial"),
                         QStringLiteral("tcp:127.0.0.1:%1").arg(m_server.serverPort())};
        const QString timeout = QStandardPaths::findExecutable(QStringLiteral("timeout"));
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        if (timeout.isEmpty()) {
            m_process.start(qemu, args);
        } else {
            args.prepend(qemu);
            args.prepend(QString::number(kEmulatorLifetimeS));
            args.prepend(QStringLiteral("KILL"));
            args.prepend(QStringLiteral("-s"));
            m_process.start(timeout, args);
        }
        if (!m_process.waitForStarted(5000))
            return QStringLiteral("QEMU did not start: ") + m_process.errorString();
        if (!m_server.waitForNewConnection(10000))
            return QStringLiteral("QEMU did not connect its serial port: ") + diagnostics();
        m_link.reset(m_server.nextPendingConnection());
        return QString();
    }

    void stop()
    {
        QFile pidFile(m_pidFile);
        if (!m_pidFile.isEmpty() && pidFile.open(QIODevice::ReadOnly)) {
            const qint64 pid = pidFile.readAll().trimmed().toLongLong();
            if (pid > 1 && m_process.state() != QProcess::NotRunning) {
                ::kill(static_cast<pid_t>(pid), SIGKILL);
                m_process.waitForFinished(5000); // the wrapper ends with it
            }
        }
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        m_link.reset();
    }

    bool running() const { return m_process.state() == QProcess::Running; }
    QTcpSocket* link() const { return m_link.get(); }
    QString diagnostics()
    {
        return QString::fromLocal8Bit(m_process.readAllStandardError() + m_process.readAllStandardOutput());
    }

private:
    QTemporaryDir m_dir;
    QString m_pidFile;
    QTcpServer m_server;
    QProcess m_process;
    std::unique_ptr<QTcpSocket> m_link;
};

// What the board said so far, decoded two ways, as complete text lines.
struct Transcript
{
    TlvFeeder loader;
    FrameCheck strict;
    QByteArray text;
    QList<QByteArray> lines;

    void feed(const QByteArray& raw)
    {
        text += loader.feed(raw);
        strict.feed(raw);
        int end;
        while ((end = text.indexOf("\r\n")) >= 0) {
            lines << text.left(end);
            text.remove(0, end + 2);
        }
    }
    int indexOf(const QByteArray& line, int from = 0) const { return lines.indexOf(line, from); }
    // Index of the first status line after line from; -1 also when from is -1.
    int statusAfter(int from) const
    {
        if (from < 0)
            return -1;
        for (int i = from + 1; i < lines.size(); ++i) {
            if (kStatus.match(QString::fromLatin1(lines.at(i))).hasMatch())
                return i;
        }
        return -1;
    }
};

} // namespace

class TestFirmwareEmulation : public QObject
{
    Q_OBJECT

private slots:
    void bootsGreetsAndTakesTheIdentity();

private:
    // Reads from the board until done() holds; false on deadline or QEMU exit.
    bool readUntil(Emulator& board, Transcript& t, const QDeadlineTimer& deadline, const std::function<bool()>& done)
    {
        while (!done()) {
            if (deadline.hasExpired() || !board.running())
                return false;
            QTcpSocket* link = board.link();
            if (link->bytesAvailable() == 0)
                link->waitForReadyRead(static_cast<int>(qBound<qint64>(1, deadline.remainingTime(), 100)));
            t.feed(link->readAll());
        }
        return true;
    }
};

void TestFirmwareEmulation::bootsGreetsAndTakesTheIdentity()
{
    Emulator board;
    const QString error = board.start();
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QDeadlineTimer deadline(kDeadlineMs);
    Transcript t;
    const auto context = [&]() {
        return QStringLiteral("lines so far: [%1]\nQEMU: %2")
            .arg(QString::fromLatin1(t.lines.join("|").toHex(' ')), board.diagnostics());
    };

    // Greeting first, then status lines.
    QVERIFY2(readUntil(board, t, deadline, [&] { return t.statusAfter(t.indexOf(kGreeting)) > 0; }),
             qPrintable(context()));
    QCOMPARE(t.lines.first(), kGreeting);

    // Any other line is answered as unknown and changes nothing.
    board.link()->write("hello\r\n");
    QVERIFY2(readUntil(board, t, deadline, [&] { return t.statusAfter(t.indexOf(kUnknown)) > 0; }),
             qPrintable(context()));

    board.link()->write("setHWqd\r");
    QVERIFY2(readUntil(board, t, deadline, [&] { return t.statusAfter(t.indexOf(kConfirmation)) > 0; }),
             qPrintable(context()));
    const int confirmed = t.indexOf(kConfirmation);
    const int next = t.statusAfter(confirmed);
    board.stop();

    // The board only ever sends clean frames, and both decoders agree.
    QVERIFY2(t.strict.errors().isEmpty(), qPrintable(t.strict.errors().join('\n')));
    QCOMPARE(t.strict.texts().join(QString()).toLatin1(), t.lines.join("\r\n") + "\r\n" + t.text);

    // Uptime counts up by one per line; the identity appears exactly from the
    // first status line after the confirmation on.
    int expectedSeconds = -1;
    for (int i = 0; i < t.lines.size(); ++i) {
        const QByteArray& line = t.lines.at(i);
        if (line == kGreeting || line == kConfirmation || line == kUnknown) {
            QVERIFY2(i == 0 || line != kGreeting, "a second greeting: the board restarted");
            continue;
        }
        const QRegularExpressionMatch m = kStatus.match(QString::fromLatin1(line));
        QVERIFY2(m.hasMatch(), line.toHex(' ').constData());
        const int seconds = m.captured(1).toInt();
        if (expectedSeconds >= 0)
            QCOMPARE(seconds, expectedSeconds);
        expectedSeconds = seconds + 1;
        QVERIFY2(m.captured(2).isEmpty() != (i > confirmed), line.constData());
    }
    QVERIFY(next > confirmed);
    QCOMPARE(t.lines.count(kConfirmation), 1);
    QCOMPARE(t.lines.count(kUnknown), 1);
}

QTEST_GUILESS_MAIN(TestFirmwareEmulation)
#include "tst_firmware_emulation.moc"
