#ifndef TIVAKO_TESTS_MAINWINDOW_MAINWINDOWRIG_H
#define TIVAKO_TESTS_MAINWINDOW_MAINWINDOWRIG_H

// What the main-window suites share: the diagnostic log as lines, the
// settings file of the test's own home folder, virtual boards installed as
// the bridge backend, the shared block seen from outside, and short ways to
// reach the window's widgets and wait for its state.

#include "sim/SimBridgeBackend.h"

#include <QByteArray>
#include <QColor>
#include <QDateTime>
#include <QSharedMemory>
#include <QString>
#include <QStringList>
#include <QTextCharFormat>
#include <QWidget>

#include "ipc/SharedBlock.h"
#include "tests/bridge_layer/LogCapture.h"

#include <memory>

class QPlainTextEdit;
class QToolButton;
class RidivuDizerozoDuveze;

namespace rig {

// Every diagnostic log line while it lives (one at a time), with exact-line
// look-ups on top of the shared capture.
class Log : public ::LogCapture
{
public:
    static int count(const QString& line);
    static bool has(const QString& line) { return count(line) > 0; }
    // Index of the first line equal to `line` at or after `from`, or -1.
    static int indexOf(const QString& line, int from = 0);
};

// Log lines exactly as the log writes them.
QString statusLine(const char* label, const QString& message);
QString errorLine(const char* label, const QString& message);

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
// Writes an image at the flash base as Intel HEX.
bool writeHexImage(const QString& path, const QByteArray& image);
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
bool isConnectedView(QWidget& window);

// Invokes one of the window's private slots by name.
bool invoke(QObject* window, const char* slot);

// Handles events for `ms` milliseconds.
void pump(int ms);
template <typename F> bool waitUntil(F condition, int timeoutMs = 10000)
{
    const qint64 deadline = QDateTime::currentMSecsSinceEpoch() + timeoutMs;
    while (!condition()) {
        if (QDateTime::currentMSecsSinceEpoch() > deadline)
            return condition();
        pump(2);
    }
    return true;
}

} // namespace rig

#endif
