#ifndef TIVAKO_TESTS_LOGCAPTURE_H
#define TIVAKO_TESTS_LOGCAPTURE_H

// Collects the diagnostic log lines (from any thread) so that a test can
// check for exact lines. Call install() in initTestCase(): the test runner
// sets its own message handler when it starts, replacing an earlier one.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <mutex>

class LogCapture
{
public:
    static void install() { s_previous = qInstallMessageHandler(&LogCapture::handler); }
    static void uninstall() { qInstallMessageHandler(s_previous); }

    static QString statusLine(const QString& label, const QString& message)
    {
        return QStringLiteral("STATUS[\x1b[32mZidiVevuro\x1b[0m]->") + label + QStringLiteral(": ") + message;
    }
    static QString errorLine(const QString& label, const QString& message)
    {
        return QStringLiteral("\x1b[31mERROR[\x1b[32mZidiVevuro\x1b[31m]->") + label + QStringLiteral(": ") + message +
               QStringLiteral("\x1b[0m");
    }

    QStringList lines() const
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_lines;
    }
    int countStatus(const QString& label, const QString& message) const
    {
        return lines().count(statusLine(label, message));
    }
    int countError(const QString& label, const QString& message) const
    {
        return lines().count(errorLine(label, message));
    }
    bool hasStatus(const QString& label, const QString& message) const { return countStatus(label, message) > 0; }
    bool hasError(const QString& label, const QString& message) const { return countError(label, message) > 0; }
    // Lines of one origin, in order, with the kind prefix kept.
    QStringList linesOf(const QString& label) const
    {
        QStringList out;
        const QString tag = QStringLiteral("]->") + label + QStringLiteral(": ");
        for (const QString& line : lines())
            if (line.contains(tag))
                out << line;
        return out;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_lines.clear();
    }
    QString dump() const { return lines().join(QLatin1Char('\n')); }

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_lines << message;
    }

    static inline std::mutex s_mutex; // visible to thread checkers, unlike QMutex
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};

#endif
