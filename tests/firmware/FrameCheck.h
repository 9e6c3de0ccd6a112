#ifndef TIVAKO_TESTS_FIRMWARE_FRAMECHECK_H
#define TIVAKO_TESTS_FIRMWARE_FRAMECHECK_H

// A strict decoder of the board's debug frames, independent of the loader's
// own: where the loader tolerates damage (and only logs it), this one reports
// every stray byte, bad checksum, unknown tag and item that does not fill its
// frame exactly, so a test can tell that a sender produces clean frames.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class FrameCheck
{
public:
    // Feeds raw wire bytes; complete frames are checked and their texts
    // appended to texts().
    void feed(const QByteArray& raw)
    {
        for (const char ch : raw)
            feedByte(static_cast<quint8>(ch));
    }

    // One entry per good frame: the concatenated values of its text items.
    const QStringList& texts() const { return m_texts; }
    const QStringList& errors() const { return m_errors; }
    int frameCount() const { return m_texts.size(); }
    // True while a frame has started but not all its bytes have arrived.
    bool midFrame() const { return m_inFrame; }

private:
    void feedByte(quint8 c)
    {
        const quint8 previous = m_last;
        m_last = c;
        if (c == 0xAA) {
            if (m_inFrame)
                m_errors << QStringLiteral("frame cut short after %1 bytes by a new head").arg(m_frame.size());
            m_inFrame = true;
            m_frame.clear();
            return;
        }
        if (!m_inFrame) {
            m_errors << QStringLiteral("stray byte 0x%1 outside a frame").arg(c, 2, 16, QLatin1Char('0'));
            return;
        }
        if (c == 0x55) {
            if (previous == 0x55)
                m_errors << QStringLiteral("two escape bytes in a row");
            return;
        }
        m_frame.append(static_cast<char>(previous == 0x55 ? c ^ 0x20 : c));
        if (m_frame.size() >= 2) {
            const int length = byteAt(0) | (byteAt(1) << 8);
            if (m_frame.size() == length + 4) {
                checkFrame(length);
                m_inFrame = false;
            }
        }
    }

    int byteAt(int i) const { return static_cast<quint8>(m_frame.at(i)); }

    void checkFrame(int length)
    {
        quint16 sum = 0;
        for (int i = 0; i < length + 2; ++i)
            sum = static_cast<quint16>(sum + byteAt(i));
        const quint16 check = static_cast<quint16>(byteAt(length + 2) | (byteAt(length + 3) << 8));
        if (static_cast<quint16>(sum + check) != 0) {
            m_errors << QStringLiteral("bad checksum 0x%1").arg(check, 4, 16, QLatin1Char('0'));
            return;
        }
        QString text;
        int e = 2;
        while (e < length + 2) {
            if (e + 3 > length + 2) {
                m_errors << QStringLiteral("item header cut by the frame end");
                return;
            }
            const int tag = byteAt(e);
            const int n = byteAt(e + 1) | (byteAt(e + 2) << 8);
            if (tag < 0xF0 || tag > 0xF2)
                m_errors << QStringLiteral("unknown tag 0x%1").arg(tag, 2, 16, QLatin1Char('0'));
            if (e + 3 + n > length + 2) {
                m_errors << QStringLiteral("item of %1 bytes runs past the frame end").arg(n);
                return;
            }
            text += QString::fromLatin1(m_frame.constData() + e + 3, n);
            e += 3 + n;
        }
        m_texts << text;
    }

    QByteArray m_frame;
    QStringList m_texts;
    QStringList m_errors;
    bool m_inFrame = false;
    quint8 m_last = 0;
};

#endif
