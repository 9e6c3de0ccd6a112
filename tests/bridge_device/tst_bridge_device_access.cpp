// Device access of the bridge device class against the scripted backend:
// the exact library calls, every status mapping and the device list. The
// worker is not started; the test drives its cycles itself.

#include "tests/support/DeviceTestSupport.h"

#include "tests/bridge_layer/ScriptedBridgeBackend.h"

#include <QSignalSpy>
#include <QtTest>

#include <chrono>
#include <memory>

using Call = ScriptedBridgeBackend::Call;
using Device = ScriptedBridgeBackend::Device;
using Effect = ScriptedBridgeBackend::Effect;
using Clock = std::chrono::steady_clock;

namespace {

const char kOpen[] = "KX_SI_USBXpressDev::openDevice";
const char kClose[] = "KX_SI_USBXpressDev::closeDev";
const char kSend[] = "KX_SI_USBXpressDev::sendData";
const char kFlush[] = "KX_SI_USBXpressDev::flushBuffers";
const char kReset[] = "KX_SI_USBXpressDev::setReset";
const char kBoot0[] = "KX_SI_USBXpressDev::setBoot0";
const char kBootMode[] = "KX_SI_USBXpressDev::SetBootModeTivako";
const char kFill[] = "KX_SI_USBXpressDev::fillListOfDevice";
const char kNum[] = "KX_SI_USBXpressDev::getNumUSBdevs";
const char kInfo[] = "KX_SI_USBXpressDev::getDeviceInfo";

// The scripted backend with a clock on the line-control and latch calls, so
// that the waits between them can be checked.
class TimedBackend : public ScriptedBridgeBackend
{
public:
    using ScriptedBridgeBackend::ScriptedBridgeBackend;
    BRIDGE_STATUS writeLatch(BRIDGE_HANDLE handle, uint8_t mask, uint8_t latch) override
    {
        stamp();
        return ScriptedBridgeBackend::writeLatch(handle, mask, latch);
    }
    BRIDGE_STATUS setLineControl(BRIDGE_HANDLE handle, uint16_t lineControl) override
    {
        stamp();
        return ScriptedBridgeBackend::setLineControl(handle, lineControl);
    }
    std::vector<Clock::time_point> stamps() const
    {
        std::lock_guard<std::mutex> lock(m_stampLock);
        return m_stamps;
    }
    void clearStamps()
    {
        std::lock_guard<std::mutex> lock(m_stampLock);
        m_stamps.clear();
    }

private:
    void stamp()
    {
        std::lock_guard<std::mutex> lock(m_stampLock);
        m_stamps.push_back(Clock::now());
    }
    mutable std::mutex m_stampLock;
    std::vector<Clock::time_point> m_stamps;
};

std::vector<int64_t> args(const Call& call)
{
    return call.args;
}

qint64 msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// The device-list refresh that the worker runs on its deadline or on a plug
// event, run here on the test thread, which plays the worker.
void refresh(KX_SI_USBXpressDev& device, ScriptedBridgeBackend& backend)
{
    const size_t before = backend.callCount("BridgeGetNumDevices");
    device.fillListOfDevice();
    QCOMPARE(backend.callCount("BridgeGetNumDevices"), before + 1);
}

} // namespace

class BridgeDeviceAccessTest : public QObject
{
    Q_OBJECT

private:
    std::shared_ptr<TimedBackend> m_backend;
    std::unique_ptr<KX_SI_USBXpressDev> m_device;

    // A device with two boards listed and, unless told otherwise, board 0 open.
    void makeDevice(bool open = true)
    {
        m_backend = std::make_shared<TimedBackend>(std::vector<Device>{{"Tivako A", "AAA1"}, {"Tivako B", "BBB2"}});
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev(KX_SI_USBXpressDev::ManualCycles{}));
        m_device->runWorkerCycle();
        QCOMPARE(m_device->getDeviceList().size(), 2);
        if (open) {
            QCOMPARE(m_device->openDevice(0), 1);
            QVERIFY(m_device->isConnected());
        }
        m_backend->clearCalls();
        m_backend->clearStamps();
    }

