#ifndef TIVAKO_TESTS_BRIDGE_LAYER_LOGCAPTURE_H
#define TIVAKO_TESTS_BRIDGE_LAYER_LOGCAPTURE_H

// Collects the diagnostic log lines written while it lives.

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

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
        QMutexLocker lock(&mutex());
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
        QMutexLocker lock(&mutex());
        store().clear();
    }

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        QMutexLocker lock(&mutex());
        store().append(message);
    }
    static QMutex& mutex()
    {
        static QMutex m;
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
