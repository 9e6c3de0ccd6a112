#ifndef TIVAKO_TESTS_FIRMWARE_LOADERDECODER_H
#define TIVAKO_TESTS_FIRMWARE_LOADERDECODER_H

// Runs raw wire bytes through the loader's own frame decoder the way the
// bridge worker does (chunks from a ring, then drain the output queue).

#include "tlv/KX_Debug_TLV_Server.h"

#include <QByteArray>

#include <memory>

class LoaderDecoder
{
public:
    LoaderDecoder() : m_decoder(new KX_Debug_TLV_Server) {}

    // Returns the text decoded from everything fed so far and not yet taken.
    QByteArray feed(const QByteArray& raw)
    {
        for (int at = 0; at < raw.size();) {
            // The worker's ring never holds more than 4095 new bytes.
            const int chunk = qMin(raw.size() - at, 4095);
            for (int i = 0; i < chunk; ++i)
                m_ring[(m_write + i) % kRing] = static_cast<uint8_t>(raw.at(at + i));
            const uint16_t taken = m_decoder->ReceiveBytes(m_ring, m_write, static_cast<uint16_t>(chunk), kRing);
            m_write = static_cast<uint16_t>((m_write + taken) % kRing);
            at += chunk;
        }
        QByteArray text;
        const uint16_t waiting = m_decoder->OutputBufferLength();
        for (uint16_t i = 0; i < waiting; ++i) {
            uint8_t byte = 0;
            if (m_decoder->GetOutputByte(&byte) != 1)
                break;
            text.append(static_cast<char>(byte));
        }
        return text;
    }

private:
    static constexpr uint16_t kRing = 4096;
    std::unique_ptr<KX_Debug_TLV_Server> m_decoder;
    uint8_t m_ring[kRing] = {};
    uint16_t m_write = 0;
};

#endif
