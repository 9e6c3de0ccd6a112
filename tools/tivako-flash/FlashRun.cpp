#include "tools/tivako-flash/FlashRun.h"

#include "bridge/KX_SI_USBXpressDev.h"
#include "programming/HexConversion.h"
#include "resources/TivakoResources.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace {

const char kSynopsis[] = "Usage: tivako-flash --list [--json]\n"
                         "       tivako-flash (--all | --board SERIAL...) (--image FILE.hex | --quadrel)\n"
                         "                    [--json] [--timeout SECONDS] [--verbose]\n"
                         "       tivako-flash --help\n";

const char kDescription[] =
    "\n"
    "Programs Tivako boards through their USB-to-UART bridges without a window:\n"
    "one board, or every attached board at once, one bootloader session per board\n"
    "in parallel. TIVAKO_BRIDGE=usb|sim|usb+sim chooses the bridges, as for the\n"
    "loader.\n"
    "\n"
    "Options:\n"
    "  --list             List the attached boards, one per line: description, a\n"
    "                     tab, serial number.\n"
    "  --all              Program every attached board.\n"
    "  --board SERIAL     Program the board with this serial number; may be given\n"
    "                     more than once.\n"
    "  --image FILE.hex   The Intel HEX image to program.\n"
    "  --quadrel          Program the built-in Quadrel image.\n"
    "  --json             One JSON object per line: each listed board, or each\n"
    "                     event of a run (start, progress every 10 %, result,\n"
    "                     summary).\n"
    "  --timeout SECONDS  Bound for the whole run (default: 600); sessions still\n"
    "                     running then are ended and count as failed.\n"
    "  --verbose          Copy the diagnostic log to standard error.\n"
    "  -h, --help         Show this text and exit.\n"
    "\n"
    "On a terminal each board has a progress line that is redrawn in place;\n"
    "otherwise plain lines are written. A board that another program holds open\n"
    "(a running loader) is reported as busy. SIGINT, SIGTERM and SIGHUP end the\n"
    "sessions in flight, which resets their boards into their own firmware.\n"
    "\n"
    "Exit status: 0 every board programmed, 1 any board failed, was busy or ran\n"
    "out of time, 2 usage error or a named board is not attached, 128 + the\n"
    "signal's number when interrupted.\n";

const char kQuadrelResource[] = ":/hex/RozazerEvu_1_0_54.hex";
const double kDefaultTimeoutSeconds = 600;
const double kMaxTimeoutSeconds = 86400;
const int kTickMs = 20;
const int kRedrawMs = 100;
// A new device object lists the boards in its worker's first cycle.
const int kListWaitMs = 5000;
// An ended session resets its board (about 100 ms) within a few cycles.
const int kEndWaitMs = 10000;
const int kBlockBytes = 256;
const int kBarWidth = 20;

// Lock-free, so the handler may store it, and atomic, because the signal may
// arrive on any thread of the process.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set in a signal handler");

void onStopSignal(int signal)
{
    g_stopSignal.store(signal);
}

struct Options
{
    bool list = false;
    bool all = false;
    bool quadrel = false;
    bool json = false;
    bool verbose = false;
    bool help = false;
    QStringList boards;
    QString image;
    double timeoutSeconds = kDefaultTimeoutSeconds;
};

