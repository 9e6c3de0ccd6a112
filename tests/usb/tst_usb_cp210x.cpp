// The CP210x backend on the real libusb, against bridges emulated with
// umockdev and wired to virtual boards: the requests each part gets, how
// failures map to statuses, the reader's recovery, the id table, unplug and
// replug, and the loader's window end to end. The expected requests are
// written out as numbers on purpose: they are the chip's interface.

#include "EmulatedCp210x.h"

#include "tests/support/MainWindowRig.h"
#include "bridge/BridgeLibrary.h"
#include "bridge/KX_SI_USBXpressDev.h"
#include "bridge/usb/Cp210xBridgeBackend.h"
#include "ui/RidivuDizerozoDuveze.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QToolButton>
#include <QtTest>

#include <cerrno>
#include <memory>

using namespace rig;

namespace {

const char kAvailable[] = "KX_SI_USBXpressDev::BytesAvailable";
const char kRead[] = "KX_SI_USBXpressDev::ReadData";

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

QStringList toList(const std::vector<std::string>& lines)
{
    QStringList list;
    for (const std::string& line : lines)
        list << QString::fromStdString(line);
    return list;
}

// Everything the board sent within the time, through the bridge operations.
QByteArray readFor(BRIDGE_HANDLE handle, int expected, int timeoutMs = 3000)
{
    QByteArray bytes;
    QElapsedTimer timer;
    timer.start();
    while (bytes.size() < expected && timer.elapsed() < timeoutMs) {
        uint32_t waiting = 0, queue = 0;
        if (BridgeCheckRxQueue(handle, &waiting, &queue) == SI_SUCCESS && waiting) {
            QByteArray chunk(int(waiting), '\0');
            uint32_t got = 0;
            BridgeRead(handle, chunk.data(), waiting, &got);
            bytes += chunk.left(int(got));
        } else {
            QThread::msleep(2);
        }
    }
    return bytes;
}

BRIDGE_STATUS send(BRIDGE_HANDLE handle, const QByteArray& bytes)
{
    uint32_t written = 0;
    return BridgeWrite(handle, bytes.constData(), uint32_t(bytes.size()), &written);
}

// The ROM bootloader on the board behind the handle, at 8E1, synchronised.
bool enterBootloader(BRIDGE_HANDLE handle)
{
    BridgeSetLineControl(handle, BRIDGE_LINE_8E1);
    BridgeWriteLatch(handle, 0x01, 0x00); // reset held
    BridgeWriteLatch(handle, 0x02, 0x00); // BOOT0 high
    QThread::msleep(5);
    BridgeWriteLatch(handle, 0x01, 0x01);
    QThread::msleep(5);
    send(handle, QByteArray(1, '\x7f'));
    return readFor(handle, 1) == QByteArray(1, '\x79');
}

// The answer to Get: ACK, count, version, the command codes, ACK. The codes
// include 0x11 (Read Memory), which a chip with XON/XOFF on would eat.
const int kGetReplyLength = 1 + 1 + 1 + 11 + 1;

} // namespace

class TestUsbCp210x : public QObject
{
    Q_OBJECT

    std::unique_ptr<EmulatedUsb> m_usb;
    std::unique_ptr<Log> m_log;

    BRIDGE_HANDLE openConfigured(uint32_t device)
    {
        BRIDGE_HANDLE handle = nullptr;
        if (BridgeOpen(device, &handle) != SI_SUCCESS || BridgeSetBaudRate(handle, 115200) != SI_SUCCESS ||
            BridgeSetLineControl(handle, BRIDGE_LINE_8N1) != SI_SUCCESS)
            return nullptr;
        return handle;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(EmulatedUsb::available(), "run under umockdev-wrapper");
        isolate();
    }

    void init()
    {
        qunsetenv("TIVAKO_USB_IDS");
        m_log = std::make_unique<Log>();
        m_usb = std::make_unique<EmulatedUsb>();
        bridgeInstallBackend(createCp210xBridgeBackend());
    }

