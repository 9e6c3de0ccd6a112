#ifndef TIVAKO_BRIDGE_COMPOSITEBRIDGEBACKEND_H
#define TIVAKO_BRIDGE_COMPOSITEBRIDGEBACKEND_H

// Several backends behind one: the devices of the first part come first,
// then those of the next, and the device numbers run on across them. Each
// handle it gives out is its own; a call with it goes to the part that
// opened the device, with that part's handle.

#include "bridge/BridgeLibrary.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CompositeBridgeBackend : public BridgeBackend
{
public:
    // Null parts are left out. The name is the parts' names joined by "+".
    explicit CompositeBridgeBackend(std::vector<std::shared_ptr<BridgeBackend>> parts);

    const char* name() const override { return m_name.c_str(); }
    const std::vector<std::shared_ptr<BridgeBackend>>& parts() const { return m_parts; }

    // A part whose count fails contributes no devices; the count fails only
    // when every part's count fails (with the first part's status).
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
    // The soonest of the parts'.
    std::chrono::nanoseconds untilNextEvent() override;

private:
    struct Issued
    {
        std::shared_ptr<BridgeBackend> part;
        BRIDGE_HANDLE inner;
    };

    // Finds the part that owns a composite device number, using the counts
    // of the last enumeration; *local receives the part's own number.
    std::shared_ptr<BridgeBackend> partForDevice(uint32_t deviceNum, uint32_t* local);
    bool lookup(BRIDGE_HANDLE handle, Issued* issued) const;

    std::vector<std::shared_ptr<BridgeBackend>> m_parts;
    std::string m_name;
    mutable std::mutex m_mutex;
    std::vector<uint32_t> m_counts; // per part, from the last enumeration
    bool m_counted = false;
    std::map<uintptr_t, Issued> m_issued;
    uintptr_t m_lastId = 0;
};

#endif
