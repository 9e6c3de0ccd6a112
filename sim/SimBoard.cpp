#include "sim/SimBoard.h"

#include "app/Log.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr int64_t kSecondNs = 1000000000;
// Flash changes are written to the file once they have rested this long
// (and always at reset, close, unplug and exit).
constexpr int64_t kSaveDelayNs = kSecondNs;
// A receiver still takes a byte whose baud rate is this far off (in 1/1000).
constexpr int64_t kBaudTolerancePerMille = 25;

bool baudClose(uint32_t a, uint32_t b)
{
    return int64_t(b) > 0 && std::llabs(int64_t(a) - int64_t(b)) * 1000 <= int64_t(b) * kBaudTolerancePerMille;
}

int64_t nextUsbFrame(int64_t t)
{
    if (t <= 0)
        return 0;
    return (t + kSimUsbFrameNs - 1) / kSimUsbFrameNs * kSimUsbFrameNs;
}

} // namespace

// ---- helpers of SimTypes.h ----

int simFrameHalfBits(uint16_t lineControl)
{
    int halfBits = 2 * (1 + simDataBits(lineControl));
    if (simParity(lineControl) != 0)
        halfBits += 2;
    switch (lineControl & 0x0F) {
    case 1:
        halfBits += 3;
        break;
    case 2:
        halfBits += 4;
        break;
    default:
        halfBits += 2;
        break;
    }
    return halfBits;
}

int64_t simByteTimeNs(uint32_t baud, uint16_t lineControl)
{
    if (baud == 0)
        return 0;
    return (int64_t(simFrameHalfBits(lineControl)) * kSecondNs + baud) / (2 * int64_t(baud));
}

bool simLineControlValid(uint16_t lineControl)
{
    const int data = simDataBits(lineControl);
    return data >= 5 && data <= 8 && simParity(lineControl) <= 4 && (lineControl & 0x0F) <= 2;
}

// ---- the board ----

SimBoard::SimBoard(const SimBoardConfig& config, std::shared_ptr<SimClock> clock)
    : m_config(config), m_clock(clock ? std::move(clock) : std::make_shared<SteadySimClock>()), m_memory(config.number),
      m_bootloader(m_memory, m_blFaults, config.timing == SimTiming::Realtime), m_firmware(m_memory, config.output)
{
    if (!m_config.flashPath.empty()) {
        bool existed = false;
        std::string error;
        if (!m_memory.load(m_config.flashPath, &existed, &error))
            logError("SimBoard::SimBoard", "%s: %s; the flash starts erased", serial().c_str(), error.c_str());
        else if (existed)
            logStatus("SimBoard::SimBoard", "%s: flash read from %s", serial().c_str(), m_config.flashPath.c_str());
    }
    if (m_config.plugged) {
        std::lock_guard<std::mutex> lock(m_mutex);
        powerOn(now());
    }
}

SimBoard::~SimBoard()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_memory.flashDirty())
        saveLocked();
}

std::string SimBoard::serial() const
{
    return simSerialForNumber(m_config.number);
}

// ---- time ----

template <typename F> auto SimBoard::atNow(F&& f)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    advance(now());
    return f();
}

void SimBoard::advance(int64_t now)
{
    for (;;) {
        const bool running = m_mode == SimBoardMode::Firmware;
        const int64_t tIn = m_toChip.empty() ? kNever : m_toChip.front().end;
        const int64_t tHeld = m_holding ? m_busyUntil : kNever;
        const int64_t tTick = running ? m_nextTick : kNever;
        const int64_t tFlood = running && m_floodRate > 0 ? m_nextFlood : kNever;
        const int64_t t = std::min(std::min(tIn, tHeld), std::min(tTick, tFlood));
        if (t > now)
            break;
        if (t == tHeld) {
            m_holding = false;
            process(t, m_held);
        } else if (t == tIn) {
            ToChip in = m_toChip.front();
            m_toChip.pop_front();
            arrive(in);
        } else if (t == tTick) {
            m_nextTick += kSecondNs;
            sendToHost(t, m_firmware.tick());
        } else {
            floodStep(t, now);
        }
    }
    while (!m_inFlight.empty() && m_inFlight.front().visible <= now) {
        m_hostQueue.push_back(m_inFlight.front().byte);
        m_inFlight.pop_front();
    }
    maybeSave(now);
}

