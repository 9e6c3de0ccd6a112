// Programs a 59,016-byte image (the size of the board's own firmware) into a
// virtual board in realtime timing through the bridge device class, and
// prints one JSON line: the session's time from the start request to its
// result, and two least times for the same exchange. The wire-and-flash
// limit:
//   (all frame and reply bytes) x 11 bits / 115200
//   + (programmed half-words) x 52.5 us + the mass erase,
// and the honest limit, which adds what no host can avoid: the two 50 ms
// waits of entering boot mode, and per reply the wait for the next 1 ms USB
// frame that brings it (every exchange after the first starts on a frame,
// where the host saw the previous reply). Then the same image again, through
// `tivako-monitor program` into a running loader (a separate process with
// its own virtual board), timed from the monitor's start to its exit.
// Exit status 0 only when both sessions succeeded and the first board's
// flash holds the image.

// The suites' rig: the virtual board's header (first, before any Qt
// header) and the hex-file writer.
#include "tests/support/SessionRig.h"

#include "bridge/KX_SI_USBXpressDev.h"

#include "settings/KX_XML_Settings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <cstdio>

namespace {

const int kImageBytes = 59016;
const double kBaud = 115200.0;
const double kBitsPerByte = 11.0; // start, 8 data, even parity, stop
const double kHalfWordSeconds = 52.5e-6;
const double kUsbFrameSeconds = kSimUsbFrameNs / 1e9;
const double kBootModeWaitSeconds = 2 * 0.050;

int fail(const char* why)
{
    std::fprintf(stderr, "flash_bench: %s\n", why);
    return 1;
}

// One command and its reply: the bytes on the wire both ways and the chip's
// work between them. The reply becomes visible with the next USB frame.
struct Exchange
{
    double seconds = 0;
    double framed() const { return std::ceil(seconds / kUsbFrameSeconds - 1e-9) * kUsbFrameSeconds; }
};
Exchange exchange(int bytes, double work = 0)
{
    return Exchange{bytes * kBitsPerByte / kBaud + work};
}

// Programs `hex` through a loader of its own (realtime virtual board,
// remembered so that it connects at start) with tivako-monitor. Returns the
// monitor's wall time in seconds, or a negative value on failure.
double programThroughMonitor(const QString& hex)
{
    QTemporaryDir home;
    if (!home.isValid())
        return -1;
    const QString key = QStringLiteral("tivako-flash-bench-%1").arg(QCoreApplication::applicationPid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("TIVAKO_SHM_KEY"), key);
    env.insert(QStringLiteral("TIVAKO_BRIDGE"), QStringLiteral("sim"));
    env.insert(QStringLiteral("TIVAKO_SIM_TIMING"), QStringLiteral("realtime"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    {
        // The loader's settings, where it looks for them, naming its board.
        const QString ownName = QCoreApplication::applicationName();
        const QByteArray ownData = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", env.value(QStringLiteral("XDG_DATA_HOME")).toLocal8Bit());
        QCoreApplication::setApplicationName(QStringLiteral("tivako-loader"));
        {
            KX_XML_Settings settings;
            settings.setUsbDevName(
                QStringLiteral("%1 [0x%2]")
                    .arg(QString::fromStdString(simDescription()), QString::fromStdString(simSerialForNumber(1))));
        }
        QCoreApplication::setApplicationName(ownName);
        qputenv("XDG_DATA_HOME", ownData);
    }

    QProcess loader;
    loader.setProcessEnvironment(env);
    loader.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    loader.setStandardErrorFile(QProcess::nullDevice());
    loader.start(QString::fromUtf8(TIVAKO_LOADER_PATH), QStringList());
    if (!loader.waitForStarted(10000))
        return -1;
    auto monitor = [&](const QStringList& args, QString* out) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QString::fromUtf8(TIVAKO_MONITOR_PATH), QStringList{QStringLiteral("--key"), key} + args);
        p.waitForFinished(180000);
        if (out)
            *out = QString::fromLocal8Bit(p.readAllStandardOutput());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    };
    QElapsedTimer wait;
    wait.start();
    QString status;
    while (wait.elapsed() < 20000) {
        if (monitor({QStringLiteral("status")}, &status) == 0 && status.contains(QStringLiteral("board:   connected")))
            break;
        QThread::msleep(50);
    }
    double seconds = -1;
    if (status.contains(QStringLiteral("board:   connected"))) {
        QElapsedTimer clock;
        clock.start();
        if (monitor({QStringLiteral("program"), hex, QStringLiteral("--timeout"), QStringLiteral("120")}, nullptr) == 0)
            seconds = clock.nsecsElapsed() / 1e9;
    }
    loader.terminate();
    if (!loader.waitForFinished(10000))
        loader.kill();
    loader.waitForFinished(5000);
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);

