// The loader's shared-memory link against real shared memory, with the
// monitor's side played either directly on the block or by the
// tivako-monitor program in its own process. Every test uses its own key.

#include "ipc/InstanceLock.h"
#include "ipc/KX_SharedMemSocked.h"
#include "ipc/SharedBlock.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Process.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace SharedBlock;

namespace {

const char kLink[] = "KX_SharedMemSocked::KX_SharedMemSocked";
const char kRun[] = "KX_SharedMemSocked::run";
const char kDtor[] = "KX_SharedMemSocked::~KX_SharedMemSocked";
const int kSignalWaitMs = 5000;
const int kProcessWaitMs = 20000;

QString uniqueKey(const char* tag)
{
    static int counter = 0;
    return QStringLiteral("tivako-test-%1-%2-%3").arg(QCoreApplication::applicationPid()).arg(tag).arg(++counter);
}

// The monitor's view of the block, attached separately from the link (its
// own mapping of the same memory), always under the block's lock.
class RawBlock
{
public:
    explicit RawBlock(const QString& key) : m_Memory(key) {}
    bool attach() { return m_Memory.attach(); }
    bool create(int size = kBlockSize) { return m_Memory.create(size); }
    QString nativeKey() const { return m_Memory.nativeKey(); }

    template <typename F> void locked(F f)
    {
        QVERIFY(m_Memory.lock());
        f(static_cast<uchar*>(m_Memory.data()));
        m_Memory.unlock();
    }
    quint8 byteAt(int offset)
    {
        quint8 value = 0;
        locked([&](uchar* b) { value = b[offset]; });
        return value;
    }
    void setByte(int offset, quint8 value)
    {
        locked([&](uchar* b) { b[offset] = value; });
    }
    qint32 result()
    {
        qint32 value = 0;
        locked([&](uchar* b) { value = readProgrammingResult(b); });
        return value;
    }
    void setResult(qint32 value)
    {
        locked([&](uchar* b) { writeProgrammingResult(b, value); });
    }
    QByteArray bytes(int offset, int size)
    {
        QByteArray out;
        locked([&](uchar* b) { out = QByteArray(reinterpret_cast<const char*>(b + offset), size); });
        return out;
    }
    void setBytes(int offset, const QByteArray& data)
    {
        locked([&](uchar* b) { std::memcpy(b + offset, data.constData(), size_t(data.size())); });
    }

private:
    QSharedMemory m_Memory;
};

// Receives the link's signals in the test's thread, queued like the main
// window receives them.
class Recorder : public QObject
{
    Q_OBJECT
public:
    explicit Recorder(KX_SharedMemSocked* link)
    {
        connect(link, &KX_SharedMemSocked::SIGNAL_ProgrammingRequestPendig, this, &Recorder::onPending);
        connect(link, &KX_SharedMemSocked::SIGNAL_ProgrammingFinished, this, &Recorder::onFinished);
    }
    int pending = 0;
    QList<qint16> finished;

public slots:
    void onPending() { ++pending; }
    void onFinished(qint16 result) { finished << result; }
};

QString monitorProgram()
{
    return QStringLiteral(TIVAKO_MONITOR_EXE);
}

struct MonitorRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

MonitorRun runMonitor(const QStringList& args)
{
    ProcessOptions options;
    options.timeoutMs = kProcessWaitMs;
    const ProcessRun run = runProcess(monitorProgram(), args, options);
    if (!run.finished)
        return {-1, QString(), QStringLiteral("<monitor did not finish>")};
    return {run.exitCode, QString::fromUtf8(run.out), QString::fromUtf8(run.err)};
}

// A killed process leaves its lock file and the block's semaphore behind
// (the next user of the same key takes them over). Test keys are never used
// again, so they are removed once nothing uses the key any more.
void removeLeftovers(const QString& key)
{
    {
        QSystemSemaphore owner(key, 1, QSystemSemaphore::Create);
    } // the owner removes it
    QFile::remove(instanceLockPath(key, QLatin1String(kLoaderLockRole)));
    QFile::remove(instanceLockPath(key, QLatin1String(kMonitorLockRole)));
}

// waitForFinished() reports false for a process whose end was already
// noticed while the test waited for something else.
bool finish(QProcess& p)
{
    return p.state() == QProcess::NotRunning || p.waitForFinished(kProcessWaitMs);
}

// Starts this test program in one of its peer roles (see main) and waits
// for its "ready" line.
bool startPeer(QProcess& peer, const QStringList& args)
{
    peer.start(QCoreApplication::applicationFilePath(), args);
    return peer.waitForReadyRead(kProcessWaitMs) && peer.readLine().trimmed() == "ready";
}

QString writeHexFile(const QTemporaryDir& dir, const QString& name)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(":00000001FF\r\n");
    return path;
}

} // namespace

class SharedMemoryLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LogCapture::install(); }
    void cleanupTestCase() { LogCapture::uninstall(); }
    void init() { LogCapture::clear(); }

    void createsThenSecondLinkJoinsAndSeesPresence()
    {
        const QString key = uniqueKey("join");
        auto first = std::make_unique<KX_SharedMemSocked>(key);
        QVERIFY2(LogCapture::has(statusLine(kLink, "Create Sharedmemory 312 Bytes")), qPrintable(LogCapture::dump()));
        QVERIFY(!first->isStatusZuvodEriroraSet());
        QVERIFY(!first->isOtherLoaderRunning());
        first->setStatusZuvodErirora(true);
        QVERIFY(first->isStatusZuvodEriroraSet());
        QVERIFY(!first->isOtherLoaderRunning()); // the mark is its own

        LogCapture::clear();
        auto second = std::make_unique<KX_SharedMemSocked>(key);
        QVERIFY2(LogCapture::has(statusLine(kLink, "Join Sharedmemory 312 Bytes")), qPrintable(LogCapture::dump()));
        QVERIFY(second->isStatusZuvodEriroraSet());
        QVERIFY(second->isOtherLoaderRunning());

        // The first one leaves: the block says so and nobody is alive.
        first->setStatusZuvodErirora(false);
        QVERIFY(!second->isStatusZuvodEriroraSet());
        QVERIFY(!second->isOtherLoaderRunning());
        first.reset();
        QVERIFY(LogCapture::has(statusLine(kDtor, "Detach SharedMemory")));
        QVERIFY(LogCapture::has(statusLine(kRun, "Thread END")));
        // The second link's thread logs its start on its own schedule.
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::has(statusLine(kRun, "Thread Start")), 5000);
    }

    void fieldsStayInsideTheirPlaces()
    {
        const QString key = uniqueKey("fields");
        KX_SharedMemSocked link(key);
        RawBlock raw(key);
        QVERIFY(raw.attach());
        const QByteArray before = raw.bytes(0, kBlockSize);

        link.setStatusTivakoConnection(true);
        QCOMPARE(int(raw.byteAt(kStatusTivakoConnection)), 1);
        link.setStatusTivakoConnection(false);
        QCOMPARE(int(raw.byteAt(kStatusTivakoConnection)), 0);

        link.setProgrammingResult(-1);
        QCOMPARE(raw.bytes(kProgrammingResult, 4), QByteArray("\xff\xff\xff\xff", 4));
        link.setProgrammingResult(0x01020304);
        QCOMPARE(raw.bytes(kProgrammingResult, 4), QByteArray("\x04\x03\x02\x01", 4));
        link.setProgrammingResult(0);

        // A long name keeps the last byte of its field for the NUL.
        link.setNameOfConnectedDevice(QString(200, QLatin1Char('a')));
        QCOMPARE(raw.bytes(kNameOfConnectedDevice, kNameOfConnectedDeviceSize),
                 QByteArray(152, 'a') + QByteArray(1, '\0'));
        QVERIFY(LogCapture::has(errorLine("KX_SharedMemSocked::setNameOfConnectedDevice", "Name cut to 152 of 200 Bytes")));

        // A two-byte character that would straddle the limit is left out whole.
        const QString umlaut = QString(151, QLatin1Char('b')) + QString::fromUtf8("\xc3\xbc");
        link.setNameOfConnectedDevice(umlaut);
        QCOMPARE(raw.bytes(kNameOfConnectedDevice, kNameOfConnectedDeviceSize),
                 QByteArray(151, 'b') + QByteArray(2, '\0'));
        // Exactly 152 bytes fit.
        const QString euro = QString(149, QLatin1Char('c')) + QString::fromUtf8("\xe2\x82\xac");
        link.setNameOfConnectedDevice(euro);
        QCOMPARE(raw.bytes(kNameOfConnectedDevice, kNameOfConnectedDeviceSize), euro.toUtf8() + QByteArray(1, '\0'));

        // An empty name is a single NUL at the field's start.
        link.setNameOfConnectedDevice(QString());
        QCOMPARE(int(raw.byteAt(kNameOfConnectedDevice)), 0);

        // Nothing else in the block was touched by all this.
        const QByteArray after = raw.bytes(0, kBlockSize);
        QCOMPARE(after.left(kNameOfConnectedDevice), before.left(kNameOfConnectedDevice));

        // The path as the monitor wrote it, non-ASCII included.
        const QByteArray path = QByteArray("/tmp/Pr\xc3\xbc"
                                           "fung/firmware.hex");
        raw.setBytes(kPath2Hexfile, path + QByteArray(1, '\0'));
        QCOMPARE(link.getPath2Hexfile(), QString::fromUtf8(path));
        // 149 bytes and the NUL in the last place still make a path.
        raw.setBytes(kPath2Hexfile, QByteArray(149, 'p') + QByteArray(1, '\0'));
        QCOMPARE(link.getPath2Hexfile(), QString(149, QLatin1Char('p')));
        // Without a NUL in its 150 bytes it is no path; the name after it is
        // not read as part of it.
        LogCapture::clear();
        raw.setBytes(kPath2Hexfile, QByteArray(kPath2HexfileSize, 'q'));
        link.setNameOfConnectedDevice(QStringLiteral("Device"));
        QCOMPARE(link.getPath2Hexfile(), QString());
        QVERIFY2(
            LogCapture::has(errorLine("KX_SharedMemSocked::getPath2Hexfile", "Path2Hexfile not terminated inside its 150 Bytes")),
            qPrintable(LogCapture::dump()));
    }

    void linkWithoutBlockReportsEveryOperation()
    {
        // A block under the key that is too small to be a loader's one.
        const QString key = uniqueKey("small");
        RawBlock foreign(key);
        QVERIFY(foreign.create(100));
        {
            KX_SharedMemSocked link(key);
            QVERIFY(LogCapture::has(errorLine(kLink, "Sharedmemory too small: 100 Bytes")));
            QVERIFY(LogCapture::has(errorLine(kLink, "Unabel to create Sharedmomory")));
            QVERIFY(LogCapture::has(statusLine(kLink, "Create Sharedmemory 0 Bytes")));

            QVERIFY(!link.isStatusZuvodEriroraSet());
            QVERIFY(!link.isStatusProgrammingRequestSet());
            QCOMPARE(link.getPath2Hexfile(), QString());
            QVERIFY(!link.isOtherLoaderRunning());
            link.setStatusZuvodErirora(true);
            link.setStatusTivakoConnection(true);
            link.setNameOfConnectedDevice(QStringLiteral("x"));
            link.setProgrammingResult(1);
            const char* ops[] = {"isStatusZuvodEriroraSet",  "isStatusProgrammingRequestSet",
                                 "getPath2Hexfile",          "isOtherLoaderRunning",
                                 "setStatusZuvodErirora",    "setStatusTivakoConnection",
                                 "setNameOfConnectedDevice", "setProgrammingResult"};
            for (const char* op : ops)
                QVERIFY2(LogCapture::count(errorLine(QStringLiteral("KX_SharedMemSocked::") + QLatin1String(op),
                                          "Sharedmemory not set!")) == 1,
                         op);
            // The loop runs without a block, quietly.
            QTest::qWait(20);
        }
        QVERIFY(LogCapture::has(statusLine(kRun, "Thread END")));
        QVERIFY(!LogCapture::has(statusLine(kDtor, "Detach SharedMemory")));
        // The foreign block was not touched.
        QCOMPARE(foreign.bytes(0, 100), QByteArray(100, '\0'));
    }

    void requestAndResultWithoutMonitorProcess()
    {
        const QString key = uniqueKey("loop");
        KX_SharedMemSocked link(key);
        Recorder rec(&link);
        RawBlock raw(key);
        QVERIFY(raw.attach());

        // Not marked present, the request is not this link's to serve (a
        // second loader must not program it too), and its end leaves the
        // result alone.
        raw.setByte(kProgrammingRequest, 1);
        QVERIFY(link.isStatusProgrammingRequestSet());
        QTest::qWait(50);
        QCOMPARE(rec.pending, 0);
        link.setProgrammingResult(1);
        QTRY_COMPARE_WITH_TIMEOUT(rec.finished.size(), 1, kSignalWaitMs);
        QCOMPARE(rec.finished.at(0), qint16(1));
        raw.setByte(kProgrammingRequest, 0);
        QTest::qWait(50);
        QCOMPARE(raw.result(), 1);
        QCOMPARE(LogCapture::count(statusLine(kRun, "Set to Idel-Mode")), 0);

        // Marked present: the same result again is not new...
        link.setStatusZuvodErirora(true);
        raw.setByte(kProgrammingRequest, 1);
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 1, kSignalWaitMs);
        link.setProgrammingResult(1);
        QTest::qWait(50);
        QCOMPARE(rec.finished.size(), 1);
        // ...but a different one is, and carries its value.
        link.setProgrammingResult(-1);
        QTRY_COMPARE_WITH_TIMEOUT(rec.finished.size(), 2, kSignalWaitMs);
        QCOMPARE(rec.finished.at(1), qint16(-1));
        QCOMPARE(LogCapture::count(statusLine(kRun, "Send SIGNAL Prog Finished")), 2);
        // The request ends: the result goes back to 0.
        raw.setByte(kProgrammingRequest, 0);
        QTRY_COMPARE_WITH_TIMEOUT(raw.result(), 0, kSignalWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(LogCapture::count(statusLine(kRun, "Set to Idel-Mode")), 1, kSignalWaitMs);
        // After the reset, the same value as before counts as new.
        raw.setByte(kProgrammingRequest, 1);
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 2, kSignalWaitMs);
        link.setProgrammingResult(-1);
        QTRY_COMPARE_WITH_TIMEOUT(rec.finished.size(), 3, kSignalWaitMs);
        QCOMPARE(rec.finished.at(2), qint16(-1));
        // Other values than 1 are no request.
        raw.setByte(kProgrammingRequest, 7);
        QVERIFY(link.isStatusProgrammingRequestSet());
        QTRY_COMPARE_WITH_TIMEOUT(raw.result(), 0, kSignalWaitMs);
        QTest::qWait(30);
        QCOMPARE(rec.pending, 2);
        raw.setByte(kProgrammingRequest, 0);
        link.setStatusZuvodErirora(false);
    }

    void requestPendingAtStartIsSignalledOnFirstPass()
    {
        const QString key = uniqueKey("early");
        RawBlock raw(key);
        QVERIFY(raw.create());
        raw.setByte(kProgrammingRequest, 1);
        KX_SharedMemSocked link(key);
        QVERIFY(LogCapture::has(statusLine(kLink, "Join Sharedmemory 312 Bytes")));
        // The owner connects only after construction, as the main window
        // does; the thread has been running meanwhile.
        QTest::qWait(50);
        Recorder rec(&link);
        link.setStatusZuvodErirora(true);
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 1, kSignalWaitMs);
        QTest::qWait(50);
        QCOMPARE(rec.pending, 1);
        // Joining left the block as it was.
        QCOMPARE(int(raw.byteAt(kProgrammingRequest)), 1);
    }

    void requestPendingAtDestructionIsWithdrawn()
    {
        const QString key = uniqueKey("kill");
        RawBlock raw(key);
        QVERIFY(raw.create());
        {
            KX_SharedMemSocked link(key);
            link.setStatusZuvodErirora(true);
            Recorder rec(&link);
            raw.setByte(kProgrammingRequest, 1);
            QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 1, kSignalWaitMs);
        }
        QCOMPARE(int(raw.byteAt(kProgrammingRequest)), 0);
        const QStringList lines = LogCapture::linesOf(kDtor);
        QCOMPARE(lines, QStringList() << errorLine(kDtor, "Kill Pending")
                                      << statusLine(kDtor, "Detach SharedMemory"));
        // Without a request nothing is withdrawn.
        LogCapture::clear();
        {
            KX_SharedMemSocked link(key);
        }
        QCOMPARE(LogCapture::count(errorLine(kDtor, "Kill Pending")), 0);
    }

    void programThroughMonitorProcess_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("success") << 1 << 0;
        QTest::newRow("failure") << -1 << 1;
    }

    void programThroughMonitorProcess()
    {
        QFETCH(int, result);
        QFETCH(int, exitCode);
        const QString key = uniqueKey("prog");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString hex = writeHexFile(dir, QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"
                                                                "e.hex"));

        KX_SharedMemSocked link(key);
        link.setStatusZuvodErirora(true);
        Recorder rec(&link);

        QProcess monitor;
        monitor.start(monitorProgram(), {"--key", key, "program", hex, "--timeout", "60"});
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 1, kProcessWaitMs);
        QCOMPARE(link.getPath2Hexfile(), QFileInfo(hex).absoluteFilePath());
        QVERIFY(link.isStatusProgrammingRequestSet());
        // However long the flag stays, one signal only.
        QTest::qWait(200);
        QCOMPARE(rec.pending, 1);
        QCOMPARE(monitor.state(), QProcess::Running);

        link.setProgrammingResult(result);
        QTRY_COMPARE_WITH_TIMEOUT(rec.finished.size(), 1, kSignalWaitMs);
        QCOMPARE(int(rec.finished.at(0)), result);
        QVERIFY(finish(monitor));
        QCOMPARE(monitor.exitCode(), exitCode);
        const QString out = QString::fromUtf8(monitor.readAllStandardOutput());
        const QString err = QString::fromUtf8(monitor.readAllStandardError());
        if (result == 1)
            QVERIFY2(out.contains(QStringLiteral("Programming succeeded")) && out.contains(hex), qPrintable(out));
        else
            QVERIFY2(err.contains(QStringLiteral("programming failed")) && err.contains(QStringLiteral("-1")),
                     qPrintable(err));

        // The monitor cleared its request, so the link went back to idle.
        QTRY_COMPARE_WITH_TIMEOUT(LogCapture::count(statusLine(kRun, "Set to Idel-Mode")), 1, kSignalWaitMs);
        QVERIFY(!link.isStatusProgrammingRequestSet());
        RawBlock raw(key);
        QVERIFY(raw.attach());
        QCOMPARE(raw.result(), 0);
        QCOMPARE(rec.pending, 1);
        QCOMPARE(rec.finished.size(), 1);
        link.setStatusZuvodErirora(false);
    }

    void monitorKilledMidRequestLeavesTheLinkWorking()
    {
        const QString key = uniqueKey("mkill");
        QTemporaryDir dir;
        const QString hex = writeHexFile(dir, QStringLiteral("a.hex"));
        KX_SharedMemSocked link(key);
        link.setStatusZuvodErirora(true);
        Recorder rec(&link);

        QProcess monitor;
        monitor.start(monitorProgram(), {"--key", key, "program", hex});
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 1, kProcessWaitMs);
        monitor.kill();
        QVERIFY(finish(monitor));

        // The loader still answers the dead request, and still watches.
        link.setProgrammingResult(1);
        QTRY_COMPARE_WITH_TIMEOUT(rec.finished.size(), 1, kSignalWaitMs);
        QCOMPARE(link.getPath2Hexfile(), hex);

        // The next monitor withdraws the orphaned request and gets its own.
        QProcess next;
        next.start(monitorProgram(), {"--key", key, "program", hex});
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 2, kProcessWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(LogCapture::count(statusLine(kRun, "Set to Idel-Mode")), 1, kSignalWaitMs);
        link.setProgrammingResult(-1);
        QVERIFY(finish(next));
        QCOMPARE(next.exitCode(), 1);
        QVERIFY(QString::fromUtf8(next.readAllStandardError()).contains(QStringLiteral("withdrawing a request")));
        QTRY_COMPARE_WITH_TIMEOUT(LogCapture::count(statusLine(kRun, "Set to Idel-Mode")), 2, kSignalWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(rec.finished, QList<qint16>() << 1 << -1, kSignalWaitMs);
        link.setStatusZuvodErirora(false);
        removeLeftovers(key);
    }

    void staleBlockOfKilledLoaderIsNoRunningInstance()
    {
        const QString key = uniqueKey("stale");
        staleBlockCheck(key);
        removeLeftovers(key);
    }

    // A block or a lock that anybody else could write is not used at all:
    // no request is served, no presence flag written, nothing withdrawn.
    void foreignBlockIsNotUsed_data()
    {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<QString>("reason");
        QTest::newRow("segment open to others") << "mode" << "its segment is open to others (mode 666)";
        QTest::newRow("lock open to others") << "lock" << "its lock is open to others (mode 660)";
        QTest::newRow("segment handed to another user") << "owner" << "its segment is owned by user 65534";
        QTest::newRow("segment made by another user") << "child" << "its segment is owned by user 65534";
    }

    void foreignBlockIsNotUsed()
    {
        QFETCH(QString, setUp);
        QFETCH(QString, reason);
        const bool needsRoot = setUp == QLatin1String("owner") || setUp == QLatin1String("child");
        if (needsRoot && geteuid() != 0)
            QSKIP("giving a block to another user needs root");
        const QString key = uniqueKey("foreign");
        RawBlock raw(key);
        if (setUp == QLatin1String("child")) {
            // Made by another user: a child that becomes that user first.
            QFile keyFile(raw.nativeKey());
            QVERIFY(keyFile.open(QIODevice::WriteOnly));
            QCOMPARE(QProcess::execute(QCoreApplication::applicationFilePath(), {"--foreign-block", raw.nativeKey()}), 0);
        } else {
            QVERIFY(raw.create());
        }
        const int id = shmget(ftok(QFile::encodeName(raw.nativeKey()).constData(), 'Q'), 0, 0);
        QVERIFY(id >= 0);
        if (setUp == QLatin1String("mode") || setUp == QLatin1String("owner")) {
            shmid_ds ds;
            QCOMPARE(shmctl(id, IPC_STAT, &ds), 0);
            if (setUp == QLatin1String("mode"))
                ds.shm_perm.mode = 0666;
            else
                ds.shm_perm.uid = 65534;
            QCOMPARE(shmctl(id, IPC_SET, &ds), 0);
        }
        if (setUp == QLatin1String("lock")) {
            QSharedMemory probe(key); // the lock exists from here on
            QString file = raw.nativeKey();
            file.replace(QStringLiteral("qipc_sharedmemory_"), QStringLiteral("qipc_systemsem_"));
            const int sem = semget(ftok(QFile::encodeName(file).constData(), 'Q'), 1, 0);
            QVERIFY(sem >= 0);
            semid_ds ds;
            QCOMPARE(semctl(sem, 0, IPC_STAT, &ds), 0);
            ds.sem_perm.mode = 0660;
            QCOMPARE(semctl(sem, 0, IPC_SET, &ds), 0);
        }
        // What the attacker asks for.
        uchar* block = static_cast<uchar*>(shmat(id, nullptr, 0));
        QVERIFY(block != reinterpret_cast<uchar*>(-1));
        std::memcpy(block + kPath2Hexfile, "/tmp/evil.hex", 14);
        block[kProgrammingRequest] = 1;
        {
            KX_SharedMemSocked link(key);
            QVERIFY2(LogCapture::has(errorLine(kLink, QStringLiteral("Sharedmemory \"%1\" not used, %2").arg(key, reason))),
                     qPrintable(LogCapture::dump()));
            QVERIFY(link.linkRefusal().contains(reason));
            Recorder rec(&link);
            link.setStatusZuvodErirora(true);
            QTest::qWait(50);
            QCOMPARE(rec.pending, 0);
            QCOMPARE(int(block[kStatusZuvodErirora]), 0);
            QCOMPARE(link.getPath2Hexfile(), QString());
        }
        QCOMPARE(int(block[kProgrammingRequest]), 1); // not even withdrawn
        shmdt(block);
        shmctl(id, IPC_RMID, nullptr);
    }

    // A peer that holds the block's lock (stopped, stuck or hostile) costs
    // each access at most a short wait and never holds up the exit.
    void peerHoldingTheLockStallsNothing()
    {
        const QString key = uniqueKey("held");
        auto link = std::make_unique<KX_SharedMemSocked>(key);
        link->setStatusZuvodErirora(true);
        QProcess holder;
        QVERIFY(startPeer(holder, {"--hold-lock", key}));

        QElapsedTimer clock;
        clock.start();
        QVERIFY(!link->isStatusZuvodEriroraSet());
        link->setStatusTivakoConnection(true);
        QCOMPARE(link->getPath2Hexfile(), QString());
        QTest::qWait(300); // the watch loop skips its passes meanwhile
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
        // Said once for the whole episode, whoever met it.
        QCOMPARE(LogCapture::dump().count(QStringLiteral("Sharedmemory lock not free within 100 ms, skipped")), 1);

        // Starting up beside it and ending are not held up either.
        clock.restart();
        {
            KX_SharedMemSocked second(key);
            QVERIFY(second.linkRefusal().contains(QStringLiteral("its lock is held by another process")));
        }
        link.reset();
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(LogCapture::has(errorLine("KX_SharedMemSocked::leaveBlock",
                               "Sharedmemory lock held by another process; left to the end of the program")));
        holder.kill();
        QVERIFY(finish(holder));
        removeLeftovers(key);
    }

    // Of two loaders on one block only the first serves it; the second
    // stands by, touches neither flag nor request, and takes over when the
    // first has gone.
    void secondLoaderStandsBy()
    {
        const QString key = uniqueKey("second");
        QProcess first;
        QVERIFY(startPeer(first, {"--hold-link", key}));
        RawBlock raw(key);
        QVERIFY(raw.attach());

        auto second = std::make_unique<KX_SharedMemSocked>(key);
        Recorder rec(second.get());
        QVERIFY(second->isOtherLoaderRunning());
        second->setStatusZuvodErirora(true);
        QVERIFY(LogCapture::has(statusLine("KX_SharedMemSocked::setStatusZuvodErirora",
                                "Instance lock held by another loader, standing by")));
        QVERIFY(!second->isServing());
        raw.setByte(kProgrammingRequest, 1);
        QTest::qWait(100);
        QCOMPARE(rec.pending, 0);

        // A third one comes and goes: the first's flag and request stay.
        {
            KX_SharedMemSocked third(key);
            third.setStatusZuvodErirora(true);
            third.setStatusZuvodErirora(false);
        }
        QCOMPARE(int(raw.byteAt(kStatusZuvodErirora)), 1);
        QCOMPARE(int(raw.byteAt(kProgrammingRequest)), 1);
        QCOMPARE(LogCapture::count(errorLine(kDtor, "Kill Pending")), 0);

        first.kill();
        QVERIFY(finish(first));
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 1, kSignalWaitMs);
        QVERIFY(second->isServing());
        QVERIFY(LogCapture::has(statusLine(kRun, "Serving the block now")));
        raw.setByte(kProgrammingRequest, 0);
        second->setStatusZuvodErirora(false);
        QCOMPARE(int(raw.byteAt(kStatusZuvodErirora)), 0);
        second.reset();
        removeLeftovers(key);
    }

    // The block's layout as a peer sees it, the peer written from the byte
    // table alone (literal offsets, none of the loader's own constants).
    void peerWrittenFromTheByteTable()
    {
        const QString key = uniqueKey("table");
        QTemporaryDir dir;
        const QString hex = writeHexFile(dir, QStringLiteral("t.hex"));
        KX_SharedMemSocked link(key);
        link.setStatusZuvodErirora(true);
        link.setStatusTivakoConnection(true);
        link.setNameOfConnectedDevice(QStringLiteral("CP2102 0001"));
        QObject::connect(&link, &KX_SharedMemSocked::SIGNAL_ProgrammingRequestPendig, &link, [&] {
            if (link.getPath2Hexfile() == hex)
                link.setProgrammingResult(-1);
        }, Qt::QueuedConnection);

        QProcess peer;
        peer.start(QCoreApplication::applicationFilePath(), {"--table-peer", key, hex});
        QVERIFY(peer.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(peer.state() == QProcess::NotRunning, kProcessWaitMs);
        const QString out = QString::fromUtf8(peer.readAll());
        QCOMPARE(peer.exitCode(), 0);
        QCOMPARE(out, QStringLiteral("size>=312 present=1 connected=1 name=CP2102 0001 result=-1 reset=1\n"));
        QVERIFY(LogCapture::has(statusLine(kRun, "Set to Idel-Mode")));
        link.setStatusZuvodErirora(false);
    }

    // tivako-monitor and a loader that keeps the block protocol but no lock
    // file of ours; back to back runs wait until the result is reset.
    void monitorWithLoaderWithoutLockFile()
    {
        const QString key = uniqueKey("plain");
        QTemporaryDir dir;
        const QString hex = writeHexFile(dir, QStringLiteral("p.hex"));
        RawBlock loader(key); // the loader, played here on the block
        QVERIFY(loader.create());
        loader.setByte(kStatusZuvodErirora, 1);

        MonitorRun run = runMonitor({"--key", key, "status"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains(QStringLiteral("loader:  running (by its presence flag only")), qPrintable(run.out));

        for (int round = 0; round < 2; ++round) {
            QProcess monitor;
            monitor.start(monitorProgram(), {"--key", key, "program", hex});
            QTRY_COMPARE_WITH_TIMEOUT(int(loader.byteAt(kProgrammingRequest)), 1, kProcessWaitMs);
            QCOMPARE(QString::fromUtf8(loader.bytes(kPath2Hexfile, hex.toUtf8().size())), hex);
            loader.setResult(1);
            QTRY_COMPARE_WITH_TIMEOUT(int(loader.byteAt(kProgrammingRequest)), 0, kProcessWaitMs);
            // The monitor waits for the loader to reset the result.
            QTest::qWait(300);
            QCOMPARE(monitor.state(), QProcess::Running);
            loader.setResult(0);
            QVERIFY(finish(monitor));
            QCOMPARE(monitor.exitCode(), 0);
            QVERIFY(QString::fromUtf8(monitor.readAllStandardError()).contains(QStringLiteral("may be stale")));
        }
    }

    void monitorWithoutLoader()
    {
        QTemporaryDir dir;
        const QString hex = writeHexFile(dir, QStringLiteral("c.hex"));
        const QString key = uniqueKey("none");
        // No block at all.
        MonitorRun run = runMonitor({"--key", key, "program", hex});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QStringLiteral("no loader is running")), qPrintable(run.err));
        run = runMonitor({"--key", key, "status"});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QStringLiteral("no loader is running")), qPrintable(run.err));
        // The monitor did not create one by asking.
        RawBlock probe(key);
        QVERIFY(!probe.attach());

        // A block whose loader has not marked itself present.
        KX_SharedMemSocked link(key);
        Recorder rec(&link);
        run = runMonitor({"--key", key, "program", hex});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QStringLiteral("no loader is running")), qPrintable(run.err));
        QCOMPARE(rec.pending, 0);
    }

    void monitorGivesUpCleanly()
    {
        QTemporaryDir dir;
        const QString hex = writeHexFile(dir, QStringLiteral("d.hex"));
        const QString key = uniqueKey("give");
        auto link = std::make_unique<KX_SharedMemSocked>(key);
        link->setStatusZuvodErirora(true);
        Recorder rec(link.get());

        // No answer in time: the request is withdrawn.
        MonitorRun run = runMonitor({"--key", key, "program", hex, "--timeout=0.3"});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QStringLiteral("no result within 0.3 seconds")), qPrintable(run.err));
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 1, kSignalWaitMs);
        QVERIFY(!link->isStatusProgrammingRequestSet());

        // The loader ends while the monitor waits.
        QProcess monitor;
        monitor.start(monitorProgram(), {"--key", key, "program", hex});
        QTRY_COMPARE_WITH_TIMEOUT(rec.pending, 2, kProcessWaitMs);
        link->setStatusZuvodErirora(false);
        link.reset();
        QVERIFY(finish(monitor));
        QCOMPARE(monitor.exitCode(), 2);
        const QString err = QString::fromUtf8(monitor.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("loader")), qPrintable(err));
    }

    void monitorStatusShowsTheBlock()
    {
        const QString key = uniqueKey("status");
        KX_SharedMemSocked link(key);
        link.setStatusZuvodErirora(true);
        link.setStatusTivakoConnection(true);
        link.setNameOfConnectedDevice(QString::fromUtf8("CP2102 Br\xc3\xbc"
                                                        "cke 0001"));
        MonitorRun run = runMonitor({"--key", key, "status"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains(QStringLiteral("loader:  running\n")), qPrintable(run.out));
        QVERIFY2(run.out.contains(QStringLiteral("board:   connected\n")), qPrintable(run.out));
        QVERIFY2(run.out.contains(QString::fromUtf8("device:  CP2102 Br\xc3\xbc"
                                                    "cke 0001\n")),
                 qPrintable(run.out));
        QVERIFY2(run.out.contains(QStringLiteral("request: none\n")), qPrintable(run.out));
        QVERIFY2(run.out.contains(QStringLiteral("result:  0 (none)\n")), qPrintable(run.out));

        link.setStatusTivakoConnection(false);
        link.setNameOfConnectedDevice(QString());
        link.setProgrammingResult(-1);
        run = runMonitor({"--key=" + key, "status"});
        QVERIFY2(run.out.contains(QStringLiteral("board:   not connected\n")), qPrintable(run.out));
        QVERIFY2(run.out.contains(QStringLiteral("device:  -\n")), qPrintable(run.out));
        QVERIFY2(run.out.contains(QStringLiteral("result:  -1 (failure)\n")), qPrintable(run.out));

        link.setStatusZuvodErirora(false);
        run = runMonitor({"--key", key, "status"});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.out.contains(QStringLiteral("loader:  not running\n")), qPrintable(run.out));
    }

    void monitorCommandLine()
    {
        MonitorRun run = runMonitor({"--help"});
        QCOMPARE(run.exitCode, 0);
        for (const char* word : {"status", "program FILE.hex", "--timeout SECONDS", "--key KEY", "Exit status"})
            QVERIFY2(run.out.contains(QLatin1String(word)), word);

        QTemporaryDir dir;
        const QString hex = writeHexFile(dir, QStringLiteral("e.hex"));
        const struct
        {
            QStringList args;
            const char* message;
        } cases[] = {
            {{}, "no command given"},
            {{"flash"}, "unknown command \"flash\""},
            {{"program"}, "program needs the hex file"},
            {{"program", hex, hex}, "program takes exactly one hex file"},
            {{"status", "extra"}, "status takes no further arguments"},
            {{"status", "--timeout", "3"}, "status takes no --timeout"},
            {{"program", hex, "--timeout", "0"}, "--timeout must be a number"},
            {{"program", hex, "--timeout", "soon"}, "--timeout must be a number"},
            {{"program", hex, "--timeout"}, "--timeout needs a value"},
            {{"--key"}, "--key needs a value"},
            {{"--bogus", "status"}, "unknown option \"--bogus\""},
            {{"program", dir.filePath("missing.hex")}, "no such file"},
        };
        for (const auto& c : cases) {
            run = runMonitor(c.args);
            QVERIFY2(run.exitCode == 2, qPrintable(c.args.join(' ')));
            QVERIFY2(run.err.contains(QLatin1String(c.message)), qPrintable(run.err));
            QVERIFY2(run.err.contains(QLatin1String("Usage:")) || QLatin1String(c.message) == "no such file",
                     qPrintable(run.err));
        }

        // A FIFO would hold the loader's programming: refused as a failure.
        const QString fifo = dir.filePath("pipe.hex");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        run = runMonitor({"program", fifo});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(QStringLiteral("not a regular file: ") + fifo), qPrintable(run.err));

        // A path that does not fit the block is refused before anything is
        // written to it.
        const QString key = uniqueKey("long");
        KX_SharedMemSocked link(key);
        link.setStatusZuvodErirora(true);
        Recorder rec(&link);
        QDir().mkpath(dir.filePath(QString(120, QLatin1Char('x'))));
        const QString longHex = writeHexFile(dir, QString(120, QLatin1Char('x')) + QStringLiteral("/long.hex"));
        QVERIFY(QFileInfo(longHex).absoluteFilePath().toUtf8().size() > kMaxPathBytes);
        run = runMonitor({"--key", key, "program", longHex});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QStringLiteral("the shared block holds at most 149")), qPrintable(run.err));
        QTest::qWait(20);
        QCOMPARE(rec.pending, 0);
        QCOMPARE(link.getPath2Hexfile(), QString());
        link.setStatusZuvodErirora(false);
    }

