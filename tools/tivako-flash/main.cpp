// tivako-flash: programs one board, or every attached board at once, through
// the bridge device class and its bootloader session, for scripts and test
// rigs. The work is in FlashRun.cpp.

#include "tools/tivako-flash/FlashRun.h"

#include "bridge/BridgeLibrary.h"

#include <QCoreApplication>

#include <unistd.h>

#include <string>

namespace {

// Choosing the backend writes a status line of the diagnostic log, which the
// run itself keeps off the terminal unless --verbose asks for it.
QtMessageHandler g_previousHandler = nullptr;

void dropDebugLines(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtDebugMsg && g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    arguments.removeFirst();

    // Asking for help needs no bridge.
    const bool help = arguments.contains(QLatin1String("-h")) || arguments.contains(QLatin1String("--help"));
    std::string error;
    const bool quiet = !arguments.contains(QLatin1String("--verbose"));
    if (quiet)
        g_previousHandler = qInstallMessageHandler(dropDebugLines);
    const bool installed = help || bridgeInstallBackendFromEnvironment(&error);
    if (quiet)
        qInstallMessageHandler(g_previousHandler);
    if (!installed) {
        std::fprintf(stderr, "tivako-flash: %s\n", error.c_str());
        return kFlashUsage;
    }
    int code;
    {
        FlashStopSignals stopSignals;
        FlashStreams streams;
        streams.terminal = isatty(STDOUT_FILENO) == 1;
        code = runTivakoFlash(arguments, streams);
    }
    bridgeInstallBackend(nullptr);
    return code;
}
