// Feeds random bytes to the TLV decoder in random chunks, the way the bridge
// worker does (a 4096-byte receive ring, output drained after every call),
// and checks every call's output against a small model of the frame format:
// text comes only out of complete frames with a good checksum, in order, and
// at most a queue's worth per call.
//
// Input: two bytes seeding the chunk sizes and the drains (in the first one,
// bit 7 chooses expansion, see wireBytes, and bit 6 drains only at the end),
// then the bytes on the wire.

#include "tlv/KX_Debug_TLV_Server.h"

#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kRingSize = 4096;
constexpr size_t kQueueCapacity = kRingSize - 1;
constexpr size_t kLongestFrame = kRingSize - 1;

[[noreturn]] void fail(const char* what, size_t a = 0, size_t b = 0)
{
    std::fprintf(stderr, "fuzz_tlv: %s (%zu, %zu)\n", what, a, b);
    std::abort();
}

// The frame format, written as plainly as possible: a raw head opens a frame
// and drops any unfinished one; a frame is judged the moment its length says
// it is complete.
class Model
{
public:
    void take(uint8_t c)
    {
        if (c == 0xAA) {
            m_frame.assign(1, c);
            m_open = true;
        } else if (c != 0x55) {
            const uint8_t value = m_last == 0x55 ? static_cast<uint8_t>(c ^ 0x20) : c;
            if (m_open) {
                m_frame.push_back(value);
                judge();
            }
        }
        m_last = c;
    }
    // Text of the frames completed since the last drain, cut to the queue size:
    // once the queue is full, later text is dropped.
    std::string takeDrainedOutput()
    {
        std::string out = m_callOutput.substr(0, kQueueCapacity);
        m_callOutput.clear();
        return out;
    }

private:
    size_t byteAt(size_t i) const { return m_frame[i]; }

    void judge()
    {
        if (m_frame.size() < 3)
            return;
        const size_t length = byteAt(1) | byteAt(2) << 8;
        if (length + 5 > kLongestFrame) {
            m_open = false;
            return;
        }
        if (m_frame.size() < length + 5)
            return;
        m_open = false;
        unsigned sum = 0;
        for (size_t i = 1; i < length + 3; ++i)
            sum += byteAt(i);
        const unsigned checksum = static_cast<unsigned>(byteAt(length + 3) | byteAt(length + 4) << 8);
        if (((sum + checksum) & 0xFFFF) != 0)
            return;
        const size_t end = length + 3;
        for (size_t e = 3; e < end;) {
            if (e + 3 > end)
                break;
            const uint8_t tag = m_frame[e];
            const size_t n = byteAt(e + 1) | byteAt(e + 2) << 8;
            if (e + 3 + n > end)
                break;
            if (tag >= 0xF0 && tag <= 0xF2)
                m_callOutput.append(reinterpret_cast<const char*>(&m_frame[e + 3]), n);
            e += 3 + n;
        }
    }

    std::vector<uint8_t> m_frame;
    bool m_open = false;
    uint8_t m_last = 0;
    std::string m_callOutput;
};

// The bytes on the wire. Expanded inputs may hold back-references FE a b:
// the last b + 1 wire bytes again, 4 (a + 1) times, so that long runs (a
// buffer's worth of stray bytes, hundreds of frames) are a few input bytes.
__attribute__((no_sanitize("coverage"))) void wireBytes(const uint8_t* data, size_t size, bool expand,
                                                        std::vector<uint8_t>* wire)
{
    constexpr size_t kMaxWire = 1 << 14; // four times the rings: enough to fill each
    wire->clear();
    for (size_t i = 0; i < size && wire->size() < kMaxWire; ++i) {
        if (!expand || data[i] != 0xFE || i + 2 >= size) {
            wire->push_back(data[i]);
            continue;
        }
        const size_t times = 4 * (data[i + 1] + 1u);
        const size_t length = std::min<size_t>(data[i + 2] + 1u, wire->size());
        i += 2;
        const size_t old = wire->size();
        const size_t added = std::min(times * length, kMaxWire - old);
        wire->resize(old + added);
        uint8_t* bytes = wire->data();
        for (size_t k = 0; k < added; ++k)
            bytes[old + k] = bytes[old - length + k % length];
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The decoder complains about every broken frame; formatting the lines is
    // worth fuzzing, printing them is not.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const bool expand = data[0] & 0x80;
    const bool drainAtEnd = data[0] & 0x40;
    uint32_t state = (static_cast<uint32_t>(data[0]) << 8 | data[1]) * 2654435761u + 1;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    static std::vector<uint8_t> wire;
    wireBytes(data + 2, size - 2, expand, &wire);

    static KX_Debug_TLV_Server* decoder = nullptr;
    delete decoder; // a fresh decoder per input, without a 8 KiB stack object
    decoder = new KX_Debug_TLV_Server;
    Model model;
    static uint8_t ring[kRingSize];
    uint16_t read = 0;
    uint16_t write = 0;

    size_t at = 0;
    while (at < wire.size()) {
        // Mostly small chunks, now and then up to a full ring.
        const size_t limit = (next() & 0xF) == 0 ? kQueueCapacity : 64;
        const size_t chunk = std::min<size_t>(1 + (next() >> 8) % limit, wire.size() - at);
        for (size_t i = 0; i < chunk; ++i) {
            ring[write] = wire[at + i];
            write = (write + 1) & (kRingSize - 1);
            model.take(wire[at + i]);
        }
        at += chunk;

        const uint16_t count = (write - read) & (kRingSize - 1);
        const uint16_t taken = decoder->ReceiveBytes(ring, read, count, kRingSize);
        if (taken != count)
            fail("ReceiveBytes did not take every byte", taken, count);
        read = (read + taken) & (kRingSize - 1);
        if (decoder->BufferLength() >= kRingSize || decoder->HeadBufferLength() >= 128)
            fail("ring fill out of range", decoder->BufferLength(), decoder->HeadBufferLength());

        // Now and then nobody drains for a while, or not before the end, so
        // that the queue fills up.
        if (at < wire.size() && (drainAtEnd || next() % 4 == 0))
            continue;
        const uint16_t k = decoder->OutputBufferLength();
        std::string out;
        for (uint16_t i = 0; i < k; ++i) {
            uint8_t byte = 0;
            if (decoder->GetOutputByte(&byte) != 1)
                fail("GetOutputByte failed inside the announced length", i, k);
            out += static_cast<char>(byte);
        }
        uint8_t byte = 0x42;
        if (decoder->GetOutputByte(&byte) != 0xFF || byte != 0x42)
            fail("GetOutputByte on an empty queue");
        const std::string expected = model.takeDrainedOutput();
        if (out != expected)
            fail("decoded text differs from the good frames", out.size(), expected.size());
    }
    return 0;
}
