#ifndef TIVAKO_TESTS_SIM_SIMTESTSUPPORT_H
#define TIVAKO_TESTS_SIM_SIMTESTSUPPORT_H

// What the virtual-board suites share: a host that drives one bridge device
// through the BridgeBackend interface, the bootloader's frames, and the
// loader's own TLV decoder (TlvFeeder) to read what the firmware says.

#include "bridge/BridgeLibrary.h"
#include "sim/SimBridgeBackend.h"
#include "tests/support/TestData.h"
#include "tests/support/TlvFeeder.h"

#include <QtTest>

#include <functional>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes commandFrame(uint8_t command)
{
    return {command, uint8_t(command ^ 0xFF)};
}

inline Bytes addressFrame(uint32_t a)
{
    return {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a),
            uint8_t((a >> 24) ^ (a >> 16) ^ (a >> 8) ^ a)};
}

// Length-1, the bytes, their XOR with the length byte.
inline Bytes dataFrame(const Bytes& data)
{
    Bytes frame{uint8_t(data.size() - 1)};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(std::accumulate(frame.begin(), frame.end(), uint8_t(0), std::bit_xor<uint8_t>()));
    return frame;
}

// A flash image whose vector table the chip can start from.
inline Bytes bootableImage(size_t n = 1024)
{
    Bytes image = bytesOf(randomBytes(int(n), 7));
    const uint32_t sp = 0x20002000, reset = 0x08000101;
    for (int i = 0; i < 8; ++i)
        image[size_t(i)] = uint8_t((i < 4 ? sp : reset) >> (8 * (i % 4)));
    return image;
}

// One host on one device of a backend.
class SimHost
{
public:
    explicit SimHost(BridgeBackend& backend) : m_backend(backend) {}
    ~SimHost()
    {
        if (m_handle)
            m_backend.close(m_handle);
    }

    BRIDGE_STATUS open(uint32_t device = 0)
    {
        const BRIDGE_STATUS status = m_backend.open(device, &m_handle);
        m_handle = status == SI_SUCCESS ? m_handle : nullptr;
        return status;
    }
    BRIDGE_STATUS close() { return m_backend.close(std::exchange(m_handle, nullptr)); }
    BRIDGE_HANDLE handle() const { return m_handle; }
    bool line(uint32_t baud, uint16_t lineControl)
    {
        return m_backend.setBaudRate(m_handle, baud) == SI_SUCCESS &&
               m_backend.setLineControl(m_handle, lineControl) == SI_SUCCESS;
    }
    bool latch(uint8_t mask, uint8_t value) { return m_backend.writeLatch(m_handle, mask, value) == SI_SUCCESS; }
    // What the loader does: hold reset, choose the frame, set BOOT0, release.
    bool boot(bool bootloader, uint16_t lineControl)
    {
        return latch(0x01, 0x00) && m_backend.setLineControl(m_handle, lineControl) == SI_SUCCESS &&
               latch(0x02, bootloader ? 0x00 : 0x02) && latch(0x01, 0x01);
    }
    bool enterBootloader(uint32_t baud = 115200)
    {
        return m_backend.setBaudRate(m_handle, baud) == SI_SUCCESS && boot(true, BRIDGE_LINE_8E1);
    }
    bool enterFirmware()
    {
        return m_backend.setBaudRate(m_handle, 115200) == SI_SUCCESS && boot(false, BRIDGE_LINE_8N1);
    }
    BRIDGE_STATUS send(const Bytes& bytes)
    {
        uint32_t written = 0;
        return m_backend.write(m_handle, bytes.data(), uint32_t(bytes.size()), &written);
    }
    BRIDGE_STATUS sendText(const std::string& text) { return send(Bytes(text.begin(), text.end())); }
    // Everything readable now.
    Bytes take()
    {
        uint32_t n = 0, status = 0, got = 0;
        Bytes out(m_backend.checkRxQueue(m_handle, &n, &status) == SI_SUCCESS ? n : 0);
        if (!out.empty())
            m_backend.read(m_handle, out.data(), uint32_t(out.size()), &got);
        out.resize(got);
        return out;
    }
    // Sends and returns the immediate answer (fast timing).
    Bytes exchange(const Bytes& bytes) { return send(bytes), take(); }

private:
    BridgeBackend& m_backend;
    BRIDGE_HANDLE m_handle = nullptr;
};

// QCOMPARE of byte vectors with a readable message.
#define COMPARE_BYTES(actual, expected)                                                                                \
    do {                                                                                                               \
        const Bytes a_ = (actual), e_ = (expected);                                                                    \
        const QByteArray got_ = fromBytes(a_).toHex(' '), want_ = fromBytes(e_).toHex(' ');                            \
        QVERIFY2(a_ == e_, ("got [" + got_ + "] want [" + want_ + "]").constData());                                   \
    } while (0)

// A device's product string through the library (the buffer filled with 'x' first: a failing call must
// clear it); "<other status>" when `expected` is given and the call answers another status.
inline QString productString(uint32_t device, uint8_t selector = SI_RETURN_SERIAL_NUMBER, int expected = -1)
{
    QByteArray buffer(BRIDGE_MAX_PRODUCT_STRING, 'x');
    const BRIDGE_STATUS status = BridgeGetProductString(device, buffer.data(), selector);
    return expected < 0 || status == BRIDGE_STATUS(expected) ? QString::fromLatin1(buffer.constData())
                                                             : QStringLiteral("<other status>");
}

// Bytes received; -1 when the check fails, or its queue status is not `expectedQueueStatus` (when given).
inline int waiting(BRIDGE_HANDLE handle, int expectedQueueStatus = -1)
{
    uint32_t bytes = 0, queue = 0;
    const bool ok = BridgeCheckRxQueue(handle, &bytes, &queue) == SI_SUCCESS;
    return ok && (expectedQueueStatus < 0 || queue == uint32_t(expectedQueueStatus)) ? int(bytes) : -1;
}

// The library's seven calls on an open handle, in its order; their statuses.
inline QVector<BRIDGE_STATUS> handleCallStatuses(BRIDGE_HANDLE handle)
{
    uint32_t n = 0, s = 0;
    uint8_t byte = 0x7F;
    return {BridgeSetBaudRate(handle, 115200), BridgeSetLineControl(handle, BRIDGE_LINE_8E1),
            BridgeWriteLatch(handle, 1, 1),    BridgeCheckRxQueue(handle, &n, &s),
            BridgeRead(handle, &byte, 1, &n),  BridgeWrite(handle, &byte, 1, &n),
            BridgeFlushBuffers(handle, 1, 1)};
}

inline SimOptions fastOptions(int boards = 1)
{
    SimOptions options;
    options.boards = boards;
    return options;
}

#endif
