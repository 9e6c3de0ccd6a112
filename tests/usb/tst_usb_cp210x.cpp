// The CP210x backend on the real libusb against emulated bridges with virtual boards behind them, and the
// loader end to end over it. Requests are written out as numbers on purpose: they are the chip's interface.

#include "EmulatedCp210x.h" // first, see there

#include "bridge/BridgeLibrary.h"
#include "bridge/KX_SI_USBXpressDev.h"
#include "bridge/usb/Cp210xBridgeBackend.h"
#include "tests/support/MainWindowRig.h"
#include "tests/support/SimTestSupport.h"
#include "ui/RidivuDizerozoDuveze.h"

#include <QtTest>

using namespace rig;

namespace {

const QByteArray kGet("\x00\xff", 2);
const int kGetReplyLength = 15; // ACK, count, version, 11 command codes, ACK

BRIDGE_HANDLE openConfigured(uint32_t device, uint16_t line = BRIDGE_LINE_8N1)
{
    BRIDGE_HANDLE handle = nullptr;
    const bool set = BridgeOpen(device, &handle) == SI_SUCCESS && BridgeSetBaudRate(handle, 115200) == SI_SUCCESS &&
                     BridgeSetLineControl(handle, line) == SI_SUCCESS;
    return set ? handle : nullptr;
}

// Sends, then takes what has come once `expected` bytes are there or the time is up.
QByteArray exchange(BRIDGE_HANDLE handle, const QByteArray& bytes, int expected = kGetReplyLength, int ms = 3000)
{
    uint32_t count = 0;
    BridgeWrite(handle, bytes.constData(), uint32_t(bytes.size()), &count);
    waitUntil([&] { return waiting(handle) >= expected; }, ms);
    QByteArray reply(std::max(waiting(handle), 0), '\0');
    BridgeRead(handle, reply.data(), uint32_t(reply.size()), &count);
    return reply.left(int(count));
}

// The ROM bootloader on the board behind the handle (open at 8E1), synchronised.
bool enterBootloader(BRIDGE_HANDLE handle)
{
    BridgeWriteLatch(handle, 0x03, 0x00); // reset held, BOOT0 high
    QThread::msleep(5);
    BridgeWriteLatch(handle, 0x01, 0x01);
    QThread::msleep(5);
    return exchange(handle, "\x7f", 1) == "\x79";
}

} // namespace

class TestUsbCp210x : public QObject
{
    Q_OBJECT

    std::unique_ptr<Log> m_log;
    UMockdevTestbed* m_testbed = nullptr;
    std::vector<std::unique_ptr<EmulatedCp210x>> m_bridges;
    int m_nextDevice = 2; // 1 is the root hub

    EmulatedCp210x* plug(const EmulatedCp210xConfig& config = {})
    {
        m_bridges.push_back(std::make_unique<EmulatedCp210x>(m_testbed, config, m_nextDevice++));
        return m_bridges.back().get();
    }
    void replug(EmulatedCp210x* bridge) // back at once under a new device number
    {
        bridge->unplug();
        bridge->plug(m_nextDevice++);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(qgetenv("LD_PRELOAD").contains("libumockdev-preload"), "run under umockdev-wrapper");
        isolate();
    }

    void init()
    {
        qunsetenv("TIVAKO_USB_IDS");
        m_log = std::make_unique<Log>();
        m_testbed = umockdev_testbed_new();
        bridgeInstallBackend(createCp210xBridgeBackend());
    }

    void cleanup()
    {
        bridgeInstallBackend(nullptr);
        m_bridges.clear();
        g_object_unref(m_testbed);
        m_log.reset();
    }