void SimBoard::powerOn(int64_t t)
{
    m_plugged = true;
    m_memory.powerOn();
    m_latch = 0xFF;
    m_baud = kSimBridgeDefaultBaud;
    m_lineControl = BRIDGE_LINE_8N1;
    m_session = 0;
    m_hostOverrun = false;
    m_toChip.clear();
    m_inFlight.clear();
    m_hostQueue.clear();
    m_hostTxFreeAt = t;
    m_chipTxFreeAt = t;
    m_busyUntil = t;
    boot(t);
}

void SimBoard::boot(int64_t t)
{
    m_holding = false;
    m_bootloader.reset();
    m_lockedBaud = 0;
    if (!(m_latch & 0x02)) {
        m_mode = SimBoardMode::Bootloader;
    } else if (m_memory.vectorTableValid()) {
        startFirmware(t);
    } else {
        m_mode = SimBoardMode::Halted;
    }
}

void SimBoard::startFirmware(int64_t t)
{
    m_mode = SimBoardMode::Firmware;
    m_nextTick = t + kSecondNs;
    m_nextFlood = t;
    sendToHost(t, m_firmware.start());
}

void SimBoard::holdInReset(int64_t t)
{
    m_mode = SimBoardMode::Reset;
    m_holding = false;
    m_busyUntil = t;
    // Reset stops the chip's UART: what had not started yet never goes out.
    while (!m_inFlight.empty() && m_inFlight.back().start >= t)
        m_inFlight.pop_back();
    m_chipTxFreeAt = std::max(t, m_inFlight.empty() ? t : m_inFlight.back().arrive);
    if (m_memory.flashDirty())
        saveLocked();
}

void SimBoard::arrive(const ToChip& in)
{
    const uint64_t index = m_wireIndex[int(SimDirection::ToBoard)]++;
    ++m_counters.bytesFromHost;
    uint8_t byte = in.byte;
    if (!applyByteFault(SimDirection::ToBoard, index, &byte))
        return;
    if (m_mode != SimBoardMode::Bootloader && m_mode != SimBoardMode::Firmware) {
        ++m_counters.lostNoListener;
        return;
    }
    if (!chipTakes(in.baud, in.lineControl)) {
        ++m_counters.lineErrorsAtChip;
        return;
    }
    if (m_mode == SimBoardMode::Bootloader && !m_bootloader.synchronised())
        m_lockedBaud = in.baud; // what the automatic baud detection measures
    if (in.end < m_busyUntil) {
        // Busy with flash: the receive register holds one byte, the next overruns.
        if (m_holding) {
            ++m_counters.overrunsAtChip;
            return;
        }
        ++m_counters.bytesReceivedByChip;
        m_holding = true;
        m_held = byte;
        return;
    }
    ++m_counters.bytesReceivedByChip;
    process(in.end, byte);
}

void SimBoard::process(int64_t t, uint8_t byte)
{
    if (m_mode == SimBoardMode::Bootloader)
        schedule(t, m_bootloader.onByte(byte));
    else if (m_mode == SimBoardMode::Firmware)
        sendToHost(t, m_firmware.receive(byte));
}

void SimBoard::schedule(int64_t t, const SimBootloader::Step& step)
{
    for (const SimBootloader::Segment& segment : step.segments) {
        t += segment.delayNs;
        if (!segment.bytes.empty())
            sendToHost(t, segment.bytes);
    }
    m_busyUntil = std::max(m_busyUntil, t);
    switch (step.action) {
    case SimBootloader::Action::None:
        break;
    case SimBootloader::Action::Reset:
        boot(t);
        break;
    case SimBootloader::Action::StartFirmware:
        startFirmware(t);
        break;
    case SimBootloader::Action::RunUnknown:
        m_mode = SimBoardMode::Halted;
        break;
    }
}

void SimBoard::sendToHost(int64_t t, const std::vector<uint8_t>& bytes)
{
    const int64_t byteTime = realtime() ? simByteTimeNs(chipBaud(), chipLineControl()) : 0;
    for (uint8_t byte : bytes) {
        if (m_silenceArmed) {
            if (m_silenceLeft == 0) {
                ++m_counters.silencedByFault;
                continue;
            }
            --m_silenceLeft;
        }
        const int64_t start = std::max(t, m_chipTxFreeAt);
        const int64_t end = start + byteTime;
        m_chipTxFreeAt = end;
        ++m_counters.bytesSentByChip;
        const uint64_t index = m_wireIndex[int(SimDirection::ToHost)]++;
        if (!applyByteFault(SimDirection::ToHost, index, &byte))
            continue;
        if (m_session == 0)
            continue; // the bridge's UART is off while no host has it open
        if (!hostTakes()) {
            ++m_counters.lineErrorsAtHost;
            continue;
        }
        if (m_inFlight.size() + m_hostQueue.size() >= kSimHostQueueCapacity) {
            ++m_counters.overrunsAtHost;
            m_hostOverrun = true;
            continue;
        }
        ++m_counters.bytesDeliveredToHost;
        m_inFlight.push_back(ToHost{start, end, realtime() ? nextUsbFrame(end) : end, byte});
    }
}

