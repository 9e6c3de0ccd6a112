#ifndef TIVAKO_TESTS_SUPPORT_LOGCAPTURE_H
#define TIVAKO_TESTS_SUPPORT_LOGCAPTURE_H

// Collects the log lines from any thread, under a std::mutex: ThreadSanitizer cannot see
// the ordering of QMutex's futex. An object catches the lines while it lives; a suite watched
// whole calls install() in initTestCase(), as QtTest replaces an earlier handler when it starts.

#include <QStringList>
#include <QtGlobal>

class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    static void install();
    static void uninstall();

    static QStringList lines();
    // Lines that contain `part`.
    static int countContaining(const QString& part);
    // Lines written under one label, in order, whole.
    static QStringList linesOf(const QString& label);
    // Messages of the error (or status) lines under one label, prefix and
    // colour codes removed.
    static QStringList errors(const QString& label) { return messages(true, label); }
    static QStringList statuses(const QString& label) { return messages(false, label); }
    static void clear();

private:
    static QStringList messages(bool error, const QString& label);
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    QtMessageHandler m_previous = nullptr;
};

// Log lines exactly as the log writes them.
QString statusLine(const QString& label, const QString& message);
QString errorLine(const QString& label, const QString& message);

#endif
