#ifndef TIVAKO_TESTS_CAPTUREDLOG_H
#define TIVAKO_TESTS_CAPTUREDLOG_H

// Collects the diagnostic log lines written while an object of this class
// lives, so that a test can check which lines a piece of code wrote.

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class CapturedLog
{
public:
    CapturedLog()
    {
        QMutexLocker lock(&mutex());
        lines().clear();
        m_previous = qInstallMessageHandler(&CapturedLog::handler);
    }
    ~CapturedLog() { qInstallMessageHandler(m_previous); }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    // Messages of the error (or status) lines written under label, colour
    // codes and prefix removed.
    QStringList errors(const QString& label) const { return messages(true, label); }
    QStringList statuses(const QString& label) const { return messages(false, label); }
    int lineCount() const
    {
        QMutexLocker lock(&mutex());
        return lines().size();
    }
    void clear()
    {
        QMutexLocker lock(&mutex());
        lines().clear();
    }

private:
    QStringList messages(bool error, const QString& label) const
    {
        const QString prefix = error ? QStringLiteral("\x1b[31mERROR[") : QStringLiteral("STATUS[");
        const QString origin = QStringLiteral("]->") + label + QStringLiteral(": ");
        const QString reset = QStringLiteral("\x1b[0m");
        QStringList found;
        QMutexLocker lock(&mutex());
        for (const QString& line : lines()) {
            const int at = line.indexOf(origin);
            if (!line.startsWith(prefix) || at < 0)
                continue;
            QString message = line.mid(at + origin.size());
            if (error && message.endsWith(reset))
                message.chop(reset.size());
            found << message;
        }
        return found;
    }

    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        QMutexLocker lock(&mutex());
        lines() << message;
    }
    static QStringList& lines()
    {
        static QStringList all;
        return all;
    }
    static QMutex& mutex()
    {
        static QMutex m;
        return m;
    }

    QtMessageHandler m_previous = nullptr;
};

#endif
