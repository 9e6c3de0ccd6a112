// Saves pictures of the real main window:
//
//   tivako-screenshot <output folder> [scene ...]
//
// Each scene builds a fresh window, brings it into one state and saves
// QWidget::grab() of it as <output folder>/<scene>.png. Without scene names
// every scene is saved. Run it with QT_QPA_PLATFORM=offscreen and a scratch
// HOME, as scripts/screenshot does.

#include "ui/RidivuDizerozoDuveze.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>
#include <functional>
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
};

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
    };
    return all;
}

int saveScene(const Scene& scene, const QDir& outDir)
{
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
