#ifndef TIVAKO_TESTS_SUPPORT_MAINWINDOWRIG_H
#define TIVAKO_TESTS_SUPPORT_MAINWINDOWRIG_H

// What the window suites share: the settings of the test's own home folder,
// virtual boards as the bridge backend, the shared block seen from outside.

#include "sim/SimBridgeBackend.h"

#include <QSharedMemory>
#include <QWidget>

#include "ipc/SharedBlock.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestData.h"
#include "tests/support/Wait.h"

#include <functional>
#include <memory>

class QToolButton;

namespace rig {

using Log = ::LogCapture;

// Outside CTest a suite still must not meet the real loader's block or
// settings: picks a key and a home folder of its own. First in initTestCase().
void isolate();

void removeSettings();
void writeSettings(const QString& hexPath, const QString& deviceName);
// An element's text in the settings file, as the store wrote it when the
// window (and its store) went away.
QString storedSetting(const char* element);

QByteArray builtInImage();
void flashAndRestart(SimBoard* board, const QByteArray& image);
QByteArray flashOf(SimBoard* board, int length);

std::shared_ptr<SimBridgeBackend> installBoards(int boards = 1, SimOutput output = SimOutput::Tlv);
// The device list's name of board number n (1 for VB0001).
QString boardName(int number = 1);

class Block
{
public:
    Block() : m_Memory(key()) {}
    SharedBlock::Snapshot snapshot();
    // The monitor's side: the path and the request flag; empty clears the flag.
    void request(const QString& path);
    static QString key() { return QString::fromLocal8Bit(qgetenv("TIVAKO_SHM_KEY")); }

private:
    bool edit(const std::function<void(uchar*)>& change);
    QSharedMemory m_Memory;
};

QToolButton* button(QWidget& window, const char* name);
QString consoleText(QWidget& window);
bool isConnectedView(QWidget& window);

} // namespace rig

#endif