private slots:
    void cleanup()
    {
        m_device.reset();
        bridgeInstallBackend(nullptr);
        m_backend.reset();
    }

    void bootModeSequence_data()
    {
        QTest::addColumn<bool>("boot");
        QTest::addColumn<int>("lineControl");
        QTest::addColumn<int>("boot0Value");
        QTest::newRow("into bootloader") << true << 0x0820 << 0x00;
        QTest::newRow("back to firmware") << false << 0x0800 << 0x02;
    }

    void bootModeSequence()
    {
        QFETCH(bool, boot);
        QFETCH(int, lineControl);
        QFETCH(int, boot0Value);
        makeDevice();
        const Clock::time_point start = Clock::now();
        m_device->SetBootModeTivako(boot);
        const Clock::time_point end = Clock::now();

        const std::vector<Call> calls = m_backend->calls();
        QCOMPARE(calls.size(), size_t(4));
        QCOMPARE(calls[0].op, std::string("BridgeWriteLatch"));
        QCOMPARE(args(calls[0]), (std::vector<int64_t>{1, 0x01, 0x00}));
        QCOMPARE(calls[1].op, std::string("BridgeSetLineControl"));
        QCOMPARE(args(calls[1]), (std::vector<int64_t>{1, lineControl}));
        QCOMPARE(calls[2].op, std::string("BridgeWriteLatch"));
        QCOMPARE(args(calls[2]), (std::vector<int64_t>{1, 0x02, boot0Value}));
        QCOMPARE(calls[3].op, std::string("BridgeWriteLatch"));
        QCOMPARE(args(calls[3]), (std::vector<int64_t>{1, 0x01, 0x01}));

        const std::vector<Clock::time_point> stamps = m_backend->stamps();
        QCOMPARE(stamps.size(), size_t(4));
        QVERIFY(msBetween(stamps[2], stamps[3]) >= 50);
        QVERIFY(msBetween(stamps[3], end) >= 50);
        QVERIFY(msBetween(start, end) >= 100);
        QCOMPARE(int(m_backend->latch() & 0x03), 0x01 | boot0Value);
        QCOMPARE(int(m_backend->lineControl()), lineControl);
    }

    void bootModeLineControlFailureLeavesBoardInReset_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::newRow("0x01") << 0x01 << "SI_INVALID_HANDLE";
        QTest::newRow("0x06") << 0x06 << "SI_INVALID_PARAMETER";
        QTest::newRow("0x08") << 0x08 << "SI_DEVICE_IO_FAILED";
    }

    void bootModeLineControlFailureLeavesBoardInReset()
    {
        QFETCH(int, status);
        QFETCH(QString, line);
        makeDevice();
        LogCapture log;
        m_backend->setStatus("BridgeSetLineControl", static_cast<BRIDGE_STATUS>(status), 1);
        const Clock::time_point start = Clock::now();
        m_device->SetBootModeTivako(true);
        QVERIFY(msBetween(start, Clock::now()) < 50);
        QCOMPARE(m_backend->callNames(), (std::vector<std::string>{"BridgeWriteLatch", "BridgeSetLineControl"}));
        QCOMPARE(int(m_backend->latch() & 0x03), 0x02); // reset held, BOOT0 untouched
        QCOMPARE(log.linesOf(kBootMode), QStringList{errorLine(kBootMode, line)});

        // A status the step does not name counts as success.
        m_backend->clearCalls();
        m_backend->setStatus("BridgeSetLineControl", SI_WRITE_ERROR, 1, Effect::Apply);
        m_device->SetBootModeTivako(true);
        QCOMPARE(m_backend->callCount("BridgeWriteLatch"), size_t(3));
    }

    void resetBoardSequence()
    {
        makeDevice();
        const Clock::time_point start = Clock::now();
        m_device->resetBoard();
        const Clock::time_point end = Clock::now();
        const std::vector<Call> calls = m_backend->calls();
        QCOMPARE(m_backend->callNames(),
                 (std::vector<std::string>{"BridgeWriteLatch", "BridgeWriteLatch", "BridgeWriteLatch"}));
        QCOMPARE(args(calls[0]), (std::vector<int64_t>{1, 0x01, 0x00}));
        QCOMPARE(args(calls[1]), (std::vector<int64_t>{1, 0x02, 0x02}));
        QCOMPARE(args(calls[2]), (std::vector<int64_t>{1, 0x01, 0x01}));
        const std::vector<Clock::time_point> stamps = m_backend->stamps();
        QVERIFY(msBetween(stamps[1], stamps[2]) >= 50);
        QVERIFY(msBetween(stamps[2], end) >= 50);
        QVERIFY(msBetween(start, end) >= 100);
        QCOMPARE(int(m_backend->latch() & 0x03), 0x03);
    }

    void latchLines_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::newRow("0x01") << 0x01 << "SI_INVALID_HANDLE";
        QTest::newRow("0x06") << 0x06 << "SI_INVALID_PARAMETER";
        QTest::newRow("0x08") << 0x08 << "SI_DEVICE_IO_FAILED";
        QTest::newRow("0x0A") << 0x0A << "SI_FUNCTION_NOT_SUPPORTED";
        QTest::newRow("0x0B") << 0x0B << "SI_GLOBAL_DATA_ERROR";
        QTest::newRow("0xFF") << 0xFF << "SI_DEVICE_NOT_FOUND";
        QTest::newRow("unnamed here 0x02") << 0x02 << "";
        QTest::newRow("unknown 0x05") << 0x05 << "";
    }

    void latchLines()
    {
        QFETCH(int, status);
        QFETCH(QString, line);
        makeDevice();
        LogCapture log;
        const int expected = line.isEmpty() ? 1 : -1;
        struct Case
        {
            bool boot0;
            bool active;
            int mask;
            int value;
        };
        const Case cases[] = {
            {false, true, 0x01, 0x00}, {false, false, 0x01, 0x01}, {true, true, 0x02, 0x00}, {true, false, 0x02, 0x02}};
        for (const Case& c : cases) {
            m_backend->clearCalls();
            log.clear();
            m_backend->setStatus("BridgeWriteLatch", static_cast<BRIDGE_STATUS>(status), 1);
            const int result = c.boot0 ? m_device->setBoot0(c.active) : m_device->setReset(c.active);
            QCOMPARE(result, expected);
            const std::vector<Call> calls = m_backend->calls();
            QCOMPARE(calls.size(), size_t(1));
            QCOMPARE(args(calls[0]), (std::vector<int64_t>{1, c.mask, c.value}));
            const char* label = c.boot0 ? kBoot0 : kReset;
            QCOMPARE(log.lines(), line.isEmpty() ? QStringList() : QStringList{errorLine(label, line)});
        }
    }

    void latchDoesNotConsultConnection()
    {
        makeDevice(false);
        LogCapture log;
        QCOMPARE(m_device->setReset(true), -1); // no handle: the library refuses it
        QCOMPARE(m_backend->callCount("BridgeWriteLatch"), size_t(1));
        QCOMPARE(log.lines(), QStringList{errorLine(kReset, "SI_INVALID_HANDLE")});
        QCOMPARE(m_device->flushBuffers(), -1);
        QCOMPARE(m_backend->callCount("BridgeFlushBuffers"), size_t(1));
    }

    void openOutOfRange()
    {
        makeDevice(false);
        LogCapture log;
        QSignalSpy closed(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_connectionClosed);
        QCOMPARE(m_device->openDevice(65535), -1);
        QCOMPARE(m_device->openDevice(2), -1);
        QCOMPARE(log.lines(), (QStringList{errorLine(kOpen, "Device to Open not exist"),
                                           errorLine(kOpen, "Device to Open not exist")}));
        QCOMPARE(m_backend->calls().size(), size_t(0));
        QVERIFY(!m_device->isConnected());
        QCOMPARE(closed.count(), 0);
    }

    void openSuccessConfiguresLink()
    {
        makeDevice(false);
        LogCapture log;
        QCOMPARE(m_device->openDevice(1), 1);
        QVERIFY(m_device->isConnected());
        const std::vector<Call> calls = m_backend->calls();
        QCOMPARE(m_backend->callNames(),
                 (std::vector<std::string>{"BridgeOpen", "BridgeSetBaudRate", "BridgeSetLineControl"}));
        QCOMPARE(args(calls[0]), (std::vector<int64_t>{1}));
        QCOMPARE(args(calls[1]), (std::vector<int64_t>{1, 115200}));
        QCOMPARE(args(calls[2]), (std::vector<int64_t>{1, 0x0800}));
        QCOMPARE(m_backend->openDeviceNumber(), 1);
        QVERIFY(log.lines().isEmpty());
    }

    void secondOpenLeavesLinkAlone()
    {
        makeDevice();
        LogCapture log;
        QCOMPARE(m_device->openDevice(1), -1);
        QCOMPARE(m_device->openDevice(0), -1);
        QCOMPARE(log.count(errorLine(kOpen, "Device already open")), 2);
        QCOMPARE(m_backend->calls().size(), size_t(0));
        QVERIFY(m_device->isConnected());
        QCOMPARE(m_backend->openDeviceNumber(), 0);
        QCOMPARE(m_device->sendData("x", 1), quint16(1));
    }

    void openStatuses_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::newRow("open 0x06") << "BridgeOpen" << 0x06 << "SI_INVALID_PARAMETER";
        QTest::newRow("open 0x0B") << "BridgeOpen" << 0x0B << "SI_GLOBAL_DATA_ERROR";
        QTest::newRow("open 0xFF") << "BridgeOpen" << 0xFF << "SI_DEVICE_NOT_FOUND";
        QTest::newRow("open 0x08 is success") << "BridgeOpen" << 0x08 << "";
        QTest::newRow("baud 0x01") << "BridgeSetBaudRate" << 0x01 << "SI_INVALID_HANDLE";
        QTest::newRow("baud 0x06") << "BridgeSetBaudRate" << 0x06 << "SI_INVALID_PARAMETER";
        QTest::newRow("baud 0x08") << "BridgeSetBaudRate" << 0x08 << "SI_DEVICE_IO_FAILED";
        QTest::newRow("baud 0x09") << "BridgeSetBaudRate" << 0x09 << "SI_INVALID_BAUDRATE";
        QTest::newRow("baud 0x0B is success") << "BridgeSetBaudRate" << 0x0B << "";
        // The device went away after it was opened.
        QTest::newRow("baud 0xFF") << "BridgeSetBaudRate" << 0xFF << "SI_DEVICE_NOT_FOUND";
        QTest::newRow("line 0xFF") << "BridgeSetLineControl" << 0xFF << "SI_DEVICE_NOT_FOUND";
        QTest::newRow("line 0x01") << "BridgeSetLineControl" << 0x01 << "SI_INVALID_HANDLE";
        QTest::newRow("line 0x06") << "BridgeSetLineControl" << 0x06 << "SI_INVALID_PARAMETER";
        QTest::newRow("line 0x08") << "BridgeSetLineControl" << 0x08 << "SI_DEVICE_IO_FAILED";
        QTest::newRow("line 0x09 is success") << "BridgeSetLineControl" << 0x09 << "";
    }

    void openStatuses()
    {
        QFETCH(QString, op);
        QFETCH(int, status);
        QFETCH(QString, line);
        makeDevice(false);
        LogCapture log;
        // A refused open hands out no handle; the later steps' statuses come
        // on top of working calls.
        const Effect effect = op == "BridgeOpen" && !line.isEmpty() ? Effect::Skip : Effect::Apply;
        m_backend->setStatus(op.toStdString(), static_cast<BRIDGE_STATUS>(status), 1, effect);
        const int result = m_device->openDevice(0);
        if (line.isEmpty()) {
            QCOMPARE(result, 1);
            QVERIFY(m_device->isConnected());
            QVERIFY(log.lines().isEmpty());
            return;
        }
        QCOMPARE(result, -1);
        QVERIFY(!m_device->isConnected());
        QCOMPARE(log.lines(), QStringList{errorLine(kOpen, line)});
        // A handle obtained before the failing step is given back ...
        QVERIFY(!m_backend->isOpen());
        if (op != "BridgeOpen")
            QCOMPARE(m_backend->callNames().back(), std::string("BridgeClose"));
        // ... so the device can be opened again.
        QCOMPARE(m_device->openDevice(0), 1);
        QVERIFY(m_backend->isOpen());
    }

    void closeWhileClosed()
    {
        makeDevice(false);
        LogCapture log;
        QSignalSpy closed(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_connectionClosed);
        QCOMPARE(m_device->closeDev(), -1);
        QCOMPARE(m_device->closeDev(true), -1);
        QCOMPARE(log.count(errorLine(kClose, "Device not open")), 2);
        QCOMPARE(closed.count(), 0);
        QCOMPARE(m_backend->calls().size(), size_t(0));
    }

    void closeAnnouncesOnlyWhenAsked()
    {
        makeDevice();
        QSignalSpy closed(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_connectionClosed);
        QCOMPARE(m_device->closeDev(), 1);
        QVERIFY(!m_device->isConnected());
        QVERIFY(!m_backend->isOpen());
        QCOMPARE(closed.count(), 0);
        QCOMPARE(m_device->openDevice(1), 1);
        QCOMPARE(m_device->closeDev(true), 1);
        QCOMPARE(closed.count(), 1);
        QCOMPARE(m_backend->callNames().back(), std::string("BridgeClose"));
    }

    void closeStatuses_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::newRow("0x01") << 0x01 << "SI_INVALID_HANDLE";
        QTest::newRow("0x0B") << 0x0B << "SI_GLOBAL_DATA_ERROR";
        QTest::newRow("0x0C") << 0x0C << "SI_SYSTEM_ERROR_CODE";
        QTest::newRow("0xFF") << 0xFF << "SI_DEVICE_NOT_FOUND";
        QTest::newRow("named elsewhere 0x02") << 0x02 << "SI_READ_ERROR";
        QTest::newRow("unnamed 0x03") << 0x03 << "SI Unkown Error 3";
    }

    void closeStatuses()
    {
        QFETCH(int, status);
        QFETCH(QString, line);
        makeDevice();
        LogCapture log;
        QSignalSpy closed(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_connectionClosed);
        m_backend->setStatus("BridgeClose", static_cast<BRIDGE_STATUS>(status), 1);
        QCOMPARE(m_device->closeDev(true), -1);
        QCOMPARE(log.lines(), QStringList{errorLine(kClose, line)});
        QVERIFY(m_device->isConnected());
        QCOMPARE(closed.count(), 0);
        // The link still works and closes normally afterwards.
        QCOMPARE(m_device->sendData("ok", 2), quint16(1));
        QCOMPARE(m_device->closeDev(true), 1);
        QCOMPARE(closed.count(), 1);
    }

    void sendWhileClosed()
    {
        makeDevice(false);
        LogCapture log;
        QCOMPARE(m_device->sendData("abc", 3), quint16(0xFFFF));
        QVERIFY(log.lines().isEmpty());
        QCOMPARE(m_backend->calls().size(), size_t(0));
    }

    void sendStatuses_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::newRow("success") << 0x00 << "";
        QTest::newRow("0x01") << 0x01 << "SI_INVALID_HANDLE";
        QTest::newRow("0x04") << 0x04 << "SI_WRITE_ERROR";
        QTest::newRow("0x06") << 0x06 << "SI_INVALID_PARAMETER";
        QTest::newRow("0x07") << 0x07 << "SI_INVALID_REQUEST_LENGTH";
        QTest::newRow("0x08") << 0x08 << "SI_DEVICE_IO_FAILED";
        QTest::newRow("0x0A") << 0x0A << "SI_FUNCTION_NOT_SUPPORTED";
        QTest::newRow("0x0C") << 0x0C << "SI_SYSTEM_ERROR_CODE";
        QTest::newRow("0x0E") << 0x0E << "SI_WRITE__TIMED_OUT";
        QTest::newRow("0x0F") << 0x0F << "SI_IO_PENDING";
        QTest::newRow("0xFF") << 0xFF << "SI_DEVICE_NOT_FOUND";
        QTest::newRow("0x0D is success") << 0x0D << "";
        QTest::newRow("0x02 is success") << 0x02 << "";
    }

    void sendStatuses()
    {
        QFETCH(int, status);
        QFETCH(QString, line);
        makeDevice();
        LogCapture log;
        if (status != 0)
            m_backend->setStatus("BridgeWrite", static_cast<BRIDGE_STATUS>(status), 1, Effect::Apply);
        const quint16 result = m_device->sendData("setHWqd\r", 8);
        QCOMPARE(result, line.isEmpty() ? quint16(1) : quint16(0xFFFF));
        QCOMPARE(log.lines(), line.isEmpty() ? QStringList() : QStringList{errorLine(kSend, line)});
        const std::vector<Call> writes = m_backend->calls("BridgeWrite");
        QCOMPARE(writes.size(), size_t(1));
        QCOMPARE(args(writes[0]), (std::vector<int64_t>{1, 8}));
        QCOMPARE(writes[0].data, (std::vector<uint8_t>{'s', 'e', 't', 'H', 'W', 'q', 'd', '\r'}));
    }

    void flushStatuses_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::newRow("success") << 0x00 << "";
        QTest::newRow("0x01") << 0x01 << "SI_INVALID_HANDLE";
        QTest::newRow("0x0C") << 0x0C << "SI_SYSTEM_ERROR_CODE";
        QTest::newRow("0x06 is success") << 0x06 << "";
    }

    void flushStatuses()
    {
        QFETCH(int, status);
        QFETCH(QString, line);
        makeDevice();
        LogCapture log;
        if (status != 0)
            m_backend->setStatus("BridgeFlushBuffers", static_cast<BRIDGE_STATUS>(status), 1);
        QCOMPARE(m_device->flushBuffers(), line.isEmpty() ? 1 : -1);
        QCOMPARE(log.lines(), line.isEmpty() ? QStringList() : QStringList{errorLine(kFlush, line)});
        const std::vector<Call> calls = m_backend->calls("BridgeFlushBuffers");
        QCOMPARE(calls.size(), size_t(1));
        QCOMPARE(args(calls[0]), (std::vector<int64_t>{1, 1, 1}));
    }

    void displayNamesAndFirstAnnouncement()
    {
        m_backend = std::make_shared<TimedBackend>();
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev(KX_SI_USBXpressDev::ManualCycles{}));
        QSignalSpy list(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable);
        m_device->runWorkerCycle();
        QCOMPARE(list.count(), 1); // even though nothing is attached
        QVERIFY(m_device->getDeviceList().isEmpty());
        refresh(*m_device, *m_backend);
        QCOMPARE(list.count(), 1); // nothing changed, nothing announced

        LogCapture log;
        m_backend->setDevices({{"CP2102 USB to UART", "0001"}, {std::string("Caf\xe9 board"), "X y"}});
        refresh(*m_device, *m_backend);
        QCOMPARE(list.count(), 2);
        QCOMPARE(m_device->getDeviceList(),
                 (QStringList{"CP2102 USB to UART [0x0001]", QString::fromUtf8("Café board [0xX y]")}));
        QCOMPARE(log.linesOf(kFill),
                 (QStringList{statusLine(kFill, "Add Device Index"), statusLine(kFill, "Add Device Index")}));
        const std::vector<Call> queries = m_backend->calls("BridgeGetProductString");
        QCOMPARE(queries.size(), size_t(4));
        QCOMPARE(args(queries[0]), (std::vector<int64_t>{0, 1}));
        QCOMPARE(args(queries[1]), (std::vector<int64_t>{0, 0}));
        QCOMPARE(args(queries[2]), (std::vector<int64_t>{1, 1}));
        QCOMPARE(args(queries[3]), (std::vector<int64_t>{1, 0}));
    }

    void unheardAnnouncementIsKept()
    {
        m_backend = std::make_shared<TimedBackend>(std::vector<Device>{{"Tivako", "T1"}});
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev(KX_SI_USBXpressDev::ManualCycles{}));
        m_device->runWorkerCycle(); // nobody listens yet
        QSignalSpy list(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable);
        // Announced by the very next cycle, without waiting for a refresh.
        m_device->runWorkerCycle();
        QCOMPARE(list.count(), 1);
        QCOMPARE(m_backend->callCount("BridgeGetNumDevices"), size_t(1));
        m_device->runWorkerCycle();
        refresh(*m_device, *m_backend);
        QCOMPARE(list.count(), 1);
    }

    void sameSerialSharesEntryWithLaterNumber()
    {
        m_backend = std::make_shared<TimedBackend>(
            std::vector<Device>{{"First", "SAME"}, {"Other", "OTHER"}, {"Second", "SAME"}});
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev(KX_SI_USBXpressDev::ManualCycles{}));
        m_device->runWorkerCycle();
        QCOMPARE(m_device->getDeviceList(), (QStringList{"First [0xSAME]", "Other [0xOTHER]"}));
        QCOMPARE(m_device->openDevice(0), 1);
        QCOMPARE(m_backend->openDeviceNumber(), 2);
    }

    void rowsAreStableAndReplugAppends()
    {
        m_backend = std::make_shared<TimedBackend>(std::vector<Device>{{"A", "1"}, {"B", "2"}, {"C", "3"}, {"D", "4"}});
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev(KX_SI_USBXpressDev::ManualCycles{}));
        m_device->runWorkerCycle();
        QSignalSpy list(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable);
        LogCapture log;

        // B and C, side by side, vanish together: both go in one refresh.
        m_backend->setDevices({{"A", "1"}, {"D", "4"}});
        refresh(*m_device, *m_backend);
        QCOMPARE(m_device->getDeviceList(), (QStringList{"A [0x1]", "D [0x4]"}));
        QCOMPARE(log.linesOf(kFill),
                 (QStringList{statusLine(kFill, "Remove Device Index 1"), statusLine(kFill, "Remove Device Index 1")}));
        QCOMPARE(list.count(), 1);

        // D now enumerates first; it keeps its row. Opening row 1 takes D's new number.
        log.clear();
        m_backend->setDevices({{"D", "4"}, {"A", "1"}});
        refresh(*m_device, *m_backend);
        QCOMPARE(m_device->getDeviceList(), (QStringList{"A [0x1]", "D [0x4]"}));
        QVERIFY(log.linesOf(kFill).isEmpty());
        QCOMPARE(list.count(), 1);
        QCOMPARE(m_device->openDevice(1), 1);
        QCOMPARE(m_backend->openDeviceNumber(), 0);
        QCOMPARE(m_device->closeDev(), 1);

        // A unplugged and plugged in again: it comes back at the end.
        m_backend->setDevices({{"D", "4"}});
        refresh(*m_device, *m_backend);
        m_backend->setDevices({{"A", "1"}, {"D", "4"}});
        refresh(*m_device, *m_backend);
        QCOMPARE(m_device->getDeviceList(), (QStringList{"D [0x4]", "A [0x1]"}));
        QCOMPARE(list.count(), 3);
    }

    void unplugOpenDeviceClosesThenAnnounces()
    {
        makeDevice(false);
        QCOMPARE(m_device->openDevice(1), 1);
        QStringList order;
        QObject context;
        connect(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_connectionClosed, &context,
                [&] { order << "closed" << QString::number(m_device->isConnected()); });
        connect(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable, &context,
                [&] { order << "list" << m_device->getDeviceList().join(","); });
        LogCapture log;
        m_backend->setDevices({{"Tivako A", "AAA1"}});
        refresh(*m_device, *m_backend);
        QCOMPARE(order, (QStringList{"closed", "0", "list", "Tivako A [0xAAA1]"}));
        QCOMPARE(log.linesOf(kFill), QStringList{statusLine(kFill, "Remove Device Index 1")});
        QVERIFY(!m_backend->isOpen());
    }

    void shiftedNumberStillRecognised()
    {
        // Open B (number 1); A goes away, so B becomes number 0; then C is
        // plugged in and takes number 1. Unplugging C must not close B, and
        // unplugging B must.
        makeDevice(false);
        QCOMPARE(m_device->openDevice(1), 1);
        QSignalSpy closed(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_connectionClosed);
        m_backend->setDevices({{"Tivako B", "BBB2"}});
        refresh(*m_device, *m_backend);
        QVERIFY(m_device->isConnected());
        m_backend->setDevices({{"Tivako B", "BBB2"}, {"Tivako C", "CCC3"}});
        refresh(*m_device, *m_backend);
        m_backend->setDevices({{"Tivako B", "BBB2"}});
        refresh(*m_device, *m_backend);
        QVERIFY(m_device->isConnected());
        QCOMPARE(closed.count(), 0);
        m_backend->setDevices({});
        refresh(*m_device, *m_backend);
        QVERIFY(!m_device->isConnected());
        QCOMPARE(closed.count(), 1);
        QVERIFY(!m_backend->isOpen());
    }

    void countFailureRemovesEverything_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::newRow("0x06") << 0x06 << errorLine(kNum, "SI_INVALID_PARAMETER");
        QTest::newRow("0xFF") << 0xFF << errorLine(kNum, "SI_DEVICE_NOT_FOUND");
        QTest::newRow("0x02 silent") << 0x02 << QString();
    }

    void countFailureRemovesEverything()
    {
        QFETCH(int, status);
        QFETCH(QString, line);
        makeDevice();
        QSignalSpy closed(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_connectionClosed);
        QSignalSpy list(m_device.get(), &KX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable);
        LogCapture log;
        m_backend->setStatus("BridgeGetNumDevices", static_cast<BRIDGE_STATUS>(status), 1);
        refresh(*m_device, *m_backend);
        QVERIFY(m_device->getDeviceList().isEmpty());
        QCOMPARE(m_backend->callCount("BridgeGetProductString"), size_t(0));
        QCOMPARE(closed.count(), 1);
        QCOMPARE(list.count(), 1);
        QVERIFY(!m_device->isConnected());
        QStringList expected;
        if (!line.isEmpty())
            expected << line;
        expected << statusLine(kFill, "Remove Device Index 0") << statusLine(kFill, "Remove Device Index 0");
        QCOMPARE(log.lines(), expected);
        // The next good count brings both back, in enumeration order.
        refresh(*m_device, *m_backend);
        QCOMPARE(m_device->getDeviceList(), (QStringList{"Tivako A [0xAAA1]", "Tivako B [0xBBB2]"}));
    }

    void productStringFailureEndsEnumeration_data()
    {
        QTest::addColumn<int>("failAfter"); // successful queries before the failing one
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("description of B, 0x06") << 2 << 0x06 << "SI_INVALID_PARAMETER" << QStringList{"A [0x1]"};
        QTest::newRow("serial of B, 0xFF") << 3 << 0xFF << "SI_DEVICE_NOT_FOUND" << QStringList{"A [0x1]"};
        // B now reads with an empty serial: a new entry, and the old B is gone.
        QTest::newRow("serial of B, other status: empty serial")
            << 3 << 0x02 << "" << QStringList{"A [0x1]", "C [0x3]", "B [0x]"};
    }

    void productStringFailureEndsEnumeration()
    {
        QFETCH(int, failAfter);
        QFETCH(int, status);
        QFETCH(QString, line);
        QFETCH(QStringList, rows);
        m_backend = std::make_shared<TimedBackend>(std::vector<Device>{{"A", "1"}, {"B", "2"}, {"C", "3"}});
        bridgeInstallBackend(m_backend);
        m_device.reset(new KX_SI_USBXpressDev(KX_SI_USBXpressDev::ManualCycles{}));
        m_device->runWorkerCycle();
        LogCapture log;
        m_backend->setStatus("BridgeGetProductString", SI_SUCCESS, failAfter);
        m_backend->setStatus("BridgeGetProductString", static_cast<BRIDGE_STATUS>(status), 1);
        refresh(*m_device, *m_backend);
        QCOMPARE(m_device->getDeviceList(), rows);
        if (line.isEmpty()) {
            QCOMPARE(m_backend->callCount("BridgeGetProductString"), size_t(6 + 6));
            QCOMPARE(log.linesOf(kInfo), QStringList());
            QCOMPARE(log.linesOf(kFill),
                     (QStringList{statusLine(kFill, "Add Device Index"), statusLine(kFill, "Remove Device Index 1")}));
        } else {
            // B and C were not looked at: both count as gone.
            QCOMPARE(m_backend->callCount("BridgeGetProductString"), size_t(6 + failAfter + 1));
            QCOMPARE(log.linesOf(kInfo), QStringList{errorLine(kInfo, line)});
            QCOMPARE(log.linesOf(kFill), (QStringList{statusLine(kFill, "Remove Device Index 1"),
                                                        statusLine(kFill, "Remove Device Index 1")}));
            refresh(*m_device, *m_backend);
            QCOMPARE(m_device->getDeviceList(), (QStringList{"A [0x1]", "B [0x2]", "C [0x3]"}));
        }
    }
};

QTEST_GUILESS_MAIN(BridgeDeviceAccessTest)
#include "tst_bridge_device_access.moc"
