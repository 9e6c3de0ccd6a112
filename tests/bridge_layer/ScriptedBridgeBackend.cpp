#include "tests/bridge_layer/ScriptedBridgeBackend.h"

#include <algorithm>
#include <cstring>

ScriptedBridgeBackend::ScriptedBridgeBackend() = default;

ScriptedBridgeBackend::ScriptedBridgeBackend(std::vector<Device> devices) : m_devices(std::move(devices)) {}

ScriptedBridgeBackend::ScriptedBridgeBackend(std::initializer_list<Device> devices) : m_devices(devices) {}

// ---- scripting ----

void ScriptedBridgeBackend::setDevices(std::vector<Device> devices)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices = std::move(devices);
}

std::vector<ScriptedBridgeBackend::Device> ScriptedBridgeBackend::devices() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_devices;
}

void ScriptedBridgeBackend::setStatus(const std::string& op, BRIDGE_STATUS status, int count, Effect effect)
{
    if (count == 0 || count < kAlways)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script[op].push_back(Scripted{status, count, effect});
}

void ScriptedBridgeBackend::clearStatus(const std::string& op)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.erase(op);
}

void ScriptedBridgeBackend::clearStatuses()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.clear();
}

void ScriptedBridgeBackend::feedRx(const std::vector<uint8_t>& bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rx.insert(m_rx.end(), bytes.begin(), bytes.end());
    }
    bridgeWake(BRIDGE_WAKE_RECEIVED);
}

void ScriptedBridgeBackend::feedRx(const std::string& bytes)
{
    feedRx(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

size_t ScriptedBridgeBackend::rxPending() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rx.size();
}

void ScriptedBridgeBackend::setQueueStatus(uint32_t queueStatus)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queueStatusSet = true;
    m_queueStatus = queueStatus;
}

void ScriptedBridgeBackend::setLatch(uint8_t latch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_latch = latch;
}

// ---- inspection ----

std::vector<ScriptedBridgeBackend::Call> ScriptedBridgeBackend::calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<ScriptedBridgeBackend::Call> ScriptedBridgeBackend::calls(const std::string& op) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Call> result;
    for (const Call& call : m_calls) {
        if (call.op == op)
            result.push_back(call);
    }
    return result;
}

size_t ScriptedBridgeBackend::callCount(const std::string& op) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return countCalls(op);
}

std::vector<std::string> ScriptedBridgeBackend::callNames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> names;
    names.reserve(m_calls.size());
    for (const Call& call : m_calls)
        names.push_back(call.op);
    return names;
}

void ScriptedBridgeBackend::clearCalls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

bool ScriptedBridgeBackend::waitForCalls(const std::string& op, size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_callRecorded.wait_for(lock, timeout, [&] { return countCalls(op) >= count; });
}

std::vector<uint8_t> ScriptedBridgeBackend::written() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}

std::string ScriptedBridgeBackend::writtenText() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::string(m_written.begin(), m_written.end());
}

void ScriptedBridgeBackend::clearWritten()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_written.clear();
}

uint8_t ScriptedBridgeBackend::latch() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_latch;
}

uint16_t ScriptedBridgeBackend::lineControl() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lineControl;
}

uint32_t ScriptedBridgeBackend::baudRate() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_baudRate;
}

bool ScriptedBridgeBackend::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openHandleId != 0;
}

int ScriptedBridgeBackend::openDeviceNumber() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openDevice;
}

BRIDGE_HANDLE ScriptedBridgeBackend::openHandle() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openHandleId ? bridgeHandleFromId(m_openHandleId) : nullptr;
}

// ---- helpers ----

ScriptedBridgeBackend::Decision ScriptedBridgeBackend::takeScripted(const std::string& op)
{
    Decision decision;
    auto it = m_script.find(op);
    if (it == m_script.end() || it->second.empty())
        return decision;
    Scripted& front = it->second.front();
    decision.scripted = true;
    decision.status = front.status;
    decision.apply = front.status == SI_SUCCESS || front.effect == Effect::Apply;
    if (front.remaining != kAlways && --front.remaining == 0)
        it->second.pop_front();
    return decision;
}

size_t ScriptedBridgeBackend::record(const std::string& op, std::vector<int64_t> args, std::vector<uint8_t> data)
{
    m_calls.push_back(Call{op, std::move(args), std::move(data), SI_SUCCESS});
    return m_calls.size() - 1;
}

