#ifndef TIVAKO_SIM_SIMBRIDGEBACKEND_H
#define TIVAKO_SIM_SIMBRIDGEBACKEND_H

// The bridge backend of the virtual boards: every plugged-in SimBoard is one
// bridge device ("Tivako Virtual Board", serial "VB0001", "VB0002", ...),
// numbered 0 ... count-1 in board order among those plugged in.
//
// Statuses as the hardware gives them: an unknown or closed handle is
// SI_INVALID_HANDLE; a device number past the end, or a board that is already
// open, is SI_DEVICE_NOT_FOUND for BridgeGetProductString and BridgeOpen; an
// operation on a handle whose board was unplugged is SI_DEVICE_NOT_FOUND too
// (what the USB backend reports for a vanished device), except BridgeClose,
// which releases such a handle with SI_SUCCESS; a handle stays dead after its
// board is plugged in again. Writes take at most 4096 bytes and reads 65536
// (SI_INVALID_REQUEST_LENGTH beyond); a write of 0 bytes does nothing.
//
// Environment (createSimBridgeBackend):
//   TIVAKO_SIM_BOARDS  number of boards, 0 ... 64 (default 1)
//   TIVAKO_SIM_TIMING  "fast" (default) or "realtime"
//   TIVAKO_SIM_OUTPUT  "tlv" (default) or "ascii": what the firmware sends
//   TIVAKO_SIM_FLASH   file that keeps the first board's flash between runs;
//                      board n > 1 uses the file name with ".VB000n" appended
//
// Thread-safe: the loader's worker thread and its GUI thread may call at once.

#include "bridge/BridgeLibrary.h"
#include "sim/SimBoard.h"
#include "sim/SimClock.h"
#include "sim/SimTypes.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct SimOptions
{
    int boards = 1;
    SimTiming timing = SimTiming::Fast;
    SimOutput output = SimOutput::Tlv;
    std::string flashPath;
    // nullptr: the steady clock.
    std::shared_ptr<SimClock> clock;
};

// Reads the TIVAKO_SIM_* variables into *options. Returns false with a
// message in *error for a value it does not take.
bool simOptionsFromEnvironment(SimOptions* options, std::string* error);
// Flash file of board `number` for the configured path ("" stays "").
std::string simFlashPathForBoard(const std::string& flashPath, int number);

class SimBridgeBackend : public BridgeBackend
{
public:
    explicit SimBridgeBackend(const SimOptions& options = SimOptions());
    ~SimBridgeBackend() override;

    const char* name() const override { return "sim"; }

    // ---- the boards ----
    size_t boardCount() const;
    // By index (0 for VB0001), or nullptr. Boards live as long as the backend.
    SimBoard* board(size_t index) const;
    SimBoard* boardBySerial(const std::string& serial) const;
    // A further board, plugged in; returns its index.
    size_t addBoard();
    bool unplug(size_t index);
    bool plug(size_t index);
    const SimOptions& options() const { return m_options; }
    SimClock& clock() const { return *m_options.clock; }

    // ---- status injection ----
    // After `afterCalls` more calls of op that work normally, the next call
    // (Once) or every call from then on (Always) does nothing and returns
    // status; out-values stay as the caller left them.
    void injectStatus(SimOp op, BRIDGE_STATUS status, SimRepeat repeat = SimRepeat::Once, unsigned afterCalls = 0);
    void clearInjectedStatuses();

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
    // The boards compute lazily, so nothing wakes a waiting host when their
    // bytes come due: it asks here when the next open board's next event is.
    std::chrono::nanoseconds untilNextEvent() override;

private:
    struct Injected
    {
        SimOp op;
        BRIDGE_STATUS status;
        SimRepeat repeat;
        unsigned after;
    };
    struct Open
    {
        SimBoard* board;
        uint64_t session;
    };

    bool injected(SimOp op, BRIDGE_STATUS* status);
    SimBoard* plugged(uint32_t deviceNum) const; // m_mutex held
    bool lookUp(BRIDGE_HANDLE handle, Open* open) const;
    std::unique_ptr<SimBoard> makeBoard(int number) const;

    SimOptions m_options;
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<SimBoard>> m_boards;
    std::map<uintptr_t, Open> m_handles;
    uintptr_t m_nextHandle = 0x51B0;
    std::vector<Injected> m_injected;
};

// The backend that TIVAKO_BRIDGE=sim chooses, configured from the
// environment. On a bad value: nullptr, with the reason in *error (or in an
// error line when error is nullptr).
std::shared_ptr<SimBridgeBackend> createSimBridgeBackend(std::string* error);
std::shared_ptr<BridgeBackend> createSimBridgeBackend();

#endif
