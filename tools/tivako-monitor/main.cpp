// tivako-monitor: plays the debug monitor's side of the block that a running
// loader shares, so that a loader can be asked about its board and told to
// program a hex file from a script.

#include "ipc/BlockIpc.h"
#include "ipc/InstanceLock.h"
#include "ipc/SharedBlock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QSharedMemory>
#include <QStringList>
#include <QThread>

#include <csignal>
#include <cstdio>

namespace {

const char kDefaultKey[] = "VA_ZiduvaZururedadi";
const double kDefaultTimeoutSeconds = 120.0;
const int kPollMs = 5;
const int kLockWaitMs = 1000;
const int kLivenessCheckMs = 250;
// Time the loader's 1 ms watch loop gets to notice a withdrawn request.
const int kWithdrawSettleMs = 100;
// Time the loader gets to reset the result once the request is cleared.
const int kResultResetWaitMs = 2000;

enum ExitCode { kSuccess = 0, kProgrammingFailed = 1, kNotDone = 2 };

const char kSynopsis[] = "Usage: tivako-monitor [--key KEY] status\n"
                         "       tivako-monitor [--key KEY] program FILE.hex [--timeout SECONDS]\n"
                         "       tivako-monitor --help\n";

const char kDescription[] = "\n"
                            "Stands in for the debug monitor on the shared block of a running Tivako\n"
                            "loader.\n"
                            "\n"
                            "Commands:\n"
                            "  status            Show whether a loader is running, whether it has a board\n"
                            "                    connected and under which name, and the request and result\n"
                            "                    held in the block. Exit status 0 when a loader is running,\n"
                            "                    2 when none is.\n"
                            "  program FILE.hex  Ask the running loader to program FILE.hex into its board\n"
                            "                    and wait for the outcome. The file's absolute path must fit\n"
                            "                    the block (at most 149 bytes in UTF-8). Exit status 0 when\n"
                            "                    programming succeeded, 1 when it failed or FILE.hex is not a\n"
                            "                    regular file, 2 when no loader is\n"
                            "                    running, no result came in time, the loader ended first, or\n"
                            "                    the command line is wrong.\n"
                            "\n"
                            "Options:\n"
                            "  --key KEY          Key of the shared block (default: VA_ZiduvaZururedadi).\n"
                            "  --timeout SECONDS  How long program waits for the result (default: 120).\n"
                            "  -h, --help         Show this text and exit.\n";

volatile std::sig_atomic_t g_interrupted = 0;

void onSignal(int)
{
    g_interrupted = 1;
}

void fail(const QString& message)
{
    std::fprintf(stderr, "tivako-monitor: %s\n", qUtf8Printable(message));
}

struct Options
{
    QString key = QLatin1String(kDefaultKey);
    QStringList positional;
    double timeoutSeconds = kDefaultTimeoutSeconds;
    bool timeoutGiven = false;
    bool help = false;
};

// Returns an empty string on success, otherwise what is wrong.
QString parseArguments(const QStringList& args, Options& options)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        QString value;
        auto takeValue = [&](const QString& name) -> bool {
            if (arg.startsWith(name + QLatin1Char('='))) {
                value = arg.mid(name.size() + 1);
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            value = args.at(++i);
            return true;
        };
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            options.help = true;
        } else if (arg == QLatin1String("--key") || arg.startsWith(QLatin1String("--key="))) {
            if (!takeValue(QStringLiteral("--key")))
                return QStringLiteral("--key needs a value");
            if (value.isEmpty())
                return QStringLiteral("--key must not be empty");
            options.key = value;
        } else if (arg == QLatin1String("--timeout") || arg.startsWith(QLatin1String("--timeout="))) {
            if (!takeValue(QStringLiteral("--timeout")))
                return QStringLiteral("--timeout needs a value");
            bool ok = false;
            options.timeoutSeconds = value.toDouble(&ok);
            if (!ok || !(options.timeoutSeconds > 0) || options.timeoutSeconds > 86400)
                return QStringLiteral("--timeout must be a number of seconds above 0 (up to 86400), not \"%1\"")
                    .arg(value);
            options.timeoutGiven = true;
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            return QStringLiteral("unknown option \"%1\"").arg(arg);
        } else {
            options.positional << arg;
        }
    }
    return QString();
}

