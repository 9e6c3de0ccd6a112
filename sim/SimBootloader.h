#ifndef TIVAKO_SIM_SIMBOOTLOADER_H
#define TIVAKO_SIM_SIMBOOTLOADER_H

// The STM32F103's ROM UART bootloader (version 2.2), one received byte at a
// time. It answers with byte segments, each after a delay in which the chip is
// busy (flash erase, programming, option bytes), and may ask its board to
// reset or to jump to user code. Not thread-safe: its board serialises access.

#include "sim/SimMemory.h"
#include "sim/SimTypes.h"

#include <cstdint>
#include <vector>

// What the host sees of the bootloader's work: one record per finished
// command, ACKed or NACKed.
struct SimBootloaderEvent
{
    uint8_t command = 0;
    uint32_t address = 0; // Read, Go, Write: the address; Erase: the first page's address (all 1s for global)
    uint32_t length = 0;  // Read, Write: bytes; Erase: pages; Write Protect: sectors
    bool acked = false;
};

// Faults a test can arm on the bootloader.
struct SimBootloaderFaults
{
    struct Nack
    {
        SimNackPhase phase;
        int command;     // kSimAnyCommand or a command byte
        int64_t address; // kSimAnyAddress or the address to refuse
        SimRepeat repeat;
    };
    struct Reply
    {
        uint8_t command;
        std::vector<uint8_t> bytes;
        SimRepeat repeat;
    };

    uint16_t productId = kSimProductId;
    std::vector<Nack> nacks;
    std::vector<Reply> replies;

    // True when a rule refuses this phase; a rule armed Once is used up.
    bool takeNack(SimNackPhase phase, uint8_t command, uint32_t address);
    // True (and the bytes in *out) when a rule replaces the reply to command.
    bool takeReply(uint8_t command, std::vector<uint8_t>* out);
};

class SimBootloader
{
public:
    struct Segment
    {
        int64_t delayNs = 0; // busy time before these bytes go out
        std::vector<uint8_t> bytes;
    };
    enum class Action {
        None,
        Reset,         // the chip resets itself (after option-byte changes)
        StartFirmware, // Go to the start of flash with a valid vector table
        RunUnknown,    // Go elsewhere: code the model cannot run
    };
    struct Step
    {
        std::vector<Segment> segments;
        Action action = Action::None; // happens after the last segment
    };

    // timed: flash operations report their datasheet durations; otherwise 0.
    SimBootloader(SimMemory& memory, SimBootloaderFaults& faults, bool timed);

    // Back to the state after reset: waiting for the synchronisation byte.
    void reset();
    bool synchronised() const { return m_state != State::WaitSync; }
    Step onByte(uint8_t byte);

    const std::vector<SimBootloaderEvent>& events() const { return m_events; }
    void clearEvents() { m_events.clear(); }

private:
    enum class State {
        WaitSync,
        Command,
        Complement,
        Address,
        ReadLength,
        WriteLength,
        WriteData,
        EraseCount,
        EraseGlobal,
        ErasePages,
        ProtectCount,
        ProtectSectors,
    };

    Step afterComplement(uint8_t byte);
    Step afterAddress();
    Step afterReadLength();
    Step afterWriteData();
    Step afterGlobalErase(uint8_t byte);
    Step afterPageList();
    Step afterSectorList();

    Step ack(std::vector<uint8_t> more = {}, int64_t delayNs = 0);
    // ACK, then `then` once the option bytes are written, then the chip resets.
    Step ackThenReset(int64_t busyNs, std::vector<uint8_t> then);
    Step nack();
    Step finish(Step step, uint32_t address, uint32_t length);
    int64_t duration(int64_t ns) const { return m_timed ? ns : 0; }
    bool collect(uint8_t byte);
    static uint8_t xorOf(const std::vector<uint8_t>& bytes, size_t from, size_t to);

    SimMemory& m_memory;
    SimBootloaderFaults& m_faults;
    bool m_timed;
    State m_state = State::WaitSync;
    uint8_t m_command = 0;
    uint32_t m_address = 0;
    size_t m_expected = 0;
    std::vector<uint8_t> m_buffer;
    std::vector<SimBootloaderEvent> m_events;
};

#endif
