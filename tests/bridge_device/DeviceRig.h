#ifndef TIVAKO_TESTS_BRIDGE_DEVICE_DEVICERIG_H
#define TIVAKO_TESTS_BRIDGE_DEVICE_DEVICERIG_H

// One bridge device over the scripted backend, for the device suites.

#include "bridge/KX_SI_USBXpressDev.h"
#include "tests/bridge_layer/ScriptedBridgeBackend.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestData.h"

#include <QtTest>

using Devices = std::vector<ScriptedBridgeBackend::Device>;

inline QByteArray drain(KX_SI_USBXpressDev& device, quint8 (KX_SI_USBXpressDev::*take)(quint8*) = nullptr)
{
    QByteArray out;
    for (quint8 byte = 0; (device.*(take ? take : &KX_SI_USBXpressDev::getRxByte))(&byte) == 1;)
        out.append(char(byte));
    return out;
}

inline QString label(const char* function)
{
    return QStringLiteral("KX_SI_USBXpressDev::") + function;
}

struct DeviceRig
{
    std::shared_ptr<ScriptedBridgeBackend> backend;
    std::unique_ptr<KX_SI_USBXpressDev> device;

    // manual: the worker is not started; the test runs its cycles.
    void start(Devices devices, bool manual = true)
    {
        bridgeInstallBackend(backend = std::make_shared<ScriptedBridgeBackend>(std::move(devices)));
        device.reset(manual ? new KX_SI_USBXpressDev(KX_SI_USBXpressDev::ManualCycles{}) : new KX_SI_USBXpressDev());
        if (manual)
            device->runWorkerCycle();
    }
};

#endif