// The monitor's view of the block: attached only, never created, so that no
// block is left behind by asking about a loader that is not there.
class Block
{
public:
    explicit Block(const QString& key) : m_Key(key), m_Memory(key) {}

    QString attach()
    {
        // QSharedMemory's attach waits for the lock without a limit.
        m_Semaphore = BlockIpc::semaphoreId(m_Memory);
        const BlockIpc::LockResult probe = BlockIpc::lockWithin(m_Semaphore, kLockWaitMs);
        if (probe == BlockIpc::LockResult::Busy)
            return QStringLiteral("the lock of the shared block with key \"%1\" is held by another process").arg(m_Key);
        if (probe == BlockIpc::LockResult::Locked)
            BlockIpc::unlock(m_Semaphore);
        if (!m_Memory.attach(QSharedMemory::ReadWrite)) {
            if (m_Memory.error() == QSharedMemory::NotFound)
                return QStringLiteral("no loader is running (there is no shared block with key \"%1\")").arg(m_Key);
            return QStringLiteral("cannot open the shared block with key \"%1\": %2")
                .arg(m_Key, m_Memory.errorString());
        }
        if (m_Memory.size() < SharedBlock::kBlockSize)
            return QStringLiteral("the shared block with key \"%1\" has %2 bytes, not %3: it is not a loader's")
                .arg(m_Key)
                .arg(m_Memory.size())
                .arg(int(SharedBlock::kBlockSize));
        return QString();
    }

    // Runs f on the block's bytes with the system-wide lock held. The lock
    // is waited for a limited time: a peer that holds it stalls nothing.
    template <typename F> bool locked(F f)
    {
        if (m_Semaphore < 0)
            m_Semaphore = BlockIpc::semaphoreId(m_Memory);
        const BlockIpc::LockResult result = BlockIpc::lockWithin(m_Semaphore, kLockWaitMs);
        if (result == BlockIpc::LockResult::Gone) {
            // Its maker removed it on leaving; the facility makes it anew.
            m_Semaphore = -1;
            if (!m_Memory.lock()) {
                fail(QStringLiteral("cannot lock the shared block: %1").arg(m_Memory.errorString()));
                return false;
            }
            f(static_cast<uchar*>(m_Memory.data()));
            m_Memory.unlock();
            return true;
        }
        if (result != BlockIpc::LockResult::Locked) {
            fail(QStringLiteral("the shared block's lock is held by another process for more than %1 ms")
                     .arg(kLockWaitMs));
            return false;
        }
        f(static_cast<uchar*>(m_Memory.data()));
        BlockIpc::unlock(m_Semaphore);
        return true;
    }

    SharedBlock::Snapshot snapshot(bool* ok = nullptr)
    {
        SharedBlock::Snapshot s;
        const bool done = locked([&](uchar* block) { s = SharedBlock::decode(block); });
        if (ok)
            *ok = done;
        return s;
    }

    void setRequest(quint8 value)
    {
        locked([&](uchar* block) { SharedBlock::writeByte(block, SharedBlock::kProgrammingRequest, value); });
    }

private:
    QString m_Key;
    QSharedMemory m_Memory;
    int m_Semaphore = -1;
};

// Unmarked: the loader keeps the block protocol but no lock file, so only
// its presence flag tells, and that flag outlives a loader that crashed.
enum class Liveness { Running, RunningUnconfirmed, NotMarked, Stale };

Liveness loaderLiveness(const QString& key, const SharedBlock::Snapshot& s)
{
    if (!s.loaderPresent)
        return Liveness::NotMarked;
    // A loader that ends normally removes its lock file; one that died
    // leaves it behind, free.
    if (!QFileInfo::exists(instanceLockPath(key, QLatin1String(kLoaderLockRole))))
        return Liveness::RunningUnconfirmed;
    return probeInstanceLock(key, QLatin1String(kLoaderLockRole)) == InstanceLockState::Free ? Liveness::Stale
                                                                                             : Liveness::Running;
}

bool isRunning(Liveness liveness)
{
    return liveness == Liveness::Running || liveness == Liveness::RunningUnconfirmed;
}

const char kUnconfirmedHint[] = "running (by its presence flag only: the loader keeps no lock file, so the flag "
                                "may be stale)";