    // Open to close: the part asked, not guessed from the id; flow control the last owner left off (early
    // CP2102N firmware: also in the XON limit); reading only once the line is set; the latch in the part's form.
    void requestsPerPart_data()
    {
        QTest::addColumn<int>("part");
        QTest::addColumn<int>("productId");
        QTest::addColumn<int>("firmware"); // CP2102N firmware 1.0.n
        QTest::addColumn<int>("port");
        QTest::addColumn<QStringList>("latch");
        const QStringList single{"40 FF 37E1 0001", "40 FF 37E1 0202"};
        QTest::newRow("CP2104") << int(Cp210xPart::Cp2104) << 0 << 8 << 0 << single;
        QTest::newRow("CP2102N") << int(Cp210xPart::Cp2102n) << 0 << 8 << 0 << single;
        QTest::newRow("CP2102N with erratum E104") << int(Cp210xPart::Cp2102n) << 0 << 4 << 0 << single;
        QTest::newRow("CP2104 under the CP2105's id") << int(Cp210xPart::Cp2104) << 0xEA70 << 8 << 0 << single;
        QTest::newRow("CP2105 port 1") << int(Cp210xPart::Cp2105) << 0 << 8 << 1
                                       << QStringList{"41 FF 37E1 0001 [01 00]", "41 FF 37E1 0001 [02 02]"};
        QTest::newRow("CP2108 port 2") << int(Cp210xPart::Cp2108) << 0 << 8 << 2
                                       << QStringList{"41 FF 37E1 0002 [00 01 00 00]", "41 FF 37E1 0002 [00 02 00 02]"};
    }

    void requestsPerPart()
    {
        QFETCH(int, part);
        QFETCH(int, productId);
        QFETCH(int, firmware);
        QFETCH(int, port);
        QFETCH(QStringList, latch);
        EmulatedCp210xConfig config("0001", 1, 0x10C4, uint16_t(productId), Cp210xPart(part));
        config.firmwareVersion[2] = uint8_t(firmware);
        EmulatedCp210x* bridge = plug(config);
        const int count = bridge->interfaceCount(); // one device per UART
        QVERIFY(!productString(uint32_t(count - 1)).isEmpty() && productString(uint32_t(count)).isEmpty());
        BRIDGE_HANDLE handle = openConfigured(uint32_t(port), BRIDGE_LINE_8E1);
        QVERIFY(handle);
        QCOMPARE(int(BridgeWriteLatch(handle, 0x01, 0x00)), int(SI_SUCCESS));
        QCOMPARE(int(BridgeWriteLatch(handle, 0x02, 0x02)), int(SI_SUCCESS));
        const QString read = QString::asprintf("read %02X", 0x81 + port), ix = QString::asprintf(" %04X", port);
        QVERIFY(waitUntil([&] { return bridge->requests().contains(read); }, 3000));
        QCOMPARE(int(BridgeClose(handle)), int(SI_SUCCESS));
        const bool cp2102n = part == int(Cp210xPart::Cp2102n);
        QStringList expected{QString("claim %1").arg(port), "41 00 0001" + ix, "C0 FF 370B" + ix + " <1"};
        if (cp2102n)
            expected << "C0 FF 0010 0000 <3";
        expected << "C1 14 0000" + ix + " <16"
                 << "41 13 0000" + ix + " [01 00 00 00 40 00 00 00 " + (cp2102n && firmware <= 4 ? "40" : "80") +
                        " 00 00 00 80 00 00 00]"
                 << "41 07 0303" + ix << "41 12 000F" + ix << "41 1E 0000" + ix + " [00 C2 01 00]"
                 << "41 03 0820" + ix << latch << "41 12 000F" + ix << "41 00 0000" + ix
                 << QString("release %1").arg(port) << QString("connect %1").arg(port);
        QStringList seen = bridge->requests();
        QVERIFY2(seen.indexOf(read) > seen.indexOf("41 03 0820" + ix), qPrintable(seen.join('\n')));
        seen.removeOne(read);
        QCOMPARE(seen, expected);
    }

