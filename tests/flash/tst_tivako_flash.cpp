// tivako-flash end to end through virtual boards: several boards programmed at
// once with one chip failing and one board held by another program, a run
// stopped by SIGTERM or by its time bound, and the program's command line
// (listing, usage errors, the built-in image).

// The suites' rig: the virtual board's header (first, before any Qt header),
// the hex-file writer and random images.
#include "tests/support/SessionRig.h"

#include "tests/flash/FlashCapture.h"
#include "tests/support/Process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

QHash<QString, QJsonObject> resultsByBoard(const QList<QJsonObject>& events)
{
    QHash<QString, QJsonObject> results;
    for (const QJsonObject& event : events) {
        if (event.value("event").toString() == "result")
            results.insert(event.value("board").toString(), event);
    }
    return results;
}

// Released from reset with BOOT0 low: the chip runs from flash (or halts
// there when the flash holds no program), never in its bootloader.
bool inUserMode(SimBoard* board)
{
    const SimBoardMode mode = board->mode();
    return (board->latch() & 0x03) == 0x03 && (mode == SimBoardMode::Firmware || mode == SimBoardMode::Halted);
}

bool flashHolds(SimBoard* board, const QByteArray& image)
{
    const std::vector<uint8_t> flash = board->flash();
    return flash.size() >= static_cast<size_t>(image.size()) &&
           QByteArray(reinterpret_cast<const char*>(flash.data()), image.size()) == image;
}

} // namespace

class TivakoFlashTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::shared_ptr<SimBridgeBackend> m_sim;

    void installBoards(int count, SimTiming timing)
    {
        SimOptions options;
        options.boards = count;
        options.timing = timing;
        m_sim = std::make_shared<SimBridgeBackend>(options);
        bridgeInstallBackend(m_sim);
    }
    QString hexFile(const QByteArray& image)
    {
        const QString path = m_dir.filePath(QStringLiteral("image-%1.hex").arg(image.size()));
        return writeHexImage(path, image) ? path : QString();
    }

