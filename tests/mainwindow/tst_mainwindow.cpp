// The main window with virtual or scripted boards behind the real bridge device: connecting, programming, the shared
// block and the console.

#include "tests/support/MainWindowRig.h"

#include "tests/bridge_layer/ScriptedBridgeBackend.h"
#include "ui/ConsoleHtml.h"
#include "ui/RidivuDizerozoDuveze.h"

#include <QErrorMessage>
#include <QFileDialog>
#include <QListWidget>
#include <QTextEdit>
#include <QtTest>

#include <sys/ipc.h>
#include <sys/shm.h>

using namespace rig;
using Window = std::unique_ptr<RidivuDizerozoDuveze>;
Q_DECLARE_METATYPE(ConsoleStream)

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::shared_ptr<SimBridgeBackend> m_boards;
    std::shared_ptr<ScriptedBridgeBackend> m_scripted;
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
    QWidget* child(QWidget& w, const char* name) { return w.findChild<QWidget*>(name); }
    bool invoke(QObject* w, const char* s) { return QMetaObject::invokeMethod(w, s, Qt::DirectConnection); }
    // Its own flag, whatever its parents say (the Settings page is off).
    bool ownEnabled(QWidget& w, const char* n) { return !child(w, n)->testAttribute(Qt::WA_ForceDisabled); }
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
    // Connected in text mode to a scripted board: the test decides every byte.
    Window scripted(const char* name = "Board")
    {
        using Devices = std::vector<ScriptedBridgeBackend::Device>;
        m_scripted = std::make_shared<ScriptedBridgeBackend>(Devices{{name, "0001"}});
        bridgeInstallBackend(m_scripted);
        Window w = open();
        waitUntil([&] { return list(*w)->count() == 1; });
        list(*w)->setCurrentRow(0);
        QKeyEvent ctrl(QEvent::KeyPress, Qt::Key_Control, Qt::NoModifier); // held: shows the hardware-ID button
        QApplication::sendEvent(w.get(), &ctrl);
        button(*w, "m_pBConnect")->click();
        invoke(w.get(), "on_m_rB_SerialMode_clicked");
        return showsSoon(*w, QStringLiteral("Connect ") + name) ? std::move(w) : nullptr;
    }

private slots:
    void initTestCase()
    {
        isolate();
        Log::install();
    }
    void init()
    {
        removeSettings();
        m_boards = installBoards(2);
    }
    void cleanup()
    {
        bridgeInstallBackend(nullptr);
        m_boards.reset();
    }

    // A second loader on the block shows the notice, runs on, leaves the mark.
    void secondLoaderSeesTheFirst()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("the loader process runs in the plain builds: slowed by ThreadSanitizer it misses the test's waits");
