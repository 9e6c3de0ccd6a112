#ifndef TIVAKO_BRIDGE_SCRIPTEDBRIDGEBACKEND_H
#define TIVAKO_BRIDGE_SCRIPTEDBRIDGEBACKEND_H

// A bridge backend for tests that decide every byte the board sends or a
// library status: a list of devices, at most one of them open, the latch, the
// line control, bytes to be read and the bytes written; the calls by name, in
// order. Thread-safe: the device's worker calls it while the test scripts it.

#include "bridge/BridgeLibrary.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class ScriptedBridgeBackend : public BridgeBackend
{
    using Lock = std::lock_guard<std::mutex>;

public:
    struct Device
    {
        std::string description;
        std::string serial;
    };
    struct State
    {
        uint8_t latch = 0xFF;
        uint16_t lineControl = 0;
        int openDevice = -1;
        std::string written;
        std::vector<std::string> calls; // "BridgeOpen", ...
        std::string latches;            // after each write
    };

    explicit ScriptedBridgeBackend(std::vector<Device> devices = {}) : m_devices(std::move(devices)) {}
    const char* name() const override { return "scripted"; }

    void setDevices(std::vector<Device> devices)
    {
        Lock lock(m_mutex);
        m_devices = std::move(devices);
    }
    // op's next call returns status; unless `apply`, a failing call does nothing else.
    void setStatus(const std::string& op, BRIDGE_STATUS status, bool apply = false)
    {
        Lock lock(m_mutex);
        m_script[op] = {status, apply};
    }
    void feedRx(const std::string& bytes) // what the board "sends"
    {
        {
            Lock lock(m_mutex);
            m_rx.insert(m_rx.end(), bytes.begin(), bytes.end());
        }
        bridgeWake(BRIDGE_WAKE_RECEIVED);
    }
    size_t rxPending() const
    {
        Lock lock(m_mutex);
        return m_rx.size();
    }
    State state() const
    {
        Lock lock(m_mutex);
        return m_state;
    }

    BRIDGE_STATUS getNumDevices(uint32_t* numDevices) override
    {
        Lock lock(m_mutex);
        if (begin("BridgeGetNumDevices", SI_SUCCESS))
            *numDevices = uint32_t(m_devices.size());
        return m_status;
    }
    BRIDGE_STATUS getProductString(uint32_t deviceNum, char* buffer, uint8_t selector) override
    {
        Lock lock(m_mutex);
        const bool known = selector == SI_RETURN_SERIAL_NUMBER || selector == SI_RETURN_DESCRIPTION;
        const BRIDGE_STATUS natural = deviceNum >= m_devices.size() ? SI_DEVICE_NOT_FOUND
                                      : known                       ? SI_SUCCESS
                                                                    : SI_INVALID_PARAMETER;
        if (begin("BridgeGetProductString", natural)) {
            const Device& device = m_devices[deviceNum];
            const std::string& text = selector == SI_RETURN_DESCRIPTION ? device.description : device.serial;
            std::strncpy(buffer, text.c_str(), BRIDGE_MAX_PRODUCT_STRING - 1);
        }
        return m_status;
    }
    BRIDGE_STATUS open(uint32_t deviceNum, BRIDGE_HANDLE* handle) override
    {
        Lock lock(m_mutex);
        // One link at a time, like a bridge whose interface is already claimed.
        if (begin("BridgeOpen", deviceNum < m_devices.size() && !m_openId ? SI_SUCCESS : SI_DEVICE_NOT_FOUND)) {
            *handle = bridgeHandleFromId(m_openId = ++m_lastId);
            m_state.openDevice = int(deviceNum);
        }
        return m_status;
    }
    BRIDGE_STATUS close(BRIDGE_HANDLE handle) override
    {
        Lock lock(m_mutex);
        if (begin("BridgeClose", handleStatus(handle))) {
            m_openId = 0;
            m_state.openDevice = -1;
        }
        return m_status;
    }
    BRIDGE_STATUS setBaudRate(BRIDGE_HANDLE handle, uint32_t baudRate) override
    {
        Lock lock(m_mutex);
        begin("BridgeSetBaudRate", handleStatus(handle, baudRate ? SI_SUCCESS : SI_INVALID_BAUDRATE));
        return m_status;
    }
    BRIDGE_STATUS setLineControl(BRIDGE_HANDLE handle, uint16_t lineControl) override
    {
        Lock lock(m_mutex);
        if (begin("BridgeSetLineControl", handleStatus(handle)))
            m_state.lineControl = lineControl;
        return m_status;
    }
    BRIDGE_STATUS writeLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch) override
    {
        Lock lock(m_mutex);
        if (begin("BridgeWriteLatch", handleStatus(handle)))
            m_state.latches += char(m_state.latch = uint8_t((m_state.latch & ~mask) | (latch & mask)));
        return m_status;
    }
    BRIDGE_STATUS checkRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue, uint32_t* queueStatus) override
    {
        Lock lock(m_mutex);
        if (begin("BridgeCheckRxQueue", handleStatus(handle))) {
            *numBytesInQueue = uint32_t(m_rx.size());
            *queueStatus = m_rx.empty() ? 0u : 2u;
        }
        return m_status;
    }
    BRIDGE_STATUS read(BRIDGE_HANDLE handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned) override
    {
        Lock lock(m_mutex);
        if (begin("BridgeRead", handleStatus(handle))) {
            *bytesReturned = uint32_t(std::min<size_t>(bytesToRead, m_rx.size()));
            std::copy_n(m_rx.begin(), *bytesReturned, static_cast<uint8_t*>(buffer));
            m_rx.erase(m_rx.begin(), m_rx.begin() + *bytesReturned);
        }
        return m_status;
    }
    BRIDGE_STATUS write(BRIDGE_HANDLE handle, const void* buffer, uint32_t bytesToWrite,
                        uint32_t* bytesWritten) override
    {
        Lock lock(m_mutex);
        if (begin("BridgeWrite", handleStatus(handle)) && bytesToWrite)
            m_state.written.append(static_cast<const char*>(buffer), bytesToWrite);
        *bytesWritten = m_status == SI_SUCCESS ? bytesToWrite : 0;
        return m_status;
    }
    BRIDGE_STATUS flushBuffers(BRIDGE_HANDLE handle, uint8_t, uint8_t flushReceive) override
    {
        Lock lock(m_mutex);
        // Written bytes have "left" already; only unread input can be dropped.
        if (begin("BridgeFlushBuffers", handleStatus(handle)) && flushReceive)
            m_rx.clear();
        return m_status;
    }