// Returns an empty string on success, otherwise what is wrong.
QString parseArguments(const QStringList& args, Options& o)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        QString value;
        auto takeValue = [&](const char* name) -> bool {
            const QString prefix = QLatin1String(name) + QLatin1Char('=');
            if (arg.startsWith(prefix)) {
                value = arg.mid(prefix.size());
                return true;
            }
            if (arg != QLatin1String(name) || i + 1 >= args.size())
                return false;
            value = args.at(++i);
            return true;
        };
        auto is = [&](const char* name) {
            return arg == QLatin1String(name) || arg.startsWith(QLatin1String(name) + QLatin1Char('='));
        };
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            o.help = true;
        } else if (arg == QLatin1String("--list")) {
            o.list = true;
        } else if (arg == QLatin1String("--all")) {
            o.all = true;
        } else if (arg == QLatin1String("--quadrel")) {
            o.quadrel = true;
        } else if (arg == QLatin1String("--json")) {
            o.json = true;
        } else if (arg == QLatin1String("--verbose")) {
            o.verbose = true;
        } else if (is("--board")) {
            if (!takeValue("--board") || value.isEmpty())
                return QStringLiteral("--board needs a serial number");
            if (!o.boards.contains(value))
                o.boards << value;
        } else if (is("--image")) {
            if (!takeValue("--image") || value.isEmpty())
                return QStringLiteral("--image needs a hex file");
            if (!o.image.isEmpty())
                return QStringLiteral("--image given twice");
            o.image = value;
        } else if (is("--timeout")) {
            bool ok = false;
            if (takeValue("--timeout"))
                o.timeoutSeconds = value.toDouble(&ok);
            if (!ok || !(o.timeoutSeconds > 0) || o.timeoutSeconds > kMaxTimeoutSeconds)
                return QStringLiteral("--timeout needs a number of seconds above 0 (up to %1)").arg(kMaxTimeoutSeconds);
        } else {
            return QStringLiteral("unexpected argument \"%1\"").arg(arg);
        }
    }
    if (o.help)
        return QString();
    const bool programs = o.all || !o.boards.isEmpty() || o.quadrel || !o.image.isEmpty();
    if (o.list)
        return programs ? QStringLiteral("--list takes no board or image") : QString();
    if (!o.all && o.boards.isEmpty())
        return QStringLiteral("name the boards with --board SERIAL, or give --all (or --list)");
    if (o.all && !o.boards.isEmpty())
        return QStringLiteral("--all and --board exclude each other");
    if (o.quadrel == !o.image.isEmpty())
        return QStringLiteral("give exactly one of --image FILE.hex and --quadrel");
    return QString();
}

struct Listed
{
    QString description;
    QString serial;
};

// The device class names a device "description [0xSERIAL]".
Listed splitDisplayName(const QString& name)
{
    const int at = name.lastIndexOf(QLatin1String(" [0x"));
    if (at < 0 || !name.endsWith(QLatin1Char(']')))
        return {name, QString()};
    return {name.left(at), name.mid(at + 4, name.size() - at - 5)};
}

QList<Listed> listed(KX_SI_USBXpressDev& device)
{
    QList<Listed> boards;
    for (const QString& name : device.getDeviceList())
        boards << splitDisplayName(name);
    return boards;
}

int indexOfSerial(const QList<Listed>& boards, const QString& serial)
{
    for (int i = 0; i < boards.size(); ++i) {
        if (boards.at(i).serial == serial)
            return i;
    }
    return -1;
}

QString withoutColours(QString text)
{
    int at;
    while ((at = text.indexOf(QChar(0x1b))) >= 0) {
        const int end = text.indexOf(QLatin1Char('m'), at);
        text.remove(at, end < 0 ? text.size() - at : end - at + 1);
    }
    return text;
}

QString signalName(int signal)
{
    const char* name = sigabbrev_np(signal);
    return name ? QStringLiteral("SIG") + QLatin1String(name) : QStringLiteral("signal %1").arg(signal);
}

// Seconds in JSON, to the millisecond.
double ms(double seconds)
{
    return std::round(seconds * 1000) / 1000;
}

