#ifndef TIVAKO_SIM_SIMTYPES_H
#define TIVAKO_SIM_SIMTYPES_H

// Facts of the modelled hardware (an STM32F103 of medium density behind a
// CP210x-like bridge) and the vocabulary shared by the virtual board, its
// bridge backend and the pseudo-terminal tool.

#include <cstdint>
#include <string>
#include <vector>

// ---- the chip ----
enum : uint32_t {
    kSimFlashBase = 0x08000000u,
    kSimFlashSize = 128u * 1024u,
    kSimFlashPageSize = 1024u,
    kSimFlashPages = kSimFlashSize / kSimFlashPageSize,
    kSimPagesPerProtectionSector = 4u, // one write-protection bit guards 4 KB
    kSimRamBase = 0x20000000u,
    kSimRamSize = 20u * 1024u,
    kSimBootloaderRamEnd = 0x20000200u, // the ROM bootloader keeps the first 512 bytes of RAM for itself
    kSimSystemMemoryBase = 0x1FFFF000u,
    kSimSystemMemorySize = 0x800u,
    kSimFlashSizeRegister = 0x1FFFF7E0u, // flash size in KB, 16 bits
    kSimUniqueIdRegister = 0x1FFFF7E8u,  // 96-bit unique device ID
    kSimOptionBytesBase = 0x1FFFF800u,
    kSimOptionBytesSize = 16u,
};

enum : uint16_t { kSimProductId = 0x0410 };
enum : uint8_t {
    kSimBootloaderVersion = 0x22,
    kSimAck = 0x79,
    kSimNack = 0x1F,
    kSimSync = 0x7F,
};

// Flash timings (datasheet: half-word programming typically 52.5 us, page and
// mass erase between 20 and 40 ms; the model takes the middle).
constexpr int64_t kSimHalfWordProgramNs = 52500;
constexpr int64_t kSimPageEraseNs = 30000000;
constexpr int64_t kSimMassEraseNs = 30000000;
// Option-byte erase plus programming before the chip resets itself.
constexpr int64_t kSimOptionBytesNs = 30000000;
// Bytes from the board reach the host's queue check with each 1 ms USB frame.
constexpr int64_t kSimUsbFrameNs = 1000000;

// The user firmware's serial line.
enum : uint32_t { kSimFirmwareBaud = 115200 };
// Baud rates the ROM bootloader's automatic baud detection handles.
enum : uint32_t { kSimBootloaderMinBaud = 1200, kSimBootloaderMaxBaud = 115200 };

// ---- the bridge ----
enum : uint32_t {
    kSimBridgeMinBaud = 300,
    kSimBridgeMaxBaud = 3000000,
    kSimBridgeDefaultBaud = 9600, // after power-up, before the host sets one
    kSimBridgeTxFifo = 640,       // bytes the bridge takes before a write has to wait
    kSimHostQueueCapacity = 65536,
    kSimMaxWrite = 4096,     // largest single write the library takes
    kSimMaxRead = 4096 * 16, // largest single read
};
// Queue status flags of the receive-queue check.
enum : uint32_t { kSimRxEmpty = 0x00, kSimRxOverrun = 0x01, kSimRxReady = 0x02 };

inline const char* simDescription()
{
    return "Tivako Virtual Board";
}
// "VB0001" for board number 1.
std::string simSerialForNumber(int number);

// ---- modes and options ----
enum class SimTiming {
    Fast,     // bytes and flash operations take no time
    Realtime, // wire time per byte at the host's baud and frame, flash timings, 1 ms USB frames
};

enum class SimOutput {
    Tlv,   // the firmware sends framed text, as the real one does
    Ascii, // the firmware sends the same text unframed
};

enum class SimBoardMode {
    Unplugged,  // no power
    Reset,      // held in reset
    Bootloader, // the ROM bootloader runs
    Firmware,   // the user firmware runs
    Halted,     // no valid vector table in flash, or code the model cannot run: silent
};

// ---- fault injection ----
enum class SimRepeat { Once, Always };
enum class SimDirection { ToBoard, ToHost };

// Where the ROM bootloader answers NACK instead of ACK.
enum class SimNackPhase {
    Command, // the command byte pair (instead of the first ACK)
    Address, // the address frame of Read Memory, Go or Write Memory
    Data,    // the data block of Write Memory, the page list of Erase, the sector list of Write Protect
};
enum : int { kSimAnyCommand = -1 };
constexpr int64_t kSimAnyAddress = -1;

// The eleven bridge operations, for status injection.
enum class SimOp {
    GetNumDevices,
    GetProductString,
    Open,
    Close,
    SetBaudRate,
    SetLineControl,
    WriteLatch,
    CheckRxQueue,
    Read,
    Write,
    FlushBuffers,
};

// ---- line helpers ----
// Half-bit count of one character in the given line-control word: start bit,
// data bits, parity bit if any, stop bits (1, 1.5 or 2). Half bits keep 1.5
// stop bits exact.
int simFrameHalfBits(uint16_t lineControl);
int64_t simByteTimeNs(uint32_t baud, uint16_t lineControl);
bool simLineControlValid(uint16_t lineControl);
inline int simDataBits(uint16_t lc)
{
    return (lc >> 8) & 0xFF;
}
inline int simParity(uint16_t lc)
{
    return (lc >> 4) & 0x0F;
}

#endif