    // Bridges in port order, each UART of a multi-port part a device with a name of its own, listing sends
    // nothing; one open per port; a device that is gone is not found and still closes; dropping the backend
    // hands every open port back to the kernel.
    void listingAndHandles()
    {
        EmulatedCp210xConfig dual("D", 3, 0x10C4, 0, Cp210xPart::Cp2105);
        dual.product = "CP2105 Dual USB to UART Bridge Controller";
        EmulatedCp210x* bridge = plug(dual);
        EmulatedCp210x* first = plug({"S"});
        QCOMPARE(productString(0) + productString(1) + productString(2) + productString(3), QString("SD-0D-1"));
        QCOMPARE(productString(2, SI_RETURN_DESCRIPTION), QString("%1 (interface 1)").arg(dual.product.c_str()));
        QVERIFY(first->requests().isEmpty() && bridge->requests().isEmpty());
        BRIDGE_HANDLE a = openConfigured(1), b = openConfigured(2), again = nullptr;
        QVERIFY(a && b && a != b);
        QCOMPARE(int(BridgeOpen(1, &again)), int(SI_DEVICE_NOT_FOUND));
        for (BRIDGE_HANDLE stale : {bridgeHandleFromId(0x7777), BRIDGE_HANDLE(nullptr)})
            QVERIFY(BridgeClose(stale) == SI_INVALID_HANDLE &&
                    handleCallStatuses(stale) == QVector<BRIDGE_STATUS>(7, SI_INVALID_HANDLE));
        QCOMPARE(int(BridgeSetBaudRate(a, 100)), int(SI_INVALID_BAUDRATE));
        QCOMPARE(int(BridgeSetLineControl(a, 0x0900)), int(SI_INVALID_PARAMETER));
        QCOMPARE(int(BridgeFlushBuffers(a, 0, 1)), int(SI_SUCCESS));
        QCOMPARE(bridge->requests().last(), QString("41 12 000A 0000"));
        bridgeInstallBackend(createCp210xBridgeBackend());
        QCOMPARE(bridge->port(0).connects + bridge->port(1).connects, 2);
        BRIDGE_HANDLE h = openConfigured(1);
        QVERIFY(h);
        bridge->unplug();
        uint32_t n = 0, q = 0;
        QCOMPARE(int(BridgeWrite(h, "x", 1, &n)), int(SI_DEVICE_NOT_FOUND));
        QVERIFY(waitUntil([&] { return BridgeCheckRxQueue(h, &n, &q) == SI_DEVICE_NOT_FOUND; }, 3000));
        QCOMPARE(int(BridgeClose(h)), int(SI_SUCCESS));
    }

    // Bytes the chip still had on the bus when a purge came go with it: nothing that arrived before a flush is
    // handed out after it. Read errors count only in a row; a stall is cleared; a reader that cannot go on
    // reports its device gone, once.
    void flushAndReaderRecovery()
    {
        EmulatedCp210x* bridge = plug();
        SimBoard* board = bridge->board();
        BRIDGE_HANDLE handle = openConfigured(0, BRIDGE_LINE_8E1);
        QVERIFY(handle && enterBootloader(handle));
        bridge->holdBulkIn(true);
        for (int round = 0; round < 5; ++round) {
            const uint64_t sent = board->counters().bytesSentByChip;
            QCOMPARE(exchange(handle, kGet, 0, 0).size(), 0); // held: nothing comes
            QVERIFY(waitUntil([&] { return board->counters().bytesSentByChip >= sent + kGetReplyLength; }, 3000));
            QCOMPARE(int(BridgeFlushBuffers(handle, 1, 1)), int(SI_SUCCESS));
            QThread::msleep(80); // time for a faulty reader to store what it got
            QCOMPARE(waiting(handle), 0);
        }
        bridge->holdBulkIn(false);
        QCOMPARE(exchange(handle, kGet, kGetReplyLength + 1, 500).size(), kGetReplyLength);
        for (int round = 0; round < 3; ++round) { // more than the limit in all, never in a row
            bridge->failBulkIn(-EIO, 3);
            QVERIFY(waitUntil([&] { return bridge->failuresLeft() == 0; }, 3000));
            const int quiet = bridge->discards();
            QVERIFY(waitUntil([&] { return bridge->discards() > quiet; }, 3000));
        }
        bridge->failBulkIn(-EPIPE, 1);
        QVERIFY(waitUntil([&] { return bridge->requests().contains("clear-halt 81"); }, 3000));
        QCOMPARE(exchange(handle, kGet).size(), kGetReplyLength);
        bridge->failBulkIn(-EIO, 1000);
        uint32_t n = 0, q = 0;
        QVERIFY(waitUntil([&] { return BridgeCheckRxQueue(handle, &n, &q) == SI_DEVICE_NOT_FOUND; }, 3000));
        QCOMPARE(Log::countContaining("receiving from interface 0 stopped"), 1);
        QCOMPARE(int(BridgeClose(handle)), int(SI_SUCCESS));
    }