void printJson(std::FILE* out, const QJsonObject& object)
{
    std::fprintf(out, "%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    std::fflush(out);
}

// ---------------------------------------------------------------------------
// The diagnostic log during a run. The sessions report some failures only
// there (a refused block, for one), so error lines are kept per board: a
// board's worker thread tells whose line it is, and lines of the run's own
// thread belong to the board being opened. With --verbose every line is
// copied to standard error.

class LogSink
{
public:
    explicit LogSink(bool verbose) : m_verbose(verbose)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_sink = this;
        m_previous = qInstallMessageHandler(&LogSink::handler);
    }
    ~LogSink()
    {
        qInstallMessageHandler(m_previous);
        std::lock_guard<std::mutex> lock(s_mutex);
        s_sink = nullptr;
    }
    void addThread(const QThread* thread, int board)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        m_boardOfThread.insert(thread, board);
        if (board >= static_cast<int>(m_firstError.size()))
            m_firstError.resize(board + 1);
    }
    void setOpening(int board)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        m_opening = board;
    }
    QString firstError(int board)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return board < static_cast<int>(m_firstError.size()) ? m_firstError[board] : QString();
    }
    void clearError(int board)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (board < static_cast<int>(m_firstError.size()))
            m_firstError[board].clear();
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        std::unique_lock<std::mutex> lock(s_mutex);
        LogSink* sink = s_sink;
        if (!sink)
            return;
        const bool errorLine = message.startsWith(QLatin1String("\x1b[31mERROR["));
        if (errorLine) {
            int board = sink->m_boardOfThread.value(QThread::currentThread(), -1);
            if (board < 0 && QThread::currentThread() == sink->m_runThread)
                board = sink->m_opening;
            if (board >= 0 && board < static_cast<int>(sink->m_firstError.size()) &&
                sink->m_firstError[board].isEmpty()) {
                // "ERROR[tag]->Class::method: message"
                const QString plain = withoutColours(message);
                const int label = plain.indexOf(QLatin1String("]->"));
                const int text = label < 0 ? -1 : plain.indexOf(QLatin1String(": "), label);
                sink->m_firstError[board] = text < 0 ? plain : plain.mid(text + 2);
            }
        }
        const QtMessageHandler previous = sink->m_previous;
        const bool copy = sink->m_verbose || type != QtDebugMsg;
        lock.unlock();
        if (!copy)
            return;
        if (previous)
            previous(type, context, message);
        else
            std::fprintf(stderr, "%s\n", qUtf8Printable(message));
    }

    static std::mutex s_mutex;
    static LogSink* s_sink;
    const bool m_verbose;
    const QThread* m_runThread = QThread::currentThread();
    QtMessageHandler m_previous = nullptr;
    QHash<const QThread*, int> m_boardOfThread;
    std::vector<QString> m_firstError;
    int m_opening = -1;
};

std::mutex LogSink::s_mutex;
LogSink* LogSink::s_sink = nullptr;

// ---------------------------------------------------------------------------
// One board of a run.

enum class Outcome { None, Ok, Failed, Busy, Interrupted, TimedOut };

const char* outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok:
        return "ok";
    case Outcome::Failed:
        return "failed";
    case Outcome::Busy:
        return "busy";
    case Outcome::Interrupted:
        return "interrupted";
    case Outcome::TimedOut:
        return "timeout";
    case Outcome::None:
        break;
    }
    return "running";
}

struct Board
{
    enum class Stage { Opening, Running, Ending, Done };

    QString serial;
    QString description;
    Stage stage = Stage::Opening;
    Outcome outcome = Outcome::None;
    std::atomic<int> finish{0}; // the session's result, written by its worker
    QElapsedTimer clock;
    double seconds = 0;
    // What the session wrote into the message ring, not yet taken apart.
    QByteArray pending;
    bool writing = false;
    int stars = 0;
    QString consoleFailure;
    QString message;
    int reportedDecile = 0;
    bool stopped = false; // the run's stop reached its session while it still ran
    // Last, so that it goes first: its worker may still write `finish`.
    std::unique_ptr<KX_SI_USBXpressDev> device;
};

