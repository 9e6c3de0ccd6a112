#include "programming/HexConversion.h"

#include "app/Log.h"
#include "programming/RegularFile.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryFile>

namespace {

const char kLabel[] = "KX_SI_USBXpressDev::ConvertHex2BinFile";

constexpr quint32 kFlashBase = 0x08000000;
// 128 KiB, the largest flash of the parts that answer with product ID 0x410:
// an image beyond it would be cut off after the chip has been erased.
constexpr quint32 kFlashSize = 0x00020000;
constexpr char kErased = '\xFF';

// Line limits of the two read passes (bytes, line end included).
constexpr qint64 kPreCheckLineLimit = 99;
constexpr qint64 kRecordLineLimit = 49;
constexpr int kPreCheckLines = 3;
constexpr int kRecordOverhead = 11; // ':', count, address, type, checksum

enum RecordType : quint8 {
    kData = 0x00,
    kEndOfFile = 0x01,
    kExtendedSegmentAddress = 0x02,
    kExtendedLinearAddress = 0x04,
};

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A field of `digits` hexadecimal characters, already checked by
// firstNonHexDigit.
quint32 hexField(const char* text, int digits)
{
    quint32 value = 0;
    for (int i = 0; i < digits; ++i)
        value = value << 4 | static_cast<quint32>(hexDigit(text[i]));
    return value;
}

// Position of the first character in [from, to) that is no hexadecimal
// digit, or -1. A character read as some number would be flashed.
int firstNonHexDigit(const char* line, int from, int to)
{
    for (int i = from; i < to; ++i) {
        if (hexDigit(line[i]) < 0)
            return i;
    }
    return -1;
}

// Characters of a line before its line end.
int contentLength(const char* line, qint64 length)
{
    int n = 0;
    while (n < length && line[n] != '\r' && line[n] != '\n')
        ++n;
    return n;
}

bool firstLinesStartRecords(QFile* hexFile)
{
    char line[kPreCheckLineLimit + 1];
    bool ok = true;
    for (int i = 0; i < kPreCheckLines; ++i) {
        const qint64 n = hexFile->readLine(line, sizeof(line));
        if (n < 1 || line[0] != ':')
            ok = false;
    }
    hexFile->seek(0);
    return ok;
}

bool prepareImageFile(QTemporaryFile* binFile)
{
    if (binFile == nullptr)
        return false;
    if (!binFile->isOpen() && !binFile->open())
        return false;
    // A reopened temporary file keeps what it held; the image always starts empty.
    return binFile->resize(0) && binFile->seek(0);
}

class Converter
{
public:
    explicit Converter(QFile* hexFile) : m_hexFile(hexFile) {}

    // 1 when the whole file is read, else the failing result.
    qint8 readRecords();
    const QByteArray& image() const { return m_image; }

private:
    qint8 takeRecord(const char* line, qint64 length, bool* endOfFile);
    qint8 placeData(quint32 offset, const char* digits, int count);

