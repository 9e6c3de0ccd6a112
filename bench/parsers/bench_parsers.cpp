// Speed of the two parsers, one JSON line per figure:
//   TLV decoder throughput in MB/s of wire bytes, fed as the bridge worker
//   feeds it (4096-byte receive ring, chunks of up to 4095 bytes, output
//   drained after every call);
//   conversion time of a hex file holding a 128 KiB image (16-byte records,
//   CR LF), best of several runs.

#include "programming/HexConversion.h"
#include "tests/support/TestData.h"
#include "tlv/KX_Debug_TLV_Server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

void benchDecoder()
{
    QRandomGenerator rng(1);
    QByteArray wire;
    qint64 textBytes = 0;
    while (wire.size() < 8 * 1024 * 1024) {
        const QByteArray text = randomBytes(rng, rng.bounded(20, 120));
        wire += tlvframes::escape(tlvframes::frame(tlvframes::item(0xF0, text)), &rng);
        textBytes += text.size();
    }

    auto decoder = std::make_unique<KX_Debug_TLV_Server>();
    static uint8_t ring[4096];
    uint16_t read = 0;
    uint16_t write = 0;
    qint64 drained = 0;
    const int chunk = 4000;
    QElapsedTimer timer;
    timer.start();
    for (int round = 0; round < 4; ++round) {
        for (int at = 0; at < wire.size(); at += chunk) {
            const int n = std::min(chunk, wire.size() - at);
            for (int i = 0; i < n; ++i) {
                ring[write] = static_cast<uint8_t>(wire[at + i]);
                write = (write + 1) & 0x0FFF;
            }
            read = (read + decoder->ReceiveBytes(ring, read, (write - read) & 0x0FFF, sizeof(ring))) & 0x0FFF;
            const uint16_t k = decoder->OutputBufferLength();
            uint8_t byte;
            for (uint16_t i = 0; i < k; ++i)
                drained += decoder->GetOutputByte(&byte);
        }
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    const double megabytes = 4.0 * wire.size() / 1e6;
    std::printf("{\"bench\":\"tlv_decoder_throughput\",\"mb_per_s\":%.1f,\"wire_bytes\":%lld,\"text_ok\":%s}\n",
                megabytes / seconds, 4LL * wire.size(), drained == 4 * textBytes ? "true" : "false");
}

void benchConversion()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image128k.hex"));
    const int imageSize = 128 * 1024;
    QByteArray text;
    QRandomGenerator rng(2);
    for (int offset = 0; offset < imageSize; offset += 16) {
        if (offset % 0x10000 == 0)
            text += hexrecords::linearBase(static_cast<quint16>(0x0800 + offset / 0x10000)) + "\r\n";
        text +=
            hexrecords::record(0x00, static_cast<quint16>(offset & 0xFFFF), randomBytes(rng, 16)) + "\r\n";
    }
    text += ":00000001FF\r\n";
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size())
        return;
    out.close();

    QTemporaryFile image(dir.filePath(QStringLiteral("image-XXXXXX.bin")));
    qint64 best = -1;
    qint8 result = 0;
    for (int run = 0; run < 15; ++run) {
        QFile hex(path);
        QElapsedTimer timer;
        timer.start();
        result = convertHex2BinFile(&hex, &image);
        const qint64 ns = timer.nsecsElapsed();
        best = best < 0 ? ns : std::min(best, ns);
    }
    std::printf(
        "{\"bench\":\"hex_conversion_128KiB\",\"ms\":%.2f,\"hex_bytes\":%d,\"image_bytes\":%lld,\"result\":%d}\n",
        best / 1e6, text.size(), image.size(), result);
}

} // namespace

int main()
{
    // The conversion writes status lines on every run; they are not the point here.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    benchDecoder();
    benchConversion();
    return 0;
}
