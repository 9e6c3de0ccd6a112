#ifndef TIVAKO_TESTS_SUPPORT_MAINWINDOWRIG_H
#define TIVAKO_TESTS_SUPPORT_MAINWINDOWRIG_H

// What the main-window suites share: the diagnostic log as lines, the
// settings file of the test's own home folder, virtual boards installed as
// the bridge backend, the shared block seen from outside, and short ways to
// reach the window's widgets and wait for its state.

#include "sim/SimBridgeBackend.h"

#include <QByteArray>
#include <QColor>
#include <QSharedMemory>
#include <QString>
#include <QStringList>
#include <QTextCharFormat>
#include <QWidget>

#include "ipc/SharedBlock.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestData.h"
#include "tests/support/Wait.h"

#include <memory>

class QPlainTextEdit;
class QTextDocument;
class QToolButton;
class RidivuDizerozoDuveze;

namespace rig {

// The diagnostic log while a capture lives (one at a time).
using Log = ::LogCapture;

// The window's labels.
extern const char kWindow[];
extern const char kConnect[];

// Run outside CTest, a suite still must not meet the real loader's block or
// settings: without CTest's variables this picks a key and a home folder of
// its own. Call it first in initTestCase().
void isolate();

// ---- settings ----
QString settingsFolder();
QString settingsFilePath();
// Starts the test from no settings at all.
void removeSettings();
// Writes Settings.xml through the store itself.
void writeSettings(const QString& hexPath, const QString& deviceName);
struct Stored
{
    QString hexPath;
    QString deviceName;
    QString debugComMode; // the element's text, as written
};
Stored readSettings();

// ---- firmware ----
// The built-in firmware as the flat flash image the bootloader writes.
QByteArray builtInImage();
QByteArray imageFromHex(const QString& hexPath);
// Puts an image into a board's flash and restarts the board.
void flashAndRestart(SimBoard* board, const QByteArray& image);
QByteArray flashOf(SimBoard* board, int length);

// ---- boards ----
std::shared_ptr<SimBridgeBackend> installBoards(int boards = 1, SimOutput output = SimOutput::Tlv);
// The name the device list shows for board number n (1 for VB0001).
QString boardName(int number = 1);

// ---- the shared block ----
class Block
{
public:
    Block();
    bool attach();
    SharedBlock::Snapshot snapshot();
    void setProgrammingResult(qint32 result);
    void setLoaderPresent(bool present);
    // The monitor's side: writes the path and raises the request flag; an
    // empty path clears the flag again.
    void request(const QString& path);
    static QString key();

private:
    QSharedMemory m_Memory;
};

// ---- the window ----
template <typename T = QWidget> T* child(QWidget& window, const char* name)
{
    return window.findChild<T*>(QString::fromLatin1(name));
}
// A widget's own enabled flag, whatever its parents say (the Settings page is
// disabled, so its controls are never effectively enabled).
bool ownEnabled(QWidget& window, const char* name);
bool shown(QWidget& window, const char* name);
QToolButton* button(QWidget& window, const char* name);
QPlainTextEdit* console(QWidget& window);
QString consoleText(QWidget& window);
// Format of the first character of the console's last occurrence of `text`
// (an empty format when the text is not there), and its own colour (invalid
// when it has none).
QTextCharFormat formatAt(QWidget& window, const QString& text);
QColor colourAt(QWidget& window, const QString& text);
QTextCharFormat formatAt(QTextDocument* doc, const QString& text);
QColor colourAt(QTextDocument* doc, const QString& text);
bool isConnectedView(QWidget& window);

// Invokes one of the window's private slots by name.
bool invoke(QObject* window, const char* slot);

} // namespace rig

#endif
