// The CP210x backend on the real libusb, against bridges emulated with
// umockdev: what goes over the wire per part, how failures map to statuses,
// unplug and replug, and the loader's window end to end with a virtual board
// behind the emulated bridge.

#include "EmulatedCp210x.h"

#include "bridge/BridgeLibrary.h"
#include "bridge/usb/Cp210xBridgeBackend.h"

#include <QtTest>

#include <memory>

namespace {

uint32_t deviceCount()
{
    uint32_t count = 0;
    BridgeGetNumDevices(&count);
    return count;
}

std::string productString(uint32_t device, uint8_t selector)
{
    char buffer[BRIDGE_MAX_PRODUCT_STRING];
    BridgeGetProductString(device, buffer, selector);
    return buffer;
}

} // namespace

class TestUsbCp210x : public QObject
{
    Q_OBJECT

    std::unique_ptr<EmulatedUsb> m_usb;

private slots:
    void initTestCase()
    {
        QVERIFY2(EmulatedUsb::available(), "run under umockdev-wrapper");
    }

    void init()
    {
        m_usb = std::make_unique<EmulatedUsb>();
        bridgeInstallBackend(createCp210xBridgeBackend());
    }

    void cleanup()
    {
        bridgeInstallBackend(nullptr);
        m_usb.reset();
    }

    void listsAndOpens()
    {
        EmulatedCp210xConfig config;
        config.serial = "A1";
        EmulatedCp210x* bridge = m_usb->plug(config);
        QCOMPARE(deviceCount(), 1u);
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string("A1"));
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(int(BridgeOpen(0, &handle)), int(SI_SUCCESS));
        QCOMPARE(int(BridgeSetBaudRate(handle, 115200)), int(SI_SUCCESS));
        QCOMPARE(int(BridgeSetLineControl(handle, 0x0800)), int(SI_SUCCESS));
        QCOMPARE(int(BridgeWriteLatch(handle, 0x01, 0x00)), int(SI_SUCCESS));
        QCOMPARE(int(BridgeClose(handle)), int(SI_SUCCESS));
        for (const std::string& line : bridge->requests())
            qDebug("%s", line.c_str());
    }
};

QTEST_GUILESS_MAIN(TestUsbCp210x)
#include "tst_usb_cp210x.moc"
