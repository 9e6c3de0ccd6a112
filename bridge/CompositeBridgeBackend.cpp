#include "bridge/CompositeBridgeBackend.h"

namespace {
// Typed copies of the status codes, for conditional expressions.
const BRIDGE_STATUS kInvalidHandle = SI_INVALID_HANDLE;
const BRIDGE_STATUS kDeviceNotFound = SI_DEVICE_NOT_FOUND;
} // namespace

CompositeBridgeBackend::CompositeBridgeBackend(std::vector<std::shared_ptr<BridgeBackend>> parts)
{
    for (auto& part : parts) {
        if (!part)
            continue;
        if (!m_name.empty())
            m_name += "+";
        m_name += part->name();
        m_parts.push_back(std::move(part));
    }
    m_counts.assign(m_parts.size(), 0);
}

BRIDGE_STATUS CompositeBridgeBackend::getNumDevices(uint32_t* numDevices)
{
    std::vector<uint32_t> counts(m_parts.size(), 0);
    BRIDGE_STATUS firstFailure = SI_SUCCESS;
    bool anySucceeded = m_parts.empty();
    // The parts are asked without holding the lock: they may take their time.
    for (size_t i = 0; i < m_parts.size(); ++i) {
        uint32_t count = 0;
        BRIDGE_STATUS status = m_parts[i]->getNumDevices(&count);
        if (status == SI_SUCCESS) {
            counts[i] = count;
            anySucceeded = true;
        } else if (firstFailure == SI_SUCCESS) {
            firstFailure = status;
        }
    }
    uint32_t total = 0;
    for (uint32_t count : counts)
        total += count;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_counts = counts;
        m_counted = true;
    }
    if (!anySucceeded)
        return firstFailure;
    if (numDevices)
        *numDevices = total;
    return SI_SUCCESS;
}

std::shared_ptr<BridgeBackend> CompositeBridgeBackend::partForDevice(uint32_t deviceNum, uint32_t* local)
{
    bool counted;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        counted = m_counted;
    }
    // Device numbers mean something only after a count; count now when the
    // caller skipped it.
    if (!counted) {
        uint32_t ignored = 0;
        getNumDevices(&ignored);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    uint32_t number = deviceNum;
    for (size_t i = 0; i < m_parts.size(); ++i) {
        if (number < m_counts[i]) {
            *local = number;
            return m_parts[i];
        }
        number -= m_counts[i];
    }
    return nullptr;
}

bool CompositeBridgeBackend::lookup(BRIDGE_HANDLE handle, Issued* issued) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_issued.find(bridgeHandleId(handle));
    if (it == m_issued.end())
        return false;
    *issued = it->second;
    return true;
}

BRIDGE_STATUS CompositeBridgeBackend::getProductString(uint32_t deviceNum, char* buffer, uint8_t selector)
{
    uint32_t local = 0;
    std::shared_ptr<BridgeBackend> part = partForDevice(deviceNum, &local);
    return part ? part->getProductString(local, buffer, selector) : kDeviceNotFound;
}

BRIDGE_STATUS CompositeBridgeBackend::open(uint32_t deviceNum, BRIDGE_HANDLE* handle)
{
    uint32_t local = 0;
    std::shared_ptr<BridgeBackend> part = partForDevice(deviceNum, &local);
    if (!part)
        return SI_DEVICE_NOT_FOUND;
    BRIDGE_HANDLE inner = nullptr;
    BRIDGE_STATUS status = part->open(local, &inner);
    // A part may hand out a handle together with a status that callers treat
    // as success; whatever handle it gives is wrapped so it can be used.
    if (inner) {
        std::lock_guard<std::mutex> lock(m_mutex);
        uintptr_t id = ++m_lastId;
        m_issued[id] = Issued{part, inner};
        if (handle)
            *handle = bridgeHandleFromId(id);
    }
    return status;
}

BRIDGE_STATUS CompositeBridgeBackend::close(BRIDGE_HANDLE handle)
{
    Issued issued;
    if (!lookup(handle, &issued))
        return SI_INVALID_HANDLE;
    BRIDGE_STATUS status = issued.part->close(issued.inner);
    // A handle the part still holds (its close failed) stays usable, so the
    // caller can try again.
    if (status == SI_SUCCESS) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_issued.erase(bridgeHandleId(handle));
    }
    return status;
}

BRIDGE_STATUS CompositeBridgeBackend::setBaudRate(BRIDGE_HANDLE handle, uint32_t baudRate)
{
    Issued issued;
    return lookup(handle, &issued) ? issued.part->setBaudRate(issued.inner, baudRate) : kInvalidHandle;
}

BRIDGE_STATUS CompositeBridgeBackend::setLineControl(BRIDGE_HANDLE handle, uint16_t lineControl)
{
    Issued issued;
    return lookup(handle, &issued) ? issued.part->setLineControl(issued.inner, lineControl) : kInvalidHandle;
}

BRIDGE_STATUS CompositeBridgeBackend::writeLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch)
{
    Issued issued;
    return lookup(handle, &issued) ? issued.part->writeLatch(issued.inner, mask, latch) : kInvalidHandle;
}

BRIDGE_STATUS CompositeBridgeBackend::checkRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue,
                                                   uint32_t* queueStatus)
{
    Issued issued;
    return lookup(handle, &issued) ? issued.part->checkRxQueue(issued.inner, numBytesInQueue, queueStatus)
                                   : kInvalidHandle;
}

BRIDGE_STATUS CompositeBridgeBackend::read(BRIDGE_HANDLE handle, void* buffer, uint32_t bytesToRead,
                                           uint32_t* bytesReturned)
{
    Issued issued;
    return lookup(handle, &issued) ? issued.part->read(issued.inner, buffer, bytesToRead, bytesReturned)
                                   : kInvalidHandle;
}

BRIDGE_STATUS CompositeBridgeBackend::write(BRIDGE_HANDLE handle, const void* buffer, uint32_t bytesToWrite,
                                            uint32_t* bytesWritten)
{
    Issued issued;
    return lookup(handle, &issued) ? issued.part->write(issued.inner, buffer, bytesToWrite, bytesWritten)
                                   : kInvalidHandle;
}

BRIDGE_STATUS CompositeBridgeBackend::flushBuffers(BRIDGE_HANDLE handle, uint8_t flushTransmit, uint8_t flushReceive)
{
    Issued issued;
    return lookup(handle, &issued) ? issued.part->flushBuffers(issued.inner, flushTransmit, flushReceive)
                                   : kInvalidHandle;
}

std::chrono::nanoseconds CompositeBridgeBackend::untilNextEvent()
{
    std::chrono::nanoseconds next = std::chrono::nanoseconds::max();
    for (const auto& part : m_parts)
        next = std::min(next, part->untilNextEvent());
    return next;
}
