#ifndef TIVAKO_TESTS_BRIDGE_DEVICE_SUPPORT_H
#define TIVAKO_TESTS_BRIDGE_DEVICE_SUPPORT_H

// Helpers shared by the bridge device suites: log capture, the exact log
// line forms, a TLV frame encoder and a receiver that records the device's
// signals in the test thread.

#include "bridge/KX_SI_USBXpressDev.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdint>
#include <mutex>
#include <vector>

// Collects every log line (from any thread) while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    int count(const QString& line) const;
    bool contains(const QString& line) const { return count(line) > 0; }
    // Lines that carry the given label, in order.
    QStringList withLabel(const char* label) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
    QtMessageHandler m_previous;
};

QString errorLine(const char* label, const QString& message);
QString statusLine(const char* label, const QString& message);

// n bytes of a fixed, non-repeating-looking sequence starting at step `from`.
QByteArray byteRun(int n, int from = 0);
std::vector<uint8_t> bytesOf(const QByteArray& bytes);

// A frame carrying `text` in one item of `tag`, byte-stuffed for the wire.
QByteArray tlvFrame(const QByteArray& text, uint8_t tag = 0xF0);

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