BRIDGE_STATUS ScriptedBridgeBackend::finish(size_t callIndex, BRIDGE_STATUS status)
{
    m_calls[callIndex].status = status;
    m_callRecorded.notify_all();
    return status;
}

int64_t ScriptedBridgeBackend::handleNumber(BRIDGE_HANDLE handle) const
{
    return isCurrent(handle) ? static_cast<int64_t>(m_openHandleId) : 0;
}

bool ScriptedBridgeBackend::isCurrent(BRIDGE_HANDLE handle) const
{
    return m_openHandleId != 0 && bridgeHandleId(handle) == m_openHandleId;
}

size_t ScriptedBridgeBackend::countCalls(const std::string& op) const
{
    return static_cast<size_t>(
        std::count_if(m_calls.begin(), m_calls.end(), [&](const Call& call) { return call.op == op; }));
}

// ---- BridgeBackend ----
// Each operation records its call first, then lets a scripted status win,
// then (unless the script says skip) does its normal work. A scripted
// status replaces the normal one; with Effect::Apply the work still happens.

BRIDGE_STATUS ScriptedBridgeBackend::getNumDevices(uint32_t* numDevices)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t call = record("BridgeGetNumDevices", {});
    Decision decision = takeScripted("BridgeGetNumDevices");
    if (decision.apply && numDevices)
        *numDevices = static_cast<uint32_t>(m_devices.size());
    BRIDGE_STATUS status = SI_SUCCESS;
    return finish(call, decision.scripted ? decision.status : status);
}

BRIDGE_STATUS ScriptedBridgeBackend::getProductString(uint32_t deviceNum, char* buffer, uint8_t selector)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t call = record("BridgeGetProductString", {deviceNum, selector});
    Decision decision = takeScripted("BridgeGetProductString");
    BRIDGE_STATUS status = SI_SUCCESS;
    if (deviceNum >= m_devices.size()) {
        status = SI_DEVICE_NOT_FOUND;
    } else if (selector != SI_RETURN_SERIAL_NUMBER && selector != SI_RETURN_DESCRIPTION) {
        status = SI_INVALID_PARAMETER;
    } else if (decision.apply && buffer) {
        const std::string& text =
            selector == SI_RETURN_DESCRIPTION ? m_devices[deviceNum].description : m_devices[deviceNum].serial;
        size_t length = std::min<size_t>(text.size(), BRIDGE_MAX_PRODUCT_STRING - 1);
        std::memcpy(buffer, text.data(), length);
        buffer[length] = '\0';
    }
    return finish(call, decision.scripted ? decision.status : status);
}

BRIDGE_STATUS ScriptedBridgeBackend::open(uint32_t deviceNum, BRIDGE_HANDLE* handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t call = record("BridgeOpen", {deviceNum});
    Decision decision = takeScripted("BridgeOpen");
    BRIDGE_STATUS status = SI_SUCCESS;
    // One link at a time, like a bridge whose interface is already claimed.
    if (deviceNum >= m_devices.size() || m_openHandleId != 0) {
        status = SI_DEVICE_NOT_FOUND;
    } else if (decision.apply) {
        m_openHandleId = ++m_lastHandleId;
        m_openDevice = static_cast<int>(deviceNum);
        if (handle)
            *handle = bridgeHandleFromId(m_openHandleId);
    }
    return finish(call, decision.scripted ? decision.status : status);
}

BRIDGE_STATUS ScriptedBridgeBackend::close(BRIDGE_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t call = record("BridgeClose", {handleNumber(handle)});
    Decision decision = takeScripted("BridgeClose");
    BRIDGE_STATUS status = SI_SUCCESS;
    if (!isCurrent(handle)) {
        status = SI_INVALID_HANDLE;
    } else if (decision.apply) {
        m_openHandleId = 0;
        m_openDevice = -1;
    }
    return finish(call, decision.scripted ? decision.status : status);
}

BRIDGE_STATUS ScriptedBridgeBackend::setBaudRate(BRIDGE_HANDLE handle, uint32_t baudRate)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t call = record("BridgeSetBaudRate", {handleNumber(handle), baudRate});
    Decision decision = takeScripted("BridgeSetBaudRate");
    BRIDGE_STATUS status = SI_SUCCESS;
    if (!isCurrent(handle))
        status = SI_INVALID_HANDLE;
    else if (baudRate == 0)
        status = SI_INVALID_BAUDRATE;
    else if (decision.apply)
        m_baudRate = baudRate;
    return finish(call, decision.scripted ? decision.status : status);
}

