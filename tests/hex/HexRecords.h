#ifndef TIVAKO_TESTS_HEXRECORDS_H
#define TIVAKO_TESTS_HEXRECORDS_H

// Builds Intel HEX record lines (without line end) with a correct checksum.

#include <QByteArray>

namespace hexrecords {

inline QByteArray record(quint8 type, quint16 address, const QByteArray& data, bool lowerCase = false)
{
    QByteArray bytes;
    bytes += static_cast<char>(data.size());
    bytes += static_cast<char>(address >> 8);
    bytes += static_cast<char>(address & 0xFF);
    bytes += static_cast<char>(type);
    bytes += data;
    quint8 sum = 0;
    for (char c : bytes)
        sum = static_cast<quint8>(sum + static_cast<quint8>(c));
    bytes += static_cast<char>(-sum);
    const QByteArray digits = bytes.toHex();
    return ':' + (lowerCase ? digits : digits.toUpper());
}

inline QByteArray linearBase(quint16 upper)
{
    return record(0x04, 0, QByteArray(1, static_cast<char>(upper >> 8)) + static_cast<char>(upper & 0xFF));
}

} // namespace hexrecords

#endif
