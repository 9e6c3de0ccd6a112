// Programs a 59,016-byte image (the size of the board's own firmware) into a
// virtual board in realtime timing through the bridge device class, and
// prints one JSON line: the session's time from the start request to its
// result, and the least time the wire and the flash allow for the same
// exchange:
//   (all frame and reply bytes) x 11 bits / 115200
//   + (programmed half-words) x 52.5 us + the mass erase.
// Exit status 0 only when the session succeeded and the flash holds the image.

// The suites' rig: the virtual board's header (first, before any Qt
// header) and the hex-file writer.
#include "tests/bootloader/SessionRig.h"

#include "bridge/KX_SI_USBXpressDev.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

const int kImageBytes = 59016;
const double kBaud = 115200.0;
const double kBitsPerByte = 11.0; // start, 8 data, even parity, stop
const double kHalfWordSeconds = 52.5e-6;

int fail(const char* why)
{
    std::fprintf(stderr, "flash_bench: %s\n", why);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);

    const QByteArray image = randomImage(kImageBytes, 54);
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

    // Bytes on the wire both ways, and half-words programmed.
    const int blocks = (kImageBytes + 255) / 256;
    double bytes = 1 + 1;   // synchronisation and its ACK
    bytes += 2 + 5;         // Get ID and its reply
    bytes += 2 + 1 + 2 + 1; // Erase, global erase, their ACKs
    double halfWords = 0;
    for (int b = 0; b < blocks; ++b) {
        const int count = qMin(256, kImageBytes - 256 * b);
        const int padded = (count + 3) / 4 * 4;
        bytes += 2 + 1 + 5 + 1 + (padded + 2) + 1;
        halfWords += padded / 2;
    }
    const double limit = bytes * kBitsPerByte / kBaud + halfWords * kHalfWordSeconds + kSimMassEraseNs / 1e9;
    std::printf("{\"bench\":\"flash\",\"image_bytes\":%d,\"blocks\":%d,\"seconds\":%.3f,\"limit_seconds\":%.3f,"
                "\"ratio\":%.3f}\n",
                kImageBytes, blocks, seconds, limit, seconds / limit);
    return 0;
}
