// The loader's shared-memory link on real shared memory, against the
// tivako-monitor program and against peers: this program started again in
// one of its peer roles (see main). Every test uses its own key.

#include "ipc/InstanceLock.h"
#include "ipc/KX_SharedMemSocked.h"
#include "ipc/SharedBlock.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Process.h"

#include <QtTest>

#include <cstdio>
#include <cstring>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>

using namespace SharedBlock;

namespace {

const char kMonitor[] = TIVAKO_MONITOR_EXE;
const char kRun[] = "KX_SharedMemSocked::run";
const int kWaitMs = 20000;

QString uniqueKey()
{
    static int counter = 0;
    return QStringLiteral("tivako-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

// A peer's view of the block: its own mapping, always under the lock.
struct RawBlock : QSharedMemory
{
    using QSharedMemory::QSharedMemory;
    QByteArray bytes(int offset, int n)
    {
        lock();
        const QByteArray out(static_cast<const char*>(constData()) + offset, n);
        unlock();
        return out;
    }
    void set(int offset, const QByteArray& v)
    {
        lock();
        memcpy(static_cast<char*>(data()) + offset, v.constData(), size_t(v.size()));
        unlock();
    }
    int at(int offset) { return bytes(offset, 1).at(0); }
};

// The link's signals, queued into the test's thread as the main window gets them.
struct Recorder : QObject
{
    int pending = 0;
    QList<int> finished;
    explicit Recorder(KX_SharedMemSocked* link)
    {
        connect(link, &KX_SharedMemSocked::SIGNAL_ProgrammingRequestPendig, this, [this] { ++pending; });
        connect(link, &KX_SharedMemSocked::SIGNAL_ProgrammingFinished, this, [this](qint16 r) { finished << r; });
    }
};

// This program in a peer role, once it has said "ready".
bool startPeer(QProcess& peer, const char* role, const QString& key)
{
    peer.start(QCoreApplication::applicationFilePath(), {role, key});
    return peer.waitForReadyRead(kWaitMs) && peer.readLine().trimmed() == "ready";
}

// A killed process leaves its lock files and the block's semaphore behind.
void removeLeftovers(const QString& key)
{
    QSystemSemaphore(key, 1, QSystemSemaphore::Create); // its owner removes it
    QFile::remove(instanceLockPath(key, QLatin1String(kLoaderLockRole)));
}

} // namespace

class IpcTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_Dir;

    QString hexFile(const QString& name)
    {
        QFile f(m_Dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(":00000001FF\r\n") > 0 ? f.fileName() : QString();
    }

private slots:
    void initTestCase() { LogCapture::install(); }
    void cleanupTestCase() { LogCapture::uninstall(); }
    void init() { LogCapture::clear(); }

    // One block's life. A peer that knows only the byte table (present 0, request 1,
    // result 4 as 32-bit little-endian, connected 8, path 9, name 159) asks before the
    // loader starts, whose owner connects only later (as the main window does); then
    // tivako-monitor runs back to back, gives up, and meets a loader without lock file.
    void oneBlockServed()
    {
        const QString key = uniqueKey(), hex = hexFile(QString::fromUtf8(u8"Gr\u00fc\u00dfe.hex"));
        const QByteArray device = u8"CP2102 Br\u00fccke 0001";
        RawBlock peer(key);
        QVERIFY(peer.create(kBlockSize));
        peer.set(1, QByteArray("\1\0\0\0\0\0\0\0/x/y.hex\0", 17));
        auto link = std::make_unique<KX_SharedMemSocked>(key);
        QTest::qWait(50);
        Recorder rec(link.get());
        link->setStatusZuvodErirora(true);
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 1, kWaitMs);
        QCOMPARE(link->getPath2Hexfile(), QStringLiteral("/x/y.hex"));
        QVERIFY(link->isServing() && !link->isOtherLoaderRunning()); // the mark is its own
        peer.set(kPath2Hexfile, QByteArray(kPath2HexfileSize, 'p')); // its end does not fit
        QVERIFY(link->getPath2Hexfile().isEmpty() && LogCapture::countContaining("not terminated inside its 150") == 1);
        link->setNameOfConnectedDevice(QString(151, 'n') + QChar(0xfc)); // cut before a character that does not fit
        QCOMPARE(peer.bytes(159, 152), QByteArray(151, 'n') + '\0');
        QCOMPARE(LogCapture::countContaining("Name cut to 151 of 153 Bytes"), 1);
        link->setStatusTivakoConnection(true);
        link->setNameOfConnectedDevice(QString::fromUtf8(device));
        link->setProgrammingResult(-2);
        QCOMPARE(peer.bytes(0, 9), QByteArray("\1\1\0\0\xfe\xff\xff\xff\1", 9));
        QCOMPARE(peer.bytes(159, device.size() + 1), device + '\0');
        peer.set(1, QByteArray(1, '\0')); // the request ends: the loader resets the result
        QTRY_COMPARE_WITH_TIMEOUT(peer.bytes(4, 4), QByteArray(4, '\0'), kWaitMs);
        const QByteArray shown = "loader:  running\nboard:   connected\ndevice:  " + device + "\nrequest: none\n";
        QVERIFY(runProcess(kMonitor, {"--key", key, "status"}).out.contains(shown));
        const int results[] = {-2, 1, 1, -1}; // the same result twice counts twice
        for (int run = 1; run < 4; ++run) {
            QProcess p;
            p.start(kMonitor, {"--key", key, "program", hex, "--timeout", "60"});
            QTRY_COMPARE_WITH_TIMEOUT(rec.pending, run + 1, kWaitMs);
            QCOMPARE(link->getPath2Hexfile(), hex);
            link->setProgrammingResult(results[run]);
            QTRY_COMPARE_WITH_TIMEOUT(rec.finished.value(run), results[run], kWaitMs);
            QTRY_COMPARE_WITH_TIMEOUT(p.state(), QProcess::NotRunning, kWaitMs);
            QCOMPARE(p.exitCode(), results[run] == 1 ? 0 : 1);
            const QByteArray said = p.readAllStandardOutput() + p.readAllStandardError();
            QVERIFY2(said.contains(results[run] == 1 ? "Programming succeeded: " : "programming failed: "), said);
            QTRY_COMPARE_WITH_TIMEOUT(LogCapture::lines().count(statusLine(kRun, "Set to Idel-Mode")), run + 1, kWaitMs);
        }
        const ProcessRun late = runProcess(kMonitor, {"--key", key, "program", hex, "--timeout=1.5"});
        QVERIFY2(late.exitCode == 2 && late.err.contains("no result within 1.5 seconds; request withdrawn"), late.err);
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 5, kWaitMs);
        QVERIFY(!link->isStatusProgrammingRequestSet());
        QProcess p; // the loader ends while this one waits
        p.start(kMonitor, {"--key", key, "program", hex});
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 6, kWaitMs);
        link->setStatusZuvodErirora(false);
        QCOMPARE(peer.at(0), 0);
        link.reset();
        QTRY_COMPARE_WITH_TIMEOUT(p.state(), QProcess::NotRunning, kWaitMs);
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(runProcess(kMonitor, {"--key", key, "status"}).out.contains("loader:  not running\n"));
        QVERIFY(runProcess(kMonitor, {"--key", key, "program", hex}).err.contains("says none is present"));
        // The peer plays a loader that keeps the protocol but no lock file, with a request
        // and result left by a killed monitor.
        peer.set(kStatusZuvodErirora, QByteArray("\1\1\0\0\5", 5));
        p.start(kMonitor, {"--key", key, "program", hex});
        QTRY_COMPARE_WITH_TIMEOUT(peer.bytes(kProgrammingRequest, 7), QByteArray("\1\0\0\0\0\0\0", 7), kWaitMs);
        peer.set(kProgrammingResult, QByteArray("\1\0\0\0", 4));
        QTRY_COMPARE_WITH_TIMEOUT(peer.at(kProgrammingRequest), 0, kWaitMs);
        QTest::qWait(300);
        QCOMPARE(p.state(), QProcess::Running); // until the loader resets the result
        peer.set(kProgrammingResult, QByteArray(4, '\0'));
        QTRY_COMPARE_WITH_TIMEOUT(p.state(), QProcess::NotRunning, kWaitMs);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardError().contains("may be stale\ntivako-monitor: withdrawing a request left pending"));
        peer.set(kProgrammingResult, QByteArray(4, '\xff'));
        QVERIFY(runProcess(kMonitor, {"--key", key, "status"}).out.contains("result:  -1 (failure)\n"));
        QVERIFY(!KX_SharedMemSocked(key).isOtherLoaderRunning()); // its mark without lock file counts as ended
    }

    void monitorCommandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const QString hex = hexFile(QStringLiteral("e.hex")), fifo = m_Dir.filePath("pipe.hex");
        ::mkfifo(QFile::encodeName(fifo).constData(), 0600);
        QDir(m_Dir.path()).mkdir(QString(150, 'x'));
        const QString key = uniqueKey();
        QTest::newRow("help") << QStringList{"--help"} << 0 << "program FILE.hex [--timeout SECONDS]";
        QTest::newRow("unknown") << QStringList{"flash"} << 2 << "unknown command \"flash\"";
        QTest::newRow("no file") << QStringList{"program"} << 2 << "program needs the hex file";
        QTest::newRow("zero") << QStringList{"program", hex, "--timeout", "0"} << 2 << "--timeout must be a number";
        QTest::newRow("missing") << QStringList{"program", m_Dir.filePath("m.hex")} << 2 << "no such file";
        QTest::newRow("fifo") << QStringList{"program", fifo} << 1 << "not a regular file: " + fifo;
        QTest::newRow("long") << QStringList{"program", hexFile(QString(150, 'x') + "/l")} << 2 << "holds at most 149";
        QTest::newRow("no block") << QStringList{"--key", key, "program", hex} << 2 << "no loader is running";
        QTest::newRow("no block status") << QStringList{"--key", key, "status"} << 2 << "no loader is running";
        QTest::newRow("no command") << QStringList{} << 2 << "no command given";
        QTest::newRow("key alone") << QStringList{"--key"} << 2 << "--key needs a value";
        QTest::newRow("timeout alone") << QStringList{"status", "--timeout"} << 2 << "--timeout needs a value";
        QTest::newRow("option") << QStringList{"-x", "status"} << 2 << "unknown option \"-x\"";
        QTest::newRow("status timeout") << QStringList{"status", "--timeout=5"} << 2 << "status takes no --timeout";
        QTest::newRow("status more") << QStringList{"status", "x"} << 2 << "status takes no further arguments";
    }
    void monitorCommandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const ProcessRun run = runProcess(kMonitor, args);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(QString::fromUtf8(run.out + run.err).contains(message), run.err.constData());
    }

    // A killed loader leaves a mark that is no running instance. Of live loaders only the first
    // serves; the others stand by, touch neither flag nor request, and one takes over after it.
    void loadersComeAndGo()
    {
        const QString key = uniqueKey();
        QProcess first;
        QVERIFY(startPeer(first, "--hold-link", key));
        QCOMPARE(runProcess(kMonitor, {"--key", key, "status"}).exitCode, 0);
        first.kill();
        QTRY_COMPARE_WITH_TIMEOUT(first.state(), QProcess::NotRunning, kWaitMs);
        auto second = std::make_unique<KX_SharedMemSocked>(key);
        QVERIFY(!second->isOtherLoaderRunning());
        QVERIFY(LogCapture::lines().contains(
            statusLine("KX_SharedMemSocked::isOtherLoaderRunning", "Presence mark left by a loader that has ended")));
        const ProcessRun status = runProcess(kMonitor, {"--key", key, "status"});
        QVERIFY2(status.exitCode == 2 && status.out.contains("ended abnormally"), status.out.constData());
        const ProcessRun program = runProcess(kMonitor, {"--key", key, "program", hexFile("b.hex")});
        QVERIFY2(program.exitCode == 2 && program.err.contains("no loader is running"), program.err.constData());

        QVERIFY(startPeer(first, "--hold-link", key)); // takes the mark over
        RawBlock raw(key);
        QVERIFY(raw.attach());
        Recorder rec(second.get());
        second->setStatusZuvodErirora(true);
        raw.set(kProgrammingRequest, "\1");
        {
            KX_SharedMemSocked third(key);
            third.setStatusZuvodErirora(true);
            third.setStatusZuvodErirora(false);
        }
        QCOMPARE(raw.bytes(0, 2), QByteArray("\1\1")); // the first's flag and request stay
        QCOMPARE(rec.pending, 0);
        first.kill();
        QTRY_COMPARE_WITH_TIMEOUT(first.state(), QProcess::NotRunning, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 1, kWaitMs);
        second.reset(); // the serving loader withdraws a pending request
        QCOMPARE(raw.at(kProgrammingRequest), 0);
        removeLeftovers(key);
    }

    // A peer holding the block's lock (stopped, stuck or hostile) costs each
    // access a short wait at most and never holds up the exit.
    void peerHoldingTheLockStallsNothing()
    {
        const QString key = uniqueKey();
        auto link = std::make_unique<KX_SharedMemSocked>(key);
        link->setStatusZuvodErirora(true);
        QProcess holder;
        QVERIFY(startPeer(holder, "--hold-lock", key));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!link->isStatusZuvodEriroraSet());
        QTest::qWait(300);
        QCOMPARE(LogCapture::countContaining("Sharedmemory lock not free within 100 ms, skipped"), 1);
        QVERIFY(KX_SharedMemSocked(key).linkRefusal().contains("its lock is held by another process"));
        link.reset();
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        holder.kill();
        QTRY_COMPARE_WITH_TIMEOUT(holder.state(), QProcess::NotRunning, kWaitMs);
        removeLeftovers(key);
    }

    // A block anybody else could write (or too small to be a loader's) is not
    // used: no request served, no flag written, nothing withdrawn.
    void foreignBlockIsNotUsed_data()
    {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<QString>("line");
        QTest::newRow("segment open") << "mode" << "not used, its segment is open to others (mode 666)";
        QTest::newRow("lock open") << "lock" << "not used, its lock is open to others (mode 660)";
        QTest::newRow("too small") << "small" << "Sharedmemory too small: 100 Bytes";
    }
    void foreignBlockIsNotUsed()
    {
        QFETCH(QString, setUp);
        QFETCH(QString, line);
        const QString key = uniqueKey();
        RawBlock raw(key);
        QVERIFY(raw.create(setUp == "small" ? 100 : kBlockSize));
        const int id = shmget(ftok(QFile::encodeName(raw.nativeKey()).constData(), 'Q'), 0, 0);
        shmid_ds ds;
        QCOMPARE(shmctl(id, IPC_STAT, &ds), 0);
        ds.shm_perm.mode = setUp == "mode" ? 0666 : ds.shm_perm.mode;
        QCOMPARE(shmctl(id, IPC_SET, &ds), 0);
        if (setUp == "lock") {
            const QString file = raw.nativeKey().replace("qipc_sharedmemory_", "qipc_systemsem_");
            const int sem = semget(ftok(QFile::encodeName(file).constData(), 'Q'), 1, 0);
            semid_ds sds;
            QCOMPARE(semctl(sem, 0, IPC_STAT, &sds), 0);
            sds.sem_perm.mode = 0660;
            QCOMPARE(semctl(sem, 0, IPC_SET, &sds), 0);
        }
        raw.set(kProgrammingRequest, QByteArray("\1\0\0\0\0\0\0\0/tmp/evil.hex\0", 23));
        {
            KX_SharedMemSocked link(key);
            QCOMPARE(LogCapture::errors("KX_SharedMemSocked::KX_SharedMemSocked").filter(line).size(), 1);
            Recorder rec(&link);
            link.setStatusZuvodErirora(true);
            QTest::qWait(100);
            QCOMPARE(rec.pending, 0);
            QCOMPARE(raw.at(kStatusZuvodErirora), 0);
            QCOMPARE(link.getPath2Hexfile(), QString());
        }
        QCOMPARE(raw.at(kProgrammingRequest), 1); // not even withdrawn
    }
};

// Peers that say "ready" and wait to be killed: a loader marked present, or a lock holder.
int peer(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString key = QString::fromUtf8(argv[2]);
    QSharedMemory memory(key);
    if (strcmp(argv[1], "--hold-link") == 0)
        (new KX_SharedMemSocked(key))->setStatusZuvodErirora(true); // lives until killed
    else if (!memory.attach() || !memory.lock())
        return 3;
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

int main(int argc, char** argv)
{
    if (argc == 3 && (strcmp(argv[1], "--hold-link") == 0 || strcmp(argv[1], "--hold-lock") == 0))
        return peer(argc, argv);
    QCoreApplication app(argc, argv);
    IpcTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ipc.moc"
