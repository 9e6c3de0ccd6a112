// Random file contents through the hex conversion: whatever the file holds,
// the conversion returns one of its format results, closes the hex file,
// leaves a bounded image open at 0 on success and an empty closed one on a
// format error, and converts the same file the same way twice.

#include "programming/HexConversion.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QTemporaryDir* g_dir = nullptr;
QTemporaryFile* g_image = nullptr; // one image file for every conversion, as the device keeps it
QString g_hexPath;

[[noreturn]] void fail(const char* what, int value = 0)
{
    std::fprintf(stderr, "fuzz_hex: %s (%d)\n", what, value);
    std::abort();
}

struct Outcome
{
    qint8 result;
    QByteArray image;
};

Outcome convertOnce()
{
    QFile hex(g_hexPath);
    const qint8 result = convertHex2BinFile(&hex, g_image);
    if (hex.isOpen())
        fail("hex file left open", result);
    Outcome o{result, QByteArray()};
    switch (result) {
    case 1:
        if (!g_image->isOpen() || g_image->pos() != 0)
            fail("image not open at 0 after success");
        o.image = g_image->readAll();
        if (o.image.isEmpty() || o.image.size() > 0x20000)
            fail("image size out of range", o.image.size());
        g_image->seek(0);
        break;
    case -3:
        break;
    case -5:
    case -6:
    case -7:
    case -8:
        if (g_image->isOpen() || QFile(g_image->fileName()).size() != 0)
            fail("image not emptied and closed after a format error", result);
        break;
    default:
        fail("unexpected result", result);
    }
    return o;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    // Every input goes through a file twice: keep those files in memory when we can.
    g_dir = QFile::exists(QStringLiteral("/dev/shm")) ? new QTemporaryDir(QStringLiteral("/dev/shm/fuzz_hex-XXXXXX"))
                                                      : new QTemporaryDir;
    if (!g_dir->isValid())
        fail("no temporary folder");
    g_hexPath = g_dir->filePath(QStringLiteral("input.hex"));
    g_image = new QTemporaryFile(g_dir->filePath(QStringLiteral("image-XXXXXX.bin")));
    std::atexit([] {
        delete g_image;
        delete g_dir;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        QFile input(g_hexPath);
        if (!input.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            input.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
            fail("cannot write the input file");
    }
    const Outcome first = convertOnce();
    const Outcome second = convertOnce();
    if (first.result != second.result || first.image != second.image)
        fail("second conversion of the same file differs", second.result);
    return 0;
}
