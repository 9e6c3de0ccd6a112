#ifndef TIVAKO_TESTS_TLVFRAMES_H
#define TIVAKO_TESTS_TLVFRAMES_H

// Builders for debug frames as the board sends them.

#include <QByteArray>
#include <QRandomGenerator>

namespace tlvframes {

inline QByteArray le16(int value)
{
    QByteArray b(2, '\0');
    b[0] = static_cast<char>(value & 0xFF);
    b[1] = static_cast<char>((value >> 8) & 0xFF);
    return b;
}

inline QByteArray item(uint8_t tag, const QByteArray& value)
{
    return QByteArray(1, static_cast<char>(tag)) + le16(value.size()) + value;
}

// An un-escaped frame with a correct checksum.
inline QByteArray frame(const QByteArray& payload)
{
    const QByteArray body = le16(payload.size()) + payload;
    quint16 sum = 0;
    for (char c : body)
        sum = static_cast<quint16>(sum + static_cast<quint8>(c));
    return QByteArray(1, '\xAA') + body + le16(static_cast<quint16>(-sum));
}

// Wire form of a frame: head and escape bytes inside it are escaped; with a
// generator, other bytes are escaped at random as well.
inline QByteArray escape(const QByteArray& plain, QRandomGenerator* rng = nullptr)
{
    QByteArray wire;
    wire.reserve(plain.size() * 2);
    for (int i = 0; i < plain.size(); ++i) {
        const quint8 b = static_cast<quint8>(plain[i]);
        const quint8 flipped = b ^ 0x20;
        const bool must = i > 0 && (b == 0xAA || b == 0x55);
        const bool may = i > 0 && flipped != 0xAA && flipped != 0x55 && rng && rng->bounded(8) == 0;
        if (must || may) {
            wire += '\x55';
            wire += static_cast<char>(flipped);
        } else {
            wire += static_cast<char>(b);
        }
    }
    return wire;
}

inline QByteArray randomBytes(QRandomGenerator& rng, int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<char>(rng.bounded(256));
    return b;
}

} // namespace tlvframes

#endif
