#ifndef TIVAKO_TESTS_SUPPORT_PROCESS_H
#define TIVAKO_TESTS_SUPPORT_PROCESS_H

// Runs a program to its end, the test thread's events handled meanwhile (a
// window under test goes on answering while the program talks to it).

#include "tests/support/Wait.h"

#include <QProcess>

struct ProcessRun
{
    bool finished = false; // ended by itself before the time ran out
    int exitCode = -1;     // -1 also when it did not start, crashed or was killed
    QByteArray out;        // stdout, and stderr too when merged
    QByteArray err;
    qint64 ms = 0;
};

struct ProcessOptions
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QByteArray stdinText;
    int timeoutMs = 60000;
    bool mergeOutput = false;
};

inline ProcessRun runProcess(const QString& program, const QStringList& arguments,
                             const ProcessOptions& options = ProcessOptions())
{
    ProcessRun run;
    QProcess process;
    process.setProcessEnvironment(options.env);
    process.setProcessChannelMode(options.mergeOutput ? QProcess::MergedChannels : QProcess::SeparateChannels);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return run;
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

#endif