private:
    // m_mutex held by all below.
    BRIDGE_STATUS handleStatus(BRIDGE_HANDLE handle, BRIDGE_STATUS otherwise = SI_SUCCESS) const
    {
        return m_openId && bridgeHandleId(handle) == m_openId ? otherwise : BRIDGE_STATUS(SI_INVALID_HANDLE);
    }
    // Records the call and sets m_status (a scripted one wins over `natural`);
    // returns whether the call does its work.
    bool begin(const char* op, BRIDGE_STATUS natural)
    {
        m_state.calls.push_back(op);
        m_status = natural;
        auto scripted = m_script.find(op);
        if (scripted == m_script.end())
            return natural == SI_SUCCESS;
        m_status = scripted->second.first;
        const bool apply = natural == SI_SUCCESS && (m_status == SI_SUCCESS || scripted->second.second);
        m_script.erase(scripted);
        return apply;
    }

    mutable std::mutex m_mutex;
    std::vector<Device> m_devices;
    std::map<std::string, std::pair<BRIDGE_STATUS, bool>> m_script; // status, apply
    std::deque<uint8_t> m_rx;
    State m_state;
    BRIDGE_STATUS m_status = SI_SUCCESS; // of the call in progress
    uintptr_t m_openId = 0;              // 0 while closed
    uintptr_t m_lastId = 0;
};

#endif
