#include "tlv/KX_Debug_TLV_Server.h"

#include "app/Log.h"

namespace {

const char kReceiveLabel[] = "KX_Debug_TLV_Server::ReceiveBytes";
const char kHandlerLabel[] = "KX_Debug_TLV_Server::TLV_Handler";
const char kChecksumLabel[] = "KX_Debug_TLV_Server::CheckReceiveChecksum";
const char kOutputLabel[] = "KX_Debug_TLV_Server::WriteOutputBuffer";

constexpr uint16_t kDataMask = KX_Debug_TLV_Server::BufferSizeUART - 1;
constexpr uint16_t kHeadMask = KX_Debug_TLV_Server::HeadBufferSize - 1;
constexpr uint16_t kConsumedHead = 0xFFFF;
// Written over a decoded head so that it is never taken for one again.
constexpr uint8_t kHeadTombstone = 0x0D;
constexpr uint32_t kFrameOverhead = 5; // head, length, checksum
constexpr uint32_t kItemHeader = 3;    // tag, length
// A ring of N bytes tells at most N - 1 of them from an empty one, so no
// longer frame can ever be complete in the buffer.
constexpr uint32_t kLongestFrame = KX_Debug_TLV_Server::BufferSizeUART - 1;

constexpr bool isTextTag(uint8_t tag)
{
    return tag >= 0xF0 && tag <= 0xF2;
}

} // namespace

KX_Debug_TLV_Server::KX_Debug_TLV_Server()
    : DataBuffer(), DataPointer(0), DataWritePointer(0), OutputBuffer(), OutputReadIndex(0), OutputWriteIndex(0),
      HeadBuffer(), HeadReadIndex(0), HeadWriteIndex(0), LastReceivedByte(0)
{
}

uint16_t KX_Debug_TLV_Server::ReceiveBytes(const uint8_t* ring, uint16_t start, uint16_t count, uint16_t ringSize)
{
    if (count == 0)
        return 0;
    if (ring == nullptr || ringSize == 0) {
        logError(kReceiveLabel, "No source ring (size %d), %d bytes not taken", ringSize, count);
        return 0;
    }
    uint32_t position = start % ringSize;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t c = ring[position];
        if (++position == ringSize)
            position = 0;
        if (c == TLV_DATA_HEAD)
            StoreByte(c, true);
        else if (c != TLV_DATA_ESCAPE)
            StoreByte(LastReceivedByte == TLV_DATA_ESCAPE ? static_cast<uint8_t>(c ^ 0x20) : c, false);
        LastReceivedByte = c;
    }
    TLV_Handler();
    return count;
}

uint16_t KX_Debug_TLV_Server::OutputBufferLength() const
{
    return static_cast<uint16_t>(OutputWriteIndex - OutputReadIndex) & kDataMask;
}

uint8_t KX_Debug_TLV_Server::GetOutputByte(uint8_t* byte)
{
    if (byte == nullptr || OutputBufferLength() == 0)
        return 0xFF;
    *byte = OutputBuffer[OutputReadIndex];
    OutputReadIndex = (OutputReadIndex + 1) & kDataMask;
    return 1;
}

uint16_t KX_Debug_TLV_Server::BufferLength() const
{
    return static_cast<uint16_t>(DataWritePointer - DataPointer) & kDataMask;
}

uint16_t KX_Debug_TLV_Server::HeadBufferLength() const
{
    return static_cast<uint16_t>(HeadWriteIndex - HeadReadIndex) & kHeadMask;
}

void KX_Debug_TLV_Server::StoreByte(uint8_t value, bool head)
{
    MakeRoom(head);
    if (head) {
        HeadBuffer[HeadWriteIndex] = DataWritePointer;
        HeadWriteIndex = (HeadWriteIndex + 1) & kHeadMask;
    }
    DataBuffer[DataWritePointer] = value;
    DataWritePointer = (DataWritePointer + 1) & kDataMask;
}

// A store must never lap undecoded data. Decoding first frees every complete
// frame; what is still in the way after that is at most one frame that cannot
// complete or bytes outside any frame, and those are dropped.
void KX_Debug_TLV_Server::MakeRoom(bool head)
{
    auto full = [this, head] { return BufferLength() == kDataMask || (head && HeadBufferLength() == kHeadMask); };
    if (!full())
        return;
    TLV_Handler();
    while (full()) {
        logError(kReceiveLabel, "Receive buffer full: %d undecoded bytes, %d heads dropped", BufferLength(),
                 HeadBufferLength());
        if (HeadBufferLength() > 0)
            DropFrame();
        else
            DataPointer = DataWritePointer;
    }
}

// Gives up the frame at the oldest recorded head and goes on at the next one
// (or, without one, after everything received so far).
void KX_Debug_TLV_Server::DropFrame()
{
    DataBuffer[DataPointer] = kHeadTombstone;
    HeadBuffer[HeadReadIndex] = kConsumedHead;
    HeadReadIndex = (HeadReadIndex + 1) & kHeadMask;
    DataPointer = HeadBufferLength() > 0 ? HeadBuffer[HeadReadIndex] : DataWritePointer;
}