// Console text of the session: "<br><b>line</b>\n" for each message line,
// and "\n*" then one "*" per acknowledged block while it writes.
void takeMessages(Board& b)
{
    quint8 byte;
    for (quint16 n = b.device->getMsgCount(); n > 0 && b.device->getMsgByte(&byte) == 1; --n)
        b.pending.append(static_cast<char>(byte));

    static const QByteArray head("<br><b>");
    static const QByteArray tail("</b>\n");
    while (!b.pending.isEmpty()) {
        if (b.pending.startsWith(head)) {
            const int end = b.pending.indexOf(tail, head.size());
            if (end < 0)
                return; // the rest of the line comes later
            const QString line =
                withoutColours(QString::fromLatin1(b.pending.mid(head.size(), end - head.size()))).trimmed();
            b.pending.remove(0, end + tail.size());
            if (line == QLatin1String("Write Firmware File:"))
                b.writing = true;
            else if (b.consoleFailure.isEmpty() &&
                     (line.startsWith(QLatin1String("Bootloader Fail")) || line.startsWith(QLatin1String("Hex-File"))))
                b.consoleFailure = line;
            continue;
        }
        if (head.startsWith(b.pending))
            return; // a line's head, cut short
        if (b.pending.at(0) == '*' && b.writing)
            ++b.stars;
        b.pending.remove(0, 1);
    }
}

class Run
{
public:
    Run(const Options& options, const FlashStreams& streams, qint64 imageBytes)
        : m_options(options), m_streams(streams), m_imageBytes(imageBytes), m_log(options.verbose)
    {
    }
    int program(const QString& hexPath);

private:
    qint64 bytesDone(const Board& b) const
    {
        return std::min<qint64>(static_cast<qint64>(std::max(b.stars - 1, 0)) * kBlockBytes, m_imageBytes);
    }
    int percent(const Board& b) const
    {
        return m_imageBytes > 0 ? static_cast<int>(bytesDone(b) * 100 / m_imageBytes) : 0;
    }
    double elapsed(const Board& b) const
    {
        return b.stage == Board::Stage::Done || b.stage == Board::Stage::Ending ? b.seconds
               : b.clock.isValid()                                            ? b.clock.nsecsElapsed() / 1e9
                                                                               : 0;
    }
    void openAll(const QList<Listed>& chosen, const QString& hexPath);
    void watch(Board& b, int index);
    void reportStart(const Board& b);
    void reportProgress(Board& b);
    void reportResult(const Board& b);
    void redraw(bool force);
    QString statusText(const Board& b) const;

    const Options& m_options;
    const FlashStreams& m_streams;
    const qint64 m_imageBytes;
    LogSink m_log;
    std::vector<std::unique_ptr<Board>> m_boards;
    Outcome m_stopOutcome = Outcome::None;
    int m_stopSignal = 0;
    int m_drawnLines = 0;
    QElapsedTimer m_sinceDraw;
};

void Run::openAll(const QList<Listed>& chosen, const QString& hexPath)
{
    for (const Listed& board : chosen) {
        auto b = std::make_unique<Board>();
        b->serial = board.serial;
        b->description = board.description;
        b->device = std::make_unique<KX_SI_USBXpressDev>();
        Board* raw = b.get();
        QObject::connect(
            b->device.get(), &KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, b->device.get(),
            [raw](qint8 result) { raw->finish.store(result == 1 ? 1 : -1); }, Qt::DirectConnection);
        m_log.addThread(b->device.get(), static_cast<int>(m_boards.size()));
        m_boards.push_back(std::move(b));
    }

    // Each device object lists the boards in its worker's first cycle; all of
    // them do so at the same time.
    QElapsedTimer wait;
    wait.start();
    for (size_t i = 0; i < m_boards.size(); ++i) {
        Board& b = *m_boards[i];
        int index = -1;
        while ((index = indexOfSerial(listed(*b.device), b.serial)) < 0 && wait.elapsed() < kListWaitMs)
            QThread::msleep(2);
        m_log.setOpening(static_cast<int>(i));
        const int opened = index < 0 ? -1 : b.device->openDevice(static_cast<quint16>(index));
        m_log.setOpening(-1);
        if (opened != 1) {
            // Listed but refused: the bridge is held by another program.
            const QString why = m_log.firstError(static_cast<int>(i));
            b.outcome = index < 0 ? Outcome::Failed : Outcome::Busy;
            b.message = index < 0 ? QStringLiteral("the board is no longer attached")
                                  : QStringLiteral("busy: the bridge refused to open (is a loader using the board?)") +
                                        (why.isEmpty() ? QString() : QStringLiteral(" [") + why + QStringLiteral("]"));
            b.stage = Board::Stage::Done;
            continue;
        }
        m_log.clearError(static_cast<int>(i));
        b.stage = Board::Stage::Running;
        reportStart(b);
        b.clock.start();
        b.device->SLOT_StartFirmwareUpdate(hexPath);
    }
    for (const auto& b : m_boards) {
        if (b->stage == Board::Stage::Done)
            reportResult(*b);
    }
}

