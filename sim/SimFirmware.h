#ifndef TIVAKO_SIM_SIMFIRMWARE_H
#define TIVAKO_SIM_SIMFIRMWARE_H

// The board's user firmware as seen from the serial line: the greeting after
// every start, a status line once a second, and the answers to command lines.
// Its texts and frames come from the header the real firmware is built from.
// Not thread-safe: its board serialises access.

#include "sim/SimMemory.h"
#include "sim/SimTypes.h"

#include "quadrel_texts.h"

#include <cstdint>
#include <string>
#include <vector>

class SimFirmware
{
public:
    SimFirmware(SimMemory& memory, SimOutput output);

    SimOutput output() const { return m_output; }
    void setOutput(SimOutput output) { m_output = output; }
    // Start after reset: the uptime begins at 0, the identity is taken from
    // the backup registers; returns the greeting as it goes on the wire.
    std::vector<uint8_t> start();
    // One more second of uptime: the status line.
    std::vector<uint8_t> tick();
    // One received byte; returns the answer when it completes a command line.
    std::vector<uint8_t> receive(uint8_t byte);
    uint32_t uptimeSeconds() const { return m_uptime; }

    // Filler for the flood fault, in the same output format: a numbered line.
    std::vector<uint8_t> floodLine(uint64_t sequence) const;
    // What text becomes on the wire in the current output format.
    std::vector<uint8_t> encode(const std::string& text) const;

private:
    SimMemory& m_memory;
    SimOutput m_output;
    uint32_t m_uptime = 0;
    quadrel_command m_parser{}; // the command-line collector the real firmware uses
};

#endif