void SimBoard::floodStep(int64_t t, int64_t now)
{
    const std::vector<uint8_t> line = m_firmware.floodLine(m_floodSequence++);
    const int64_t period = std::max<int64_t>(1, int64_t(std::llround(double(line.size()) * 1e9 / m_floodRate)));
    const bool nobodyListens = m_session == 0 || m_inFlight.size() + m_hostQueue.size() >= kSimHostQueueCapacity;
    if (nobodyListens && now - t > kSecondNs) {
        // Long unobserved: skip ahead instead of producing bytes nobody can take.
        const int64_t skipped = (now - t) / period;
        const uint64_t bytes = uint64_t(skipped) * line.size();
        m_floodSequence += uint64_t(skipped);
        m_counters.floodBytes += bytes;
        m_counters.bytesSentByChip += bytes;
        if (m_session != 0) {
            m_counters.overrunsAtHost += bytes;
            m_hostOverrun = true;
        }
        m_nextFlood = t + skipped * period;
        return;
    }
    m_counters.floodBytes += line.size();
    sendToHost(t, line);
    m_nextFlood = realtime() ? std::max(t + period, m_chipTxFreeAt) : t + period;
}

uint32_t SimBoard::chipBaud() const
{
    if (m_agnostic)
        return m_baud;
    if (m_mode == SimBoardMode::Bootloader)
        return m_lockedBaud ? m_lockedBaud : m_baud;
    return kSimFirmwareBaud;
}

uint16_t SimBoard::chipLineControl() const
{
    return m_mode == SimBoardMode::Bootloader ? BRIDGE_LINE_8E1 : BRIDGE_LINE_8N1;
}

bool SimBoard::chipTakes(uint32_t baud, uint16_t lineControl) const
{
    if (m_agnostic)
        return true;
    // Stop bits do not matter: a receiver checks only the first.
    if (simDataBits(lineControl) != 8 || simParity(lineControl) != simParity(chipLineControl()))
        return false;
    if (m_mode == SimBoardMode::Bootloader && !m_bootloader.synchronised())
        return baud >= kSimBootloaderMinBaud && baud <= kSimBootloaderMaxBaud;
    return baudClose(baud, chipBaud());
}

bool SimBoard::hostTakes() const
{
    if (m_agnostic)
        return true;
    return simDataBits(m_lineControl) == 8 && simParity(m_lineControl) == simParity(chipLineControl()) &&
           baudClose(m_baud, chipBaud());
}

bool SimBoard::applyByteFault(SimDirection direction, uint64_t index, uint8_t* byte)
{
    for (auto it = m_byteFaults.begin(); it != m_byteFaults.end();) {
        if (it->direction != direction) {
            ++it;
            continue;
        }
        if (index >= it->to) {
            it = m_byteFaults.erase(it);
            continue;
        }
        if (index >= it->from) {
            if (it->mask == 0) {
                ++m_counters.droppedByFault;
                return false;
            }
            *byte ^= it->mask;
            ++m_counters.corruptedByFault;
        }
        ++it;
    }
    return true;
}

void SimBoard::maybeSave(int64_t t)
{
    if (!m_memory.flashDirty()) {
        m_dirtySince = -1;
        return;
    }
    if (m_dirtySince < 0)
        m_dirtySince = t;
    else if (t - m_dirtySince >= kSaveDelayNs)
        saveLocked();
}

bool SimBoard::saveLocked()
{
    if (m_config.flashPath.empty()) {
        m_memory.clearFlashDirty();
        m_dirtySince = -1;
        return true;
    }
    std::string error;
    if (!m_memory.save(m_config.flashPath, &error)) {
        if (!m_saveFailed)
            logError("SimBoard::saveFlash", "%s: %s", serial().c_str(), error.c_str());
        m_saveFailed = true;
        m_dirtySince = now(); // try again later
        return false;
    }
    m_saveFailed = false;
    m_memory.clearFlashDirty();
    m_dirtySince = -1;
    return true;
}

