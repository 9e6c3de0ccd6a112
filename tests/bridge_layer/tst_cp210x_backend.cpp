// The CP210x backend, driven through the bridge operations, checked at the
// level of the USB setup packets, claims and bulk bytes it produces, with a
// recording transport in place of libusb. The expected packets are written
// out as numbers on purpose: they are the chip's interface.

#include "LogCapture.h"
#include "bridge/BridgeLibrary.h"
#include "bridge/usb/Cp210xBridgeBackend.h"
#include "bridge/usb/RecordingUsbTransport.h"

#include <QtTest>

#include <libusb.h>

#include <cstring>

using Setup = RecordingUsbTransport::Setup;
using Bridge = RecordingUsbTransport::Bridge;

namespace {

struct Packet
{
    uint8_t requestType;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    std::vector<uint8_t> data;
    uint16_t length;
};

QString describe(const std::vector<Setup>& setups)
{
    QStringList parts;
    for (const Setup& s : setups) {
        QString data;
        for (uint8_t b : s.data)
            data += QString::asprintf(" %02X", b);
        parts << QString::asprintf("%02X/%02X/%04X/%04X len %u", s.requestType, s.request, s.value, s.index, s.length) +
                     (data.isEmpty() ? QString() : " [" + data.trimmed() + "]");
    }
    return parts.join("; ");
}

QString describe(const std::vector<Packet>& packets)
{
    std::vector<Setup> setups;
    for (const Packet& p : packets) {
        Setup s;
        s.requestType = p.requestType;
        s.request = p.request;
        s.value = p.value;
        s.index = p.index;
        s.data = p.data;
        s.length = p.length;
        setups.push_back(s);
    }
    return describe(setups);
}

Bridge bridge(uint16_t productId, uint8_t partNumber, const std::string& serial, uint8_t bus = 1,
              std::vector<uint8_t> ports = {1}, int interfaces = 1)
{
    Bridge b;
    b.productId = productId;
    b.partNumber = partNumber;
    b.serial = serial;
    b.bus = bus;
    b.portPath = std::move(ports);
    b.interfaces = interfaces;
    return b;
}

std::string productString(uint32_t device, uint8_t selector, BRIDGE_STATUS* status = nullptr)
{
    char buffer[BRIDGE_MAX_PRODUCT_STRING];
    BRIDGE_STATUS result = BridgeGetProductString(device, buffer, selector);
    if (status)
        *status = result;
    return buffer;
}

uint32_t deviceCount()
{
    uint32_t count = 0;
    BRIDGE_STATUS status = BridgeGetNumDevices(&count);
    return status == SI_SUCCESS ? count : 0xFFFFFFFFu;
}

uint32_t waiting(BRIDGE_HANDLE handle, BRIDGE_STATUS* status = nullptr)
{
    uint32_t count = 0, queue = 0;
    BRIDGE_STATUS result = BridgeCheckRxQueue(handle, &count, &queue);
    if (status)
        *status = result;
    return count;
}

} // namespace

#define COMPARE_PACKETS(actual, expected) QCOMPARE(describe(actual), describe(std::vector<Packet> expected))

class TestCp210xBackend : public QObject
{
    Q_OBJECT

    // The recorder outlives each backend so that what a backend does on its
    // way out can be looked at too.
    std::unique_ptr<RecordingUsbTransport> m_recorder;
    RecordingUsbTransport* m_usb = nullptr;

    // A fresh backend over a fresh recording transport, installed.
    void install()
    {
        m_recorder = std::make_unique<RecordingUsbTransport>();
        m_usb = m_recorder.get();
        bridgeInstallBackend(std::make_shared<Cp210xBridgeBackend>(m_usb->lend()));
    }

    BRIDGE_HANDLE openFresh(uint32_t device)
    {
        deviceCount();
        BRIDGE_HANDLE handle = nullptr;
        BRIDGE_STATUS status = BridgeOpen(device, &handle);
        if (status != SI_SUCCESS)
            qWarning("open of device %u failed with %u", device, status);
        m_usb->clearSetups();
        m_usb->clearEvents();
        return handle;
    }

private slots:
    void init() { install(); }
    void cleanup()
    {
        bridgeInstallBackend(nullptr);
        m_usb = nullptr;
        m_recorder.reset();
    }

    // ---- listing ----

