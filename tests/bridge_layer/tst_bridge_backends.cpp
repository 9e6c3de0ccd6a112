// The contract of a bridge backend, through the library's operations, over
// every backend that works without hardware.

#include "bridge/CompositeBridgeBackend.h"
#include "tests/bridge_layer/ScriptedBridgeBackend.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SimTestSupport.h"

#include <QtTest>

namespace {

using Devices = std::vector<ScriptedBridgeBackend::Device>;
using Parts = std::vector<std::shared_ptr<BridgeBackend>>;
using Statuses = QVector<BRIDGE_STATUS>;

} // namespace

class BridgeBackendsTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { bridgeInstallBackend(nullptr); }

    void contract_data()
    {
        QTest::addColumn<int>("kind"); // scripted, virtual boards, or those behind a part without devices
        QTest::newRow("scripted") << 0;
        QTest::newRow("sim") << 1;
        QTest::newRow("scripted+sim") << 2;
    }

    // Two devices; the first is a board whose bootloader answers 0x7F with 0x79.
    void contract()
    {
        QFETCH(int, kind);
        auto sim = std::make_shared<SimBridgeBackend>();
        sim->addBoard();
        auto board = std::make_shared<ScriptedBridgeBackend>(
            Devices{{"Tivako Virtual Board", "VB0001"}, {"Tivako Virtual Board", "VB0002"}});
        auto none = std::make_shared<ScriptedBridgeBackend>();
        none->setStatus("BridgeGetNumDevices", SI_DEVICE_NOT_FOUND); // a part whose count fails adds no devices
        const Parts backends{board, sim, std::make_shared<CompositeBridgeBackend>(Parts{none, nullptr, sim})};
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER, SI_DEVICE_NOT_FOUND), QString()); // nothing installed yet
        QCOMPARE(handleCallStatuses(nullptr), Statuses(7, SI_INVALID_HANDLE));
        BRIDGE_HANDLE handle = nullptr, other = nullptr;
        QVERIFY(BridgeOpen(0, &handle) == SI_DEVICE_NOT_FOUND && BridgeClose(handle) == SI_INVALID_HANDLE);
        QVERIFY(BridgeUntilNextEvent() == std::chrono::nanoseconds::max());
        bridgeInstallBackend(backends[kind]);
        QCOMPARE(QString(bridgeBackend()->name()), QTest::currentDataTag());
        auto answer = [&] { kind ? void() : board->feedRx("\x79"); };
        // Numbers are known before the devices are counted.
        QCOMPARE(productString(1, SI_RETURN_DESCRIPTION, SI_SUCCESS) + " " +
                     productString(1, SI_RETURN_SERIAL_NUMBER, SI_SUCCESS),
                 "Tivako Virtual Board VB0002");
        QCOMPARE(productString(2, SI_RETURN_SERIAL_NUMBER, SI_DEVICE_NOT_FOUND) +
                     productString(0, 2, SI_INVALID_PARAMETER),
                 QString());
        uint32_t n = 0;
        QVERIFY(BridgeGetNumDevices(&n) == SI_SUCCESS && n == 2);

        QCOMPARE((Statuses{BridgeOpen(2, &other), BridgeOpen(0, &handle), BridgeOpen(0, &other)}),
                 (Statuses{SI_DEVICE_NOT_FOUND, SI_SUCCESS, SI_DEVICE_NOT_FOUND})); // one host at a time
        const Statuses refused{// missing out-pointers: by the library, and by the boards themselves
                               BridgeGetNumDevices(nullptr),
                               BridgeGetProductString(0, nullptr, 1),
                               BridgeOpen(0, nullptr),
                               BridgeCheckRxQueue(handle, &n, nullptr),
                               BridgeRead(handle, nullptr, 1, &n),
                               BridgeWrite(handle, nullptr, 1, &n),
                               sim->getNumDevices(nullptr),
                               sim->open(0, nullptr),
                               BridgeRead(handle, &n, 1, &n, &n),
                               BridgeWrite(handle, &n, 1, &n, &n)}; // overlapped: not offered
        QCOMPARE(refused, Statuses(10, SI_INVALID_PARAMETER));
        // Reset held, BOOT0 set, reset released: the latch keeps the bits outside the mask.
        QCOMPARE((Statuses{BridgeSetBaudRate(handle, 0), BridgeSetBaudRate(handle, 115200),
                           BridgeSetLineControl(handle, BRIDGE_LINE_8E1), BridgeWriteLatch(handle, 0x01, 0x00),
                           BridgeWriteLatch(handle, 0x02, 0x00), BridgeWriteLatch(handle, 0x01, 0xFF)}),
                 (Statuses{SI_INVALID_BAUDRATE, SI_SUCCESS, SI_SUCCESS, SI_SUCCESS, SI_SUCCESS, SI_SUCCESS}));
        QCOMPARE(int(kind ? sim->board(0)->latch() : board->state().latch), 0xFD);

        const uint8_t sync = 0x7F, get[2] = {0x00, 0xFF};
        uint8_t reply[4] = {};
        QCOMPARE(BridgeWrite(handle, &sync, 1, &n), BRIDGE_STATUS(SI_SUCCESS));
        answer();
        QCOMPARE(waiting(handle, 2), 1);
        QCOMPARE(BridgeRead(handle, reply, 4, &n), BRIDGE_STATUS(SI_SUCCESS)); // takes what waits
        QCOMPARE(QByteArray(reinterpret_cast<char*>(reply), int(n)), QByteArray("\x79"));
        QCOMPARE(BridgeWrite(handle, get, 2, &n), BRIDGE_STATUS(SI_SUCCESS));
        answer();
        QVERIFY(waiting(handle, 2) > 0);
        QCOMPARE(BridgeFlushBuffers(handle, 0, 1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(waiting(handle, 0), 0);

        QCOMPARE((Statuses{BridgeClose(handle), BridgeClose(handle)}), (Statuses{SI_SUCCESS, SI_INVALID_HANDLE}));
        // Closed, never issued, or null: refused, and nothing reaches a device.
        for (BRIDGE_HANDLE stale : {handle, bridgeHandleFromId(0x1234), BRIDGE_HANDLE(nullptr)})
            QCOMPARE(handleCallStatuses(stale), Statuses(7, SI_INVALID_HANDLE));
        QCOMPARE(BridgeOpen(0, &other), BRIDGE_STATUS(SI_SUCCESS));
        if (kind) { // a vanished board fails as USB reports it, until its handle is closed
            QVERIFY(sim->unplug(0) && sim->plug(0) && !sim->unplug(2) && !sim->plug(2));
            QCOMPARE(handleCallStatuses(other), Statuses(7, SI_DEVICE_NOT_FOUND));
            for (int op = int(SimOp::SetBaudRate); op <= int(SimOp::FlushBuffers); ++op)
                sim->injectStatus(SimOp(op), SI_SYSTEM_ERROR_CODE); // before the handle is looked at
            QCOMPARE(handleCallStatuses(other), Statuses(7, SI_SYSTEM_ERROR_CODE));
            sim->injectStatus(SimOp::Close, SI_DEVICE_IO_FAILED); // a close that failed keeps the handle
            QCOMPARE((Statuses{BridgeClose(other), BridgeClose(other), BridgeClose(other)}),
                     (Statuses{SI_DEVICE_IO_FAILED, SI_SUCCESS, SI_INVALID_HANDLE}));
            // Injected statuses answer until cleared; when all parts' counts fail, the first part's status does.
            for (SimOp op : {SimOp::GetProductString, SimOp::Open, SimOp::GetNumDevices})
                sim->injectStatus(op, SI_SYSTEM_ERROR_CODE, SimRepeat::Always);
            none->setStatus("BridgeGetNumDevices", SI_DEVICE_NOT_FOUND);
            QCOMPARE(productString(1, SI_RETURN_SERIAL_NUMBER, SI_SYSTEM_ERROR_CODE), QString());
            QCOMPARE(BridgeOpen(0, &other), BRIDGE_STATUS(SI_SYSTEM_ERROR_CODE));
            QCOMPARE(BridgeGetNumDevices(&n), BRIDGE_STATUS(kind == 1 ? SI_SYSTEM_ERROR_CODE : SI_DEVICE_NOT_FOUND));
            sim->clearInjectedStatuses();
            QVERIFY(sim->boardCount() == 2 && !sim->boardBySerial("VB0003"));
            QCOMPARE(sim->boardBySerial("VB0002"), sim->board(1));
            QVERIFY(BridgeGetNumDevices(&n) == SI_SUCCESS && n == 2);
        }
    }

    void environment_data()
    {
        QTest::addColumn<QByteArray>("values"); // TIVAKO_BRIDGE, TIVAKO_SIM_BOARDS, _TIMING and _OUTPUT
        QTest::addColumn<QString>("result");    // the backend's name, or why the value is not taken
        QTest::newRow("usb+sim") << QByteArray("usb+sim 3 realtime ascii") << "usb+sim";
        QTest::newRow("bridge") << QByteArray("USB 1 fast tlv")
                                << "TIVAKO_BRIDGE=USB: unknown bridge backend; use \"usb\", \"sim\" or \"usb+sim\"";
        for (const char* n : {"65", "-1", "3x", "x", "99999999999999999999"})
            QTest::newRow(n) << "sim " + QByteArray(n) + " fast tlv"
                             << QString("TIVAKO_SIM_BOARDS must be a number from 0 to 64, not \"%1\"").arg(n);
        QTest::newRow("output") << QByteArray("sim 1 fast text")
                                << "TIVAKO_SIM_OUTPUT must be \"tlv\" or \"ascii\", not \"text\"";
    }
    // The backend the environment chooses; a value not taken installs nothing.
    void environment()
    {
        QFETCH(QByteArray, values);
        QFETCH(QString, result);
        const QList<QByteArray> value = values.split(' ');
        const char* names[] = {"TIVAKO_BRIDGE", "TIVAKO_SIM_BOARDS", "TIVAKO_SIM_TIMING", "TIVAKO_SIM_OUTPUT"};
        for (int i = 0; i < 4; ++i)
            qputenv(names[i], value[i]);
        std::string error;
        const bool taken = bridgeInstallBackendFromEnvironment(&error);
        QCOMPARE(taken ? QString(bridgeBackend()->name()) : QString::fromStdString(error), result);
        SimOptions options;
        QCOMPARE(simOptionsFromEnvironment(&options, &error), value[0] != "sim");
        QVERIFY(!taken || (options.boards == 3 && options.timing == SimTiming::Realtime));
        QVERIFY(!taken || options.output == SimOutput::Ascii);
        QVERIFY(taken || productString(0, SI_RETURN_SERIAL_NUMBER, SI_DEVICE_NOT_FOUND).isEmpty()); // nothing installed
        LogCapture log; // without a place for the message, it is logged
        const QStringList logged = createSimBridgeBackend() ? QStringList() : QStringList(result);
        QCOMPARE(LogCapture::errors("createSimBridgeBackend"), logged);
    }
};

QTEST_GUILESS_MAIN(BridgeBackendsTest)
#include "tst_bridge_backends.moc"
