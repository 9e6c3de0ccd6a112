#ifndef TIVAKO_BRIDGE_BYTERING_H
#define TIVAKO_BRIDGE_BYTERING_H

// Operations on the 4096-byte console rings of the bridge device: a plain
// byte array plus a read and a write position, each stored modulo 4096.
// One side writes (moves only the write position), the other reads (moves
// only the read position). Positions are published with release ordering
// and loaded with acquire ordering, so a byte is in place before the reader
// can see the position that covers it, and a slot is free again only after
// the reader has taken its byte. A writer never overwrites unread bytes.

#include "app/Log.h"

#include <atomic>
#include <cstdint>

namespace byte_ring {

constexpr uint16_t kSize = 4096;
constexpr uint16_t kMask = 0x0FFF;
// The largest fill level that can be told from an empty ring.
constexpr uint16_t kCapacity = kSize - 1;

inline uint16_t fillLevel(uint16_t read, uint16_t write)
{
    return static_cast<uint16_t>((write - read) & kMask);
}

inline uint16_t count(const std::atomic<uint16_t>& readIndex, const std::atomic<uint16_t>& writeIndex)
{
    return fillLevel(readIndex.load(std::memory_order_acquire), writeIndex.load(std::memory_order_acquire));
}

// Writer side: stores as many of `length` bytes as there is room for and
// returns how many that was.
inline uint16_t write(uint8_t* buffer, const std::atomic<uint16_t>& readIndex, std::atomic<uint16_t>& writeIndex,
                      const uint8_t* data, uint32_t length)
{
    const uint16_t w = writeIndex.load(std::memory_order_relaxed);
    const uint16_t room = kCapacity - fillLevel(readIndex.load(std::memory_order_acquire), w);
    const uint16_t n = length < room ? static_cast<uint16_t>(length) : room;
    for (uint16_t i = 0; i < n; ++i)
        buffer[(w + i) & kMask] = data[i];
    writeIndex.store(static_cast<uint16_t>((w + n) & kMask), std::memory_order_release);
    return n;
}

// Reader side: takes the oldest byte. Returns 1, or 0xFF (byte untouched)
// when the ring is empty.
inline uint8_t take(const uint8_t* buffer, std::atomic<uint16_t>& readIndex, const std::atomic<uint16_t>& writeIndex,
                    uint8_t* byte)
{
    const uint16_t r = readIndex.load(std::memory_order_relaxed);
    if (r == writeIndex.load(std::memory_order_acquire))
        return 0xFF;
    *byte = buffer[r];
    readIndex.store(static_cast<uint16_t>((r + 1) & kMask), std::memory_order_release);
    return 1;
}

// Reader side: marks `n` bytes from the read position as taken (the caller
// has already used them in place).
inline void consume(std::atomic<uint16_t>& readIndex, uint16_t n)
{
    const uint16_t r = readIndex.load(std::memory_order_relaxed);
    readIndex.store(static_cast<uint16_t>((r + n) & kMask), std::memory_order_release);
}

// write() for a writer that reports overflow: the first write of an
// overflow episode that has to drop bytes writes one error line under
// `label`; the episode ends with the next write that fits whole.
inline uint16_t writeReporting(uint8_t* buffer, const std::atomic<uint16_t>& readIndex,
                               std::atomic<uint16_t>& writeIndex, const uint8_t* data, uint32_t length,
                               bool* overflowing, const char* label, const char* ringName)
{
    const uint16_t stored = write(buffer, readIndex, writeIndex, data, length);
    if (stored < length) {
        if (!*overflowing)
            logError(label, "%s ring full, %u bytes dropped", ringName, static_cast<unsigned>(length - stored));
        *overflowing = true;
    } else {
        *overflowing = false;
    }
    return stored;
}

} // namespace byte_ring

#endif
