#include "sim/SimFirmware.h"

#include <cstdio>

SimFirmware::SimFirmware(SimMemory& memory, SimOutput output) : m_memory(memory), m_output(output)
{
    quadrel_command_init(&m_parser);
}

std::vector<uint8_t> SimFirmware::encode(const std::string& text) const
{
    if (m_output == SimOutput::Ascii)
        return std::vector<uint8_t>(text.begin(), text.end());
    std::vector<uint8_t> frame(QUADREL_TLV_FRAME_MAX(text.size()));
    size_t n = quadrel_tlv_encode(text.data(), text.size(), frame.data(), frame.size());
    frame.resize(n);
    return frame;
}

std::vector<uint8_t> SimFirmware::start()
{
    m_uptime = 0;
    quadrel_command_init(&m_parser);
    return encode(QUADREL_TEXT_GREETING);
}

std::vector<uint8_t> SimFirmware::tick()
{
    ++m_uptime;
    char line[QUADREL_STATUS_MAX];
    size_t n = quadrel_format_status(line, sizeof line, m_uptime, m_memory.identityStored() ? 1 : 0);
    return encode(std::string(line, n));
}

std::vector<uint8_t> SimFirmware::receive(uint8_t byte)
{
    switch (quadrel_command_feed(&m_parser, byte)) {
    case QUADREL_COMMAND_IDENTITY:
        m_memory.setIdentityStored(true);
        return encode(QUADREL_TEXT_IDENTITY_SET);
    case QUADREL_COMMAND_UNKNOWN:
        return encode(QUADREL_TEXT_UNKNOWN_COMMAND);
    case QUADREL_COMMAND_NONE:
        break;
    }
    return {};
}

std::vector<uint8_t> SimFirmware::floodLine(uint64_t sequence) const
{
    char text[40];
    int n = std::snprintf(text, sizeof text, "Flood %010llu\r\n", static_cast<unsigned long long>(sequence));
    return encode(std::string(text, size_t(n)));
}
