#ifndef TIVAKO_TESTS_SUPPORT_TLVFEEDER_H
#define TIVAKO_TESTS_SUPPORT_TLVFEEDER_H

// Feeds wire bytes to the loader's own frame decoder the way the bridge
// worker does: written into a 4096-byte receive ring, handed over chunk by
// chunk, decoded text drained after each call.

#include "tlv/KX_Debug_TLV_Server.h"

#include <QByteArray>

#include <cstdint>

class TlvFeeder
{
public:
    // Passes wire bytes in chunks of at most `chunk`; returns the text drained.
    QByteArray feed(const QByteArray& wire, int chunk = 4095, bool drainAfterEach = true)
    {
        QByteArray text;
        for (int at = 0; at < wire.size(); at += chunk) {
            for (int i = at; i < wire.size() && i < at + chunk; ++i)
                m_ring[m_write++ & 0x0FFF] = static_cast<uint8_t>(wire[i]);
            const uint16_t count = (m_write - m_read) & 0x0FFF;
            const uint16_t taken = decoder.ReceiveBytes(m_ring, m_read & 0x0FFF, count, sizeof(m_ring));
            if (taken != count)
                qFatal("ReceiveBytes took %d of %d bytes", taken, count);
            m_read += taken;
            text += drainAfterEach ? drain() : QByteArray();
        }
        return text;
    }
    QByteArray drain()
    {
        QByteArray text;
        uint8_t byte = 0;
        for (uint16_t k = decoder.OutputBufferLength(); k > 0; --k) {
            if (decoder.GetOutputByte(&byte) != 1)
                qFatal("GetOutputByte failed with %d bytes announced", k);
            text += char(byte);
        }
        return text;
    }

    KX_Debug_TLV_Server decoder;

private:
    uint8_t m_ring[4096] = {};
    uint16_t m_read = 0;
    uint16_t m_write = 0;
};

#endif
