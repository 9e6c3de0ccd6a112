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
    QByteArray feed(const QByteArray& wire, int chunk = 4095, bool drainAfterEach = true);
    QByteArray drain();

    KX_Debug_TLV_Server decoder;

private:
    uint8_t m_ring[4096] = {};
    uint16_t m_read = 0;
    uint16_t m_write = 0;
};

#endif