QString resultText(qint32 result)
{
    switch (result) {
    case 0:
        return QStringLiteral("0 (none)");
    case 1:
        return QStringLiteral("1 (success)");
    case -1:
        return QStringLiteral("-1 (failure)");
    default:
        return QStringLiteral("%1 (unknown)").arg(result);
    }
}

int commandStatus(const Options& options)
{
    Block block(options.key);
    const QString error = block.attach();
    if (!error.isEmpty()) {
        fail(error);
        return kNotDone;
    }
    const SharedBlock::Snapshot s = block.snapshot();
    const Liveness liveness = loaderLiveness(options.key, s);

    QString loader = QStringLiteral("running");
    if (liveness == Liveness::RunningUnconfirmed)
        loader = QLatin1String(kUnconfirmedHint);
    else if (liveness == Liveness::NotMarked)
        loader = QStringLiteral("not running");
    else if (liveness == Liveness::Stale)
        loader = QStringLiteral("not running (its mark was left by a loader that ended abnormally)");
    QString device = s.deviceName.isEmpty() ? QStringLiteral("-") : s.deviceName;
    if (!s.nameTerminated)
        device += QStringLiteral(" (not terminated inside its field)");
    QString path = s.path2Hexfile.isEmpty() ? QStringLiteral("-") : s.path2Hexfile;
    if (!s.pathTerminated)
        path += QStringLiteral(" (not terminated inside its field)");
    QString request = s.programmingRequest == 1 ? QStringLiteral("pending") : QStringLiteral("none");
    if (s.programmingRequest > 1)
        request += QStringLiteral(" (value %1)").arg(s.programmingRequest);

    std::printf("key:     %s\n", qUtf8Printable(options.key));
    std::printf("loader:  %s\n", qUtf8Printable(loader));
    std::printf("board:   %s\n", s.boardConnected ? "connected" : "not connected");
    std::printf("device:  %s\n", qUtf8Printable(device));
    std::printf("request: %s\n", qUtf8Printable(request));
    std::printf("result:  %s\n", qUtf8Printable(resultText(s.programmingResult)));
    std::printf("path:    %s\n", qUtf8Printable(path));
    std::fflush(stdout);
    if (!isRunning(liveness)) {
        fail(QStringLiteral("no loader is running"));
        return kNotDone;
    }
    return kSuccess;
}

