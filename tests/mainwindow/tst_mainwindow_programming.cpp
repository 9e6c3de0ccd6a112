// Firmware programming from the window's three sources against a virtual
// board: the built-in Quadrel image, the chosen hex file and requests of the
// debug monitor (tivako-monitor run as a real process), with the buttons'
// states, the console's messages and the shared block's result.

#include "tests/support/MainWindowRig.h"
#include "tests/support/Process.h"

#include "ui/RidivuDizerozoDuveze.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <memory>

using namespace rig;

namespace {

const char kRequest[] = "RidivuDizerozoDuveze::SLOT_ProgrammingRequestPendig";
const char kFinishedLabel[] = "RidivuDizerozoDuveze::SLOT_ProgrammingFinished";
const QString kFinish = QStringLiteral("Bootloader Finish");
const QString kError = QStringLiteral("ERROR Bootloader");

// The flash holds the image, and nothing but erased bytes behind it.
bool flashHolds(SimBoard* board, const QByteArray& image)
{
    const QByteArray flash = flashOf(board, int(kSimFlashSize));
    return flash.left(image.size()) == image && flash.mid(image.size()).count('\xff') == flash.size() - image.size();
}

// Answers the next file dialog: picks `path`, or cancels when it is empty.
// The dialog is answered only when a later poll finds it again: the first
// sighting may come while it is still being shown, before its own event loop
// runs, and an answer then would be lost.
void answerFileDialog(const QString& path, QString* caption, QString* directory, QStringList* filters)
{
    auto* poll = new QTimer(qApp);
    auto seen = std::make_shared<QPointer<QFileDialog>>();
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        QFileDialog* dialog = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<QFileDialog*>(top); d && d->isVisible())
                dialog = d;
        }
        if (!dialog || *seen != dialog) {
            *seen = dialog;
            return;
        }
        poll->stop();
        poll->deleteLater();
        *caption = dialog->windowTitle();
        *directory = dialog->directory().absolutePath();
        *filters = dialog->nameFilters();
        if (path.isEmpty()) {
            dialog->reject();
        } else {
            // Typed in, as a user would; the dialog's file list loads in
            // the background and cannot be relied on here.
            if (auto* name = dialog->findChild<QLineEdit*>("fileNameEdit"))
                name->setText(path);
            static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
        }
    });
    poll->start(20);
}

int runMonitor(const QStringList& args, int timeoutMs)
{
    ProcessOptions options;
    options.timeoutMs = timeoutMs;
    // The window goes on handling events while the monitor waits.
    const ProcessRun run = runProcess(QStringLiteral(TIVAKO_BINARY_DIR "/tools/tivako-monitor/tivako-monitor"),
                                      QStringList{"--key", Block::key()} + args, options);
    return !run.started ? -100 : !run.finished ? -101 : run.exitCode;
}

} // namespace

class TestMainWindowProgramming : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Log> m_log;
    std::shared_ptr<SimBridgeBackend> m_boards;
    QByteArray m_image;
    QTemporaryDir m_files{QDir::tempPath() + "/tivako-mw-XXXXXX"};

    std::unique_ptr<RidivuDizerozoDuveze> connectedWindow()
    {
        auto w = std::make_unique<RidivuDizerozoDuveze>(nullptr);
        w->show();
        if (!waitUntil([&] { return isConnectedView(*w); }, 5000))
            return nullptr;
        return w;
    }

    int finishedCalls()
    {
        int n = 0;
        for (const QString& line : m_log->lines())
            n += line.startsWith(statusLine(kFinishedLabel, "CALL ")) ? 1 : 0;
        return n;
    }

