#include "ProxyBackend.h"

#include <algorithm>
#include <cstring>

ProxyBackend::ProxyBackend(std::shared_ptr<BridgeBackend> inner) : m_inner(std::move(inner)) {}

std::vector<ProxyBackend::Event> ProxyBackend::events() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

std::vector<ProxyBackend::Bytes> ProxyBackend::writes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Bytes> result;
    for (const Event& e : m_events) {
        if (e.kind == Event::Write)
            result.push_back(e.bytes);
    }
    return result;
}

size_t ProxyBackend::writeCount(const Bytes& frame) const
{
    const std::vector<Bytes> all = writes();
    return static_cast<size_t>(std::count(all.begin(), all.end(), frame));
}

void ProxyBackend::clearEvents()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}

void ProxyBackend::rewriteLineControl(uint16_t from, uint16_t to)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rewriteLine = true;
    m_lineFrom = from;
    m_lineTo = to;
}

void ProxyBackend::replaceReply(const Bytes& command, size_t replyLength, const Bytes& replacement, int times)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replaceCommand = command;
    m_replaceLength = replyLength;
    m_replacement = replacement;
    m_replaceTimes = times;
}

void ProxyBackend::setWriteHook(std::function<void(const Bytes&)> hook)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_writeHook = std::move(hook);
}

void ProxyBackend::appendAfterReply(size_t size, int nth, const Bytes& extra)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_appendSize = size;
    m_appendNth = nth;
    m_appendSeen = 0;
    m_append = extra;
    m_appendArmed = false;
}

BRIDGE_STATUS ProxyBackend::getNumDevices(uint32_t* numDevices)
{
    return m_inner->getNumDevices(numDevices);
}

BRIDGE_STATUS ProxyBackend::getProductString(uint32_t deviceNum, char* buffer, uint8_t selector)
{
    return m_inner->getProductString(deviceNum, buffer, selector);
}

BRIDGE_STATUS ProxyBackend::open(uint32_t deviceNum, BRIDGE_HANDLE* handle)
{
    return m_inner->open(deviceNum, handle);
}

BRIDGE_STATUS ProxyBackend::close(BRIDGE_HANDLE handle)
{
    return m_inner->close(handle);
}

BRIDGE_STATUS ProxyBackend::setBaudRate(BRIDGE_HANDLE handle, uint32_t baudRate)
{
    return m_inner->setBaudRate(handle, baudRate);
}

void ProxyBackend::failLineControl(uint16_t line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failLine = true;
    m_failedLine = line;
}

BRIDGE_STATUS ProxyBackend::setLineControl(BRIDGE_HANDLE handle, uint16_t lineControl)
{
    uint16_t word = lineControl;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Event e{Event::LineControl, {}, 0, 0, lineControl};
        m_events.push_back(e);
        if (m_failLine && word == m_failedLine)
            return SI_DEVICE_IO_FAILED;
        if (m_rewriteLine && word == m_lineFrom)
            word = m_lineTo;
    }
    return m_inner->setLineControl(handle, word);
}

BRIDGE_STATUS ProxyBackend::writeLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(Event{Event::Latch, {}, mask, latch, 0});
    }
    return m_inner->writeLatch(handle, mask, latch);
}

void ProxyBackend::takeFromBoard(BRIDGE_HANDLE handle)
{
    uint32_t waiting = 0;
    uint32_t queueStatus = 0;
    if (m_inner->checkRxQueue(handle, &waiting, &queueStatus) != SI_SUCCESS || waiting == 0)
        return;
    Bytes incoming(waiting);
    uint32_t got = 0;
    if (m_inner->read(handle, incoming.data(), waiting, &got) != SI_SUCCESS)
        return;
    incoming.resize(std::min(got, waiting));
    for (uint8_t byte : incoming) {
        if (m_replaceLeft > 0) {
            if (--m_replaceLeft == 0)
                m_rx.insert(m_rx.end(), m_replacement.begin(), m_replacement.end());
            continue;
        }
        m_rx.push_back(byte);
    }
    if (m_appendArmed && !incoming.empty()) {
        m_appendArmed = false;
        m_rx.insert(m_rx.end(), m_append.begin(), m_append.end());
    }
}

BRIDGE_STATUS ProxyBackend::innerStatus(BRIDGE_HANDLE handle)
{
    uint32_t waiting = 0;
    uint32_t queueStatus = 0;
    return m_inner->checkRxQueue(handle, &waiting, &queueStatus);
}

BRIDGE_STATUS ProxyBackend::checkRxQueue(BRIDGE_HANDLE handle, uint32_t* numBytesInQueue, uint32_t* queueStatus)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const BRIDGE_STATUS status = innerStatus(handle);
    if (status != SI_SUCCESS)
        return status;
    takeFromBoard(handle);
    if (numBytesInQueue)
        *numBytesInQueue = static_cast<uint32_t>(m_rx.size());
    if (queueStatus)
        *queueStatus = m_rx.empty() ? 0 : 2;
    return SI_SUCCESS;
}

BRIDGE_STATUS ProxyBackend::read(BRIDGE_HANDLE handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const BRIDGE_STATUS status = innerStatus(handle);
    if (status != SI_SUCCESS)
        return status;
    const uint32_t count = std::min<uint32_t>(bytesToRead, static_cast<uint32_t>(m_rx.size()));
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = m_rx.front();
        m_rx.pop_front();
    }
    if (bytesReturned)
        *bytesReturned = count;
    return SI_SUCCESS;
}

BRIDGE_STATUS ProxyBackend::write(BRIDGE_HANDLE handle, const void* buffer, uint32_t bytesToWrite,
                                  uint32_t* bytesWritten)
{
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const Bytes frame(bytes, bytes + bytesToWrite);
    std::function<void(const Bytes&)> hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_replaceTimes > 0 && frame == m_replaceCommand) {
            --m_replaceTimes;
            m_replaceLeft = m_replaceLength;
        }
        if (m_appendSize != 0 && frame.size() == m_appendSize && ++m_appendSeen == m_appendNth)
            m_appendArmed = true;
        m_events.push_back(Event{Event::Write, frame, 0, 0, 0});
        hook = m_writeHook;
    }
    const BRIDGE_STATUS status = m_inner->write(handle, buffer, bytesToWrite, bytesWritten);
    if (hook)
        hook(frame);
    return status;
}

BRIDGE_STATUS ProxyBackend::flushBuffers(BRIDGE_HANDLE handle, uint8_t flushTransmit, uint8_t flushReceive)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(Event{Event::Flush, {}, 0, 0, 0});
    if (flushReceive)
        m_rx.clear();
    return m_inner->flushBuffers(handle, flushTransmit, flushReceive);
}

std::chrono::nanoseconds ProxyBackend::untilNextEvent()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_rx.empty())
            return std::chrono::nanoseconds::zero();
    }
    return m_inner->untilNextEvent();
}