// ---- power ----

bool SimBoard::isPlugged()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plugged;
}

void SimBoard::plug()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_plugged)
        return;
    powerOn(now());
}

void SimBoard::unplug()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_plugged)
        return;
    advance(now());
    m_plugged = false;
    m_mode = SimBoardMode::Unplugged;
    if (m_session != 0)
        m_deadSessions.insert(m_session);
    m_session = 0;
    m_holding = false;
    m_toChip.clear();
    m_inFlight.clear();
    m_hostQueue.clear();
    if (m_memory.flashDirty())
        saveLocked();
}

// ---- host side ----

BRIDGE_STATUS SimBoard::checkSession(uint64_t session) const
{
    if (session != 0 && session == m_session)
        return SI_SUCCESS;
    if (m_deadSessions.count(session))
        return SI_DEVICE_NOT_FOUND; // the board went away under an open handle, as USB reports it
    return SI_INVALID_HANDLE;
}

BRIDGE_STATUS SimBoard::open(uint64_t* session)
{
    if (!session)
        return SI_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m_mutex);
    // Only one host at a time; to a second one the device is not available.
    if (!m_plugged || m_session != 0)
        return SI_DEVICE_NOT_FOUND;
    advance(now());
    m_session = ++m_lastSession;
    m_hostOverrun = false;
    m_inFlight.clear();
    m_hostQueue.clear();
    *session = m_session;
    return SI_SUCCESS;
}

BRIDGE_STATUS SimBoard::close(uint64_t session)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_deadSessions.erase(session))
        return SI_SUCCESS;
    BRIDGE_STATUS status = checkSession(session);
    if (status != SI_SUCCESS)
        return status;
    advance(now());
    m_session = 0;
    // Closing purges the bridge and turns its UART off.
    m_toChip.clear();
    m_inFlight.clear();
    m_hostQueue.clear();
    m_hostOverrun = false;
    if (m_memory.flashDirty())
        saveLocked();
    return SI_SUCCESS;
}

template <typename F> BRIDGE_STATUS SimBoard::inSession(uint64_t session, BRIDGE_STATUS refusal, F&& f)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    BRIDGE_STATUS status = checkSession(session);
    if (status != SI_SUCCESS)
        return status;
    if (refusal != SI_SUCCESS)
        return refusal;
    const int64_t t = now();
    advance(t);
    f(t);
    return SI_SUCCESS;
}

BRIDGE_STATUS SimBoard::setBaudRate(uint64_t session, uint32_t baudRate)
{
    const bool supported = baudRate >= kSimBridgeMinBaud && baudRate <= kSimBridgeMaxBaud;
    return inSession(session, supported ? SI_SUCCESS : SI_INVALID_BAUDRATE, [&](int64_t) { m_baud = baudRate; });
}

BRIDGE_STATUS SimBoard::setLineControl(uint64_t session, uint16_t lineControl)
{
    return inSession(session, simLineControlValid(lineControl) ? SI_SUCCESS : SI_INVALID_PARAMETER,
                     [&](int64_t) { m_lineControl = lineControl; });
}

BRIDGE_STATUS SimBoard::writeLatch(uint64_t session, uint8_t mask, uint8_t latch)
{
    return inSession(session, SI_SUCCESS, [&](int64_t t) {
        const bool wasReset = !(m_latch & 0x01);
        m_latch = uint8_t((m_latch & ~mask) | (latch & mask));
        const bool isReset = !(m_latch & 0x01);
        // BOOT0 matters only at the moment reset is released.
        if (isReset && !wasReset)
            holdInReset(t);
        else if (!isReset && wasReset)
            boot(t);
    });
}

BRIDGE_STATUS SimBoard::checkRxQueue(uint64_t session, uint32_t* numBytesInQueue, uint32_t* queueStatus)
{
    return inSession(session, numBytesInQueue && queueStatus ? SI_SUCCESS : SI_INVALID_PARAMETER, [&](int64_t) {
        *numBytesInQueue = uint32_t(m_hostQueue.size());
        *queueStatus = uint32_t(m_hostQueue.empty() ? kSimRxEmpty : kSimRxReady) |
                       uint32_t(m_hostOverrun ? kSimRxOverrun : kSimRxEmpty);
        m_hostOverrun = false;
    });
}

