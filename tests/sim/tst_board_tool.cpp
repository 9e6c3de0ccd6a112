// tivako-board on a pseudo-terminal under a bootloader client nobody here
// wrote (stm32flash), and tivako-flash on virtual boards: in this process
// where boards need faults or a look inside, as a process for the command line.

#include "tests/support/SimTestSupport.h"

#include "tests/flash/FlashCapture.h"
#include "tests/support/Process.h"
#include "tests/support/Wait.h"

#include <csignal>
#include <pthread.h>
#include <pty.h>
#include <thread>
#include <unistd.h>

static const QString kBoard = TIVAKO_BINARY_DIR "/tools/tivako-board/tivako-board";

class TestBoardTool : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_board;

    // Starts tivako-board on the flash file; its first line names its terminal.
    QString startBoard(const QStringList& arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TIVAKO_SIM_FLASH", m_dir.filePath("flash.bin"));
        m_board.setProcessEnvironment(env);
        m_board.start(kBoard, arguments);
        waitUntil([&] { return m_board.canReadLine() || (m_board.waitForReadyRead(100) && m_board.canReadLine()); });
        return QString::fromLocal8Bit(m_board.readLine()).trimmed();
    }
    ProcessRun stm32flash(const QStringList& arguments)
    {
        ProcessOptions options;
        options.timeoutMs = 120000;
        options.mergeOutput = true;
        return runProcess("stm32flash", QStringList{"-m", "8n1"} + arguments, options);
    }