    const QByteArray image = randomBytes(kImageBytes, 54);
    QTemporaryDir dir;
    const QString path = dir.filePath("firmware.hex");
    if (!dir.isValid() || !writeHexImage(path, image))
        return fail("cannot write the hex file");

    SimOptions options;
    options.timing = SimTiming::Realtime;
    auto sim = std::make_shared<SimBridgeBackend>(options);
    bridgeInstallBackend(sim);

    int result = 0;
    double seconds = 0;
    {
        KX_SI_USBXpressDev device;
        QEventLoop loop;
        QElapsedTimer clock;
        QObject::connect(&device, &KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, &loop, [&](qint8 r) {
            seconds = clock.nsecsElapsed() / 1e9;
            result = r;
            loop.quit();
        });
        QElapsedTimer wait;
        wait.start();
        while (device.getDeviceList().isEmpty() && wait.elapsed() < 5000)
            QThread::msleep(5);
        if (device.openDevice(0) != 1)
            return fail("cannot open the virtual board");
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        clock.start();
        device.SLOT_StartFirmwareUpdate(path);
        loop.exec();
        // Let the session hand the board back before the device goes.
        QThread::msleep(300);
    }
    bridgeInstallBackend(nullptr);
    if (result != 1)
        return fail("the session did not succeed");
    const std::vector<uint8_t> flash = sim->board(0)->flash();
    if (QByteArray(reinterpret_cast<const char*>(flash.data()), kImageBytes) != image)
        return fail("the flash does not hold the image");

    // The exchanges: synchronisation, Get ID, Erase, global erase, then per
    // block Write Memory, its address and the data block.
    const int blocks = (kImageBytes + 255) / 256;
    std::vector<Exchange> exchanges{exchange(1 + 1), exchange(2 + 5), exchange(2 + 1),
                                    exchange(2 + 1, kSimMassEraseNs / 1e9)};
    for (int b = 0; b < blocks; ++b) {
        const int count = qMin(256, kImageBytes - 256 * b);
        const int padded = (count + 3) / 4 * 4;
        exchanges.push_back(exchange(2 + 1));
        exchanges.push_back(exchange(5 + 1));
        exchanges.push_back(exchange(padded + 2 + 1, padded / 2 * kHalfWordSeconds));
    }
    double limit = 0;
    double honest = kBootModeWaitSeconds;
    for (const Exchange& e : exchanges) {
        limit += e.seconds;
        honest += e.framed();
    }

    const double monitorSeconds = programThroughMonitor(path);
    if (monitorSeconds < 0)
        return fail("programming through tivako-monitor and a running loader failed");

    std::printf("{\"bench\":\"flash\",\"image_bytes\":%d,\"blocks\":%d,\"seconds\":%.3f,\"limit_seconds\":%.3f,"
                "\"ratio\":%.3f,\"honest_limit_seconds\":%.3f,\"honest_ratio\":%.3f,\"monitor_seconds\":%.3f,"
                "\"monitor_honest_ratio\":%.3f}\n",
                kImageBytes, blocks, seconds, limit, seconds / limit, honest, seconds / honest, monitorSeconds,
                monitorSeconds / honest);
    return 0;
}
