#include "sim/SimBridgeBackend.h"

#include "app/Log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

enum { kMaxBoards = 64 };

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

uintptr_t handleKey(BRIDGE_HANDLE handle)
{
    return reinterpret_cast<uintptr_t>(handle);
}

} // namespace

bool simOptionsFromEnvironment(SimOptions* options, std::string* error)
{
    SimOptions result;
    const std::string boards = environment("TIVAKO_SIM_BOARDS");
    if (!boards.empty()) {
        char* end = nullptr;
        errno = 0;
        long n = std::strtol(boards.c_str(), &end, 10);
        if (errno != 0 || end == boards.c_str() || *end != '\0' || n < 0 || n > kMaxBoards) {
            *error = "TIVAKO_SIM_BOARDS must be a number from 0 to " + std::to_string(kMaxBoards) + ", not \"" +
                     boards + "\"";
            return false;
        }
        result.boards = int(n);
    }
    const std::string timing = environment("TIVAKO_SIM_TIMING");
    if (timing == "realtime") {
        result.timing = SimTiming::Realtime;
    } else if (!timing.empty() && timing != "fast") {
        *error = "TIVAKO_SIM_TIMING must be \"fast\" or \"realtime\", not \"" + timing + "\"";
        return false;
    }
    const std::string output = environment("TIVAKO_SIM_OUTPUT");
    if (output == "ascii") {
        result.output = SimOutput::Ascii;
    } else if (!output.empty() && output != "tlv") {
        *error = "TIVAKO_SIM_OUTPUT must be \"tlv\" or \"ascii\", not \"" + output + "\"";
        return false;
    }
    result.flashPath = environment("TIVAKO_SIM_FLASH");
    *options = result;
    return true;
}

std::string simFlashPathForBoard(const std::string& flashPath, int number)
{
    if (flashPath.empty() || number <= 1)
        return flashPath;
    return flashPath + "." + simSerialForNumber(number);
}

SimBridgeBackend::SimBridgeBackend(const SimOptions& options) : m_options(options)
{
    if (!m_options.clock)
        m_options.clock = std::make_shared<SteadySimClock>();
    for (int i = 0; i < m_options.boards; ++i)
        m_boards.push_back(makeBoard(i + 1));
}

SimBridgeBackend::~SimBridgeBackend() = default;

std::unique_ptr<SimBoard> SimBridgeBackend::makeBoard(int number) const
{
    SimBoardConfig config;
    config.number = number;
    config.timing = m_options.timing;
    config.output = m_options.output;
    config.flashPath = simFlashPathForBoard(m_options.flashPath, number);
    return std::make_unique<SimBoard>(config, m_options.clock);
}

size_t SimBridgeBackend::boardCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boards.size();
}

SimBoard* SimBridgeBackend::board(size_t index) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_boards.size() ? m_boards[index].get() : nullptr;
}

SimBoard* SimBridgeBackend::boardBySerial(const std::string& serial) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& board : m_boards)
        if (board->serial() == serial)
            return board.get();
    return nullptr;
}

size_t SimBridgeBackend::addBoard()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boards.push_back(makeBoard(int(m_boards.size()) + 1));
    return m_boards.size() - 1;
}

bool SimBridgeBackend::unplug(size_t index)
{
    SimBoard* b = board(index);
    if (!b)
        return false;
    b->unplug();
    bridgeWake(BRIDGE_WAKE_DEVICES);
    return true;
}

bool SimBridgeBackend::plug(size_t index)
{
    SimBoard* b = board(index);
    if (!b)
        return false;
    b->plug();
    bridgeWake(BRIDGE_WAKE_DEVICES);
    return true;
}

void SimBridgeBackend::injectStatus(SimOp op, BRIDGE_STATUS status, SimRepeat repeat, unsigned afterCalls)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_injected.push_back(Injected{op, status, repeat, afterCalls});
}

void SimBridgeBackend::clearInjectedStatuses()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_injected.clear();
}

bool SimBridgeBackend::injected(SimOp op, BRIDGE_STATUS* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_injected.begin(); it != m_injected.end(); ++it) {
        if (it->op != op)
            continue;
        if (it->after > 0) {
            --it->after;
            return false;
        }
        *status = it->status;
        if (it->repeat == SimRepeat::Once)
            m_injected.erase(it);
        return true;
    }
    return false;
}

SimBoard* SimBridgeBackend::plugged(uint32_t deviceNum) const
{
    uint32_t n = 0;
    for (const auto& board : m_boards) {
        if (!board->isPlugged())
            continue;
        if (n == deviceNum)
            return board.get();
        ++n;
    }
    return nullptr;
}

bool SimBridgeBackend::lookUp(BRIDGE_HANDLE handle, Open* open) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_handles.find(handleKey(handle));
    if (it == m_handles.end())
        return false;
    *open = it->second;
    return true;
}

BRIDGE_STATUS SimBridgeBackend::getNumDevices(uint32_t* numDevices)
{
    BRIDGE_STATUS status;
    if (injected(SimOp::GetNumDevices, &status))
        return status;
    if (!numDevices)
        return SI_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m_mutex);
    uint32_t n = 0;
    for (const auto& board : m_boards)
        if (board->isPlugged())
            ++n;
    *numDevices = n;
    return SI_SUCCESS;
}

