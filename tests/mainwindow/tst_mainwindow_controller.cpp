// The main window as its user meets it, with virtual boards behind the real
// bridge device: start-up with stored settings, automatic and manual
// connects, lost and returning boards, the hardware-identity button, console
// modes, a second loader on the same block, and the order of construction
// and teardown.

#include "tests/support/MainWindowRig.h"

#include "tests/bridge_layer/ScriptedBridgeBackend.h"
#include "ui/RidivuDizerozoDuveze.h"

#include <QApplication>
#include <QErrorMessage>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMetaMethod>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolButton>
#include <QtTest>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <memory>

using namespace rig;

namespace {

const char kClosed[] = "RidivuDizerozoDuveze::SLOT_connectionClosed";
const char kList[] = "RidivuDizerozoDuveze::SLOT_newDeviceListAvailable";
const char kData[] = "RidivuDizerozoDuveze::SLOT_newDataAvailable";

std::unique_ptr<RidivuDizerozoDuveze> makeWindow()
{
    auto window = std::make_unique<RidivuDizerozoDuveze>(nullptr);
    window->show();
    return window;
}

QListWidget* deviceList(QWidget& w)
{
    return child<QListWidget>(w, "m_ListDev");
}

// A key event with exactly these modifiers (QTest would add presses of the
// modifier keys themselves).
void sendKey(QWidget* w, QEvent::Type type, int key, Qt::KeyboardModifiers modifiers)
{
    QKeyEvent event(type, key, modifiers);
    QApplication::sendEvent(w, &event);
}

// As a keyboard reports the Ctrl key itself: the press carries the state
// before it, the release the state before the release; QKeyEvent turns both
// into the state after the event.
void pressCtrl(QWidget* w)
{
    sendKey(w, QEvent::KeyPress, Qt::Key_Control, Qt::NoModifier);
}

void releaseCtrl(QWidget* w)
{
    sendKey(w, QEvent::KeyRelease, Qt::Key_Control, Qt::ControlModifier);
}

} // namespace

class TestMainWindowController : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Log> m_log;
    std::shared_ptr<SimBridgeBackend> m_boards;

    void checkDisconnectedControls(QWidget& w)
    {
        QCOMPARE(button(w, "m_pBConnect")->text(), QString("Connect"));
        QVERIFY(ownEnabled(w, "m_pBSearch"));
        QVERIFY(ownEnabled(w, "m_ListDev"));
        QVERIFY(!ownEnabled(w, "m_pBResetTK"));
        QVERIFY(!ownEnabled(w, "m_pBQuadrel"));
        QVERIFY(!shown(w, "m_lConnectSymbol"));
        QVERIFY(!shown(w, "m_lConnectText"));
    }

    void checkConnectedControls(QWidget& w)
    {
        QCOMPARE(button(w, "m_pBConnect")->text(), QString("Disconnect"));
        QVERIFY(!ownEnabled(w, "m_pBSearch"));
        QVERIFY(!ownEnabled(w, "m_ListDev"));
        QVERIFY(ownEnabled(w, "m_pBResetTK"));
        QVERIFY(ownEnabled(w, "m_pBQuadrel"));
        QVERIFY(shown(w, "m_lConnectSymbol"));
        QVERIFY(shown(w, "m_lConnectText"));
    }

