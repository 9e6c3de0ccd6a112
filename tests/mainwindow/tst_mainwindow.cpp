// The main window as its user meets it, with virtual boards behind the real
// bridge device: connecting and remembering, programming from the window and
// for the debug monitor, the shared block, and the console the user reads.

#include "tests/support/MainWindowRig.h"

#include "tests/bridge_layer/ScriptedBridgeBackend.h"
#include "ui/ConsoleHtml.h"
#include "ui/RidivuDizerozoDuveze.h"

#include <QErrorMessage>
#include <QKeyEvent>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>
#include <QThread>
#include <QToolButton>
#include <QtTest>

#include <sys/ipc.h>
#include <sys/shm.h>

using namespace rig;
using Window = std::unique_ptr<RidivuDizerozoDuveze>;
Q_DECLARE_METATYPE(ConsoleStream)

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<Log> m_log;
    std::shared_ptr<SimBridgeBackend> m_boards;
    QTemporaryDir m_files;

    Window open(bool connected = false)
    {
        auto w = std::make_unique<RidivuDizerozoDuveze>(nullptr);
        w->show();
        if (connected && !waitUntil([&] { return isConnectedView(*w); }, 5000))
            return nullptr;
        return w;
    }
    QListWidget* list(QWidget& w) { return w.findChild<QListWidget*>("m_ListDev"); }
    QString title(QWidget& w) { return w.findChild<QWidget*>("m_lProgTitile")->property("text").toString(); }
    QTextDocument* console(QWidget& w) { return w.findChild<QPlainTextEdit*>("m_pTEconsole")->document(); }
    bool shown(QWidget& w, const char* name) { return !w.findChild<QWidget*>(name)->isHidden(); }
    bool invoke(QObject* w, const char* slot) { return QMetaObject::invokeMethod(w, slot, Qt::DirectConnection); }
    // The widget's own flag, whatever its parents say (the Settings page is off).
    bool ownEnabled(QWidget& w, const char* name)
    {
        return !w.findChild<QWidget*>(name)->testAttribute(Qt::WA_ForceDisabled);
    }
    bool showsSoon(QWidget& w, const QString& text, int ms = 5000)
    {
        return waitUntil([&] { return consoleText(w).contains(text); }, ms);
    }
    // The colour of the first character of the last `text` (invalid: none).
    QColor colourAt(QTextDocument* doc, const QString& text)
    {
        QTextCursor at = doc->find(text, doc->characterCount(), QTextDocument::FindBackward);
        at.setPosition(at.selectionStart() + 1);
        const QTextCharFormat format = at.charFormat();
        return format.hasProperty(QTextFormat::ForegroundBrush) ? format.foreground().color() : QColor();
    }
    // The flash holds the image and nothing but erased bytes behind it.
    bool flashHolds(const QByteArray& image)
    {
        const QByteArray flash = flashOf(m_boards->board(0), int(kSimFlashSize));
        return flash == image + QByteArray(flash.size() - image.size(), '\xff');
    }
    // Connected in text mode to a scripted board, so the test decides every byte.
    Window scripted(std::shared_ptr<ScriptedBridgeBackend> board, bool ctrl = false)
    {
        bridgeInstallBackend(board);
        Window w = open();
        if (!waitUntil([&] { return list(*w)->count() == 1; }))
            return nullptr;
        list(*w)->setCurrentRow(0);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Control, Qt::NoModifier); // Ctrl alone held from here
        if (ctrl)
            QApplication::sendEvent(w.get(), &press);
        button(*w, "m_pBConnect")->click();
        invoke(w.get(), "on_m_rB_SerialMode_clicked");
        return w;
    }

