#ifndef TIVAKO_BENCH_CONSOLE_BENCHWINDOW_H
#define TIVAKO_BENCH_CONSOLE_BENCHWINDOW_H

// What the window benchmarks share: a scratch home and shared-memory key of
// their own, a realtime virtual board that the window connects by itself,
// waiting while the event loop runs, and the process's own CPU and memory
// figures from /proc.

#include "sim/SimBridgeBackend.h"

#include <QElapsedTimer>
#include <QString>
#include <QTemporaryDir>
#include <QWidget>

#include <map>
#include <memory>
#include <vector>

namespace bench {

// Call before the application object exists: HOME and XDG folders in
// `home`, an own shared-memory key, offscreen unless a platform is set.
void isolate(const QTemporaryDir& home);

// One realtime board, installed as the bridge backend and remembered in the
// settings so that the window connects it at start. With firmware its flash
// holds the built-in image (the board talks); without, it stays silent.
std::shared_ptr<SimBridgeBackend> rememberedBoard(bool firmware);

void settle(int ms);
template <typename F> bool waitUntil(F condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        settle(1);
    }
    return true;
}

bool connected(QWidget& window);

// CPU seconds used so far by the calling thread, and by the whole process.
double threadCpuSeconds();
double processCpuSeconds();
long rssKb();
// CPU seconds per thread of the process, by thread name (threads of the same
// name added up).
std::map<QString, double> cpuSecondsByThread();
// Context switches so far (voluntary and involuntary: each is a wake-up) per
// thread, by thread name, added up like the CPU seconds.
std::map<QString, double> wakeUpsByThread();
// {"name":value,...} of the difference between two such readings, per second
// of `wall` and times `scale` (100 turns CPU seconds into percent).
QString threadShares(const std::map<QString, double>& start, const std::map<QString, double>& end, double wall,
                     double scale = 100.0);
// The sum over all threads of that difference, per second of `wall`.
double totalRate(const std::map<QString, double>& start, const std::map<QString, double>& end, double wall);

double percentile(std::vector<double> values, double p);

} // namespace bench

#endif
