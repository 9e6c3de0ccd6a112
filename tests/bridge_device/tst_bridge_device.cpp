// The bridge device over the scripted backend, its worker's cycles run by the
// test: every library status of every operation it calls, the control lines,
// the rings' limits, and a device that goes away.

#include "tests/bridge_device/DeviceRig.h"

namespace {

// The log's names of statuses 0x01..0x0F ("-": none) and 0xFF: fixed texts.
const QStringList kNames = QStringLiteral("SI_INVALID_HANDLE SI_READ_ERROR - SI_WRITE_ERROR - SI_INVALID_PARAMETER "
                                          "SI_INVALID_REQUEST_LENGTH SI_DEVICE_IO_FAILED SI_INVALID_BAUDRATE "
                                          "SI_FUNCTION_NOT_SUPPORTED SI_GLOBAL_DATA_ERROR SI_SYSTEM_ERROR_CODE "
                                          "SI_READ_TIMED_OUT SI_WRITE__TIMED_OUT SI_IO_PENDING")
                               .split(' ');

QString statusText(int status, bool byName = true)
{
    const QString name = status == 0xFF ? "SI_DEVICE_NOT_FOUND" : status <= 0x0F ? kNames[status - 1] : "-";
    return name == "-" || !byName ? QStringLiteral("SI Unkown Error %1").arg(status) : name;
}

// What a device does with a status outside an operation's failure set.
enum Others { Ignored, LoggedAsUnknown, FailSilently };
enum Act { Relist, Open, BootMode, Reset, Boot0, Send, Flush, Close, Receive };

// One operation of the device, the library call whose status a row sets,
// where its failures are logged, and the statuses it fails on (hex).
struct Step
{
    const char* name;
    const char* op;
    const char* label;
    const char* fails;
    Others others;
    Act act;
};

const Step kSteps[] = {
    {"count", "BridgeGetNumDevices", "getNumUSBdevs", "06 FF", FailSilently, Relist},
    {"product string", "BridgeGetProductString", "getDeviceInfo", "06 FF", Ignored, Relist},
    {"open", "BridgeOpen", "openDevice", "06 0B FF", Ignored, Open},
    {"baud rate", "BridgeSetBaudRate", "openDevice", "01 06 08 09 FF", Ignored, Open},
    {"line at open", "BridgeSetLineControl", "openDevice", "01 06 08 FF", Ignored, Open},
    {"boot mode", "BridgeSetLineControl", "SetBootModeTivako", "01 06 08", Ignored, BootMode},
    {"reset", "BridgeWriteLatch", "setReset", "01 06 08 0A 0B FF", Ignored, Reset},
    {"BOOT0", "BridgeWriteLatch", "setBoot0", "01 06 08 0A 0B FF", Ignored, Boot0},
    {"send", "BridgeWrite", "sendData", "01 04 06 07 08 0A 0C 0E 0F FF", Ignored, Send},
    {"flush", "BridgeFlushBuffers", "flushBuffers", "01 0C", Ignored, Flush},
    {"close", "BridgeClose", "closeDev", "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F FF", Ignored, Close},
    {"queue check", "BridgeCheckRxQueue", "BytesAvailable", "01 06 08 FF", LoggedAsUnknown, Receive},
    {"read", "BridgeRead", "ReadData", "01 02 06 07 08 0C 0D 0F FF", Ignored, Receive},
};

// Whether the device says the operation worked.
bool act(DeviceRig& rig, Act act)
{
    KX_SI_USBXpressDev& device = *rig.device;
    switch (act) {
    case Relist:
        device.fillListOfDevice();
        return device.getDeviceList().size() == 2;
    case Open:
        return device.openDevice(0) == 1;
    case BootMode:
        return device.SetBootModeTivako(true);
    case Reset:
    case Boot0:
        return (act == Reset ? device.setReset(true) : device.setBoot0(true)) == 1;
    case Send:
        return device.sendData("setHWqd\r", 8) == 1;
    case Flush:
        return device.flushBuffers() == 1;
    case Close:
        return device.closeDev(true) == 1;
    case Receive:
        rig.backend->feedRx("xyz");
        device.runWorkerCycle();
        return drain(device) == "xyz";
    }
    return false;
}

} // namespace

class BridgeDeviceTest : public QObject
{
    Q_OBJECT

    DeviceRig m_rig;
    const Devices m_two = {{"Tivako A", "AAA1"}, {"Tivako B", "BBB2"}};

private slots:
    void cleanup()
    {
        m_rig.device.reset();
        bridgeInstallBackend(nullptr);
    }