    QFile* m_hexFile;
    QByteArray m_image;
    quint32 m_addressBase = 0;
    bool m_hasData = false;
};

qint8 Converter::readRecords()
{
    char line[kRecordLineLimit + 1];
    qint64 remaining = m_hexFile->size();
    while (remaining > 0) {
        const qint64 length = m_hexFile->readLine(line, sizeof(line));
        if (length < 1 || line[0] != ':') {
            logError(kLabel, "Startcode missing");
            return -5;
        }
        bool endOfFile = false;
        const qint8 result = takeRecord(line, length, &endOfFile);
        if (result != 1)
            return result;
        if (endOfFile)
            break;
        remaining -= length;
    }
    if (!m_hasData) {
        logError(kLabel, "No data record in the hex file, nothing to write");
        return -8;
    }
    return 1;
}

qint8 Converter::takeRecord(const char* line, qint64 length, bool* endOfFile)
{
    const int content = contentLength(line, length);
    const int countEnd = qMin(content, 3);
    int bad = firstNonHexDigit(line, 1, countEnd);
    const int count = bad < 0 && content >= kRecordOverhead ? static_cast<int>(hexField(line + 1, 2)) : 0;
    if (bad < 0 && content >= kRecordOverhead + 2 * count)
        bad = firstNonHexDigit(line, countEnd, kRecordOverhead + 2 * count);
    if (bad >= 0) {
        logError(kLabel, "No hexadecimal digit at position %d: 0x%02x", bad, static_cast<uchar>(line[bad]));
        return -6;
    }
    if (content < kRecordOverhead + 2 * count) {
        logError(kLabel, "Record shorter than its byte count: %d characters, %d needed", content,
                 kRecordOverhead + 2 * count);
        return -6;
    }
    const quint32 address = hexField(line + 3, 4);
    const quint32 type = hexField(line + 7, 2);
    const char* data = line + 9;
    quint32 sum = count + (address >> 8) + (address & 0xFF) + type;
    for (int i = 0; i < count; ++i)
        sum += hexField(data + 2 * i, 2);
    const quint32 expected = (0x100 - (sum & 0xFF)) & 0xFF;
    const quint32 read = hexField(data + 2 * count, 2);
    if (read != expected) {
        logError(kLabel, "Wrong Checksum CAL: 0x%02x DataRead 0x%02x missing", expected, read);
        return -6;
    }

    switch (type) {
    case kData:
        return placeData(m_addressBase + address, data, count);
    case kEndOfFile:
        *endOfFile = true;
        return 1;
    case kExtendedSegmentAddress:
    case kExtendedLinearAddress:
        if (count != 2) {
            logError(kLabel, "Extended address record with %d data bytes", count);
            return -6;
        }
        m_addressBase = hexField(data, 4) << (type == kExtendedLinearAddress ? 16 : 4);
        return 1;
    default: // start addresses and unknown types mean nothing for the image
        return 1;
    }
}

qint8 Converter::placeData(quint32 address, const char* digits, int count)
{
    if (count == 0)
        return 1;
    // Below the flash base the flash shows through its boot alias at 0.
    const quint64 offset = address < kFlashBase ? address : address - kFlashBase;
    const quint64 end = offset + static_cast<quint64>(count);
    if (end > kFlashSize) {
        logError(kLabel, "Data record @ 0x%08x outside the flash (0x%08x..0x%08x)", address, kFlashBase,
                 kFlashBase + kFlashSize - 1);
        return -7;
    }
    if (end > static_cast<quint64>(m_image.size()))
        m_image.append(static_cast<int>(end) - m_image.size(), kErased);
    char* target = m_image.data() + offset;
    for (int i = 0; i < count; ++i)
        target[i] = static_cast<char>(hexField(digits + 2 * i, 2));
    m_hasData = true;
    return 1;
}

} // namespace

qint8 convertHex2BinFile(QFile* hexFile, QTemporaryFile* binFile)
{
    if (hexFile == nullptr || !hexFile->exists()) {
        if (hexFile != nullptr)
            hexFile->close();
        return -1;
    }
    logStatus(kLabel, "Path: %s", hexFile->fileName().toUtf8().constData());
    if (hexFile->isOpen())
        hexFile->close();
    bool notRegular = false;
    if (!openRegularFileReadOnly(hexFile, &notRegular)) {
        if (notRegular)
            logError(kLabel, "Not a regular file: %s", hexFile->fileName().toUtf8().constData());
        return -2;
    }

    if (!firstLinesStartRecords(hexFile)) {
        hexFile->close();
        return -3;
    }
    if (!prepareImageFile(binFile)) {
        hexFile->close();
        return -4;
    }

    Converter converter(hexFile);
    qint8 result = converter.readRecords();
    if (result == 1) {
        const QByteArray& image = converter.image();
        if (binFile->write(image) != image.size() || !binFile->flush()) {
            logError(kLabel, "Image file %s cannot be written", binFile->fileName().toUtf8().constData());
            result = -4;
        }
    }
    if (result != 1) {
        binFile->resize(0);
        binFile->close();
        hexFile->close();
        return result;
    }

    logStatus(kLabel, "HexFileSize: %d kB; BinFileSize %d kB", static_cast<int>(hexFile->size() / 1024),
              static_cast<int>(binFile->size() / 1024));
    binFile->seek(0);
    hexFile->close();
    return 1;
}
