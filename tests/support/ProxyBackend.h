#ifndef TIVAKO_TESTS_SUPPORT_PROXYBACKEND_H
#define TIVAKO_TESTS_SUPPORT_PROXYBACKEND_H

// A bridge backend that stands between the device class and another backend
// (the virtual board): it records what the host does to the link (writes,
// latch and line-control calls, flushes) and can bend the link the way a
// faulty board or a faulty loader would: replace a reply, add stray bytes
// after a reply, or turn the even-parity line setting into no parity.
// Thread-safe: the worker thread drives it while the test inspects it.

#include "bridge/BridgeLibrary.h"

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

class ProxyBackend : public BridgeBackend
{
public:
    using Bytes = std::vector<uint8_t>;

    struct Event
    {
        enum Kind { Write, Latch, LineControl, Flush } kind;
        Bytes bytes;       // Write: the bytes handed in
        uint8_t mask = 0;  // Latch
        uint8_t value = 0; // Latch
        uint16_t line = 0; // LineControl: the word the host asked for
    };

    explicit ProxyBackend(std::shared_ptr<BridgeBackend> inner);

    std::vector<Event> events() const;
    std::vector<Bytes> writes() const;
    size_t writeCount(const Bytes& frame) const;
    void clearEvents();

    // The host's line-control word `from` reaches the link as `to`.
    void rewriteLineControl(uint16_t from, uint16_t to);
    // The host's line-control word `line` fails with SI_DEVICE_IO_FAILED.
    void failLineControl(uint16_t line);

    // After each of the next `times` host writes equal to `command`, the
    // first `replyLength` bytes the board sends back are replaced by
    // `replacement`.
    void replaceReply(const Bytes& command, size_t replyLength, const Bytes& replacement, int times);

    // Called on the writing thread after every host write has gone through.
    void setWriteHook(std::function<void(const Bytes&)> hook);

    // After the `nth` host write (counting from 1) whose size is `size`, once
    // the board's reply to it has arrived, `extra` follows it on the link.
    void appendAfterReply(size_t size, int nth, const Bytes& extra);

    // ---- BridgeBackend ----
    const char* name() const override { return "proxy"; }
    BRIDGE_STATUS getNumDevices(uint32_t* numDevices) override;
    BRIDGE_STATUS getProductString(uint32_t deviceNum, char* buffer, uint8_t selector) override;
    BRIDGE_STATUS open(uint32_t deviceNum, BRIDGE_HANDLE* handle) override;
    BRIDGE_STATUS close(BRIDGE_HANDLE handle) override;
    BRIDGE_STATUS setBaudRate(BRIDGE_HANDLE handle, uint32_t baudRate) override;
    BRIDGE_STATUS setLineControl(BRIDGE_HANDLE handle, uint16_t lineControl) override;
    BRIDGE_STATUS writeLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch) override;
    BRIDGE_STATUS checkRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue, uint32_t* queueStatus) override;
    BRIDGE_STATUS read(BRIDGE_HANDLE handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned) override;
    BRIDGE_STATUS write(BRIDGE_HANDLE handle, const void* buffer, uint32_t bytesToWrite,
                        uint32_t* bytesWritten) override;
    BRIDGE_STATUS flushBuffers(BRIDGE_HANDLE handle, uint8_t flushTransmit, uint8_t flushReceive) override;
    // Bytes of its own are due at once; else the board's next event.
    std::chrono::nanoseconds untilNextEvent() override;

private:
    void takeFromBoard(BRIDGE_HANDLE handle); // expects m_mutex held
    // The inner backend's status for the handle: a lost board, a bad handle.
    BRIDGE_STATUS innerStatus(BRIDGE_HANDLE handle);

    std::shared_ptr<BridgeBackend> m_inner;
    mutable std::mutex m_mutex;
    std::vector<Event> m_events;
    std::deque<uint8_t> m_rx;

    bool m_rewriteLine = false;
    uint16_t m_lineFrom = 0, m_lineTo = 0;
    bool m_failLine = false;
    uint16_t m_failedLine = 0;

    Bytes m_replaceCommand;
    size_t m_replaceLength = 0;
    Bytes m_replacement;
    int m_replaceTimes = 0;
    size_t m_replaceLeft = 0; // reply bytes still to swallow

    std::function<void(const Bytes&)> m_writeHook;

    size_t m_appendSize = 0;
    int m_appendNth = 0;
    int m_appendSeen = 0;
    Bytes m_append;
    bool m_appendArmed = false; // the trigger write went out; waiting for its reply
};

#endif