private slots:
    void cleanup()
    {
        bridgeInstallBackend(nullptr);
        m_sim.reset();
    }

    void programsBoardsAtOnceAndNamesTheFailure_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("message");
        // A refused block shows only in the session's log; a foreign chip in
        // its console messages.
        QTest::newRow("refused block") << 0 << "SM_FW_WriteFileReceiveData -> Get NACK 20";
        QTest::newRow("foreign chip") << 1 << "Bootloader Fail -> STM32 ID: 0x0413 not supported";
    }
    void programsBoardsAtOnceAndNamesTheFailure()
    {
        QFETCH(int, fault);
        QFETCH(QString, message);
        installBoards(5, SimTiming::Fast);
        const QByteArray image = randomBytes(6000, 18);
        const QString path = hexFile(image);
        QVERIFY(!path.isEmpty());
        if (fault == 0)
            m_sim->board(2)->nack(SimNackPhase::Data, 0x31, 0x08000400, SimRepeat::Always);
        else
            m_sim->board(2)->setProductId(0x0413);
        // VB0005 is held open, as a running loader would hold it.
        BRIDGE_HANDLE held = nullptr;
        QCOMPARE(m_sim->open(4, &held), BRIDGE_STATUS(SI_SUCCESS));

        const FlashCapture run = runTivakoFlashCaptured({"--all", "--image", path, "--json"});
        m_sim->close(held);
        QCOMPARE(run.code, 1);
        const QList<QJsonObject> events = flashJsonLines(run.out);
        const QHash<QString, QJsonObject> results = resultsByBoard(events);
        QCOMPARE(results.size(), 5);
        for (int i : {0, 1, 3}) {
            SimBoard* board = m_sim->board(i);
            const QJsonObject result = results.value(QString::fromStdString(board->serial()));
            QCOMPARE(result.value("status").toString(), QString("ok"));
            QCOMPARE(result.value("bytes").toInt(), image.size());
            QVERIFY(flashHolds(board, image));
            QVERIFY(inUserMode(board));
        }
        const QJsonObject failed = results.value("VB0003");
        QCOMPARE(failed.value("status").toString(), QString("failed"));
        QCOMPARE(failed.value("message").toString(), message);
        QVERIFY(inUserMode(m_sim->board(2)));
        QCOMPARE(results.value("VB0005").value("status").toString(), QString("busy"));
        QVERIFY(m_sim->board(4)->bootloaderEvents().empty());

        // Progress of a good board: every tenth once, in order, up to 100 %.
        QList<int> percents;
        for (const QJsonObject& event : events) {
            if (event.value("event").toString() == "progress" && event.value("board").toString() == "VB0001")
                percents << event.value("percent").toInt();
        }
        QVERIFY2(!percents.isEmpty() && percents.last() == 100, qPrintable(run.out));
        for (int i = 1; i < percents.size(); ++i)
            QVERIFY(percents.at(i) / 10 > percents.at(i - 1) / 10);
        const QJsonObject summary = events.last();
        QCOMPARE(summary.value("event").toString(), QString("summary"));
        QCOMPARE(summary.value("not_programmed").toArray().toVariantList(), QVariantList({"VB0003", "VB0005"}));
    }

    void stopsAndHandsTheBoardsBack_data()
    {
        QTest::addColumn<bool>("bySignal");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("SIGTERM") << true << 128 + SIGTERM << "interrupted" << "stopped by SIGTERM";
        QTest::newRow("time bound") << false << 1 << "timeout" << "no result within 1.5 seconds";
    }
    void stopsAndHandsTheBoardsBack()
    {
        QFETCH(bool, bySignal);
        QFETCH(int, code);
        QFETCH(QString, status);
        QFETCH(QString, message);
        installBoards(3, SimTiming::Realtime);
        const QString path = hexFile(randomBytes(100000, 5)); // about 12 s per board
        QVERIFY(!path.isEmpty());

        QStringList arguments = {"--all", "--image", path, "--json"};
        if (!bySignal)
            arguments << "--timeout" << "1.5";
        FlashCapture run;
        std::thread flash([&] { run = runTivakoFlashCaptured(arguments); });
        if (bySignal) {
            // Mid-write on every board: well past the erase.
            const bool writing = waitUntil(
                [&] {
                    for (int i = 0; i < 3; ++i) {
                        if (m_sim->board(i)->counters().bytesFromHost < 4000)
                            return false;
                    }
                    return true;
                },
                20000);
            // Sent to the process as from outside: this thread blocks it, so
            // that it lands on one of the run's threads, never amid this
            // thread's own calls.
            sigset_t term, before;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            pthread_sigmask(SIG_BLOCK, &term, &before);
            kill(getpid(), SIGTERM);
            flash.join();
            pthread_sigmask(SIG_SETMASK, &before, nullptr);
            QVERIFY(writing);
        } else {
            flash.join();
        }

        QCOMPARE(run.code, code);
        const QHash<QString, QJsonObject> results = resultsByBoard(flashJsonLines(run.out));
        QCOMPARE(results.size(), 3);
        for (int i = 0; i < 3; ++i) {
            SimBoard* board = m_sim->board(i);
            const QJsonObject result = results.value(QString::fromStdString(board->serial()));
            QCOMPARE(result.value("status").toString(), status);
            QCOMPARE(result.value("message").toString(), message);
            QVERIFY2(inUserMode(board), board->serial().c_str());
        }
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("serials"); // listed, or named in the error
        QTest::addColumn<QString>("output");      // a line that stdout must hold

        const QStringList all = {"VB0001", "VB0002", "VB0003"};
        QTest::newRow("list") << QStringList{"--list"} << 0 << all << "Tivako Virtual Board\tVB0002";
        QTest::newRow("list as JSON") << QStringList{"--list", "--json"} << 0 << all << "";
        QTest::newRow("missing serial") << QStringList{"--board", "VB0002", "--board", "VB0009", "--quadrel"} << 2
                                        << QStringList{"VB0009"} << "";
        QTest::newRow("no board named") << QStringList{"--quadrel"} << 2 << QStringList() << "";
        QTest::newRow("two images") << QStringList{"--all", "--quadrel", "--image", "x.hex"} << 2 << QStringList()
                                    << "";
        QTest::newRow("no such image") << QStringList{"--all", "--image", "/nonexistent/x.hex"} << 2
                                       << QStringList() << "";
        QTest::newRow("built-in image") << QStringList{"--board", "VB0002", "--quadrel"} << 0 << QStringList()
                                        << "VB0002: programmed in";
        QTest::newRow("help") << QStringList{"--help"} << 0 << QStringList() << "Exit status: 0 every board programmed, 1 any board failed, was busy or ran";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QStringList, serials);
        QFETCH(QString, output);

        ProcessOptions options;
        options.env.insert("TIVAKO_BRIDGE", "sim");
        options.env.insert("TIVAKO_SIM_BOARDS", "3");
        options.env.insert("TIVAKO_SIM_TIMING", "fast");
        options.env.remove("TIVAKO_SIM_FLASH");
        const ProcessRun run = runProcess(TIVAKO_FLASH_PROGRAM, arguments, options);
        QVERIFY(run.finished);
        const QByteArray& out = run.out;
        const QByteArray& err = run.err;
        QVERIFY2(run.exitCode == code, err.constData());
        if (!output.isEmpty())
            QVERIFY2(out.contains(output.toUtf8()), out.constData());

        if (arguments.first() == "--list") {
            QStringList listed;
            for (const QByteArray& line : out.split('\n')) {
                if (line.isEmpty())
                    continue;
                if (arguments.contains("--json")) {
                    const QJsonObject board = QJsonDocument::fromJson(line).object();
                    QCOMPARE(board.value("description").toString(), QString("Tivako Virtual Board"));
                    listed << board.value("serial").toString();
                } else {
                    listed << QString(line).section('\t', 1);
                }
            }
            QCOMPARE(listed, serials);
        } else if (code == 2) {
            // Refused before any board is touched, with the synopsis.
            QVERIFY2(out.isEmpty(), out.constData());
            QVERIFY(err.startsWith("tivako-flash: "));
            for (const QString& serial : serials)
                QVERIFY2(err.contains(serial.toUtf8()), err.constData());
        }
    }
};

QTEST_GUILESS_MAIN(TivakoFlashTest)
#include "tst_tivako_flash.moc"