BRIDGE_STATUS SimBoard::read(uint64_t session, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned)
{
    BRIDGE_STATUS refusal = SI_SUCCESS;
    if ((!buffer && bytesToRead) || !bytesReturned)
        refusal = SI_INVALID_PARAMETER;
    else if (bytesToRead > kSimMaxRead)
        refusal = SI_INVALID_REQUEST_LENGTH;
    return inSession(session, refusal, [&](int64_t) {
        const size_t n = std::min<size_t>(bytesToRead, m_hostQueue.size());
        std::copy(m_hostQueue.begin(), m_hostQueue.begin() + std::ptrdiff_t(n), static_cast<uint8_t*>(buffer));
        m_hostQueue.erase(m_hostQueue.begin(), m_hostQueue.begin() + std::ptrdiff_t(n));
        *bytesReturned = uint32_t(n);
    });
}

BRIDGE_STATUS SimBoard::write(uint64_t session, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten)
{
    BRIDGE_STATUS refusal = SI_SUCCESS;
    if ((!buffer && bytesToWrite) || !bytesWritten)
        refusal = SI_INVALID_PARAMETER;
    else if (bytesToWrite > kSimMaxWrite)
        refusal = SI_INVALID_REQUEST_LENGTH;
    int64_t waitUntil = 0;
    BRIDGE_STATUS status = inSession(session, refusal, [&](int64_t t) {
        const int64_t byteTime = realtime() ? simByteTimeNs(m_baud, m_lineControl) : 0;
        const uint8_t* in = static_cast<const uint8_t*>(buffer);
        for (uint32_t i = 0; i < bytesToWrite; ++i) {
            const int64_t start = std::max(t, m_hostTxFreeAt);
            m_hostTxFreeAt = start + byteTime;
            m_toChip.push_back(ToChip{start, start + byteTime, in[i], m_baud, m_lineControl});
        }
        advance(t); // in fast timing the chip has everything at once
        *bytesWritten = bytesToWrite;
        // The bridge buffers a FIFO's worth; beyond that the write waits.
        size_t unsent = 0;
        for (auto it = m_toChip.rbegin(); it != m_toChip.rend() && it->start > t; ++it)
            ++unsent;
        if (unsent > kSimBridgeTxFifo)
            waitUntil = m_toChip[m_toChip.size() - kSimBridgeTxFifo].start;
    });
    if (waitUntil > 0)
        m_clock->sleepUntil(waitUntil);
    return status;
}

BRIDGE_STATUS SimBoard::flushBuffers(uint64_t session, uint8_t flushTransmit, uint8_t flushReceive)
{
    return inSession(session, SI_SUCCESS, [&](int64_t t) {
        if (flushTransmit) {
            // What has not started on the wire is gone; a byte under way completes.
            while (!m_toChip.empty() && m_toChip.back().start >= t)
                m_toChip.pop_back();
            m_hostTxFreeAt = m_toChip.empty() ? t : std::max(t, m_toChip.back().end);
        }
        if (flushReceive) {
            // Everything the bridge holds is gone; bytes still on the wire arrive later.
            while (!m_inFlight.empty() && m_inFlight.front().arrive <= t)
                m_inFlight.pop_front();
            m_hostQueue.clear();
            m_hostOverrun = false;
        }
    });
}

void SimBoard::setHostFrameAgnostic(bool agnostic)
{
    atNow([&] { m_agnostic = agnostic; });
}

int64_t SimBoard::nextEventNs()
{
    return nextEvent(false);
}

int64_t SimBoard::nextHostEventNs()
{
    return nextEvent(true);
}

int64_t SimBoard::nextEvent(bool lastByteToChip)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    advance(now());
    int64_t next = kNever;
    if (!m_inFlight.empty())
        next = std::min(next, m_inFlight.front().visible);
    if (!m_toChip.empty())
        next = std::min(next, lastByteToChip ? m_toChip.back().end : m_toChip.front().end);
    if (m_holding)
        next = std::min(next, m_busyUntil);
    if (m_mode == SimBoardMode::Firmware) {
        next = std::min(next, m_nextTick);
        if (m_floodRate > 0)
            next = std::min(next, m_nextFlood);
    }
    return next;
}

// ---- inspection ----

SimBoardMode SimBoard::mode()
{
    return atNow([&] { return m_mode; });
}

uint8_t SimBoard::latch()
{
    return atNow([&] { return m_latch; });
}

