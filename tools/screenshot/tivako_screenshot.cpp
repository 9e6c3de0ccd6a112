// Saves pictures of the real main window:
//
//   tivako-screenshot <output folder> [scene ...]
//
// Each scene builds a fresh window, brings it into one state and saves
// QWidget::grab() of it as <output folder>/<scene>.png. Without scene names
// every scene is saved. Run it with QT_QPA_PLATFORM=offscreen and a scratch
// HOME, as scripts/screenshot does.

#include "ui/RidivuDizerozoDuveze.h"

#include "resources/TivakoResources.h"
#include "settings/KX_XML_Settings.h"
#include "sim/SimBridgeBackend.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

// Lets queued work, timers and repaints run for a while.
void settle(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Scene
{
    const char* name;
    const char* description;
    // Brings the shown window into the scene's state; false (with a reason)
    // when that state cannot be reached.
    std::function<bool(RidivuDizerozoDuveze& window, QString* why)> prepare;
    // Runs before the window exists (boards, settings); may be empty.
    std::function<void()> before = {};
};

// ---- scenes with a virtual board (realtime, as the user's would be) ----

std::shared_ptr<SimBridgeBackend> g_boards;

const char kBoardName[] = "Tivako Virtual Board [0xVB0001]";

void virtualBoard(bool firmware, bool remembered)
{
    SimOptions options;
    options.timing = SimTiming::Realtime;
    g_boards = std::make_shared<SimBridgeBackend>(options);
    if (firmware) {
        SimBoard* board = g_boards->board(0);
        const QByteArray image = tivakoBuiltInFirmwareImage();
        board->setFlash(0, std::vector<uint8_t>(image.begin(), image.end()));
        board->unplug();
        board->plug();
    }
    bridgeInstallBackend(g_boards);
    KX_XML_Settings settings; // written when it goes, read by the window
    settings.setPathHexFile(QString());
    settings.setUsbDevName(remembered ? QString::fromLatin1(kBoardName) : QString());
}

template <typename F> bool settleUntil(F condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        settle(2);
    }
    return true;
}

QString consoleText(RidivuDizerozoDuveze& window)
{
    auto* console = window.findChild<QPlainTextEdit*>("m_pTEconsole");
    return console ? console->toPlainText() : QString();
}

bool connected(RidivuDizerozoDuveze& window)
{
    auto* label = window.findChild<QLabel*>("m_lConnectText");
    return label && !label->isHidden();
}

void clickButton(RidivuDizerozoDuveze& window, const char* name)
{
    if (auto* button = window.findChild<QToolButton*>(QString::fromLatin1(name)))
        button->click();
}

const std::vector<Scene>& scenes()
{
    static const std::vector<Scene> all = {
        {"main-window", "the window as it starts",
         [](RidivuDizerozoDuveze&, QString*) {
             settle(200);
             return true;
         }},
        {"settings-tab", "the Settings tab opened (its page stays disabled)",
         [](RidivuDizerozoDuveze& window, QString* why) {
             auto* tabs = window.findChild<QTabWidget*>("tabWidget");
             if (!tabs) {
                 *why = "no tabWidget";
                 return false;
             }
             tabs->setCurrentIndex(1);
             settle(200);
             return true;
         }},
        {"disconnected", "a virtual board listed and selected, not connected",
         [](RidivuDizerozoDuveze& window, QString* why) {
             auto* list = window.findChild<QListWidget*>("m_ListDev");
             if (!list || !settleUntil([&] { return list->count() == 1; }, 5000)) {
                 *why = "the virtual board was not listed";
                 return false;
             }
             list->setCurrentRow(0);
             settle(200);
             return true;
         },
         [] { virtualBoard(true, false); }},
        {"connected-console", "the remembered board connected, its coloured output in the console",
         [](RidivuDizerozoDuveze& window, QString* why) {
             // Ctrl held while connecting shows the hardware-identity button.
             QKeyEvent ctrl(QEvent::KeyPress, Qt::Key_Control, Qt::NoModifier);
             QApplication::sendEvent(&window, &ctrl);
             if (!settleUntil([&] { return connected(window); }, 5000)) {
                 *why = "the remembered board did not connect";
                 return false;
             }
             settle(1200);
             clickButton(window, "m_pBResetTK");
             settle(1500);
             clickButton(window, "m_pbquadrel_hwid");
             if (!settleUntil([&] { return consoleText(window).contains("HardwareID Quadrel"); }, 5000)) {
                 *why = "the board did not take the hardware identity";
                 return false;
             }
             settle(200);
             return true;
         },
         [] { virtualBoard(true, true); }},
        {"programming", "\"Prog as Quadrel\" writing the built-in firmware, stars in progress",
         [](RidivuDizerozoDuveze& window, QString* why) {
             if (!settleUntil([&] { return connected(window); }, 5000)) {
                 *why = "the remembered board did not connect";
                 return false;
             }
             clickButton(window, "m_pBQuadrel");
             if (!settleUntil([&] { return consoleText(window).contains(QLatin1String("\n**")); }, 20000)) {
                 *why = "no progress stars";
                 return false;
             }
             if (consoleText(window).contains("Bootloader Finish")) {
                 *why = "programming finished before the picture";
                 return false;
             }
             return true;
         },
         [] { virtualBoard(false, true); }},
    };
    return all;
}

int saveScene(const Scene& scene, const QDir& outDir)
{
    if (scene.before)
        scene.before();
    // The boards go after the window that uses them.
    struct Unplug
    {
        ~Unplug()
        {
            bridgeInstallBackend(nullptr);
            g_boards.reset();
        }
    } unplug;
    RidivuDizerozoDuveze window(nullptr);
    window.show();
    QString why;
    if (!scene.prepare(window, &why)) {
        std::fprintf(stderr, "%s: %s\n", scene.name, qPrintable(why));
        return 1;
    }
    const QString path = outDir.filePath(QString::fromLatin1(scene.name) + ".png");
    if (!window.grab().save(path, "PNG")) {
        std::fprintf(stderr, "%s: cannot write %s\n", scene.name, qPrintable(path));
        return 1;
    }
    std::printf("%s\n", qPrintable(path));
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: tivako-screenshot <output folder> [scene ...]\nscenes:\n");
        for (const Scene& s : scenes())
            std::fprintf(stderr, "  %-22s %s\n", s.name, s.description);
        return 2;
    }
    QDir outDir(args.first());
    if (!outDir.mkpath(".")) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(args.first()));
        return 1;
    }
    const QStringList wanted = args.mid(1);
    for (const QString& name : wanted) {
        bool known = false;
        for (const Scene& s : scenes())
            known = known || name == QLatin1String(s.name);
        if (!known) {
            std::fprintf(stderr, "unknown scene %s\n", qPrintable(name));
            return 2;
        }
    }
    int failures = 0;
    for (const Scene& s : scenes()) {
        if (wanted.isEmpty() || wanted.contains(QLatin1String(s.name)))
            failures += saveScene(s, outDir);
    }
    return failures == 0 ? 0 : 1;
}
