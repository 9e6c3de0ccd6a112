#include "bridge/BridgeLibrary.h"

#include "bridge/CompositeBridgeBackend.h"
#include "bridge/usb/Cp210xBridgeBackend.h"
#include "sim/SimBridgeBackend.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
// Typed copies of the status codes, for conditional expressions.
const BRIDGE_STATUS kSuccess = SI_SUCCESS;
const BRIDGE_STATUS kInvalidHandle = SI_INVALID_HANDLE;
const BRIDGE_STATUS kDeviceNotFound = SI_DEVICE_NOT_FOUND;

std::mutex g_backendMutex;
std::shared_ptr<BridgeBackend> g_backend;

// Each call works on its own reference, so installing another backend while
// a call runs cannot pull the backend out from under it.
std::shared_ptr<BridgeBackend> current()
{
    std::lock_guard<std::mutex> lock(g_backendMutex);
    return g_backend;
}

} // namespace

void bridgeInstallBackend(std::shared_ptr<BridgeBackend> backend)
{
    std::shared_ptr<BridgeBackend> previous;
    {
        std::lock_guard<std::mutex> lock(g_backendMutex);
        previous = std::move(g_backend);
        g_backend = std::move(backend);
    }
    // previous is released here, outside the lock, in case its destructor
    // has threads to stop.
}

std::shared_ptr<BridgeBackend> bridgeBackend()
{
    return current();
}

std::shared_ptr<BridgeBackend> bridgeCreateBackend(const char* name, std::string* error)
{
    const std::string value = name ? name : "";
    if (value.empty() || value == "usb")
        return createCp210xBridgeBackend();
    if (value == "sim" || value == "usb+sim") {
        // The virtual boards; with usb+sim they follow the USB devices.
        std::shared_ptr<BridgeBackend> sim = createSimBridgeBackend(error);
        if (!sim || value == "sim")
            return sim;
        return std::make_shared<CompositeBridgeBackend>(
            std::vector<std::shared_ptr<BridgeBackend>>{createCp210xBridgeBackend(), sim});
    }
    if (error)
        *error = "TIVAKO_BRIDGE=" + value + ": unknown bridge backend; use \"usb\", \"sim\" or \"usb+sim\"";
    return nullptr;
}

bool bridgeInstallBackendFromEnvironment(std::string* error)
{
    std::shared_ptr<BridgeBackend> backend = bridgeCreateBackend(std::getenv("TIVAKO_BRIDGE"), error);
    if (!backend)
        return false;
    bridgeInstallBackend(std::move(backend));
    return true;
}

// ---- the eleven operations ----
// Out-values are cleared before the backend sees them, so a caller never
// reads stale values after a failure; missing out-pointers are refused here
// so that no backend has to check them.

BRIDGE_STATUS BridgeGetNumDevices(uint32_t* numDevices)
{
    if (!numDevices)
        return SI_INVALID_PARAMETER;
    *numDevices = 0;
    std::shared_ptr<BridgeBackend> backend = current();
    return backend ? backend->getNumDevices(numDevices) : kSuccess;
}

BRIDGE_STATUS BridgeGetProductString(uint32_t deviceNum, char* buffer, uint8_t selector)
{
    if (!buffer)
        return SI_INVALID_PARAMETER;
    buffer[0] = '\0';
    std::shared_ptr<BridgeBackend> backend = current();
    if (!backend)
        return SI_DEVICE_NOT_FOUND;
    BRIDGE_STATUS status = backend->getProductString(deviceNum, buffer, selector);
    buffer[BRIDGE_MAX_PRODUCT_STRING - 1] = '\0';
    return status;
}

BRIDGE_STATUS BridgeOpen(uint32_t deviceNum, BRIDGE_HANDLE* handle)
{
    if (!handle)
        return SI_INVALID_PARAMETER;
    *handle = nullptr;
    std::shared_ptr<BridgeBackend> backend = current();
    return backend ? backend->open(deviceNum, handle) : kDeviceNotFound;
}

BRIDGE_STATUS BridgeClose(BRIDGE_HANDLE handle)
{
    std::shared_ptr<BridgeBackend> backend = current();
    return backend ? backend->close(handle) : kInvalidHandle;
}

BRIDGE_STATUS BridgeSetBaudRate(BRIDGE_HANDLE handle, uint32_t baudRate)
{
    std::shared_ptr<BridgeBackend> backend = current();
    return backend ? backend->setBaudRate(handle, baudRate) : kInvalidHandle;
}

BRIDGE_STATUS BridgeSetLineControl(BRIDGE_HANDLE handle, uint16_t lineControl)
{
    std::shared_ptr<BridgeBackend> backend = current();
    return backend ? backend->setLineControl(handle, lineControl) : kInvalidHandle;
}

BRIDGE_STATUS BridgeWriteLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch)
{
    std::shared_ptr<BridgeBackend> backend = current();
    return backend ? backend->writeLatch(handle, mask, latch) : kInvalidHandle;
}

BRIDGE_STATUS BridgeCheckRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue, uint32_t* queueStatus)
{
    if (!numBytesInQueue || !queueStatus)
        return SI_INVALID_PARAMETER;
    *numBytesInQueue = 0;
    *queueStatus = 0;
    std::shared_ptr<BridgeBackend> backend = current();
    return backend ? backend->checkRxQueue(handle, numBytesInQueue, queueStatus) : kInvalidHandle;
}

BRIDGE_STATUS BridgeRead(BRIDGE_HANDLE handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned,
                         void* overlapped)
{
    // Overlapped operation is a feature of the vendor's Windows library that
    // this layer does not offer.
    if (!bytesReturned || (!buffer && bytesToRead) || overlapped)
        return SI_INVALID_PARAMETER;
    *bytesReturned = 0;
    std::shared_ptr<BridgeBackend> backend = current();
    return backend ? backend->read(handle, buffer, bytesToRead, bytesReturned) : kInvalidHandle;
}

BRIDGE_STATUS BridgeWrite(BRIDGE_HANDLE handle, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten,
                          void* overlapped)
{
    if (!bytesWritten || (!buffer && bytesToWrite) || overlapped)
        return SI_INVALID_PARAMETER;
    *bytesWritten = 0;
    std::shared_ptr<BridgeBackend> backend = current();
    return backend ? backend->write(handle, buffer, bytesToWrite, bytesWritten) : kInvalidHandle;
}

BRIDGE_STATUS BridgeFlushBuffers(BRIDGE_HANDLE handle, uint8_t flushTransmit, uint8_t flushReceive)
{
    std::shared_ptr<BridgeBackend> backend = current();
    return backend ? backend->flushBuffers(handle, flushTransmit, flushReceive) : kInvalidHandle;
}

std::chrono::nanoseconds BridgeUntilNextEvent()
{
    std::shared_ptr<BridgeBackend> backend = current();
    return backend ? backend->untilNextEvent() : std::chrono::nanoseconds::max();
}