    void statuses_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("status");
        for (int step = 0; step < int(std::size(kSteps)); ++step)
            for (int status : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0xFF})
                QTest::addRow("%s 0x%02x", kSteps[step].name, status) << step << status;
    }

    void statuses()
    {
        QFETCH(int, step);
        QFETCH(int, status);
        const Step& s = kSteps[step];
        m_rig.start(m_two);
        if (s.act != Open)
            QCOMPARE(m_rig.device->openDevice(0), 1);
        const bool named = QString(s.fails).split(' ').contains(QString::asprintf("%02X", status));
        const bool fails = named || (status && s.others == FailSilently);
        LogCapture log;
        m_rig.backend->setStatus(s.op, BRIDGE_STATUS(status), !fails); // a failing call does nothing else
        const bool ok = act(m_rig, s.act);
        QCOMPARE(ok, !fails);
        if (s.act == BootMode) { // reset (bit 0) held, BOOT0 (bit 1) set, released, in 8E1; or held in reset
            QCOMPARE(m_rig.backend->state().latches, std::string(ok ? "\xfe\xfc\xfd" : "\xfe"));
            QCOMPARE(m_rig.backend->state().lineControl, uint16_t(ok ? BRIDGE_LINE_8E1 : BRIDGE_LINE_8N1));
        }
        const bool logged = named || (status && s.others == LoggedAsUnknown);
        QCOMPARE(log.linesOf(label(s.label)), logged ? QStringList(errorLine(label(s.label), statusText(status, named)))
                                                     : QStringList());
        // The device and the backend agree on the link, and it recovers.
        QCOMPARE(m_rig.backend->state().openDevice >= 0, m_rig.device->isConnected());
        m_rig.device->fillListOfDevice();
        if (!m_rig.device->isConnected())
            QCOMPARE(m_rig.device->openDevice(0), 1);
        QCOMPARE(m_rig.device->sendData("ok", 2), quint16(1));
    }

    // The rings hold 4095 bytes; what does not fit is dropped with one line
    // per episode, and nothing is lost while the reader keeps up.
    void ringLimits()
    {
        m_rig.start(m_two);
        KX_SI_USBXpressDev& device = *m_rig.device;
        QCOMPARE(device.openDevice(0), 1);
        LogCapture log;
        const QByteArray big = randomBytes(10000, 1);
        QCOMPARE(device.writeMsgRing(big.constData(), 3000), quint16(3000));
        QCOMPARE(device.writeMsgRing(big.constData() + 3000, 2000), quint16(1095));
        QCOMPARE(drain(device, &KX_SI_USBXpressDev::getMsgByte), big.left(4095));
        QCOMPARE(log.lines(), QStringList{errorLine(label("writeMsgRing"), "Message ring full, 905 bytes dropped")});

        QByteArray got;
        m_rig.backend->feedRx(big.toStdString());
        for (int i = 0; i < 3; ++i) {
            device.runWorkerCycle();
            got += drain(device);
        }
        QCOMPARE(got, big);
        m_rig.backend->feedRx(big.left(9000).toStdString()); // nobody reads now
        for (int i = 0; i < 3; ++i)
            device.runWorkerCycle();
        QCOMPARE(m_rig.backend->rxPending(), size_t(0));
        QCOMPARE(drain(device), big.left(4095));
        const QString read = label("ReadData");
        QCOMPARE(log.linesOf(read), QStringList{errorLine(read, "Receive ring full, 4096 bytes dropped")});
        // A backlog beyond 16 bits counts as full, never as what it wraps to.
        m_rig.backend->feedRx(std::string(65536 + 10, 'w'));
        device.runWorkerCycle();
        QCOMPARE(m_rig.backend->rxPending(), size_t(65536 + 10 - 4095));
    }

    // Unplugged: closed, then the list announced, so the window reconnects the
    // board when it comes back. The open board is known by its serial number.
    void unplugAndReconnect()
    {
        m_rig.start(m_two);
        KX_SI_USBXpressDev& device = *m_rig.device;
        QCOMPARE(device.openDevice(1), 1);
        QStringList order;
        connect(&device, &KX_SI_USBXpressDev::SIGNAL_connectionClosed, this,
                [&] { order << "closed" << QString::number(device.isConnected()); });
        connect(&device, &KX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable, this,
                [&] { order << "list" << device.getDeviceList().join(','); });
        for (const Devices& now : {Devices{m_two[1], {"Tivako C", "CCC3"}}, Devices{m_two[1]}}) {
            m_rig.backend->setDevices(now); // B is number 0 now; C takes number 1 and leaves
            device.fillListOfDevice();
        }
        QVERIFY(device.isConnected());
        order.clear();
        m_rig.backend->setDevices({});
        device.fillListOfDevice();
        QCOMPARE(order, (QStringList{"closed", "0", "list", ""}));
        LogCapture log; // nothing open, nothing listed; then open already, and nothing to send
        QCOMPARE((QList<int>{device.closeDev(), device.openDevice(0), device.sendData("x", 1)}),
                 (QList<int>{-1, -1, 0xFFFF}));
        m_rig.backend->setDevices({m_two[1]});
        device.fillListOfDevice();
        QCOMPARE(device.openDevice(0), 1);
        order.clear(); // lost while still listed: the bridge says the device is gone
        m_rig.backend->setStatus("BridgeCheckRxQueue", SI_DEVICE_NOT_FOUND);
        device.runWorkerCycle();
        QCOMPARE(order, (QStringList{"closed", "0", "list", "Tivako B [0xBBB2]"}));
        QCOMPARE(device.openDevice(0), 1);
        QCOMPARE((QList<int>{device.openDevice(0), device.sendData(nullptr, 3), device.writeMsgRing(nullptr, 3)}),
                 (QList<int>{-1, 0xFFFF, 0}));
        QCOMPARE(log.errors(label("closeDev")) + log.errors(label("openDevice")) + log.errors(label("sendData")),
                 QString("Device not open,Device to Open not exist,Device already open,No data to send").split(','));
    }
};

QTEST_GUILESS_MAIN(BridgeDeviceTest)
#include "tst_bridge_device.moc"