private:
    // Separate from the slot so that the key's leftovers are removed however
    // the checks end.
    void staleBlockCheck(const QString& key)
    {
        QProcess loader;
        loader.start(QCoreApplication::applicationFilePath(), {"--hold-link", key});
        QVERIFY(loader.waitForReadyRead(kProcessWaitMs));
        QCOMPARE(loader.readLine().trimmed(), QByteArray("ready"));

        // While it lives it is another running loader, for the link and for
        // the monitor.
        {
            KX_SharedMemSocked link(key);
            QVERIFY(link.isStatusZuvodEriroraSet());
            QVERIFY(link.isOtherLoaderRunning());
            const MonitorRun status = runMonitor({"--key", key, "status"});
            QCOMPARE(status.exitCode, 0);
            QVERIFY2(status.out.contains(QStringLiteral("loader:  running")), qPrintable(status.out));
        }

        loader.kill();
        QVERIFY(finish(loader));

        // Its block outlives it, flag still set, but nobody is running.
        LogCapture::clear();
        KX_SharedMemSocked link(key);
        QVERIFY2(LogCapture::has(statusLine(kLink, "Join Sharedmemory 312 Bytes")), qPrintable(LogCapture::dump()));
        QVERIFY(link.isStatusZuvodEriroraSet());
        QVERIFY(!link.isOtherLoaderRunning());
        QVERIFY(LogCapture::has(statusLine("KX_SharedMemSocked::isOtherLoaderRunning",
                                "Presence mark left by a loader that has ended")));

        const MonitorRun status = runMonitor({"--key", key, "status"});
        QCOMPARE(status.exitCode, 2);
        QVERIFY2(status.out.contains(QStringLiteral("ended abnormally")), qPrintable(status.out));
        QTemporaryDir dir;
        const MonitorRun program = runMonitor({"--key", key, "program", writeHexFile(dir, "b.hex")});
        QCOMPARE(program.exitCode, 2);
        QVERIFY2(program.err.contains(QStringLiteral("no loader is running")), qPrintable(program.err));

        // Marking itself present takes over the mark for good.
        link.setStatusZuvodErirora(true);
        KX_SharedMemSocked second(key);
        QVERIFY(second.isOtherLoaderRunning());
        link.setStatusZuvodErirora(false);
    }
};

