#include "TlvFeeder.h"

#include <QtGlobal>

QByteArray TlvFeeder::feed(const QByteArray& wire, int chunk, bool drainAfterEach)
{
    QByteArray text;
    for (int at = 0; at < wire.size(); at += chunk) {
        const int n = qMin(chunk, wire.size() - at);
        for (int i = 0; i < n; ++i) {
            m_ring[m_write] = static_cast<uint8_t>(wire[at + i]);
            m_write = (m_write + 1) & 0x0FFF;
        }
        const uint16_t count = (m_write - m_read) & 0x0FFF;
        const uint16_t taken = decoder.ReceiveBytes(m_ring, m_read, count, sizeof(m_ring));
        if (taken != count)
            qFatal("ReceiveBytes took %d of %d bytes", taken, count);
        m_read = (m_read + taken) & 0x0FFF;
        if (drainAfterEach)
            text += drain();
    }
    return text;
}

QByteArray TlvFeeder::drain()
{
    QByteArray text;
    const uint16_t k = decoder.OutputBufferLength();
    for (uint16_t i = 0; i < k; ++i) {
        uint8_t byte = 0;
        if (decoder.GetOutputByte(&byte) != 1)
            qFatal("GetOutputByte failed with %d bytes announced", k);
        text += static_cast<char>(byte);
    }
    return text;
}