private slots:
    void cleanup()
    {
        m_board.kill();
        m_board.waitForFinished(5000);
    }

    void stm32flashWritesVerifiesAndReadsBack()
    {
        if (QStandardPaths::findExecutable("stm32flash").isEmpty())
            QSKIP("stm32flash is not installed (scripts/deps installs it)");
#ifdef __SANITIZE_THREAD__ // no threads here, and a board slowed that much can miss stm32flash's reply timeouts
        QSKIP("stm32flash against tivako-board runs in the plain builds");
#endif
        const QByteArray random = randomBytes(kSimFlashSize, 31);
        QVERIFY(writeFile(m_dir.filePath("random.bin"), random));
        QString pty = startBoard({});
        ProcessRun run = stm32flash({"-b", "115200", "-w", m_dir.filePath("random.bin"), "-v", pty});
        QVERIFY2(run.exitCode == 0 && run.out.contains("Wrote and verified address 0x08020000"), run.out.right(300));
        run = stm32flash({pty}); // a second client finds the bootloader synchronised already
        QVERIFY2(run.out.contains("Device ID    : 0x0410") && run.out.contains("Version      : 0x22"), run.out.data());
        m_board.terminate(); // a clean exit keeps the flash in its file
        QVERIFY(m_board.waitForFinished(10000) && m_board.exitCode() == 0);
        QCOMPARE(readFile(m_dir.filePath("flash.bin")), random);
        // In real time 4 KB take at least their wire time: 4096 x 11 bits at 115200.
        pty = startBoard({"--realtime"});
        run = stm32flash({"-b", "115200", "-r", m_dir.filePath("back.bin"), "-S", "0x08000000:4096", pty});
        QVERIFY2(run.exitCode == 0 && run.ms >= 391, run.out.constData());
        QCOMPARE(readFile(m_dir.filePath("back.bin")), random.left(4096));
    }

    // Three boards: one refuses a block, one is held by another program, and the last is stopped by SIGTERM
    // mid-write. (A foreign chip: on a terminal, below.)
    void tivakoFlashNamesEachFailureAndHandsTheBoardsBack()
    {
        SimOptions options = fastOptions(3);
        options.timing = SimTiming::Realtime;
        const auto sim = std::make_shared<SimBridgeBackend>(options);
        bridgeInstallBackend(sim);
        QVERIFY(writeHexImage(m_dir.filePath("big.hex"), randomBytes(60000, 5))); // about 7 s
        sim->board(1)->nack(SimNackPhase::Data, 0x31, 0x08000400, SimRepeat::Always);
        BRIDGE_HANDLE held = nullptr;
        QCOMPARE(sim->open(2, &held), BRIDGE_STATUS(SI_SUCCESS));
        FlashCapture run;
        const QStringList arguments = {"--all", "--image", m_dir.filePath("big.hex"), "--json"};
        std::thread flash([&] { run = runTivakoFlashCaptured(arguments); });
        const auto over = [&](size_t i) { // the session ran, and the run took its result and let the board go
            return !sim->board(i)->bootloaderEvents().empty() && !sim->board(i)->isOpen();
        };
        const bool writing =
            waitUntil([&] { return over(1) && sim->board(0)->counters().bytesFromHost > 4000; }, 30000);
        sigset_t term, before; // blocked here, so that it lands on one of the run's threads
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &term, &before);
        kill(getpid(), SIGTERM);
        flash.join();
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        sim->close(held);
        bridgeInstallBackend(nullptr);
        QVERIFY(writing);
        QCOMPARE(run.code, 128 + SIGTERM);
        const QList<QJsonObject> events = flashJsonLines(run.out);
        const QStringList expected = {"interrupted: stopped by SIGTERM",
                                      "failed: SM_FW_WriteFileReceiveData -> Get NACK 231",
                                      "busy: busy: the bridge refused to open (is a loader using the board?) "
                                      "[SI_DEVICE_NOT_FOUND]"};
        QStringList results = {"", "", ""};
        for (const QJsonObject& event : events)
            if (event.value("event") == "result")
                results[event.value("board").toString().right(1).toInt() - 1] =
                    event.value("status").toString() + ": " + event.value("message").toString();
        QCOMPARE(results, expected);
        for (size_t i = 0; i < 2; ++i) // released from reset with BOOT0 low
            QVERIFY((sim->board(i)->latch() & 0x03) == 0x03 && sim->board(i)->mode() != SimBoardMode::Bootloader);
        QVERIFY(sim->board(2)->bootloaderEvents().empty());
        QCOMPARE(events.last().value("not_programmed").toArray().size(), 3);
    }

    // On a terminal of five rows and 100 columns: a line per board redrawn in place and cut to the width, the
    // failed board first, and a count of those that do not fit.
    void tivakoFlashDrawsOnATerminal()
    {
        const auto sim = std::make_shared<SimBridgeBackend>(fastOptions(5));
        bridgeInstallBackend(sim);
        sim->board(0)->setProductId(0x0413);
        int master = -1, slave = -1;
        winsize size{5, 100, 0, 0};
        QVERIFY(openpty(&master, &slave, nullptr, nullptr, &size) == 0);
        QByteArray screen;
        std::thread reader([&] { // until the run closes its end
            char buffer[4096];
            for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
                screen.append(buffer, int(n));
        });
        const FlashCapture run = runTivakoFlashCaptured({"--all", "--quadrel"}, fdopen(slave, "w"));
        reader.join();
        close(master);
        bridgeInstallBackend(nullptr);
        QCOMPARE(run.code, int(kFlashFailed));
        QCOMPARE(sim->board(0)->latch() & 0x03, 0x03); // the foreign chip too: out of reset, BOOT0 low
        const QString last = QString(screen).section("\x1b[3A", -1); // back over three lines: the last redraw
        QVERIFY2(QRegularExpression(R"(^\r\x1b\[2KVB0001   \[\.{20}\]   0% +0/(\d+) B   [\d.]{3} s  FAILED: )"
                                    R"(Bootloader Fail -> STM32 ID: 0\r\n\r\x1b\[2KVB0002   \[#{20}\] 100% )"
                                    R"( +\1/\1 B   [\d.]{3} s  done\r\n\r\x1b\[2K\.\.\. 3 more; all boards: )"
                                    R"(4 done, 1 not programmed, 0 running\r\n4 of 5 boards programmed)")
                     .match(last)
                     .hasMatch(),
                 qPrintable(last));
    }

    void commandLine_data()
    {
        QTest::addColumn<QString>("command"); // NAME=VALUE words first go to the environment
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out"); // in stdout
        QTest::addColumn<QString>("err"); // a pattern of stderr
        QTest::newRow("list") << "flash --list" << 0 << "Tivako Virtual Board\tVB0001\nTivako Virtual Board\tVB0002\n"
                              << "^$";
        QTest::newRow("list as JSON") << "flash --list --json" << 0
                                      << R"({"description":"Tivako Virtual Board","serial":"VB0002"})"
                                      << "^$";
        QTest::newRow("built-in image") << "flash --board VB0002 --quadrel" << 0 << "VB0002: programmed in"
                                        << "^$";
        QTest::newRow("help") << "flash --help" << 0
                              << "Exit status: 0 every board programmed, 1 any board failed, was busy or ran"
                              << "^$";
        QTest::newRow("missing serial") << "flash --board VB0002 --board VB0009 --quadrel" << 2 << ""
                                        << "^tivako-flash: .*VB0009";
        QTest::newRow("two images") << "flash --all --quadrel --image x.hex" << 2 << QString() << "^tivako-flash: ";
        QTest::newRow("progress and results as JSON") << "flash --all --quadrel --json" << 0 << R"("status":"ok")"
                                                      << "^$";
        QTest::newRow("no board named") << "flash --quadrel" << 2 << QString() << "name the boards";
        QTest::newRow("bad timeout") << "flash --all --quadrel --timeout 0" << 2 << QString() << "--timeout needs";
        QTest::newRow("no image file") << "flash --all --image /nonexistent.hex" << 2 << QString() << "no such file";
        QTest::newRow("board: bad option")
            << "board --realtime --user --output ascii --bogus" << 2 << QString() << "usage";
        QTest::newRow("board: bad timing")
            << "TIVAKO_SIM_TIMING=sometimes board" << 2 << QString() << "TIVAKO_SIM_TIMING";
    }
    void commandLine()
    {
        QFETCH(QString, command);
        QFETCH(int, code);
        QFETCH(QString, out);
        QFETCH(QString, err);
        ProcessOptions options;
        options.env.remove("TIVAKO_SIM_FLASH");
        QStringList words = ("TIVAKO_BRIDGE=sim TIVAKO_SIM_BOARDS=2 TIVAKO_SIM_TIMING=fast " + command).split(' ');
        while (words[0].contains('=')) {
            const QString setting = words.takeFirst();
            options.env.insert(setting.section('=', 0, 0), setting.section('=', 1));
        }
        const ProcessRun run = runProcess(words.takeFirst() == "flash" ? TIVAKO_FLASH_PROGRAM : kBoard, words, options);
        QVERIFY2(run.finished && run.exitCode == code, run.err.constData());
        QVERIFY2(run.out.contains(out.toUtf8()) && (code == 0 || run.out.isEmpty()), run.out.constData());
        QVERIFY2(QString(run.err).contains(QRegularExpression(err)), run.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestBoardTool)
#include "tst_board_tool.moc"
