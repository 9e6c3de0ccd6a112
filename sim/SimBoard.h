#ifndef TIVAKO_SIM_SIMBOARD_H
#define TIVAKO_SIM_SIMBOARD_H

// One virtual Tivako board: an STM32F103 of medium density (ROM bootloader,
// flash, the user firmware) wired to the UART and the GPIO latch of a
// USB-to-UART bridge.
//
// Host side. Whoever plays the bridge's host (the simulated bridge backend,
// or tivako-board on a pseudo-terminal) opens a session and then sets the
// baud rate and line control, writes the latch, writes bytes and polls for
// received ones, with the bridge library's statuses. Bytes reach the chip only
// when the host's frame matches the chip's UART (8E1 for the ROM bootloader,
// 8N1 for the firmware, and a close enough baud rate); otherwise they are lost
// as framing or parity errors, and so are the chip's bytes on the way back.
// Latch bit 0 drives NRST, bit 1 BOOT0, both active at 0.
//
// Time. Nothing runs in the background. Every call first computes what the
// board did up to the clock's "now": bytes that arrived, answers that went
// out, firmware status lines, flood output. In realtime timing each byte
// takes its wire time (start, data, parity and stop bits at the baud rate),
// flash work takes the datasheet's time and received bytes become visible to
// the host with the next 1 ms USB frame; in fast timing all of this takes no
// time (status lines still come once a second of the clock).
//
// Every method is thread-safe.

#include "bridge/BridgeLibrary.h"
#include "sim/SimBootloader.h"
#include "sim/SimClock.h"
#include "sim/SimFirmware.h"
#include "sim/SimMemory.h"
#include "sim/SimTypes.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct SimBoardConfig
{
    int number = 1; // serial "VB0001" for 1
    SimTiming timing = SimTiming::Fast;
    SimOutput output = SimOutput::Tlv;
    std::string flashPath; // where the flash is kept between runs; empty: nowhere
    bool plugged = true;   // powered from the start
};

struct SimBoardCounters
{
    uint64_t bytesFromHost = 0;        // bytes the host wrote that went on the wire
    uint64_t bytesReceivedByChip = 0;  // of those, bytes the chip's UART took in
    uint64_t bytesSentByChip = 0;      // bytes the chip put on the wire
    uint64_t bytesDeliveredToHost = 0; // of those, bytes that reached the host's queue
    uint64_t lineErrorsAtChip = 0;     // host frame or baud did not match the chip's: lost
    uint64_t lineErrorsAtHost = 0;     // chip frame or baud did not match the host's: lost
    uint64_t lostNoListener = 0;       // arrived while the chip was off, in reset or halted
    uint64_t overrunsAtChip = 0;       // arrived while the chip was busy and still held a byte
    uint64_t overrunsAtHost = 0;       // the host's receive queue was full
    uint64_t droppedByFault = 0;
    uint64_t corruptedByFault = 0;
    uint64_t silencedByFault = 0;
    uint64_t floodBytes = 0;
};

class SimBoard
{
public:
    SimBoard(const SimBoardConfig& config, std::shared_ptr<SimClock> clock);
    ~SimBoard();
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    int number() const { return m_config.number; }
    std::string serial() const;
    std::string description() const { return simDescription(); }
    SimTiming timing() const { return m_config.timing; }
    std::string flashPath() const { return m_config.flashPath; }
    SimClock& clock() const { return *m_clock; }

    // ---- power ----
    bool isPlugged();
    // Power on: the bridge's latch and line settings return to their power-up
    // state, RAM and backup registers are cleared, the chip starts.
    void plug();
    // Power off: an open session goes dead; the flash is saved.
    void unplug();

    // ---- host side (bridge library statuses) ----
    BRIDGE_STATUS open(uint64_t* session);
    // Closing a dead session (board unplugged meanwhile) succeeds.
    BRIDGE_STATUS close(uint64_t session);
    BRIDGE_STATUS setBaudRate(uint64_t session, uint32_t baudRate);
    BRIDGE_STATUS setLineControl(uint64_t session, uint16_t lineControl);
    BRIDGE_STATUS writeLatch(uint64_t session, uint8_t mask, uint8_t latch);
    BRIDGE_STATUS checkRxQueue(uint64_t session, uint32_t* numBytesInQueue, uint32_t* queueStatus);
    BRIDGE_STATUS read(uint64_t session, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned);
    // In realtime timing a write waits while more than the bridge's transmit
    // FIFO would still be unsent.
    BRIDGE_STATUS write(uint64_t session, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten);
    BRIDGE_STATUS flushBuffers(uint64_t session, uint8_t flushTransmit, uint8_t flushReceive);
    // A pseudo-terminal has no parity and no real baud rate: with this set,
    // the host's frame always counts as the chip's (the baud rate still paces
    // the bytes in realtime timing).
    void setHostFrameAgnostic(bool agnostic);
    // When something next happens that the host may see: a byte becoming
    // readable, or the firmware or flood producing output. INT64_MAX if
    // nothing is due. For hosts that sleep until then.
    int64_t nextEventNs();
    // The same for a host that only reads: bytes still on their way to the
    // chip count once, when the last of them has arrived (a command's reply
    // comes after its last byte), so a long frame does not wake the host for
    // every byte.
    int64_t nextHostEventNs();

    // ---- inspection ----
    SimBoardMode mode();
    uint8_t latch();
    uint32_t baudRate();
    uint16_t lineControl();
    bool isOpen();
    bool bootloaderSynchronised();
    std::vector<uint8_t> flash();
    // Bytes as the Read Memory command would return them (flash, RAM, system
    // memory, option bytes); empty if the range is not readable.
    std::vector<uint8_t> readMemory(uint32_t address, uint32_t length);
    bool identityStored();
    bool readoutProtected();
    uint32_t writeProtection();
    uint32_t firmwareUptime();
    std::vector<SimBootloaderEvent> bootloaderEvents();
    void clearBootloaderEvents();
    SimBoardCounters counters();
    SimOutput output();

