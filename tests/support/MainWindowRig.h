#ifndef TIVAKO_TESTS_SUPPORT_MAINWINDOWRIG_H
#define TIVAKO_TESTS_SUPPORT_MAINWINDOWRIG_H

// What the window suites share: settings in the test's own home, virtual boards, the shared block seen from outside.

#include "ipc/SharedBlock.h"
#include "resources/TivakoResources.h"
#include "sim/SimBridgeBackend.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestData.h"
#include "tests/support/Wait.h"

#include <QPlainTextEdit>
#include <QSharedMemory>
#include <QToolButton>
#include <memory>

namespace rig {

using Log = ::LogCapture;

// Outside CTest too, a suite gets a block key and home of its own, never the real loader's. First in initTestCase().
void isolate();

void removeSettings();
void writeSettings(const QString& hexPath, const QString& deviceName);
// An element's text in the settings file, written when the window went away.
QString storedSetting(const char* element);

inline QByteArray flashOf(SimBoard* board, int length) { return fromBytes(board->flash()).left(length); }
std::shared_ptr<SimBridgeBackend> installBoards(int boards = 1, SimOutput output = SimOutput::Tlv);

class Block
{
public:
    Block() : m_Memory(key()) {}
    SharedBlock::Snapshot snapshot();
    // The monitor's side: the path and the request flag; empty clears the flag.
    void request(const QString& path);
    static QString key() { return QString::fromLocal8Bit(qgetenv("TIVAKO_SHM_KEY")); }

private:
    bool lock() { return (m_Memory.isAttached() || m_Memory.attach()) && m_Memory.lock(); }
    QSharedMemory m_Memory;
};

inline QToolButton* button(QWidget& w, const char* name) { return w.findChild<QToolButton*>(name); }
inline QString consoleText(QWidget& w) { return w.findChild<QPlainTextEdit*>("m_pTEconsole")->toPlainText(); }
inline bool isConnectedView(QWidget& w) { return !w.findChild<QWidget*>("m_lConnectText")->isHidden(); }

} // namespace rig

#endif