void KX_Debug_TLV_Server::TLV_Handler()
{
    while (HeadBufferLength() > 0) {
        const uint16_t head = HeadBuffer[HeadReadIndex];
        if (DataPointer != head) {
            logError(kHandlerLabel, "DataPointer adr:%d != HeadBuffer adr:%d", DataPointer, head);
            if (DataBuffer[DataPointer] != TLV_DATA_HEAD)
                logError(kHandlerLabel, "Data @ DataPointer[0x%02x] != TLV_DATA_HEAD", DataBuffer[DataPointer]);
            // Only a recorded head starts a frame: a 0xAA here came escaped.
            DataPointer = head;
        }

        // A good frame never holds a raw head, so a frame that the next head
        // interrupts is broken; no need to wait for the rest of it.
        const bool nextHeadKnown = HeadBufferLength() > 1;
        const uint32_t room =
            nextHeadKnown ? (HeadBuffer[(HeadReadIndex + 1) & kHeadMask] - DataPointer) & kDataMask : BufferLength();
        auto dropCutShort = [this, room] {
            logError(kHandlerLabel, "Frame @ %d cut short by the next head after %d bytes, dropped", DataPointer, room);
            DropFrame();
        };
        if (room < 3) {
            if (nextHeadKnown) {
                dropCutShort();
                continue;
            }
            logError(kHandlerLabel, "BufferLength() < 0x03");
            return;
        }

        const uint16_t u16DataLength = static_cast<uint16_t>(DataBuffer[(DataPointer + 1) & kDataMask] |
                                                             DataBuffer[(DataPointer + 2) & kDataMask] << 8);
        if (u16DataLength == 0)
            logStatus(kHandlerLabel, "DataLength == 0 @ %d", DataPointer);
        const uint32_t frameLength = u16DataLength + kFrameOverhead;
        if (frameLength > kLongestFrame) {
            logError(kHandlerLabel, "u16DataLength %d @ %d never fits the buffer, frame dropped", u16DataLength,
                     DataPointer);
            DropFrame();
            continue;
        }
        if (room < frameLength) {
            if (nextHeadKnown) {
                dropCutShort();
                continue;
            }
            logError(kHandlerLabel, "BufferLength() < (u16DataLength + 0x05) -> Soll:%d Bytes Ist:%d", frameLength,
                     BufferLength());
            return;
        }

        if (!CheckReceiveChecksum()) {
            logError(kHandlerLabel, "CheckSum Wrong!");
            DropFrame();
            continue;
        }

        DeliverItems(u16DataLength);

        DataBuffer[DataPointer] = kHeadTombstone;
        DataPointer = (DataPointer + frameLength) & kDataMask;
        HeadBuffer[HeadReadIndex] = kConsumedHead;
        HeadReadIndex = (HeadReadIndex + 1) & kHeadMask;
    }
}

void KX_Debug_TLV_Server::DeliverItems(uint16_t payloadLength)
{
    const uint32_t end = payloadLength + kItemHeader;
    uint32_t e = kItemHeader;
    while (e < end) {
        if (e + kItemHeader > end) {
            logError(kHandlerLabel, "Item header @ %d runs past the frame end, rest of the frame dropped", e);
            return;
        }
        const uint8_t tag = DataBuffer[(DataPointer + e) & kDataMask];
        const uint32_t itemLength = DataBuffer[(DataPointer + e + 1) & kDataMask] |
                                    static_cast<uint32_t>(DataBuffer[(DataPointer + e + 2) & kDataMask]) << 8;
        if (e + kItemHeader + itemLength > end) {
            logError(kHandlerLabel, "Item length %d @ %d runs past the frame end, item dropped", itemLength, e);
            return;
        }
        if (isTextTag(tag))
            WriteOutputBuffer(DataBuffer, static_cast<uint16_t>(DataPointer + e + kItemHeader),
                              static_cast<uint16_t>(itemLength), BufferSizeUART);
        else
            logError(kHandlerLabel, "Unkown Tag: %d", tag);
        e += kItemHeader + itemLength;
    }
}

bool KX_Debug_TLV_Server::CheckReceiveChecksum()
{
    const uint32_t u16DataLength = DataBuffer[(DataPointer + 1) & kDataMask] |
                                   static_cast<uint32_t>(DataBuffer[(DataPointer + 2) & kDataMask]) << 8;
    if (u16DataLength + 3 > BufferSizeUART) {
        logError(kChecksumLabel, "CHECKSUM (BufferSizeUART < u16DataLength)");
        return false;
    }
    uint16_t sum = 0;
    for (uint32_t i = 1; i <= u16DataLength + 2; ++i)
        sum = static_cast<uint16_t>(sum + DataBuffer[(DataPointer + i) & kDataMask]);
    const uint16_t checksum = static_cast<uint16_t>(DataBuffer[(DataPointer + u16DataLength + 3) & kDataMask] |
                                                    DataBuffer[(DataPointer + u16DataLength + 4) & kDataMask] << 8);
    return static_cast<uint16_t>(sum + checksum) == 0;
}

// Output that finds the queue full is dropped: the worker drains the queue
// after every call, and unread text must never be overwritten.
void KX_Debug_TLV_Server::WriteOutputBuffer(const uint8_t* ring, uint16_t start, uint16_t count, uint16_t ringSize)
{
    const uint16_t space = kDataMask - OutputBufferLength();
    const uint16_t taken = count < space ? count : space;
    for (uint32_t i = 0; i < taken; ++i) {
        OutputBuffer[OutputWriteIndex] = ring[(start + i) % ringSize];
        OutputWriteIndex = (OutputWriteIndex + 1) & kDataMask;
    }
    if (taken < count)
        logError(kOutputLabel, "OutputBuffer full, %d decoded bytes dropped", count - taken);
}