private slots:
    void initTestCase() { isolate(); }

    void init()
    {
        removeSettings();
        m_log = std::make_unique<Log>();
        m_boards = installBoards(1);
    }

    void cleanup()
    {
        bridgeInstallBackend(nullptr);
        m_boards.reset();
        m_log.reset();
    }

    // The meta-object lists the signal first and then the slots in a fixed
    // order; other programs find them by index.
    void metaObjectOrder()
    {
        const QMetaObject& mo = RidivuDizerozoDuveze::staticMetaObject;
        struct Entry
        {
            const char* name;
            QList<int> types;
        };
        const int keyEvent = QMetaType::UnknownType; // not a registered type
        const QList<Entry> expected = {
            {"SIGNAL_StartFirmwareUpdate", {QMetaType::QString}},
            {"on_m_pBConnect_clicked", {}},
            {"SLOT_ProgrammingRequestPendig", {}},
            {"SLOT_newDataAvailable", {qMetaTypeId<quint8>()}},
            {"SLOT_newDeviceListAvailable", {}},
            {"SLOT_connectionClosed", {}},
            {"SLOT_FirmwareWriteFinish", {qMetaTypeId<qint8>()}},
            {"SLOT_ProgrammingFinished", {qMetaTypeId<qint16>()}},
            {"on_m_clear_clicked", {}},
            {"on_m_pBclose_clicked", {}},
            {"SLOT_window_pos_change", {QMetaType::Int, QMetaType::Int}},
            {"on_m_pBSearch_clicked", {}},
            {"on_m_ListDev_currentRowChanged", {QMetaType::Int}},
            {"on_m_pBSearch_2_clicked", {}},
            {"on_m_pBWriteFirmware_clicked", {}},
            {"on_m_pBCloseHexFile_clicked", {}},
            {"on_m_pBQuadrel_clicked", {}},
            {"on_m_pBResetTK_clicked", {}},
            {"SLOT_PrintConsole", {}},
            {"keyPressEvent", {keyEvent}},
            {"keyReleaseEvent", {keyEvent}},
            {"on_m_rB_SerialMode_clicked", {}},
            {"on_m_rB_TLVMode_clicked", {}},
            {"on_m_pbquadrel_hwid_clicked", {}},
        };
        QCOMPARE(mo.methodCount() - mo.methodOffset(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            const QMetaMethod m = mo.method(mo.methodOffset() + i);
            QCOMPARE(m.name(), QByteArray(expected.at(i).name));
            QCOMPARE(m.parameterCount(), expected.at(i).types.size());
            for (int p = 0; p < m.parameterCount(); ++p)
                QCOMPARE(m.parameterType(p), expected.at(i).types.at(p));
            QCOMPARE(m.methodType(), i == 0 ? QMetaMethod::Signal : QMetaMethod::Slot);
            if (i > 0)
                QCOMPARE(m.access(), QMetaMethod::Private);
        }
        QCOMPARE(mo.method(mo.methodOffset() + 19).methodSignature(), QByteArray("keyPressEvent(QKeyEvent*)"));
        const QMetaMethod signal = mo.method(mo.methodOffset());
        QCOMPARE(signal.parameterNames(), QList<QByteArray>{"Path2HexFile"});
        QCOMPARE(mo.method(mo.methodOffset() + 10).parameterNames(), (QList<QByteArray>{"DeltaX", "DeltaY"}));
        QCOMPARE(mo.method(mo.methodOffset() + 7).parameterNames(), QList<QByteArray>{"eResult"});
    }

    // A stored hex path names the title and enables Close; Write waits for a
    // board. The console decodes frames whatever mode was stored.
    void startUpWithStoredHexPath()
    {
        flashAndRestart(m_boards->board(0), builtInImage());
        writeSettings("/nowhere/firmware/custom_1.hex", QString());
        auto w = makeWindow();

        QCOMPARE(child<QLabel>(*w, "m_lProgTitile")->text(), QString("Tivako ZidiVevuro - custom_1.hex"));
        QVERIFY(ownEnabled(*w, "m_pBCloseHexFile"));
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(ownEnabled(*w, "m_pBConnect"));
        checkDisconnectedControls(*w);
        QVERIFY(!shown(*w, "m_pbquadrel_hwid"));
        QVERIFY(console(*w)->isReadOnly());
        QCOMPARE(console(*w)->maximumBlockCount(), 200);
        QVERIFY(consoleText(*w).isEmpty());
        const int started = m_log->indexOf(statusLine(kWindow, "Start Programm"));
        QVERIFY(started >= 0);
        QVERIFY(m_log->indexOf(statusLine(kWindow, "SetHexPath"), started) > started);

        QVERIFY(waitUntil([&] { return deviceList(*w)->count() == 1; }));
        QCOMPARE(deviceList(*w)->item(0)->text(), boardName());
        QCOMPARE(deviceList(*w)->currentRow(), -1);
        QVERIFY(!ownEnabled(*w, "m_pBConnect"));

        deviceList(*w)->setCurrentRow(0);
        QVERIFY(ownEnabled(*w, "m_pBConnect"));
        button(*w, "m_pBConnect")->click();
        QVERIFY(isConnectedView(*w));
        QVERIFY(ownEnabled(*w, "m_pBWriteFirmware"));

        // The firmware frames its status lines; decoded, no frame byte shows.
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Uptime "); }, 5000));
        QVERIFY(!consoleText(*w).contains(QChar(0xAA)));
        QCOMPARE(readSettings().debugComMode.trimmed(), QString("0"));
    }

    void startUpWithoutHexPath()
    {
        auto w = makeWindow();
        QCOMPARE(child<QLabel>(*w, "m_lProgTitile")->text(), QString("ZidiVevuro Tivako Mini"));
        QVERIFY(!ownEnabled(*w, "m_pBCloseHexFile"));
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(!m_log->has(statusLine(kWindow, "SetHexPath")));
    }

    // The remembered board connects by itself; with two boards the row that
    // matches is the one chosen.
    void rememberedBoardConnectsAtStart()
    {
        bridgeInstallBackend(nullptr);
        m_boards = installBoards(2);
        writeSettings(QString(), boardName(2));
        auto w = makeWindow();

        QVERIFY(waitUntil([&] { return isConnectedView(*w); }, 5000));
        QCOMPARE(deviceList(*w)->count(), 2);
        QCOMPARE(deviceList(*w)->currentRow(), 1);
        checkConnectedControls(*w);
        QVERIFY(!shown(*w, "m_pbquadrel_hwid"));
        QVERIFY(m_log->has(statusLine(kList, "Open Device 1")));
        QVERIFY(m_log->has(statusLine(kConnect, "Open SiUsbDev")));
        QVERIFY(m_boards->board(1)->isOpen());
        QVERIFY(!m_boards->board(0)->isOpen());
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Connect " + boardName(2)); }, 1000));

        Block block;
        QVERIFY(block.attach());
        const SharedBlock::Snapshot s = block.snapshot();
        QVERIFY(s.loaderPresent);
        QVERIFY(s.boardConnected);
        QCOMPARE(s.deviceName, boardName(2));
    }

    void noRowMatchesTheRememberedName()
    {
        writeSettings(QString(), "Tivako Virtual Board [0xVB0099]");
        auto w = makeWindow();
        QVERIFY(waitUntil([&] { return deviceList(*w)->count() == 1; }));
        pump(300);
        QCOMPARE(deviceList(*w)->currentRow(), -1);
        QVERIFY(!ownEnabled(*w, "m_pBConnect"));
        QVERIFY(!isConnectedView(*w));
        QVERIFY(!m_boards->board(0)->isOpen());

        // The user picks the row and connects.
        deviceList(*w)->setCurrentRow(0);
        button(*w, "m_pBConnect")->click();
        QVERIFY(isConnectedView(*w));
        w.reset();
        QCOMPARE(readSettings().deviceName, boardName());
    }

    // Before the first list arrives the form's Connect is enabled with no
    // row to open: the failure message names nothing and nothing changes.
    void connectWithoutCurrentRow()
    {
        writeSettings(QString(), QString());
        auto w = makeWindow();
        QCOMPARE(deviceList(*w)->currentRow(), -1);
        QVERIFY(ownEnabled(*w, "m_pBConnect"));
        button(*w, "m_pBConnect")->click();

        QVERIFY(m_log->has(errorLine(kConnect, "Can't open SiUsbDev")));
        QVERIFY(m_log->has(errorLine("KX_SI_USBXpressDev::openDevice", "Device to Open not exist")));
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Unabel to open"); }, 1000));
        QCOMPARE(consoleText(*w).trimmed(), QString("Unabel to open"));
        QCOMPARE(colourAt(*w, "Unabel"), QColor("red"));
        checkDisconnectedControls(*w);
        QVERIFY(!shown(*w, "m_pbquadrel_hwid"));
        Block block;
        QVERIFY(!block.snapshot().boardConnected);
        QVERIFY(block.snapshot().deviceName.isEmpty());
        w.reset();
        QVERIFY(readSettings().deviceName.isEmpty());
    }

    // Ctrl held while connecting reveals the identity button, which sends
    // exactly the command's eight bytes and nothing to the console.
    void ctrlRevealsHardwareIdButton()
    {
        auto scripted = std::make_shared<ScriptedBridgeBackend>(
            std::vector<ScriptedBridgeBackend::Device>{{"Tivako <i>Board</i> &amp;", "0001"}});
        bridgeInstallBackend(scripted);
        auto w = makeWindow();
        QVERIFY(waitUntil([&] { return deviceList(*w)->count() == 1; }));
        deviceList(*w)->setCurrentRow(0);

        // Ctrl with another modifier is not Ctrl alone.
        sendKey(w.get(), QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
        button(*w, "m_pBConnect")->click();
        QVERIFY(isConnectedView(*w));
        // The device's name is text in the console, never markup.
        const QString name = deviceList(*w)->item(0)->text();
        QVERIFY(name.contains("<i>Board</i> &amp;"));
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Connect " + name); }, 1000));
        QVERIFY(!shown(*w, "m_pbquadrel_hwid"));
        button(*w, "m_pBConnect")->click();
        QVERIFY(!isConnectedView(*w));

        pressCtrl(w.get());
        // A release that still reports Ctrl alone keeps it held.
        sendKey(w.get(), QEvent::KeyRelease, Qt::Key_A, Qt::ControlModifier);
        button(*w, "m_pBConnect")->click();
        QVERIFY(isConnectedView(*w));
        QVERIFY(shown(*w, "m_pbquadrel_hwid"));

        pump(120);
        const QString before = consoleText(*w);
        scripted->clearWritten();
        button(*w, "m_pbquadrel_hwid")->click();
        QCOMPARE(scripted->writtenText(), std::string("setHWqd\r"));
        pump(120);
        QCOMPARE(consoleText(*w), before);

        // Disconnecting hides it; Ctrl released, the next connect leaves it hidden.
        button(*w, "m_pBConnect")->click();
        QVERIFY(!shown(*w, "m_pbquadrel_hwid"));
        releaseCtrl(w.get());
        button(*w, "m_pBConnect")->click();
        QVERIFY(isConnectedView(*w));
        QVERIFY(!shown(*w, "m_pbquadrel_hwid"));
        w.reset();
    }

    // The command reaches the virtual firmware, which takes the identity.
    void hardwareIdReachesTheBoard()
    {
        flashAndRestart(m_boards->board(0), builtInImage());
        writeSettings(QString(), boardName());
        auto w = makeWindow();
        pressCtrl(w.get());
        QVERIFY(waitUntil([&] { return isConnectedView(*w); }, 5000));
        QVERIFY(shown(*w, "m_pbquadrel_hwid"));
        QVERIFY(!m_boards->board(0)->identityStored());
        button(*w, "m_pbquadrel_hwid")->click();
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("HardwareID set to Quadrel"); }, 3000));
        QVERIFY(m_boards->board(0)->identityStored());
        QCOMPARE(colourAt(*w, "HardwareID set to"), QColor("blue"));
    }

    // A lost board leaves the identity button as it was; the automatic
    // reconnect that then fails hides it, shows the red message and does not
    // tell the monitor that a board is connected.
    void failedAutomaticConnect()
    {
        writeSettings(QString(), boardName());
        auto w = makeWindow();
        pressCtrl(w.get());
        QVERIFY(waitUntil([&] { return isConnectedView(*w); }, 5000));
        QVERIFY(shown(*w, "m_pbquadrel_hwid"));

        m_boards->injectStatus(SimOp::Open, SI_DEVICE_NOT_FOUND, SimRepeat::Always);
        m_boards->unplug(0);
        QVERIFY(waitUntil([&] { return !isConnectedView(*w); }, 5000));
        QVERIFY(shown(*w, "m_pbquadrel_hwid"));
        Block block;
        QVERIFY(!block.snapshot().boardConnected);
        QCOMPARE(block.snapshot().deviceName, boardName());

        m_log->clear();
        m_boards->plug(0);
        QVERIFY(waitUntil([&] { return m_log->has(errorLine(kConnect, "Can't open SiUsbDev")); }, 5000));
        QVERIFY(m_log->has(statusLine(kList, "Open Device 0")));
        QVERIFY(!shown(*w, "m_pbquadrel_hwid"));
        QVERIFY(!isConnectedView(*w));
        QCOMPARE(deviceList(*w)->currentRow(), 0);
        QVERIFY(ownEnabled(*w, "m_pBConnect"));
        QVERIFY(!block.snapshot().boardConnected);
        const QString message = "Unabel to open " + boardName();
        QVERIFY(waitUntil([&] { return consoleText(*w).contains(message); }, 1000));
        QCOMPARE(colourAt(*w, message), QColor("red"));

        // The row stays selected: pressing Connect again works.
        m_boards->clearInjectedStatuses();
        button(*w, "m_pBConnect")->click();
        QVERIFY(isConnectedView(*w));
        QVERIFY(shown(*w, "m_pbquadrel_hwid"));
        QVERIFY(block.snapshot().boardConnected);
    }

    void unplugAndReplug()
    {
        writeSettings(QString(), boardName());
        auto w = makeWindow();
        QVERIFY(waitUntil([&] { return isConnectedView(*w); }, 5000));

        m_boards->unplug(0);
        QVERIFY(waitUntil([&] { return !isConnectedView(*w); }, 5000));
        checkDisconnectedControls(*w);
        QVERIFY(m_log->has(statusLine(kClosed, "Close SiUsbDev")));
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Disconnect " + boardName()); }, 1000));
        QVERIFY(waitUntil([&] { return deviceList(*w)->count() == 0; }, 3000));
        QVERIFY(!ownEnabled(*w, "m_pBConnect"));
        Block block;
        QVERIFY(!block.snapshot().boardConnected);
        QCOMPARE(block.snapshot().deviceName, boardName());

        m_boards->plug(0);
        QVERIFY(waitUntil([&] { return isConnectedView(*w); }, 5000));
        checkConnectedControls(*w);
        QVERIFY(block.snapshot().boardConnected);
        QVERIFY(waitUntil([&] { return consoleText(*w).count("Connect " + boardName()) == 2; }, 1000));
        w.reset();
        QCOMPARE(readSettings().deviceName, boardName());
    }

    // After the user's disconnect the name is forgotten and a returning
    // board stays unconnected.
    void userDisconnectThenReplug()
    {
        writeSettings(QString(), boardName());
        auto w = makeWindow();
        pressCtrl(w.get());
        QVERIFY(waitUntil([&] { return isConnectedView(*w); }, 5000));

        button(*w, "m_pBConnect")->click();
        checkDisconnectedControls(*w);
        QVERIFY(!shown(*w, "m_pbquadrel_hwid"));
        QVERIFY(m_log->has(statusLine(kConnect, "Close SiUsbDev")));
        QCOMPARE(deviceList(*w)->currentRow(), 0);
        QVERIFY(ownEnabled(*w, "m_pBConnect"));
        QVERIFY(!m_boards->board(0)->isOpen());
        Block block;
        QVERIFY(!block.snapshot().boardConnected);
        QVERIFY(block.snapshot().deviceName.isEmpty());
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Disconnect " + boardName()); }, 1000));

        const int opens = m_log->count(statusLine(kList, "Open Device 0"));
        m_boards->unplug(0);
        QVERIFY(waitUntil([&] { return deviceList(*w)->count() == 0; }, 3000));
        m_boards->plug(0);
        QVERIFY(waitUntil([&] { return deviceList(*w)->count() == 1; }, 3000));
        pump(1500);
        QVERIFY(!isConnectedView(*w));
        QVERIFY(!m_boards->board(0)->isOpen());
        QCOMPARE(m_log->count(statusLine(kList, "Open Device 0")), opens);
        w.reset();
        QVERIFY(readSettings().deviceName.isEmpty());
    }

    void searchRefillsTheList()
    {
        auto w = makeWindow();
        QVERIFY(waitUntil([&] { return deviceList(*w)->count() == 1; }));
        deviceList(*w)->setCurrentRow(0);
        QVERIFY(ownEnabled(*w, "m_pBConnect"));
        button(*w, "m_pBSearch")->click();
        QCOMPARE(deviceList(*w)->count(), 1);
        QCOMPARE(deviceList(*w)->currentRow(), -1);
        QVERIFY(!ownEnabled(*w, "m_pBConnect"));
        QVERIFY(!deviceList(*w)->item(0)->icon().isNull());
    }

    void resetRestartsTheBoard()
    {
        flashAndRestart(m_boards->board(0), builtInImage());
        writeSettings(QString(), boardName());
        auto w = makeWindow();
        QVERIFY(waitUntil([&] { return isConnectedView(*w); }, 5000));
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Uptime "); }, 5000));
        QVERIFY(!consoleText(*w).contains("ready"));

        button(*w, "m_pBResetTK")->click();
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Reset " + boardName()); }, 1000));
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("RozazerEvu firmware 1.0.54 ready"); }, 3000));
        QCOMPARE(colourAt(*w, "RozazerEvu firmware"), QColor("green"));
        // Each action's message stands above the board text it caused, even
        // when both reach the console in the same tick.
        const QString text = consoleText(*w);
        QVERIFY2(text.indexOf("Connect " + boardName()) < text.indexOf("Uptime "), qPrintable(text));
        QVERIFY2(text.indexOf("Reset " + boardName()) < text.indexOf("RozazerEvu firmware 1.0.54 ready"),
                 qPrintable(text));
    }

    // The mode slots switch the device and remember the mode; the radio
    // buttons themselves sit on the disabled page.
    void consoleModes()
    {
        bridgeInstallBackend(nullptr);
        m_boards = installBoards(1, SimOutput::Ascii);
        flashAndRestart(m_boards->board(0), builtInImage());
        writeSettings(QString(), boardName());
        auto w = makeWindow();
        QVERIFY(waitUntil([&] { return isConnectedView(*w); }, 5000));
        // Unframed text means nothing to the frame decoder.
        pump(2500);
        QVERIFY(!consoleText(*w).contains("Uptime"));

        QVERIFY(invoke(w.get(), "on_m_rB_SerialMode_clicked"));
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Uptime "); }, 3000));
        bool counted = false;
        for (const QString& line : m_log->lines())
            counted = counted || line.startsWith(statusLine(kData, "CALL "));
        QVERIFY(counted);

        QVERIFY(invoke(w.get(), "on_m_rB_TLVMode_clicked"));
        child<QRadioButton>(*w, "m_rB_ProgQuadrelMini")->click();
        QVERIFY(child<QRadioButton>(*w, "m_rB_customFile")->isChecked());
        pump(100);
        const int uptimes = consoleText(*w).count("Uptime ");
        pump(2500);
        QCOMPARE(consoleText(*w).count("Uptime "), uptimes);
        w.reset();
        QCOMPARE(readSettings().debugComMode.trimmed(), QString("1"));
    }

    void windowMovesAndCloses()
    {
        auto w = makeWindow();
        QVERIFY(QMetaObject::invokeMethod(w.get(), "SLOT_window_pos_change", Q_ARG(int, 123), Q_ARG(int, 45)));
        QCOMPARE(w->pos(), QPoint(123, 45));
        child<QPushButton>(*w, "m_pBclose")->click();
        QVERIFY(!w->isVisible());
    }

    // A second loader on the same block shows the notice and runs on; a
    // presence mark without a live loader behind it is not a loader.
    void secondLoaderSeesTheFirst()
    {
        QProcess first;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TIVAKO_BRIDGE", "sim");
        env.insert("TIVAKO_SIM_BOARDS", "0");
        first.setProcessEnvironment(env);
        first.setProgram(QStringLiteral(TIVAKO_BINARY_DIR "/app/tivako-loader"));
        first.start();
        QVERIFY(first.waitForStarted(10000));
        Block block;
        QVERIFY(waitUntil([&] { return block.attach() && block.snapshot().loaderPresent; }, 20000));

        {
            auto w = makeWindow();
            auto* notice = w->findChild<QErrorMessage*>();
            QVERIFY(notice);
            QVERIFY(notice->isVisible());
            QVERIFY(!notice->isModal());
            QVERIFY(notice->findChild<QTextEdit*>());
            QVERIFY(notice->findChild<QTextEdit*>()->toPlainText().contains("A instance is allready run"));
            // It runs on as usual.
            QVERIFY(waitUntil([&] { return deviceList(*w)->count() == 1; }));
            QVERIFY(block.snapshot().loaderPresent);
        }
        // The second one ended without taking the first's mark with it.
        QVERIFY(block.snapshot().loaderPresent);

        first.terminate();
        QVERIFY(first.waitForFinished(20000));
        QCOMPARE(first.exitCode(), 0);

        // The block outlives both; a mark left in it by hand has no loader.
        block.setLoaderPresent(true);
        auto w = makeWindow();
        QVERIFY(!w->findChild<QErrorMessage*>());
        QVERIFY(block.snapshot().loaderPresent);
        auto second = makeWindow();
        QVERIFY(second->findChild<QErrorMessage*>());
        second.reset();
        w.reset();
        QVERIFY(!block.snapshot().loaderPresent);
    }

    // A block that others may write is not used, and the console says so once.
    void foreignBlockIsNotUsed()
    {
        QSharedMemory foreign(Block::key());
        QVERIFY(foreign.create(int(SharedBlock::kBlockSize)));
        shmid_ds ds;
        const int id = shmget(ftok(QFile::encodeName(foreign.nativeKey()).constData(), 'Q'), 0, 0);
        QVERIFY(id >= 0 && shmctl(id, IPC_STAT, &ds) == 0);
        ds.shm_perm.mode = 0666;
        QCOMPARE(shmctl(id, IPC_SET, &ds), 0);
        auto w = makeWindow();
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("No link to the debug monitor"); }, 2000));
        pump(200);
        QCOMPARE(consoleText(*w).count("No link to the debug monitor"), 1);
        QVERIFY2(consoleText(*w).contains("its segment is open to others (mode 666)"), qPrintable(consoleText(*w)));
        QVERIFY(!SharedBlock::decode(static_cast<const uchar*>(foreign.constData())).loaderPresent);
    }

    // Settings, then the device, then the link on the way up; on the way
    // down the presence mark goes first and the settings are written after
    // the device's thread has ended.
    void constructionAndTeardownOrder()
    {
        // Without its firmware copy the store has something to say.
        QFile::remove(settingsFolder() + "/firmware/RozazerEvu_1_0_54.hex");
        auto w = makeWindow();
        Block block;
        QVERIFY(block.snapshot().loaderPresent);
        const QStringList up = m_log->lines();
        auto firstFrom = [&](const QStringList& lines, const QString& prefix, int from = 0) {
            for (int i = from; i < lines.size(); ++i) {
                if (lines.at(i).contains(prefix))
                    return i;
            }
            return -1;
        };
        const int started = up.indexOf(statusLine(kWindow, "Start Programm"));
        const int settings = firstFrom(up, "]->KX_XML_Settings::");
        const int link = firstFrom(up, "]->KX_SharedMemSocked::KX_SharedMemSocked");
        QVERIFY(started >= 0);
        QVERIFY(settings > started);
        QVERIFY(link > settings);

        m_log->clear();
        w.reset();
        QVERIFY(!block.snapshot().loaderPresent);
        const QStringList down = m_log->lines();
        const int deviceEnd = down.indexOf(statusLine("KX_SI_USBXpressDev::run", "Thread END"));
        const int written = down.indexOf(statusLine("KX_XML_Settings::~KX_XML_Settings", "Close File"));
        const int linkEnd = firstFrom(down, "]->KX_SharedMemSocked::~KX_SharedMemSocked");
        QVERIFY(deviceEnd >= 0);
        QVERIFY(written > deviceEnd);
        QVERIFY(linkEnd > written);
    }
};

QTEST_MAIN(TestMainWindowController)
#include "tst_mainwindow_controller.moc"