#endif
        QProcess first; // inherits these
        qputenv("TIVAKO_BRIDGE", "sim");
        qputenv("TIVAKO_SIM_BOARDS", "0");
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

    // The remembered board of two connects by itself and the monitor is told its name. A stored path that has gone
    // (markup in it shown as text) is the red error. One session at a time, whoever asked: a monitor request closes
    // the window's ways to start one; a request during the window's session waits for its end and gets a result of
    // its own. The file and the name stay stored.
    void programming()
    {
        const QString gone = m_files.filePath("gone <b>x</b> &amp; y.hex");
        const QString hex = m_files.filePath("one.hex");
        const QByteArray image = randomBytes(3000, 0x5eed);
        QVERIFY(writeHexImage(hex, image));
        const QString second = "Tivako Virtual Board [0xVB0002]";
        writeSettings(gone, second);
        Window w = open(true);
        QVERIFY(w);
        Block block;
        QVERIFY(block.snapshot().loaderPresent && block.snapshot().boardConnected);
        QCOMPARE(block.snapshot().deviceName, second);
        QVERIFY(invoke(w.get(), "on_m_pBWriteFirmware_clicked"));
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(showsSoon(*w, "ERROR Bootloader", 10000));
        QVERIFY(consoleText(*w).contains("Hex-File not found under-> \"" + gone + "\""));
        QCOMPARE(colourAt(w->findChild<QPlainTextEdit*>()->document(), "ERROR Bootloader"), QColor("red"));
        auto starts = [&] { return consoleText(*w).count("Bootloader Start!!"); };
        auto result = [&] { return block.snapshot().programmingResult; };
        pump(300); // the ended session hands the board back
        block.request(hex);
        QVERIFY(waitUntil([&] { return starts() == 1; }));
        QVERIFY(!ownEnabled(*w, "m_pBQuadrel") && !ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(invoke(w.get(), "on_m_pBQuadrel_clicked"));
        QVERIFY(invoke(w.get(), "on_m_pBWriteFirmware_clicked"));
        QVERIFY(waitUntil([&] { return result() != 0; }, 60000));
        QCOMPARE(result(), 1);
        QVERIFY(starts() == 1 && ownEnabled(*w, "m_pBQuadrel"));
        QCOMPARE(flashOf(m_boards->board(1), image.size()), image);
        block.request(QString());
        QVERIFY(waitUntil([&] { return result() == 0; }, 2000));
        pump(300);
        button(*w, "m_pBQuadrel")->click();
        QVERIFY(waitUntil([&] { return starts() == 2; }));
        block.request(m_files.filePath("missing.hex"));
        QVERIFY(waitUntil([&] { return Log::countContaining("waits for the running session") == 1; }));
        QVERIFY(waitUntil([&] { return result() != 0; }, 60000));
        QCOMPARE(result(), -1);
        QVERIFY(consoleText(*w).contains("Bootloader Finish"));
        QCOMPARE(consoleText(*w).count("Hex-File not found"), 2);
        QCOMPARE(flashOf(m_boards->board(1), tivakoBuiltInFirmwareImage().size()), tivakoBuiltInFirmwareImage());
        block.request(QString());
        button(*w, "m_pBResetTK")->click(); // its line stands above the greeting it causes
        QVERIFY(waitUntil([&] { return consoleText(*w).section("Reset " + second, 1).contains(" ready"); }));
        w.reset();
        QVERIFY(!block.snapshot().loaderPresent);
        QCOMPARE(storedSetting("SettingsUsbDevName"), second);
        QCOMPARE(storedSetting("SettingsPathHexFile"), gone.toHtmlEscaped()); // as XML text
    }

    // What console bytes show: the text read and its last character's colour.
    void rendering_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<ConsoleStream>("stream");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("colour");
        const auto D = ConsoleStream::Data;
        const auto M = ConsoleStream::Messages;
        QTest::newRow("green") << QByteArray("\x1b[32mA") << D << "A" << "green";
        QTest::newRow("red") << QByteArray("\x1b[31mA") << D << "A" << "red";
        QTest::newRow("orange") << QByteArray("\x1b[33mA") << M << "A" << "orange";
        QTest::newRow("next colour") << QByteArray("\x1b[32mA\x1b[34mB") << D << "AB" << "blue";
        QTest::newRow("end") << QByteArray("\x1b[31mE\x1b[0my\x1b[0m") << M << "Ey" << "";
        QTest::newRow("ESC last") << QByteArray("a\x1b") << D << "a\x1b" << "";
        QTest::newRow("unknown colour") << QByteArray("\x1b[35mA") << D << "[35mA" << "";
        QTest::newRow("ESC in a colour") << QByteArray("\x1b[3\x1b[31mX") << D << "[3X" << "red";
        QTest::newRow("CR LF at the end") << QByteArray("Hello\r\n") << M << "Hello" << "";
        QTest::newRow("LF inside, two at the end") << QByteArray("a\nb\n\n") << M << "a\nb\n" << "";
        QTest::newRow("Latin-1") << QByteArray("5\xb5s \xe4\xdf") << D << QString::fromUtf8("5µs äß") << "";
    }

    void rendering()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(ConsoleStream, stream);
        QFETCH(QString, text);
        QFETCH(QString, colour);
        QPlainTextEdit edit;
        edit.appendHtml(consoleHtml(bytes.constData(), bytes.size(), stream));
        QCOMPARE(edit.toPlainText(), text);
        if (!text.endsWith('\n'))
            QCOMPARE(colourAt(edit.document(), text.right(1)), colour.isEmpty() ? QColor() : QColor(colour));
    }

    // A name with markup is shown as text (scripted() waits for it). Plain text shows in text mode, only a frame's
    // text in frame mode (the default); the mode is remembered. A take larger than one call renders (the GUI thread
    // held up while the board kept sending) is shown whole; a part is fed once the last one has been taken, so the
    // ring never overflows however long this thread waits. The user's disconnect forgets the name and tells the
    // monitor.
    void consoleShows()
    {
        Window w = scripted("Tivako <i>Board</i> &amp;");
        QVERIFY(w && !child(*w, "m_pbquadrel_hwid")->isHidden());
        const size_t before = m_scripted->state().written.size();
        button(*w, "m_pbquadrel_hwid")->click();
        QCOMPARE(m_scripted->state().written.substr(before), std::string("setHWqd\r"));
        const QString hex = m_files.filePath("pick.hex");
        QVERIFY(writeHexImage(hex, "x"));
        for (const QString& pick : {QString(), hex}) { // the dialog cancelled, then a file picked
            QTimer::singleShot(0, [pick] {
                if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()))
                    pick.isEmpty() ? d->reject() : (d->selectFile(pick), static_cast<QDialog*>(d)->accept());
            });
            QVERIFY(invoke(w.get(), "on_m_pBSearch_2_clicked")); // its page is off: the slot, not the button
            QCOMPARE(ownEnabled(*w, "m_pBWriteFirmware") && ownEnabled(*w, "m_pBCloseHexFile"), !pick.isEmpty());
        }
        QCOMPARE(child(*w, "m_lProgTitile")->property("text").toString(), QString("Tivako ZidiVevuro - pick.hex"));
        QVERIFY(invoke(w.get(), "on_m_pBCloseHexFile_clicked"));
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware") && !ownEnabled(*w, "m_pBCloseHexFile"));
        QCOMPARE(child(*w, "m_lProgTitile")->property("text").toString(), QString("Tivako ZidiVevuro"));
        Log::clear();
        const QDeadlineTimer deadline(60000);
        qint64 fed = 0, taken = 0;
        for (int line = 0; line < 4200; ++line) {
            const QByteArray text = "Flood " + QByteArray::number(line).rightJustified(10, '0') + "\r\n";
            m_scripted->feedRx(text.toStdString());
            fed += text.size();
            // 200 lines (3,600 bytes) at a time: fewer than the ring holds.
            while (line % 200 == 199 && taken < fed && !deadline.hasExpired()) {
                QMetaObject::invokeMethod(w.get(), "SLOT_newDataAvailable", Qt::DirectConnection, Q_ARG(quint8, 0));
                for (const QString& call : Log::statuses("RidivuDizerozoDuveze::SLOT_newDataAvailable"))
                    taken += call.mid(5).toLongLong(); // "CALL n"
                Log::clear();
                QThread::usleep(200);
            }
        }
        QCOMPARE(taken, fed);
        QVERIFY(invoke(w.get(), "on_m_clear_clicked") && consoleText(*w).isEmpty()); // keeps what is not shown yet
        QVERIFY(invoke(w.get(), "SLOT_PrintConsole"));
        const QRegularExpression flood(QStringLiteral("Flood (\\d{10})"));
        int next = 0;
        for (auto it = flood.globalMatch(consoleText(*w)); it.hasNext(); ++next)
            QCOMPARE(it.next().captured(1).toInt(), next);
        QCOMPARE(next, 4200);
        // Messages start paragraphs too: 200 short ones are kept. A result other than 1 or -1 says nothing.
        for (int i = 0; i < 10000; ++i) {
            QVERIFY(QMetaObject::invokeMethod(w.get(), "SLOT_FirmwareWriteFinish", Q_ARG(qint8, i < 9999 ? -1 : 0)));
            if (i % 1000 == 999)
                QVERIFY(invoke(w.get(), "SLOT_PrintConsole"));
        }
        QTextDocument* doc = w->findChild<QPlainTextEdit*>()->document();
        QVERIFY(doc->blockCount() == 200 && doc->characterCount() < 200 * 40);
        QVERIFY(consoleText(*w).endsWith("\nERROR Bootloader"));
        // Pieces end before a message's line feed, else before an ESC a cut would split.
        QCOMPARE(consolePieces("abc\ndefgh", ConsoleStream::Messages, 5), QVector<int>({3, 5, 1}));
        QCOMPARE(consolePieces("abc\x1b[31m", ConsoleStream::Data, 5), QVector<int>({3, 5}));
        QVERIFY(invoke(w.get(), "on_m_rB_TLVMode_clicked"));
        m_scripted->feedRx(("plain\r\n" + tlvFrame("framed")).toStdString());
        QVERIFY(showsSoon(*w, "framed"));
        QVERIFY(!consoleText(*w).contains("plain"));
        Block block;
        QVERIFY(block.snapshot().boardConnected);
        button(*w, "m_pBConnect")->click();
        QVERIFY(!isConnectedView(*w) && !ownEnabled(*w, "m_pBResetTK") && ownEnabled(*w, "m_pBSearch"));
        QVERIFY(!block.snapshot().boardConnected && block.snapshot().deviceName.isEmpty());
        button(*w, "m_pBSearch")->click(); // refills the list: with no row Connect is refused
        QVERIFY(list(*w)->count() == 1 && list(*w)->currentRow() == -1 && !ownEnabled(*w, "m_pBConnect"));
        QVERIFY(invoke(w.get(), "on_m_pBConnect_clicked") && showsSoon(*w, "Unabel to open"));
        QKeyEvent up(QEvent::KeyRelease, Qt::Key_Control, Qt::ControlModifier); // Ctrl let go
        QApplication::sendEvent(w.get(), &up);
        list(*w)->setCurrentRow(0);
        button(*w, "m_pBConnect")->click();
        QVERIFY(isConnectedView(*w) && child(*w, "m_pbquadrel_hwid")->isHidden());
        button(*w, "m_pBConnect")->click();
        w.reset();
        QCOMPARE(storedSetting("SettingsDebugComMode").trimmed(), QString("1"));
        QVERIFY(storedSetting("SettingsUsbDevName").isEmpty() && storedSetting("SettingsPathHexFile").isEmpty());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