BRIDGE_STATUS SimBridgeBackend::getProductString(uint32_t deviceNum, char* buffer, uint8_t selector)
{
    BRIDGE_STATUS status;
    if (injected(SimOp::GetProductString, &status))
        return status;
    if (!buffer || (selector != SI_RETURN_SERIAL_NUMBER && selector != SI_RETURN_DESCRIPTION))
        return SI_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m_mutex);
    SimBoard* board = plugged(deviceNum);
    if (!board)
        return SI_DEVICE_NOT_FOUND;
    const std::string text = selector == SI_RETURN_SERIAL_NUMBER ? board->serial() : board->description();
    std::strncpy(buffer, text.c_str(), BRIDGE_MAX_PRODUCT_STRING - 1);
    buffer[BRIDGE_MAX_PRODUCT_STRING - 1] = '\0';
    return SI_SUCCESS;
}

BRIDGE_STATUS SimBridgeBackend::open(uint32_t deviceNum, BRIDGE_HANDLE* handle)
{
    BRIDGE_STATUS status;
    if (injected(SimOp::Open, &status))
        return status;
    if (!handle)
        return SI_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m_mutex);
    SimBoard* board = plugged(deviceNum);
    if (!board)
        return SI_DEVICE_NOT_FOUND;
    uint64_t session = 0;
    status = board->open(&session);
    if (status != SI_SUCCESS)
        return status;
    // Handles are numbers, never reused, so a stale one can never reach
    // another board.
    m_nextHandle += 0x10;
    m_handles[m_nextHandle] = Open{board, session};
    *handle = reinterpret_cast<BRIDGE_HANDLE>(m_nextHandle);
    return SI_SUCCESS;
}

BRIDGE_STATUS SimBridgeBackend::close(BRIDGE_HANDLE handle)
{
    BRIDGE_STATUS status;
    if (injected(SimOp::Close, &status))
        return status;
    Open open;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_handles.find(handleKey(handle));
        if (it == m_handles.end())
            return SI_INVALID_HANDLE;
        open = it->second;
        m_handles.erase(it);
    }
    return open.board->close(open.session);
}

#define SIM_WITH_HANDLE(op, call)                                                                                      \
    BRIDGE_STATUS status;                                                                                              \
    if (injected(op, &status))                                                                                         \
        return status;                                                                                                 \
    Open open;                                                                                                         \
    if (!lookUp(handle, &open))                                                                                        \
        return SI_INVALID_HANDLE;                                                                                      \
    return open.board->call

BRIDGE_STATUS SimBridgeBackend::setBaudRate(BRIDGE_HANDLE handle, uint32_t baudRate)
{
    SIM_WITH_HANDLE(SimOp::SetBaudRate, setBaudRate(open.session, baudRate));
}

BRIDGE_STATUS SimBridgeBackend::setLineControl(BRIDGE_HANDLE handle, uint16_t lineControl)
{
    SIM_WITH_HANDLE(SimOp::SetLineControl, setLineControl(open.session, lineControl));
}

BRIDGE_STATUS SimBridgeBackend::writeLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch)
{
    SIM_WITH_HANDLE(SimOp::WriteLatch, writeLatch(open.session, mask, latch));
}

BRIDGE_STATUS SimBridgeBackend::checkRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue, uint32_t* queueStatus)
{
    SIM_WITH_HANDLE(SimOp::CheckRxQueue, checkRxQueue(open.session, numBytesInQueue, queueStatus));
}

BRIDGE_STATUS SimBridgeBackend::read(BRIDGE_HANDLE handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned)
{
    SIM_WITH_HANDLE(SimOp::Read, read(open.session, buffer, bytesToRead, bytesReturned));
}

BRIDGE_STATUS SimBridgeBackend::write(BRIDGE_HANDLE handle, const void* buffer, uint32_t bytesToWrite,
                                      uint32_t* bytesWritten)
{
    SIM_WITH_HANDLE(SimOp::Write, write(open.session, buffer, bytesToWrite, bytesWritten));
}

BRIDGE_STATUS SimBridgeBackend::flushBuffers(BRIDGE_HANDLE handle, uint8_t flushTransmit, uint8_t flushReceive)
{
    SIM_WITH_HANDLE(SimOp::FlushBuffers, flushBuffers(open.session, flushTransmit, flushReceive));
}

std::chrono::nanoseconds SimBridgeBackend::untilNextEvent()
{
    std::vector<SimBoard*> open;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_handles)
            open.push_back(entry.second.board);
    }
    int64_t next = std::numeric_limits<int64_t>::max();
    for (SimBoard* board : open)
        next = std::min(next, board->nextHostEventNs());
    if (next == std::numeric_limits<int64_t>::max())
        return std::chrono::nanoseconds::max();
    return std::chrono::nanoseconds(next - m_options.clock->nowNs());
}

std::shared_ptr<SimBridgeBackend> createSimBridgeBackend(std::string* error)
{
    SimOptions options;
    std::string message;
    if (!simOptionsFromEnvironment(&options, &message)) {
        if (error)
            *error = message;
        else
            logError("createSimBridgeBackend", "%s", message.c_str());
        return nullptr;
    }
    logStatus("createSimBridgeBackend", "%d virtual board(s), %s timing, %s output%s%s", options.boards,
              options.timing == SimTiming::Realtime ? "realtime" : "fast",
              options.output == SimOutput::Ascii ? "ascii" : "tlv", options.flashPath.empty() ? "" : ", flash in ",
              options.flashPath.c_str());
    return std::make_shared<SimBridgeBackend>(options);
}

std::shared_ptr<BridgeBackend> createSimBridgeBackend()
{
    return createSimBridgeBackend(nullptr);
}
