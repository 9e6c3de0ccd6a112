#include "TestData.h"

#include <QFile>

QByteArray randomBytes(QRandomGenerator& rng, int n)
{
    QByteArray bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng.bounded(256));
    return bytes;
}

QByteArray randomBytes(int n, quint32 seed)
{
    QRandomGenerator rng(seed);
    return randomBytes(rng, n);
}

std::vector<uint8_t> bytesOf(const QByteArray& bytes)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

QByteArray fromBytes(const std::vector<uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

namespace hexrecords {

QByteArray record(quint8 type, quint16 address, const QByteArray& data, bool lowerCase)
{
    const QByteArray bytes = QByteArray(1, char(data.size())) + char(address >> 8) + char(address) + char(type) + data;
    quint8 sum = 0;
    for (char c : bytes)
        sum = static_cast<quint8>(sum - static_cast<quint8>(c));
    const QByteArray digits = (bytes + char(sum)).toHex();
    return ':' + (lowerCase ? digits : digits.toUpper());
}

QByteArray linearBase(quint16 upper)
{
    return record(0x04, 0, QByteArray(1, static_cast<char>(upper >> 8)) + static_cast<char>(upper & 0xFF));
}

// `image` at the flash base: an extended linear address record per 64 KiB,
// 16-byte data records, the end record, CR LF lines.
static QByteArray imageText(const QByteArray& image)
{
    QByteArray text;
    for (int offset = 0; offset < image.size(); offset += 16) {
        // Each 64 KiB needs its own base, or the addresses wrap.
        if (offset % 0x10000 == 0)
            text += linearBase(static_cast<quint16>(0x0800 + offset / 0x10000)) + "\r\n";
        text += record(0x00, static_cast<quint16>(offset), image.mid(offset, 16)) + "\r\n";
    }
    return text + record(0x01, 0, QByteArray()) + "\r\n";
}

} // namespace hexrecords

bool writeHexImage(const QString& path, const QByteArray& image)
{
    return writeFile(path, hexrecords::imageText(image));
}

namespace tlvframes {

QByteArray le16(int value)
{
    return QByteArray(1, char(value)) + char(value >> 8);
}

QByteArray item(uint8_t tag, const QByteArray& value)
{
    return QByteArray(1, static_cast<char>(tag)) + le16(value.size()) + value;
}

QByteArray frame(const QByteArray& payload)
{
    const QByteArray body = le16(payload.size()) + payload;
    quint16 sum = 0;
    for (char c : body)
        sum = static_cast<quint16>(sum + static_cast<quint8>(c));
    return QByteArray(1, '\xAA') + body + le16(static_cast<quint16>(-sum));
}

QByteArray escape(const QByteArray& plain, QRandomGenerator* rng)
{
    QByteArray wire;
    for (int i = 0; i < plain.size(); ++i) {
        const quint8 b = static_cast<quint8>(plain[i]);
        const quint8 flipped = b ^ 0x20;
        const bool must = i > 0 && (b == 0xAA || b == 0x55);
        const bool may = i > 0 && flipped != 0xAA && flipped != 0x55 && rng && rng->bounded(8) == 0;
        wire += must || may ? QByteArray(1, '\x55') + char(flipped) : QByteArray(1, char(b));
    }
    return wire;
}

} // namespace tlvframes

QByteArray tlvFrame(const QByteArray& text, uint8_t tag)
{
    return tlvframes::escape(tlvframes::frame(tlvframes::item(tag, text)));
}