private slots:
    void initTestCase() { isolate(); }
    void init()
    {
        removeSettings();
        m_log = std::make_unique<Log>();
        m_boards = installBoards(2);
    }
    void cleanup()
    {
        bridgeInstallBackend(nullptr);
        m_boards.reset();
        m_log.reset();
    }

    // The remembered board of two connects by itself, the stored hex file
    // titles the window, frames are decoded, an action's message stands above
    // the board text it caused, a lost board comes back; both are remembered.
    void rememberedAtStart()
    {
        flashAndRestart(m_boards->board(1), builtInImage());
        writeSettings("/nowhere/custom_1.hex", boardName(2));
        Window w = open(true);
        QVERIFY(w);
        QCOMPARE(title(*w), QString("Tivako ZidiVevuro - custom_1.hex"));
        QCOMPARE(list(*w)->currentRow(), 1);
        QVERIFY(ownEnabled(*w, "m_pBWriteFirmware") && ownEnabled(*w, "m_pBResetTK") && !ownEnabled(*w, "m_pBSearch"));
        QVERIFY(m_boards->board(1)->isOpen() && !m_boards->board(0)->isOpen());
        Block block;
        QVERIFY(block.snapshot().loaderPresent && block.snapshot().boardConnected);
        QCOMPARE(block.snapshot().deviceName, boardName(2));
        QVERIFY(showsSoon(*w, "Uptime "));
        QVERIFY(!consoleText(*w).contains(QChar(0xAA)));
        button(*w, "m_pBResetTK")->click();
        QVERIFY(showsSoon(*w, "RozazerEvu firmware 1.0.54 ready"));
        QCOMPARE(colourAt(console(*w), "RozazerEvu firmware"), QColor("green"));
        const QString text = consoleText(*w);
        QVERIFY(text.indexOf("Connect " + boardName(2)) < text.indexOf("Uptime "));
        QVERIFY(text.indexOf("Reset " + boardName(2)) < text.indexOf("RozazerEvu firmware 1.0.54 ready"));

        m_boards->unplug(1);
        QVERIFY(waitUntil([&] { return !isConnectedView(*w) && !block.snapshot().boardConnected; }));
        m_boards->plug(1);
        QVERIFY(waitUntil([&] { return isConnectedView(*w) && block.snapshot().boardConnected; }));
        w.reset();
        QVERIFY(!block.snapshot().loaderPresent);
        QCOMPARE(readSettings().deviceName, boardName(2));
        QCOMPARE(readSettings().hexPath, QString("/nowhere/custom_1.hex"));
    }

    // Connect with no row yet fails in red; after the user's own connect and
    // disconnect the name is forgotten and the monitor told.
    void connectByHandAndForget()
    {
        Window w = open();
        button(*w, "m_pBConnect")->click();
        QVERIFY(showsSoon(*w, "Unabel to open"));
        QCOMPARE(colourAt(console(*w), "Unabel"), QColor("red"));
        QVERIFY(waitUntil([&] { return list(*w)->count() == 2; }));
        QVERIFY(!ownEnabled(*w, "m_pBConnect"));
        list(*w)->setCurrentRow(0);
        button(*w, "m_pBConnect")->click();
        QCOMPARE(button(*w, "m_pBConnect")->text(), QString("Disconnect"));
        Block block;
        QVERIFY(isConnectedView(*w) && block.snapshot().boardConnected);
        button(*w, "m_pBConnect")->click();
        QVERIFY(!isConnectedView(*w) && !ownEnabled(*w, "m_pBResetTK") && !ownEnabled(*w, "m_pBQuadrel"));
        QVERIFY(showsSoon(*w, "Disconnect " + boardName()));
        QVERIFY(!block.snapshot().boardConnected && block.snapshot().deviceName.isEmpty());
        w.reset();
        QVERIFY(readSettings().deviceName.isEmpty());
    }

    // A device named with markup is shown as text; Ctrl alone held while
    // connecting reveals the identity button, which sends its command.
    void markupNameAndHardwareId()
    {
        auto board = std::make_shared<ScriptedBridgeBackend>(
            std::vector<ScriptedBridgeBackend::Device>{{"Tivako <i>Board</i> &amp;", "0001"}});
        Window w = scripted(board, true);
        QVERIFY(w);
        QVERIFY(showsSoon(*w, "Connect Tivako <i>Board</i> &amp;"));
        board->clearWritten();
        QVERIFY(shown(*w, "m_pbquadrel_hwid"));
        button(*w, "m_pbquadrel_hwid")->click();
        QCOMPARE(board->writtenText(), std::string("setHWqd\r"));
        button(*w, "m_pBConnect")->click();
        QVERIFY(!shown(*w, "m_pbquadrel_hwid"));
    }

    // Frames (the default) or text: a board's plain text shows only in text
    // mode; the mode is remembered.
    void debugComMode()
    {
        bridgeInstallBackend(nullptr);
        m_boards = installBoards(1, SimOutput::Ascii);
        flashAndRestart(m_boards->board(0), builtInImage());
        writeSettings(QString(), boardName());
        Window w = open(true);
        QVERIFY(w);
        pump(2500);
        QVERIFY(!consoleText(*w).contains("Uptime"));
        QVERIFY(invoke(w.get(), "on_m_rB_SerialMode_clicked"));
        QVERIFY(showsSoon(*w, "Uptime "));
        QVERIFY(invoke(w.get(), "on_m_rB_TLVMode_clicked"));
        pump(100);
        const int uptimes = consoleText(*w).count("Uptime ");
        pump(2500);
        QCOMPARE(consoleText(*w).count("Uptime "), uptimes);
        w.reset();
        QCOMPARE(readSettings().debugComMode.trimmed(), QString("1"));
    }

    // A second loader on the same block shows the notice, runs on and leaves
    // the first's presence mark.
    void secondLoaderSeesTheFirst()
    {
        QProcess first;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TIVAKO_BRIDGE", "sim");
        env.insert("TIVAKO_SIM_BOARDS", "0");
        first.setProcessEnvironment(env);
        first.start(QStringLiteral(TIVAKO_BINARY_DIR "/app/tivako-loader"), QStringList());
        Block block;
        QVERIFY(waitUntil([&] { return block.snapshot().loaderPresent; }, 20000));
        {
            Window w = open();
            auto* notice = w->findChild<QErrorMessage*>();
            QVERIFY(notice && notice->isVisible() && notice->findChild<QTextEdit*>());
            QVERIFY(notice->findChild<QTextEdit*>()->toPlainText().contains("A instance is allready run"));
            QVERIFY(waitUntil([&] { return list(*w)->count() == 2; }));
        }
        QVERIFY(block.snapshot().loaderPresent);
        first.terminate();
        QVERIFY(first.waitForFinished(20000) && first.exitCode() == 0);
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
        Window w = open();
        QVERIFY(showsSoon(*w, "its segment is open to others (mode 666)"));
        pump(200);
        QCOMPARE(consoleText(*w).count("No link to the debug monitor"), 1);
        QVERIFY(!SharedBlock::decode(static_cast<const uchar*>(foreign.constData())).loaderPresent);
    }

    // One session at a time, whoever asked: a monitor request closes the
    // window's ways to start one; a request during the window's session waits
    // for its end and gets a result of its own.
    void oneSessionAtATime()
    {
        const QByteArray image = randomBytes(3000, 0x5eed);
        const QString hex = m_files.filePath("one.hex");
        QVERIFY(writeHexImage(hex, image));
        writeSettings(QString(), boardName());
        Window w = open(true);
        QVERIFY(w);
        Block block;
        auto starts = [&] { return consoleText(*w).count("Bootloader Start!!"); };
        auto result = [&] { return block.snapshot().programmingResult; };
        block.request(hex);
        QVERIFY(waitUntil([&] { return starts() == 1; }));
        QVERIFY(!ownEnabled(*w, "m_pBQuadrel") && !ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(invoke(w.get(), "on_m_pBQuadrel_clicked") && invoke(w.get(), "on_m_pBWriteFirmware_clicked"));
        QVERIFY(waitUntil([&] { return result() != 0; }, 60000));
        QCOMPARE(result(), 1);
        QVERIFY(starts() == 1 && flashHolds(image) && ownEnabled(*w, "m_pBQuadrel"));
        block.request(QString());
        QVERIFY(waitUntil([&] { return result() == 0; }, 2000));

        pump(300); // the ended session hands the board back
        button(*w, "m_pBQuadrel")->click();
        QVERIFY(waitUntil([&] { return starts() == 2; }));
        block.request(m_files.filePath("missing.hex"));
        QVERIFY(waitUntil([&] { return m_log->countContaining("waits for the running session") == 1; }));
        QVERIFY(waitUntil([&] { return result() != 0; }, 60000));
        QCOMPARE(result(), -1);
        QVERIFY(consoleText(*w).contains("Bootloader Finish") && consoleText(*w).contains("Hex-File not found"));
        QVERIFY(flashHolds(builtInImage()));
        block.request(QString());
    }

    // A stored path that has gone (markup in it shown as text) is the red
    // error; Close forgets the file.
    void hexFileGoneAndClosed()
    {
        const QString gone = m_files.filePath("gone <b>x</b> &amp; y.hex");
        writeSettings(gone, boardName());
        Window w = open(true);
        QVERIFY(w);
        QVERIFY(invoke(w.get(), "on_m_pBWriteFirmware_clicked"));
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(showsSoon(*w, "ERROR Bootloader", 10000));
        QVERIFY(consoleText(*w).contains("Hex-File not found under-> \"" + gone + "\""));
        QCOMPARE(colourAt(console(*w), "ERROR Bootloader"), QColor("red"));
        QVERIFY(invoke(w.get(), "on_m_pBCloseHexFile_clicked"));
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware") && !ownEnabled(*w, "m_pBCloseHexFile"));
        QCOMPARE(title(*w), QString("Tivako ZidiVevuro"));
        w.reset();
        QVERIFY(readSettings().hexPath.isEmpty());
    }

    // What a piece of console bytes shows: the text the user reads and the
    // colour of `mark` in it (empty: none).
    void rendering_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<ConsoleStream>("stream");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("mark");
        QTest::addColumn<QString>("colour");
        const auto D = ConsoleStream::Data;
        const auto M = ConsoleStream::Messages;
        const QString esc(QChar(0x1B));
        QTest::newRow("green") << QByteArray("\x1b[32mA") << D << "A" << "A" << "green";
        QTest::newRow("red") << QByteArray("\x1b[31mA") << D << "A" << "A" << "red";
        QTest::newRow("orange") << QByteArray("\x1b[33mA") << M << "A" << "A" << "orange";
        QTest::newRow("next colour") << QByteArray("\x1b[34mA\x1b[32mB") << D << "AB" << "A" << "blue";
        QTest::newRow("end") << QByteArray("\x1b[31mE\x1b[0my\x1b[0m") << M << "Ey" << "y" << "";
        QTest::newRow("unknown code") << QByteArray("\x1b[35mX") << D << "[35mX" << "X" << "";
        QTest::newRow("ESC alone") << QByteArray("\x1bx") << D << esc + "x" << "x" << "";
        QTest::newRow("ESC last") << QByteArray("a\x1b") << D << "a" + esc << "a" << "";
        QTest::newRow("cut colour") << QByteArray("\x1b[32") << D << "[32" << "3" << "";
        QTest::newRow("ESC in a colour") << QByteArray("\x1b[3\x1b[31mX") << D << "[3X" << "X" << "red";
        QTest::newRow("CR LF at the end") << QByteArray("Hello\r\n") << M << "Hello" << "" << "";
        QTest::newRow("LF inside, two at the end") << QByteArray("a\nb\n\n") << M << "a\nb\n" << "" << "";
        QTest::newRow("Latin-1") << QByteArray("5\xb5s \xe4\xdf") << D << QString::fromUtf8("5µs äß") << "" << "";
    }

    void rendering()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(ConsoleStream, stream);
        QFETCH(QString, mark);
        QFETCH(QString, colour);
        QPlainTextEdit edit;
        const QString html = consoleHtml(bytes.constData(), bytes.size(), stream);
        if (stream == ConsoleStream::Data)
            edit.appendHtml(html);
        else
            edit.textCursor().insertHtml(html);
        QTEST(edit.toPlainText(), "text");
        if (!mark.isEmpty())
            QCOMPARE(colourAt(edit.document(), mark), colour.isEmpty() ? QColor() : QColor(colour));
    }

    // However many messages come, the console keeps 200 paragraphs, the last.
    void messagesAreBounded()
    {
        Window w = open();
        for (int i = 0; i < 10000; ++i) {
            QMetaObject::invokeMethod(w.get(), "SLOT_FirmwareWriteFinish", Q_ARG(qint8, -1));
            if (i % 1000 == 999) // a tick after every thousand
                QVERIFY(invoke(w.get(), "SLOT_PrintConsole"));
        }
        QVERIFY(invoke(w.get(), "SLOT_PrintConsole"));
        QCOMPARE(console(*w)->blockCount(), 200);
        QCOMPARE(console(*w)->lastBlock().text(), QString("ERROR Bootloader"));
    }

    // A take larger than one call renders (the GUI thread held up while the
    // board kept sending) is shown whole. A part is fed once the last one has
    // been taken, so the ring never overflows however long this thread waits.
    void largeTakeIsShownWhole()
    {
        auto board = std::make_shared<ScriptedBridgeBackend>(
            std::vector<ScriptedBridgeBackend::Device>{{"Board", "0001"}});
        Window w = scripted(board);
        QVERIFY(w && showsSoon(*w, "Connect Board"));
        m_log->clear();
        QElapsedTimer clock;
        clock.start();
        qint64 fed = 0, taken = 0;
        for (int line = 0; line < 4200; ++line) {
            const QByteArray text = "Flood " + QByteArray::number(line).rightJustified(10, '0') + "\r\n";
            board->feedRx(text.toStdString());
            fed += text.size();
            // 200 lines (3,600 bytes) at a time: fewer than the ring holds.
            while (line % 200 == 199 && taken < fed && clock.elapsed() < 60000) {
                QMetaObject::invokeMethod(w.get(), "SLOT_newDataAvailable", Qt::DirectConnection, Q_ARG(quint8, 0));
                for (const QString& call : m_log->statuses("RidivuDizerozoDuveze::SLOT_newDataAvailable"))
                    taken += call.mid(5).toLongLong(); // "CALL n"
                m_log->clear();
                QThread::usleep(200);
            }
        }
        QCOMPARE(taken, fed);
        QVERIFY(invoke(w.get(), "SLOT_PrintConsole"));
        const QRegularExpression flood(QStringLiteral("Flood (\\d{10})"));
        int next = 0;
        for (auto it = flood.globalMatch(consoleText(*w)); it.hasNext(); ++next)
            QCOMPARE(it.next().captured(1).toInt(), next);
        QCOMPARE(next, 4200);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
