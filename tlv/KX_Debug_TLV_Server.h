#ifndef TIVAKO_TLV_KX_DEBUG_TLV_SERVER_H
#define TIVAKO_TLV_KX_DEBUG_TLV_SERVER_H

// Decoder of the board's binary debug frames ("TLV Binär" console mode).
//
// Wire format: a raw 0xAA starts a frame; 0x55 escapes the next byte (which is
// then XORed with 0x20). After un-escaping a frame reads
//   AA, length L (u16 LE), L payload bytes, checksum (u16 LE)
// where the checksum is the two's complement of the 16-bit sum of the length
// bytes and the payload. The payload is a row of items: tag (u8), length N
// (u16 LE), N value bytes. Items tagged 0xF0..0xF2 carry console text.
//
// Used from one thread only (the bridge worker); no locks, no allocation after
// construction. Plain C++, no Qt.

#include <cstdint>

class KX_Debug_TLV_Server
{
public:
    static constexpr uint16_t BufferSizeUART = 4096;
    static constexpr uint16_t HeadBufferSize = 128;
    static constexpr uint8_t TLV_DATA_HEAD = 0xAA;
    static constexpr uint8_t TLV_DATA_ESCAPE = 0x55;

    KX_Debug_TLV_Server();

    // Takes count bytes from the caller's ring at (start + i) % ringSize,
    // un-escapes them, decodes every complete frame and returns the number of
    // bytes taken (all of them), by which the caller advances its read position.
    uint16_t ReceiveBytes(const uint8_t* ring, uint16_t start, uint16_t count, uint16_t ringSize);

    // Number of decoded text bytes waiting in the output queue.
    uint16_t OutputBufferLength() const;

    // Takes one decoded byte: returns 1 and stores it in *byte, or returns 0xFF
    // (leaving *byte untouched) when the queue is empty.
    uint8_t GetOutputByte(uint8_t* byte);

    // Undecoded bytes from the frame being decoded on.
    uint16_t BufferLength() const;

    // Recorded frame heads not yet decoded.
    uint16_t HeadBufferLength() const;

private:
    void TLV_Handler();
    bool CheckReceiveChecksum();
    void WriteOutputBuffer(const uint8_t* ring, uint16_t start, uint16_t count, uint16_t ringSize);

    void StoreByte(uint8_t value, bool head);
    void MakeRoom(bool head);
    void DropFrame();
    void DeliverItems(uint16_t payloadLength);

    uint8_t DataBuffer[BufferSizeUART];
    uint16_t DataPointer;
    uint16_t DataWritePointer;
    uint8_t OutputBuffer[BufferSizeUART];
    uint16_t OutputReadIndex;
    uint16_t OutputWriteIndex;
    uint16_t HeadBuffer[HeadBufferSize];
    uint16_t HeadReadIndex;
    uint16_t HeadWriteIndex;
    uint8_t LastReceivedByte;
};

#endif
