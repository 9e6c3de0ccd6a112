// The eleven operations as callers see them: dispatch to the installed
// backend, the guards in front of it, the choice of backend from the
// environment, and several backends combined into one numbering.

#include "bridge/BridgeLibrary.h"
#include "bridge/CompositeBridgeBackend.h"
#include "tests/bridge_layer/ScriptedBridgeBackend.h"

#include <QtTest>

#include <cstdlib>
#include <cstring>

using Device = ScriptedBridgeBackend::Device;

namespace {

std::shared_ptr<ScriptedBridgeBackend> scripted(std::vector<Device> devices)
{
    return std::make_shared<ScriptedBridgeBackend>(std::move(devices));
}

std::string productString(uint32_t device, uint8_t selector, BRIDGE_STATUS* status = nullptr)
{
    char buffer[BRIDGE_MAX_PRODUCT_STRING];
    std::memset(buffer, 'x', sizeof(buffer));
    BRIDGE_STATUS result = BridgeGetProductString(device, buffer, selector);
    if (status)
        *status = result;
    return buffer;
}

} // namespace

class TestBridgeLibrary : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        bridgeInstallBackend(nullptr);
        qunsetenv("TIVAKO_BRIDGE");
    }

    void withoutBackendNothingIsThere()
    {
        bridgeInstallBackend(nullptr);
        QVERIFY(!bridgeBackend());
        uint32_t count = 77;
        QCOMPARE(BridgeGetNumDevices(&count), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(count, 0u);
        BRIDGE_STATUS status = SI_SUCCESS;
        QCOMPARE(productString(0, SI_RETURN_DESCRIPTION, &status), std::string());
        QCOMPARE(status, BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        BRIDGE_HANDLE handle = bridgeHandleFromId(5);
        QCOMPARE(BridgeOpen(0, &handle), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QVERIFY(handle == nullptr);

        BRIDGE_HANDLE any = bridgeHandleFromId(1);
        uint32_t n = 0, queue = 0;
        uint8_t byte = 0;
        QCOMPARE(BridgeClose(any), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(BridgeSetBaudRate(any, 115200), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(BridgeSetLineControl(any, BRIDGE_LINE_8N1), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(BridgeWriteLatch(any, 1, 0), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(BridgeCheckRxQueue(any, &n, &queue), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(BridgeRead(any, &byte, 1, &n), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(BridgeWrite(any, &byte, 1, &n), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(BridgeFlushBuffers(any, 1, 1), BRIDGE_STATUS(SI_INVALID_HANDLE));
    }

    void callsReachTheInstalledBackendWithTheirArguments()
    {
        auto backend = scripted({{"Board A", "111"}, {"Board B", "222"}});
        bridgeInstallBackend(backend);
        QCOMPARE(bridgeBackend().get(), static_cast<BridgeBackend*>(backend.get()));

        uint32_t count = 0;
        QCOMPARE(BridgeGetNumDevices(&count), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(count, 2u);
        QCOMPARE(productString(1, SI_RETURN_DESCRIPTION), std::string("Board B"));
        QCOMPARE(productString(1, SI_RETURN_SERIAL_NUMBER), std::string("222"));

        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(BridgeOpen(1, &handle), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(handle != nullptr);
        QCOMPARE(BridgeSetBaudRate(handle, 115200), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeSetLineControl(handle, BRIDGE_LINE_8E1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeWriteLatch(handle, 0x02, 0x00), BRIDGE_STATUS(SI_SUCCESS));
        const char text[] = "setHWqd\r";
        uint32_t written = 0;
        QCOMPARE(BridgeWrite(handle, text, 8, &written, nullptr), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(written, 8u);
        backend->feedRx(std::string("ok"));
        uint32_t waiting = 0, queue = 0;
        QCOMPARE(BridgeCheckRxQueue(handle, &waiting, &queue), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(waiting, 2u);
        char in[8] = {};
        uint32_t got = 0;
        QCOMPARE(BridgeRead(handle, in, waiting, &got, nullptr), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(std::string(in, got), std::string("ok"));
        QCOMPARE(BridgeFlushBuffers(handle, 1, 1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_SUCCESS));

        QCOMPARE(backend->callNames(),
                 (std::vector<std::string>{"BridgeGetNumDevices", "BridgeGetProductString", "BridgeGetProductString",
                                           "BridgeOpen", "BridgeSetBaudRate", "BridgeSetLineControl",
                                           "BridgeWriteLatch", "BridgeWrite", "BridgeCheckRxQueue", "BridgeRead",
                                           "BridgeFlushBuffers", "BridgeClose"}));
        QCOMPARE(backend->calls("BridgeSetBaudRate")[0].args, (std::vector<int64_t>{1, 115200}));
        QCOMPARE(backend->calls("BridgeSetLineControl")[0].args, (std::vector<int64_t>{1, 0x0820}));
        QCOMPARE(backend->calls("BridgeWriteLatch")[0].args, (std::vector<int64_t>{1, 0x02, 0x00}));
        QCOMPARE(backend->calls("BridgeFlushBuffers")[0].args, (std::vector<int64_t>{1, 1, 1}));
        QCOMPARE(backend->writtenText(), std::string("setHWqd\r"));
        QCOMPARE(backend->lineControl(), uint16_t(0x0820));
        QCOMPARE(backend->latch(), uint8_t(0xFD));
    }

    void missingOutPointersAndOverlappedRecordsAreRefused()
    {
        auto backend = scripted({{"Board", "1"}});
        bridgeInstallBackend(backend);
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(BridgeOpen(0, &handle), BRIDGE_STATUS(SI_SUCCESS));
        backend->clearCalls();

        uint32_t n = 0;
        uint8_t byte = 0;
        int overlapped = 0;
        QCOMPARE(BridgeGetNumDevices(nullptr), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(BridgeGetProductString(0, nullptr, SI_RETURN_DESCRIPTION), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(BridgeOpen(0, nullptr), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(BridgeCheckRxQueue(handle, nullptr, &n), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(BridgeCheckRxQueue(handle, &n, nullptr), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(BridgeRead(handle, nullptr, 4, &n), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(BridgeRead(handle, &byte, 1, nullptr), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(BridgeRead(handle, &byte, 1, &n, &overlapped), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(BridgeWrite(handle, nullptr, 4, &n), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(BridgeWrite(handle, &byte, 1, nullptr), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QCOMPARE(BridgeWrite(handle, &byte, 1, &n, &overlapped), BRIDGE_STATUS(SI_INVALID_PARAMETER));
        QVERIFY(backend->calls().empty());

        // Zero-length transfers need no buffer.
        QCOMPARE(BridgeWrite(handle, nullptr, 0, &n), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeRead(handle, nullptr, 0, &n), BRIDGE_STATUS(SI_SUCCESS));
    }

    void outValuesAreClearedWhenTheBackendFails()
    {
        auto backend = scripted({{"Board", "1"}});
        bridgeInstallBackend(backend);
        backend->setStatus("BridgeGetNumDevices", SI_DEVICE_NOT_FOUND, 1);
        uint32_t count = 99;
        QCOMPARE(BridgeGetNumDevices(&count), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(count, 0u);

        backend->setStatus("BridgeGetProductString", SI_INVALID_PARAMETER, 1);
        BRIDGE_STATUS status = SI_SUCCESS;
        QCOMPARE(productString(0, SI_RETURN_DESCRIPTION, &status), std::string());
        QCOMPARE(status, BRIDGE_STATUS(SI_INVALID_PARAMETER));

        backend->setStatus("BridgeOpen", SI_GLOBAL_DATA_ERROR, 1);
        BRIDGE_HANDLE handle = bridgeHandleFromId(42);
        QCOMPARE(BridgeOpen(0, &handle), BRIDGE_STATUS(SI_GLOBAL_DATA_ERROR));
        QVERIFY(handle == nullptr);
    }

    void productStringsAreCutToTheBuffer()
    {
        bridgeInstallBackend(scripted({{std::string(400, 'D'), std::string(300, 'S')}}));
        QCOMPARE(productString(0, SI_RETURN_DESCRIPTION), std::string(BRIDGE_MAX_PRODUCT_STRING - 1, 'D'));
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string(BRIDGE_MAX_PRODUCT_STRING - 1, 'S'));
    }

    // ---- choosing the backend ----

    void environmentChoosesTheBackend_data()
    {
        QTest::addColumn<bool>("set");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("backend"); // empty: refused
        QTest::addColumn<QString>("message"); // part of the error text

        QTest::newRow("unset") << false << QByteArray() << "usb"
                               << "";
        QTest::newRow("empty") << true << QByteArray("") << "usb"
                               << "";
        QTest::newRow("usb") << true << QByteArray("usb") << "usb"
                             << "";
        QTest::newRow("sim") << true << QByteArray("sim") << "sim"
                             << "";
        QTest::newRow("usb+sim") << true << QByteArray("usb+sim") << "usb+sim"
                                 << "";
        QTest::newRow("unknown") << true << QByteArray("serial") << ""
                                 << "TIVAKO_BRIDGE=serial: unknown";
        QTest::newRow("case matters") << true << QByteArray("USB") << ""
                                      << "TIVAKO_BRIDGE=USB: unknown";
        QTest::newRow("no trimming") << true << QByteArray("usb ") << ""
                                     << "unknown";
    }

    void environmentChoosesTheBackend()
    {
        QFETCH(bool, set);
        QFETCH(QByteArray, value);
        QFETCH(QString, backend);
        QFETCH(QString, message);
        if (set)
            qputenv("TIVAKO_BRIDGE", value);
        else
            qunsetenv("TIVAKO_BRIDGE");

        // Whatever was installed before stays when the value is refused.
        auto before = scripted({});
        bridgeInstallBackend(before);
        std::string error;
        bool installed = bridgeInstallBackendFromEnvironment(&error);
        if (backend.isEmpty()) {
            QVERIFY(!installed);
            QVERIFY2(QString::fromStdString(error).contains(message), error.c_str());
            QCOMPARE(bridgeBackend().get(), static_cast<BridgeBackend*>(before.get()));
        } else {
            QVERIFY2(installed, error.c_str());
            QVERIFY(error.empty());
            QVERIFY(bridgeBackend());
            QCOMPARE(QString(bridgeBackend()->name()), backend);
        }
    }

    void creatingByNameReportsTheValue()
    {
        std::string error;
        QVERIFY(!bridgeCreateBackend("virtual", &error));
        QVERIFY(QString::fromStdString(error).contains("\"virtual\"") ||
                QString::fromStdString(error).contains("=virtual"));
        QVERIFY(!bridgeCreateBackend("virtual", nullptr)); // no error slot: still refused, no crash
        auto usb = bridgeCreateBackend(nullptr, &error);
        QVERIFY(usb);
        QCOMPARE(QString(usb->name()), QString("usb"));
    }

    // ---- several backends as one ----

    void compositeNumbersRunOnAcrossTheParts()
    {
        auto first = scripted({{"USB one", "U1"}, {"USB two", "U2"}});
        auto second = scripted({{"Virtual", "V1"}});
        auto composite =
            std::make_shared<CompositeBridgeBackend>(std::vector<std::shared_ptr<BridgeBackend>>{first, second});
        QCOMPARE(QString(composite->name()), QString("scripted+scripted"));
        bridgeInstallBackend(composite);

        uint32_t count = 0;
        QCOMPARE(BridgeGetNumDevices(&count), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(count, 3u);
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string("U1"));
        QCOMPARE(productString(1, SI_RETURN_SERIAL_NUMBER), std::string("U2"));
        QCOMPARE(productString(2, SI_RETURN_SERIAL_NUMBER), std::string("V1"));
        QCOMPARE(productString(2, SI_RETURN_DESCRIPTION), std::string("Virtual"));
        BRIDGE_STATUS status = SI_SUCCESS;
        productString(3, SI_RETURN_DESCRIPTION, &status);
        QCOMPARE(status, BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(second->calls("BridgeGetProductString")[0].args, (std::vector<int64_t>{0, SI_RETURN_SERIAL_NUMBER}));

        // The part's own numbering moves when its devices change.
        first->setDevices({{"USB one", "U1"}});
        QCOMPARE(BridgeGetNumDevices(&count), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(count, 2u);
        QCOMPARE(productString(1, SI_RETURN_SERIAL_NUMBER), std::string("V1"));
    }

    void compositeHandlesGoToThePartThatOpened()
    {
        auto first = scripted({{"USB", "U1"}});
        auto second = scripted({{"Virtual", "V1"}});
        bridgeInstallBackend(
            std::make_shared<CompositeBridgeBackend>(std::vector<std::shared_ptr<BridgeBackend>>{first, second}));
        uint32_t count = 0;
        QCOMPARE(BridgeGetNumDevices(&count), BRIDGE_STATUS(SI_SUCCESS));

        BRIDGE_HANDLE usb = nullptr, sim = nullptr;
        QCOMPARE(BridgeOpen(1, &sim), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeOpen(0, &usb), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(usb && sim && usb != sim);
        QCOMPARE(second->openDeviceNumber(), 0);
        QCOMPARE(first->openDeviceNumber(), 0);

        QCOMPARE(BridgeSetLineControl(sim, BRIDGE_LINE_8E1), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeSetLineControl(usb, BRIDGE_LINE_8N1), BRIDGE_STATUS(SI_SUCCESS));
        uint32_t written = 0;
        QCOMPARE(BridgeWrite(sim, "\x7f", 1, &written), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeWriteLatch(usb, 0x01, 0x00), BRIDGE_STATUS(SI_SUCCESS));
        second->feedRx(std::string("\x79"));
        uint32_t waiting = 0, queue = 0;
        QCOMPARE(BridgeCheckRxQueue(usb, &waiting, &queue), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(waiting, 0u);
        QCOMPARE(BridgeCheckRxQueue(sim, &waiting, &queue), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(waiting, 1u);
        uint8_t byte = 0;
        QCOMPARE(BridgeRead(sim, &byte, 1, &waiting), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(byte, uint8_t(0x79));
        QCOMPARE(BridgeSetBaudRate(sim, 115200), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(BridgeFlushBuffers(usb, 1, 0), BRIDGE_STATUS(SI_SUCCESS));

        QCOMPARE(second->lineControl(), uint16_t(0x0820));
        QCOMPARE(first->lineControl(), uint16_t(0x0800));
        QCOMPARE(second->writtenText(), std::string("\x7f"));
        QVERIFY(first->written().empty());
        QCOMPARE(first->latch(), uint8_t(0xFE));
        QCOMPARE(second->latch(), uint8_t(0xFF));
        QCOMPARE(second->baudRate(), 115200u);
        QCOMPARE(first->callCount("BridgeFlushBuffers"), size_t(1));
        QCOMPARE(second->callCount("BridgeFlushBuffers"), size_t(0));

        QCOMPARE(BridgeClose(sim), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(!second->isOpen());
        QVERIFY(first->isOpen());
        // A closed handle, and one the composite never gave out, are refused.
        QCOMPARE(BridgeClose(sim), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(BridgeSetBaudRate(bridgeHandleFromId(999), 9600), BRIDGE_STATUS(SI_INVALID_HANDLE));
        QCOMPARE(first->callCount("BridgeSetBaudRate"), size_t(0));
        QCOMPARE(BridgeClose(usb), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(!first->isOpen());
    }

    void compositeKeepsAHandleWhoseCloseFailed()
    {
        auto first = scripted({{"USB", "U1"}});
        bridgeInstallBackend(
            std::make_shared<CompositeBridgeBackend>(std::vector<std::shared_ptr<BridgeBackend>>{first}));
        BRIDGE_HANDLE handle = nullptr;
        QCOMPARE(BridgeOpen(0, &handle), BRIDGE_STATUS(SI_SUCCESS)); // numbers counted on demand
        first->setStatus("BridgeClose", SI_SYSTEM_ERROR_CODE, 1);
        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_SYSTEM_ERROR_CODE));
        QCOMPARE(BridgeClose(handle), BRIDGE_STATUS(SI_SUCCESS));
    }

    void compositeCountSurvivesAFailingPart()
    {
        auto first = scripted({{"USB", "U1"}});
        auto second = scripted({{"Virtual", "V1"}, {"Virtual", "V2"}});
        bridgeInstallBackend(
            std::make_shared<CompositeBridgeBackend>(std::vector<std::shared_ptr<BridgeBackend>>{first, second}));
        first->setStatus("BridgeGetNumDevices", SI_DEVICE_NOT_FOUND, 1);
        uint32_t count = 0;
        QCOMPARE(BridgeGetNumDevices(&count), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(count, 2u);
        QCOMPARE(productString(0, SI_RETURN_SERIAL_NUMBER), std::string("V1"));

        first->setStatus("BridgeGetNumDevices", SI_DEVICE_NOT_FOUND, 1);
        second->setStatus("BridgeGetNumDevices", SI_INVALID_PARAMETER, 1);
        QCOMPARE(BridgeGetNumDevices(&count), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(count, 0u);
    }
};

QTEST_GUILESS_MAIN(TestBridgeLibrary)
#include "tst_bridge_library.moc"