void Run::watch(Board& b, int index)
{
    if (b.stage == Board::Stage::Running) {
        takeMessages(b);
        reportProgress(b);
        if (b.finish.load() != 0) {
            b.seconds = b.clock.nsecsElapsed() / 1e9;
            b.stage = Board::Stage::Ending;
        }
    }
    // The finish signal comes once the session has handed the board back;
    // the link stays open until the session has let go of it too.
    if (b.stage != Board::Stage::Ending || b.device->firmwareUpdateActive())
        return;
    takeMessages(b);
    reportProgress(b);
    b.device->closeDev();
    if (b.finish.load() == 1) {
        b.outcome = Outcome::Ok;
    } else if (b.stopped) {
        b.outcome = m_stopOutcome;
        b.message = m_stopOutcome == Outcome::TimedOut
                        ? QStringLiteral("no result within %1 seconds").arg(m_options.timeoutSeconds)
                        : QStringLiteral("stopped by %1").arg(signalName(m_stopSignal));
    } else {
        b.outcome = Outcome::Failed;
        // A time-out or a refused chip is a console message; a refused block
        // only an error line of the session.
        b.message = b.consoleFailure;
        if (b.message.isEmpty())
            b.message = m_log.firstError(index);
        if (b.message.isEmpty())
            b.message = QStringLiteral("the bootloader session failed");
    }
    b.stage = Board::Stage::Done;
    reportResult(b);
}

void Run::reportStart(const Board& b)
{
    if (m_options.json) {
        printJson(m_streams.out, {{"event", "start"},
                                  {"board", b.serial},
                                  {"description", b.description},
                                  {"image_bytes", static_cast<double>(m_imageBytes)}});
    } else if (!m_streams.terminal) {
        std::fprintf(m_streams.out, "%s: started (%s, %lld bytes)\n", qUtf8Printable(b.serial),
                     qUtf8Printable(b.description), static_cast<long long>(m_imageBytes));
        std::fflush(m_streams.out);
    }
}

void Run::reportProgress(Board& b)
{
    const int decile = percent(b) / 10;
    if (decile <= b.reportedDecile)
        return;
    b.reportedDecile = decile;
    if (m_options.json) {
        printJson(m_streams.out, {{"event", "progress"},
                                  {"board", b.serial},
                                  {"percent", percent(b)},
                                  {"bytes", static_cast<double>(bytesDone(b))},
                                  {"seconds", ms(b.clock.nsecsElapsed() / 1e9)}});
    } else if (!m_streams.terminal) {
        std::fprintf(m_streams.out, "%s: %3d%% %lld/%lld bytes %.1f s\n", qUtf8Printable(b.serial), percent(b),
                     static_cast<long long>(bytesDone(b)), static_cast<long long>(m_imageBytes),
                     b.clock.nsecsElapsed() / 1e9);
        std::fflush(m_streams.out);
    }
}