private slots:
    void initTestCase()
    {
        isolate();
        QVERIFY(m_files.isValid());
        m_image = builtInImage();
        QVERIFY(m_image.size() > 256);
    }

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

    // "Prog as Quadrel" on an empty board: stars, the finish message, the
    // image in flash, the firmware running; the button waits for the next
    // connect while Write comes back even with no hex file chosen. The
    // shared block's result stays as it was.
    void quadrelEndToEnd()
    {
        writeSettings(QString(), boardName());
        auto w = connectedWindow();
        QVERIFY(w);
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));
        Block block;
        block.setProgrammingResult(7);
        QVERIFY(waitUntil([&] { return finishedCalls() == 1; }, 2000));

        button(*w, "m_pBQuadrel")->click();
        QVERIFY(!ownEnabled(*w, "m_pBQuadrel"));
        QVERIFY(waitUntil([&] { return consoleText(*w).contains(kFinish); }, 60000));
        const QString text = consoleText(*w);
        QVERIFY(text.contains("Bootloader Start!!"));
        QVERIFY(text.contains("Write Firmware File:"));
        QVERIFY(text.count('*') >= m_image.size() / 256);
        QVERIFY(!text.contains(kError));
        QVERIFY(flashHolds(m_boards->board(0), m_image));

        QVERIFY(!ownEnabled(*w, "m_pBQuadrel"));
        QVERIFY(ownEnabled(*w, "m_pBWriteFirmware"));
        QCOMPARE(block.snapshot().programmingResult, 7);
        QCOMPARE(finishedCalls(), 1);

        // The new firmware starts and talks.
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Uptime "); }, 5000));

        button(*w, "m_pBConnect")->click();
        QVERIFY(!isConnectedView(*w));
        QVERIFY(!ownEnabled(*w, "m_pBQuadrel"));
        button(*w, "m_pBConnect")->click();
        QVERIFY(isConnectedView(*w));
        QVERIFY(ownEnabled(*w, "m_pBQuadrel"));
        QCOMPARE(block.snapshot().programmingResult, 7);
    }

    // One session at a time, whoever asked: the monitor's request closes the
    // window's ways to start one, and a request during the window's session
    // waits for its end and gets a result of its own.
    void oneSessionAtATime()
    {
        const QString good = m_files.filePath("one.hex");
        QFile::remove(good);
        QVERIFY(QFile::copy(":/hex/RozazerEvu_1_0_54.hex", good));
        writeSettings(good, boardName());
        auto w = connectedWindow();
        QVERIFY(w);
        Block block;
        QVERIFY(block.attach());
        auto starts = [&] { return consoleText(*w).count("Bootloader Start!!"); };

        block.request(good);
        QVERIFY(waitUntil([&] { return starts() == 1; }, 5000));
        QVERIFY(!ownEnabled(*w, "m_pBQuadrel"));
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));
        // Even reached by their slots they start nothing.
        QVERIFY(invoke(w.get(), "on_m_pBQuadrel_clicked"));
        QVERIFY(invoke(w.get(), "on_m_pBWriteFirmware_clicked"));
        QVERIFY(waitUntil([&] { return block.snapshot().programmingResult != 0; }, 60000));
        QCOMPARE(block.snapshot().programmingResult, 1);
        QCOMPARE(starts(), 1);
        QVERIFY(ownEnabled(*w, "m_pBQuadrel"));
        block.request(QString());
        QVERIFY(waitUntil([&] { return block.snapshot().programmingResult == 0; }, 2000));

        // A request refused for its missing file, while the window writes.
        pump(300);
        button(*w, "m_pBQuadrel")->click();
        QVERIFY(waitUntil([&] { return starts() == 2; }, 5000));
        block.request(m_files.filePath("missing.hex"));
        QVERIFY(waitUntil([&] { return m_log->has(statusLine(kRequest, "Programming Extern waits for the running session")); }, 5000));
        QVERIFY(waitUntil([&] { return block.snapshot().programmingResult != 0; }, 60000));
        QCOMPARE(block.snapshot().programmingResult, -1);
        QVERIFY(consoleText(*w).contains(kFinish));
        QVERIFY(consoleText(*w).contains("Hex-File not found"));
        QVERIFY(flashHolds(m_boards->board(0), m_image));
        block.request(QString());
    }

    // A hex file chosen in the dialog is remembered, titled and written.
    void chosenHexFile()
    {
        const QByteArray image = randomBytes(3000, 0x5eed);
        const QString path = m_files.filePath("chosen.hex");
        QVERIFY(writeHexImage(path, image));

        writeSettings(QString(), boardName());
        auto w = connectedWindow();
        QVERIFY(w);
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));

        // Cancelled: nothing changes.
        QString caption, directory;
        QStringList filters;
        answerFileDialog(QString(), &caption, &directory, &filters);
        QVERIFY(invoke(w.get(), "on_m_pBSearch_2_clicked"));
        QCOMPARE(caption, QString("Open Hex File"));
        QCOMPARE(directory, QDir::homePath());
        QCOMPARE(filters, QStringList{"Hex Files (*.hex)"});
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(!ownEnabled(*w, "m_pBCloseHexFile"));
        QCOMPARE(child<QLabel>(*w, "m_lProgTitile")->text(), QString("ZidiVevuro Tivako Mini"));

        answerFileDialog(path, &caption, &directory, &filters);
        QVERIFY(invoke(w.get(), "on_m_pBSearch_2_clicked"));
        QVERIFY(ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(ownEnabled(*w, "m_pBCloseHexFile"));
        QCOMPARE(child<QLabel>(*w, "m_lProgTitile")->text(), QString("Tivako ZidiVevuro - chosen.hex"));

        // The Settings page is disabled, so the button is reached by its slot.
        QVERIFY(invoke(w.get(), "on_m_pBWriteFirmware_clicked"));
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(waitUntil([&] { return consoleText(*w).contains(kFinish); }, 60000));
        QVERIFY(ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(ownEnabled(*w, "m_pBQuadrel"));
        QVERIFY(flashHolds(m_boards->board(0), image));
        QCOMPARE(finishedCalls(), 0);

        w.reset();
        QCOMPARE(readSettings().hexPath, path);
    }

    void forgettingTheHexFile()
    {
        const QString path = m_files.filePath("forget.hex");
        QVERIFY(writeHexImage(path, QByteArray(64, 'x')));
        writeSettings(path, boardName());
        auto w = connectedWindow();
        QVERIFY(w);
        QVERIFY(ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(invoke(w.get(), "on_m_pBCloseHexFile_clicked"));
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(!ownEnabled(*w, "m_pBCloseHexFile"));
        QCOMPARE(child<QLabel>(*w, "m_lProgTitile")->text(), QString("Tivako ZidiVevuro"));
        // Reconnecting does not bring Write back without a file.
        button(*w, "m_pBConnect")->click();
        button(*w, "m_pBConnect")->click();
        QVERIFY(isConnectedView(*w));
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));
        w.reset();
        QVERIFY(readSettings().hexPath.isEmpty());
    }

    // A stored path whose file has gone: the red error, Write back on.
    void missingHexFile()
    {
        // Markup in the path is shown as text, not taken as HTML.
        const QString gone = m_files.filePath("gone <b>x</b> &amp; y.hex");
        writeSettings(gone, boardName());
        auto w = connectedWindow();
        QVERIFY(w);
        QVERIFY(invoke(w.get(), "on_m_pBWriteFirmware_clicked"));
        QVERIFY(!ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(waitUntil([&] { return consoleText(*w).contains(kError); }, 10000));
        QVERIFY2(consoleText(*w).contains("Hex-File not found under-> \"" + gone + "\""), qPrintable(consoleText(*w)));
        QVERIFY(ownEnabled(*w, "m_pBWriteFirmware"));
        QVERIFY(!consoleText(*w).contains(kFinish));
        QCOMPARE(finishedCalls(), 0);
    }

    // The debug monitor asks; the window programs and hands back the result,
    // which the monitor's exit status tells.
    void monitorRequests()
    {
        const QString good = m_files.filePath("good.hex");
        QVERIFY(QFile::copy(":/hex/RozazerEvu_1_0_54.hex", good));
        const QString bad = m_files.filePath("bad.hex");
        {
            QFile file(bad);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(":020000040800F2\r\n:10000000000102030405060708090A0B0C0D0E0F77\r\n"
                       ":10001000101112131415161718191A1B1C1D1E1F00\r\n:00000001FF\r\n");
        }

        writeSettings(QString(), boardName());
        auto w = connectedWindow();
        QVERIFY(w);
        Block block;

        QCOMPARE(runMonitor({"program", good, "--timeout", "90"}, 100000), 0);
        QVERIFY(m_log->has(statusLine(kRequest, "Programming Extern")));
        QVERIFY(consoleText(*w).contains(kFinish) || waitUntil([&] { return consoleText(*w).contains(kFinish); }));
        QVERIFY(flashHolds(m_boards->board(0), m_image));
        QVERIFY(m_log->has(statusLine(kFinishedLabel, "CALL 1")));
        QVERIFY(ownEnabled(*w, "m_pBWriteFirmware"));
        // The monitor has withdrawn its request; the result goes back to 0.
        QVERIFY(waitUntil([&] { return block.snapshot().programmingResult == 0; }, 2000));

        QCOMPARE(runMonitor({"program", bad, "--timeout", "60"}, 70000), 1);
        QVERIFY(waitUntil([&] { return consoleText(*w).contains(kError); }, 2000));
        QVERIFY(m_log->has(statusLine(kFinishedLabel, "CALL -1")));
        QVERIFY(ownEnabled(*w, "m_pBWriteFirmware"));
        // The file failed before the board was touched.
        QVERIFY(flashHolds(m_boards->board(0), m_image));

        // Without a board the request fails at once. (The ended session
        // hands the board back for about 100 ms after its result.)
        pump(300);
        button(*w, "m_pBConnect")->click();
        QVERIFY(!isConnectedView(*w));
        QCOMPARE(runMonitor({"program", good, "--timeout", "60"}, 70000), 1);
        QVERIFY(waitUntil([&] { return consoleText(*w).contains("Device not connected"); }, 1000));
        QCOMPARE(finishedCalls(), 3);
    }
};

QTEST_MAIN(TestMainWindowProgramming)
#include "tst_mainwindow_programming.moc"
