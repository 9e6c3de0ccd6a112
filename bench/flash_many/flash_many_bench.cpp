// Programs the image size of flash_bench (59,016 bytes) into 1, 8 and 64
// realtime virtual boards at once with tivako-flash (in-process, one bridge
// device object per board), and prints one JSON line per board count:
//   seconds             the whole run: listing, opening, sessions, hand-back
//   ratio_to_one_board  seconds against the run with one board
//   board_seconds_max   the slowest board's session, start request to result
//   limit_seconds       the wire+chip limit of one session, from flash_bench
//   ratio_to_limit_max  board_seconds_max against that limit
//   honest_limit_seconds, ratio_to_honest_limit_max  the same against the
//                       limit with the boot-mode waits and the USB frames
//   cpu_cores           CPU time of the process (the virtual boards' own
//                       simulation included) per second of the run
// Board counts may be given as arguments. Exit status 0 only when every board
// of every run succeeded and holds the image.

// The suites' rig: the virtual board's header (first, before any Qt
// header), the hex-file writer and random images.
#include "tests/support/SessionRig.h"

#include "tests/flash/FlashCapture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <utility>
#include <cstdio>

namespace {

const int kImageBytes = 59016;

int fail(const char* why)
{
    std::fprintf(stderr, "flash_many_bench: %s\n", why);
    return 1;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// flash_bench's limits for its own run of the same image size: the
// wire+chip one and the honest one.
std::pair<double, double> limitsFromFlashBench()
{
    QProcess bench;
    bench.start(QStringLiteral(FLASH_BENCH_PROGRAM), QStringList());
    if (!bench.waitForFinished(300000) || bench.exitCode() != 0)
        return {0, 0};
    const QList<QJsonObject> lines = flashJsonLines(bench.readAllStandardOutput());
    if (lines.isEmpty())
        return {0, 0};
    return {lines.first().value("limit_seconds").toDouble(), lines.first().value("honest_limit_seconds").toDouble()};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QList<int> counts;
    for (const QString& arg : app.arguments().mid(1))
        counts << arg.toInt();
    if (counts.isEmpty())
        counts = {1, 8, 64};
    for (int count : counts) {
        if (count < 1 || count > 64)
            return fail("board counts go from 1 to 64");
    }

    const auto [limit, honest] = limitsFromFlashBench();
    if (!(limit > 0) || !(honest > 0))
        return fail("flash_bench gave no limit");
    const QByteArray image = randomBytes(kImageBytes, 54);
    QTemporaryDir dir;
    const QString path = dir.filePath("firmware.hex");
    if (!dir.isValid() || !writeHexImage(path, image))
        return fail("cannot write the hex file");

    double oneBoard = 0;
    int status = 0;
    for (int count : counts) {
        SimOptions options;
        options.boards = count;
        options.timing = SimTiming::Realtime;
        auto sim = std::make_shared<SimBridgeBackend>(options);
        bridgeInstallBackend(sim);

        const double cpuBefore = cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        const FlashCapture run = runTivakoFlashCaptured({"--all", "--image", path, "--json"});
        const double seconds = clock.nsecsElapsed() / 1e9;
        const double cpu = cpuSeconds() - cpuBefore;
        bridgeInstallBackend(nullptr);

        double slowest = 0;
        int failed = 0;
        for (const QJsonObject& event : flashJsonLines(run.out)) {
            if (event.value("event").toString() != "result")
                continue;
            slowest = std::max(slowest, event.value("seconds").toDouble());
            failed += event.value("status").toString() != "ok";
        }
        for (int i = 0; i < count; ++i) {
            const std::vector<uint8_t> flash = sim->board(i)->flash();
            if (QByteArray(reinterpret_cast<const char*>(flash.data()), kImageBytes) != image)
                ++failed;
        }
        if (count == 1)
            oneBoard = seconds;
        if (run.code != 0 || failed > 0)
            status = 1;
        std::printf("{\"bench\":\"flash_many\",\"boards\":%d,\"image_bytes\":%d,\"seconds\":%.3f,"
                    "\"ratio_to_one_board\":%.3f,\"board_seconds_max\":%.3f,\"limit_seconds\":%.3f,"
                    "\"ratio_to_limit_max\":%.3f,\"honest_limit_seconds\":%.3f,\"ratio_to_honest_limit_max\":%.3f,"
                    "\"cpu_cores\":%.3f,\"exit\":%d,\"failed\":%d}\n",
                    count, kImageBytes, seconds, oneBoard > 0 ? seconds / oneBoard : 0.0, slowest, limit,
                    slowest / limit, honest, slowest / honest, cpu / seconds, run.code, failed);
        std::fflush(stdout);
    }
    return status;
}
