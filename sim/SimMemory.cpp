#include "sim/SimMemory.h"

#include "app/Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool within(uint32_t address, uint32_t length, uint32_t base, uint32_t size)
{
    // 64-bit arithmetic: address + length may pass 4 GB.
    return address >= base && uint64_t(address) + length <= uint64_t(base) + size;
}

} // namespace

std::string simSerialForNumber(int number)
{
    char text[16];
    std::snprintf(text, sizeof text, "VB%04d", number);
    return text;
}

SimMemory::SimMemory(int boardNumber) : m_boardNumber(boardNumber), m_flash(kSimFlashSize, 0xFF), m_ram(kSimRamSize, 0)
{
}

void SimMemory::powerOn()
{
    std::fill(m_ram.begin(), m_ram.end(), 0);
    m_identityStored = false;
}

bool SimMemory::inFlash(uint32_t address, uint32_t length)
{
    return within(address, length, kSimFlashBase, kSimFlashSize);
}

bool SimMemory::inRam(uint32_t address, uint32_t length)
{
    return within(address, length, kSimRamBase, kSimRamSize);
}

bool SimMemory::inUserRam(uint32_t address, uint32_t length)
{
    return within(address, length, kSimBootloaderRamEnd, kSimRamBase + kSimRamSize - kSimBootloaderRamEnd);
}

bool SimMemory::readable(uint32_t address, uint32_t length)
{
    return inFlash(address, length) || inRam(address, length) ||
           within(address, length, kSimSystemMemoryBase, kSimSystemMemorySize) ||
           within(address, length, kSimOptionBytesBase, kSimOptionBytesSize);
}

uint8_t SimMemory::readByte(uint32_t address) const
{
    if (inFlash(address, 1))
        return m_flash[address - kSimFlashBase];
    if (inRam(address, 1))
        return m_ram[address - kSimRamBase];
    if (address >= kSimOptionBytesBase) {
        // Each option byte is followed by its complement.
        uint32_t index = (address - kSimOptionBytesBase) / 2;
        uint8_t value = 0xFF;
        if (index == 0)
            value = m_readoutProtected ? 0x00 : 0xA5;
        else if (index >= 4 && index < 8)
            value = uint8_t(~(m_writeProtection >> (8 * (index - 4))));
        return (address - kSimOptionBytesBase) % 2 ? uint8_t(~value) : value;
    }
    if (address >= kSimFlashSizeRegister && address < kSimFlashSizeRegister + 2) {
        uint16_t kb = kSimFlashSize / 1024;
        return uint8_t(kb >> (8 * (address - kSimFlashSizeRegister)));
    }
    if (address >= kSimUniqueIdRegister && address < kSimUniqueIdRegister + 12) {
        // A unique ID of our own: "VB" and the board number, then a fixed tail.
        uint32_t i = address - kSimUniqueIdRegister;
        const uint8_t id[12] = {
            'V',  'B', uint8_t(m_boardNumber), uint8_t(m_boardNumber >> 8), 0x54, 0x49, 0x56, 0x41, 0x4B, 0x4F,
            0x10, 0x04};
        return id[i];
    }
    // The rest of the ROM: the bootloader's own code is not modelled.
    return 0x00;
}

bool SimMemory::read(uint32_t address, uint32_t length, std::vector<uint8_t>* out) const
{
    if (!readable(address, length))
        return false;
    out->clear();
    out->reserve(length);
    for (uint32_t i = 0; i < length; ++i)
        out->push_back(readByte(address + i));
    return true;
}

uint32_t SimMemory::word(uint32_t address) const
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | readByte(address + uint32_t(i));
    return value;
}

void SimMemory::setFlash(uint32_t offset, const uint8_t* data, size_t length)
{
    if (offset >= kSimFlashSize)
        return;
    if (length > kSimFlashSize - offset)
        length = kSimFlashSize - offset;
    std::memcpy(m_flash.data() + offset, data, length);
    m_flashDirty = true;
}

bool SimMemory::pageProtected(uint32_t page) const
{
    uint32_t sector = page / kSimPagesPerProtectionSector;
    return sector < 32 && (m_writeProtection >> sector) & 1u;
}

SimMemory::ProgramResult SimMemory::programFlash(uint32_t offset, const uint8_t* data, size_t length, size_t* halfWords)
{
    *halfWords = 0;
    for (size_t i = 0; i + 1 < length; i += 2) {
        uint32_t at = offset + uint32_t(i);
        ++*halfWords;
        if (pageProtected(at / kSimFlashPageSize))
            return ProgramResult::Protected;
        uint16_t old = uint16_t(m_flash[at] | (m_flash[at + 1] << 8));
        uint16_t value = uint16_t(data[i] | (data[i + 1] << 8));
        // The controller programs only erased half-words; writing zero is the
        // one exception it allows.
        if (old != 0xFFFF && value != 0x0000)
            return ProgramResult::NotErased;
        m_flash[at] = data[i];
        m_flash[at + 1] = data[i + 1];
        m_flashDirty = true;
    }
    return ProgramResult::Ok;
}

void SimMemory::erasePage(uint32_t page)
{
    if (page >= kSimFlashPages)
        return;
    std::memset(m_flash.data() + page * kSimFlashPageSize, 0xFF, kSimFlashPageSize);
    m_flashDirty = true;
}

void SimMemory::eraseAll()
{
    std::fill(m_flash.begin(), m_flash.end(), 0xFF);
    m_flashDirty = true;
}

bool SimMemory::vectorTableValid() const
{
    uint32_t sp = word(kSimFlashBase);
    return sp > kSimRamBase && sp <= kSimRamBase + kSimRamSize;
}

void SimMemory::writeRam(uint32_t address, const uint8_t* data, size_t length)
{
    if (!inRam(address, uint32_t(length)))
        return;
    std::memcpy(m_ram.data() + (address - kSimRamBase), data, length);
}

bool SimMemory::load(const std::string& path, bool* existed, std::string* error)
{
    *existed = false;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        if (errno == ENOENT)
            return true;
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    *existed = true;
    std::vector<uint8_t> image(kSimFlashSize, 0xFF);
    size_t got = std::fread(image.data(), 1, image.size(), file);
    bool failed = std::ferror(file) != 0;
    bool longer = !failed && got == image.size() && std::fgetc(file) != EOF;
    std::fclose(file);
    if (failed) {
        *error = "cannot read " + path;
        return false;
    }
    if (longer)
        logError("SimMemory::load", "%s is larger than the flash (%u bytes); the rest is ignored", path.c_str(),
                 unsigned(kSimFlashSize));
    m_flash = image;
    m_flashDirty = false;
    return true;
}

bool SimMemory::save(const std::string& path, std::string* error) const
{
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        *error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(m_flash.data(), 1, m_flash.size(), file) == m_flash.size();
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
