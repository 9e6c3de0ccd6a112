#include "app/Log.h"
#include "bridge/BridgeLibrary.h"
#include "resources/TivakoResources.h"
#include "sim/SimBridgeBackend.h"
#include "ui/RidivuDizerozoDuveze.h"

#include <QApplication>
#include <QFileInfo>
#include <QSaveFile>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// SIGINT and SIGTERM end the event loop like the close button does, so the
// main window's destructor runs and whatever it saves is kept. The handler
// only writes one byte into a pipe; the event loop notices the byte.
volatile sig_atomic_t g_quitPipeWrite = -1;

extern "C" void onQuitSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    const ssize_t written = ::write(g_quitPipeWrite, &byte, 1);
    (void)written; // a full pipe already holds a pending quit
    errno = savedErrno;
}

bool installQuitOnSignals(QCoreApplication& app)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    g_quitPipeWrite = fds[1];

    auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [fd = fds[0]]() {
        char buffer[16];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
        QCoreApplication::quit();
    });

    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// Once the loop has ended a second signal should end the program at once
// rather than land in a pipe that nobody reads any more.
void restoreDefaultSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

// A virtual board whose flash file does not exist yet starts with the
// built-in firmware, so that on a first run the board shows its output as
// soon as it is connected. An existing file, even an erased one, is kept:
// the user may have erased it on purpose.
void seedNewVirtualBoardFlash()
{
    const QByteArray bridges = qgetenv("TIVAKO_BRIDGE");
    if (bridges != "sim" && bridges != "usb+sim")
        return;
    SimOptions options;
    std::string ignored; // a bad value is reported when the backend is made
    if (!simOptionsFromEnvironment(&options, &ignored) || options.flashPath.empty())
        return;
    QByteArray image;
    for (int number = 1; number <= options.boards; ++number) {
        const QString path = QString::fromStdString(simFlashPathForBoard(options.flashPath, number));
        if (QFileInfo::exists(path))
            continue;
        if (image.isEmpty())
            image = tivakoBuiltInFirmwareImage();
        QSaveFile file(path);
        if (image.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(image) != image.size() ||
            !file.commit())
            logError("main", "Cannot put the built-in firmware into %s", qUtf8Printable(path));
        else
            logStatus("main", "Built-in firmware put into the new flash file %s", qUtf8Printable(path));
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (!installQuitOnSignals(app))
        logError("main", "Cannot catch SIGINT and SIGTERM");

    // TIVAKO_BRIDGE chooses the boards: real USB bridges (the default),
    // virtual ones, or both. The window's device starts polling at once, so
    // the choice is made before it exists.
    seedNewVirtualBoardFlash();
    std::string bridgeError;
    if (!bridgeInstallBackendFromEnvironment(&bridgeError)) {
        std::fprintf(stderr, "tivako-loader: %s\n", bridgeError.c_str());
        return 2;
    }

    int exitCode = 0;
    {
        RidivuDizerozoDuveze window(nullptr);
        window.show();
        exitCode = app.exec();
        restoreDefaultSignals();
    } // the window goes before the application object
    // Virtual boards keep their flash in a file; they write it when their
    // backend goes, which should happen while the program is still whole.
    bridgeInstallBackend(nullptr);
    return exitCode;
}