    void devicesAreNumberedByBusAndPortPath()
    {
        m_usb->plug(bridge(0xEA60, 0x04, "late-bus2", 2, {1}));
        m_usb->plug(bridge(0xEA60, 0x20, "bus1-port3", 1, {3}));
        m_usb->plug(bridge(0xEA60, 0x04, "bus1-port1.2", 1, {1, 2}));
        m_usb->plug(bridge(0xEA60, 0x04, "bus1-port1", 1, {1}));
        Bridge foreign = bridge(0xEA60, 0x04, "other vendor", 1, {2});
        foreign.vendorId = 0x0403;
        m_usb->plug(foreign);
        m_usb->plug(bridge(0xEA90, 0x04, "other product", 1, {4}));

        QCOMPARE(deviceCount(), 4u);
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string("bus1-port1"));
        QCOMPARE(productString(1, SI_RETURN_SERIAL_NUMBER), std::string("bus1-port1.2"));
        QCOMPARE(productString(2, SI_RETURN_SERIAL_NUMBER), std::string("bus1-port3"));
        QCOMPARE(productString(3, SI_RETURN_SERIAL_NUMBER), std::string("late-bus2"));
        QCOMPARE(productString(3, SI_RETURN_DESCRIPTION), std::string("CP2104 USB to UART Bridge Controller"));
        BRIDGE_STATUS status = SI_SUCCESS;
        productString(4, SI_RETURN_SERIAL_NUMBER, &status);
        QCOMPARE(status, BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        productString(0, 2, &status);
        QCOMPARE(status, BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QVERIFY(m_usb->setups().empty()); // listing sends nothing to the chips
    }

    void everySupportedProductIdIsListed()
    {
        const uint16_t ids[] = {0xEA60, 0xEA61, 0xEA63, 0xEA70, 0xEA7A, 0xEA71, 0xEA7B};
        uint8_t port = 1;
        for (uint16_t id : ids)
            m_usb->plug(bridge(id, 0x04, "S" + std::to_string(id), 1, {port++}));
        QCOMPARE(deviceCount(), 7u);
        for (uint16_t id : {0xEA62, 0xEA80, 0x8A60})
            QVERIFY(!Cp210xBridgeBackend::isSupported(0x10C4, id));
        QVERIFY(!Cp210xBridgeBackend::isSupported(0x10C5, 0xEA60));
    }

    void theUdevRuleCoversExactlyTheseBridges()
    {
        QFile file(TIVAKO_SOURCE_DIR "/resources/linux/70-tivako-cp210x.rules");
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        const QString rules = QString::fromUtf8(file.readAll());
        QVERIFY(rules.contains("ATTR{idVendor}!=\"10c4\""));
        QSet<uint16_t> listed;
        QRegularExpression rule("^ATTR\\{idProduct\\}==\"([0-9a-f]{4})\", MODE=\"0664\", GROUP=\"plugdev\", "
                                "TAG\\+=\"uaccess\"$",
                                QRegularExpression::MultilineOption);
        for (auto it = rule.globalMatch(rules); it.hasNext();) {
            uint16_t id = uint16_t(it.next().captured(1).toUInt(nullptr, 16));
            QVERIFY2(Cp210xBridgeBackend::isSupported(0x10C4, id), qPrintable(QString::number(id, 16)));
            listed.insert(id);
        }
        for (uint32_t id = 0; id <= 0xFFFF; ++id) {
            if (Cp210xBridgeBackend::isSupported(0x10C4, uint16_t(id)))
                QVERIFY2(listed.contains(uint16_t(id)), qPrintable(QString::number(id, 16)));
        }
        QCOMPARE(listed.size(), 7);
    }

    void namesAreReadOncePerAttachment()
    {
        uint64_t a = m_usb->plug(bridge(0xEA60, 0x04, "A", 1, {1}));
        m_usb->plug(bridge(0xEA60, 0x04, "B", 1, {2}));
        for (int i = 0; i < 5; ++i)
            QCOMPARE(deviceCount(), 2u);
        QCOMPARE(m_usb->stringReads(), 2);
        QCOMPARE(m_usb->listCalls(), 5);

        // Unplugged and plugged in again: a new attachment, read afresh.
        m_usb->unplug(a);
        QCOMPARE(deviceCount(), 1u);
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string("B"));
        m_usb->plug(bridge(0xEA60, 0x04, "A", 1, {1}));
        QCOMPARE(deviceCount(), 2u);
        QCOMPARE(m_usb->stringReads(), 3);
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string("A"));
    }

    void multiPortBridgesListEachInterface()
    {
        Bridge dual = bridge(0xEA70, 0x05, "D1", 1, {1}, 2);
        dual.product = "CP2105 Dual USB to UART Bridge Controller";
        m_usb->plug(dual);
        m_usb->plug(bridge(0xEA71, 0x08, "Q1", 1, {2}, 4));
        QCOMPARE(deviceCount(), 6u);
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string("D1-0"));
        QCOMPARE(productString(1, SI_RETURN_SERIAL_NUMBER), std::string("D1-1"));
        QCOMPARE(productString(1, SI_RETURN_DESCRIPTION),
                 std::string("CP2105 Dual USB to UART Bridge Controller (interface 1)"));
        QCOMPARE(productString(5, SI_RETURN_SERIAL_NUMBER), std::string("Q1-3"));
        QCOMPARE(m_usb->stringReads(), 2);
    }

    void unreadableNamesFallBackToPartAndPlace()
    {
        LogCapture log;
        m_usb->failStrings(LIBUSB_ERROR_ACCESS, 2);
        m_usb->plug(bridge(0xEA60, 0x04, "hidden", 3, {1, 4}));
        m_usb->plug(bridge(0xEA71, 0x08, "hidden too", 3, {2}, 1));
        QCOMPARE(deviceCount(), 2u);
        QCOMPARE(productString(0, SI_RETURN_DESCRIPTION), std::string("CP210x USB to UART Bridge"));
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string("3-1.4"));
        QCOMPARE(productString(1, SI_RETURN_DESCRIPTION), std::string("CP2108 Quad USB to UART Bridge"));
        QCOMPARE(productString(1, SI_RETURN_SERIAL_NUMBER), std::string("3-2"));
        QCOMPARE(deviceCount(), 2u);
        QCOMPARE(log.count("udev rule"), 2); // once per device, not per refresh
        QCOMPARE(m_usb->stringReads(), 2);
    }

    void withoutUsbThereAreNoDevicesAndOneLogLine()
    {
        LogCapture log;
        m_usb->plug(bridge(0xEA60, 0x04, "A"));
        m_usb->failList(LIBUSB_ERROR_OTHER, 3);
        for (int i = 0; i < 3; ++i) {
            uint32_t count = 7;
            QCOMPARE(BridgeGetNumDevices(&count), BRIDGE_STATUS(SI_SUCCESS));
            QCOMPARE(count, 0u);
        }
        QCOMPARE(log.count("no USB access"), 1);
        QCOMPARE(log.count("Cp210xBridgeBackend::getNumDevices"), 1);
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(BridgeOpen(0, &handle), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        // USB comes back.
        QCOMPARE(deviceCount(), 1u);
        QCOMPARE(log.count("no USB access"), 1);
    }

    void aSystemWithoutAnyUsbDeviceSaysSoOnce()
    {
        // What a container sees: libusb starts, but there is no bus at all.
        LogCapture log;
        for (int i = 0; i < 3; ++i)
            QCOMPARE(deviceCount(), 0u);
        QCOMPARE(log.count("the system has no USB devices"), 1);
        // A system with USB but no bridge is nothing to report.
        install();
        log.clear();
        Bridge mouse = bridge(0xC077, 0, "mouse");
        mouse.vendorId = 0x046D;
        m_usb->plug(mouse);
        QCOMPARE(deviceCount(), 0u);
        QCOMPARE(log.count("Cp210xBridgeBackend"), 0);
    }

    void theRealStackNeverFailsTheCount()
    {
        // Whatever this machine has (often no USB at all): a count, no crash,
        // at most one line however often it is asked.
        LogCapture log;
        bridgeInstallBackend(createCp210xBridgeBackend());
        uint32_t first = 0, again = 0;
        QCOMPARE(BridgeGetNumDevices(&first), BRIDGE_STATUS(SI_SUCCESS));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(BridgeGetNumDevices(&again), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(again, first);
        QVERIFY(log.count("no USB access") <= 1);
        bridgeInstallBackend(nullptr);
    }

    void stringDescriptorsBecomeLatin1()
    {
        const uint8_t text[] = {12, LIBUSB_DT_STRING, 'A', 0, 0xE9, 0, 0x3A, 0x26, 0, 0, 'z', 0};
        QCOMPARE(latin1FromStringDescriptor(text, sizeof(text)), std::string("A\xE9??z"));
        // The descriptor's own length wins over a longer transfer.
        const uint8_t shorter[] = {6, LIBUSB_DT_STRING, 'o', 0, 'k', 0, 'X', 0};
        QCOMPARE(latin1FromStringDescriptor(shorter, sizeof(shorter)), std::string("ok"));
        // And a short transfer over the descriptor's claim; odd tails dropped.
        QCOMPARE(latin1FromStringDescriptor(shorter, 5), std::string("o"));
        const uint8_t wrongType[] = {4, LIBUSB_DT_DEVICE, 'n', 0};
        QCOMPARE(latin1FromStringDescriptor(wrongType, sizeof(wrongType)), std::string());
        QCOMPARE(latin1FromStringDescriptor(nullptr, 4), std::string());
        QCOMPARE(latin1FromStringDescriptor(text, 1), std::string());
    }

    // ---- open and close ----

    void openClaimsAndEnablesNothingElse()
    {
        uint64_t key = m_usb->plug(bridge(0xEA60, 0x04, "A"));
        QCOMPARE(deviceCount(), 1u);
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(BridgeOpen(0, &handle), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(handle);
        const std::string k = std::to_string(key);
        QCOMPARE(m_usb->events(), (std::vector<std::string>{"strings " + k, "open " + k, "claim " + k + "/0"}));
        COMPARE_PACKETS(m_usb->setups(), ({{0x41, 0x00, 0x0001, 0x0000, {}, 0}}));
        QVERIFY(m_usb->isClaimed(key, 0));

        m_usb->clearSetups();
        m_usb->clearEvents();
        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_SUCCESS));
        COMPARE_PACKETS(m_usb->setups(), ({{0x41, 0x12, 0x000F, 0x0000, {}, 0}, {0x41, 0x00, 0x0000, 0x0000, {}, 0}}));
        QCOMPARE(m_usb->events(), (std::vector<std::string>{"release " + k + "/0", "close " + k}));
        QVERIFY(!m_usb->isClaimed(key, 0));
        QCOMPARE(m_usb->openLinks(), 0);
        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_INVALID_HANDLE));
    }

    void requestsOfASecondPortCarryItsInterface()
    {
        uint64_t key = m_usb->plug(bridge(0xEA70, 0x05, "D", 1, {1}, 2));
        QCOMPARE(deviceCount(), 2u);
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(BridgeOpen(1, &handle), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(m_usb->isClaimed(key, 1));
        QVERIFY(!m_usb->isClaimed(key, 0));
        QCOMPARE(BridgeSetBaudRate(handle, 115200), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeSetLineControl(handle, BRIDGE_LINE_8N1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeFlushBuffers(handle, 1, 1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_SUCCESS));
        COMPARE_PACKETS(m_usb->setups(), ({{0x41, 0x00, 0x0001, 0x0001, {}, 0},
                                           {0x41, 0x1E, 0x0000, 0x0001, {0x00, 0xC2, 0x01, 0x00}, 4},
                                           {0x41, 0x03, 0x0800, 0x0001, {}, 0},
                                           {0x41, 0x12, 0x000F, 0x0001, {}, 0},
                                           {0x41, 0x12, 0x000F, 0x0001, {}, 0},
                                           {0x41, 0x00, 0x0000, 0x0001, {}, 0}}));
    }

    void openFailuresReportNotFoundAndLeaveNothingBehind_data()
    {
        QTest::addColumn<QString>("where");
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("status");
        QTest::newRow("no permission") << "open" << int(LIBUSB_ERROR_ACCESS) << int(SI_DEVICE_NOT_FOUND);
        QTest::newRow("gone") << "open" << int(LIBUSB_ERROR_NO_DEVICE) << int(SI_DEVICE_NOT_FOUND);
        QTest::newRow("out of memory") << "open" << int(LIBUSB_ERROR_NO_MEM) << int(SI_GLOBAL_DATA_ERROR);
        QTest::newRow("claimed by another program") << "claim" << int(LIBUSB_ERROR_BUSY) << int(SI_DEVICE_NOT_FOUND);
        QTest::newRow("enable fails") << "enable" << int(LIBUSB_ERROR_IO) << int(SI_DEVICE_NOT_FOUND);
        QTest::newRow("enable times out") << "enable" << int(LIBUSB_ERROR_TIMEOUT) << int(SI_DEVICE_NOT_FOUND);
    }

    void openFailuresReportNotFoundAndLeaveNothingBehind()
    {
        QFETCH(QString, where);
        QFETCH(int, error);
        QFETCH(int, status);
        LogCapture log;
        uint64_t key = m_usb->plug(bridge(0xEA60, 0x04, "A"));
        QCOMPARE(deviceCount(), 1u);
        if (where == "open")
            m_usb->failOpen(error, 1);
        else if (where == "claim")
            m_usb->failClaim(error, 1);
        else
            m_usb->failControl(0x00, error, 1);
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(int(BridgeOpen(0, &handle)), status);
        QVERIFY(handle == nullptr);
        QCOMPARE(m_usb->openLinks(), 0);
        QVERIFY(!m_usb->isClaimed(key, 0));
        QCOMPARE(log.count("Cp210xBridgeBackend::open"), 1);
        // The next attempt works.
        QCOMPARE(BridgeOpen(0, &handle), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_SUCCESS));
    }

    void aDeviceOpensOnlyOnce()
    {
        m_usb->plug(bridge(0xEA60, 0x04, "A"));
        BRIDGE_HANDLE first = openFresh(0);
        QVERIFY(first);
        BRIDGE_HANDLE second = nullptr;
        QCOMPARE(BridgeOpen(0, &second), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QVERIFY(m_usb->setups().empty());
        QCOMPARE(BridgeSetLineControl(first, BRIDGE_LINE_8N1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeClose(first), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeOpen(0, &second), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(second != first);
        QCOMPARE(BridgeSetLineControl(first, BRIDGE_LINE_8N1), BRIDGE_STATUS(SI_INVALID_HANDLE));
    }

    void deviceNumbersOutsideTheListAreNotFound()
    {
        m_usb->plug(bridge(0xEA60, 0x04, "A"));
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(BridgeOpen(1, &handle), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND)); // counted on demand: one device
        QCOMPARE(BridgeOpen(0xFFFFFFFFu, &handle), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(m_usb->openLinks(), 0);
    }

    // ---- line settings ----

    void baudRateGoesAsFourLittleEndianBytes()
    {
        m_usb->plug(bridge(0xEA60, 0x04, "A"));
        BRIDGE_HANDLE handle = openFresh(0);
        QCOMPARE(BridgeSetBaudRate(handle, 115200), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeSetBaudRate(handle, 3000000), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeSetBaudRate(handle, 300), BRIDGE_STATUS(SI_SUCCESS));
        COMPARE_PACKETS(m_usb->setups(), ({{0x41, 0x1E, 0x0000, 0x0000, {0x00, 0xC2, 0x01, 0x00}, 4},
                                           {0x41, 0x1E, 0x0000, 0x0000, {0xC0, 0xC6, 0x2D, 0x00}, 4},
                                           {0x41, 0x1E, 0x0000, 0x0000, {0x2C, 0x01, 0x00, 0x00}, 4}}));
        m_usb->clearSetups();
        for (uint32_t rate : {0u, 299u, 3000001u, 0xFFFFFFFFu})
            QCOMPARE(BridgeSetBaudRate(handle, rate), BRIDGE_STATUS(SI_INVALID_BAUDRATE));
        QVERIFY(m_usb->setups().empty());
    }

    void lineControlWordGoesUnchanged()
    {
        m_usb->plug(bridge(0xEA60, 0x20, "A"));
        BRIDGE_HANDLE handle = openFresh(0);
        QCOMPARE(BridgeSetLineControl(handle, BRIDGE_LINE_8E1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeSetLineControl(handle, BRIDGE_LINE_8N1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeSetLineControl(handle, 0x0712), BRIDGE_STATUS(SI_SUCCESS)); // 7O2
        COMPARE_PACKETS(m_usb->setups(), ({{0x41, 0x03, 0x0820, 0x0000, {}, 0},
                                           {0x41, 0x03, 0x0800, 0x0000, {}, 0},
                                           {0x41, 0x03, 0x0712, 0x0000, {}, 0}}));
        m_usb->clearSetups();
        // Nine data bits, four data bits, parity 5, three stop bits.
        for (uint16_t word : {0x0900, 0x0400, 0x0850, 0x0803})
            QCOMPARE(BridgeSetLineControl(handle, word), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QVERIFY(m_usb->setups().empty());
    }

    // ---- GPIO latch ----

    void latchOfSinglePortPartsGoesInTheIndex_data()
    {
        QTest::addColumn<int>("partNumber");
        QTest::newRow("CP2104") << 0x04;
        QTest::newRow("CP2103") << 0x03;
        QTest::newRow("CP2102N QFN28") << 0x20;
        QTest::newRow("CP2102N QFN24") << 0x21;
        QTest::newRow("CP2102N QFN20") << 0x22;
    }

    void latchOfSinglePortPartsGoesInTheIndex()
    {
        QFETCH(int, partNumber);
        m_usb->plug(bridge(0xEA60, uint8_t(partNumber), "A"));
        BRIDGE_HANDLE handle = openFresh(0);
        QCOMPARE(BridgeWriteLatch(handle, 0x03, 0x01), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeWriteLatch(handle, 0x02, 0x00), BRIDGE_STATUS(SI_SUCCESS));
        // The part is asked once, at the first latch write.
        COMPARE_PACKETS(m_usb->setups(), ({{0xC0, 0xFF, 0x370B, 0x0000, {}, 1},
                                           {0x40, 0xFF, 0x37E1, 0x0103, {}, 0},
                                           {0x40, 0xFF, 0x37E1, 0x0002, {}, 0}}));
    }

    void latchOfCp2105GoesAsTwoDataBytes()
    {
        m_usb->plug(bridge(0xEA70, 0x05, "D", 1, {1}, 2));
        BRIDGE_HANDLE handle = openFresh(1);
        QCOMPARE(BridgeWriteLatch(handle, 0x02, 0x00), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeWriteLatch(handle, 0x01, 0x01), BRIDGE_STATUS(SI_SUCCESS));
        COMPARE_PACKETS(m_usb->setups(), ({{0x41, 0xFF, 0x37E1, 0x0001, {0x02, 0x00}, 2},
                                           {0x41, 0xFF, 0x37E1, 0x0001, {0x01, 0x01}, 2}}));
    }

    void latchOfCp2108GoesAsFourLittleEndianBytes()
    {
        m_usb->plug(bridge(0xEA71, 0x08, "Q", 1, {1}, 4));
        BRIDGE_HANDLE handle = openFresh(2);
        QCOMPARE(BridgeWriteLatch(handle, 0x03, 0x01), BRIDGE_STATUS(SI_SUCCESS));
        COMPARE_PACKETS(m_usb->setups(), ({{0x41, 0xFF, 0x37E1, 0x0002, {0x03, 0x00, 0x01, 0x00}, 4}}));
    }

    void partsWithoutGpioRefuseTheLatch_data()
    {
        QTest::addColumn<int>("partNumber");
        QTest::newRow("CP2102") << 0x02;
        QTest::newRow("CP2101") << 0x01;
        QTest::newRow("CP2109") << 0x09;
        QTest::newRow("unknown part") << 0x7E;
    }

    void partsWithoutGpioRefuseTheLatch()
    {
        QFETCH(int, partNumber);
        m_usb->plug(bridge(0xEA60, uint8_t(partNumber), "A"));
        BRIDGE_HANDLE handle = openFresh(0);
        QCOMPARE(BridgeWriteLatch(handle, 0x01, 0x00), BRIDGE_STATUS(SI_FUNCTION_NOT_SUPPORTED));
        COMPARE_PACKETS(m_usb->setups(), ({{0xC0, 0xFF, 0x370B, 0x0000, {}, 1}}));
        m_usb->clearSetups();
        QCOMPARE(BridgeWriteLatch(handle, 0x02, 0x02), BRIDGE_STATUS(SI_FUNCTION_NOT_SUPPORTED));
        QVERIFY(m_usb->setups().empty()); // no request at all once the part is known
    }

    void aFailedPartQueryIsAskedAgain()
    {
        m_usb->plug(bridge(0xEA60, 0x04, "A"));
        BRIDGE_HANDLE handle = openFresh(0);
        m_usb->failControl(0xFF, LIBUSB_ERROR_IO, 1, 0x370B);
        QCOMPARE(BridgeWriteLatch(handle, 0x01, 0x00), BRIDGE_STATUS(SI_DEVICE_IO_FAILED));
        COMPARE_PACKETS(m_usb->setups(), ({{0xC0, 0xFF, 0x370B, 0x0000, {}, 1}}));
        m_usb->clearSetups();
        QCOMPARE(BridgeWriteLatch(handle, 0x01, 0x00), BRIDGE_STATUS(SI_SUCCESS));
        COMPARE_PACKETS(m_usb->setups(), ({{0xC0, 0xFF, 0x370B, 0x0000, {}, 1}, {0x40, 0xFF, 0x37E1, 0x0001, {}, 0}}));
    }

    // ---- failures of requests ----

    void requestFailuresMapToTheNearestStatus_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("request");
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("status");
        QTest::newRow("baud refused by the chip")
            << "baud" << 0x1E << int(LIBUSB_ERROR_PIPE) << int(SI_INVALID_BAUDRATE);
        QTest::newRow("baud I/O") << "baud" << 0x1E << int(LIBUSB_ERROR_IO) << int(SI_DEVICE_IO_FAILED);
        QTest::newRow("baud time-out") << "baud" << 0x1E << int(LIBUSB_ERROR_TIMEOUT) << int(SI_DEVICE_IO_FAILED);
        QTest::newRow("baud gone") << "baud" << 0x1E << int(LIBUSB_ERROR_NO_DEVICE) << int(SI_DEVICE_NOT_FOUND);
        QTest::newRow("line I/O") << "line" << 0x03 << int(LIBUSB_ERROR_IO) << int(SI_DEVICE_IO_FAILED);
        QTest::newRow("line stall") << "line" << 0x03 << int(LIBUSB_ERROR_PIPE) << int(SI_DEVICE_IO_FAILED);
        QTest::newRow("line gone") << "line" << 0x03 << int(LIBUSB_ERROR_NO_DEVICE) << int(SI_DEVICE_NOT_FOUND);
        QTest::newRow("line no memory") << "line" << 0x03 << int(LIBUSB_ERROR_NO_MEM) << int(SI_SYSTEM_ERROR_CODE);
        QTest::newRow("latch I/O") << "latch" << 0xFF << int(LIBUSB_ERROR_IO) << int(SI_DEVICE_IO_FAILED);
        QTest::newRow("latch gone") << "latch" << 0xFF << int(LIBUSB_ERROR_NO_DEVICE) << int(SI_DEVICE_NOT_FOUND);
        QTest::newRow("latch unsupported")
            << "latch" << 0xFF << int(LIBUSB_ERROR_NOT_SUPPORTED) << int(SI_FUNCTION_NOT_SUPPORTED);
        QTest::newRow("flush I/O") << "flush" << 0x12 << int(LIBUSB_ERROR_IO) << int(SI_DEVICE_IO_FAILED);
        QTest::newRow("flush gone") << "flush" << 0x12 << int(LIBUSB_ERROR_NO_DEVICE) << int(SI_DEVICE_NOT_FOUND);
        QTest::newRow("flush bad parameter")
            << "flush" << 0x12 << int(LIBUSB_ERROR_INVALID_PARAM) << int(SI_INVALID_PARAMETER);
    }

    void requestFailuresMapToTheNearestStatus()
    {
        QFETCH(QString, operation);
        QFETCH(int, request);
        QFETCH(int, error);
        QFETCH(int, status);
        m_usb->plug(bridge(0xEA70, 0x05, "D", 1, {1}, 2)); // no part query in the way
        BRIDGE_HANDLE handle = openFresh(0);
        m_usb->failControl(uint8_t(request), error, 1);
        auto run = [&] {
            if (operation == "baud")
                return BridgeSetBaudRate(handle, 115200);
            if (operation == "line")
                return BridgeSetLineControl(handle, BRIDGE_LINE_8E1);
            if (operation == "latch")
                return BridgeWriteLatch(handle, 0x01, 0x00);
            return BridgeFlushBuffers(handle, 1, 1);
        };
        QCOMPARE(int(run()), status);
        QCOMPARE(int(run()), int(SI_SUCCESS)); // the failure was once only
        QCOMPARE(m_usb->setups().size(), size_t(2));
    }

    void flushPicksTheDirections()
    {
        m_usb->plug(bridge(0xEA60, 0x04, "A"));
        BRIDGE_HANDLE handle = openFresh(0);
        QCOMPARE(BridgeFlushBuffers(handle, 1, 0), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeFlushBuffers(handle, 0, 1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeFlushBuffers(handle, 0, 0), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeFlushBuffers(handle, 1, 1), BRIDGE_STATUS(SI_SUCCESS));
        COMPARE_PACKETS(m_usb->setups(), ({{0x41, 0x12, 0x0005, 0x0000, {}, 0},
                                           {0x41, 0x12, 0x000A, 0x0000, {}, 0},
                                           {0x41, 0x12, 0x000F, 0x0000, {}, 0}}));
    }

    void everyHandleOperationRefusesForeignHandles()
    {
        m_usb->plug(bridge(0xEA60, 0x04, "A"));
        BRIDGE_HANDLE live = openFresh(0);
        for (BRIDGE_HANDLE handle : {BRIDGE_HANDLE(nullptr), bridgeHandleFromId(0x5A5A), bridgeHandleFromId(2)}) {
            QVERIFY(handle != live);
            uint32_t n = 0, q = 0;
            uint8_t byte = 0;
            QCOMPARE(BridgeSetBaudRate(handle, 115200), BRIDGE_STATUS(SI_INVALID_HANDLE));
            QCOMPARE(BridgeSetLineControl(handle, BRIDGE_LINE_8N1), BRIDGE_STATUS(SI_INVALID_HANDLE));
            QCOMPARE(BridgeWriteLatch(handle, 1, 1), BRIDGE_STATUS(SI_INVALID_HANDLE));
            QCOMPARE(BridgeCheckRxQueue(handle, &n, &q), BRIDGE_STATUS(SI_INVALID_HANDLE));
            QCOMPARE(BridgeRead(handle, &byte, 1, &n), BRIDGE_STATUS(SI_INVALID_HANDLE));
            QCOMPARE(BridgeWrite(handle, &byte, 1, &n), BRIDGE_STATUS(SI_INVALID_HANDLE));
            QCOMPARE(BridgeFlushBuffers(handle, 1, 1), BRIDGE_STATUS(SI_INVALID_HANDLE));
            QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_INVALID_HANDLE));
        }
        QVERIFY(m_usb->setups().empty());
        QCOMPARE(BridgeClose(live), BRIDGE_STATUS(SI_SUCCESS));
    }

    // ---- data ----

    void receivedBytesAreBufferedAndReadAtMostAsAsked()
    {
        uint64_t key = m_usb->plug(bridge(0xEA60, 0x04, "A"));
        BRIDGE_HANDLE handle = openFresh(0);
        QCOMPARE(waiting(handle), 0u);
        m_usb->sendFromBoard(key, 0, {'h', 'e', 'l', 'l', 'o'});
        QTRY_COMPARE_WITH_TIMEOUT(waiting(handle), 5u, 10000);
        uint32_t queue = 0, count = 0;
        QCOMPARE(BridgeCheckRxQueue(handle, &count, &queue), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(queue, 2u);
        char in[16] = {};
        uint32_t got = 0;
        QCOMPARE(BridgeRead(handle, in, 3, &got), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(QByteArray(in, int(got)), QByteArray("hel"));
        QCOMPARE(BridgeRead(handle, in, 16, &got), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(QByteArray(in, int(got)), QByteArray("lo"));
        QCOMPARE(BridgeRead(handle, in, 16, &got), BRIDGE_STATUS(SI_SUCCESS)); // nothing there: no wait
        QCOMPARE(got, 0u);

        // Flushing the receive side drops what the host holds.
        m_usb->sendFromBoard(key, 0, {1, 2, 3});
        QTRY_COMPARE_WITH_TIMEOUT(waiting(handle), 3u, 10000);
        QCOMPARE(BridgeFlushBuffers(handle, 0, 1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(waiting(handle), 0u);

        // A large burst arrives whole and in order.
        std::vector<uint8_t> burst(20000);
        for (size_t i = 0; i < burst.size(); ++i)
            burst[i] = uint8_t(i * 7);
        m_usb->sendFromBoard(key, 0, burst);
        QTRY_COMPARE_WITH_TIMEOUT(waiting(handle), 20000u, 10000);
        std::vector<uint8_t> back(20000);
        QCOMPARE(BridgeRead(handle, back.data(), 20000, &got), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(got, 20000u);
        QVERIFY(back == burst);
        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_SUCCESS));
    }

    void writeSendsEverythingOrSaysWhy()
    {
        uint64_t key = m_usb->plug(bridge(0xEA60, 0x04, "A"));
        BRIDGE_HANDLE handle = openFresh(0);
        QCOMPARE(BridgeSetBaudRate(handle, 115200), BRIDGE_STATUS(SI_SUCCESS));

        // The stack takes a few bytes at a time: all are sent, in order.
        m_usb->limitBulkOut(7);
        std::vector<uint8_t> data(300);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = uint8_t(i);
        uint32_t written = 0;
        QCOMPARE(BridgeWrite(handle, data.data(), 300, &written), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(written, 300u);
        QVERIFY(m_usb->sentToBoard(key, 0) == data);
        m_usb->limitBulkOut(0);

        m_usb->failBulkOut(LIBUSB_ERROR_TIMEOUT, 1, 10);
        QCOMPARE(BridgeWrite(handle, data.data(), 64, &written), BRIDGE_STATUS(SI_WRITE_TIMED_OUT));
        QCOMPARE(written, 10u);
        m_usb->failBulkOut(LIBUSB_ERROR_IO, 1);
        QCOMPARE(BridgeWrite(handle, data.data(), 64, &written), BRIDGE_STATUS(SI_DEVICE_IO_FAILED));
        QCOMPARE(written, 0u);
        m_usb->failBulkOut(LIBUSB_ERROR_PIPE, 1);
        QCOMPARE(BridgeWrite(handle, data.data(), 64, &written), BRIDGE_STATUS(SI_DEVICE_IO_FAILED));
        m_usb->failBulkOut(LIBUSB_ERROR_NO_DEVICE, 1);
        QCOMPARE(BridgeWrite(handle, data.data(), 64, &written), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        m_usb->failBulkOut(LIBUSB_ERROR_NO_MEM, 1);
        QCOMPARE(BridgeWrite(handle, data.data(), 64, &written), BRIDGE_STATUS(SI_SYSTEM_ERROR_CODE));

        QCOMPARE(BridgeWrite(handle, data.data(), 0, &written), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(written, 0u);
        QCOMPARE(m_usb->sentToBoard(key, 0).size(), size_t(310));
    }

    void anUnpluggedDeviceReportsNotFoundAndStillCloses()
    {
        LogCapture log;
        uint64_t key = m_usb->plug(bridge(0xEA60, 0x04, "A"));
        BRIDGE_HANDLE handle = openFresh(0);
        m_usb->sendFromBoard(key, 0, {'x', 'y'});
        QTRY_COMPARE_WITH_TIMEOUT(waiting(handle), 2u, 10000);
        m_usb->unplug(key);

        // What arrived before is still handed out, then the loss shows.
        char in[4];
        uint32_t got = 0;
        QCOMPARE(BridgeRead(handle, in, 4, &got), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(got, 2u);
        BRIDGE_STATUS status = SI_SUCCESS;
        QTRY_VERIFY_WITH_TIMEOUT((waiting(handle, &status), status == SI_DEVICE_NOT_FOUND), 10000);
        QCOMPARE(BridgeRead(handle, in, 4, &got), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(BridgeWrite(handle, "a", 1, &got), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(BridgeSetLineControl(handle, BRIDGE_LINE_8N1), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(BridgeWriteLatch(handle, 1, 1), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(deviceCount(), 0u);

        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(m_usb->openLinks(), 0);
        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(log.count("Cp210xBridgeBackend::close"), 0); // a vanished device is no surprise
        QCOMPARE(log.count("Cp210xBridgeBackend::read"), 1);
    }

    void aReceiverThatKeepsFailingGivesUp()
    {
        LogCapture log;
        uint64_t key = m_usb->plug(bridge(0xEA60, 0x04, "A"));
        BRIDGE_HANDLE handle = openFresh(0);
        m_usb->failBulkIn(LIBUSB_ERROR_IO, 2); // passing trouble: reading goes on
        m_usb->sendFromBoard(key, 0, {'o', 'k'});
        QTRY_COMPARE_WITH_TIMEOUT(waiting(handle), 2u, 10000);
        QCOMPARE(log.count("Cp210xBridgeBackend::read"), 0);

        m_usb->failBulkIn(LIBUSB_ERROR_IO); // lasting trouble
        char in[4];
        uint32_t got = 0;
        QCOMPARE(BridgeRead(handle, in, 4, &got), BRIDGE_STATUS(SI_SUCCESS));
        BRIDGE_STATUS status = SI_SUCCESS;
        QTRY_VERIFY_WITH_TIMEOUT((waiting(handle, &status), status == SI_DEVICE_IO_FAILED), 10000);
        QCOMPARE(log.count("Cp210xBridgeBackend::read"), 1);
        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_SUCCESS));
    }

    void droppingTheBackendHandsEveryPortBack()
    {
        uint64_t key = m_usb->plug(bridge(0xEA70, 0x05, "D", 1, {1}, 2));
        QCOMPARE(deviceCount(), 2u);
        BRIDGE_HANDLE a = nullptr, b = nullptr;
        QCOMPARE(BridgeOpen(0, &a), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeOpen(1, &b), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(m_usb->isClaimed(key, 0) && m_usb->isClaimed(key, 1));
        m_usb->clearSetups();
        bridgeInstallBackend(nullptr); // the last reference: the backend goes
        QCOMPARE(m_usb->openLinks(), 0);
        QVERIFY(!m_usb->isClaimed(key, 0) && !m_usb->isClaimed(key, 1));
        COMPARE_PACKETS(m_usb->setups(), ({{0x41, 0x12, 0x000F, 0x0000, {}, 0},
                                           {0x41, 0x00, 0x0000, 0x0000, {}, 0},
                                           {0x41, 0x12, 0x000F, 0x0001, {}, 0},
                                           {0x41, 0x00, 0x0000, 0x0001, {}, 0}}));
    }
};

QTEST_GUILESS_MAIN(TestCp210xBackend)
#include "tst_cp210x_backend.moc"
