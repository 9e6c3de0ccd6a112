#ifndef TIVAKO_TESTS_FIRMWARE_HEXIMAGE_H
#define TIVAKO_TESTS_FIRMWARE_HEXIMAGE_H

// A strict reader of the firmware image's Intel HEX form: the layout the
// loader ships (CR LF lines, one extended linear address record, data records
// of at most 16 bytes running gap-free from the start of flash, one start
// linear address record, the end-of-file record last).

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <cctype>

struct HexImage
{
    static constexpr quint32 kFlashBase = 0x08000000u;

    QByteArray data; // flash contents from kFlashBase on
    quint32 startAddress = 0;
    int dataRecords = 0;
    QString error; // empty when the text is well-formed

    static HexImage parse(const QByteArray& text)
    {
        HexImage image;
        image.error = image.read(text);
        return image;
    }

private:
    QString read(const QByteArray& text)
    {
        if (!text.endsWith("\r\n"))
            return QStringLiteral("the file does not end with CR LF");
        const QList<QByteArray> lines = text.left(text.size() - 2).split('\n');
        quint32 upper = 0;
        bool haveUpper = false;
        bool haveStart = false;
        bool haveEnd = false;
        for (int n = 0; n < lines.size(); ++n) {
            const QString where = QStringLiteral("line %1: ").arg(n + 1);
            QByteArray line = lines.at(n);
            if (n + 1 < lines.size()) {
                if (!line.endsWith('\r'))
                    return where + QStringLiteral("not ended by CR LF");
                line.chop(1);
            }
            if (haveEnd)
                return where + QStringLiteral("record after the end-of-file record");
            if (line.size() < 11 || line.at(0) != ':' || line.size() % 2 == 0)
                return where + QStringLiteral("not a record");
            for (const char c : line.mid(1)) {
                if (!std::isxdigit(static_cast<unsigned char>(c)))
                    return where + QStringLiteral("not hexadecimal");
            }
            const QByteArray bytes = QByteArray::fromHex(line.mid(1));
            const auto u8 = [&bytes](int i) { return static_cast<quint8>(bytes.at(i)); };
            const int count = u8(0);
            if (bytes.size() != count + 5)
                return where + QStringLiteral("byte count %1 does not match the record").arg(count);
            quint8 sum = 0;
            for (const char b : bytes)
                sum = static_cast<quint8>(sum + static_cast<quint8>(b));
            if (sum != 0)
                return where + QStringLiteral("wrong checksum");
            const quint32 offset = (static_cast<quint32>(u8(1)) << 8) | u8(2);
            const int type = u8(3);
            switch (type) {
            case 0: {
                if (!haveUpper)
                    return where + QStringLiteral("data before the extended linear address record");
                if (count == 0 || count > 16)
                    return where + QStringLiteral("%1 data bytes in one record").arg(count);
                const quint32 address = upper + offset;
                if (address != kFlashBase + static_cast<quint32>(data.size()))
                    return where + QStringLiteral("data at 0x%1 leaves a gap or overlaps")
                                       .arg(address, 8, 16, QLatin1Char('0'));
                data += bytes.mid(4, count);
                ++dataRecords;
                break;
            }
            case 1:
                if (count != 0)
                    return where + QStringLiteral("end-of-file record with data");
                haveEnd = true;
                break;
            case 4:
                if (count != 2 || offset != 0)
                    return where + QStringLiteral("malformed extended linear address record");
                if (haveUpper)
                    return where + QStringLiteral("second extended linear address record");
                upper = ((static_cast<quint32>(u8(4)) << 8) | u8(5)) << 16;
                if (upper != kFlashBase)
                    return where + QStringLiteral("upper address is not the flash");
                haveUpper = true;
                break;
            case 5:
                if (count != 4 || offset != 0 || haveStart)
                    return where + QStringLiteral("malformed or repeated start linear address record");
                startAddress = (static_cast<quint32>(u8(4)) << 24) | (static_cast<quint32>(u8(5)) << 16) |
                               (static_cast<quint32>(u8(6)) << 8) | u8(7);
                haveStart = true;
                break;
            default:
                return where + QStringLiteral("record type %1 not expected").arg(type);
            }
        }
        if (!haveEnd)
            return QStringLiteral("no end-of-file record");
        if (!haveStart)
            return QStringLiteral("no start linear address record");
        if (data.isEmpty())
            return QStringLiteral("no data");
        return QString();
    }
};

#endif
