#ifndef TIVAKO_TOOLS_TIVAKO_FLASH_FLASHRUN_H
#define TIVAKO_TOOLS_TIVAKO_FLASH_FLASHRUN_H

// tivako-flash's work, apart from main() so that its suite and the benchmark
// run it in-process against a bridge backend of their own. One bridge device
// object (with its own worker thread and bootloader session) per board; the
// calling thread only starts the sessions, watches them and reports.
//
// The bridge backend must be installed before the call. The arguments come
// without the program name. Exit status: 0 every board programmed, 1 any
// board failed, was busy or ran out of time, 2 usage error or a named board
// missing, 128 + the signal's number when a stop signal ended the run.

#include <QStringList>

#include <csignal>
#include <cstdio>

enum FlashExit { kFlashOk = 0, kFlashFailed = 1, kFlashUsage = 2 };

struct FlashStreams
{
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool terminal = false; // out is a terminal: one progress line per board, redrawn in place
};

int runTivakoFlash(const QStringList& arguments, const FlashStreams& streams);

// While it lives, SIGINT, SIGTERM and SIGHUP ask a running runTivakoFlash to
// stop, and SIGPIPE is ignored:
// the sessions in flight end (each resets its board into its own firmware)
// and the run returns 128 + the signal's number. The previous handlers come
// back when it goes.
class FlashStopSignals
{
public:
    FlashStopSignals();
    ~FlashStopSignals();
    FlashStopSignals(const FlashStopSignals&) = delete;
    FlashStopSignals& operator=(const FlashStopSignals&) = delete;

private:
    struct sigaction m_previousInt;
    struct sigaction m_previousTerm;
    struct sigaction m_previousHup;
    struct sigaction m_previousPipe;
};

#endif
