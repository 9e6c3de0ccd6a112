#ifndef TIVAKO_BRIDGE_SCRIPTEDBRIDGEBACKEND_H
#define TIVAKO_BRIDGE_SCRIPTEDBRIDGEBACKEND_H

// A bridge backend for tests where the exact sequence of library calls, or a
// library failure, is the point. It models one serial link: a list of
// devices, at most one of them open, a GPIO latch, the line settings, bytes
// waiting to be read and the bytes written. Every call is recorded with its
// arguments; a test scripts the statuses the operations return.
//
// Thread-safe: the code under test may call it from its worker thread while
// the test thread scripts and inspects it.

#include "bridge/BridgeLibrary.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class ScriptedBridgeBackend : public BridgeBackend
{
public:
    // One recorded call. op is the library function's name ("BridgeOpen",
    // "BridgeWriteLatch", ...). args are the call's integer inputs in the
    // function's argument order, out-arguments left out; a handle is recorded
    // as its number (1 for the first successful open, 2 for the next, ...;
    // 0 for a handle this backend never issued or that is closed):
    //   BridgeGetNumDevices    {}
    //   BridgeGetProductString {deviceNum, selector}
    //   BridgeOpen             {deviceNum}
    //   BridgeClose            {handle}
    //   BridgeSetBaudRate      {handle, baudRate}
    //   BridgeSetLineControl   {handle, lineControl}
    //   BridgeWriteLatch       {handle, mask, latch}
    //   BridgeCheckRxQueue     {handle}
    //   BridgeRead             {handle, bytesToRead}      data: the bytes returned
    //   BridgeWrite            {handle, bytesToWrite}     data: the bytes handed in
    //   BridgeFlushBuffers     {handle, flushTransmit, flushReceive}
    // status is what the call returned.
    struct Call
    {
        std::string op;
        std::vector<int64_t> args;
        std::vector<uint8_t> data;
        BRIDGE_STATUS status = SI_SUCCESS;
    };

    struct Device
    {
        std::string description;
        std::string serial;
    };

    // What a scripted non-zero status does besides being returned.
    enum class Effect {
        Skip,  // the operation does nothing; out-values stay as the caller's
        Apply, // the operation works as usual and then reports the status
    };

    enum : int { kAlways = -1 };

    ScriptedBridgeBackend();
    explicit ScriptedBridgeBackend(std::vector<Device> devices);
    // Lets a test write ScriptedBridgeBackend backend({{"Board", "0001"}}).
    ScriptedBridgeBackend(std::initializer_list<Device> devices);
    ScriptedBridgeBackend(const ScriptedBridgeBackend&) = delete;
    ScriptedBridgeBackend& operator=(const ScriptedBridgeBackend&) = delete;

    const char* name() const override { return "scripted"; }

    // ---- scripting ----
    void setDevices(std::vector<Device> devices);
    std::vector<Device> devices() const;

    // Appends to op's script: its next `count` calls (kAlways: every call
    // from then on) return `status`. Entries are used up in the order they
    // were added; once the script is used up the operation behaves normally.
    // Scripting SI_SUCCESS for some calls before a failure delays the failure.
    void setStatus(const std::string& op, BRIDGE_STATUS status, int count = kAlways, Effect effect = Effect::Skip);
    void clearStatus(const std::string& op);
    void clearStatuses();

    // Bytes that the board "sends": they show up in BridgeCheckRxQueue and
    // are handed out by BridgeRead, in order.
    void feedRx(const std::vector<uint8_t>& bytes);
    void feedRx(const std::string& bytes);
    size_t rxPending() const;
    // The queue status BridgeCheckRxQueue reports (default: 0 when nothing
    // waits, 2 when bytes wait). A value set here is reported instead.
    void setQueueStatus(uint32_t queueStatus);

    // Latch value before any write (default 0xFF: every line at rest high).
    void setLatch(uint8_t latch);

    // ---- inspection ----
    std::vector<Call> calls() const;
    std::vector<Call> calls(const std::string& op) const;
    size_t callCount(const std::string& op) const;
    // Just the op names, in order: handy for comparing whole sequences.
    std::vector<std::string> callNames() const;
    void clearCalls();
    // Blocks until at least `count` calls of op have been recorded (counting
    // those recorded before), or the timeout passes. Returns whether they were.
    bool waitForCalls(const std::string& op, size_t count, std::chrono::milliseconds timeout) const;

    std::vector<uint8_t> written() const;
    std::string writtenText() const;
    void clearWritten();
    uint8_t latch() const;
    uint16_t lineControl() const; // 0 until set
    uint32_t baudRate() const;    // 0 until set
    bool isOpen() const;
    int openDeviceNumber() const;     // -1 while closed
    BRIDGE_HANDLE openHandle() const; // nullptr while closed

    // ---- BridgeBackend ----
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

private:
    struct Scripted
    {
        BRIDGE_STATUS status;
        int remaining; // kAlways or > 0
        Effect effect;
    };
    struct Decision
    {
        bool scripted = false;
        BRIDGE_STATUS status = SI_SUCCESS;
        bool apply = true;
    };

    // All private helpers expect m_mutex to be held.
    Decision takeScripted(const std::string& op);
    size_t record(const std::string& op, std::vector<int64_t> args, std::vector<uint8_t> data = {});
    BRIDGE_STATUS finish(size_t callIndex, BRIDGE_STATUS status);
    int64_t handleNumber(BRIDGE_HANDLE handle) const;
    bool isCurrent(BRIDGE_HANDLE handle) const;
    size_t countCalls(const std::string& op) const;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_callRecorded;
    std::vector<Device> m_devices;
    std::map<std::string, std::deque<Scripted>> m_script;
    std::vector<Call> m_calls;
    std::deque<uint8_t> m_rx;
    std::vector<uint8_t> m_written;
    bool m_queueStatusSet = false;
    uint32_t m_queueStatus = 0;
    uint8_t m_latch = 0xFF;
    uint16_t m_lineControl = 0;
    uint32_t m_baudRate = 0;
    uintptr_t m_openHandleId = 0; // 0 while closed
    uintptr_t m_lastHandleId = 0;
    int m_openDevice = -1;
};

#endif