    // A device gone between open and the line settings fails the open; the port is given back.
    void openFailsWhenTheDeviceVanishes()
    {
        EmulatedCp210x* bridge = plug();
        KX_SI_USBXpressDev device{KX_SI_USBXpressDev::ManualCycles{}};
        device.fillListOfDevice();
        QCOMPARE(device.getDeviceList().size(), 1);
        int connects = 0;
        for (uint8_t request : {uint8_t(0x1E), uint8_t(0x03)}) { // SET_BAUDRATE, SET_LINE_CTL
            bridge->vanishOnRequest(request);
            QCOMPARE(device.openDevice(0), -1);
            QVERIFY(!device.isConnected());
            QCOMPARE(bridge->port(0).connects, ++connects);
        }
        QCOMPARE(Log::lines().count(errorLine("KX_SI_USBXpressDev::openDevice", "SI_DEVICE_NOT_FOUND")), 2);
        QCOMPARE(device.openDevice(0), 1);
        QCOMPARE(device.closeDev(), 1);
    }

    // A backlog of 64 KiB (all a board's queue holds) is read, not taken for an empty queue.
    void fullBacklogIsRead()
    {
        auto boards = installBoards(1, SimOutput::Ascii);
        SimBoard* board = boards->board(0);
        board->setFlash(0, bytesOf(tivakoBuiltInFirmwareImage()));
        QVERIFY(boards->unplug(0) && boards->plug(0)); // starts it
        KX_SI_USBXpressDev device{KX_SI_USBXpressDev::ManualCycles{}};
        device.fillListOfDevice();
        QCOMPARE(device.openDevice(0), 1);
        board->flood(20e6);
        QVERIFY(waitUntil([&] { return board->counters().overrunsAtHost > 0; }, 5000));
        board->flood(0);
        device.runWorkerCycle();
        QVERIFY(device.getRxCount() > 0);
        QCOMPARE(device.closeDev(), 1);
    }

    // Ids from the Linux driver's table, the same table that writes the udev rule; others only through TIVAKO_USB_IDS.
    void idTableAndExtraIds()
    {
        plug({"K", 1, 0x1FB9, 0x0300});
        plug({"C", 2, 0x1234, 0xABCD});
        QCOMPARE(productString(0) + productString(1), QString("K"));
        qputenv("TIVAKO_USB_IDS", "1234:abcd,0001:0002");
        bridgeInstallBackend(createCp210xBridgeBackend());
        QCOMPARE(productString(0) + productString(1), QString("KC"));
        QCOMPARE(int(BridgeClose(openConfigured(1))), int(SI_SUCCESS));
        std::vector<std::pair<uint16_t, uint16_t>> ids;
        for (const char* bad : {"1234", "1234:abcde", "12345:abcd", "zz12:0001", "1234:abcd;5"})
            QVERIFY2(!Cp210xBridgeBackend::parseExtraIds(bad, &ids), bad);
        QVERIFY(Cp210xBridgeBackend::parseExtraIds("", &ids) && ids.empty());
        QFile file(TIVAKO_BINARY_DIR "/linux/70-tivako-cp210x.rules");
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        const QRegularExpression rule("^ATTR\\{idVendor\\}==\"(\\w{4})\", ATTR\\{idProduct\\}==\"(\\w{4})\", "
                                      "MODE=\"0664\", GROUP=\"plugdev\", TAG\\+=\"uaccess\"$",
                                      QRegularExpression::MultilineOption);
        int listed = 0;
        for (auto it = rule.globalMatch(QString::fromUtf8(file.readAll())); it.hasNext(); ++listed) {
            const QStringList id = it.next().capturedTexts();
            QVERIFY(Cp210xBridgeBackend::isSupported(id[1].toUShort(nullptr, 16), id[2].toUShort(nullptr, 16)));
        }
        QVERIFY(listed > 150);
        for (uint16_t product : {0xEA60, 0xEA61, 0xEA63, 0xEA70, 0xEA71, 0xEA7A, 0xEA7B})
            QVERIFY(Cp210xBridgeBackend::isSupported(0x10C4, product));
        QVERIFY(!Cp210xBridgeBackend::isSupported(0x10C4, 0xEA62));
    }