void Run::reportResult(const Board& b)
{
    if (m_options.json) {
        printJson(m_streams.out, {{"event", "result"},
                                  {"board", b.serial},
                                  {"status", outcomeName(b.outcome)},
                                  {"ok", b.outcome == Outcome::Ok},
                                  {"seconds", ms(b.seconds)},
                                  {"bytes", static_cast<double>(bytesDone(b))},
                                  {"message", b.message}});
    } else if (!m_streams.terminal) {
        if (b.outcome == Outcome::Ok)
            std::fprintf(m_streams.out, "%s: programmed in %.1f s\n", qUtf8Printable(b.serial), b.seconds);
        else
            std::fprintf(m_streams.out, "%s: %s after %.1f s: %s\n", qUtf8Printable(b.serial),
                         outcomeName(b.outcome), b.seconds, qUtf8Printable(b.message));
        std::fflush(m_streams.out);
    }
}

QString Run::statusText(const Board& b) const
{
    switch (b.outcome) {
    case Outcome::Ok:
        return QStringLiteral("done");
    case Outcome::None:
        return b.stage == Board::Stage::Opening ? QStringLiteral("opening")
               : b.writing                      ? QStringLiteral("writing")
                                                : QStringLiteral("boot, erase");
    default:
        return QString::fromLatin1(outcomeName(b.outcome)).toUpper() + QStringLiteral(": ") + b.message;
    }
}

// One line per board, redrawn in place; when the terminal is too short for
// all of them, the unfinished boards first and a count of the rest.
void Run::redraw(bool force)
{
    if (!m_streams.terminal || m_options.json)
        return;
    if (!force && m_sinceDraw.isValid() && m_sinceDraw.elapsed() < kRedrawMs)
        return;
    m_sinceDraw.start();

    int columns = 80;
    int rows = 24;
    winsize size{};
    if (ioctl(fileno(m_streams.out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        columns = size.ws_col;
        rows = size.ws_row;
    }
    std::vector<const Board*> shown;
    for (const auto& b : m_boards)
        shown.push_back(b.get());
    const int room = std::max(rows - 2, 2);
    int hidden = 0;
    if (static_cast<int>(shown.size()) > room) {
        std::stable_partition(shown.begin(), shown.end(),
                              [](const Board* b) { return b->stage != Board::Stage::Done; });
        hidden = static_cast<int>(shown.size()) - (room - 1);
        shown.resize(room - 1);
    }

    QByteArray text;
    if (m_drawnLines > 0)
        text += "\x1b[" + QByteArray::number(m_drawnLines) + "A";
    for (const Board* b : shown) {
        const int p = percent(*b);
        const int filled = p * kBarWidth / 100;
        QString line = QStringLiteral("%1 [%2%3] %4% %5/%6 B %7 s  %8")
                           .arg(b->serial, -8)
                           .arg(QString(filled, QLatin1Char('#')), QString(kBarWidth - filled, QLatin1Char('.')))
                           .arg(p, 3)
                           .arg(bytesDone(*b), 7)
                           .arg(m_imageBytes)
                           .arg(elapsed(*b), 5, 'f', 1)
                           .arg(statusText(*b));
        // A line that wraps would break the redraw.
        text += "\r\x1b[2K" + line.left(columns - 1).toUtf8() + "\n";
    }
    if (hidden > 0) {
        int done = 0;
        int failed = 0;
        for (const auto& b : m_boards) {
            done += b->outcome == Outcome::Ok;
            failed += b->outcome != Outcome::Ok && b->outcome != Outcome::None;
        }
        text += "\r\x1b[2K" +
                QStringLiteral("... %1 more; all boards: %2 done, %3 not programmed, %4 running")
                    .arg(hidden)
                    .arg(done)
                    .arg(failed)
                    .arg(static_cast<int>(m_boards.size()) - done - failed)
                    .left(columns - 1)
                    .toUtf8() +
                "\n";
    }
    m_drawnLines = static_cast<int>(shown.size()) + (hidden > 0 ? 1 : 0);
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), m_streams.out);
    std::fflush(m_streams.out);
}

