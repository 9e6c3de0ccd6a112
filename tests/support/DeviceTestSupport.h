#ifndef TIVAKO_TESTS_BRIDGE_DEVICE_SUPPORT_H
#define TIVAKO_TESTS_BRIDGE_DEVICE_SUPPORT_H

// Helpers shared by the bridge device suites: ring drains and a receiver
// that records the device's signals in the test thread.

#include "bridge/KX_SI_USBXpressDev.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestData.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

// Takes everything waiting in a ring through its public accessors.
QByteArray drainRx(KX_SI_USBXpressDev& device);
QByteArray drainMsg(KX_SI_USBXpressDev& device);
QByteArray drainTlv(KX_SI_USBXpressDev& device);

// Records the device's signals. Lives in the test thread, so signals from
// the worker arrive queued and are recorded there, in order.
class SignalLog : public QObject
{
    Q_OBJECT
public:
    explicit SignalLog(KX_SI_USBXpressDev* device);
    QStringList events;      // "data0", "data1", "data2", "closed", "list", "finish:<n>"
    QByteArray rx, msg, tlv; // ring bytes taken when the matching signal arrived
    bool drainOnSignal = true;
    int countOf(const QString& event) const { return events.count(event); }

private:
    KX_SI_USBXpressDev* m_device;
};

#endif