int commandProgram(const Options& options, const QString& file)
{
    const QFileInfo info(file);
    if (!info.exists()) {
        fail(QStringLiteral("no such file: %1").arg(file));
        return kNotDone;
    }
    if (!info.isFile()) {
        // A FIFO or a device would hold the loader's programming; it refuses
        // them, and so does the monitor, before asking.
        fail(QStringLiteral("not a regular file: %1").arg(file));
        return kProgrammingFailed;
    }
    const QString path = info.absoluteFilePath();
    const QByteArray utf8 = path.toUtf8();
    if (utf8.size() > SharedBlock::kMaxPathBytes) {
        fail(QStringLiteral("the path %1 is %2 bytes long; the shared block holds at most %3")
                 .arg(path)
                 .arg(utf8.size())
                 .arg(int(SharedBlock::kMaxPathBytes)));
        return kNotDone;
    }

    Block block(options.key);
    const QString error = block.attach();
    if (!error.isEmpty()) {
        fail(error);
        return kNotDone;
    }
    QLockFile monitorLock(instanceLockPath(options.key, QLatin1String(kMonitorLockRole)));
    monitorLock.setStaleLockTime(0);
    if (!monitorLock.tryLock(0)) {
        fail(QStringLiteral("another tivako-monitor is programming through key \"%1\"").arg(options.key));
        return kNotDone;
    }

    SharedBlock::Snapshot s = block.snapshot();
    const Liveness liveness = loaderLiveness(options.key, s);
    if (liveness == Liveness::RunningUnconfirmed)
        fail(QStringLiteral("hint: the loader keeps no lock file; its presence flag may be stale"));
    if (!isRunning(liveness)) {
        fail(liveness == Liveness::Stale
                 ? QStringLiteral("no loader is running (the last one ended abnormally and left its mark)")
                 : QStringLiteral("no loader is running (the shared block says none is present)"));
        return kNotDone;
    }
    if (s.programmingRequest != 0) {
        // No other stand-in is alive (we hold the monitor lock), so this is
        // what a killed monitor left behind.
        fail(QStringLiteral("withdrawing a request left pending by an earlier monitor"));
        block.setRequest(0);
        QThread::msleep(kWithdrawSettleMs);
    }

    // A result still in the block would be taken for this request's.
    block.locked([&](uchar* b) {
        SharedBlock::writeProgrammingResult(b, 0);
        SharedBlock::writeText(b, SharedBlock::kPath2Hexfile, SharedBlock::kPath2HexfileSize, utf8);
        SharedBlock::writeByte(b, SharedBlock::kProgrammingRequest, 1);
    });

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    QElapsedTimer clock;
    clock.start();
    qint64 lastLivenessCheck = 0;
    const qint64 timeoutMs = static_cast<qint64>(options.timeoutSeconds * 1000.0);
    QString abandoned;
    qint32 result = 0;
    while (result == 0) {
        bool read = false;
        s = block.snapshot(&read);
        if (!read) {
            if (g_interrupted || clock.elapsed() >= timeoutMs)
                return fail(QStringLiteral("gave up; the request may still be pending")), kNotDone;
            continue;
        }
        result = s.programmingResult;
        if (result != 0)
            break;
        if (s.programmingRequest != 1)
            return fail(QStringLiteral("the loader withdrew the request (it has ended)")), kNotDone;
        if (!s.loaderPresent) {
            abandoned = QStringLiteral("the loader has ended before it answered");
        } else if (clock.elapsed() - lastLivenessCheck >= kLivenessCheckMs) {
            lastLivenessCheck = clock.elapsed();
            if (loaderLiveness(options.key, s) == Liveness::Stale)
                abandoned = QStringLiteral("the loader is no longer running");
        }
        if (abandoned.isEmpty() && g_interrupted)
            abandoned = QStringLiteral("interrupted");
        if (abandoned.isEmpty() && clock.elapsed() >= timeoutMs)
            abandoned = QStringLiteral("no result within %1 seconds").arg(options.timeoutSeconds);
        if (!abandoned.isEmpty()) {
            block.setRequest(0);
            fail(abandoned + QStringLiteral("; request withdrawn"));
            return kNotDone;
        }
        QThread::msleep(kPollMs);
    }

    // Clearing the request tells the loader that the result has been taken.
    // The loader then resets the result; a next request before that would
    // find this one's result and take it for its own.
    block.setRequest(0);
    const qint64 resetDeadline = clock.elapsed() + kResultResetWaitMs;
    bool read = false;
    while (block.snapshot(&read).programmingResult != 0 || !read) {
        if (clock.elapsed() >= resetDeadline) {
            fail(QStringLiteral("warning: the loader did not reset the result within %1 ms").arg(kResultResetWaitMs));
            break;
        }
        QThread::msleep(kPollMs);
    }
    if (result == 1) {
        std::printf("Programming succeeded: %s (result 1)\n", qUtf8Printable(path));
        std::fflush(stdout);
        return kSuccess;
    }
    fail(QStringLiteral("programming failed: %1 (result %2)").arg(path).arg(result));
    return kProgrammingFailed;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    const QString error = parseArguments(app.arguments(), options);
    if (options.help) {
        std::fputs(kSynopsis, stdout);
        std::fputs(kDescription, stdout);
        return kSuccess;
    }
    if (!error.isEmpty()) {
        fail(error);
        std::fputs(kSynopsis, stderr);
        return kNotDone;
    }
    const QString command = options.positional.value(0);
    if (command == QLatin1String("status") && options.positional.size() == 1 && !options.timeoutGiven)
        return commandStatus(options);
    if (command == QLatin1String("program") && options.positional.size() == 2)
        return commandProgram(options, options.positional.at(1));

    if (command.isEmpty())
        fail(QStringLiteral("no command given"));
    else if (command == QLatin1String("status"))
        fail(options.timeoutGiven ? QStringLiteral("status takes no --timeout")
                                  : QStringLiteral("status takes no further arguments"));
    else if (command == QLatin1String("program"))
        fail(options.positional.size() < 2 ? QStringLiteral("program needs the hex file")
                                           : QStringLiteral("program takes exactly one hex file"));
    else
        fail(QStringLiteral("unknown command \"%1\"").arg(command));
    std::fputs(kSynopsis, stderr);
    return kNotDone;
}