// Stand-in for a loader that will be killed: marks itself present in the
// block named by the key, reports "ready", then waits to be killed.
static int holdLink(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    KX_SharedMemSocked link(QString::fromUtf8(argv[2]));
    link.setStatusZuvodErirora(true);
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

// A peer that holds the block's lock until it is killed.
static int holdLock(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QSharedMemory memory(QString::fromUtf8(argv[2]));
    if (!memory.attach() || !memory.lock())
        return 3;
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

// Another user's block: becomes that user, then makes the segment under the
// key file given, mode 0600.
static int foreignBlock(const char* keyFile)
{
    if (setgid(65534) != 0 || setuid(65534) != 0)
        return 3;
    const key_t key = ftok(keyFile, 'Q');
    return shmget(key, 312, IPC_CREAT | IPC_EXCL | 0600) >= 0 ? 0 : 4;
}

// The debug monitor's side written from the block's table of byte offsets,
// with nothing of the loader's own code: present 0, request 1, result 4
// (32-bit little-endian), connected 8, path 9 (150 bytes), name 159.
static int tablePeer(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QSharedMemory memory(QString::fromUtf8(argv[2]));
    if (!memory.attach())
        return 3;
    auto* b = static_cast<uchar*>(memory.data());
    auto result = [&] {
        memory.lock();
        const qint32 r = qint32(quint32(b[4]) | quint32(b[5]) << 8 | quint32(b[6]) << 16 | quint32(b[7]) << 24);
        memory.unlock();
        return r;
    };
    const QByteArray path = QByteArray(argv[3]);
    memory.lock();
    const int present = b[0], connected = b[8];
    const QByteArray name(reinterpret_cast<const char*>(b + 159));
    std::memcpy(b + 9, path.constData(), size_t(path.size()) + 1);
    b[1] = 1;
    memory.unlock();
    QElapsedTimer clock;
    clock.start();
    qint32 answer = 0;
    while ((answer = result()) == 0 && clock.elapsed() < 10000)
        QThread::msleep(2);
    memory.lock();
    b[1] = 0;
    memory.unlock();
    while (result() != 0 && clock.elapsed() < 15000)
        QThread::msleep(2);
    std::printf("%s present=%d connected=%d name=%s result=%d reset=%d\n", memory.size() >= 312 ? "size>=312" : "size<312",
                present, connected, name.constData(), answer, result() == 0 ? 1 : 0);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--hold-link") == 0)
        return holdLink(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--hold-lock") == 0)
        return holdLock(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--foreign-block") == 0)
        return foreignBlock(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "--table-peer") == 0)
        return tablePeer(argc, argv);
    QCoreApplication app(argc, argv);
    SharedMemoryLinkTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_shared_memory.moc"
