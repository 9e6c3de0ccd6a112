#ifndef TIVAKO_SIM_SIMMEMORY_H
#define TIVAKO_SIM_SIMMEMORY_H

// The memories of the virtual STM32F103: 128 KB of flash in 1 KB pages, 20 KB
// of RAM, the option bytes (readout and write protection), the read-only
// system-memory registers and the backup registers in which the firmware keeps
// its hardware identity. Not thread-safe: its board serialises access.

#include "sim/SimTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class SimMemory
{
public:
    enum class ProgramResult {
        Ok,
        NotErased, // a half-word was not 0xFFFF and the new value not 0x0000
        Protected, // the page is write-protected
    };

    explicit SimMemory(int boardNumber);

    // Power-on: RAM and backup registers lose their content; flash and
    // option bytes keep theirs.
    void powerOn();

    // ---- regions ----
    static bool inFlash(uint32_t address, uint32_t length);
    static bool inRam(uint32_t address, uint32_t length);
    // RAM that the ROM bootloader lets a host write (above its own area).
    static bool inUserRam(uint32_t address, uint32_t length);
    static bool readable(uint32_t address, uint32_t length);
    // Copies length readable bytes at address into out; false if any is not.
    bool read(uint32_t address, uint32_t length, std::vector<uint8_t>* out) const;
    uint32_t word(uint32_t address) const; // little-endian, readable address

    // ---- flash ----
    const std::vector<uint8_t>& flash() const { return m_flash; }
    // Writes flash contents directly (test set-up, persistence), no checks.
    void setFlash(uint32_t offset, const uint8_t* data, size_t length);
    // Programs half-words the way the flash controller does. offset and length
    // are even. *halfWords counts the half-words attempted, the failing one
    // included; bytes before a failure stay programmed.
    ProgramResult programFlash(uint32_t offset, const uint8_t* data, size_t length, size_t* halfWords);
    bool pageProtected(uint32_t page) const;
    bool anyPageProtected() const { return m_writeProtection != 0; }
    void erasePage(uint32_t page);
    void eraseAll();
    // The initial stack pointer lies in RAM, so the core can start from flash.
    bool vectorTableValid() const;

    // ---- RAM ----
    void writeRam(uint32_t address, const uint8_t* data, size_t length);

    // ---- option bytes ----
    bool readoutProtected() const { return m_readoutProtected; }
    void setReadoutProtected(bool on) { m_readoutProtected = on; }
    // Bit i set: protection sector i (pages 4i..4i+3) is write-protected.
    uint32_t writeProtection() const { return m_writeProtection; }
    void setWriteProtection(uint32_t sectors) { m_writeProtection = sectors; }

    // ---- backup registers (hardware identity of the firmware) ----
    bool identityStored() const { return m_identityStored; }
    void setIdentityStored(bool on) { m_identityStored = on; }

    // ---- change tracking for persistence ----
    bool flashDirty() const { return m_flashDirty; }
    void clearFlashDirty() { m_flashDirty = false; }

    // Reads a flash image file: a file shorter than the flash leaves the rest
    // erased, a longer one is cut (and reported). Returns false with *error
    // filled when the file cannot be read; a missing file is not an error
    // (*existed tells).
    bool load(const std::string& path, bool* existed, std::string* error);
    // Writes the whole flash to path, through a temporary file and a rename.
    bool save(const std::string& path, std::string* error) const;

private:
    uint8_t readByte(uint32_t address) const;

    int m_boardNumber;
    std::vector<uint8_t> m_flash;
    std::vector<uint8_t> m_ram;
    bool m_readoutProtected = false;
    uint32_t m_writeProtection = 0;
    bool m_identityStored = false;
    bool m_flashDirty = false;
};

#endif