    // Pulled out: lost at once (at most one error line, closed, announced); back soon or later: listed, opens.
    void unplugAndFastReplug()
    {
        EmulatedCp210x* bridge = plug({"R1"});
        KX_SI_USBXpressDev device;
        int closed = 0, lists = 0; // counted on this thread: the signals come from the worker
        QObject receiver;
        for (auto [signal, counter] : {std::pair(&KX_SI_USBXpressDev::SIGNAL_connectionClosed, &closed),
                                       std::pair(&KX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable, &lists)})
            connect(
                &device, signal, &receiver, [counter = counter] { ++*counter; }, Qt::QueuedConnection);
        QVERIFY(waitUntil([&] { return device.getDeviceList().size() == 1; }, 3000));
        QCOMPARE(device.openDevice(0), 1);
        pump(10);
        const int listsBefore = lists;
        replug(bridge);
        QVERIFY(waitUntil([&] { return closed == 1 && !device.isConnected() && lists > listsBefore; }, 3000));
        const QStringList name{"CP2104 USB to UART Bridge Controller [0xR1]"};
        QVERIFY(waitUntil([&] { return device.getDeviceList() == name; }, 3000));
        pump(200);
        QVERIFY(Log::countContaining("SI_DEVICE_NOT_FOUND") <= 1);
        QCOMPARE(closed, 1);
        QCOMPARE(Log::countContaining("SI Unkown Error"), 0);
        QCOMPARE(device.openDevice(0), 1);
        bridge->unplug();
        QVERIFY(waitUntil([&] { return closed == 2 && device.getDeviceList().isEmpty(); }, 3000));
        bridge->plug(60);
        QVERIFY(waitUntil([&] { return device.getDeviceList() == name; }, 3000));
        QCOMPARE(device.openDevice(0), 1);
        QCOMPARE(device.closeDev(), 1);
        QCOMPARE(bridge->port(0).connects, 1);
    }

    // The window with TIVAKO_BRIDGE=usb: lists the bridge and connects by itself, shows the firmware's text,
    // programs the built-in image, resets the board, reconnects after a fast replug, and on Disconnect releases
    // the interface and hands it back to the kernel driver.
    void loaderEndToEnd()
    {
        EmulatedCp210x* bridge = plug({"E2E"});
        qputenv("TIVAKO_BRIDGE", "usb");
        std::string error;
        QVERIFY(bridgeInstallBackendFromEnvironment(&error));
        removeSettings();
        writeSettings(QString(), "CP2104 USB to UART Bridge Controller [0xE2E]");
        auto w = std::make_unique<RidivuDizerozoDuveze>(nullptr);
        w->show();
        QVERIFY(waitUntil([&] { return isConnectedView(*w); }, 5000));
        button(*w, "m_pBQuadrel")->click();
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Bootloader Finish"); }, 60000));
        QVERIFY(!consoleText(*w).contains("ERROR Bootloader"));
        QCOMPARE(flashOf(bridge->board(), tivakoBuiltInFirmwareImage().size()), tivakoBuiltInFirmwareImage());
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Uptime "); }, 5000));
        const int greetings = consoleText(*w).count(QUADREL_FIRMWARE_NAME);
        button(*w, "m_pBResetTK")->click();
        QVERIFY(waitUntil([&] { return consoleText(*w).count(QUADREL_FIRMWARE_NAME) > greetings; }, 5000));
        replug(bridge);
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Disconnect"); }, 5000));
        QVERIFY(waitUntil([&] { return isConnectedView(*w) && bridge->port(0).enabled; }, 5000));
        const int before = bridge->requests().size();
        button(*w, "m_pBConnect")->click();
        QVERIFY(!isConnectedView(*w));
        const QStringList seen = bridge->requests().mid(before);
        QVERIFY2(seen.endsWith("connect 0") && seen.contains("release 0"), qPrintable(seen.join('\n')));
        w.reset();
        qunsetenv("TIVAKO_BRIDGE");
    }
};

QTEST_MAIN(TestUsbCp210x)
#include "tst_usb_cp210x.moc"
