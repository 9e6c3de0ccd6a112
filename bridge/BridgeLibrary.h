#ifndef TIVAKO_BRIDGE_BRIDGELIBRARY_H
#define TIVAKO_BRIDGE_BRIDGELIBRARY_H

// The bridge library: the eleven operations through which the program reaches
// a USB-to-UART bridge, with the vendor library's status codes. Every
// transport (CP210x over libusb, the virtual board, a scripted test double)
// hides behind the small BridgeBackend table below; the free functions
// dispatch to the one process-wide backend. No Qt in here.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef uint8_t BRIDGE_STATUS;

enum : BRIDGE_STATUS {
    SI_SUCCESS = 0x00,
    SI_INVALID_HANDLE = 0x01,
    SI_READ_ERROR = 0x02,
    SI_RX_QUEUE_NOT_READY = 0x03,
    SI_WRITE_ERROR = 0x04,
    SI_RESET_ERROR = 0x05,
    SI_INVALID_PARAMETER = 0x06,
    SI_INVALID_REQUEST_LENGTH = 0x07,
    SI_DEVICE_IO_FAILED = 0x08,
    SI_INVALID_BAUDRATE = 0x09,
    SI_FUNCTION_NOT_SUPPORTED = 0x0A,
    SI_GLOBAL_DATA_ERROR = 0x0B,
    SI_SYSTEM_ERROR_CODE = 0x0C,
    SI_READ_TIMED_OUT = 0x0D,
    SI_WRITE_TIMED_OUT = 0x0E,
    SI_IO_PENDING = 0x0F,
    SI_DEVICE_NOT_FOUND = 0xFF,
};

// Selectors of BridgeGetProductString.
enum : uint8_t {
    SI_RETURN_SERIAL_NUMBER = 0x00,
    SI_RETURN_DESCRIPTION = 0x01,
};

// Line-control words: data bits in bits 8-15, parity in 4-7 (0 none, 2 even),
// stop bits in 0-3 (0 = one).
enum : uint16_t {
    BRIDGE_LINE_8N1 = 0x0800,
    BRIDGE_LINE_8E1 = 0x0820,
};

// Size of the text buffer handed to BridgeGetProductString.
enum { BRIDGE_MAX_PRODUCT_STRING = 256 };

// Opaque device handle. Only the backend that issued it knows what it is.
struct BridgeDeviceOpaque;
typedef BridgeDeviceOpaque* BRIDGE_HANDLE;

// One transport. All methods may be called from any thread; a backend
// serialises whatever it must itself.
class BridgeBackend
{
public:
    virtual ~BridgeBackend() = default;
    virtual const char* name() const = 0;

    virtual BRIDGE_STATUS getNumDevices(uint32_t* numDevices) = 0;
    // buffer holds BRIDGE_MAX_PRODUCT_STRING bytes; result NUL-terminated.
    virtual BRIDGE_STATUS getProductString(uint32_t deviceNum, char* buffer, uint8_t selector) = 0;
    virtual BRIDGE_STATUS open(uint32_t deviceNum, BRIDGE_HANDLE* handle) = 0;
    virtual BRIDGE_STATUS close(BRIDGE_HANDLE handle) = 0;
    virtual BRIDGE_STATUS setBaudRate(BRIDGE_HANDLE handle, uint32_t baudRate) = 0;
    virtual BRIDGE_STATUS setLineControl(BRIDGE_HANDLE handle, uint16_t lineControl) = 0;
    virtual BRIDGE_STATUS writeLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch) = 0;
    virtual BRIDGE_STATUS checkRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue, uint32_t* queueStatus) = 0;
    virtual BRIDGE_STATUS read(BRIDGE_HANDLE handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned) = 0;
    virtual BRIDGE_STATUS write(BRIDGE_HANDLE handle, const void* buffer, uint32_t bytesToWrite,
                                uint32_t* bytesWritten) = 0;
    virtual BRIDGE_STATUS flushBuffers(BRIDGE_HANDLE handle, uint8_t flushTransmit, uint8_t flushReceive) = 0;

    // How long until bytes may become readable on an open device without a
    // bridgeWake (a backend whose arrivals are scheduled, like the virtual
    // board). Backends that wake their hosts themselves keep the default.
    virtual std::chrono::nanoseconds untilNextEvent() { return std::chrono::nanoseconds::max(); }
};