uint32_t SimBoard::baudRate()
{
    return atNow([&] { return m_baud; });
}

uint16_t SimBoard::lineControl()
{
    return atNow([&] { return m_lineControl; });
}

bool SimBoard::isOpen()
{
    return atNow([&] { return m_session != 0; });
}

bool SimBoard::bootloaderSynchronised()
{
    return atNow([&] { return m_mode == SimBoardMode::Bootloader && m_bootloader.synchronised(); });
}

std::vector<uint8_t> SimBoard::flash()
{
    return atNow([&] { return m_memory.flash(); });
}

bool SimBoard::identityStored()
{
    return atNow([&] { return m_memory.identityStored(); });
}

bool SimBoard::readoutProtected()
{
    return atNow([&] { return m_memory.readoutProtected(); });
}

uint32_t SimBoard::writeProtection()
{
    return atNow([&] { return m_memory.writeProtection(); });
}

uint32_t SimBoard::firmwareUptime()
{
    return atNow([&] { return m_mode == SimBoardMode::Firmware ? m_firmware.uptimeSeconds() : 0; });
}

std::vector<SimBootloaderEvent> SimBoard::bootloaderEvents()
{
    return atNow([&] { return m_bootloader.events(); });
}

SimBoardCounters SimBoard::counters()
{
    return atNow([&] { return m_counters; });
}

SimOutput SimBoard::output()
{
    return atNow([&] { return m_firmware.output(); });
}

bool SimBoard::saveFlash()
{
    return atNow([&] { return !m_memory.flashDirty() || saveLocked(); });
}

std::vector<uint8_t> SimBoard::readMemory(uint32_t address, uint32_t length)
{
    return atNow([&] {
        std::vector<uint8_t> bytes;
        if (!m_memory.read(address, length, &bytes))
            bytes.clear();
        return bytes;
    });
}

void SimBoard::clearBootloaderEvents()
{
    atNow([&] { m_bootloader.clearEvents(); });
}

// ---- set-up ----

void SimBoard::setFlash(uint32_t offset, const std::vector<uint8_t>& bytes)
{
    atNow([&] { m_memory.setFlash(offset, bytes.data(), bytes.size()); });
}

void SimBoard::eraseFlash()
{
    atNow([&] { m_memory.eraseAll(); });
}

void SimBoard::setOutput(SimOutput output)
{
    atNow([&] { m_firmware.setOutput(output); });
}

// ---- faults ----

void SimBoard::dropBytes(SimDirection direction, uint64_t after, uint64_t count)
{
    corruptBytes(direction, after, count, 0);
}

void SimBoard::corruptBytes(SimDirection direction, uint64_t after, uint64_t count, uint8_t mask)
{
    atNow([&] {
        const uint64_t from = m_wireIndex[int(direction)] + after;
        m_byteFaults.push_back(ByteFault{direction, from, from + count, mask});
    });
}

void SimBoard::nack(SimNackPhase phase, int command, int64_t address, SimRepeat repeat)
{
    atNow([&] { m_blFaults.nacks.push_back(SimBootloaderFaults::Nack{phase, command, address, repeat}); });
}

void SimBoard::setProductId(uint16_t productId)
{
    atNow([&] { m_blFaults.productId = productId; });
}

void SimBoard::replaceReply(uint8_t command, std::vector<uint8_t> bytes, SimRepeat repeat)
{
    atNow([&] { m_blFaults.replies.push_back(SimBootloaderFaults::Reply{command, std::move(bytes), repeat}); });
}

void SimBoard::silenceAfter(uint64_t bytes)
{
    atNow([&] {
        m_silenceArmed = true;
        m_silenceLeft = bytes;
    });
}

void SimBoard::flood(double bytesPerSecond)
{
    const int64_t t = now();
    std::lock_guard<std::mutex> lock(m_mutex);
    advance(t);
    const bool starting = m_floodRate <= 0;
    m_floodRate = std::isfinite(bytesPerSecond) && bytesPerSecond > 0 ? bytesPerSecond : 0;
    if (starting)
        m_nextFlood = t;
    // Its output is due now: a host asleep until the board's next event
    // learns of it.
    bridgeWake(BRIDGE_WAKE_RECEIVED);
}

void SimBoard::clearFaults()
{
    atNow([&] {
        m_byteFaults.clear();
        m_blFaults = SimBootloaderFaults();
        m_silenceArmed = false;
        m_silenceLeft = 0;
        m_floodRate = 0;
    });
}
