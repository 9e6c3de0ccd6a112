#ifndef TIVAKO_TESTS_BRIDGE_LAYER_LOGCAPTURE_H
#define TIVAKO_TESTS_BRIDGE_LAYER_LOGCAPTURE_H

// Collects the diagnostic log lines written while it lives. A standard
// mutex, not QMutex: ThreadSanitizer cannot see the ordering of Qt's own
// futex-based lock, and lines arrive from the worker and link threads.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <mutex>

class LogCapture
{
public:
    LogCapture()
    {
        clear();
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }

    static QStringList lines()
    {
        std::lock_guard<std::mutex> lock(mutex());
        return store();
    }
    static int count(const QString& part)
    {
        int n = 0;
        for (const QString& line : lines()) {
            if (line.contains(part))
                ++n;
        }
        return n;
    }
    static void clear()
    {
        std::lock_guard<std::mutex> lock(mutex());
        store().clear();
    }

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        std::lock_guard<std::mutex> lock(mutex());
        store().append(message);
    }
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static QStringList& store()
    {
        static QStringList s;
        return s;
    }

    QtMessageHandler m_previous;
};

#endif
