#include "BenchWindow.h"

#include "programming/HexConversion.h"
#include "resources/TivakoResources.h"
#include "settings/KX_XML_Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

namespace bench {

void isolate(const QTemporaryDir& home)
{
    const QByteArray path = QFile::encodeName(home.path());
    qputenv("HOME", path);
    qputenv("XDG_DATA_HOME", path + "/.local/share");
    qputenv("XDG_CONFIG_HOME", path + "/.config");
    qputenv("XDG_CACHE_HOME", path + "/.cache");
    QDir(home.path()).mkpath(QStringLiteral("run"));
    QFile::setPermissions(home.path() + QStringLiteral("/run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", path + "/run");
    qputenv("TIVAKO_SHM_KEY", "tivako-bench-" + QByteArray::number(qint64(::getpid())));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

std::shared_ptr<SimBridgeBackend> rememberedBoard(bool firmware)
{
    SimOptions options;
    options.timing = SimTiming::Realtime;
    auto boards = std::make_shared<SimBridgeBackend>(options);
    SimBoard* board = boards->board(0);
    if (firmware) {
        tivakoInitResources();
        QFile hex(QStringLiteral(":/hex/RozazerEvu_1_0_54.hex"));
        QTemporaryFile bin;
        if (convertHex2BinFile(&hex, &bin) == 1) {
            bin.seek(0);
            const QByteArray image = bin.readAll();
            board->setFlash(0, std::vector<uint8_t>(image.begin(), image.end()));
            board->unplug();
            board->plug();
        }
    }
    bridgeInstallBackend(boards);
    KX_XML_Settings settings; // written when it goes
    settings.setUsbDevName(
        QStringLiteral("%1 [0x%2]")
            .arg(QString::fromStdString(board->description()), QString::fromStdString(board->serial())));
    return boards;
}

void settle(int ms)
{
    // A real event loop: the window runs as it would, and the benchmark
    // adds no wake-ups of its own.
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool connected(QWidget& window)
{
    auto* label = window.findChild<QLabel*>(QStringLiteral("m_lConnectText"));
    return label && !label->isHidden();
}

namespace {
double seconds(const timespec& t)
{
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}
} // namespace

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return seconds(t);
}

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return seconds(t);
}

long rssKb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLong() * (::sysconf(_SC_PAGESIZE) / 1024) : -1;
}

std::map<QString, double> cpuSecondsByThread()
{
    std::map<QString, double> byName;
    const double tick = double(::sysconf(_SC_CLK_TCK));
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks) {
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(task));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // The name stands in parentheses and may hold spaces.
        const int open = line.indexOf('(');
        const int close = line.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        const QList<QByteArray> rest = line.mid(close + 2).split(' ');
        if (rest.size() < 13)
            continue;
        // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
        const double used = (rest.at(11).toDouble() + rest.at(12).toDouble()) / tick;
        byName[QString::fromUtf8(line.mid(open + 1, close - open - 1))] += used;
    }
    return byName;
}

std::map<QString, double> wakeUpsByThread()
{
    std::map<QString, double> byName;
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks) {
        QFile status(QStringLiteral("/proc/self/task/%1/status").arg(task));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        QString name;
        double switches = 0;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Name:"))
                name = QString::fromUtf8(line.mid(5).trimmed());
            else if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
                switches += line.mid(line.indexOf(':') + 1).trimmed().toDouble();
        }
        byName[name] += switches;
    }
    return byName;
}

namespace {
double difference(const std::map<QString, double>& start, const std::pair<const QString, double>& entry)
{
    const auto before = start.find(entry.first);
    return entry.second - (before == start.end() ? 0.0 : before->second);
}
} // namespace

QString threadShares(const std::map<QString, double>& start, const std::map<QString, double>& end, double wall,
                     double scale)
{
    QStringList parts;
    for (const auto& entry : end)
        parts << QStringLiteral("\"%1\":%2").arg(entry.first).arg(scale * difference(start, entry) / wall, 0, 'f', 2);
    return QLatin1Char('{') + parts.join(QLatin1Char(',')) + QLatin1Char('}');
}

double totalRate(const std::map<QString, double>& start, const std::map<QString, double>& end, double wall)
{
    double sum = 0;
    for (const auto& entry : end)
        sum += difference(start, entry);
    return sum / wall;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = size_t(std::ceil(p / 100.0 * double(values.size()))) - 1;
    return values[std::min(index, values.size() - 1)];
}

} // namespace bench
