#include "sim/SimBootloader.h"

namespace {

enum : uint8_t {
    kGet = 0x00,
    kGetVersion = 0x01,
    kGetId = 0x02,
    kReadMemory = 0x11,
    kGo = 0x21,
    kWriteMemory = 0x31,
    kErase = 0x43,
    kWriteProtect = 0x63,
    kWriteUnprotect = 0x73,
    kReadoutProtect = 0x82,
    kReadoutUnprotect = 0x92,
};

const uint8_t kCommands[] = {
    kGet,          kGetVersion,     kGetId,          kReadMemory,      kGo, kWriteMemory, kErase,
    kWriteProtect, kWriteUnprotect, kReadoutProtect, kReadoutUnprotect};

bool known(uint8_t command)
{
    for (uint8_t c : kCommands)
        if (c == command)
            return true;
    return false;
}

uint32_t bigEndian(const std::vector<uint8_t>& b)
{
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

} // namespace

bool SimBootloaderFaults::takeNack(SimNackPhase phase, uint8_t command, uint32_t address)
{
    for (auto it = nacks.begin(); it != nacks.end(); ++it) {
        if (it->phase != phase || (it->command != kSimAnyCommand && it->command != command) ||
            (it->address != kSimAnyAddress && uint32_t(it->address) != address))
            continue;
        if (it->repeat == SimRepeat::Once)
            nacks.erase(it);
        return true;
    }
    return false;
}

bool SimBootloaderFaults::takeReply(uint8_t command, std::vector<uint8_t>* out)
{
    for (auto it = replies.begin(); it != replies.end(); ++it) {
        if (it->command != command)
            continue;
        *out = it->bytes;
        if (it->repeat == SimRepeat::Once)
            replies.erase(it);
        return true;
    }
    return false;
}

SimBootloader::SimBootloader(SimMemory& memory, SimBootloaderFaults& faults, bool timed)
    : m_memory(memory), m_faults(faults), m_timed(timed)
{
}

void SimBootloader::reset()
{
    m_state = State::WaitSync;
    m_buffer.clear();
}

SimBootloader::Step SimBootloader::ack(std::vector<uint8_t> more, int64_t delayNs)
{
    Step step;
    Segment first;
    first.delayNs = delayNs;
    first.bytes.push_back(kSimAck);
    first.bytes.insert(first.bytes.end(), more.begin(), more.end());
    step.segments.push_back(std::move(first));
    return step;
}

SimBootloader::Step SimBootloader::ackThenReset(int64_t busyNs, std::vector<uint8_t> then)
{
    Step step = ack();
    step.segments.push_back(Segment{duration(busyNs), std::move(then)});
    step.action = Action::Reset;
    return step;
}

SimBootloader::Step SimBootloader::nack()
{
    Step step;
    step.segments.push_back(Segment{0, {kSimNack}});
    return step;
}

SimBootloader::Step SimBootloader::finish(Step step, uint32_t address, uint32_t length)
{
    SimBootloaderEvent event;
    event.command = m_command;
    event.address = address;
    event.length = length;
    // The first byte of the final answer tells: ACK, or NACK for a refusal.
    for (const Segment& segment : step.segments) {
        if (!segment.bytes.empty()) {
            event.acked = segment.bytes.front() == kSimAck;
            break;
        }
    }
    m_events.push_back(event);
    m_state = State::Command;
    m_buffer.clear();
    return step;
}

bool SimBootloader::collect(uint8_t byte)
{
    m_buffer.push_back(byte);
    return m_buffer.size() >= m_expected;
}

uint8_t SimBootloader::xorOf(const std::vector<uint8_t>& bytes, size_t from, size_t to)
{
    uint8_t x = 0;
    for (size_t i = from; i < to; ++i)
        x ^= bytes[i];
    return x;
}

SimBootloader::Step SimBootloader::onByte(uint8_t byte)
{
    switch (m_state) {
    case State::WaitSync:
        // Until the baud rate is known, anything but the synchronisation byte
        // goes unanswered.
        if (byte != kSimSync)
            return {};
        m_state = State::Command;
        return ack();
    case State::Command:
        // Synchronised: every byte is a command byte, 0x7F included.
        m_command = byte;
        m_state = State::Complement;
        return {};
    case State::Complement:
        return afterComplement(byte);
    case State::Address:
        if (!collect(byte))
            return {};
        return afterAddress();
    case State::ReadLength:
        if (!collect(byte))
            return {};
        return afterReadLength();
    case State::WriteLength:
        m_buffer.assign(1, byte);
        m_expected = size_t(byte) + 3; // N, N+1 data bytes, checksum
        m_state = State::WriteData;
        return {};
    case State::WriteData:
        if (!collect(byte))
            return {};
        return afterWriteData();
    case State::EraseCount:
        m_buffer.assign(1, byte);
        if (byte == 0xFF) {
            m_state = State::EraseGlobal;
        } else {
            m_expected = size_t(byte) + 3; // N, N+1 page numbers, checksum
            m_state = State::ErasePages;
        }
        return {};
    case State::EraseGlobal:
        return afterGlobalErase(byte);
    case State::ErasePages:
        if (!collect(byte))
            return {};
        return afterPageList();
    case State::ProtectCount:
        m_buffer.assign(1, byte);
        m_expected = size_t(byte) + 3;
        m_state = State::ProtectSectors;
        return {};
    case State::ProtectSectors:
        if (!collect(byte))
            return {};
        return afterSectorList();
    }
    return {};
}

SimBootloader::Step SimBootloader::afterComplement(uint8_t byte)
{
    m_buffer.clear();
    if (byte != uint8_t(m_command ^ 0xFF) || !known(m_command))
        return finish(nack(), 0, 0);
    std::vector<uint8_t> replaced;
    if (m_faults.takeReply(m_command, &replaced)) {
        Step step;
        step.segments.push_back(Segment{0, replaced});
        return finish(step, 0, 0);
    }
    if (m_faults.takeNack(SimNackPhase::Command, m_command, 0))
        return finish(nack(), 0, 0);

    const bool locked = m_memory.readoutProtected();
    switch (m_command) {
    case kGet: {
        std::vector<uint8_t> list;
        list.push_back(uint8_t(sizeof kCommands)); // bytes that follow, minus one: version + commands - 1
        list.push_back(kSimBootloaderVersion);
        list.insert(list.end(), std::begin(kCommands), std::end(kCommands));
        list.push_back(kSimAck);
        return finish(ack(list), 0, 0);
    }
    case kGetVersion:
        // Two option bytes follow the version, both 0 on this bootloader.
        return finish(ack({kSimBootloaderVersion, 0x00, 0x00, kSimAck}), 0, 0);
    case kGetId:
        return finish(ack({0x01, uint8_t(m_faults.productId >> 8), uint8_t(m_faults.productId), kSimAck}), 0, 0);
    case kReadMemory:
    case kGo:
    case kWriteMemory:
        if (locked)
            return finish(nack(), 0, 0);
        m_expected = 5;
        m_state = State::Address;
        return ack();
    case kErase:
        if (locked)
            return finish(nack(), 0, 0);
        m_state = State::EraseCount;
        return ack();
    case kWriteProtect:
        if (locked)
            return finish(nack(), 0, 0);
        m_state = State::ProtectCount;
        return ack();
    case kWriteUnprotect: {
        if (locked)
            return finish(nack(), 0, 0);
        m_memory.setWriteProtection(0);
        return finish(ackThenReset(kSimOptionBytesNs, {kSimAck}), 0, 0);
    }
    case kReadoutProtect: {
        if (locked)
            return finish(nack(), 0, 0);
        m_memory.setReadoutProtected(true);
        return finish(ackThenReset(kSimOptionBytesNs, {kSimAck}), 0, 0);
    }
    case kReadoutUnprotect: {
        // Lifting readout protection erases the whole flash and the option
        // bytes with it.
        m_memory.eraseAll();
        m_memory.setReadoutProtected(false);
        m_memory.setWriteProtection(0);
        return finish(ackThenReset(kSimMassEraseNs + kSimOptionBytesNs, {kSimAck}), 0, 0);
    }
    default:
        return finish(nack(), 0, 0);
    }
}

SimBootloader::Step SimBootloader::afterAddress()
{
    if (xorOf(m_buffer, 0, 4) != m_buffer[4])
        return finish(nack(), 0, 0);
    m_address = bigEndian(m_buffer);
    m_buffer.clear();
    if (m_faults.takeNack(SimNackPhase::Address, m_command, m_address))
        return finish(nack(), m_address, 0);

    switch (m_command) {
    case kReadMemory:
        if (!SimMemory::readable(m_address, 1))
            return finish(nack(), m_address, 0);
        m_expected = 2;
        m_state = State::ReadLength;
        return ack();
    case kGo: {
        if (!SimMemory::inFlash(m_address, 4) && !SimMemory::inRam(m_address, 4))
            return finish(nack(), m_address, 0);
        Step step = ack();
        step.action =
            m_address == kSimFlashBase && m_memory.vectorTableValid() ? Action::StartFirmware : Action::RunUnknown;
        return finish(step, m_address, 0);
    }
    default: // Write Memory
        if (m_address % 4 != 0 || !(SimMemory::inFlash(m_address, 1) || SimMemory::inUserRam(m_address, 1)))
            return finish(nack(), m_address, 0);
        m_state = State::WriteLength;
        return ack();
    }
}

SimBootloader::Step SimBootloader::afterReadLength()
{
    const uint8_t n = m_buffer[0];
    if (m_buffer[1] != uint8_t(n ^ 0xFF))
        return finish(nack(), m_address, 0);
    std::vector<uint8_t> data;
    if (!m_memory.read(m_address, uint32_t(n) + 1, &data))
        return finish(nack(), m_address, uint32_t(n) + 1);
    return finish(ack(data), m_address, uint32_t(n) + 1);
}

SimBootloader::Step SimBootloader::afterWriteData()
{
    const size_t length = size_t(m_buffer[0]) + 1;
    const uint8_t* data = m_buffer.data() + 1;
    const uint32_t address = m_address;
    if (xorOf(m_buffer, 0, length + 1) != m_buffer[length + 1])
        return finish(nack(), address, uint32_t(length));
    if (m_faults.takeNack(SimNackPhase::Data, m_command, address))
        return finish(nack(), address, uint32_t(length));
    // Words only: the bootloader refuses a length that is not a multiple of 4.
    if (length % 4 != 0)
        return finish(nack(), address, uint32_t(length));

    if (SimMemory::inFlash(address, 1)) {
        if (!SimMemory::inFlash(address, uint32_t(length)))
            return finish(nack(), address, uint32_t(length));
        size_t halfWords = 0;
        SimMemory::ProgramResult result = m_memory.programFlash(address - kSimFlashBase, data, length, &halfWords);
        const int64_t busy = duration(int64_t(halfWords) * kSimHalfWordProgramNs);
        Step step;
        step.segments.push_back(Segment{busy, {result == SimMemory::ProgramResult::Ok ? kSimAck : kSimNack}});
        return finish(step, address, uint32_t(length));
    }
    if (!SimMemory::inUserRam(address, uint32_t(length)))
        return finish(nack(), address, uint32_t(length));
    m_memory.writeRam(address, data, length);
    return finish(ack(), address, uint32_t(length));
}

SimBootloader::Step SimBootloader::afterGlobalErase(uint8_t byte)
{
    m_buffer.clear();
    const uint32_t everything = 0xFFFFFFFFu;
    if (byte != 0x00)
        return finish(nack(), everything, kSimFlashPages);
    if (m_faults.takeNack(SimNackPhase::Data, m_command, everything))
        return finish(nack(), everything, kSimFlashPages);
    // A mass erase is refused while any page is write-protected.
    if (m_memory.anyPageProtected())
        return finish(nack(), everything, kSimFlashPages);
    m_memory.eraseAll();
    return finish(ack({}, duration(kSimMassEraseNs)), everything, kSimFlashPages);
}

SimBootloader::Step SimBootloader::afterPageList()
{
    const size_t count = size_t(m_buffer[0]) + 1;
    const uint32_t first = kSimFlashBase + uint32_t(m_buffer[1]) * kSimFlashPageSize;
    if (xorOf(m_buffer, 0, count + 1) != m_buffer[count + 1])
        return finish(nack(), first, uint32_t(count));
    if (m_faults.takeNack(SimNackPhase::Data, m_command, first))
        return finish(nack(), first, uint32_t(count));
    for (size_t i = 1; i <= count; ++i)
        if (m_buffer[i] >= kSimFlashPages || m_memory.pageProtected(m_buffer[i]))
            return finish(nack(), first, uint32_t(count));
    for (size_t i = 1; i <= count; ++i)
        m_memory.erasePage(m_buffer[i]);
    return finish(ack({}, duration(int64_t(count) * kSimPageEraseNs)), first, uint32_t(count));
}

SimBootloader::Step SimBootloader::afterSectorList()
{
    const size_t count = size_t(m_buffer[0]) + 1;
    if (xorOf(m_buffer, 0, count + 1) != m_buffer[count + 1])
        return finish(nack(), 0, uint32_t(count));
    if (m_faults.takeNack(SimNackPhase::Data, m_command, 0))
        return finish(nack(), 0, uint32_t(count));
    uint32_t sectors = 0;
    for (size_t i = 1; i <= count; ++i) {
        if (m_buffer[i] >= 32)
            return finish(nack(), 0, uint32_t(count));
        sectors |= 1u << m_buffer[i];
    }
    m_memory.setWriteProtection(sectors);
    return finish(ackThenReset(kSimOptionBytesNs, {}), 0, uint32_t(count));
}