int Run::program(const QString& hexPath)
{
    QList<Listed> attached;
    {
        KX_SI_USBXpressDev lister{KX_SI_USBXpressDev::ManualCycles{}};
        lister.fillListOfDevice();
        attached = listed(lister);
    }
    QList<Listed> chosen;
    if (m_options.all) {
        chosen = attached;
        if (chosen.isEmpty()) {
            std::fprintf(m_streams.err, "tivako-flash: no board is attached\n");
            return kFlashUsage;
        }
    } else {
        QStringList missing;
        for (const QString& serial : m_options.boards) {
            const int at = indexOfSerial(attached, serial);
            if (at < 0)
                missing << serial;
            else
                chosen << attached.at(at);
        }
        if (!missing.isEmpty()) {
            QStringList serials;
            for (const Listed& board : attached)
                serials << board.serial;
            std::fprintf(m_streams.err, "tivako-flash: no board with serial number %s is attached (attached: %s)\n",
                         qUtf8Printable(missing.join(QLatin1String(", "))),
                         serials.isEmpty() ? "none" : qUtf8Printable(serials.join(QLatin1String(", "))));
            return kFlashUsage;
        }
    }

    QElapsedTimer runClock;
    runClock.start();
    const qint64 timeoutMs = static_cast<qint64>(m_options.timeoutSeconds * 1000);
    openAll(chosen, hexPath);

    QElapsedTimer stopClock;
    int stopSignal = 0;
    for (;;) {
        const int caught = g_stopSignal.load();
        if (m_stopOutcome == Outcome::None && (caught != 0 || runClock.elapsed() >= timeoutMs)) {
            stopSignal = caught;
            m_stopSignal = stopSignal;
            m_stopOutcome = stopSignal != 0 ? Outcome::Interrupted : Outcome::TimedOut;
            stopClock.start();
            // A session that has already ended keeps its own result.
            for (const auto& b : m_boards) {
                if (b->stage == Board::Stage::Running && b->finish.load() == 0) {
                    b->stopped = true;
                    b->device->abortFirmwareUpdate();
                }
            }
        }
        bool busy = false;
        for (size_t i = 0; i < m_boards.size(); ++i) {
            watch(*m_boards[i], static_cast<int>(i));
            busy = busy || m_boards[i]->stage != Board::Stage::Done;
        }
        redraw(!busy);
        if (!busy)
            break;
        if (stopClock.isValid() && stopClock.elapsed() > kEndWaitMs) {
            // A session that does not end is left to the destructor, which
            // waits for its worker; its board may still be in its bootloader.
            for (const auto& b : m_boards) {
                if (b->stage == Board::Stage::Done)
                    continue;
                b->outcome = Outcome::Failed;
                b->message = QStringLiteral("the session did not end; the board may still be in its bootloader");
                b->stage = Board::Stage::Done;
                reportResult(*b);
            }
            redraw(true);
            break;
        }
        QThread::msleep(kTickMs);
    }

    int ok = 0;
    QStringList notProgrammed;
    for (const auto& b : m_boards) {
        if (b->outcome == Outcome::Ok)
            ++ok;
        else
            notProgrammed << b->serial;
        if (b->outcome != Outcome::Ok && !m_options.json)
            std::fprintf(m_streams.err, "tivako-flash: %s %s: %s\n", qUtf8Printable(b->serial),
                         outcomeName(b->outcome), qUtf8Printable(b->message));
    }
    m_boards.clear(); // each device's worker ends here
    const int exitCode =
        stopSignal != 0 ? 128 + stopSignal : notProgrammed.isEmpty() ? kFlashOk : kFlashFailed;
    const double seconds = runClock.nsecsElapsed() / 1e9;
    if (m_options.json) {
        printJson(m_streams.out, {{"event", "summary"},
                                  {"boards", ok + notProgrammed.size()},
                                  {"ok", ok},
                                  {"not_programmed", QJsonArray::fromStringList(notProgrammed)},
                                  {"seconds", ms(seconds)},
                                  {"exit", exitCode}});
    } else {
        std::fprintf(m_streams.out, "%d of %d boards programmed in %.1f s\n", ok, ok + notProgrammed.size(), seconds);
        std::fflush(m_streams.out);
    }
    return exitCode;
}

