#ifndef TIVAKO_TESTS_SUPPORT_SESSIONRIG_H
#define TIVAKO_TESTS_SUPPORT_SESSIONRIG_H

// A bridge device with its real worker thread in front of a backend (the virtual board), and the console bytes and
// finish results it produced. The virtual board's header comes first, before any Qt header.

#include "sim/SimBridgeBackend.h"

#include "bridge/KX_SI_USBXpressDev.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestData.h"
#include "tests/support/Wait.h"

class SessionRig : public QObject
{
public:
    explicit SessionRig(std::shared_ptr<BridgeBackend> board)
    {
        bridgeInstallBackend(std::move(board));
        m_device.reset(new KX_SI_USBXpressDev());
        connect(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, this,
                [this](qint8 result) { m_finishes.append(result); });
    }
    ~SessionRig() override
    {
        m_device.reset();
        bridgeInstallBackend(nullptr);
    }

    KX_SI_USBXpressDev& device() { return *m_device; }
    bool openFirstDevice()
    {
        return waitUntil([this] { return !m_device->getDeviceList().isEmpty(); }) &&
               m_device->openDevice(0) == 1;
    }
    void start(const QString& path) { m_device->SLOT_StartFirmwareUpdate(path); }
    // Waits for `count` finish results, then long enough for the ending to
    // let go of the board and for one more result to show up if there were one.
    bool waitForFinishes(int count)
    {
        const bool arrived = waitUntil([this, count] { return m_finishes.size() >= count; }, 60000);
        pump(400);
        return arrived;
    }
    QList<int> finishes() const { return m_finishes; }
    QByteArray messages()
    {
        quint8 byte = 0;
        while (m_device->getMsgCount() > 0 && m_device->getMsgByte(&byte) == 1)
            m_messages.append(static_cast<char>(byte));
        return m_messages;
    }

private:
    std::unique_ptr<KX_SI_USBXpressDev> m_device;
    QByteArray m_messages;
    QList<int> m_finishes;
};

#endif
