#ifndef TIVAKO_TESTS_SUPPORT_PROCESS_H
#define TIVAKO_TESTS_SUPPORT_PROCESS_H

// Runs a program to its end, the test thread's events handled meanwhile (a
// window under test goes on answering while the program talks to it).

#include <QProcessEnvironment>

struct ProcessRun
{
    bool started = false;
    bool finished = false; // ended by itself before the time ran out
    int exitCode = -1;     // -1 also when it crashed or was killed
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

ProcessRun runProcess(const QString& program, const QStringList& arguments,
                      const ProcessOptions& options = ProcessOptions());

#endif