int listBoards(const Options& options, const FlashStreams& streams)
{
    KX_SI_USBXpressDev lister{KX_SI_USBXpressDev::ManualCycles{}};
    lister.fillListOfDevice();
    for (const Listed& board : listed(lister)) {
        if (options.json)
            printJson(streams.out, {{"description", board.description}, {"serial", board.serial}});
        else
            std::fprintf(streams.out, "%s\t%s\n", qUtf8Printable(board.description), qUtf8Printable(board.serial));
    }
    std::fflush(streams.out);
    return kFlashOk;
}

} // namespace

FlashStopSignals::FlashStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &m_previousInt);
    sigaction(SIGTERM, &action, &m_previousTerm);
    sigaction(SIGHUP, &action, &m_previousHup);
    // A reader that went away (a pipe into head) must not kill the run while
    // boards are in their bootloader: writes then just fail.
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, &m_previousPipe);
}

FlashStopSignals::~FlashStopSignals()
{
    sigaction(SIGINT, &m_previousInt, nullptr);
    sigaction(SIGTERM, &m_previousTerm, nullptr);
    sigaction(SIGHUP, &m_previousHup, nullptr);
    sigaction(SIGPIPE, &m_previousPipe, nullptr);
}

int runTivakoFlash(const QStringList& arguments, const FlashStreams& streams)
{
    g_stopSignal.store(0);
    Options options;
    const QString error = parseArguments(arguments, options);
    if (options.help) {
        std::fputs(kSynopsis, streams.out);
        std::fputs(kDescription, streams.out);
        std::fflush(streams.out);
        return kFlashOk;
    }
    if (!error.isEmpty()) {
        std::fprintf(streams.err, "tivako-flash: %s\n%s", qUtf8Printable(error), kSynopsis);
        return kFlashUsage;
    }
    if (options.list) {
        LogSink log(options.verbose);
        return listBoards(options, streams);
    }

    // The built-in image is handed to the sessions as a file like any other.
    QTemporaryDir folder;
    QString path = options.image;
    if (options.quadrel) {
        tivakoInitResources();
        path = folder.filePath(QStringLiteral("quadrel.hex"));
        if (!folder.isValid() || !QFile::copy(QLatin1String(kQuadrelResource), path)) {
            std::fprintf(streams.err, "tivako-flash: cannot write the built-in image to a temporary file\n");
            return kFlashFailed;
        }
    }
    // The image is checked once before any board is touched; its size
    // measures the progress.
    qint64 imageBytes = 0;
    {
        const QFileInfo info(path);
        if (!info.isFile()) {
            std::fprintf(streams.err, "tivako-flash: %s: %s\n", qUtf8Printable(path),
                         info.exists() ? "not a file" : "no such file");
            return kFlashUsage;
        }
        QFile hex(info.absoluteFilePath());
        QTemporaryFile image;
        LogSink log(options.verbose);
        const qint8 result = convertHex2BinFile(&hex, &image);
        if (result != 1) {
            std::fprintf(streams.err, "tivako-flash: %s: not a usable Intel HEX image (ErrorCode %d)\n",
                         qUtf8Printable(path), result);
            return kFlashUsage;
        }
        imageBytes = image.size();
        path = info.absoluteFilePath();
    }
    Run run(options, streams, imageBytes);
    return run.program(path);
}
