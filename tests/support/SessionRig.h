#ifndef TIVAKO_TESTS_SUPPORT_SESSIONRIG_H
#define TIVAKO_TESTS_SUPPORT_SESSIONRIG_H

// What the bootloader suites share: a bridge device with its real worker
// thread in front of a virtual board (through ProxyBackend), the console
// messages and finish results it produced.

#include "sim/SimBridgeBackend.h"

#include "ProxyBackend.h"

#include "bridge/KX_SI_USBXpressDev.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestData.h"
#include "tests/support/Wait.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The session's log lines exactly as the log writes them.
QString sessionStatusLine(const QString& message);
QString sessionErrorLine(const QString& message);

// The console bytes of a red message and of putMsgLine.
QByteArray redLine(const QByteArray& message);
QByteArray msgLine(const QByteArray& text);

class SessionRig : public QObject
{
public:
    explicit SessionRig(std::shared_ptr<BridgeBackend> board);
    ~SessionRig() override;

    ProxyBackend& proxy() { return *m_proxy; }
    KX_SI_USBXpressDev& device() { return *m_device; }

    // Waits for the first listed device and opens it; the proxy's record
    // starts after the opening.
    bool openFirstDevice(int timeoutMs = 5000);
    void start(const QString& path) { m_device->SLOT_StartFirmwareUpdate(path); }

    // Waits until `count` finish results have arrived.
    bool waitForFinishes(int count, int timeoutMs);
    // Waits for the first result, then long enough for the ending to hand
    // the board back and for a second result to show up if there were one.
    bool waitForEnd(int timeoutMs);
    QList<int> finishes() const { return m_finishes; }

    // Every console byte written so far (message ring).
    QByteArray messages();
    int starCount();

private:
    void takeMessages();

    std::shared_ptr<ProxyBackend> m_proxy;
    KX_SI_USBXpressDev* m_device = nullptr;
    QByteArray m_messages;
    QList<int> m_finishes;
};

// Base of the suites: per test a fresh virtual board (fast timing) behind a
// fresh rig, a log capture, and a folder for hex files.
class BoardSuite : public QObject
{
protected:
    // False when the folder or the rig could not be made.
    bool setUpBoard();
    void tearDownBoard();
    SimBoard* board() const { return m_sim->board(0); }
    // Writes `image` as a hex file in the folder; empty on failure.
    QString hexFile(const QString& name, const QByteArray& image);

    QTemporaryDir m_dir;
    std::shared_ptr<SimBridgeBackend> m_sim;
    std::unique_ptr<SessionRig> m_rig;
    std::unique_ptr<LogCapture> m_log;
};

#endif