    void cleanup()
    {
        bridgeInstallBackend(nullptr);
        m_usb.reset();
        m_log.reset();
    }

    // What each part gets from open to close: the UART enabled, the part
    // asked, flow control off by read-modify-write (early CP2102N firmware
    // also in the XON-limit word), DTR and RTS on, a purge; reading only
    // once baud rate and line are set; the latch in the part's own form and,
    // on a CP2108, in the port's own pin group; on close purge, disable,
    // release and the kernel driver asked back.
    void requestsPerPart_data()
    {
        QTest::addColumn<int>("part");
        QTest::addColumn<int>("productId");
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<int>("device");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("latch");

        auto common = [](int i, const QString& partQuery, const QString& flowWord3) {
            const QString ix = QString::asprintf("%04X", i);
            return QStringList{QString("claim %1").arg(i),
                               "41 00 0001 " + ix,
                               "C0 FF 370B " + ix + " <1"}
                   << (partQuery.isEmpty() ? QStringList() : QStringList{partQuery})
                   << QStringList{"C1 14 0000 " + ix + " <16",
                                  "41 13 0000 " + ix + " [01 00 00 00 40 00 00 00 " + flowWord3 +
                                      " 00 00 00 80 00 00 00]",
                                  "41 07 0303 " + ix,
                                  "41 12 000F " + ix,
                                  "41 1E 0000 " + ix + " [00 C2 01 00]",
                                  "41 03 0800 " + ix};
        };
        auto closing = [](int i) {
            const QString ix = QString::asprintf("%04X", i);
            return QStringList{"41 12 000F " + ix, "41 00 0000 " + ix, QString("release %1").arg(i),
                               QString("connect %1").arg(i)};
        };
        QTest::newRow("CP2104") << int(Cp210xPart::Cp2104) << 0 << "1.0.8" << 0
                                << (common(0, "", "80") << "40 FF 37E1 0001" << "40 FF 37E1 0202" << closing(0))
                                << 0xFFFE;
        QTest::newRow("CP2102N") << int(Cp210xPart::Cp2102n) << 0 << "1.0.8" << 0
                                 << (common(0, "C0 FF 0010 0000 <3", "80") << "40 FF 37E1 0001" << "40 FF 37E1 0202"
                                                                          << closing(0))
                                 << 0xFFFE;
        QTest::newRow("CP2102N with erratum E104")
            << int(Cp210xPart::Cp2102n) << 0 << "1.0.4" << 0
            << (common(0, "C0 FF 0010 0000 <3", "40") << "40 FF 37E1 0001" << "40 FF 37E1 0202" << closing(0))
            << 0xFFFE;
        // A customer's product id says nothing about the part.
        QTest::newRow("CP2104 under the CP2105's id")
            << int(Cp210xPart::Cp2104) << 0xEA70 << "1.0.8" << 0
            << (common(0, "", "80") << "40 FF 37E1 0001" << "40 FF 37E1 0202" << closing(0)) << 0xFFFE;
        QTest::newRow("CP2105 port 1") << int(Cp210xPart::Cp2105) << 0 << "1.0.8" << 1
                                       << (common(1, "", "80") << "41 FF 37E1 0001 [01 00]"
                                                               << "41 FF 37E1 0001 [02 02]" << closing(1))
                                       << 0xFEFF;
        QTest::newRow("CP2108 port 2") << int(Cp210xPart::Cp2108) << 0 << "1.0.8" << 2
                                       << (common(2, "", "80") << "41 FF 37E1 0002 [00 01 00 00]"
                                                               << "41 FF 37E1 0002 [00 02 00 02]" << closing(2))
                                       << 0xFEFF;
    }