    // ---- set-up ----
    void setFlash(uint32_t offset, const std::vector<uint8_t>& bytes);
    void eraseFlash();
    // Takes effect at the firmware's next start.
    void setOutput(SimOutput output);
    // Writes the flash file now if the flash changed since it was last
    // written. False (and a log line) on failure.
    bool saveFlash();

    // ---- fault injection ----
    // Bytes on the wire in one direction: after `after` more bytes have
    // passed, the next `count` are lost (drop) or XORed with mask (corrupt).
    void dropBytes(SimDirection direction, uint64_t after, uint64_t count);
    void corruptBytes(SimDirection direction, uint64_t after, uint64_t count, uint8_t mask);
    // The ROM bootloader answers NACK in that phase of a matching command and
    // address (kSimAnyCommand, kSimAnyAddress match everything).
    void nack(SimNackPhase phase, int command = kSimAnyCommand, int64_t address = kSimAnyAddress,
              SimRepeat repeat = SimRepeat::Once);
    // Product ID that Get ID reports.
    void setProductId(uint16_t productId);
    // The whole answer to a command (after its complement byte) is replaced
    // by these bytes; the bootloader then waits for the next command.
    void replaceReply(uint8_t command, std::vector<uint8_t> bytes, SimRepeat repeat = SimRepeat::Once);
    // The chip sends `bytes` more bytes and then nothing, until cleared.
    void silenceAfter(uint64_t bytes);
    // While the firmware runs it also sends numbered filler lines at this
    // rate (bytes per second; in realtime at most what the line carries).
    // 0 stops.
    void flood(double bytesPerSecond);
    void clearFaults();

private:
    struct ToChip
    {
        int64_t start;
        int64_t end;
        uint8_t byte;
        uint32_t baud;
        uint16_t lineControl;
    };
    struct ToHost
    {
        int64_t start;
        int64_t arrive;
        int64_t visible;
        uint8_t byte;
    };
    struct ByteFault
    {
        SimDirection direction;
        uint64_t from; // index of the first byte hit, counted on the wire
        uint64_t to;   // one past the last
        uint8_t mask;  // 0: drop
    };

    // Runs f under the lock, with the board brought up to now.
    template <typename F> auto atNow(F&& f);

    // For an open session and no refusal from the argument checks: runs
    // f(now) under the lock, with the board brought up to now.
    template <typename F> BRIDGE_STATUS inSession(uint64_t session, BRIDGE_STATUS refusal, F&& f);

    // All private members expect m_mutex to be held.
    int64_t now() const { return m_clock->nowNs(); }
    bool realtime() const { return m_config.timing == SimTiming::Realtime; }
    void advance(int64_t now);
    int64_t nextEvent(bool lastByteToChip); // takes m_mutex
    void powerOn(int64_t t);
    void boot(int64_t t);
    void startFirmware(int64_t t);
    void holdInReset(int64_t t);
    void arrive(const ToChip& in);
    void process(int64_t t, uint8_t byte);
    void sendToHost(int64_t t, const std::vector<uint8_t>& bytes);
    void schedule(int64_t t, const SimBootloader::Step& step);
    void floodStep(int64_t t, int64_t now);
    bool chipTakes(uint32_t baud, uint16_t lineControl) const;
    bool hostTakes() const;
    uint32_t chipBaud() const;
    uint16_t chipLineControl() const;
    bool applyByteFault(SimDirection direction, uint64_t index, uint8_t* byte);
    BRIDGE_STATUS checkSession(uint64_t session) const;
    void discardHostInput();
    void maybeSave(int64_t t);
    bool saveLocked();

    SimBoardConfig m_config;
    std::shared_ptr<SimClock> m_clock;
    mutable std::mutex m_mutex;

    SimMemory m_memory;
    SimBootloaderFaults m_blFaults;
    SimBootloader m_bootloader;
    SimFirmware m_firmware;

    // power, wiring and the bridge's side
    bool m_plugged = false;
    SimBoardMode m_mode = SimBoardMode::Unplugged;
    uint8_t m_latch = 0xFF;
    uint32_t m_baud = kSimBridgeDefaultBaud;
    uint16_t m_lineControl = BRIDGE_LINE_8N1;
    bool m_agnostic = false;
    uint64_t m_session = 0; // 0: not open
    uint64_t m_lastSession = 0;
    std::set<uint64_t> m_deadSessions;
    bool m_hostOverrun = false;

    // the chip
    uint32_t m_lockedBaud = 0; // baud the bootloader measured at synchronisation
    int64_t m_busyUntil = 0;
    bool m_holding = false;
    uint8_t m_held = 0;
    int64_t m_nextTick = 0;
    double m_floodRate = 0;
    int64_t m_nextFlood = 0;
    uint64_t m_floodSequence = 0;
    uint64_t m_silenceLeft = 0;
    bool m_silenceArmed = false;

    // the wire, both ways
    std::deque<ToChip> m_toChip;
    int64_t m_hostTxFreeAt = 0;
    std::deque<ToHost> m_inFlight;
    std::deque<uint8_t> m_hostQueue;
    int64_t m_chipTxFreeAt = 0;
    uint64_t m_wireIndex[2] = {0, 0}; // bytes seen on the wire per direction
    std::vector<ByteFault> m_byteFaults;

    SimBoardCounters m_counters;
    int64_t m_dirtySince = -1;
    bool m_saveFailed = false;
};

#endif
