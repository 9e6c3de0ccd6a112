// The loader at rest, the real main window offscreen: first with one realtime
// virtual board connected, silent (its flash is empty, so no firmware talks),
// then with no board at all. Measures the whole process's CPU share and its
// wake-ups (context switches of all threads, also per thread) over N seconds
// each, how long the remembered board takes to connect after start, then
// unplugs and replugs the board several times and measures how long the
// window takes to reconnect it by itself. Prints one JSON line.
//
//   idle_bench [seconds] [replugs]      (defaults 30 and 8)

#include "../console/BenchWindow.h"

#include "ui/RidivuDizerozoDuveze.h"

#include <QApplication>
#include <QElapsedTimer>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

// CPU share of a bare thread that only sleeps 1 ms per pass: the floor under
// each of the loader's two polling threads (bridge worker, shared-block
// watch) on this machine, so their figures can be read against it.
double sleepLoopFloorPercent(int seconds)
{
    double cpu = 0;
    std::thread loop([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        cpu = bench::threadCpuSeconds();
    });
    loop.join();
    return 100.0 * cpu / seconds;
}

struct Rest
{
    double processCpuPercent = 0;
    double guiCpuPercent = 0;
    double wakeUpsPerSecond = 0;
    QString threadCpu;
    QString threadWakeUps;
};

// The process left alone for `seconds`, the event loop running.
Rest measureRest(int seconds)
{
    const double processStart = bench::processCpuSeconds();
    const double guiStart = bench::threadCpuSeconds();
    const auto threadsStart = bench::cpuSecondsByThread();
    const auto wakeUpsStart = bench::wakeUpsByThread();
    QElapsedTimer wall;
    wall.start();
    bench::settle(seconds * 1000);
    const double elapsed = wall.nsecsElapsed() / 1e9;
    Rest rest;
    rest.processCpuPercent = 100.0 * (bench::processCpuSeconds() - processStart) / elapsed;
    rest.guiCpuPercent = 100.0 * (bench::threadCpuSeconds() - guiStart) / elapsed;
    const auto wakeUpsEnd = bench::wakeUpsByThread();
    rest.threadCpu = bench::threadShares(threadsStart, bench::cpuSecondsByThread(), elapsed);
    rest.threadWakeUps = bench::threadShares(wakeUpsStart, wakeUpsEnd, elapsed, 1.0);
    rest.wakeUpsPerSecond = bench::totalRate(wakeUpsStart, wakeUpsEnd, elapsed);
    return rest;
}

} // namespace

int main(int argc, char* argv[])
{
    QTemporaryDir home;
    bench::isolate(home);
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? QByteArray(argv[1]).toInt() : 30;
    const int replugs = argc > 2 ? QByteArray(argv[2]).toInt() : 8;
    if (seconds <= 0 || replugs <= 0) {
        std::fprintf(stderr, "usage: idle_bench [seconds] [replugs]\n");
        return 2;
    }
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    auto boards = bench::rememberedBoard(false);
    QElapsedTimer startClock;
    startClock.start();
    auto window = std::make_unique<RidivuDizerozoDuveze>(nullptr);
    window->show();
    if (!bench::waitUntil([&] { return bench::connected(*window); }, 10000)) {
        std::fprintf(stderr, "idle_bench: the virtual board did not connect\n");
        return 1;
    }
    const double startConnectMs = startClock.nsecsElapsed() / 1e6;
    bench::settle(2000);
    const Rest connected = measureRest(seconds);

    std::vector<double> reconnect;
    QString samples;
    for (int i = 0; i < replugs; ++i) {
        boards->unplug(0);
        if (!bench::waitUntil([&] { return !bench::connected(*window); }, 10000)) {
            std::fprintf(stderr, "idle_bench: unplugging was not noticed\n");
            return 1;
        }
        // Unplugged for a while, as a user's cable would be.
        bench::settle(400 + (i * 389) % 1100);
        QElapsedTimer clock;
        clock.start();
        boards->plug(0);
        if (!bench::waitUntil([&] { return bench::connected(*window); }, 10000)) {
            std::fprintf(stderr, "idle_bench: the board did not reconnect\n");
            return 1;
        }
        reconnect.push_back(clock.nsecsElapsed() / 1e6);
        samples += (i ? "," : "") + QString::number(reconnect.back(), 'f', 0);
    }

    // No board at all: the loader only waits for one.
    boards->unplug(0);
    if (!bench::waitUntil([&] { return !bench::connected(*window); }, 10000)) {
        std::fprintf(stderr, "idle_bench: unplugging was not noticed\n");
        return 1;
    }
    bench::settle(2000);
    const Rest noBoard = measureRest(seconds);

    const double floor = sleepLoopFloorPercent(3);

    std::printf("{\"bench\":\"idle\",\"seconds\":%d,\"process_cpu_percent\":%.2f,\"gui_thread_cpu_percent\":%.2f,"
                "\"wakeups_per_s\":%.1f,\"thread_cpu_percent\":%s,\"thread_wakeups_per_s\":%s,"
                "\"no_board\":{\"process_cpu_percent\":%.2f,\"wakeups_per_s\":%.1f,\"thread_wakeups_per_s\":%s},"
                "\"sleep_loop_floor_percent\":%.2f,\"start_connect_ms\":%.0f,\"replugs\":%d,"
                "\"reconnect_ms_median\":%.0f,\"reconnect_ms_max\":%.0f,\"reconnect_ms\":[%s]}\n",
                seconds, connected.processCpuPercent, connected.guiCpuPercent, connected.wakeUpsPerSecond,
                qPrintable(connected.threadCpu), qPrintable(connected.threadWakeUps), noBoard.processCpuPercent,
                noBoard.wakeUpsPerSecond, qPrintable(noBoard.threadWakeUps), floor, startConnectMs, replugs,
                bench::percentile(reconnect, 50), bench::percentile(reconnect, 100), qPrintable(samples));
    window.reset();
    bridgeInstallBackend(nullptr);
    return 0;
}