    void requestsPerPart()
    {
        QFETCH(int, part);
        QFETCH(int, productId);
        QFETCH(QString, firmware);
        QFETCH(int, device);
        QFETCH(QStringList, expected);
        QFETCH(int, latch);

        EmulatedCp210xConfig config;
        config.part = Cp210xPart(part);
        config.productId = uint16_t(productId);
        const QStringList version = firmware.split('.');
        for (int i = 0; i < 3; ++i)
            config.firmwareVersion[i] = uint8_t(version[i].toInt());
        config.boardPorts = {uint8_t(device)};
        EmulatedCp210x* bridge = m_usb->plug(config);
        QCOMPARE(deviceCount(), uint32_t(bridge->interfaceCount()));

        BRIDGE_HANDLE handle = openConfigured(uint32_t(device));
        QVERIFY(handle);
        QCOMPARE(int(BridgeWriteLatch(handle, 0x01, 0x00)), int(SI_SUCCESS));
        QCOMPARE(int(BridgeWriteLatch(handle, 0x02, 0x02)), int(SI_SUCCESS));
        QCOMPARE(int(bridge->latch()), latch);
        // The board on that port is the one held in reset.
        QCOMPARE(int(bridge->board(uint8_t(device))->latch() & 0x03), 0x02);
        QVERIFY(waitUntil([&] { return toList(bridge->requests()).contains(QString::asprintf("read %02X", 0x81 + device)); }, 2000));
        QCOMPARE(int(BridgeClose(handle)), int(SI_SUCCESS));

        QStringList seen = toList(bridge->requests());
        const int read = seen.indexOf(QString::asprintf("read %02X", 0x81 + device));
        QVERIFY2(read > seen.indexOf(expected[expected.indexOf(QRegularExpression("^41 03 .*"))]),
                 qPrintable(seen.join("\n")));
        seen.removeAt(read);
        QCOMPARE(seen, expected);
        const EmulatedCp210x::Port port = bridge->port(uint8_t(device));
        QCOMPARE(port.modemLines, uint16_t(0x0003));
        QCOMPARE(port.connects, 1);
    }

    // Bridges are numbered in port order, each UART of a multi-port part is
    // a device of its own with a name of its own, and listing sends nothing
    // to the chips.
    void listing()
    {
        EmulatedCp210xConfig dual;
        dual.part = Cp210xPart::Cp2105;
        dual.product = "CP2105 Dual USB to UART Bridge Controller";
        dual.serial = "D";
        dual.port = 3;
        EmulatedCp210x* second = m_usb->plug(dual);
        EmulatedCp210xConfig single;
        single.serial = "S";
        single.port = 1;
        EmulatedCp210x* first = m_usb->plug(single);
        QCOMPARE(deviceCount(), 3u);
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string("S"));
        QCOMPARE(productString(1, SI_RETURN_SERIAL_NUMBER), std::string("D-0"));
        QCOMPARE(productString(2, SI_RETURN_SERIAL_NUMBER), std::string("D-1"));
        QCOMPARE(productString(2, SI_RETURN_DESCRIPTION),
                 std::string("CP2105 Dual USB to UART Bridge Controller (interface 1)"));
        char buffer[BRIDGE_MAX_PRODUCT_STRING];
        QCOMPARE(int(BridgeGetProductString(3, buffer, SI_RETURN_SERIAL_NUMBER)), int(SI_DEVICE_NOT_FOUND));
        QCOMPARE(int(BridgeGetProductString(0, buffer, 7)), int(SI_INVALID_PARAMETER));
        QVERIFY(first->requests().empty());
        QVERIFY(second->requests().empty());

