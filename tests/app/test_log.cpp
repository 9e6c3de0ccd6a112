// The diagnostic log: the exact bytes of status and error lines, lines too
// long for the buffer, and lines written from several threads at once.

#include "app/Log.h"

#include <QThread>
#include <QtTest>

#include <mutex>
#include <vector>

namespace {

struct Captured
{
    QtMsgType type;
    QByteArray text; // the message as UTF-8, as the logger got it
    bool hasContext;
    QByteArray category;
};

// A standard mutex, which ThreadSanitizer understands.
std::mutex g_mutex;
std::vector<Captured> g_lines;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.push_back({type, message.toUtf8(),
                       context.file != nullptr || context.line != 0 || context.function != nullptr,
                       QByteArray(context.category)});
}

std::vector<Captured> takeLines()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<Captured> lines;
    lines.swap(g_lines);
    return lines;
}

const QByteArray kStatusPrefix = "STATUS[\x1b[32mZidiVevuro\x1b[0m]->";
const QByteArray kErrorPrefix = "\x1b[31mERROR[\x1b[32mZidiVevuro\x1b[31m]->";
const QByteArray kReset = "\x1b[0m";

// The one line the last call wrote.
QByteArray onlyLine()
{
    const std::vector<Captured> lines = takeLines();
    if (lines.size() != 1)
        return QByteArray("<") + QByteArray::number(int(lines.size())) + " lines>";
    return lines.front().text;
}

} // namespace

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        takeLines();
        qInstallMessageHandler(capture);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    // The examples every other part relies on, byte for byte: one debug
    // message each, without file, line or function.
    void exactLines()
    {
        logStatus("KX_SI_USBXpressDev::run", "Thread END");
        logError("KX_SI_USBXpressDev::closeDev", "Device not open");
        logStatus("KX_SI_USBXpressDev::getDeviceList", "Remove Device Index %d", 2);
        logError("KX_SI_USBXpressDev::openDevice", "SI_INVALID_HANDLE");

        const std::vector<Captured> lines = takeLines();
        QCOMPARE(int(lines.size()), 4);
        for (const Captured& line : lines) {
            QCOMPARE(line.type, QtDebugMsg);
            QVERIFY(!line.hasContext);
            QCOMPARE(line.category, QByteArray("default"));
        }
        QCOMPARE(lines[0].text, kStatusPrefix + "KX_SI_USBXpressDev::run: Thread END");
        QCOMPARE(lines[1].text, kErrorPrefix + "KX_SI_USBXpressDev::closeDev: Device not open" + kReset);
        QCOMPARE(lines[2].text, kStatusPrefix + "KX_SI_USBXpressDev::getDeviceList: Remove Device Index 2");
        QCOMPARE(lines[3].text, kErrorPrefix + "KX_SI_USBXpressDev::openDevice: SI_INVALID_HANDLE" + kReset);
    }

    // The finished line is handed on as data: percent signs in it are not
    // read as a second round of placeholders, and the values are formatted
    // by printf rules.
    void lineIsNotReformatted()
    {
        logStatus("A::b", "%s", "100%d %x");
        QCOMPARE(onlyLine(), kStatusPrefix + "A::b: 100%d %x");
        logError("A::b", "%d%% at 0x%04X, %s", 50, 0xBEEFu, "ok");
        QCOMPARE(onlyLine(), kErrorPrefix + "A::b: 50% at 0xBEEF, ok" + kReset);
        logStatus("A::b", "%s", "");
        QCOMPARE(onlyLine(), kStatusPrefix + "A::b: ");
    }

    // Text beyond the 2048-byte buffer is cut: the line keeps its prefix,
    // fills the buffer exactly, and an error line still ends the colour.
    void longLinesAreCut()
    {
        const QByteArray filler(5000, 'x');
        logStatus("A::b", "%s", filler.constData());
        QByteArray line = onlyLine();
        QCOMPARE(line.size(), kLogLineBufferSize - 1);
        QVERIFY(line.startsWith(kStatusPrefix + "A::b: xxx"));
        QVERIFY(line.endsWith("xxxx"));

        logError("A::b", "%s", filler.constData());
        line = onlyLine();
        QCOMPARE(line.size(), kLogLineBufferSize - 1);
        QVERIFY(line.startsWith(kErrorPrefix + "A::b: xxx"));
        QVERIFY(line.endsWith("xxxx" + kReset));

        // Exactly full and one byte over.
        const int room = kLogLineBufferSize - 1 - (kErrorPrefix.size() + 6) - kReset.size();
        logError("A::b", "%s", QByteArray(room, 'y').constData());
        QCOMPARE(onlyLine(), kErrorPrefix + "A::b: " + QByteArray(room, 'y') + kReset);
        logError("A::b", "%s", QByteArray(room + 1, 'y').constData());
        QCOMPARE(onlyLine(), kErrorPrefix + "A::b: " + QByteArray(room, 'y') + kReset);

        // A label longer than the buffer: no message fits, the error line
        // still closes its colour.
        const QByteArray label(3000, 'L');
        logError(label.constData(), "never shown");
        line = onlyLine();
        QCOMPARE(line.size(), kLogLineBufferSize - 1);
        QVERIFY(line.endsWith("LLL" + kReset));
        logStatus(label.constData(), "never shown");
        QCOMPARE(onlyLine().size(), kLogLineBufferSize - 1);
    }

    // A cut never splits a multi-byte character: the logger gets valid text.
    void cutKeepsCharactersWhole()
    {
        for (int shift = 0; shift < 4; ++shift) {
            // Shift where the cut falls relative to the two-, three- and
            // four-byte characters.
            const QByteArray lead(shift, 'a');
            for (const char* ch : {"\xc3\xa4", "\xe2\x82\xac", "\xf0\x9f\x98\x80"}) {
                QByteArray text = lead;
                while (text.size() < 3000)
                    text += ch;
                logStatus("A::b", "%s", text.constData());
                logError("A::b", "%s", text.constData());
                for (const Captured& line : takeLines()) {
                    const QString decoded = QString::fromUtf8(line.text);
                    QVERIFY(!decoded.contains(QChar::ReplacementCharacter));
                    QVERIFY(line.text.size() <= kLogLineBufferSize - 1);
                    QVERIFY(line.text.size() >= kLogLineBufferSize - 4); // at most one character dropped
                    if (line.text.startsWith("\x1b[31m"))
                        QVERIFY(line.text.endsWith(kReset));
                }
            }
        }
    }

    // Lines written by several threads at once all arrive, each one whole.
    void concurrentWritersKeepLinesWhole()
    {
        constexpr int kThreads = 8;
        constexpr int kLinesEach = 400;
        const QByteArray padding(300, '.');
        std::vector<QThread*> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.push_back(QThread::create([t, padding] {
                for (int i = 0; i < kLinesEach; ++i) {
                    if (i % 2)
                        logError("Worker::run", "thread %d line %d %s end", t, i, padding.constData());
                    else
                        logStatus("Worker::run", "thread %d line %d %s end", t, i, padding.constData());
                }
            }));
        }
        for (QThread* th : threads)
            th->start();
        for (QThread* th : threads) {
            QVERIFY(th->wait(60000));
            delete th;
        }

        const std::vector<Captured> lines = takeLines();
        QCOMPARE(int(lines.size()), kThreads * kLinesEach);
        std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kLinesEach, 0));
        const QRegularExpression pattern(QString("^(?:STATUS\\[\\x1b\\[32mZidiVevuro\\x1b\\[0m\\]|"
                                                 "\\x1b\\[31mERROR\\[\\x1b\\[32mZidiVevuro\\x1b\\[31m\\])"
                                                 "->Worker::run: thread (\\d) line (\\d+) \\.{300} end"
                                                 "(\\x1b\\[0m)?$"));
        for (const Captured& line : lines) {
            const QRegularExpressionMatch m = pattern.match(QString::fromUtf8(line.text));
            QVERIFY2(m.hasMatch(), line.text.constData());
            const int t = m.captured(1).toInt();
            const int i = m.captured(2).toInt();
            QVERIFY(t < kThreads && i < kLinesEach);
            QCOMPARE(line.text.startsWith("\x1b[31m"), i % 2 == 1);
            QCOMPARE(line.text.endsWith(kReset), i % 2 == 1);
            ++seen[t][i];
        }
        for (const auto& perThread : seen)
            for (int count : perThread)
                QCOMPARE(count, 1);
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "test_log.moc"
