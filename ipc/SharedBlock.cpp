#include "ipc/SharedBlock.h"

#include <QtEndian>

#include <cstring>

namespace SharedBlock {

quint8 readByte(const uchar* block, int offset)
{
    return block[offset];
}

void writeByte(uchar* block, int offset, quint8 value)
{
    block[offset] = value;
}

qint32 readProgrammingResult(const uchar* block)
{
    return qFromLittleEndian<qint32>(block + kProgrammingResult);
}

void writeProgrammingResult(uchar* block, qint32 value)
{
    qToLittleEndian<qint32>(value, block + kProgrammingResult);
}

int utf8PrefixLength(const QByteArray& utf8, int maxBytes)
{
    if (maxBytes <= 0)
        return 0;
    if (utf8.size() <= maxBytes)
        return utf8.size();
    // Back off over continuation bytes so that the cut falls before the lead
    // byte of the character that does not fit.
    int cut = maxBytes;
    while (cut > 0 && (static_cast<uchar>(utf8.at(cut)) & 0xC0) == 0x80)
        --cut;
    return cut;
}

QString readText(const uchar* block, int offset, int size, bool* terminated)
{
    const char* field = reinterpret_cast<const char*>(block + offset);
    const void* nul = std::memchr(field, '\0', static_cast<size_t>(size));
    const int length = nul ? static_cast<int>(static_cast<const char*>(nul) - field) : size;
    if (terminated)
        *terminated = nul != nullptr;
    return QString::fromUtf8(field, length);
}

int writeText(uchar* block, int offset, int size, const QByteArray& utf8)
{
    // A NUL inside the text ends it there, as the reader would see it.
    const int nul = utf8.indexOf('\0');
    const QByteArray text = nul >= 0 ? utf8.left(nul) : utf8;
    const int length = utf8PrefixLength(text, size - 1);
    std::memcpy(block + offset, text.constData(), static_cast<size_t>(length));
    std::memset(block + offset + length, 0, static_cast<size_t>(size - length));
    return length;
}

QString readPath2Hexfile(const uchar* block, bool* valid)
{
    bool terminated = false;
    const QString path = readText(block, kPath2Hexfile, kPath2HexfileSize, &terminated);
    if (valid)
        *valid = terminated;
    return terminated ? path : QString();
}

Snapshot decode(const uchar* block)
{
    Snapshot s;
    s.loaderPresent = readByte(block, kStatusZuvodErirora) != 0;
    s.programmingRequest = readByte(block, kProgrammingRequest);
    s.programmingResult = readProgrammingResult(block);
    s.boardConnected = readByte(block, kStatusTivakoConnection) != 0;
    s.path2Hexfile = readText(block, kPath2Hexfile, kPath2HexfileSize, &s.pathTerminated);
    s.deviceName = readText(block, kNameOfConnectedDevice, kNameOfConnectedDeviceSize, &s.nameTerminated);
    return s;
}

WatchEvents watchPass(uchar* block, quint8& lastRequest, qint32& lastResult, bool loaderPresent, bool requestHeard)
{
    WatchEvents events;
    const quint8 request = readByte(block, kProgrammingRequest);
    if (request != lastRequest && (request != 1 || requestHeard)) {
        lastRequest = request;
        if (request == 1) {
            events.requestPending = true;
        } else if (loaderPresent) {
            // The monitor may take a result and end its request between two
            // passes; that result is still reported before it is cleared.
            const qint32 answered = readProgrammingResult(block);
            if (answered != 0 && answered != lastResult) {
                events.finished = true;
                events.result = answered;
            }
            // The request is over: clear the result so that the next one's
            // result counts as new even when it is the same value.
            lastResult = 0;
            writeProgrammingResult(block, 0);
            events.idleReset = true;
        }
    }
    const qint32 result = readProgrammingResult(block);
    if (result != 0 && result != lastResult) {
        lastResult = result;
        events.finished = true;
        events.result = result;
    }
    return events;
}

} // namespace SharedBlock