        m_usb->remove(first);
        QCOMPARE(deviceCount(), 2u);
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string("D-0"));
    }

    // How failures come back: each handle operation refuses a handle it did
    // not issue; a port opens once; a device that is gone is not found for
    // every operation and still closes; dropping the backend hands every
    // open port back to the kernel.
    void failuresAndHandles()
    {
        EmulatedCp210xConfig dual;
        dual.part = Cp210xPart::Cp2105;
        dual.boardPorts = {0, 1};
        EmulatedCp210x* bridge = m_usb->plug(dual);
        BRIDGE_HANDLE a = openConfigured(0);
        BRIDGE_HANDLE b = openConfigured(1);
        QVERIFY(a && b && a != b);
        BRIDGE_HANDLE again = nullptr;
        QCOMPARE(int(BridgeOpen(0, &again)), int(SI_DEVICE_NOT_FOUND));
        QCOMPARE(int(BridgeOpen(5, &again)), int(SI_DEVICE_NOT_FOUND));

        BRIDGE_HANDLE foreign = bridgeHandleFromId(0x7777);
        uint32_t n = 0, q = 0;
        uint8_t byte = 0;
        QCOMPARE(int(BridgeSetBaudRate(foreign, 115200)), int(SI_INVALID_HANDLE));
        QCOMPARE(int(BridgeSetLineControl(foreign, BRIDGE_LINE_8N1)), int(SI_INVALID_HANDLE));
        QCOMPARE(int(BridgeWriteLatch(foreign, 1, 0)), int(SI_INVALID_HANDLE));
        QCOMPARE(int(BridgeCheckRxQueue(foreign, &n, &q)), int(SI_INVALID_HANDLE));
        QCOMPARE(int(BridgeRead(foreign, &byte, 1, &n)), int(SI_INVALID_HANDLE));
        QCOMPARE(int(BridgeWrite(foreign, &byte, 1, &n)), int(SI_INVALID_HANDLE));
        QCOMPARE(int(BridgeFlushBuffers(foreign, 1, 1)), int(SI_INVALID_HANDLE));
        QCOMPARE(int(BridgeClose(foreign)), int(SI_INVALID_HANDLE));
        QCOMPARE(int(BridgeSetBaudRate(a, 100)), int(SI_INVALID_BAUDRATE));
        QCOMPARE(int(BridgeSetLineControl(a, 0x0900)), int(SI_INVALID_PARAMETER));
        QCOMPARE(int(BridgeFlushBuffers(a, 0, 1)), int(SI_SUCCESS));
        QVERIFY(toList(bridge->requests()).endsWith("41 12 000A 0000"));

        // Dropping the backend lets go of both ports.
        bridgeInstallBackend(createCp210xBridgeBackend());
        QCOMPARE(bridge->port(0).connects, 1);
        QCOMPARE(bridge->port(1).connects, 1);

        QCOMPARE(deviceCount(), 2u);
        BRIDGE_HANDLE h = openConfigured(0);
        QVERIFY(h);
        bridge->unplug();
        QCOMPARE(int(BridgeWriteLatch(h, 1, 0)), int(SI_DEVICE_NOT_FOUND));
        QCOMPARE(int(BridgeWrite(h, "x", 1, &n)), int(SI_DEVICE_NOT_FOUND));
        QCOMPARE(int(BridgeSetLineControl(h, BRIDGE_LINE_8N1)), int(SI_DEVICE_NOT_FOUND));
        QVERIFY(waitUntil([&] { return BridgeCheckRxQueue(h, &n, &q) == SI_DEVICE_NOT_FOUND; }, 2000));
        QCOMPARE(int(BridgeClose(h)), int(SI_SUCCESS));
        QCOMPARE(deviceCount(), 0u);
    }

    // A chip left with XON/XOFF on by the kernel's serial driver would take
    // 0x11 and 0x13 out of the board's answers; after open it passes them.
    void flowControlLeftOnIsTurnedOff()
    {
        EmulatedCp210xConfig config;
        config.flowReplace = 0x43; // XON/XOFF both ways, as `stty ixon ixoff` leaves it
        EmulatedCp210x* bridge = m_usb->plug(config);
        QCOMPARE(bridge->port(0).flow[1] & 0x03, 0x03u);
        BRIDGE_HANDLE handle = openConfigured(0);
        QVERIFY(handle);
        QCOMPARE(bridge->port(0).flow[1] & 0xC3, 0x40u);
        QVERIFY(enterBootloader(handle));
        QCOMPARE(int(send(handle, QByteArray("\x00\xff", 2))), int(SI_SUCCESS));
        const QByteArray reply = readFor(handle, kGetReplyLength);
        QCOMPARE(reply.size(), kGetReplyLength);
        QVERIFY(reply.contains('\x11'));
        BridgeClose(handle);
    }

    // Errors count only in a row; a stall is cleared; a reader that cannot
    // go on reports its device as gone, once, after what it had received.
    void readerRecovers()
    {
        EmulatedCp210x* bridge = m_usb->plug(EmulatedCp210xConfig());
        BRIDGE_HANDLE handle = openConfigured(0);
        QVERIFY(handle);
        QVERIFY(enterBootloader(handle));
        // Failures three at a time, with quiet reads between them and no
        // data: more than a lifetime limit would allow, never many in a row.
        for (int round = 0; round < 3; ++round) {
            bridge->failBulkIn(0, -EIO, 3);
            QVERIFY(waitUntil([&] { return bridge->failuresLeft(0) == 0; }, 3000));
            const int quiet = bridge->discards();
            QVERIFY(waitUntil([&] { return bridge->discards() > quiet; }, 3000));
        }
        send(handle, QByteArray("\x00\xff", 2));
        QCOMPARE(readFor(handle, kGetReplyLength).size(), kGetReplyLength);
        bridge->failBulkIn(0, -EPIPE, 1);
        QVERIFY(waitUntil([&] { return bridge->clearHalts(0x81) >= 1; }, 2000));
        send(handle, QByteArray("\x00\xff", 2));
        QCOMPARE(readFor(handle, kGetReplyLength).size(), kGetReplyLength);

        bridge->failBulkIn(0, -EIO, 1000);
        uint32_t waiting = 0, queue = 0;
        QVERIFY(waitUntil([&] { return BridgeCheckRxQueue(handle, &waiting, &queue) == SI_DEVICE_NOT_FOUND; }, 3000));
        QCOMPARE(LogCapture::countContaining("receiving from interface 0 stopped"), 1);
        QCOMPARE(int(BridgeClose(handle)), int(SI_SUCCESS));
    }

    // A purge takes with it what the chip still had on the bus: nothing
    // that arrived before a flush is handed out after it.
    void flushTakesWhatCameBefore()
    {
        EmulatedCp210x* bridge = m_usb->plug(EmulatedCp210xConfig());
        BRIDGE_HANDLE handle = openConfigured(0);
        QVERIFY(handle);
        QVERIFY(enterBootloader(handle));
        bridge->holdBulkIn(true);
        bridge->deliverOnPurge(true);
        for (int round = 0; round < 5; ++round) {
            send(handle, QByteArray("\x00\xff", 2));
            QThread::msleep(20);
            QCOMPARE(int(BridgeFlushBuffers(handle, 1, 1)), int(SI_SUCCESS));
            QThread::msleep(80); // time for a reader to store what it got
            uint32_t waiting = 0, queue = 0;
            QCOMPARE(int(BridgeCheckRxQueue(handle, &waiting, &queue)), int(SI_SUCCESS));
            QCOMPARE(waiting, 0u);
        }
        bridge->holdBulkIn(false);
        send(handle, QByteArray("\x00\xff", 2));
        QCOMPARE(readFor(handle, kGetReplyLength + 1, 500).size(), kGetReplyLength);
        BridgeClose(handle);
    }

    // A device that goes away between open and the line settings fails the
    // open, and the handle is given back.
    void openFailsWhenTheDeviceVanishes()
    {
        EmulatedCp210x* bridge = m_usb->plug(EmulatedCp210xConfig());
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
        QCOMPARE(Log::count(errorLine("KX_SI_USBXpressDev::openDevice", "SI_DEVICE_NOT_FOUND")), 2);
        QCOMPARE(device.openDevice(0), 1);
        QCOMPARE(device.closeDev(), 1);
    }

    // A backlog of 64 KiB (all a virtual board's queue holds) is read, not
    // taken for an empty queue.
    void fullBacklogIsRead()
    {
        auto boards = installBoards(1, SimOutput::Ascii);
        SimBoard* board = boards->board(0);
        flashAndRestart(board, builtInImage());
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

    // Ids come from the Linux driver's table, one table that also writes
    // the udev rule; others only through TIVAKO_USB_IDS.
    void idTableAndExtraIds()
    {
        EmulatedCp210xConfig known;
        known.vendorId = 0x1FB9;
        known.productId = 0x0300;
        known.serial = "K";
        known.port = 1;
        m_usb->plug(known);
        EmulatedCp210xConfig custom;
        custom.vendorId = 0x1234;
        custom.productId = 0xABCD;
        custom.serial = "C";
        custom.port = 2;
        m_usb->plug(custom);
        QCOMPARE(deviceCount(), 1u);
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string("K"));

        qputenv("TIVAKO_USB_IDS", "1234:abcd,0001:0002");
        bridgeInstallBackend(createCp210xBridgeBackend());
        QCOMPARE(deviceCount(), 2u);
        QCOMPARE(productString(1, SI_RETURN_SERIAL_NUMBER), std::string("C"));
        BRIDGE_HANDLE handle = openConfigured(1);
        QVERIFY(handle);
        BridgeClose(handle);

        std::vector<std::pair<uint16_t, uint16_t>> ids;
        for (const char* bad : {"1234", "1234:abcde", "12345:abcd", "zz12:0001", "1234:abcd;5"})
            QVERIFY2(!Cp210xBridgeBackend::parseExtraIds(bad, &ids), bad);
        QVERIFY(Cp210xBridgeBackend::parseExtraIds("", &ids) && ids.empty());

        QFile file(TIVAKO_BINARY_DIR "/linux/70-tivako-cp210x.rules");
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        const QString rules = QString::fromUtf8(file.readAll());
        QRegularExpression rule("^ATTR\\{idVendor\\}==\"([0-9a-f]{4})\", ATTR\\{idProduct\\}==\"([0-9a-f]{4})\", "
                                "MODE=\"0664\", GROUP=\"plugdev\", TAG\\+=\"uaccess\"$",
                                QRegularExpression::MultilineOption);
        int listed = 0;
        for (auto it = rule.globalMatch(rules); it.hasNext();) {
            auto match = it.next();
            QVERIFY(Cp210xBridgeBackend::isSupported(uint16_t(match.captured(1).toUInt(nullptr, 16)),
                                                     uint16_t(match.captured(2).toUInt(nullptr, 16))));
            ++listed;
        }
        QVERIFY(listed > 150);
        for (uint16_t product : {0xEA60, 0xEA61, 0xEA63, 0xEA70, 0xEA71, 0xEA7A, 0xEA7B})
            QVERIFY(Cp210xBridgeBackend::isSupported(0x10C4, product));
        QVERIFY(!Cp210xBridgeBackend::isSupported(0x10C4, 0xEA62));
    }

    // The bridge device over the emulated USB: a bridge pulled out is a lost
    // link at once (one error line, closed and announced), and one that
    // comes back within a refresh is listed again and opens.
    void unplugAndFastReplug()
    {
        EmulatedCp210xConfig config;
        config.serial = "R1";
        EmulatedCp210x* bridge = m_usb->plug(config);
        KX_SI_USBXpressDev device;
        // Counted on this thread: the signals come from the worker.
        int closed = 0, lists = 0;
        QObject receiver;
        connect(&device, &KX_SI_USBXpressDev::SIGNAL_connectionClosed, &receiver, [&] { ++closed; },
                Qt::QueuedConnection);
        connect(&device, &KX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable, &receiver, [&] { ++lists; },
                Qt::QueuedConnection);
        QVERIFY(waitUntil([&] { return device.getDeviceList().size() == 1; }, 3000));
        QCOMPARE(device.openDevice(0), 1);
        pump(10);
        const int listsBefore = lists;

        m_usb->replug(bridge);
        QVERIFY(waitUntil([&] { return closed == 1; }, 3000));
        QVERIFY(!device.isConnected());
        QVERIFY(waitUntil([&] { return lists > listsBefore; }, 3000));
        // The list announced at the close may still miss the bridge that is
        // coming back; the next refresh or plug event brings it.
        QVERIFY(waitUntil(
            [&] {
                return device.getDeviceList() == QStringList{"CP2104 USB to UART Bridge Controller [0xR1]"};
            },
            3000));
        pump(200);
        const int lost = Log::count(errorLine(kAvailable, "SI_DEVICE_NOT_FOUND")) +
                         Log::count(errorLine(kRead, "SI_DEVICE_NOT_FOUND"));
        // Where the plug event's refresh sees the bridge gone before a read
        // does, the removal closes the link and no read error is logged.
        QVERIFY(lost <= 1);
        QCOMPARE(closed, 1);
        QCOMPARE(LogCapture::countContaining("SI Unkown Error"), 0);
        QCOMPARE(device.openDevice(0), 1);
        QCOMPARE(bridge->port(0).enabled, true);

        // Slow: gone for longer than a refresh, the entry goes; back, it is
        // appended again and opens.
        bridge->unplug();
        QVERIFY(waitUntil([&] { return closed == 2; }, 3000));
        QVERIFY(waitUntil([&] { return device.getDeviceList().isEmpty(); }, 3000));
        bridge->plug(60);
        QVERIFY(waitUntil([&] { return device.getDeviceList().size() == 1; }, 3000));
        QCOMPARE(device.openDevice(0), 1);
        QCOMPARE(device.closeDev(), 1);
        QCOMPARE(bridge->port(0).connects, 1);
    }

    // The loader's window with TIVAKO_BRIDGE=usb: lists the emulated bridge
    // and connects to it by itself, shows the firmware's text, programs the
    // built-in image into the board behind it, resets it, reconnects after a
    // fast replug, and hands the port back to the kernel when disconnecting.
    void loaderEndToEnd()
    {
        EmulatedCp210xConfig config;
        config.serial = "E2E";
        config.output = SimOutput::Tlv;
        EmulatedCp210x* bridge = m_usb->plug(config);
        SimBoard* board = bridge->board(0);
        qputenv("TIVAKO_BRIDGE", "usb");
        std::string error;
        QVERIFY(bridgeInstallBackendFromEnvironment(&error));
        const QString name = QStringLiteral("CP2104 USB to UART Bridge Controller [0xE2E]");
        removeSettings();
        writeSettings(QString(), name);

        auto w = std::make_unique<RidivuDizerozoDuveze>(nullptr);
        w->show();
        QVERIFY(waitUntil([&] { return isConnectedView(*w); }, 5000));

        const QByteArray image = builtInImage();
        button(*w, "m_pBQuadrel")->click();
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Bootloader Finish"); }, 60000));
        QVERIFY(!consoleText(*w).contains("ERROR Bootloader"));
        QCOMPARE(flashOf(board, image.size()), image);
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Uptime "); }, 5000));

        const int greetings = consoleText(*w).count(QUADREL_FIRMWARE_NAME);
        button(*w, "m_pBResetTK")->click();
        QVERIFY(waitUntil([&] { return consoleText(*w).count(QUADREL_FIRMWARE_NAME) > greetings; }, 5000));

        m_usb->replug(bridge);
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Disconnect"); }, 5000));
        QVERIFY(waitUntil([&] { return isConnectedView(*w) && bridge->port(0).enabled; }, 5000));

        bridge->clearRequests();
        button(*w, "m_pBConnect")->click();
        QVERIFY(!isConnectedView(*w));
        const QStringList requests = toList(bridge->requests());
        QVERIFY2(requests.endsWith("connect 0") && requests.contains("release 0"), qPrintable(requests.join("\n")));
        QCOMPARE(bridge->port(0).claimed, false);
        w.reset();
        qunsetenv("TIVAKO_BRIDGE");
    }
};

QTEST_MAIN(TestUsbCp210x)
#include "tst_usb_cp210x.moc"
