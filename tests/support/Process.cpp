#include "Process.h"

#include "Wait.h"

#include <QElapsedTimer>
#include <QProcess>

ProcessRun runProcess(const QString& program, const QStringList& arguments, const ProcessOptions& options)
{
    ProcessRun run;
    QProcess process;
    process.setProcessEnvironment(options.env);
    process.setProcessChannelMode(options.mergeOutput ? QProcess::MergedChannels : QProcess::SeparateChannels);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    run.started = process.waitForStarted(10000);
    if (!run.started)
        return run;
    if (!options.stdinText.isEmpty())
        process.write(options.stdinText);
    process.closeWriteChannel();
    run.finished = waitUntil([&] { return process.state() == QProcess::NotRunning; }, options.timeoutMs);
    run.ms = clock.elapsed();
    if (!run.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    if (run.finished && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}