BRIDGE_STATUS ScriptedBridgeBackend::setLineControl(BRIDGE_HANDLE handle, uint16_t lineControl)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t call = record("BridgeSetLineControl", {handleNumber(handle), lineControl});
    Decision decision = takeScripted("BridgeSetLineControl");
    BRIDGE_STATUS status = SI_SUCCESS;
    if (!isCurrent(handle))
        status = SI_INVALID_HANDLE;
    else if (decision.apply)
        m_lineControl = lineControl;
    return finish(call, decision.scripted ? decision.status : status);
}

BRIDGE_STATUS ScriptedBridgeBackend::writeLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t call = record("BridgeWriteLatch", {handleNumber(handle), mask, latch});
    Decision decision = takeScripted("BridgeWriteLatch");
    BRIDGE_STATUS status = SI_SUCCESS;
    if (!isCurrent(handle))
        status = SI_INVALID_HANDLE;
    else if (decision.apply)
        m_latch = static_cast<uint8_t>((m_latch & ~mask) | (latch & mask));
    return finish(call, decision.scripted ? decision.status : status);
}

BRIDGE_STATUS ScriptedBridgeBackend::checkRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue,
                                                  uint32_t* queueStatus)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t call = record("BridgeCheckRxQueue", {handleNumber(handle)});
    Decision decision = takeScripted("BridgeCheckRxQueue");
    BRIDGE_STATUS status = SI_SUCCESS;
    if (!isCurrent(handle)) {
        status = SI_INVALID_HANDLE;
    } else if (decision.apply) {
        if (numBytesInQueue)
            *numBytesInQueue = static_cast<uint32_t>(m_rx.size());
        if (queueStatus)
            *queueStatus = m_queueStatusSet ? m_queueStatus : (m_rx.empty() ? 0u : 2u);
    }
    return finish(call, decision.scripted ? decision.status : status);
}

BRIDGE_STATUS ScriptedBridgeBackend::read(BRIDGE_HANDLE handle, void* buffer, uint32_t bytesToRead,
                                          uint32_t* bytesReturned)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t call = record("BridgeRead", {handleNumber(handle), bytesToRead});
    Decision decision = takeScripted("BridgeRead");
    BRIDGE_STATUS status = SI_SUCCESS;
    if (!isCurrent(handle)) {
        status = SI_INVALID_HANDLE;
    } else if (decision.apply) {
        size_t count = std::min<size_t>(bytesToRead, m_rx.size());
        std::vector<uint8_t> taken(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(count));
        m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(count));
        if (buffer && count)
            std::memcpy(buffer, taken.data(), count);
        if (bytesReturned)
            *bytesReturned = static_cast<uint32_t>(count);
        m_calls[call].data = std::move(taken);
    }
    return finish(call, decision.scripted ? decision.status : status);
}

BRIDGE_STATUS ScriptedBridgeBackend::write(BRIDGE_HANDLE handle, const void* buffer, uint32_t bytesToWrite,
                                           uint32_t* bytesWritten)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t> data;
    if (buffer && bytesToWrite) {
        const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
        data.assign(bytes, bytes + bytesToWrite);
    }
    size_t call = record("BridgeWrite", {handleNumber(handle), bytesToWrite}, data);
    Decision decision = takeScripted("BridgeWrite");
    BRIDGE_STATUS status = SI_SUCCESS;
    if (!isCurrent(handle)) {
        status = SI_INVALID_HANDLE;
    } else if (decision.apply) {
        m_written.insert(m_written.end(), data.begin(), data.end());
        if (bytesWritten)
            *bytesWritten = static_cast<uint32_t>(data.size());
    }
    return finish(call, decision.scripted ? decision.status : status);
}

BRIDGE_STATUS ScriptedBridgeBackend::flushBuffers(BRIDGE_HANDLE handle, uint8_t flushTransmit, uint8_t flushReceive)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t call = record("BridgeFlushBuffers", {handleNumber(handle), flushTransmit, flushReceive});
    Decision decision = takeScripted("BridgeFlushBuffers");
    BRIDGE_STATUS status = SI_SUCCESS;
    if (!isCurrent(handle)) {
        status = SI_INVALID_HANDLE;
    } else if (decision.apply && flushReceive) {
        // Written bytes have "left" already; only unread input can be dropped.
        m_rx.clear();
    }
    return finish(call, decision.scripted ? decision.status : status);
}