// ---- the eleven operations (argument order as the vendor library's) ----
// The last parameter of BridgeRead/BridgeWrite is the vendor's overlapped
// record; the program always passes nullptr.
BRIDGE_STATUS BridgeGetNumDevices(uint32_t* numDevices);
BRIDGE_STATUS BridgeGetProductString(uint32_t deviceNum, char* buffer, uint8_t selector);
BRIDGE_STATUS BridgeOpen(uint32_t deviceNum, BRIDGE_HANDLE* handle);
BRIDGE_STATUS BridgeClose(BRIDGE_HANDLE handle);
BRIDGE_STATUS BridgeSetBaudRate(BRIDGE_HANDLE handle, uint32_t baudRate);
BRIDGE_STATUS BridgeSetLineControl(BRIDGE_HANDLE handle, uint16_t lineControl);
BRIDGE_STATUS BridgeWriteLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch);
BRIDGE_STATUS BridgeCheckRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue, uint32_t* queueStatus);
BRIDGE_STATUS BridgeRead(BRIDGE_HANDLE handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned,
                         void* overlapped = nullptr);
BRIDGE_STATUS BridgeWrite(BRIDGE_HANDLE handle, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten,
                          void* overlapped = nullptr);
BRIDGE_STATUS BridgeFlushBuffers(BRIDGE_HANDLE handle, uint8_t flushTransmit, uint8_t flushReceive);

// The backend's untilNextEvent (the maximum when none is installed).
std::chrono::nanoseconds BridgeUntilNextEvent();

// ---- backend selection ----
// Installs a backend for the whole process (tests install their own). Passing
// nullptr removes it; the operations then report zero devices and
// SI_INVALID_HANDLE.
void bridgeInstallBackend(std::shared_ptr<BridgeBackend> backend);
std::shared_ptr<BridgeBackend> bridgeBackend();

// Chooses the backend named by TIVAKO_BRIDGE ("usb" when unset). Returns
// false and fills *error for a value it does not know.
bool bridgeInstallBackendFromEnvironment(std::string* error);

// Creates the backend that a TIVAKO_BRIDGE value names ("usb", or an empty
// or null value meaning the same). Returns nullptr and fills *error for a
// value it does not know.
std::shared_ptr<BridgeBackend> bridgeCreateBackend(const char* name, std::string* error);

// Backends issue handles as small non-zero numbers dressed as pointers, so
// that a stale or foreign handle can be looked up and refused instead of
// being dereferenced.
inline BRIDGE_HANDLE bridgeHandleFromId(uintptr_t id)
{
    return reinterpret_cast<BRIDGE_HANDLE>(id);
}
inline uintptr_t bridgeHandleId(BRIDGE_HANDLE handle)
{
    return reinterpret_cast<uintptr_t>(handle);
}

// ---- wake-ups ----
// A host that waits for its link (the bridge device's worker) sleeps on a
// BridgeWakeListener instead of polling. Backends call bridgeWake from any
// thread when bytes reach a receive queue or a device arrives or leaves;
// the host's own threads wake it through its listener. Reasons pile up
// until the host takes them, so a wake between two waits is never lost.
// Header-only, so that backends outside this library (the virtual board)
// can signal without linking it.

enum : unsigned {
    BRIDGE_WAKE_RECEIVED = 0x1, // bytes arrived on an open device
    BRIDGE_WAKE_DEVICES = 0x2,  // a device arrived or left
    BRIDGE_WAKE_HOST = 0x4,     // the host has work of its own
};

class BridgeWakeListener
{
public:
    BridgeWakeListener() { registry().add(this); }
    ~BridgeWakeListener() { registry().remove(this); }
    BridgeWakeListener(const BridgeWakeListener&) = delete;
    BridgeWakeListener& operator=(const BridgeWakeListener&) = delete;

    void wake(unsigned reasons)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_reasons |= reasons;
        }
        m_woken.notify_all();
    }

    // Returns the reasons gathered since the last take, waiting for one
    // until the deadline; 0 when it passed without any.
    unsigned waitUntil(std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_woken.wait_until(lock, deadline, [this] { return m_reasons != 0; });
        const unsigned reasons = m_reasons;
        m_reasons = 0;
        return reasons;
    }

private:
    friend void bridgeWake(unsigned reasons);

    class Registry
    {
    public:
        void add(BridgeWakeListener* listener)
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_listeners.push_back(listener);
        }
        void remove(BridgeWakeListener* listener)
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener), m_listeners.end());
        }
        void wakeAll(unsigned reasons)
        {
            // Held across the wakes, so a listener cannot go away meanwhile.
            std::lock_guard<std::mutex> lock(m_mutex);
            for (BridgeWakeListener* listener : m_listeners)
                listener->wake(reasons);
        }

    private:
        std::mutex m_mutex;
        std::vector<BridgeWakeListener*> m_listeners;
    };
    static Registry& registry()
    {
        static Registry instance;
        return instance;
    }

    std::mutex m_mutex;
    std::condition_variable m_woken;
    unsigned m_reasons = 0;
};

// Wakes every listener of the process.
inline void bridgeWake(unsigned reasons)
{
    BridgeWakeListener::registry().wakeAll(reasons);
}

#endif
