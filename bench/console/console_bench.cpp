// The console under a board that sends at the full line rate: a realtime
// virtual board floods numbered lines at 115200 baud, framed as its firmware
// frames them, through the bridge device and the real main window
// (offscreen) for N seconds. Prints one JSON line: what the board sent, what
// the console showed and lost, how late the event loop ran (a 10 ms timer's
// lateness), the GUI thread's CPU share and the resident memory before and
// after.
//
//   console_bench [seconds]      (default 20)

#include "BenchWindow.h"

#include "sim/SimFirmware.h"
#include "sim/SimMemory.h"
#include "ui/RidivuDizerozoDuveze.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

const int kLagTimerMs = 10;
const int kFloodLineText = 18; // "Flood 0123456789\r\n"

// Reads the console's new paragraphs as they come, before the block limit
// takes them away, and notes every flood line seen in them. A line cut by a
// tick continues in the next paragraph, so paragraphs are read as one stream.
class ConsoleReader
{
public:
    explicit ConsoleReader(QPlainTextEdit* console) : m_console(console) {}

    void poll(bool includeLast = false)
    {
        QTextDocument* doc = m_console->document();
        QList<QTextBlock> fresh;
        for (QTextBlock b = doc->lastBlock(); b.isValid() && b.userState() != kRead; b = b.previous())
            fresh.prepend(b);
        // The last paragraph may still grow (messages continue it); it is
        // read once the next one exists.
        if (!fresh.isEmpty() && !includeLast)
            fresh.removeLast();
        for (QTextBlock& b : fresh) {
            m_tail += b.text();
            b.setUserState(kRead);
        }
        int consumed = 0;
        for (auto it = m_pattern.globalMatch(m_tail); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const qint64 line = m.captured(1).toLongLong();
            if (line >= 0 && line < kMaxLines) {
                if (size_t(line) >= m_seen.size())
                    m_seen.resize(size_t(line) + 1, false);
                m_shown += m_seen[size_t(line)] ? 0 : 1;
                m_seen[size_t(line)] = true;
            }
            consumed = m.capturedEnd();
        }
        m_tail = m_tail.mid(consumed).right(32);
    }

    qint64 shown() const { return m_shown; }

private:
    enum { kRead = 1 };
    QPlainTextEdit* m_console;
    QString m_tail;
    QRegularExpression m_pattern{QStringLiteral("Flood (\\d{10})")};
    // One flag per line number, so the reader's own memory stays small.
    std::vector<bool> m_seen;
    qint64 m_shown = 0;
    static constexpr qint64 kMaxLines = 100000000;
};

// Lines whose frames add up to the board's flood byte count (frame sizes
// differ where a byte needs escaping).
qint64 linesSent(quint64 floodBytes, bool* exact)
{
    SimMemory memory(1);
    SimFirmware firmware(memory, SimOutput::Tlv);
    quint64 sum = 0;
    qint64 lines = 0;
    while (sum < floodBytes)
        sum += firmware.floodLine(quint64(lines++)).size();
    *exact = sum == floodBytes;
    return lines;
}

} // namespace

int main(int argc, char* argv[])
{
    QTemporaryDir home;
    bench::isolate(home);
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? QByteArray(argv[1]).toInt() : 20;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: console_bench [seconds]\n");
        return 2;
    }
    // The log would cost more than the console itself.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    auto boards = bench::rememberedBoard(true);
    SimBoard* board = boards->board(0);
    auto window = std::make_unique<RidivuDizerozoDuveze>(nullptr);
    window->show();
    if (!bench::waitUntil([&] { return bench::connected(*window); }, 10000)) {
        std::fprintf(stderr, "console_bench: the virtual board did not connect\n");
        return 1;
    }
    bench::settle(1500);

    ConsoleReader reader(window->findChild<QPlainTextEdit*>(QStringLiteral("m_pTEconsole")));
    QTimer readTimer;
    QObject::connect(&readTimer, &QTimer::timeout, [&] { reader.poll(); });
    readTimer.start(200);

    std::vector<double> lag;
    QElapsedTimer lagClock;
    QTimer lagTimer;
    lagTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&lagTimer, &QTimer::timeout, [&] {
        const double ms = lagClock.nsecsElapsed() / 1e6;
        lagClock.restart();
        lag.push_back(ms > kLagTimerMs ? ms - kLagTimerMs : 0.0);
    });

    const long rssStart = bench::rssKb();
    const SimBoardCounters before = board->counters();
    const double cpuStart = bench::threadCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    lagClock.start();
    lagTimer.start(kLagTimerMs);
    board->flood(1.0e6); // the line caps it at what 115200 baud carries
    bench::settle(seconds * 500);
    const long rssHalf = bench::rssKb();
    bench::settle(seconds * 500);
    board->flood(0);
    lagTimer.stop();
    const double cpu = bench::threadCpuSeconds() - cpuStart;
    const double elapsed = wall.nsecsElapsed() / 1e9;
    // What is still on its way reaches the console.
    bench::settle(1500);
    reader.poll(true);
    const long rssEnd = bench::rssKb();
    const SimBoardCounters after = board->counters();

    bool exact = false;
    const qint64 sent = linesSent(after.floodBytes, &exact);
    const qint64 shown = reader.shown();
    std::printf("{\"bench\":\"console\",\"seconds\":%d,\"wire_bytes_sent\":%llu,\"wire_bytes_per_s\":%.0f,"
                "\"text_bytes_sent\":%lld,\"text_bytes_shown\":%lld,\"lost_bytes\":%lld,\"count_exact\":%s,"
                "\"lag_ms_p50\":%.2f,\"lag_ms_p99\":%.2f,\"lag_ms_max\":%.2f,\"gui_thread_cpu_percent\":%.1f,"
                "\"rss_kb_start\":%ld,\"rss_kb_half\":%ld,\"rss_kb_end\":%ld}\n",
                seconds, static_cast<unsigned long long>(after.bytesSentByChip - before.bytesSentByChip),
                double(after.bytesSentByChip - before.bytesSentByChip) / elapsed, sent * kFloodLineText,
                shown * kFloodLineText, (sent - shown) * kFloodLineText, exact ? "true" : "false",
                bench::percentile(lag, 50), bench::percentile(lag, 99), bench::percentile(lag, 100),
                100.0 * cpu / elapsed, rssStart, rssHalf, rssEnd);
    window.reset();
    bridgeInstallBackend(nullptr);
    return sent == shown ? 0 : 1;
}
